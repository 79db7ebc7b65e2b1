// Package folders, stamps and binary sets read from a cache without an inventory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "CacheTreeModel.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "Vocabulary.h"

namespace kqtest {
namespace {

using Infos = std::vector<std::pair<std::string, long long>>;

Infos AsInfos(const std::vector<CNMessageBase>* list) {
  Infos out;
  if (!list) return out;
  for (const CNMessageBase& m : *list)
    out.emplace_back(m.getstring(UpdatePatches::PackageInfo::kFolderPath),
                     m.getint64(UpdatePatches::PackageInfo::kTimestamp));
  return out;
}
Infos AsInfos(const std::vector<UpdatePatches::PackageInfo>& list) {
  std::vector<CNMessageBase> plain(list.begin(), list.end());
  return AsInfos(&plain);
}

class PackageInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    prop_.cacheRoot = config_.root() + "/cache";
    release_ = GetRelNameFromId(16);
    ASSERT_FALSE(release_.empty());
  }
  std::string Platform(const std::string& name) const {
    return prop_.cacheRoot + "/KQMedia/" + release_ + "/" + name;
  }
  // The entries of main OS 1 and 2 of a packages message, in order.
  std::vector<std::pair<long long, Infos>> Entries(const UpdatePatches::PackagesAtCache& p) const {
    std::vector<std::pair<long long, Infos>> out;
    if (const auto* list = p.getlistobject(UpdatePatches::PackagesAtCache::kOSList))
      for (const CNMessageBase& e : *list)
        out.emplace_back(e.getint64(UpdatePatches::PackagesForOS::kOSId),
                         AsInfos(e.getlistobject(UpdatePatches::PackagesForOS::kPackages)));
    return out;
  }

  ScopedConfig config_;
  CacheProp prop_;
  std::string release_;
  KQUpdateCache cache_{9, false};
};

TEST_F(PackageInfoTest, MediaFoldersCarryThePlatformStamp) {
  WriteFile(Platform("Windows") + "/version.txt", "Version=11\r\nUnixTime=1700000123\r\n");
  WriteFile(Platform("Windows") + "/B/x.bin", "b");
  WriteFile(Platform("Windows") + "/A/y.bin", "a");
  WriteFile(Platform("Windows") + "/.hidden/z", "h");
  WriteFile(Platform("Windows") + "/plain.txt", "p");
  UpdatePatches::PackagesAtCache packages;
  ASSERT_EQ(1, cache_.GetPackageInfoFromCache(prop_, 16, packages));
  const Infos windows = {{"Windows", 1700000123}, {"Windows/A", 1700000123}, {"Windows/B", 1700000123}};
  EXPECT_EQ((std::vector<std::pair<long long, Infos>>{{1, windows}, {2, {}}}), Entries(packages));
}

TEST_F(PackageInfoTest, UnusableStampsCountAsZero) {
  // No "UnixTime" line: no entry for the platform, its folders with 0.
  WriteFile(Platform("Unix") + "/version", "Version=11\n");
  WriteFile(Platform("Unix") + "/linux-x8664/pkg", "x");
  UpdatePatches::PackagesAtCache packages;
  ASSERT_EQ(1, cache_.GetPackageInfoFromCache(prop_, 16, packages));
  EXPECT_EQ((Infos{{"Unix/linux-x8664", 0}}), Entries(packages).at(1).second);

  // A value that is no checked 64-bit decimal is 0 as well, and said so.
  for (const char* bad : {"UnixTime=12abc\n", "UnixTime=99999999999999999999\n", "UnixTime=\n"}) {
    WriteFile(Platform("Unix") + "/version", bad);
    ASSERT_EQ(1, cache_.GetPackageInfoFromCache(prop_, 16, packages));
    EXPECT_EQ((Infos{{"Unix/linux-x8664", 0}}), Entries(packages).at(1).second) << bad;
  }
  EXPECT_NE(std::string::npos, ReadFile(config_.logFile()).find("[12abc]"));
  WriteFile(Platform("Unix") + "/version", "UnixTime= 42 \n");
  ASSERT_EQ(1, cache_.GetPackageInfoFromCache(prop_, 16, packages));
  EXPECT_EQ((Infos{{"Unix", 42}, {"Unix/linux-x8664", 42}}), Entries(packages).at(1).second);
}

TEST_F(PackageInfoTest, ReleaseWithoutNameAnswersTwoEmptyEntries) {
  WriteFile(Platform("Windows") + "/A/y.bin", "a");  // a named release's folders do not count
  UpdatePatches::PackagesAtCache packages;
  packages.setlistobject(UpdatePatches::PackagesAtCache::kOSList, std::vector<CNMessageBase>(1));
  ASSERT_EQ(1, cache_.GetPackageInfoFromCache(prop_, 77, packages));
  EXPECT_EQ((std::vector<std::pair<long long, Infos>>{{1, {}}, {2, {}}}), Entries(packages));
}

TEST_F(PackageInfoTest, TimestampFilesOfAPackageFolder) {
  const std::string base = config_.root() + "/pkgs";
  WriteFile(base + "/P/timestamp.txt", "UnixTime=100\n");
  WriteFile(base + "/P/a/timestamp.txt", "UnixTime=200\n");
  WriteFile(base + "/P/b/timestamp.txt", "UnixTime=2x\n");
  WriteFile(base + "/P/c/other.txt", "no stamp");
  WriteFile(base + "/P/.d/timestamp.txt", "UnixTime=300\n");
  std::vector<UpdatePatches::PackageInfo> infos;
  ASSERT_EQ(1, cache_.FindTimeStampFilesInDir(base, "P", infos));
  EXPECT_EQ((Infos{{"P", 100}, {"P/a", 200}}), AsInfos(infos));

  // Not a folder: nothing; a name leaving the base: refused.
  EXPECT_EQ(1, cache_.FindTimeStampFilesInDir(base, "missing", infos));
  EXPECT_EQ(0, cache_.FindTimeStampFilesInDir(base + "/P", "../P", infos));
  EXPECT_EQ(2u, infos.size());
}

// Binary sets: from the highest feature release's first update, else the first update folder.
class BinarySetsTest : public PackageInfoTest {
 protected:
  static UpdateRecord Update(const std::string& name, std::vector<long long> sets) {
    UpdateRecord u;
    u.folder = u.name = name;
    for (long long id : sets) u.sets.push_back(MapBinarySet{id, {MapPackage{7, {}}}, ""});
    return u;
  }
  static std::vector<long long> Ids(const std::vector<UpdatePatches::BinarySet>& sets) {
    std::vector<long long> out;
    for (const auto& s : sets) out.push_back(s.getint64(UpdatePatches::BinarySet::kBinarySetId));
    return out;
  }
  void SetUp() override {
    PackageInfoTest::SetUp();
    out_.root = config_.root() + "/cache";
    osRel_ = "KQUpdates/10.0.0/linux-x8664";
    folder_ = out_.root + "/" + osRel_;
  }
  CacheManifest out_;
  std::string osRel_, folder_;
  std::vector<UpdatePatches::BinarySet> sets_ = std::vector<UpdatePatches::BinarySet>(1);
};

TEST_F(BinarySetsTest, FeatureReleaseComesFirst) {
  FeatureReleaseRecord sp9, sp10;
  sp9.folder = "SP9";
  sp9.updates = {Update("F9", {4})};
  sp10.folder = "SP10";
  sp10.updates = {Update("F10a", {31, 32}), Update("F10b", {35})};
  WriteFeatureRelease(out_, osRel_, sp9, true);
  WriteFeatureRelease(out_, osRel_, sp10, true);
  WriteUpdate(out_, osRel_ + "/Updates", Update("U1", {40}), true);
  ASSERT_EQ(1, cache_.getBsNameListFromCache(folder_, 16, sets_));
  EXPECT_EQ((std::vector<long long>{31, 32}), Ids(sets_));
}

TEST_F(BinarySetsTest, WithoutFeatureReleaseTheFirstUpdateFolderAnswers) {
  FeatureReleaseRecord empty;  // a feature release whose map lists no update
  empty.folder = "SP3";
  WriteFeatureRelease(out_, osRel_, empty, true);
  WriteUpdate(out_, osRel_ + "/Updates", Update("U2", {35}), true);
  WriteUpdate(out_, osRel_ + "/Updates", Update("U1", {31, 33}), true);
  ASSERT_EQ(1, cache_.getBsNameListFromCache(folder_, 16, sets_));
  EXPECT_EQ((std::vector<long long>{31, 33}), Ids(sets_));
}

TEST_F(BinarySetsTest, UnreadableMapsLeaveTheSetsUntouched) {
  // No "Updates" folder at all.
  EXPECT_EQ(0, cache_.getBsNameListFromCache(folder_, 16, sets_));
  // The first update's map is missing, or does not decode.
  std::filesystem::create_directories(folder_ + "/Updates/A0/Config");
  WriteUpdate(out_, osRel_ + "/Updates", Update("B1", {31}), true);
  EXPECT_EQ(0, cache_.getBsNameListFromCache(folder_, 16, sets_));
  UpdateRecord broken = Update("A0", {31});
  broken.map.broken = true;
  WriteUpdate(out_, osRel_ + "/Updates", broken, true);
  EXPECT_EQ(0, cache_.getBsNameListFromCache(folder_, 16, sets_));
  // A feature release whose map does not decode.
  FeatureReleaseRecord bad;
  bad.folder = "SP4";
  bad.map.broken = true;
  WriteFeatureRelease(out_, osRel_, bad, true);
  EXPECT_EQ(0, cache_.getBsNameListFromCache(folder_, 16, sets_));
  EXPECT_EQ(1u, sets_.size());
  EXPECT_FALSE(sets_[0].isSet(UpdatePatches::BinarySet::kBinarySetId.index));
}

}  // namespace
}  // namespace kqtest
