// Media-folder walks and the deletion plans of old feature releases and update packs, on real
// cache trees (with decoy folder names) and a sentinel tree that nothing may touch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "InstallUtils/IFolderStruct.h"
#include "Jail.h"
#include "KqTestEnv.h"
#include "PortableFiles/PxDirectory.h"
#include "Unprivileged.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/RetrievalSide.h"

namespace {

using KQInstallCommonUtils::IFolderStruct;
using nPatchDownload::CPatchInstallCommon;
using nPatchDownload::tRetrievalSide;
using nPatchDownload::tRetrievalVersion;
typedef std::map<tRetrievalSide, IFolderStruct*> SideMap;

bool Exists(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0;
}

void MakeDirs(const std::string& path) {
  ASSERT_FALSE(CPxDirectory::Create(path, true).IsError()) << path;
}

FullVersion Media(int major, int trans, int rev, int release = 11, int build = 80) {
  _SPVersion sp(major, 0, trans, rev);
  sp.SetRelease(release);
  sp.SetBuild(build);
  return FullVersion(sp);
}

std::string SideKey(const FullVersion& v) { return v.formatted_str(FullVersion::kFormatMedia); }

// Destroys each distinct reader of a side map once, as the map's consumer does.
void ReleaseReaders(SideMap& sides) {
  std::set<IFolderStruct*> distinct;
  for (const auto& s : sides) distinct.insert(s.second);
  for (IFolderStruct* r : distinct) KQInstallCommonUtils::DestroyFolderStructReader(r);
  sides.clear();
}

class MediaFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    root_ = config_.root() + "/cache";
    release_ = root_ + "/KQMedia/11.0.0";
    sentinel_ = config_.root() + "/sentinel";
    kqtest::WriteFile(sentinel_ + "/SP12_4_R3/keep.txt", "keep");
    kqtest::WriteFile(sentinel_ + "/CU3/keep.txt", "keep");
    before_ = kqtest::TreeManifest(sentinel_);
  }
  void TearDown() override {
    EXPECT_EQ(before_, kqtest::TreeManifest(sentinel_)) << "sentinel touched";
  }

  kqtest::ScopedConfig config_;
  EvDebug log_;
  std::string root_, release_, sentinel_;
  std::map<std::string, std::string> before_;
};

TEST_F(MediaFoldersTest, FeatureReleaseWalkKeepsPreviousLatestAndEveryMatch) {
  for (const char* name : {"SP10_2_R1", "SP12_4_R3", "sp11_7_R2", "SP14_1_R0", "SP0_0_R0",
                           // decoys: leading zeros, missing parts, beyond int, other words
                           "SP012_4_R3", "SP12_4", "SP12_04_R3", "SP99999999999_1_R1",
                           "SP12_4_R3x", "xSP12_4_R3", "SP_4_R3"})
    MakeDirs(release_ + "/" + name);
  kqtest::WriteFile(release_ + "/SP13_1_R1", "a file, not a folder");
  ASSERT_EQ(0, symlink((sentinel_ + "/SP12_4_R3").c_str(), (release_ + "/SP15_1_R1").c_str()));

  tRetrievalVersion walk;
  walk.reference = Media(12, 4, 3);
  walk.latest = walk.reference;
  ASSERT_FALSE(CPxDirectory::Walk(release_, &walk, 0, true,
                                  CPatchInstallCommon::servicePackNameMatch).IsError());

  // Bytewise walk order; a link to a folder counts as a folder but is not entered.
  std::vector<std::string> found;
  for (const FullVersion& v : walk.versions) {
    EXPECT_EQ(11, v.Get(FullVersion::kRelease));
    EXPECT_EQ(80, v.Get(FullVersion::kBuild));
    found.push_back(v.formatted_str(FullVersion::kFormatSPFolder));
  }
  EXPECT_EQ((std::vector<std::string>{"SP0_0_R0", "SP10_2_R1", "SP12_4_R3", "SP14_1_R0",
                                      "SP15_1_R1", "SP11_7_R2"}),
            found);
  // Below the reference the highest becomes previous (sp11 read as major 11, not 0).
  EXPECT_EQ("SP11_7_R2", walk.previous.formatted_str(FullVersion::kFormatSPFolder));
  EXPECT_EQ("SP15_1_R1", walk.latest.formatted_str(FullVersion::kFormatSPFolder));
}

TEST_F(MediaFoldersTest, UpdatePackWalkCollectsNumbers) {
  for (const char* name : {"CU0", "CU3", "cu7", "CU12", "CU", "CU01", "CU3a", "CU99999999999"})
    MakeDirs(release_ + "/" + name);
  kqtest::WriteFile(release_ + "/CU5", "a file");
  std::set<int> numbers;
  ASSERT_FALSE(
      CPxDirectory::Walk(release_, &numbers, 0, true, CPatchInstallCommon::matchCUFolders)
          .IsError());
  EXPECT_EQ((std::set<int>{0, 3, 7, 12}), numbers);
}

TEST_F(MediaFoldersTest, WalkCallbacksRefuseOnlyMissingArguments) {
  std::set<int> numbers;
  tRetrievalVersion walk;
  const unsigned int invalid = 0x80000008u;
  for (auto cb : {CPatchInstallCommon::matchCUFolders, CPatchInstallCommon::servicePackNameMatch}) {
    void* context = cb == CPatchInstallCommon::matchCUFolders ? static_cast<void*>(&numbers)
                                                              : static_cast<void*>(&walk);
    EXPECT_EQ(invalid, static_cast<unsigned int>(cb(nullptr, "CU1", true, context).GetErrorCode()));
    EXPECT_EQ(invalid, static_cast<unsigned int>(cb("/x", nullptr, true, context).GetErrorCode()));
    EXPECT_EQ(invalid, static_cast<unsigned int>(cb("/x", "CU1", true, nullptr).GetErrorCode()));
    EXPECT_FALSE(cb(nullptr, nullptr, false, nullptr).IsError());  // not a folder: passed over
  }
  EXPECT_TRUE(numbers.empty());
  EXPECT_TRUE(walk.versions.empty());
}

TEST_F(MediaFoldersTest, FeatureReleasePlanMapsPresentSystemsToOneReader) {
  const FullVersion old = Media(10, 2, 1);
  const std::string fr = release_ + "/SP10_2_R1";
  MakeDirs(fr + "/Windows/BinaryPayload");   // WinX64
  MakeDirs(fr + "/Unix/linux-x8664");
  MakeDirs(fr + "/Unix/aix-ppc");

  std::vector<std::string> folders;
  SideMap sides;
  ASSERT_TRUE(CPatchInstallCommon::addSPToDelete(old, folders, sides, root_, log_));
  EXPECT_EQ(std::vector<std::string>{fr}, folders);
  std::set<int> osIds;
  std::set<IFolderStruct*> readers;
  for (const auto& s : sides) {
    osIds.insert(s.first.osId);
    readers.insert(s.second);
    EXPECT_EQ(SideKey(old), SideKey(s.first.mediaVersion));
  }
  EXPECT_EQ((std::set<int>{3, 14, 16}), osIds);
  ASSERT_EQ(1u, readers.size());

  // The same release again: no new side, so its reader is freed here (ASan sees a leak or a
  // double free otherwise); a release without OS folders frees its reader too.
  ASSERT_TRUE(CPatchInstallCommon::addSPToDelete(old, folders, sides, root_, log_));
  ASSERT_TRUE(CPatchInstallCommon::addSPToDelete(Media(9, 1, 1), folders, sides, root_, log_));
  EXPECT_EQ(3u, sides.size());
  EXPECT_EQ((std::vector<std::string>{fr, fr, release_ + "/SP9_1_R1"}), folders);

  // A null reader adds nothing; a bad cache root makes no reader.
  EXPECT_FALSE(CPatchInstallCommon::AddAllSubOSesToDelete(old, nullptr, sides));
  EXPECT_FALSE(CPatchInstallCommon::addSPToDelete(old, folders, sides, "relative/root", log_));
  EXPECT_EQ(3u, folders.size());
  ReleaseReaders(sides);
}

TEST_F(MediaFoldersTest, UpdatePackPlanAddsExistingFolderAndEachSideOnce) {
  const std::string fr = release_ + "/SP12_4_R3/Windows/BinaryPayload/LooseUpdates";
  MakeDirs(fr + "/CU3");
  tRetrievalSide side;
  side.osId = 3;
  side.mediaVersion = FullVersion(_SPVersion(12, 0, 4, 3), _UPVersion(3));
  tRetrievalSide other = side;
  other.mediaVersion.SetUPVersion(_UPVersion(7));  // no folder on disk

  std::vector<std::string> folders;
  SideMap sides;
  ASSERT_TRUE(CPatchInstallCommon::addCUToDelete(side, folders, sides, root_, fr, log_));
  ASSERT_TRUE(CPatchInstallCommon::addCUToDelete(side, folders, sides, root_, fr, log_));
  ASSERT_TRUE(CPatchInstallCommon::addCUToDelete(other, folders, sides, root_, fr, log_));
  EXPECT_EQ((std::vector<std::string>{fr + "/CU3", fr + "/CU3"}), folders);
  ASSERT_EQ(2u, sides.size());
  EXPECT_NE(sides.begin()->second, sides.rbegin()->second);  // one reader per side
  EXPECT_FALSE(CPatchInstallCommon::addCUToDelete(side, folders, sides, "", fr, log_));
  ReleaseReaders(sides);
}

TEST_F(MediaFoldersTest, StaleFolderDeletionKeepsExactlyTheFailures) {
  MakeDirs(release_ + "/SP10_2_R1/Windows");
  kqtest::WriteFile(release_ + "/SP10_2_R1/Windows/a.bin", "x");
  MakeDirs(release_ + "/SP11_1_R1");
  // A planned folder that is a link: the link goes, the sentinel it points at stays.
  ASSERT_EQ(0, symlink((sentinel_ + "/SP12_4_R3").c_str(), (release_ + "/SP12_4_R3").c_str()));
  std::vector<std::string> folders = {release_ + "/SP10_2_R1", release_ + "/../../sentinel/CU3",
                                      release_ + "/SP12_4_R3", release_ + "/missing",
                                      release_ + "/SP11_1_R1"};
  EXPECT_EQ(0x80000008u, CPatchInstallCommon::DeleteStaleFolders(folders));
  EXPECT_EQ((std::vector<std::string>{release_ + "/../../sentinel/CU3"}), folders);
  EXPECT_FALSE(Exists(release_ + "/SP10_2_R1"));
  EXPECT_FALSE(Exists(release_ + "/SP11_1_R1"));
  EXPECT_FALSE(Exists(release_ + "/SP12_4_R3"));

  std::vector<std::string> none;
  EXPECT_EQ(0u, CPatchInstallCommon::DeleteStaleFolders(none));

  // "/" and a relative folder stay listed; tried in a child whose root is a folder of this test.
  const std::string jail = config_.root() + "/jail";
  kqtest::WriteFile(jail + "/relative/SP1_1_R1/keep.txt", "keep");
  const int jailed = kqtest::RunJailed(jail, [] {
    std::vector<std::string> refused = {"/", "relative/SP1_1_R1"};
    const std::vector<std::string> expected = refused;
    return CPatchInstallCommon::DeleteStaleFolders(refused) == 0x80000008u && refused == expected ? 0 : 1;
  });
  if (jailed != kqtest::kJailUnavailable) {
    EXPECT_EQ(0, jailed);
  }
  EXPECT_EQ("keep", kqtest::ReadFile(jail + "/relative/SP1_1_R1/keep.txt"));
}

TEST_F(MediaFoldersTest, StaleFolderThatCannotGoStaysListed) {
  MakeDirs(release_ + "/locked/SP10_2_R1/Windows");
  MakeDirs(release_ + "/SP11_1_R1");
  kqtest::GiveTreeToUnprivileged(root_);
  ASSERT_EQ(0, chmod((release_ + "/locked").c_str(), 0555));
  const std::string locked = release_ + "/locked/SP10_2_R1";
  const std::string open = release_ + "/SP11_1_R1";
  const int rc = kqtest::RunUnprivileged([&] {
    std::vector<std::string> folders = {locked, open};
    const unsigned int result = CPatchInstallCommon::DeleteStaleFolders(folders);
    return result != 0 && folders == std::vector<std::string>{locked} ? 0 : 1;
  });
  chmod((release_ + "/locked").c_str(), 0755);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(Exists(locked));
  EXPECT_FALSE(Exists(open));
}

}  // namespace
