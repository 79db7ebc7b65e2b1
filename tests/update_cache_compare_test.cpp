// Comparison of Hubnode and remote file lists: what is sent, deleted, dropped and retained, and
// the trimming of the to-send list against a real source cache.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "SyncListFixture.h"
#include "SyncRegistries.h"
#include "Vocabulary.h"

using namespace kqtest;
using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

namespace {

class CompareTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();  // 16 "11.0.0", 15 "10.0.0", 14 "9.0.0"
    SetUpdateTypesInfo();
  }
  void SetUp() override { config_.set("Logging", "nDebugLevel", "10"); }

  struct Result {
    std::vector<FilesForRel> send, del, drop;
  };
  Result Compare(std::vector<FilesForRel> hub, std::vector<FilesForRel> remote,
                 bool noRetain = false) {
    Result r;
    EXPECT_TRUE(cache_.CompareCacheFiles(hub, remote, r.send, r.del, noRetain, r.drop));
    return r;
  }

  ScopedConfig config_;
  KQUpdateCache cache_{7, false};
};

std::vector<File> Files(const NameSums& list) {
  std::vector<File> out;
  for (const auto& f : list) out.push_back(SyncFile(f.first, f.second));
  return out;
}

NameSums Names(const std::vector<File>& list) {
  return FileNames(std::vector<CNMessageBase>(list.begin(), list.end()));
}

TEST_F(CompareTest, NamesMatchAcrossSeparatorsButNotCaseAndChecksumsIgnoreCase) {
  auto hub = Files({{"dir\\a.dll", "0xABCDEF01"}, {"dir/B.dll", "12"}, {"zero.txt", "0"},
                    {"new.txt", "5"}, {"changed.txt", "6"}});
  auto remote = Files({{"dir/a.dll", "0xabcdef01"}, {"dir/b.dll", "12"}, {"zero.txt", "99"},
                       {"changed.txt", "7"}, {"extra.txt", "8"}});
  std::vector<File> send, del;
  EXPECT_TRUE(cache_.CompareFileCksums(hub, remote, send, del));
  EXPECT_EQ(Names(send), (NameSums{{"dir/B.dll", "12"}, {"new.txt", "5"}, {"changed.txt", "6"}}));
  // The "0" file is never sent, and its remote namesake goes.
  EXPECT_EQ(Names(del), (NameSums{{"dir/b.dll", "12"}, {"zero.txt", "99"}, {"extra.txt", "8"}}));
  EXPECT_EQ(hub[0].getstring(File::kName), "dir/a.dll");  // callers' names are turned too
}

TEST_F(CompareTest, LastRemoteEntryOfANameGivesItsChecksum) {
  auto hub = Files({{"a", "1"}, {"a", "2"}});
  auto remote = Files({{"a", "9"}, {"a", "2"}});
  std::vector<File> send, del;
  cache_.CompareFileCksums(hub, remote, send, del);
  EXPECT_EQ(Names(send), (NameSums{{"a", "1"}}));
  EXPECT_TRUE(del.empty());
}

// Random lists with repeated names, '\\' names, "0" checksums and checksums in either case:
// the comparison of File lists and of media lists both agree with the plain one.
TEST_F(CompareTest, AgreesWithAPlainComparisonOnRandomLists) {
  unsigned seed = 12345;
  auto next = [&seed](unsigned n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  auto randomList = [&](size_t n) {
    NameSums list;
    for (size_t i = 0; i < n; ++i) {
      std::string name = "d" + std::to_string(next(4)) + (next(3) == 0 ? "\\" : "/") + "f" + std::to_string(next(40));
      const unsigned sum = next(5);
      list.emplace_back(name, sum == 0 ? "0" : sum == 1 ? "0xAB" : sum == 2 ? "0xab" : std::to_string(sum));
    }
    return list;
  };
  for (int round = 0; round < 200; ++round) {
    const NameSums h = randomList(next(60)), r = randomList(next(60));
    const auto expected = ReferenceDiff(h, r);
    auto hub = Files(h), remote = Files(r);
    std::vector<File> send, del;
    cache_.CompareFileCksums(hub, remote, send, del);
    ASSERT_EQ(Names(send), expected.first);
    ASSERT_EQ(Names(del), expected.second);

    auto media = Compare({SyncRel(16, {MediaOs(3, h)})}, {SyncRel(16, {MediaOs(3, r)})}, true);
    const auto* sent = OsList(media.send, 16, 3, FilesForOS::kMediaFiles);
    const auto* deleted = OsList(media.del, 16, 3, FilesForOS::kMediaFiles);
    ASSERT_EQ(sent ? MediaNames(*sent) : NameSums(), expected.first);
    ASSERT_EQ(deleted ? MediaNames(*deleted) : NameSums(), expected.second);
  }
}

TEST_F(CompareTest, EmptyRemoteSendsEveryOsWhole) {
  auto r = Compare({SyncRel(15, {OldOs(1, {{"sp", "1"}}, {{"u", "2"}}, {{"i", "3"}})}),
                    SyncRel(16, {MediaOs(3, {{"BinaryPayload/x", "4"}}), MediaOs(16, {{"linux-x8664/y", "5"}})})},
                   {});
  ASSERT_EQ(r.send.size(), 2u);
  EXPECT_EQ(OsCount(r.send), 3u);
  EXPECT_EQ(FileNames(*OsList(r.send, 15, 1, FilesForOS::kLooseUpdateFiles)), (NameSums{{"u", "2"}}));
  EXPECT_EQ(MediaNames(*OsList(r.send, 16, 16, FilesForOS::kMediaFiles)),
            (NameSums{{"linux-x8664/y", "5"}}));
  EXPECT_TRUE(r.del.empty());
  EXPECT_TRUE(r.drop.empty());
}

// A "0" file is never sent, also not when the remote cache lacks the whole release or OS: else
// the next round would delete it there again.
TEST_F(CompareTest, WholeOsSendsLeaveOutFilesThatAreNeverSent) {
  const std::vector<FilesForRel> hub = {
      SyncRel(15, {OldOs(1, {{"sp", "1"}, {"empty.cfg", "0"}}, {{"U1/x.dll", "0"}, {"U1/y.dll", "2"}},
                         {{"setup.exe", "0"}})}),
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/x", "4"}, {"BinaryPayload/empty", "0"}})})};
  for (const auto& remote : {std::vector<FilesForRel>{}, std::vector<FilesForRel>{SyncRel(14, {OldOs(1, {})})}}) {
    auto r = Compare(hub, remote);
    EXPECT_EQ(FileNames(*OsList(r.send, 15, 1, FilesForOS::kSPFiles)), (NameSums{{"sp", "1"}}));
    EXPECT_EQ(FileNames(*OsList(r.send, 15, 1, FilesForOS::kLooseUpdateFiles)), (NameSums{{"U1/y.dll", "2"}}));
    EXPECT_TRUE(OsList(r.send, 15, 1, FilesForOS::kInstallerFiles)->empty());
    EXPECT_EQ(MediaNames(*OsList(r.send, 16, 3, FilesForOS::kMediaFiles)), (NameSums{{"BinaryPayload/x", "4"}}));
  }
}

TEST_F(CompareTest, MissingReleaseOrOsIsSentWholeAndRemoteOnlyPairIsDropped) {
  auto r = Compare(
      {SyncRel(15, {OldOs(1, {{"sp", "1"}}), OldOs(3, {{"sp3", "1"}})}),
       SyncRel(16, {MediaOs(3, {{"BinaryPayload/x", "4"}})})},
      {SyncRel(15, {OldOs(1, {{"sp", "1"}, {"old", "2"}}), OldOs(16, {{"gone", "3"}})}),
       SyncRel(14, {OldOs(1, {{"r14", "1"}})})});
  // OS 3 of release 15 and release 16 are missing remotely.
  EXPECT_EQ(FileNames(*OsList(r.send, 15, 3, FilesForOS::kSPFiles)), (NameSums{{"sp3", "1"}}));
  EXPECT_EQ(MediaNames(*OsList(r.send, 16, 3, FilesForOS::kMediaFiles)),
            (NameSums{{"BinaryPayload/x", "4"}}));
  EXPECT_EQ(OsList(r.send, 15, 1, FilesForOS::kSPFiles), nullptr);
  EXPECT_EQ(FileNames(*OsList(r.del, 15, 1, FilesForOS::kSPFiles)), (NameSums{{"old", "2"}}));
  // Pairs the Hubnode lacks go whole into the pairs to drop, not into to-delete.
  ASSERT_EQ(r.drop.size(), 2u);
  EXPECT_EQ(FileNames(*OsList(r.drop, 15, 16, FilesForOS::kSPFiles)), (NameSums{{"gone", "3"}}));
  EXPECT_NE(OsList(r.drop, 14, 1, FilesForOS::kSPFiles), nullptr);
  EXPECT_EQ(OsList(r.del, 15, 16, FilesForOS::kSPFiles), nullptr);
}

TEST_F(CompareTest, FeatureReleaseFoldersChooseWhichRemoteReleasesAreCompared) {
  const NameSums remoteFiles = {{"BinaryPayload/a", "1"}};
  auto remote = std::vector<FilesForRel>{
      SyncRel(16, {MediaOs(3, remoteFiles)}),                          // no folder name
      SyncRel(16, {MediaOs(3, remoteFiles)}, "SP1_5_R1", 1, 5, 1),    // another folder
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/b", "2"}})}, "SP2_9_R1", 2, 9, 1)};
  const NameSums hubFiles = {{"BinaryPayload/a", "1"}, {"BinaryPayload/b", "2"}};

  // A named folder compares with its namesake only: nothing to send, nothing from the others.
  auto named = Compare({SyncRel(16, {MediaOs(3, hubFiles)}, "SP2_9_R1", 2, 9, 1)}, remote);
  ASSERT_EQ(named.send.size(), 1u);
  EXPECT_EQ(MediaNames(*OsList(named.send, 16, 3, FilesForOS::kMediaFiles)),
            (NameSums{{"BinaryPayload/a", "1"}}));
  EXPECT_EQ(named.send[0].getstring(FilesForRel::kSPFolderName), "SP2_9_R1");
  EXPECT_EQ(named.send[0].getObjectAccessor(FilesForRel::kSPVersion)->getint64(UpdatePatches::SPVersion::kMajor), 2);
  EXPECT_TRUE(named.del.empty());

  // Major 0, or no name, matches every remote release of the id: each is compared.
  for (auto hub : {SyncRel(16, {MediaOs(3, hubFiles)}, "SP0", 0),
                   SyncRel(16, {MediaOs(3, hubFiles)})}) {
    auto all = Compare({hub}, remote, true);
    ASSERT_EQ(all.send.size(), 1u);
    EXPECT_EQ(OsCount(all.send), 3u);
    EXPECT_EQ(MediaNames(*OsList(all.send, 16, 3, FilesForOS::kMediaFiles, 2)),
              (NameSums{{"BinaryPayload/a", "1"}}));
  }

  // A named folder that no remote release carries: the OS is sent whole.
  auto none = Compare({SyncRel(16, {MediaOs(3, hubFiles)}, "SP3_1_R1", 3, 1, 1)}, remote);
  EXPECT_EQ(MediaNames(*OsList(none.send, 16, 3, FilesForOS::kMediaFiles)), hubFiles);
}

TEST_F(CompareTest, MediaFilesAnotherOsStillNeedsAreRetainedUnlessAskedNotTo) {
  // OS 15 and 16 share the Unix folder; a loose file there is still needed by OS 16.
  auto hub = std::vector<FilesForRel>{SyncRel(
      16, {MediaOs(15, {{"linux-x86/p", "1"}}), MediaOs(16, {{"linux-x8664/q", "2"}, {"shared.txt", "3"}})},
      "SP2_9_R1", 2, 9, 1)};
  auto remote = std::vector<FilesForRel>{SyncRel(
      16, {MediaOs(15, {{"linux-x86/p", "1"}, {"shared.txt", "3"}, {"linux-x86/old", "4"}}),
           MediaOs(16, {{"linux-x8664/q", "2"}, {"shared.txt", "3"}})},
      "SP2_9_R1", 2, 9, 1)};
  auto kept = Compare(hub, remote);
  EXPECT_EQ(MediaNames(*OsList(kept.del, 16, 15, FilesForOS::kMediaFiles)),
            (NameSums{{"linux-x86/old", "4"}}));
  auto plain = Compare(hub, remote, true);
  EXPECT_EQ(MediaNames(*OsList(plain.del, 16, 15, FilesForOS::kMediaFiles)),
            (NameSums{{"shared.txt", "3"}, {"linux-x86/old", "4"}}));
}

// A remote-only OS of a media release shares its platform folder with the OSes the Hubnode
// keeps: the dropped pair's files those still list stay on the remote cache.
TEST_F(CompareTest, DroppedPairsKeepFilesAKeptOsStillNeeds) {
  auto hub = std::vector<FilesForRel>{SyncRel(16, {MediaOs(16, {{"linux-x8664/q", "2"}, {"pkg.xml", "3"}})})};
  auto remote = std::vector<FilesForRel>{
      SyncRel(16, {MediaOs(16, {{"linux-x8664/q", "2"}, {"pkg.xml", "3"}}),
                   MediaOs(17, {{"linux-ppc64/r", "4"}, {"pkg.xml", "3"}})}),
      SyncRel(15, {OldOs(17, {{"pkg.xml", "3"}})})};
  auto kept = Compare(hub, remote);
  ASSERT_EQ(kept.drop.size(), 2u);
  EXPECT_EQ(MediaNames(*OsList(kept.drop, 16, 17, FilesForOS::kMediaFiles)), (NameSums{{"linux-ppc64/r", "4"}}));
  EXPECT_EQ(FileNames(*OsList(kept.drop, 15, 17, FilesForOS::kSPFiles)), (NameSums{{"pkg.xml", "3"}}));
  EXPECT_TRUE(kept.del.empty());
  auto plain = Compare(hub, remote, true);
  EXPECT_EQ(MediaNames(*OsList(plain.drop, 16, 17, FilesForOS::kMediaFiles)),
            (NameSums{{"linux-ppc64/r", "4"}, {"pkg.xml", "3"}}));
}

// At level 10 the retention logs each release and OS it works through before its files, and the
// comparison ends with both results.
TEST_F(CompareTest, LevelTenLogsRetentionStepsAndBothResults) {
  auto hub = std::vector<FilesForRel>{SyncRel(
      16, {MediaOs(15, {{"linux-x86/p", "1"}}), MediaOs(16, {{"shared.txt", "3"}})}, "SP2_9_R1", 2, 9, 1)};
  auto remote = std::vector<FilesForRel>{SyncRel(
      16, {MediaOs(15, {{"linux-x86/p", "1"}, {"shared.txt", "3"}, {"linux-x86/old", "4"}}),
           MediaOs(16, {{"shared.txt", "3"}})},
      "SP2_9_R1", 2, 9, 1)};
  Compare(hub, remote);
  std::vector<FilesForRel> del = {SyncRel(17, {}), SyncRel(16, {MediaOs(3, {})})};
  cache_.RetainFilesNeededForCache(del, hub);

  const std::string log = ReadFile(config_.logFile());
  size_t at = 0;
  for (const char* line :
       {"Processing release id : [16]", "Feature Release folder name is : [SP2_9_R1]",
        "Processing OS ID: [15]", "Need to retain file [SP2_9_R1\\Unix\\shared.txt]",
        "File [SP2_9_R1\\Unix\\linux-x86\\old] needs to be deleted", "Files to send to remote cache:",
        "Files to delete from remote cache:", "[linux-x86/old : 4]", "Processing release id : [17]",
        "No OS types present for release [17]", "Processing release id : [16]",
        "No media files present for OS [3]"}) {
    const size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << log.substr(at);
    at = found;
  }
}

TEST_F(CompareTest, RetentionLeavesOldReleasesAlone) {
  std::vector<FilesForRel> del = {SyncRel(15, {OldOs(1, {{"a", "1"}})})};
  std::vector<FilesForRel> hub = {SyncRel(15, {OldOs(1, {{"a", "1"}})}),
                                  SyncRel(16, {MediaOs(1, {{"a", "1"}})})};
  cache_.RetainFilesNeededForCache(del, hub);
  EXPECT_EQ(FileNames(*OsList(del, 15, 1, FilesForOS::kSPFiles)), (NameSums{{"a", "1"}}));
}

TEST_F(CompareTest, CachePathsCarryTheirOwnPlatformPerOs) {
  std::vector<FilesForRel> list = {
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/a", "1"}}), MediaOs(16, {{"linux-x8664/b", "2"}})},
              "SP2_9_R1", 2, 9, 1),
      SyncRel(16, {MediaOs(1, {{"c", "3"}})}),
      SyncRel(15, {MediaOs(1, {{"ignored", "4"}})})};
  std::list<std::string> paths;
  cache_.ToFileNamesRelativeToCachePath(list, paths);
  EXPECT_EQ(paths, (std::list<std::string>{"SP2_9_R1\\Windows\\BinaryPayload\\a",
                                           "SP2_9_R1\\Unix\\linux-x8664\\b", "Windows\\c"}));
}

TEST_F(CompareTest, ApplianceNamesAreRootedAndEmptySidesCopyWholeLists) {
  ApplianceFilesInfo hub, remote, send, del;
  hub.setlistobject(ApplianceFilesInfo::kFiles,
                    SyncFiles({{"KQAppliance\\Unix\\a.rpm", "1"}, {"KQAppliance\\Unix\\b.rpm", "2"}}));
  remote.setlistobject(ApplianceFilesInfo::kFiles,
                       SyncFiles({{"Unix/a.rpm", "1"}, {"KQAppliance/Unix/c.rpm", "3"}}));
  EXPECT_TRUE(cache_.CompareApplianceFiles(hub, remote, send, del));
  EXPECT_EQ(FileNames(*send.getlistobject(ApplianceFilesInfo::kFiles)),
            (NameSums{{"KQAppliance/Unix/b.rpm", "2"}}));
  EXPECT_EQ(FileNames(*del.getlistobject(ApplianceFilesInfo::kFiles)),
            (NameSums{{"KQAppliance/Unix/c.rpm", "3"}}));

  ApplianceFilesInfo empty, send2, del2;
  cache_.CompareApplianceFiles(empty, remote, send2, del2);
  EXPECT_FALSE(send2.isSet(ApplianceFilesInfo::kFiles));
  EXPECT_EQ(FileNames(*del2.getlistobject(ApplianceFilesInfo::kFiles)),
            (NameSums{{"KQAppliance\\Unix\\a.rpm", "1"}, {"KQAppliance/Unix/c.rpm", "3"}}));

  AdditionalSyncFilesList addHub, addRemote, addSend, addDel;
  addHub.setlistobject(AdditionalSyncFilesList::kFiles, SyncFiles({{"x", "1"}}));
  cache_.CompareAdditionalSyncFiles(addHub, addRemote, addSend, addDel);
  EXPECT_EQ(addSend, addHub);
  EXPECT_FALSE(addDel.isSet(AdditionalSyncFilesList::kFiles));
}

TEST_F(CompareTest, CountsEveryListOfEveryOs) {
  std::vector<FilesForRel> list = {
      SyncRel(15, {OldOs(1, {{"a", "1"}}, {{"b", "1"}, {"c", "1"}}, {{"d", "1"}})}),
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/LooseUpdates/x", "1"}, {"BinaryPayload/y", "1"}})},
              "SP2_9_R1", 2)};
  EXPECT_EQ(cache_.CountFilesForRelVec(list), 6u);
  std::vector<FilesForRel> none;
  EXPECT_EQ(cache_.CountFilesForRelVec(none), 0u);
}

// ---- Trimming the to-send list against the source cache ----

class RemoveNonExistentTest : public CompareTest {
 protected:
  void Touch(const std::string& rel) { WriteFile(dir_ / rel, "x"); }
  LocalAndRemClientDetails Details(const std::string& source) {
    return LocalAndRemClientDetails(7, "", "", source, "", "", "", "", "", nullptr, false);
  }
  TempDir dir_;
};

TEST_F(RemoveNonExistentTest, KeepsOnlyFilesTheSourceCacheHoldsForEveryOs) {
  Touch("KQMedia/11.0.0/SP2_9_R1/Windows/BinaryPayload/a");
  Touch("KQMedia/11.0.0/SP2_9_R1/Unix/linux-x8664/b");
  Touch("KQMedia/11.0.0/Windows/BinaryPayload/c");
  Touch("KQUpdates/10.0.0/Windows/ServicePacks/SP3/s2");
  Touch("KQUpdates/10.0.0/Windows/ServicePacks/SP3/s1");
  Touch("KQUpdates/10.0.0/Windows/ServicePacks/SP1/old");
  Touch("KQUpdates/10.0.0/Windows/Updates/u1/f");
  Touch("outside");

  // Media lists only: lists 4 and 5 unset count as empty.
  std::vector<FilesForRel> send = {
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/a", "1"}, {"BinaryPayload/gone", "2"}}),
                   MediaOs(16, {{"linux-x8664/b", "3"}, {"linux-x8664/../../../../../outside", "4"}})},
              "SP2_9_R1", 2, 9, 1),
      SyncRel(16, {MediaOs(1, {{"BinaryPayload/c", "5"}})}),
      SyncRel(15, {OldOs(1, {{"s2", "1"}, {"s1", "1"}, {"old", "1"}, {"s1", "1"}}, {{"u1\\f", "2"}, {"u2/f", "3"}}),
                   OldOs(77, {{"s1", "1"}})})};
  auto details = Details(dir_.path());
  cache_.RemoveNonExistentFiles(details, send);

  EXPECT_EQ(MediaNames(*OsList(send, 16, 3, FilesForOS::kMediaFiles)), (NameSums{{"BinaryPayload/a", "1"}}));
  EXPECT_EQ(MediaNames(*OsList(send, 16, 16, FilesForOS::kMediaFiles)), (NameSums{{"linux-x8664/b", "3"}}));
  EXPECT_EQ(MediaNames(*OsList(send, 16, 1, FilesForOS::kMediaFiles)), (NameSums{{"BinaryPayload/c", "5"}}));
  // Feature-release files of the highest feature release, by name, one each.
  EXPECT_EQ(FileNames(*OsList(send, 15, 1, FilesForOS::kSPFiles)), (NameSums{{"s1", "1"}, {"s2", "1"}}));
  EXPECT_EQ(FileNames(*OsList(send, 15, 1, FilesForOS::kLooseUpdateFiles)), (NameSums{{"u1\\f", "2"}}));
  // An OS id without a name is left as it is.
  EXPECT_EQ(FileNames(*OsList(send, 15, 77, FilesForOS::kSPFiles)), (NameSums{{"s1", "1"}}));
}

TEST_F(RemoveNonExistentTest, SourcePathAlreadyHoldingTheReleasePathIsNotExtended) {
  Touch("KQMedia/11.0.0/Windows/BinaryPayload/c");
  std::vector<FilesForRel> send = {SyncRel(16, {MediaOs(3, {{"BinaryPayload/c", "5"}})})};
  auto details = Details(dir_.path() + "/KQMedia/11.0.0/Windows/");
  cache_.RemoveNonExistentFiles(details, send);
  EXPECT_EQ(MediaNames(*OsList(send, 16, 3, FilesForOS::kMediaFiles)), (NameSums{{"BinaryPayload/c", "5"}}));

  std::vector<FilesForRel> empty;
  cache_.RemoveNonExistentFiles(details, empty);
  EXPECT_TRUE(empty.empty());
}

}  // namespace
