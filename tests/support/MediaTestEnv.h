// MediaTestEnv: a private configuration, the filled vocabulary, and a generated Windows and Unix
// media tree on disk, for the package catalogue tests.
#ifndef KQ_TESTS_SUPPORT_MEDIATESTENV_H_
#define KQ_TESTS_SUPPORT_MEDIATESTENV_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KqTestEnv.h"
#include "MediaTreeGenerator.h"
#include "MediaTreeOracle.h"
#include "PackageCache.h"
#include "Vocabulary.h"

namespace kqtest {

// Records of a computed media file set, in the oracle's form.
inline std::vector<ExpectedFile> AsExpected(const std::vector<UpdatePatches::BinaryV11>& files) {
  std::vector<ExpectedFile> out;
  for (const auto& f : files)
    out.push_back(ExpectedFile{f.getstring(kqcat::kBvFileName), f.getstring(kqcat::kBvRelativePath),
                               f.getstring(kqcat::kBvChecksum)});
  return out;
}

inline void PrintTo(const ExpectedFile& f, std::ostream* os) {
  *os << "{" << f.name << ", " << f.relativePath << ", " << f.checksum << "}";
}

// Each test gets a fresh configuration store, log folder and media trees, and an empty
// process-wide catalogue cache.
class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    KQPackageCache(false).clearCachedXML(true, true);
  }
  void TearDown() override { KQPackageCache(false).clearCachedXML(true, true); }

  // Generates (once per test) and writes both media under the test's folder.
  void WriteBoth(const MediaOptions& options = MediaOptions()) {
    media = GenerateMedia(options);
    winWritten = WriteMedia(media.windows, winRoot());
    unixWritten = WriteMedia(media.unix, unixRoot());
  }
  std::string winRoot() const { return config.root() + "/media/Windows"; }
  std::string unixRoot() const { return config.root() + "/media/Unix"; }
  std::string cacheRoot() const { return config.root() + "/cache"; }

  // A catalogue object on the test's media.
  std::unique_ptr<KQPackageCache> Catalogue(unsigned long jobId = 7) {
    auto c = std::make_unique<KQPackageCache>(cacheRoot(), false, jobId, true);
    c->setDvdLocation(winRoot(), true);
    c->setDvdLocation(unixRoot(), false);
    return c;
  }

  std::string Log() const { return ReadFile(config.logFile()); }

  ScopedConfig config;
  GeneratedMedia media;
  WrittenMedia winWritten, unixWritten;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_MEDIATESTENV_H_
