// Shared by the cache-inventory tests: a database seeded with the generator's platform rows, the
// client release table (16, 15, 14), and comparisons of inventories with the generator's model.
#ifndef KQ_TESTS_SUPPORT_UPDATECACHETESTENV_H_
#define KQ_TESTS_SUPPORT_UPDATECACHETESTENV_H_

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "KQUpdateCache.h"
#include "KqDbTestEnv.h"
#include "UpdateCacheGenerator.h"

namespace kqtest {

// A fresh folder in memory (/dev/shm) when there is one, else on disk; removed at the end.
// Generated caches hold tens of thousands of entries, which a disk may take long to remove.
class CacheTempDir {
 public:
  CacheTempDir() {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : fallback_.path()) +
                          "/kqcache-XXXXXX";
    path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : fallback_.path();
  }
  ~CacheTempDir() {
    std::error_code ignored;
    if (path_ != fallback_.path()) std::filesystem::remove_all(path_, ignored);
  }
  CacheTempDir(const CacheTempDir&) = delete;
  CacheTempDir& operator=(const CacheTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  TempDir fallback_;
  std::string path_;
};

class UpdateCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetUpdateTypesInfo();
    SetReleasesSupportedOnClient();
    for (const auto& row : PlatformRows())
      Sql("INSERT INTO simPackage (id, Name) VALUES ($1, $2)",
          {I(row.first), row.second.empty() ? N() : T(row.second)});
  }
  UpdateCacheModel Generate(const UpdateCacheOptions& options) {
    return GenerateUpdateCache(dir_.path(), options);
  }
  CacheProp Prop() const {
    CacheProp prop;
    prop.cacheRoot = dir_.path();
    return prop;
  }
  std::string Log() { return ReadFile(db_.config().logFile()); }

  ScopedDatabase db_;
  CacheTempDir dir_;
};

inline std::vector<std::string> Vec(const std::list<std::string>& names) {
  return std::vector<std::string>(names.begin(), names.end());
}

// Field-by-field comparison of descriptor records.
inline void ExpectSameInfo(const INIInfoForPatch& a, const INIInfoForPatch& b,
                           const std::string& where) {
  EXPECT_EQ(a.patchName, b.patchName) << where;
  EXPECT_EQ(a.packages, b.packages) << where << " " << a.patchName;
  EXPECT_EQ(a.rebootPackages, b.rebootPackages) << where << " " << a.patchName;
  EXPECT_EQ(a.requires, b.requires) << where << " " << a.patchName;
  EXPECT_EQ(a.obsoletes, b.obsoletes) << where << " " << a.patchName;
  EXPECT_EQ(a.aliasName, b.aliasName) << where << " " << a.patchName;
  EXPECT_EQ(a.spaceNeeded, b.spaceNeeded) << where << " " << a.patchName;
  EXPECT_EQ(a.isSPUpdate, b.isSPUpdate) << where << " " << a.patchName;
  EXPECT_EQ(a.hasJar, b.hasJar) << where << " " << a.patchName;
  EXPECT_EQ(a.transactionId, b.transactionId) << where << " " << a.patchName;
}

// The release entry at index r equals the model's; withInfos compares the descriptors too.
inline void ExpectReleaseEqualsModel(const UpdatesAtCache& inv, const UpdateCacheModel& model,
                                     int r, bool withInfos) {
  const ModelRelease& m = model.releases[r];
  const UpdatesForRelease& e = inv.releases[r];
  ASSERT_EQ(e.relId, m.relId) << "release index " << r;
  for (int o = 0; o < KQ_INVENTORY_OS_SLOTS; ++o) {
    const std::string where = "release " + std::to_string(m.relId) + " slot " + std::to_string(o);
    const ModelSlot& ms = m.slots[o];
    const UpdatesForOS& s = e.osUpdates[o];
    EXPECT_EQ(s.osId, ms.osId) << where;
    EXPECT_TRUE(s.spVersion == ms.sp) << where << " " << s.spVersion.ToStr(true);
    EXPECT_EQ(Vec(s.spUpdates), ms.spUpdates) << where;
    EXPECT_EQ(Vec(s.additionalUpdates), ms.additional) << where;
    if (!withInfos) continue;
    ASSERT_EQ(s.iniInfos.size(), ms.infos.size()) << where;
    auto it = s.iniInfos.begin();
    for (const INIInfoForPatch& expected : ms.infos) ExpectSameInfo(*it++, expected, where);
  }
}

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_UPDATECACHETESTENV_H_
