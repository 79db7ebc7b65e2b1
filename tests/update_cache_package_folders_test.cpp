// Package-folder differences by stamp: seeded package caches against destinations holding their
// folders in older, equal or newer states, and the small rules (parents, ancestors, extras).
#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PackageFolderFixture.h"
#include "StringUtils.h"

namespace {

using UpdatePatches::PackageInfo;
using UpdatePatches::PackagesAtCache;
using UpdatePatches::PackagesForOS;
using Names = std::list<std::string>;

PackagesForOS OsEntry(int os, const std::vector<std::pair<std::string, unsigned long long>>& folders) {
  PackagesForOS entry;
  entry.setint64(PackagesForOS::kOSId, os);
  std::vector<CNMessageBase> infos;
  for (const auto& f : folders) {
    PackageInfo info;
    info.setstring(PackageInfo::kFolderPath, f.first);
    info.setint64(PackageInfo::kTimestamp, static_cast<long long>(f.second));
    infos.push_back(info);
  }
  entry.setlistobject(PackagesForOS::kPackages, infos);
  return entry;
}

PackagesAtCache Inventory(const std::vector<PackagesForOS>& oses) {
  PackagesAtCache inv;
  inv.setlistobject(PackagesAtCache::kOSList, std::vector<CNMessageBase>(oses.begin(), oses.end()));
  return inv;
}

class PackageFolders : public ::testing::Test {
 protected:
  std::string Base() { return config_.root() + "/pkgs"; }
  // The source inventory as the cache's own stamp scan reads it.
  PackagesAtCache Scan() {
    std::vector<PackagesForOS> oses;
    for (const auto& platform : {std::make_pair(1, "Windows"), std::make_pair(2, "Unix")}) {
      std::vector<PackageInfo> infos;
      EXPECT_EQ(1, cache_.FindTimeStampFilesInDir(Base(), platform.second, infos));
      PackagesForOS os;
      os.setint64(PackagesForOS::kOSId, platform.first);
      os.setlistobject(PackagesForOS::kPackages,
                       std::vector<CNMessageBase>(infos.begin(), infos.end()));
      oses.push_back(os);
    }
    return Inventory(oses);
  }
  static PackagesAtCache Destination(const kqtest::PackageFolderModel& model) {
    std::vector<std::pair<std::string, unsigned long long>> win, unix_;
    for (const auto& r : model.folders) {
      if (r.dstStamp == 0) continue;
      std::string name = r.name;
      if (r.dstBackslash) WinPath(name);
      (r.name.compare(0, 7, "Windows") == 0 ? win : unix_).push_back({name, r.dstStamp});
    }
    return Inventory({OsEntry(1, win), OsEntry(2, unix_)});
  }

  kqtest::ScopedConfig config_;
  KQUpdateCache cache_{3, false};
};

TEST_F(PackageFolders, MissingFoldersFilesAndSizesFollowTheModel) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    const kqtest::PackageFolderModel model = kqtest::MakePackageFolderModel(seed);
    std::filesystem::remove_all(Base());
    kqtest::WritePackageFolders(Base(), model);
    PackagesAtCache src = Scan();
    for (bool emptyDst : {false, true}) {
      const kqtest::PackageFolderExpect want = kqtest::ExpectedMissing(model, emptyDst);
      Names folders, files;
      unsigned long long size = 5;  // added to
      ASSERT_TRUE(cache_.ComputeMissingFolders(src, emptyDst ? PackagesAtCache() : Destination(model),
                                               folders, files, Base(), size));
      EXPECT_EQ(folders, want.folders);
      EXPECT_EQ(files, want.files);
      EXPECT_EQ(size, want.size + 5);
    }
  }
}

TEST_F(PackageFolders, ParentsUnsafeNamesAndUnreadableTopFolders) {
  kqtest::WriteFile(Base() + "/Windows/A/x", "12345");
  kqtest::WriteFile(Base() + "/Windows/A/In/y", "1");
  kqtest::WriteFile(Base() + "/Windows/AB/z", "123");
  kqtest::WriteFile(config_.root() + "/outside/secret", "0123456789");
  PackagesAtCache src = Inventory({OsEntry(1, {{"Windows/A", 9},
                                               {"Windows/A/In", 9},     // below a listed folder
                                               {"Windows/AB", 9},       // a sibling, not a child
                                               {"../outside", 9},       // leaves the base
                                               {"/etc", 9},
                                               {"Windows/../../outside", 9}})});
  Names folders, files;
  unsigned long long size = 0;
  ASSERT_TRUE(cache_.ComputeMissingFolders(src, PackagesAtCache(), folders, files, Base(), size));
  EXPECT_EQ(folders, (Names{"Windows/A", "Windows/AB"}));
  EXPECT_EQ(size, 9u);
  EXPECT_TRUE(files.empty());

  // An unreadable platform folder stops the computation; what was added stays.
  PackagesAtCache broken = Inventory({OsEntry(1, {{"Windows/AB", 9}, {"Windows/WinX64", 9}})});
  folders.clear();
  size = 0;
  EXPECT_FALSE(cache_.ComputeMissingFolders(broken, PackagesAtCache(), folders, files, Base(), size));
  EXPECT_EQ(folders, Names{"Windows/AB"});
  EXPECT_EQ(size, 3u);
  // Nothing in the source: true, nothing added.
  PackagesAtCache none;
  EXPECT_TRUE(cache_.ComputeMissingFolders(none, src, folders, files, Base(), size));
  EXPECT_EQ(folders, Names{"Windows/AB"});
  EXPECT_TRUE(cache_.IsPackageCacheEmpty(Inventory({OsEntry(1, {}), PackagesForOS()})));
  EXPECT_FALSE(cache_.IsPackageCacheEmpty(src));

  // A listed folder covers whole path components below it, whatever the separator.
  Names listed = {"Windows/A", "Unix\\B"};
  EXPECT_TRUE(cache_.checkForTheParent(listed, "Windows/A"));
  EXPECT_TRUE(cache_.checkForTheParent(listed, "Windows\\A\\In"));
  EXPECT_TRUE(cache_.checkForTheParent(listed, "Unix/B/c"));
  EXPECT_FALSE(cache_.checkForTheParent(listed, "Windows/AB"));
  EXPECT_FALSE(cache_.checkForTheParent(listed, "Other/Windows/A/x"));
}

TEST_F(PackageFolders, AncestorStampsAndReducedDestinations) {
  PackagesAtCache stamps = Inventory({OsEntry(1, {{"Windows/P", 50}, {"Windows\\Q\\R", 70}}),
                                      OsEntry(2, {{"Unix/u", 30}})});
  std::string path = "Windows/P/sub/deeper";
  unsigned long long ts = 1;
  EXPECT_TRUE(cache_.GetTimeStampOfFolder(path, stamps, ts, 1));
  EXPECT_EQ(ts, 50u);
  EXPECT_EQ(path, "Windows\\P");
  path = "Windows\\Q\\R\\x";  // the walk cuts the '\' form too
  EXPECT_TRUE(cache_.GetTimeStampOfFolder(path, stamps, ts, 1));
  EXPECT_EQ(ts, 70u);
  EXPECT_EQ(path, "Windows\\Q\\R");
  path = "Windows/Z/y";
  EXPECT_FALSE(cache_.GetTimeStampOfFolder(path, stamps, ts, 1));
  EXPECT_EQ(ts, 0u);
  EXPECT_EQ(path, "Windows/Z/y");
  path = "Unix/u";
  EXPECT_FALSE(cache_.GetTimeStampOfFolder(path, stamps, ts, 1));  // another OS

  // Reduced destination: the stamped ancestor of each path decides, files stand for their folder.
  kqtest::WriteFile(Base() + "/Windows/P/sub/f", "abc");
  kqtest::WriteFile(Base() + "/Windows/Q/R/g", "abcd");
  kqtest::WriteFile(Base() + "/Windows/S/h", "ab");
  kqtest::WriteFile(Base() + "/Unix/u/i", "a");
  PackagesAtCache src = Inventory({OsEntry(1, {{"Windows/P", 60}, {"Windows/Q/R", 70},
                                               {"Windows/S", 1}}),
                                   OsEntry(2, {{"Unix/u", 31}})});
  Names folders, files;
  unsigned long long size = 0;
  ASSERT_TRUE(cache_.ComputeMissingRedFolders(stamps, src, {"Windows/P/sub", "Unix/u"},
                                              {"Windows/Q/R/g", "Windows/S/h"}, folders, files,
                                              Base(), size));
  // P: 60 > 50 (its ancestor's stamp); Q/R equal; S has no stamp at all; u newer than 30.
  EXPECT_EQ(folders, (Names{"Windows/P", "Windows/S", "Unix/u"}));
  EXPECT_EQ(size, 3u + 2u + 1u);
  EXPECT_NE(kqtest::ReadFile(config_.logFile())
                .find("TimeStamp file is not present at Windows\\P\\sub. Entire Windows\\P will "
                      "be copied if needed."),
            std::string::npos);
}

TEST_F(PackageFolders, ExtraRemoteFolders) {
  PackagesAtCache remote = Inventory({OsEntry(1, {{"Windows\\Old", 1}, {"Windows/Kept", 1}}),
                                      OsEntry(2, {{"Unix/lin", 1}, {"Unix/gone", 1}})});
  Names extra = {"first"};
  EXPECT_EQ(1, cache_.ComputeExtraFolders(remote, {"Windows\\Kept"}, {"Unix/linux-a"}, extra));
  // "Unix/lin" is kept: it is part of a local name.
  EXPECT_EQ(extra, (Names{"first", "Windows/Old", "Unix/gone"}));
  PackagesAtCache bare;
  EXPECT_EQ(1, cache_.ComputeExtraFolders(bare, {}, {}, extra));
  EXPECT_EQ(extra.size(), 3u);
}

}  // namespace
