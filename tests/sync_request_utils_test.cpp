// Sync-request helpers: the Hubnode-level feature-release flag, package-file checks and counts,
// operation names and the client's feature-release paths to delete.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "SyncListFixture.h"
#include "SyncRequestUtils.h"
#include "Vocabulary.h"

using namespace kqtest;
using UpdatePatches::FilesForRel;

namespace {

class SyncRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
  }
  void SetUp() override { config_.set("Client2", "nReleaseId", "16"); }
  ScopedConfig config_;
};

TEST_F(SyncRequestTest, HubnodeFlagIsSetAndFoundOnTheHubnodeReleaseOnly) {
  std::vector<FilesForRel> request = {
      SyncRel(15, {MediaOs(3, {{"BinaryPayload/p", "1"}})}, "SP2_9_R1", 2, 9, 1),
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/LooseUpdates/u", "1"}})}, "SP1_1_R1", 1, 1, 1),
      SyncRel(16, {MediaOs(3, {{"BinaryPayload/p", "1"}})}, "SP2_9_R1", 2, 9, 1)};
  EXPECT_EQ(GetHNLevelSPFolderNameFromSyncRequest(request), "");
  EXPECT_FALSE(CheckIfSyncHasHNSPLevelPackageFiles(request));

  EXPECT_EQ(SetHNLevelSPFlagInFilesToSync(request, "SP2_9_R1"), 1);
  EXPECT_FALSE(request[0].isSet(FilesForRel::kField5));  // same name, other release
  EXPECT_FALSE(request[1].isSet(FilesForRel::kField5));
  EXPECT_EQ(request[2].getint64(FilesForRel::kField5), 1);
  EXPECT_EQ(GetHNLevelSPFolderNameFromSyncRequest(request), "SP2_9_R1");
  EXPECT_TRUE(CheckIfSyncHasHNSPLevelPackageFiles(request));

  // Flagged, but only loose updates: no package files.
  SetHNLevelSPFlagInFilesToSync(request, "SP1_1_R1");
  request.pop_back();
  EXPECT_EQ(GetHNLevelSPFolderNameFromSyncRequest(request), "SP1_1_R1");
  EXPECT_FALSE(CheckIfSyncHasHNSPLevelPackageFiles(request));
  EXPECT_EQ(GetPackageAndUpdatesFileCount(MediaOs(3, {{"a/LooseUpdates/x", "1"}, {"a/LooseUpdates/y", "1"}})),
            std::make_pair(0ULL, 2ULL));
  EXPECT_EQ(GetPackageAndUpdatesFileCount(MediaOs(3, {{"p", "1"}, {"LooseUpdates/y", "1"}})),
            std::make_pair(1ULL, 1ULL));

  std::vector<FilesForRel> empty;
  EXPECT_EQ(GetHNLevelSPFolderNameFromSyncRequest(empty), "");
  EXPECT_FALSE(CheckIfSyncHasHNSPLevelPackageFiles(empty));
}

TEST_F(SyncRequestTest, OperationNames) {
  EXPECT_EQ(KQUpdateCache::GetCacheOperationName(CACHE_OP_GET_CACHE_INFO), "GetCacheInfo");
  EXPECT_EQ(KQUpdateCache::GetCacheOperationName(CACHE_OP_DELETE_OBSOLETE_SP_MEDIA),
            "DeleteObsoleteServicePackMedia");
  EXPECT_EQ(KQUpdateCache::GetCacheOperationName(CACHE_OP_AKAMAI_DOWNLOAD), "AkamaiDownload");
  EXPECT_EQ(KQUpdateCache::GetCacheOperationName(static_cast<CacheOpcode>(13)), "Unknown Operation");
  EXPECT_EQ(KQUpdateCache::GetCacheOperationName(static_cast<CacheOpcode>(-1)), "Unknown Operation");
}

TEST_F(SyncRequestTest, FeatureReleasePathsUseThePlatformSeparatorAndRefuseOddNames) {
  std::vector<std::string> out;
  EXPECT_EQ(addClientCacheReleasePathToValidSPDirNames("/rc/cache", 16, 3,
                                                       {"SP1_1_R1", "", ".", "..", "a/b", "a\\b"}, out),
            1);
  addClientCacheReleasePathToValidSPDirNames("C:\\rc/cache", 16, 16, {"SP1_1_R1"}, out);
  EXPECT_EQ(out, (std::vector<std::string>{"\\rc\\cache\\KQMedia\\11.0.0\\SP1_1_R1",
                                           "C:/rc/cache/KQMedia/11.0.0/SP1_1_R1"}));
}

}  // namespace
