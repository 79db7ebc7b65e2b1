// Inventories of a generated cache against the generator's model: both scans, both descriptor
// collectors, the reduced-updates switch, release-16 entries, printing and the empty test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "KqDbTestEnv.h"
#include "UpdateCacheTestEnv.h"
#include "UpdateUtils.h"
#include "InstallUtils/IFolderStruct.h"

namespace {

using kqtest::UpdateCacheOptions;

class Inventory : public kqtest::UpdateCacheTest {};

UpdateCacheOptions Small() {
  UpdateCacheOptions options;
  options.updates = 800;
  return options;
}

TEST_F(Inventory, FullInventoryOfTenThousandUpdatesEqualsTheModel) {
  const kqtest::UpdateCacheModel model = Generate(UpdateCacheOptions());
  ASSERT_GT(model.updateCount, 9900);
  KQUpdateCache cache(5, true);
  UpdatesAtCache inv;
  ASSERT_TRUE(cache.GetAllUpadtesFromCache(Prop(), &inv, false));
  // The old scan fills release 14 only; the new scan adds release 15 without a reset.
  EXPECT_EQ(inv.releases[1].relId, 0);
  ASSERT_TRUE(cache.GetAllUpdatesInCacheNew(Prop(), &inv));
  EXPECT_EQ(inv.releases[0].relId, 0);  // release 16 is neither scan's
  ASSERT_TRUE(cache.GetINIInfo(&inv, dir_.path()));
  ASSERT_TRUE(cache.GetINIInfoNew(&inv, dir_.path(), nullptr));
  kqtest::ExpectReleaseEqualsModel(inv, model, 2, true);
  kqtest::ExpectReleaseEqualsModel(inv, model, 1, true);

  unsigned long long space = 1, expected = 0;
  for (const auto& rel : model.releases)
    for (const auto& slot : rel.slots)
      for (const auto& info : slot.infos) expected += info.spaceNeeded;
  ASSERT_TRUE(cache.GetSpaceNeededAtCache(inv, space));
  EXPECT_EQ(space, expected);
  EXPECT_FALSE(cache.IsCacheEmpty(&inv));

  // The whole 9,000-character line was read.
  bool found = false;
  for (const auto& info : inv.releases[2].osUpdates[1].iniInfos)
    if (info.patchName == model.longRequiresUpdate) found = info.requires.size() == 9000;
  EXPECT_TRUE(found) << model.longRequiresUpdate;
}

TEST_F(Inventory, ScansWithoutTheReleaseFlagDoNotStampTheVersion) {
  const kqtest::UpdateCacheModel model = Generate(Small());
  KQUpdateCache cache(0, false);
  _SPVersion sp;
  std::vector<std::string> names;
  ASSERT_TRUE(cache.GetOSUpdatesInCacheNew(15, 1, 0, Prop(), sp, &names));
  EXPECT_EQ(sp.GetMajor(), model.releases[1].slots[1].sp.GetMajor());
  EXPECT_EQ(sp.GetRelease(), 0);
  EXPECT_EQ(sp.GetBuild(), 0);
  EXPECT_EQ(names, model.releases[1].slots[1].spUpdates);
  // OS 5 and OS 0 have no folders: nothing is listed, the cache root included.
  names.clear();
  ASSERT_TRUE(cache.GetOSUpdatesAtCache(14, 5, 1, Prop(), sp, &names));
  ASSERT_TRUE(cache.GetOSUpdatesInCacheNew(15, 0, 1, Prop(), sp, &names));
  EXPECT_TRUE(names.empty());
}

TEST_F(Inventory, LinkedUpdateFoldersAreListedDanglingOnesAndFilesAreNot) {
  const std::string updates = dir_ / "KQUpdates/9.0.0/Windows/Updates";
  std::filesystem::create_directories(updates + "/win_SP0_real-1");
  std::filesystem::create_directories(dir_ / "elsewhere/target");
  kqtest::WriteFile(dir_ / "elsewhere/file", "x");
  std::filesystem::create_directory_symlink(dir_ / "elsewhere/target", updates + "/win_SP0_link-1");
  std::filesystem::create_symlink(dir_ / "elsewhere/gone", updates + "/win_SP0_dangling-1");
  std::filesystem::create_symlink(dir_ / "elsewhere/file", updates + "/win_SP0_tofile-1");
  KQUpdateCache cache(0, true);
  _SPVersion sp;
  std::vector<std::string> names;
  ASSERT_TRUE(cache.GetOSUpdatesAtCache(14, 1, 1, Prop(), sp, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"win_SP0_link-1", "win_SP0_real-1"}));
}

TEST_F(Inventory, MissingFeatureReleaseDescriptorNeedsReducedUpdatesAllowed) {
  UpdateCacheOptions options = Small();
  options.missingR15SPDescriptor = true;
  const kqtest::UpdateCacheModel model = Generate(options);
  ASSERT_FALSE(model.missingDescriptorName.empty());
  for (const char* setting : {"", "0", "1"}) {
    if (*setting) db_.config().set("UpdateFlags", "nAllowReducedUpdates", setting);
    KQUpdateCache cache(0, true);
    UpdatesAtCache inv;
    cache.InitCacheInfo(&inv);
    ASSERT_TRUE(cache.GetAllUpdatesInCacheNew(Prop(), &inv));
    const bool allowed = std::string(setting) == "1";
    EXPECT_EQ(cache.GetINIInfoNew(&inv, dir_.path(), nullptr), allowed) << setting;
    if (allowed) kqtest::ExpectReleaseEqualsModel(inv, model, 1, true);
  }
  EXPECT_NE(Log().find("Reading SP update.ini files for release [15] and os type [1] returned error"),
            std::string::npos);
}

TEST_F(Inventory, AdditionalUpdateWithoutDescriptorStopsTheNewCollector) {
  Generate(Small());
  KQUpdateCache cache(0, true);
  UpdatesAtCache inv;
  cache.InitCacheInfo(&inv);
  ASSERT_TRUE(cache.GetAllUpdatesInCacheNew(Prop(), &inv));
  inv.releases[1].osUpdates[3].additionalUpdates.push_back("winx64_SP0_nodescriptor");
  EXPECT_FALSE(cache.GetINIInfoNew(&inv, dir_.path(), nullptr));
  EXPECT_NE(Log().find("Reading additional update.ini files for release [1] and os type [3]"),
            std::string::npos);
}

// A release-16 entry sits at the index of release row 15, the one the collector visits; its
// additional updates are looked for in the media tree.
TEST_F(Inventory, Release16EntryReadsLooseUpdatesOfTheMediaTree) {
  const std::string name = "winx64_SP2_loose-001";
  const std::string loose = GetLooseUpdateFolder(16, 3, false, false);
  kqtest::WriteFile(dir_.path() + "/" + loose + "/Updates/" + name + "/Config/update.ini",
                    "[NAME]=" + name + "\n[SPACENEEDED]=77\n[Core Agent]=Yes\n");
  KQUpdateCache cache(0, true);
  UpdatesAtCache inv;
  cache.InitCacheInfo(&inv);
  inv.releases[1].relId = 16;
  inv.releases[1].osUpdates[3].osId = 3;
  inv.releases[1].osUpdates[3].additionalUpdates.push_back(name);
  ASSERT_TRUE(cache.GetINIInfoNew(&inv, dir_.path(), nullptr));
  ASSERT_EQ(inv.releases[1].osUpdates[3].iniInfos.size(), 1u);
  const INIInfoForPatch& info = inv.releases[1].osUpdates[3].iniInfos.front();
  EXPECT_EQ(info.spaceNeeded, 77u);
  EXPECT_EQ(info.packages, "Core Agent,");
  EXPECT_EQ(info.isSPUpdate, 0u);
  // A release-16 entry elsewhere is not visited.
  UpdatesAtCache other;
  cache.InitCacheInfo(&other);
  other.releases[0] = inv.releases[1];
  other.releases[0].osUpdates[3].iniInfos.clear();
  ASSERT_TRUE(cache.GetINIInfoNew(&other, dir_.path(), nullptr));
  EXPECT_TRUE(other.releases[0].osUpdates[3].iniInfos.empty());
}

// With a folder-structure reader the loose updates lie below the reader's media root, which
// need not be the cache root.
TEST_F(Inventory, Release16EntryWithAReaderReadsBelowItsMediaRoot) {
  kqtest::TempDir media;
  const std::string name = "linux_SP2_loose-002";
  kqtest::WriteFile(media.path() + GetLooseUpdateFolder(16, 9, false, false) + "/Updates/" + name +
                        "/Config/update.ini",
                    "[NAME]=" + name + "\n[VERSION]=9.0\n[3:Unix Agent]=Yes\n");
  KQInstallCommonUtils::CacheHierarchy hierarchy;
  ASSERT_EQ(0, XMLDecoder::unSerialize(
                   hierarchy, KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1)));
  KQInstallCommonUtils::IFolderStruct* reader = nullptr;
  ASSERT_EQ(0u, KQInstallCommonUtils::CreateFolderStructReader(
                    &reader, nullptr, hierarchy,
                    {{"MEDIAROOT", media.path()}, {"VERSION", "11"}, {"BUILD", "80"},
                     {"SPMAJOR", "0"}, {"TRANSACTIONID", "0"}, {"REVISIONID", "0"},
                     {"CUNUMBER", "0"}},
                    FullVersion(), "/"));
  KQUpdateCache cache(0, true);
  UpdatesAtCache inv;
  cache.InitCacheInfo(&inv);
  inv.releases[1].relId = 16;
  UpdatesForOS& slot = inv.releases[1].osUpdates[9];
  slot.osId = 9;
  slot.spVersion = _SPVersion(2);
  slot.additionalUpdates.push_back(name);
  EXPECT_TRUE(cache.GetINIInfoNew(&inv, dir_.path(), reader));
  ASSERT_EQ(slot.iniInfos.size(), 1u);
  EXPECT_EQ(slot.iniInfos.front().packages, "3,");
  // Without the reader the same update is looked for below the cache root, and is missing.
  slot.iniInfos.clear();
  EXPECT_FALSE(cache.GetINIInfoNew(&inv, dir_.path(), nullptr));
  EXPECT_NE(Log().find("Updates path is [" + media.path() + "/KQMedia/11.0.0/Unix/linux/LooseUpdates/Updates]"),
            std::string::npos);
  KQInstallCommonUtils::DestroyFolderStructReader(reader);
}

TEST_F(Inventory, EmptyTestPrintAndPackageTypes) {
  KQUpdateCache cache(9, true);
  UpdatesAtCache inv;
  inv.releases[2].relId = 14;
  inv.releases[2].osUpdates[3].additionalUpdates.push_back("x");
  cache.InitCacheInfo(&inv);
  EXPECT_TRUE(cache.IsCacheEmpty(&inv));
  EXPECT_EQ(inv.releases[2].osUpdates[3].spVersion.GetMajor(), -1);

  inv.releases[0].relId = 16;
  inv.releases[0].osUpdates[20].spVersion.SetMajor(0);  // release 16: a version counts
  EXPECT_FALSE(cache.IsCacheEmpty(&inv));
  inv.releases[0].relId = 15;  // up to 15 only updates count
  EXPECT_TRUE(cache.IsCacheEmpty(&inv));

  // An OS id without a name prints as "".
  inv.releases[2].relId = 14;
  UpdatesForOS& slot = inv.releases[2].osUpdates[4];
  slot.osId = 99;
  slot.valid = false;
  slot.spVersion = _SPVersion(3);
  slot.spUpdates.push_back("nw_SP3_fix-0001");
  INIInfoForPatch info;
  info.patchName = "nw_SP3_fix-0001";
  info.spaceNeeded = 5368709120ULL;
  slot.iniInfos.push_back(info);
  cache.PrintCacheInfo(&inv);
  const std::string log = Log();
  EXPECT_NE(log.find("OS : []  SP Number: [3]"), std::string::npos) << log;
  EXPECT_NE(log.find("SP3 is corrupt for OS: 4 [Netware]"), std::string::npos);
  EXPECT_NE(log.find("SpaceReqd: 5368709120"), std::string::npos);

  cache.SetPackageOsTypes();
  cache.SetPackageOsTypes();
  EXPECT_EQ(cache.packageOsTypes().at(1), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(cache.packageOsTypes().at(2), (std::vector<int>{5}));
}

}  // namespace
