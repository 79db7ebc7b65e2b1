// CacheTestEnv: a generated Hubnode cache written once per test program, its manifest and the
// conversions between the library's lists and the oracle's, for the cache file-list tests.
#ifndef KQ_TESTS_SUPPORT_CACHETESTENV_H_
#define KQ_TESTS_SUPPORT_CACHETESTENV_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CacheTreeGenerator.h"
#include "CacheTreeOracle.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PackageCache.h"
#include "Vocabulary.h"

namespace kqtest {

inline UpdatePatches::File MakeFileEntry(const std::string& name, const std::string& checksum) {
  UpdatePatches::File f;
  f.setstring(UpdatePatches::File::kName, name);
  f.setstring(UpdatePatches::File::kChecksum, checksum);
  return f;
}

inline EntryList AsList(const std::vector<UpdatePatches::File>& files) {
  EntryList out;
  for (const auto& f : files)
    out.emplace_back(f.getstring(UpdatePatches::File::kName), f.getstring(UpdatePatches::File::kChecksum));
  return out;
}

// Media entries by relative path (7/19) and checksum (1/1).
inline EntryList AsList(const std::vector<UpdatePatches::BinaryV11>& files) {
  EntryList out;
  for (const auto& f : files)
    out.emplace_back(f.getstring(UpdatePatches::BinaryV11::kRelativePath),
                     f.getstring(UpdatePatches::BinaryV11::kChecksum));
  return out;
}

inline std::vector<UpdatePatches::PackageDesc> PackageList(const std::vector<long long>& ids) {
  std::vector<UpdatePatches::PackageDesc> out;
  for (long long id : ids) {
    UpdatePatches::PackageDesc d;
    d.setint64(UpdatePatches::PackageDesc::kPackageId, id);
    out.push_back(d);
  }
  return out;
}

inline std::vector<long long> PackageIds(const std::vector<UpdatePatches::PackageDesc>& list) {
  std::vector<long long> out;
  for (const auto& d : list) out.push_back(d.getint64(UpdatePatches::PackageDesc::kPackageId));
  return out;
}

// The generated cache, shared by the tests of one program and by every test program (written
// once, see WriteCacheShared); tests never change it.
class CacheTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    config_ = new ScopedConfig();
    config_->set("Logging", "nDebugLevel", "10");
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    SetUpdateTypesInfo();
    hub_ = new GeneratedCache(GenerateCache());
    manifest_ = new CacheManifest(WriteCacheShared(hub_->model, SharedTreeDir("hub-1")));
  }
  static void TearDownTestSuite() {
    delete manifest_;
    delete hub_;
    delete config_;
    manifest_ = nullptr;
    hub_ = nullptr;
    config_ = nullptr;
  }
  void SetUp() override { KQPackageCache(false).clearCachedXML(true, true); }

  static const CacheModel& model() { return hub_->model; }
  static const CacheManifest& manifest() { return *manifest_; }
  static const std::string& root() { return manifest_->root; }
  static std::string path(const std::string& rel) { return root() + "/" + rel; }
  static ScopedConfig& config() { return *config_; }
  static const UpdatesOSRecord& os15(int osId) {
    for (const UpdatesOSRecord& r : hub_->model.updates)
      if (r.osId == osId) return r;
    throw std::runtime_error("no such operating system");
  }
  // A scratch folder of the test (removed with the configuration's folder).
  std::string Scratch(const std::string& name) const { return config_->root() + "/scratch-" + name; }
  // A record for writing a small cache of the test's own into a scratch folder.
  CacheManifest ScratchCache(const std::string& name) const {
    CacheManifest out;
    out.root = Scratch(name);
    return out;
  }
  std::string Log() const { return ReadFile(config_->logFile()); }

  static ScopedConfig* config_;
  static GeneratedCache* hub_;
  static CacheManifest* manifest_;
};

inline ScopedConfig* CacheTreeTest::config_ = nullptr;
inline GeneratedCache* CacheTreeTest::hub_ = nullptr;
inline CacheManifest* CacheTreeTest::manifest_ = nullptr;

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_CACHETESTENV_H_
