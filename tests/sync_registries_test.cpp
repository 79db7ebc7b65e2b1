// Per-job sync state: delta and transfer lists computed from a to-send list, baselines, download
// status, valid sides, and the registries under many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "SyncListFixture.h"
#include "SyncRegistries.h"
#include "Vocabulary.h"

using namespace kqtest;
using nPatchDownload::RCSyncSide;
using UpdatePatches::AkamaiDownloadResp;
using UpdatePatches::AkamaiDownloadStatusResp;
using UpdatePatches::CacheOpReq;
using UpdatePatches::CacheSyncRsp;
using UpdatePatches::FilesForRel;

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SetOSTypesInfo(); }
  void TearDown() override {
    for (long long job : {1, 2, 3}) {
      ClearCachedBaselineList(job);
      ClearAkamaiDownloadStatus(job);
    }
  }

  LocalAndRemClientDetails Details(long long job, int client, const std::string& name = "rc") {
    UpdatePatches::RemClientInfo info;
    info.setstring(UpdatePatches::RemClientInfo::kField1, name);
    info.setint64(UpdatePatches::RemClientInfo::kField3, client);
    info.setint64(UpdatePatches::RemClientInfo::kOSId, 3);
    return LocalAndRemClientDetails(job, "", "", "/src", "", "", "", "", "", &info, false);
  }

  static FullVersion Version(int major, int trans = 0, int rev = 0) {
    return FullVersion(_SPVersion(major, 0, trans, rev));
  }

  // name=flag of a side's transfer list.
  static std::vector<std::string> Transfer(int client, long long job, const std::string& name,
                                           FullVersion v, int os) {
    FileNodeList list;
    std::vector<std::string> out;
    if (GetTransferList(client, job, RCSyncSide(name, &v, os), list) == 0) return {"<none>"};
    for (const fileNode& n : list) out.push_back(n.name + "=" + std::to_string(n.flag));
    return out;
  }

  static std::vector<std::string> Delta(int client, long long job, FullVersion v, int os) {
    FileNodeList* list = GetDeltaList(client, v, os, job);
    if (list == nullptr) return {"<none>"};
    std::vector<std::string> out;
    for (const fileNode& n : *list) out.push_back(n.name);
    return out;
  }

  ScopedConfig config_;
  KQUpdateCache cache_{1, false};
};

TEST_F(RegistryTest, SharedFilesAreFlaggedOnEverySideAndListedOnceInTheLaterRelease) {
  std::vector<FilesForRel> send = {
      SyncRel(16, {MediaOs(1, {{"a", "1"}, {"only1", "1"}}), MediaOs(3, {{"a", "1"}, {"only3", "1"}})},
              "SP2_9_R1", 2, 9, 1),
      SyncRel(16, {MediaOs(16, {{"a", "1"}, {"u", "1"}}), MediaOs(3, {{"a", "1"}})}, "SP3_4_R1", 3, 4, 1)};
  auto details = Details(1, 40);
  EXPECT_EQ(cache_.CalculateDeltaFilesList(send, details), 1);

  const FullVersion v2 = Version(2, 9, 1), v3 = Version(3, 4, 1);
  EXPECT_EQ(Transfer(40, 1, "rc", v2, 1), (std::vector<std::string>{"a=1", "only1=0"}));
  EXPECT_EQ(Transfer(40, 1, "rc", v2, 3), (std::vector<std::string>{"a=1", "only3=0"}));
  EXPECT_EQ(Transfer(40, 1, "rc", v3, 16), (std::vector<std::string>{"a=1", "u=0"}));
  EXPECT_EQ(Delta(40, 1, v2, 1), (std::vector<std::string>{"a"}));
  EXPECT_EQ(Delta(40, 1, v3, 3), (std::vector<std::string>{"a"}));
  EXPECT_EQ(Delta(40, 1, v3, 16), (std::vector<std::string>{"a"}));
  EXPECT_EQ(Delta(40, 1, v2, 16), (std::vector<std::string>{}));  // stored, empty
  EXPECT_EQ(Delta(40, 1, Version(9), 3), (std::vector<std::string>{"<none>"}));
  EXPECT_EQ(Transfer(40, 1, "other", v2, 1), (std::vector<std::string>{"<none>"}));

  // The delta entries of one release and platform share one section; sides point at one version.
  FileNodeList* win = GetDeltaList(40, v2, 1, 1);
  ASSERT_NE(win, nullptr);
  EXPECT_NE(win->front().lock, nullptr);
}

TEST_F(RegistryTest, ReleasesWithEqualVersionsShareTransferAndDeltaLists) {
  std::vector<FilesForRel> send = {SyncRel(16, {MediaOs(3, {{"a", "1"}, {"b", "1"}})}),
                                   SyncRel(15, {MediaOs(3, {{"b", "1"}, {"c", "1"}})})};
  auto details = Details(1, 41);
  cache_.CalculateDeltaFilesList(send, details);
  EXPECT_EQ(Transfer(41, 1, "rc", FullVersion(), 3),
            (std::vector<std::string>{"a=0", "b=1", "b=1", "c=0"}));
  EXPECT_EQ(Delta(41, 1, FullVersion(), 3), (std::vector<std::string>{"b"}));
}

TEST_F(RegistryTest, StoredListsReplaceAndHandedOutListsOutliveTheReplacement) {
  DeltaFileMap map;
  map[Version(2)].push_back(fileNode(0, "first"));
  EXPECT_EQ(SetDeltaList(42, 1, -1, map), 1);  // no such registry: nothing stored
  EXPECT_EQ(GetDeltaList(42, Version(2), 1, 1), nullptr);

  SetDeltaList(42, 1, kDeltaOSTypeWindows, map);
  FileNodeList* held = GetDeltaList(42, Version(2), 3, 1);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(GetDeltaList(42, Version(2), 16, 1), nullptr);  // Unix OS: the other registry

  map[Version(2)].front().name = "second";
  SetDeltaList(42, 1, kDeltaOSTypeWindows, map);
  EXPECT_EQ(held->front().name, "first");  // still readable until the job is cleared
  EXPECT_EQ(GetDeltaList(42, Version(2), 3, 1)->front().name, "second");
}

TEST_F(RegistryTest, ClearingAJobKeepsTheOtherJobsOfTheSameClient) {
  CacheOpReq baseline;
  baseline.setstring(CacheOpReq::kErrorText, "one");
  EXPECT_EQ(AppendCachedBaselineList(43, baseline, 1), 1);
  EXPECT_EQ(AppendCachedBaselineList(43, CacheOpReq(), 1), 0);  // never replaced
  EXPECT_EQ(AppendCachedBaselineList(43, baseline, 2), 1);
  std::vector<FilesForRel> send = {SyncRel(16, {MediaOs(3, {{"a", "1"}})})};
  for (long long job : {1, 2}) {
    auto details = Details(job, 43);
    cache_.CalculateDeltaFilesList(send, details);
  }

  EXPECT_EQ(ClearCachedBaselineList(1), 1);
  CacheOpReq out;
  EXPECT_EQ(GetCachedBaselineForUA(43, out, 1), 0);
  EXPECT_EQ(GetCachedBaselineForUA(43, out, 2), 1);
  EXPECT_EQ(out.getstring(CacheOpReq::kErrorText), "one");
  EXPECT_EQ(Transfer(43, 1, "rc", FullVersion(), 3), (std::vector<std::string>{"<none>"}));
  EXPECT_EQ(Transfer(43, 2, "rc", FullVersion(), 3), (std::vector<std::string>{"a=0"}));
  EXPECT_EQ(Delta(43, 2, FullVersion(), 3), (std::vector<std::string>{}));

  EXPECT_EQ(InvalidateCachedBaselineForUA(43, 2), 1);
  EXPECT_EQ(InvalidateCachedBaselineForUA(43, 2), 1);  // missing: still 1
  EXPECT_EQ(GetCachedBaselineForUA(43, out, 2), 0);
}

TEST_F(RegistryTest, DownloadStatusMergesAndReportsObjectsOnce) {
  AkamaiDownloadResp first;
  first.setint64(AkamaiDownloadResp::kCounter1, 5);
  first.setObjectAccessor(AkamaiDownloadResp::kObject4, CNMessageBase(23, 212));
  SetAkamaiDownloadStatus(1, 44, first);
  AkamaiDownloadResp more;
  more.setint64(AkamaiDownloadResp::kCounter1, 2);
  more.setint64(AkamaiDownloadResp::kCounter2, 7);
  SetAkamaiDownloadStatus(1, 44, more);
  SetAkamaiDownloadStatus(2, 44, more);

  AkamaiDownloadResp out;
  ASSERT_EQ(GetAkamaiDownloadStatus(1, 44, out), 1);
  EXPECT_EQ(out.getint64(AkamaiDownloadResp::kCounter1), 7);
  EXPECT_EQ(out.getint64(AkamaiDownloadResp::kCounter2), 7);
  EXPECT_TRUE(out.isSet(AkamaiDownloadResp::kObject4));
  ASSERT_EQ(GetAkamaiDownloadStatus(1, 44, out), 1);
  EXPECT_FALSE(out.isSet(AkamaiDownloadResp::kObject4));  // reported once

  AkamaiDownloadResp last;
  last.setint64(AkamaiDownloadResp::kFinalStatus, 0);
  SetAkamaiDownloadStatus(1, 44, last);
  AkamaiDownloadStatusResp all;
  GetAkamaiDownloadStatusList(1, all);
  EXPECT_EQ(all.getlistobject(AkamaiDownloadStatusResp::kList)->size(), 1u);
  EXPECT_EQ(GetAkamaiDownloadStatus(1, 44, out), 1);
  EXPECT_TRUE(out.isSet(AkamaiDownloadResp::kFinalStatus));
  EXPECT_EQ(GetAkamaiDownloadStatus(1, 44, out), 0);  // a final status is read once

  ClearAkamaiDownloadStatus(3);
  EXPECT_EQ(GetAkamaiDownloadStatus(2, 44, out), 1);
  ClearAkamaiDownloadStatus(2);
  EXPECT_EQ(GetAkamaiDownloadStatus(2, 44, out), 0);
  AkamaiDownloadStatusResp none;
  GetAkamaiDownloadStatusList(2, none);
  EXPECT_FALSE(none.isSet(AkamaiDownloadStatusResp::kList));
}

TEST_F(RegistryTest, ValidSidesAreThoseNoListHasMediaFor) {
  using Map = std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>;
  std::vector<FilesForRel> candidates = {
      SyncRel(16, {MediaOs(1, {}), MediaOs(3, {}), MediaOs(16, {})}, "SP2_9_R1", 2, 9, 1),
      SyncRel(15, {MediaOs(1, {})})};
  std::vector<FilesForRel> busyFirst = {
      SyncRel(16, {MediaOs(1, {{"a", "1"}}), MediaOs(16, {})}, "SP2_9_R1", 2, 9, 1),
      SyncRel(16, {MediaOs(3, {{"a", "1"}})}, "SP1_1_R1", 1, 1, 1)};  // another folder
  std::vector<FilesForRel> busyThird = {SyncRel(15, {MediaOs(1, {{"b", "1"}})})};

  UpdatePatches::KQApplianceOSInfoList appliance;
  std::vector<CNMessageBase> oses;
  for (auto [name, type] : {std::make_pair("Unix", 0), std::make_pair("MSSQL", 1)}) {
    UpdatePatches::KQApplianceOSInfo os;
    os.setstring(UpdatePatches::KQApplianceOSInfo::kName, name);
    os.setint64(UpdatePatches::KQApplianceOSInfo::kType, type);
    oses.push_back(os);
  }
  appliance.setlistobject(UpdatePatches::KQApplianceOSInfoList::kList, oses);
  Map withUnix;
  withUnix[UpdatePatches::KQ_APPLIANCE_OS_UNIX].setlistobject(UpdatePatches::ApplianceFilesInfo::kFiles,
                                                           SyncFiles({{"KQAppliance\\x", "1"}}));
  withUnix[UpdatePatches::KQ_APPLIANCE_OS_MSSQL];  // present, empty: still valid

  auto details = Details(1, 45);
  details.m_applianceOSList = &appliance;
  CacheSyncRsp rsp;
  EXPECT_EQ(cache_.SetValidSides(busyFirst, candidates, busyThird, withUnix, Map(), details, rsp), 1);
  const auto* valid = rsp.getlistobject(CacheSyncRsp::kValidSides);
  ASSERT_EQ(valid->size(), 1u);
  std::vector<long long> ids;
  for (const auto& os : *valid->front().getlistobject(FilesForRel::kOSList))
    ids.push_back(os.getint64(UpdatePatches::FilesForOS::kOSId));
  EXPECT_EQ(ids, (std::vector<long long>{3, 16}));
  EXPECT_EQ(valid->front().getstring(FilesForRel::kSPFolderName), "SP2_9_R1");
  const CNMessageBase* validAppliance = rsp.getObjectAccessor(CacheSyncRsp::kApplianceOSList);
  ASSERT_NE(validAppliance, nullptr);
  ASSERT_EQ(validAppliance->getlistobject(UpdatePatches::KQApplianceOSInfoList::kList)->size(), 1u);

  // Nothing valid, no appliance list: both fields stay unset.
  CacheSyncRsp none;
  auto plain = Details(1, 45);
  std::vector<FilesForRel> busyAll = {
      SyncRel(16, {MediaOs(1, {{"a", "1"}}), MediaOs(3, {{"a", "1"}})}, "SP2_9_R1", 2, 9, 1),
      SyncRel(15, {MediaOs(1, {{"a", "1"}})})};
  std::vector<FilesForRel> busyUnix = {
      SyncRel(16, {MediaOs(16, {{"a", "1"}})}, "SP2_9_R1", 2, 9, 1)};
  cache_.SetValidSides(busyAll, candidates, busyUnix, Map(), Map(), plain, none);
  cache_.SetValidSides({}, {}, {}, Map(), Map(), plain, none);
  EXPECT_FALSE(none.isSet(CacheSyncRsp::kValidSides));
  EXPECT_FALSE(none.isSet(CacheSyncRsp::kApplianceOSList));
}

TEST_F(RegistryTest, NullVersionsAndMissingClientInfoCountAsEmpty) {
  LocalAndRemClientDetails bare(5, "a", "b", "/src", "d", "e", "f", "g", "h", nullptr, true);
  EXPECT_EQ(bare.m_sourceCachePath, "/src");
  EXPECT_EQ(bare.m_remoteClientId, 0);
  EXPECT_TRUE(bare.m_remoteClientText.empty());
  FullVersion empty;
  RCSyncSide nullSide("x", nullptr, 3), emptySide("x", &empty, 3);
  EXPECT_FALSE(nullSide < emptySide);
  EXPECT_FALSE(emptySide < nullSide);
  EXPECT_EQ(nullSide.VersionText(), emptySide.VersionText());
}

// Many threads compute, read and clear at once. Each calculation of the shared key lists files
// tagged with its own number; a reader holding the registry lock must find the transfer and
// delta lists of one and the same calculation.
TEST_F(RegistryTest, ConcurrentCalculationsReadsAndClears) {
  config_.set("Logging", "nDebugLevel", "0");
  const int kThreads = 16;
  std::atomic<int> mismatches{0};
  std::atomic<int> seen{0};
  // Reads the shared key; a delta and its transfer list must always agree.
  auto readSharedKey = [&] {
    KqCriticalSectionLock lock(&csBaselineListLock);
    FileNodeList transfer;
    FullVersion v;
    FileNodeList* delta = GetDeltaList(46, v, 3, 3);
    if (GetTransferList(46, 3, RCSyncSide("rc", &v, 3), transfer) == 1 && delta != nullptr) {
      ++seen;
      const std::string shared = delta->front().name;
      bool match = false;
      for (const fileNode& n : transfer) match = match || (n.name == shared && n.flag == 1);
      if (!match) ++mismatches;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      KQUpdateCache cache(3, false);
      for (int round = 0; round < 40; ++round) {
        const std::string tag = std::to_string(t * 1000 + round);
        if (t % 4 == 3) {
          readSharedKey();
        } else if (t % 4 == 2 && round % 10 == 9) {
          ClearCachedBaselineList(3);
        } else {
          std::vector<FilesForRel> send = {
              SyncRel(16, {MediaOs(3, {{"s" + tag, "1"}, {"own" + tag, "1"}}),
                           MediaOs(1, {{"s" + tag, "1"}})})};
          UpdatePatches::RemClientInfo info;
          info.setstring(UpdatePatches::RemClientInfo::kField1, "rc");
          info.setint64(UpdatePatches::RemClientInfo::kField3, 46);
          LocalAndRemClientDetails details(3, "", "", "", "", "", "", "", "", &info, false);
          cache.CalculateDeltaFilesList(send, details);
          CacheOpReq baseline;
          AppendCachedBaselineList(46 + t, baseline, 3);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  // The readers may all have run before any writer; the key must be there once all are done.
  readSharedKey();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(seen.load(), 0);
}

}  // namespace
