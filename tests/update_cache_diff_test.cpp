// Inventory comparison, deletion under the cache root only, the feature-release check and
// manifest files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "KqDbTestEnv.h"
#include "UpdateCacheTestEnv.h"
#include "UpdateUtils.h"

namespace {

class Diff : public kqtest::UpdateCacheTest {
 protected:
  void SetUp() override {
    UpdateCacheTest::SetUp();
    cache_.InitCacheInfo(&source_);
    cache_.InitCacheInfo(&client_);
    cache_.InitCacheInfo(&need_);
    cache_.InitCacheInfo(&result_);
  }
  // Slot o of release index 2 (release 14).
  static UpdatesForOS& Slot(UpdatesAtCache& inv, int o, int sp = 3) {
    inv.releases[2].relId = 14;
    UpdatesForOS& slot = inv.releases[2].osUpdates[o];
    slot.osId = o;
    slot.spVersion = _SPVersion(sp);
    return slot;
  }
  std::vector<std::string> Diffed(bool copyUnneeded) {
    cache_.GetCacheDiff(&source_, &client_, &result_, copyUnneeded, need_);
    return kqtest::Vec(result_.releases[2].osUpdates[1].spUpdates);
  }

  KQUpdateCache cache_{0, true};
  UpdatesAtCache source_, client_, need_, result_;
};

TEST_F(Diff, SameFeatureReleaseListsWhatTheClientLacksAndItsLastUpdateAgain) {
  Slot(source_, 1).spUpdates = {"W", "X", "Y"};
  Slot(client_, 1).spUpdates = {"W"};
  need_.releases[2].needOsForVersion = {1};
  EXPECT_EQ(Diffed(false), (std::vector<std::string>{"X", "Y", "W"}));
  EXPECT_EQ(result_.releases[2].relId, 14);
  EXPECT_EQ(result_.releases[2].osUpdates[1].osId, 1);
  EXPECT_EQ(Diffed(true), (std::vector<std::string>{"X", "Y"}));

  // Everything present: nothing listed, and the slot stays unmarked.
  Slot(client_, 1).spUpdates = {"W", "X", "Y"};
  EXPECT_TRUE(Diffed(false).empty());
  EXPECT_EQ(result_.releases[2].relId, 0);
  EXPECT_EQ(result_.releases[2].osUpdates[1].osId, 0);
  // ... unless additional updates are missing.
  Slot(source_, 1).additionalUpdates = {"A", "B"};
  Slot(client_, 1).additionalUpdates = {"A"};
  EXPECT_TRUE(Diffed(false).empty());
  EXPECT_EQ(kqtest::Vec(result_.releases[2].osUpdates[1].additionalUpdates),
            (std::vector<std::string>{"B", "A"}));
  EXPECT_EQ(result_.releases[2].osUpdates[1].osId, 1);

  // Another feature release: all of the source's.
  Slot(client_, 1, 2);
  EXPECT_EQ(Diffed(false), (std::vector<std::string>{"W", "X", "Y"}));
  EXPECT_TRUE(result_.releases[2].osUpdates[1].spVersion == _SPVersion(3));
}

TEST_F(Diff, UnneededOsesAreCopiedWholeOnlyOnRequestAndNewReleasesNever) {
  Slot(source_, 3).spUpdates = {"W"};
  Slot(client_, 3).spUpdates = {"W"};
  cache_.GetCacheDiff(&source_, &client_, &result_, false, need_);
  EXPECT_EQ(result_.releases[2].relId, 0);
  cache_.GetCacheDiff(&source_, &client_, &result_, true, need_);
  EXPECT_EQ(kqtest::Vec(result_.releases[2].osUpdates[3].spUpdates), (std::vector<std::string>{"W"}));
  EXPECT_EQ(result_.releases[2].relId, 14);

  // OS 5 and releases from 15 on are never compared.
  cache_.InitCacheInfo(&source_);
  Slot(source_, 5).spUpdates = {"W"};
  source_.releases[1].relId = 15;
  source_.releases[1].osUpdates[1].osId = 1;
  source_.releases[1].osUpdates[1].spUpdates = {"W"};
  need_.releases[2].needOsForVersion = {5};
  need_.releases[1].needOsForVersion = {1};
  cache_.GetCacheDiff(&source_, &client_, &result_, true, need_);
  EXPECT_TRUE(cache_.IsCacheEmpty(&result_));
}

TEST_F(Diff, AGeneratedCacheDeletedByItsOwnInventoryLeavesNoReleaseFolder) {
  kqtest::UpdateCacheOptions options;
  options.updates = 1500;
  options.strays = false;
  Generate(options);
  kqtest::WriteFile(dir_ / "KQUpdates/keep.txt", "kept\n");
  UpdatesAtCache inv;
  ASSERT_TRUE(cache_.GetAllUpadtesFromCache(Prop(), &inv, false));
  ASSERT_TRUE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_FALSE(IsADirectory((dir_ / "KQUpdates/9.0.0").c_str()));
  EXPECT_TRUE(IsADirectory((dir_ / "KQUpdates/10.0.0/Windows").c_str()));
  EXPECT_TRUE(isFilePresent((dir_ / "KQUpdates/keep.txt").c_str()));
}

TEST_F(Diff, DeletionKeepsAFolderThatStillHoldsAFeatureRelease) {
  const std::string base = dir_ / "KQUpdates/9.0.0/WinX64";
  kqtest::WriteFile(base + "/ServicePacks/SP3/Updates/winx64_SP3_fix-1/Config/update.ini", "x\n");
  kqtest::WriteFile(base + "/Updates/winx64_SP0_fix-2/Config/update.ini", "x\n");
  UpdatesAtCache inv;
  cache_.InitCacheInfo(&inv);
  Slot(inv, 3).additionalUpdates = {"winx64_SP0_fix-2"};
  ASSERT_TRUE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_FALSE(isFilePresent((base + "/Updates").c_str()));
  EXPECT_TRUE(IsADirectory((base + "/ServicePacks/SP3").c_str()));
  // One Unix OS's feature release goes with the shared Unix folder.
  kqtest::WriteFile(dir_ / "KQUpdates/9.0.0/Unix/ServicePacks/SP4/Updates/aix/aix_SP4_f-1/x", "x\n");
  kqtest::WriteFile(dir_ / "KQUpdates/9.0.0/Unix/Updates/linux/linux_SP0_f-2/x", "x\n");
  cache_.InitCacheInfo(&inv);
  Slot(inv, 9).spUpdates = {"linux_SP4_f-3"};
  ASSERT_TRUE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_FALSE(isFilePresent((dir_ / "KQUpdates/9.0.0/Unix/ServicePacks").c_str()));
  EXPECT_TRUE(isFilePresent((dir_ / "KQUpdates/9.0.0/Unix/Updates/linux/linux_SP0_f-2/x").c_str()));
}

TEST_F(Diff, HostileDeletionsAreRefusedAndNothingOutsideTheCacheGoes) {
  kqtest::TempDir outside;
  kqtest::WriteFile(outside / "sentinel/file", "precious\n");
  const std::string updates = dir_ / "KQUpdates/9.0.0/Windows/Updates";
  kqtest::WriteFile(updates + "/win_SP0_keep-1/Config/update.ini", "x\n");
  ASSERT_EQ(symlink((outside / "sentinel").c_str(), (updates + "/win_SP0_linked-1").c_str()), 0);
  UpdatesAtCache inv;
  for (const char* name : {"..", "a/b", "x\\..\\..", "", "win_SP0_../../x", "../../../sentinel"}) {
    cache_.InitCacheInfo(&inv);
    Slot(inv, 1).additionalUpdates = {name};
    EXPECT_FALSE(cache_.DeleteCache(Prop(), &inv)) << name;
  }
  for (const char* root : {"", "relative/cache", "/", "//"}) {
    CacheProp prop;
    prop.cacheRoot = root;
    cache_.InitCacheInfo(&inv);
    Slot(inv, 1).additionalUpdates = {"win_SP0_keep-1"};
    EXPECT_FALSE(cache_.DeleteCache(prop, &inv)) << root;
  }
  EXPECT_TRUE(isFilePresent((updates + "/win_SP0_keep-1/Config/update.ini").c_str()));

  // A linked update folder goes as a link; its target stays.
  cache_.InitCacheInfo(&inv);
  Slot(inv, 1).additionalUpdates = {"win_SP0_linked-1"};
  ASSERT_TRUE(cache_.DeleteCache(Prop(), &inv));
  struct stat st;
  EXPECT_NE(lstat((updates + "/win_SP0_linked-1").c_str(), &st), 0);
  EXPECT_EQ(kqtest::ReadFile(outside / "sentinel/file"), "precious\n");

  // Releases without a name and OSes without a folder are skipped.
  cache_.InitCacheInfo(&inv);
  inv.releases[0].relId = 99;
  inv.releases[0].osUpdates[1].osId = 1;
  inv.releases[0].osUpdates[1].additionalUpdates = {"win_SP0_keep-1"};
  Slot(inv, 5).additionalUpdates = {"win_SP0_keep-1"};
  EXPECT_TRUE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_TRUE(isFilePresent((updates + "/win_SP0_keep-1/Config/update.ini").c_str()));
  EXPECT_NE(Log().find("Release [99] has no name; skipped"), std::string::npos);
}

TEST_F(Diff, DeletionKeepsTheGuardsRuleForLinksAndEmptyFolders) {
  kqtest::TempDir outside;
  kqtest::WriteFile(outside / "9.0.0/Windows/Updates/win_SP0_fix-1/x", "precious\n");
  kqtest::WriteFile(outside / "9.0.0/Windows/ServicePacks/SP3/x", "precious\n");
  const std::map<std::string, std::string> before = kqtest::TreeManifest(outside.path());
  ASSERT_EQ(0, mkdir((dir_ / "KQUpdates").c_str(), 0755));
  ASSERT_EQ(0, symlink((outside / "9.0.0").c_str(), (dir_ / "KQUpdates/9.0.0").c_str()));
  UpdatesAtCache inv;
  cache_.InitCacheInfo(&inv);
  Slot(inv, 1).additionalUpdates = {"win_SP0_fix-1"};
  EXPECT_FALSE(cache_.DeleteCache(Prop(), &inv));
  cache_.InitCacheInfo(&inv);
  Slot(inv, 1).spUpdates = {"win_SP3_fix-1"};
  EXPECT_FALSE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_EQ(before, kqtest::TreeManifest(outside.path()));
  // The Part's text on a line of its own, the reason on the next.
  EXPECT_NE(Log().find("Failed to remove Feature Release <" + dir_ /
                       "KQUpdates/9.0.0/Windows/ServicePacks>\n"),
            std::string::npos)
      << Log();
  ASSERT_EQ(0, unlink((dir_ / "KQUpdates/9.0.0").c_str()));

  // Zero-byte markers keep their folders; folders of empty folders go.
  const std::string updates = dir_ / "KQUpdates/9.0.0/Windows/Updates";
  kqtest::WriteFile(updates + "/win_SP0_marker-1/installed", "");
  kqtest::WriteFile(updates + "/win_SP0_fix-2/x", "x");
  ASSERT_EQ(0, mkdir((dir_ / "KQUpdates/9.0.0/Windows/ServicePacks").c_str(), 0755));
  cache_.InitCacheInfo(&inv);
  Slot(inv, 1).additionalUpdates = {"win_SP0_fix-2"};
  ASSERT_TRUE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_TRUE(isFilePresent((updates + "/win_SP0_marker-1/installed").c_str()));
  EXPECT_FALSE(isFilePresent((updates + "/win_SP0_fix-2").c_str()));
  Slot(inv, 1).additionalUpdates = {"win_SP0_marker-1"};
  ASSERT_TRUE(cache_.DeleteCache(Prop(), &inv));
  EXPECT_FALSE(isFilePresent((dir_ / "KQUpdates/9.0.0").c_str()));

  // Without the update types no path can be built: the entry fails and nothing goes.
  kqtest::WriteFile(dir_ / "win_SP0_fix-3/x", "x");
  kqtest::WriteFile(updates + "/win_SP0_fix-3/x", "x");
  const QU_UpdateType saved[2] = {UpdateTypesInfo[0], UpdateTypesInfo[1]};
  UpdateTypesInfo[0] = QU_UpdateType();
  UpdateTypesInfo[1] = QU_UpdateType();
  cache_.InitCacheInfo(&inv);
  Slot(inv, 1).additionalUpdates = {"win_SP0_fix-3"};
  const bool deleted = cache_.DeleteCache(Prop(), &inv);
  Slot(inv, 1).spUpdates = {"win_SP3_fix-1"};
  const bool deletedFr = cache_.DeleteCache(Prop(), &inv);
  UpdateTypesInfo[0] = saved[0];
  UpdateTypesInfo[1] = saved[1];
  EXPECT_FALSE(deleted);
  EXPECT_FALSE(deletedFr);
  EXPECT_TRUE(isFilePresent((dir_ / "win_SP0_fix-3/x").c_str()));
  EXPECT_TRUE(isFilePresent((updates + "/win_SP0_fix-3/x").c_str()));
}

TEST_F(Diff, FeatureReleaseCheckForWindowsAndTheSharedUnixFolder) {
  std::filesystem::create_directories(dir_ / "KQUpdates/10.0.0/Windows/ServicePacks/SP3");
  std::filesystem::create_directories(dir_ / "KQUpdates/10.0.0/Windows/ServicePacks/SP12");
  std::filesystem::create_directories(dir_ / "KQUpdates/10.0.0/WinX64/ServicePacks/SP2");
  std::filesystem::create_directories(dir_ / "KQUpdates/10.0.0/Unix/ServicePacks/SP5");
  std::filesystem::create_directories(dir_ / "KQUpdates/9.0.0/Windows/ServicePacks/SP9");
  UpdatesAtCache inv;
  cache_.InitCacheInfo(&inv);
  inv.releases[1].needOsForVersion = {1, 16, 22};  // WinX64 not needed
  inv.releases[2].needOsForVersion = {1};
  inv.releases[1].osUpdates[1].valid = false;
  ASSERT_TRUE(cache_.CheckServicePackIntegrity(dir_.path().c_str(), inv));
  const UpdatesForRelease& rel = inv.releases[1];
  EXPECT_EQ(rel.osUpdates[1].osId, 1);
  EXPECT_EQ(rel.osUpdates[1].spVersion.GetMajor(), 12);
  EXPECT_TRUE(rel.osUpdates[1].valid);
  EXPECT_EQ(rel.osUpdates[3].osId, 0);
  EXPECT_EQ(rel.osUpdates[3].spVersion.GetMajor(), -1);
  EXPECT_EQ(rel.osUpdates[5].osId, 5);
  for (int m : {16, 22}) {
    EXPECT_EQ(rel.osUpdates[m].spVersion.GetMajor(), 5) << m;
    EXPECT_EQ(rel.osUpdates[m].osId, 0) << m;  // the Unix OS slots get no id
  }
  EXPECT_EQ(rel.osUpdates[17].spVersion.GetMajor(), -1);
  EXPECT_EQ(inv.releases[2].osUpdates[1].spVersion.GetMajor(), -1);  // release 14: not checked
  EXPECT_NE(Log().find("SP integrity check successful"), std::string::npos);
}

TEST_F(Diff, ManifestsAndOsPrefixes) {
  std::map<std::string, int> names = {{"old", 3}};
  kqtest::WriteFile(dir_ / "servicepack.ini", "[SP]\r\nVersion=3\r\n");
  cache_.GrabManifest(dir_.path().c_str(), "servicepack.ini", names);
  EXPECT_EQ(names, (std::map<std::string, int>{{"old", 3}}));
  kqtest::WriteFile(dir_ / "list.txt", "a\r\nold\nb");
  cache_.GrabManifest(dir_.path().c_str(), "list.txt", names);
  EXPECT_EQ(names, (std::map<std::string, int>{{"a", 0}, {"b", 0}, {"old", 0}}));
  cache_.GrabManifest(dir_.path().c_str(), "missing.txt", names);
  EXPECT_EQ(names.size(), 3u);
  EXPECT_NE(Log().find("Could not open file [" + dir_.path() + "/missing.txt] with errno [2]"),
            std::string::npos);
  EXPECT_EQ(cache_.GetOSPrefix("linux_SP3_x"), "linux");
  EXPECT_EQ(cache_.GetOSPrefix("plain"), "plain");
}

}  // namespace
