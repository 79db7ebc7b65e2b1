// Reduced update lists (location rewrite, new- and old-layout lists against the generated
// cache's model, the console subset), the old-style media walk with its readers and filters,
// and Unix seed update trees.
#include <filesystem>

#include "CacheTestEnv.h"
#include "Jail.h"
#include "ReducedPackBuilder.h"

namespace kqtest {
namespace {

namespace fs = std::filesystem;

struct Listed {
  int rc = 0;
  std::string resolved, error;
  std::list<std::string> files;
};

Listed List(const std::string& location, int os, std::vector<unsigned> ids, int bs,
            const std::string& unixSub = "") {
  ReducedPackBuilder b;
  b.setUnixSubFolder(unixSub);
  Listed l;
  unsigned long size = 5;
  l.rc = b.ComputeReducedUpdates(location, os, ids, l.resolved, l.files, size, l.error, bs);
  EXPECT_EQ(5u, size);
  return l;
}

std::set<std::string> AsNames(const std::list<std::string>& l) { return {l.begin(), l.end()}; }

class ReducedUpdatesTest : public CacheTreeTest {};

TEST_F(ReducedUpdatesTest, OldReleasesUnderTheMediaFolderAreReadInTheUpdatesLayout) {
  struct Case {
    std::string in;
    int os;
    std::string sub, out;
  };
  const std::string m = Scratch("none");  // nothing exists: only the location is computed
  for (const Case& c : std::vector<Case>{
           {m + "/KQMedia/11.0.0/Unix", 16, "", m + "/KQMedia/11.0.0/Unix"},
           {m + "/KQMedia/10.0.0/Windows", 3, "", m + "/KQUpdates/10.0.0/WinX64"},
           {m + "/KQMedia/10.0.0/Windows", 1, "", m + "/KQUpdates/10.0.0/Windows"},
           {m + "/KQMedia/10.0.0/Unix/x", 16, "", m + "/KQUpdates/10.0.0"},
           {m + "/KQMedia/10.0.0/Unix/x", 16, "linux-x8664", m + "/KQUpdates/10.0.0/linux-x8664"},
           {m + "/KQMedia/10.0.0/UnixCache/a", 16, "", m + "/KQUpdates/10.0.0/UnixCache/a"},
           {m + "/KQMedia", 3, "", m + "/KQMedia"},
           {m + "/KQMedia/", 3, "", m + "/KQMedia/"},
           {m + "/KQMedia/10.0.0", 3, "", m + "/KQMedia/10.0.0"},
           {m + "/plain", 3, "", m + "/plain"}}) {
    SCOPED_TRACE(c.in + " os " + std::to_string(c.os));
    Listed l = List(c.in, c.os, {}, 0, c.sub);
    EXPECT_EQ(1, l.rc);
    EXPECT_EQ(c.out, l.resolved);
    EXPECT_EQ("ComputeReducedUpdates: Unable to access dvd location [" + c.out + "]", l.error);
    EXPECT_TRUE(l.files.empty());
  }
}

TEST_F(ReducedUpdatesTest, MediaReleaseListsItsLooseUpdatesPacksAndInstallerFiles) {
  const std::vector<long long> pk(hub_->media.packages.begin(), hub_->media.packages.end());
  const MediaReleaseRecord& media = model().media[0];
  for (int os : {3, 22}) {  // binary set 31 would be looked up as 7
    SCOPED_TRACE(os);
    const long long bs = os > 4 ? CacheUnixBinarySet(os) : os;
    const std::vector<long long> ids = {pk[1], pk[4]};
    Listed l = List(path("KQMedia/11.0.0/") + (os > 4 ? "Unix" : "Windows"), os, {ids.begin(), ids.end()},
                    static_cast<int>(bs));
    ASSERT_EQ(1, l.rc);
    ExpectedLists e = OracleRelease16(manifest(), model(), media, os, {bs, ids});
    const std::string prefix = OraclePayload(os, model()) + "/LooseUpdates/";
    std::set<std::string> expected;
    for (const Entry& x : e.media)
      if (x.first.compare(0, prefix.size(), prefix) == 0) expected.insert(OracleSlashes(x.first.substr(prefix.size())));
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(expected, AsNames(l.files));
  }
}

TEST_F(ReducedUpdatesTest, OldLayoutListsFeatureReleaseLooseUpdatesAndInstallerFiles) {
  const std::vector<long long> ids = {101, 104};
  Listed l = List(path("KQUpdates/10.0.0/WinX64"), 3, {101, 104}, 3);
  ASSERT_EQ(1, l.rc) << l.error;
  ExpectedLists e = OracleRelease15(manifest(), model(), os15(3), {3, ids});
  std::set<std::string> expected;
  for (const Entry& x : e.featureRelease) expected.insert("ServicePacks/SP10/" + OracleSlashes(x.first));
  for (const Entry& x : e.loose) expected.insert("Updates/" + OracleSlashes(x.first));
  for (const Entry& x : e.installer) expected.insert(OracleSlashes(x.first));
  EXPECT_GT(expected.size(), 10u);
  EXPECT_EQ(expected, AsNames(l.files));
}

// The console's updates: those with a ".jar" below "BinaryPayload", their "Config" entries and
// the entries outside "Updates".
TEST_F(ReducedUpdatesTest, ConsoleSubset) {
  CacheManifest out = ScratchCache("console");
  auto update = [](const std::string& name, std::vector<std::string> bins) {
    UpdateRecord u;
    u.folder = u.name = name;
    MapPackage p{1118, {}};
    for (const std::string& b : bins) p.binaries.push_back(MapBinary{b, "1", "Binary"});
    u.sets.push_back(MapBinarySet{3, {p}, ""});
    u.configFiles.push_back(MapEntry{"Config/update.ini", "2"});
    return u;
  };
  const std::string osRel = "KQUpdates/10.0.0/WinX64";
  WriteUpdate(out, osRel + "/Updates", update("U1", {"BinaryPayload\\x.jar", "bin\\a.dll"}), false);
  WriteUpdate(out, osRel + "/Updates", update("U2", {"bin\\y.dll"}), false);
  InstallerRecord installer;
  installer.entries.push_back(MapEntry{"setup.exe", "3"});
  WriteInstaller(out, osRel, installer, false);
  ReducedPackBuilder b;
  std::list<std::string> files;
  std::string message;
  ASSERT_EQ(1, b.ComputeReducedUpdatesForGUI(out.root + "/" + osRel, 3, files, message));
  EXPECT_EQ((std::list<std::string>{"Updates/U1/BinaryPayload/x.jar", "Updates/U1/Config/update.ini",
                                    "Updates/U1/Config/UpdateFileInstallMap.xml",
                                    "Updates/U1/Config/UpdateFileInstallMap.xml.description", "setup.exe",
                                    "InstallFileCheckSum.xml", "InstallFileCheckSum.xml.description"}),
            files);
  files.clear();
  ASSERT_EQ(1, b.ComputeReducedUpdatesForGUI(out.root + "/nothing", 3, files, message));
  EXPECT_EQ("No applicable updates found for Tessara Console", message);
}

// An old-style Unix medium: service-pack folder with its updates and configuration, an
// additional update folder, a link loop, descriptors in the new format.
class MediaWalkTest : public CacheTreeTest {
 protected:
  void SetUp() override {
    CacheTreeTest::SetUp();
    root_ = Scratch("walk-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    Descriptor(root_ + "/SP12/Updates/linux-x8664/U1", "U1", {12});
    Descriptor(root_ + "/SP12/Updates/linux-x8664/U2", "U2", {7, 13});
    Descriptor(root_ + "/SP12/Updates/linux-x8664/U3", "U3", {120});
    WriteFile(root_ + "/SP12/Updates/linux-x8664/notes.txt", "n");
    WriteFile(root_ + "/SP12/Config/servicepack.ini", "s");
    WriteFile(root_ + "/SP12/servicepack.ini", "s");
    Descriptor(root_ + "/Extra/Updates/linux-x8664/A1", "A1", {14});
    Descriptor(root_ + "/Extra/Updates/linux-x8664/A2", "A2", {15});
    fs::create_directories(root_ + "/Extra/Updates/linux-x8664/A3");  // no descriptor
    fs::create_directory_symlink("..", root_ + "/SP12/loop");
    fs::create_directory_symlink("..", root_ + "/Deep");
  }
  static void Descriptor(const std::string& folder, const std::string& name, std::vector<int> ids) {
    std::string text = "[VERSION]=9.0\r\n[NAME]=" + name + "\r\n";
    for (int id : ids) text += "[" + std::to_string(id) + ":Pkg" + std::to_string(id) + "]=Yes\r\n";
    WriteFile(folder + "/Config/update.ini", text);
  }
  static std::vector<std::string> Names(const std::list<INIInfoForPatch>& l) {
    std::vector<std::string> out;
    for (const INIInfoForPatch& r : l) out.push_back(r.patchName);
    return out;
  }
  std::string root_;
};

TEST_F(MediaWalkTest, WalkFindsTheFoldersReadersAndFiltersKeepTheNamedPackages) {
  ReducedPackBuilder b;
  b.setOSId(16);
  b.SetUpdatesFolderUnix(root_);
  const std::string sp = root_ + "/SP12/Updates/linux-x8664", extra = root_ + "/Extra/Updates/linux-x8664";
  EXPECT_EQ(sp, b.spUpdateFolder());
  EXPECT_EQ(extra, b.additionalUpdateFolder());
  EXPECT_EQ(root_ + "/SP12/Config", b.configFolder());
  EXPECT_EQ((std::list<std::string>{root_ + "/SP12/servicepack.ini"}), b.extraFiles());

  ASSERT_EQ(1, b.ReadSPUpdateIniUnix());
  EXPECT_EQ((std::vector<std::string>{sp + "/U1", sp + "/U2", sp + "/U3"}), Names(b.spUpdates()));
  ASSERT_EQ(1, b.ReadAdditionalUpdateIniUnix());
  EXPECT_EQ((std::vector<std::string>{extra + "/A1", extra + "/A2"}), Names(b.additionalUpdates()));
  EXPECT_EQ(1, b.FilterSPUpdates("12, 13 (14)"));
  EXPECT_EQ(1, b.FilterAdditionalUpdates("12, 13 (14)"));
  EXPECT_EQ((std::vector<std::string>{sp + "/U1", sp + "/U2"}), Names(b.filteredSPUpdates()));
  EXPECT_EQ((std::vector<std::string>{extra + "/A1"}), Names(b.filteredAdditionalUpdates()));

  b.GetFileListUnix(sp);
  EXPECT_EQ((std::list<std::string>{root_ + "/SP12/servicepack.ini", sp + "/notes.txt"}), b.extraFiles());
}

TEST_F(MediaWalkTest, WithoutUpdatesFoldersNothingIsFound) {
  ReducedPackBuilder b;
  b.setOSId(16);
  b.SetUpdatesFolderUnix(root_ + "/SP12/Config");
  EXPECT_EQ("", b.spUpdateFolder());
  EXPECT_EQ("", b.additionalUpdateFolder());
  EXPECT_EQ(0, b.ReadSPUpdateIniUnix());
  EXPECT_EQ(1, b.ReadAdditionalUpdateIniUnix());
  b.SetUpdatesFolderUnix(root_ + "/missing");
  EXPECT_EQ("SetUpdatesFolderUnix: Unable to access dvd location[" + root_ + "/missing]", b.errorText());
}

// Seed trees from a release-15 style tree: two Unix systems sharing binary set 31, a Windows one.
class SeedTest : public CacheTreeTest {
 protected:
  void SetUp() override {
    CacheTreeTest::SetUp();
    CacheModel m;
    m.osNames = {{3, "WinX64"}, {16, "linux-x8664"}, {15, "linux-x86"}};
    for (int os : {3, 15, 16}) {
      UpdatesOSRecord r;
      r.osId = os;
      for (const char* name : {"U1", "U2"}) {
        UpdateRecord u;
        u.folder = u.name = name;
        const std::string bin = std::string("bin\\") + name + "_" + std::to_string(os) + ".so";
        u.sets.push_back(MapBinarySet{os == 3 ? 3 : 32, {MapPackage{name[1] == '1' ? 1002 : 4000, {{bin, "1", "Binary"}}}},
                                      os == 3 ? "WinX64" : "LinuxX64"});
        u.files[cachegen::Slashes(bin)] = Blob::Text("binary " + bin);
        u.configFiles.push_back(MapEntry{"Config/update.ini", "2"});
        u.files["Config/update.ini"] = Blob::Text("[NAME]=" + std::string(name));
        r.area.updates.push_back(u);
      }
      r.area.installer.entries.push_back(MapEntry{"setup.sh", "3"});
      r.area.installer.files["setup.sh"] = Blob::Text("#!/bin/sh\n");
      m.updates.push_back(r);
    }
    media_ = Scratch("seed-media");
    WriteCache(m, media_);
    media_ += "/KQUpdates/10.0.0";
    seed_ = Scratch("seed");
  }
  // Every file below a folder, relative to it.
  static std::set<std::string> Tree(const std::string& folder) {
    std::set<std::string> out;
    if (!fs::exists(folder)) return out;
    for (auto& e : fs::recursive_directory_iterator(folder))
      if (e.is_regular_file()) out.insert(fs::relative(e.path(), folder).string());
    return out;
  }
  std::string media_, seed_;
};

TEST_F(SeedTest, UnixSystemsSharingABinarySetBothKeepTheirCopies) {
  WriteFile(seed_ + "/Old/stale.txt", "stale");
  ASSERT_EQ("", ComputeUnixSeedUpdates(media_, seed_, 0));
  std::set<std::string> expected;
  for (const char* os : {"linux-x86", "linux-x8664"})
    for (const std::string& f : {std::string("Updates/U1/bin/U1_") + (os == std::string("linux-x86") ? "15" : "16") + ".so",
                                 std::string("Updates/U1/Config/update.ini"), std::string("setup.sh"),
                                 std::string("Updates/U1/Config/UpdateFileInstallMap.xml"),
                                 std::string("Updates/U1/Config/UpdateFileInstallMap.xml.description"),
                                 std::string("InstallFileCheckSum.xml"),
                                 std::string("InstallFileCheckSum.xml.description")})
      expected.insert(std::string("LinuxX64/Updates/") + os + "/" + f);
  EXPECT_EQ(expected, Tree(seed_));
  EXPECT_EQ("#!/bin/sh\n", ReadFile(seed_ + "/LinuxX64/Updates/linux-x86/setup.sh"));
  // A rerun gives the same tree; one system alone keeps to its own folder.
  ASSERT_EQ("", ComputeUnixSeedUpdates(media_, seed_, 0));
  EXPECT_EQ(expected, Tree(seed_));
  ASSERT_EQ("", ComputeUnixSeedUpdates(media_, seed_, 15));
  EXPECT_EQ(7u, Tree(seed_).size());
  // A Windows system does nothing after the seed folder is emptied.
  ASSERT_EQ("", ComputeUnixSeedUpdates(media_, seed_, 3));
  EXPECT_TRUE(Tree(seed_).empty());
}

TEST_F(SeedTest, MissingMediaAndUnsafeFoldersOrNames) {
  EXPECT_EQ("", ComputeUnixSeedUpdates(media_ + "/missing", seed_, 0));
  EXPECT_FALSE(fs::exists(seed_));
  const std::set<std::string> before = Tree(media_);
  // The media location, a folder above it, folders inside it (present or not, also through a
  // link or a ".." spelling) are refused and nothing is deleted.
  fs::create_directory_symlink(media_ + "/linux-x86", Scratch("into-media"));
  for (const std::string& seed : {config().root(), media_, media_ + "/linux-x86", media_ + "/linux",
                                  media_ + "/linux-x86/Updates/U1", Scratch("into-media") + "/seed",
                                  media_ + "/../10.0.0//linux-x8664"}) {
    SCOPED_TRACE(seed);
    EXPECT_EQ(0u, ComputeUnixSeedUpdates(media_, seed, 0).find("INFO:"));
  }
  EXPECT_EQ(before, Tree(media_));
  EXPECT_NE(std::string::npos, ReadFile(config().logFile()).find("lies inside the media location"));

  // "/" and a relative folder, in a child whose root is a folder of this test.
  const std::string jail = Scratch("jail");
  WriteFile(jail + "/media/linux-x86/keep.txt", "keep");
  WriteFile(jail + "/relative/seed/keep.txt", "keep");
  const int jailed = RunJailed(jail, [] {
    int refused = 0;
    for (const char* seed : {"/", "relative/seed"}) refused += ComputeUnixSeedUpdates("/media", seed, 0).find("INFO:") == 0;
    return refused == 2 ? 0 : 1;
  });
  if (jailed != kJailUnavailable) {
    EXPECT_EQ(0, jailed);
  }
  EXPECT_EQ("keep", ReadFile(jail + "/media/linux-x86/keep.txt"));
  EXPECT_EQ("keep", ReadFile(jail + "/relative/seed/keep.txt"));

  // A binary-set name that is not one folder name.
  UpdateRecord u;
  u.folder = u.name = "U0";
  u.sets.push_back(MapBinarySet{32, {MapPackage{1002, {}}}, "../x"});
  CacheManifest out;
  out.root = media_;
  fs::remove_all(media_ + "/linux-x86/Updates");
  WriteUpdate(out, "linux-x86/Updates", u, true);
  EXPECT_EQ("INFO:Binary set name [../x] is not a folder name", ComputeUnixSeedUpdates(media_, seed_, 15));
  EXPECT_FALSE(fs::exists(Scratch("x")));
}

}  // namespace
}  // namespace kqtest
