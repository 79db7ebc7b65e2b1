// The Hubnode's expected lists per release and operating system, on a generated cache.
#include <filesystem>

#include "CacheTestEnv.h"

namespace kqtest {
namespace {

using UpdatePatches::BinaryV11;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

EntryList ListField(const FilesForOS& os, const KqFieldId& f) {
  EntryList out;
  for (const CNMessageBase& m : *os.getlistobject(f)) {
    if (f.id == 25)
      out.emplace_back(m.getstring(BinaryV11::kRelativePath), m.getstring(BinaryV11::kChecksum));
    else
      out.emplace_back(m.getstring(File::kName), m.getstring(File::kChecksum));
  }
  return out;
}

class ExpectedListsTest : public CacheTreeTest {
 protected:
  static std::vector<long long> MediaPackages() {
    return std::vector<long long>(hub_->media.packages.begin(), hub_->media.packages.end());
  }
  static long long BinarySetOf(int os) { return os > 4 ? CacheUnixBinarySet(os) : os; }
};

TEST_F(ExpectedListsTest, Release15ListsFeatureReleaseLooseUpdatesAndInstallerFiles) {
  KQUpdateCache cache(41, false);
  const std::vector<long long> pk = CacheOldPackages();
  for (int os : {1, 3, 16, 22}) {
    for (const Applicability& q : std::vector<Applicability>{{0, {}}, {BinarySetOf(os), {pk[0], pk[3]}}, {BinarySetOf(os), {}}}) {
      SCOPED_TRACE(::testing::Message() << "os " << os << " bs " << q.binarySet << " packages " << q.packages.size());
      _SPVersion fr;
      auto packages = PackageList(q.packages);
      FilesForOS out;
      ASSERT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(root(), 15, os, static_cast<int>(q.binarySet), &fr, &packages,
                                                     &out, false, ""));
      ExpectedLists e = OracleRelease15(manifest(), model(), os15(os), q);
      EXPECT_EQ(fr.GetMajor(), 10);
      EXPECT_EQ(AsSet(ListField(out, FilesForOS::kSPFiles)), AsSet(e.featureRelease));
      EXPECT_EQ(AsSet(ListField(out, FilesForOS::kLooseUpdateFiles)), AsSet(e.loose));
      EXPECT_EQ(AsSet(ListField(out, FilesForOS::kInstallerFiles)), AsSet(e.installer));
      EXPECT_TRUE(ListField(out, FilesForOS::kMediaFiles).empty());
      EXPECT_FALSE(e.featureRelease.empty());
      EXPECT_EQ(PackageIds(packages), q.packages);
      // "0" checksums are dropped, and of a name listed twice the first checksum stays.
      std::map<std::string, std::string> byName;
      for (const Entry& x : ListField(out, FilesForOS::kSPFiles)) byName[x.first] = x.second;
      EXPECT_EQ(byName.count("Config/unchecked.dat"), 0u);
      ASSERT_EQ(byName.count("Config/base.ini"), 1u);
      EXPECT_NE(byName["Config/base.ini"], "1234");
    }
  }
}

TEST_F(ExpectedListsTest, Release16ListsMediaThenLooseUpdatesPacksAndInstallerFiles) {
  KQUpdateCache cache(42, false);
  const std::vector<long long> pk = MediaPackages();
  const MediaReleaseRecord& media = model().media[0];
  for (int os : {1, 3, 16, 22}) {
    const long long bs = BinarySetOf(os);
    for (const Applicability& q : std::vector<Applicability>{{bs, {}}, {bs, {pk[1], pk[4], pk[7]}}, {bs, {pk.back()}}}) {
      SCOPED_TRACE(::testing::Message() << "os " << os << " packages " << q.packages.size());
      _SPVersion fr;
      auto packages = PackageList(q.packages);
      std::vector<FilesForRel> releases;
      ASSERT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(root(), 16, os, static_cast<int>(bs), &fr, &packages, &releases,
                                                     false, ""));
      ASSERT_EQ(releases.size(), 1u);
      const auto* oses = releases[0].getlistobject(FilesForRel::kOSList);
      ASSERT_EQ(oses->size(), 1u);
      FilesForOS out((*oses)[0]);
      ExpectedLists e = OracleRelease16(manifest(), model(), media, os, q);
      ASSERT_TRUE(e.ok);
      EXPECT_EQ(AsSet(ListField(out, FilesForOS::kMediaFiles)), AsSet(OracleRemoteMedia(manifest(), model(), media, os, e.media)));
      EXPECT_TRUE(ListField(out, FilesForOS::kLooseUpdateFiles).empty());
      EXPECT_TRUE(ListField(out, FilesForOS::kInstallerFiles).empty());
      std::vector<long long> ids = PackageIds(packages);
      EXPECT_EQ(std::set<long long>(ids.begin(), ids.end()), std::set<long long>(e.packages.begin(), e.packages.end()));
    }
  }
}

TEST_F(ExpectedListsTest, DependenciesMakeTheirLooseUpdatesApplicable) {
  KQUpdateCache cache(43, false);
  const MediaReleaseRecord& media = model().media[0];
  const LooseArea& area = media.windows.loose.at("BinaryPayload");
  const std::string updatesRel = MediaReleaseRel(model(), media) + "/Windows/BinaryPayload/LooseUpdates/Updates";
  // A package of the top level whose own updates are fewer than its closure's.
  int found = 0;
  const std::vector<long long> pk = MediaPackages();
  for (auto it = pk.rbegin(); it != pk.rend() && found < 3; ++it) {
    const Applicability alone{3, {*it}};
    ExpectedLists e = OracleRelease16(manifest(), model(), media, 3, alone);
    if (e.packages.size() < 2) continue;
    size_t own = OracleLooseUpdates(manifest(), updatesRel, area.updates, alone, false).size();
    size_t withDeps = OracleLooseUpdates(manifest(), updatesRel, area.updates, {3, e.packages}, false).size();
    if (withDeps <= own) continue;
    ++found;
    _SPVersion fr;
    auto packages = PackageList({*it});
    std::vector<File> f, l, i;
    std::vector<BinaryV11> m;
    ASSERT_TRUE(cache.ReadCacheFilesPerRelOS(path(MediaReleaseRel(model(), media) + "/Windows/BinaryPayload/LooseUpdates"),
                                             16, 3, 3, fr, &packages, &f, &l, &i, &m, false, ""));
    EXPECT_EQ(AsSet(AsList(m)), AsSet(e.media));
    EXPECT_GT(packages.size(), 1u);
  }
  EXPECT_GT(found, 0);
}

TEST_F(ExpectedListsTest, RecutFeatureReleaseIsReadFromItsOwnFolder) {
  KQUpdateCache cache(44, false);
  const MediaReleaseRecord& recut = model().media[1];
  for (int os : {3, 16}) {
    SCOPED_TRACE(os);
    _SPVersion fr(12, 0, 4711, 8);
    auto packages = PackageList({});
    FilesForOS out;
    ASSERT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(root(), 16, os, static_cast<int>(BinarySetOf(os)), &fr, &packages,
                                                   &out, false, ""));
    ExpectedLists e = OracleRelease16(manifest(), model(), recut, os, {BinarySetOf(os), {}});
    EXPECT_EQ(AsSet(ListField(out, FilesForOS::kMediaFiles)), AsSet(OracleRemoteMedia(manifest(), model(), recut, os, e.media)));
    EXPECT_FALSE(e.media.empty());
  }
}

TEST_F(ExpectedListsTest, InstallUpdatesModeListsOnePackOrOnlyTheLooseUpdates) {
  KQUpdateCache cache(45, false);
  const MediaReleaseRecord& media = model().media[0];
  const std::string areaRel = MediaReleaseRel(model(), media) + "/Windows/BinaryPayload/LooseUpdates";
  const LooseArea& area = media.windows.loose.at("BinaryPayload");
  const Applicability q{3, {}};
  ExpectedLists all = OracleRelease16(manifest(), model(), media, 3, q);
  const std::vector<long long> closure = all.packages;

  auto run = [&](const std::string& level, std::vector<BinaryV11>& m) {
    _SPVersion fr;
    auto packages = PackageList({});
    std::vector<File> f, l, i;
    return cache.ReadCacheFilesPerRelOS(path(areaRel), 16, 3, 3, fr, &packages, &f, &l, &i, &m, true, level);
  };
  const std::string prefix = "BinaryPayload/LooseUpdates/";
  std::vector<BinaryV11> withPack;
  ASSERT_TRUE(run("CU10", withPack));
  EntrySet expected;
  for (const Entry& x : all.media)
    if (x.first.compare(0, prefix.size(), prefix) != 0) expected.insert(x);
  for (const Entry& x : OraclePack(manifest(), areaRel, area.packs[1], {3, closure}, 3, true))
    expected.insert({prefix + x.first, x.second});
  for (const Entry& x : OracleInstaller(manifest(), areaRel, area.installer, false))
    expected.insert({prefix + x.first, x.second});
  ASSERT_EQ(area.packs[1].folder, "CU10");
  EXPECT_EQ(AsSet(AsList(withPack)), expected);

  std::vector<BinaryV11> looseOnly;
  ASSERT_TRUE(run("", looseOnly));
  expected.clear();
  for (const Entry& x : all.media)
    if (x.first.compare(0, prefix.size() + 2, prefix + "CU") != 0) expected.insert(x);
  EXPECT_EQ(AsSet(AsList(looseOnly)), expected);

  std::vector<BinaryV11> refused;
  EXPECT_FALSE(run("../BinaryPayload32/LooseUpdates/CU1", refused));
  EXPECT_TRUE(refused.empty());
}

TEST_F(ExpectedListsTest, EmptyBinaryFolderListsNothing) {
  // A payload folder holding only empty files, a catalogue beside it, and no 32-bit payload.
  const std::string cacheRoot = Scratch("empty-media");
  WriteFile(cacheRoot + "/KQMedia/11.0.0/Windows/BinaryPayload/LooseUpdates/Updates/V1/a.dll", "");
  WriteFile(cacheRoot + "/KQMedia/11.0.0/Windows/WinPackages.xml", "<broken");
  KQUpdateCache cache(46, false);
  _SPVersion fr;
  auto packages = PackageList({});
  FilesForOS os;
  EXPECT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(cacheRoot, 16, 3, 3, &fr, &packages, &os, false, ""));
  EXPECT_TRUE(ListField(os, FilesForOS::kMediaFiles).empty());
  EXPECT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(cacheRoot, 16, 1, 1, &fr, &packages, &os, false, ""));
  EXPECT_TRUE(ListField(os, FilesForOS::kMediaFiles).empty());
  EXPECT_NE(Log().find("Packages are not present under"), std::string::npos);
}

TEST_F(ExpectedListsTest, InstallerFolderWithoutItsMapFailsOnceSomethingWasFound) {
  cachegen::Gen g(4);
  CacheManifest out = ScratchCache("no-installer-map");
  const std::string cacheRoot = out.root;
  UpdatesOSRecord r;
  r.osId = 3;
  r.area.updates.push_back(cachegen::LooseUpdate(g, "U1", 3, CacheOldPackages()));
  r.area.installer.map.present = false;
  CacheModel m;
  m.osNames[3] = "WinX64";
  WriteUpdatesOS(out, m, r);
  KQUpdateCache cache(47, false);
  _SPVersion fr;
  auto packages = PackageList({});
  FilesForOS os;
  EXPECT_FALSE(cache.GetCacheFilesFromXMLPerRelOS(cacheRoot, 15, 3, 0, &fr, &packages, &os, false, ""));
  EXPECT_NE(Log().find("Failed to get file-checksum list from install files"), std::string::npos);
  // A package no update names: nothing found, so the installer folder is not read.
  auto other = PackageList({424242});
  EXPECT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(cacheRoot, 15, 3, 0, &fr, &other, &os, false, ""));
  EXPECT_TRUE(ListField(os, FilesForOS::kLooseUpdateFiles).empty());
}

TEST_F(ExpectedListsTest, UnknownOperatingSystemsNullListsAndNamelessReleasesNeverReachAPath) {
  KQUpdateCache cache(48, false);
  _SPVersion fr;
  auto packages = PackageList({});
  std::vector<File> f, l, i;
  std::vector<BinaryV11> m;
  for (int os : {0, -1, 35, 1000}) {
    FilesForOS out;
    EXPECT_FALSE(cache.GetCacheFilesFromXMLPerRelOS(root(), 16, os, 0, &fr, &packages, &out, false, "")) << os;
    EXPECT_FALSE(cache.ReadCacheFilesPerRelOS(root(), 15, os, 0, fr, &packages, &f, &l, &i, &m, false, "")) << os;
  }
  EXPECT_FALSE(cache.ReadCacheFilesPerRelOS(root(), 16, 3, 3, fr, &packages, &f, nullptr, &i, &m, false, ""));
  EXPECT_FALSE(cache.GetCacheFilesFromXMLPerRelOS(root(), 16, 3, 3, nullptr, &packages, static_cast<FilesForOS*>(nullptr), false, ""));
  FilesForOS out;
  EXPECT_FALSE(cache.GetCacheFilesFromXMLPerRelOS(root(), 16, 3, 3, &fr, nullptr, &out, false, ""));
  // Release 13 has no row: nothing is listed and no path is built from an empty name.
  std::vector<FilesForRel> releases;
  EXPECT_TRUE(cache.GetCacheFilesFromXMLPerRelOS(root(), 13, 3, 3, &fr, &packages, &releases, false, ""));
  EXPECT_TRUE(releases.empty());
  EXPECT_TRUE(f.empty() && l.empty() && i.empty() && m.empty());
}

TEST_F(ExpectedListsTest, ResultsOfOneReleaseGatherUnderOneEntry) {
  KQUpdateCache cache(49, false);
  std::vector<FilesForRel> releases;
  std::vector<File> a{MakeFileEntry("a", "1")}, none;
  std::vector<BinaryV11> media;
  cache.ConvertCacheFilesPerRelOS(15, 1, &a, &none, &none, &media, &releases);
  cache.ConvertCacheFilesPerRelOS(16, 3, &none, &none, &none, &media, &releases);
  cache.ConvertCacheFilesPerRelOS(15, 3, &none, &a, &none, &media, &releases);
  ASSERT_EQ(releases.size(), 2u);
  const auto* first = releases[0].getlistobject(FilesForRel::kOSList);
  ASSERT_EQ(first->size(), 2u);
  EXPECT_EQ((*first)[1].getint64(FilesForOS::kOSId), 3);
  EXPECT_EQ(ListField(FilesForOS((*first)[1]), FilesForOS::kLooseUpdateFiles), (EntryList{{"a", "1"}}));

  std::vector<File> names{MakeFileEntry("U1/a.dll", "1")};
  cache.PrependLooseUpdateLoc(16, &names, false);
  cache.PrependLooseUpdateLoc(1, &names, true);
  EXPECT_EQ(names[0].getstring(File::kName), "BinaryPayload32/LooseUpdates/linux-x8664/LooseUpdates/Updates/U1/a.dll");
}

}  // namespace
}  // namespace kqtest
