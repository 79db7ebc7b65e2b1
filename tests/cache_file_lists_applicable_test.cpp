// Applicable loose updates and update packs, on a generated cache.
#include <sys/stat.h>

#include <filesystem>

#include "CacheTestEnv.h"
#include "Unprivileged.h"

namespace kqtest {
namespace {

using UpdatePatches::File;

class ApplicableUpdatesTest : public CacheTreeTest {
 protected:
  // The queries every list is checked with: everything, one binary set with a few packages,
  // and a package list no update names.
  static std::vector<Applicability> Queries(int osId, const std::vector<long long>& packages) {
    long long bs = osId > 4 ? CacheUnixBinarySet(osId) : osId;
    return {{0, {}}, {bs, {packages[0], packages[2], packages[5]}}, {bs, {}}, {0, {packages[1]}}, {bs, {999999}}};
  }
};

std::set<std::string> FirstComponents(const EntryList& l) {
  std::set<std::string> out;
  for (const Entry& e : l) out.insert(e.first.substr(0, e.first.find_first_of("/\\")));
  return out;
}

TEST_F(ApplicableUpdatesTest, LooseUpdatesOfEveryOperatingSystemMatchTheManifest) {
  KQUpdateCache cache(31, false);
  for (int os : {1, 3, 16, 22}) {
    const std::string updates = UpdatesOSRel(model(), os) + "/Updates";
    for (const Applicability& q : Queries(os, CacheOldPackages())) {
      SCOPED_TRACE(::testing::Message() << "os " << os << " bs " << q.binarySet << " packages " << q.packages.size());
      auto packages = PackageList(q.packages);
      std::vector<File> out;
      std::vector<std::string> names;
      ASSERT_TRUE(cache.GetLooseUpdateFilesCheckSumList(path(updates), os, static_cast<int>(q.binarySet),
                                                        &packages, &out, &names));
      std::vector<std::string> expectedNames;
      EntryList expected = OracleLooseUpdates(manifest(), updates, os15(os).area.updates, q, os > 4, &expectedNames);
      EXPECT_EQ(AsList(out), expected);
      EXPECT_EQ(names, expectedNames);
      // The hidden folder and the plain file are never updates.
      EXPECT_EQ(FirstComponents(AsList(out)).count(".hidden"), 0u);
      EXPECT_EQ(FirstComponents(AsList(out)).count("notes.txt"), 0u);
    }
  }
  // Everything applies to an empty list on every binary set: every update is named.
  auto none = PackageList({});
  std::vector<File> all;
  std::vector<std::string> names;
  ASSERT_TRUE(cache.GetLooseUpdateFilesCheckSumList(path(UpdatesOSRel(model(), 3) + "/Updates"), 3, 0, &none, &all, &names));
  EXPECT_GE(names.size(), static_cast<size_t>(CacheOptions().updatesPerOS - 3));
  // The folder without "updatesChecksum.txt" is listed without it; the map names that climb out
  // of their folder are left out, the rest of that update is listed.
  const EntrySet got = AsSet(AsList(all));
  bool sawMap = false;
  for (const Entry& e : got) {
    EXPECT_NE(e.first, hub_->noChecksumUpdate + "/updatesChecksum.txt");
    EXPECT_EQ(e.first.find(".."), std::string::npos) << e.first;
    EXPECT_EQ(e.first.find("etc/evil"), std::string::npos) << e.first;
    sawMap = sawMap || e.first == hub_->unsafeUpdate + "/Config/UpdateFileInstallMap.xml";
  }
  EXPECT_TRUE(sawMap);
}

TEST_F(ApplicableUpdatesTest, PacksAreTheMarkedCuFoldersAndNameTheirOwnUpdatesPerOperatingSystem) {
  KQUpdateCache cache(32, false);
  const MediaReleaseRecord& media = model().media[0];
  const std::vector<long long> packages(hub_->media.packages.begin(), hub_->media.packages.end());
  struct Side {
    int os;
    std::string payload;
    const LooseArea* area;
  };
  std::vector<Side> sides = {{3, "BinaryPayload", &media.windows.loose.at("BinaryPayload")},
                             {1, "BinaryPayload32", &media.windows.loose.at("BinaryPayload32")},
                             {16, "linux-x8664", &media.unix.loose.at("linux-x8664")}};
  for (const Side& s : sides) {
    const std::string areaRel = MediaReleaseRel(model(), media) + (s.os > 4 ? "/Unix/" : "/Windows/") + s.payload + "/LooseUpdates";
    for (const Applicability& q : Queries(s.os, packages)) {
      SCOPED_TRACE(::testing::Message() << "os " << s.os << " bs " << q.binarySet << " packages " << q.packages.size());
      auto list = PackageList(q.packages);
      std::vector<File> out;
      ASSERT_TRUE(cache.GetAllCumulativeUpdatePackFilesCheckSumList(path(areaRel), s.os, static_cast<int>(q.binarySet), &list, &out));
      EXPECT_EQ(AsList(out), OracleAllPacks(manifest(), areaRel, s.area->packs, q, s.os));
      if (q.binarySet == 0 && q.packages.empty()) {
        const std::set<std::string> packNames =
            s.os > 4 ? std::set<std::string>{"CU2"} : std::set<std::string>{"CU1", "CU10", "CU123"};
        EXPECT_EQ(FirstComponents(AsList(out)), packNames);
        // The pack's own updates: '\' after "Updates" for Windows, '/' for Unix.
        bool sawOwn = false;
        for (const Entry& e : AsList(out)) {
          size_t at = e.first.find("/Updates");
          if (at == std::string::npos) continue;
          sawOwn = true;
          const std::string rest = e.first.substr(at + 8);
          EXPECT_EQ(rest.find(s.os > 4 ? '\\' : '/'), std::string::npos) << e.first;
        }
        EXPECT_TRUE(sawOwn);
      }
    }
  }
  EXPECT_NE(Log().find("Configuration file [" + path(MediaReleaseRel(model(), media) +
                                                     "/Windows/BinaryPayload/LooseUpdates/CU7/Config/KQUpdatePack_Cumulative.ini") +
                       "] does not exist, skipping current folder"),
            std::string::npos);
}

TEST_F(ApplicableUpdatesTest, StubsCountInPacksButAreListedOnlyAsLooseBinaries) {
  KQUpdateCache cache(33, false);
  const std::string osRel = UpdatesOSRel(model(), 3);
  auto packages = PackageList({hub_->stubOnlyPackage});
  std::vector<File> out;
  ASSERT_TRUE(cache.GetCumulativeUpdatePackFilesCheckSumList(path(osRel), 3, 3, "CU3", &packages, &out, true));
  const EntrySet got = AsSet(AsList(out));
  EXPECT_TRUE(got.count({"CU3/CU3_STUB/Config/stub.ini", os15(3).area.packs[0].updates.back().configFiles[0].checksum}));
  EXPECT_TRUE(got.count({"CU3/Config/CumulativeUpdatePackInstallMap.xml",
                         manifest().DescriptionText(osRel + "/CU3/Config/CumulativeUpdatePackInstallMap.xml.description")}));
  for (const Entry& e : got) EXPECT_EQ(e.first.find("stub.dll"), std::string::npos) << e.first;

  UpdatePatches::SingleUpdate stub(SingleUpdateMessage(os15(3).area.packs[0].updates.back()));
  for (bool skip : {false, true}) {
    bool applicable = false;
    std::vector<File> bins;
    cache.LoadApplicableBinFromUpdate(3, &packages, &stub, &applicable, &bins, skip);
    EXPECT_TRUE(applicable);
    EXPECT_EQ(bins.size(), skip ? 0u : 1u);
  }
  // A null update or a binary set the update lacks: nothing, and the flag is left alone.
  bool applicable = false;
  std::vector<File> bins;
  cache.LoadApplicableBinFromUpdate(3, &packages, nullptr, &applicable, &bins, false);
  cache.LoadApplicableBinFromUpdate(1, &packages, &stub, &applicable, &bins, false);
  EXPECT_FALSE(applicable);
  EXPECT_TRUE(bins.empty());
}

TEST_F(ApplicableUpdatesTest, OneBadMapFailsTheWholeCall) {
  cachegen::Gen g(5);
  CacheManifest out = ScratchCache("badmap");
  const std::string area = out.root;
  LooseArea a;
  a.updates.push_back(cachegen::LooseUpdate(g, "U1", 3, CacheOldPackages()));
  a.updates.push_back(cachegen::LooseUpdate(g, "U2", 3, CacheOldPackages()));
  a.updates.back().map.broken = true;
  a.packs.push_back(cachegen::MakePack(g, "CU1", 3, CacheOldPackages(), 1, 0));
  a.packs.push_back(cachegen::MakePack(g, "CU2", 3, CacheOldPackages(), 1, 0));
  a.packs.back().map.description = DescriptionStyle::kMissing;
  WriteLooseArea(out, "A", a, false);
  KQUpdateCache cache(34, false);
  auto none = PackageList({});
  std::vector<File> files;
  EXPECT_FALSE(cache.GetLooseUpdateFilesCheckSumList(area + "/A/Updates", 3, 0, &none, &files, nullptr));
  EXPECT_TRUE(files.empty());
  // The first pack's entries stay; the call fails on the second.
  EXPECT_FALSE(cache.GetAllCumulativeUpdatePackFilesCheckSumList(area + "/A", 3, 0, &none, &files));
  EXPECT_EQ(FirstComponents(AsList(files)), std::set<std::string>{"CU1"});
  // Missing folders are not failures.
  files.clear();
  EXPECT_TRUE(cache.GetLooseUpdateFilesCheckSumList(area + "/none", 3, 0, &none, &files, nullptr));
  EXPECT_TRUE(cache.GetAllCumulativeUpdatePackFilesCheckSumList(area + "/none", 3, 0, &none, &files));
  EXPECT_TRUE(cache.GetCumulativeUpdatePackFilesCheckSumList(area + "/A", 3, 0, "CU9", &none, &files, true));
  EXPECT_FALSE(cache.GetCumulativeUpdatePackFilesCheckSumList(area + "/A", 3, 0, "../A", &none, &files, true));
  EXPECT_TRUE(files.empty());
}

TEST_F(ApplicableUpdatesTest, UnreadablePackRootFailsInsteadOfAnsweringNothing) {
  cachegen::Gen g(6);
  CacheManifest out = ScratchCache("locked");
  const std::string area = out.root;
  LooseArea a;
  a.packs.push_back(cachegen::MakePack(g, "CU1", 16, CacheOldPackages(), 1, 0));
  WriteLooseArea(out, "A", a, true);
  ::chmod((area + "/A").c_str(), 0311);  // can be entered, not listed
  GiveTreeToUnprivileged(area);
  int rc = RunUnprivileged([&] {
    KQUpdateCache cache(35, false);
    auto none = PackageList({});
    std::vector<File> files;
    return cache.GetAllCumulativeUpdatePackFilesCheckSumList(area + "/A", 16, 0, &none, &files) ? 1 : 0;
  });
  ::chmod((area + "/A").c_str(), 0755);
  EXPECT_EQ(rc, 0);
}

}  // namespace
}  // namespace kqtest
