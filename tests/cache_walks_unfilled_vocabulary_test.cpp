// The cache walks of a process that never filled the vocabulary: they fail and name the filler,
// instead of answering a full cache with empty lists. Every test runs in a process of its own
// (the tables are process-wide and are filled only once).
#include <gtest/gtest.h>

#include <filesystem>

#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "UpdateUtils.h"

namespace {

using UpdatePatches::CacheOpReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

// A request for one release and the Windows operating system of a cache.
CacheOpReq Asking(const std::string& cachePath, int releaseId) {
  CacheOpReq req;
  RemClientInfo info;
  info.setstring(RemClientInfo::kCachePath, cachePath);
  req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, releaseId);
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, 1);
  rel.getlistobject(FilesForRel::kOSList)->push_back(os);
  req.getlistobject(CacheOpReq::kReleases)->push_back(rel);
  return req;
}

size_t AnsweredFiles(const CacheOpReq& resp) {
  size_t n = 0;
  for (const CNMessageBase& rel : *resp.getlistobject(CacheOpReq::kReleases))
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList))
      for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles,
                                 &FilesForOS::kInstallerFiles, &FilesForOS::kMediaFiles})
        n += os.getlistobject(*f)->size();
  return n;
}

class UnfilledVocabularyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg_.set("", "sProductVersion", "11.0.0.1");
    cache_ = cfg_.root() + "/cache";
    file_ = cache_ + "/KQMedia/11.0.0/Windows/BinaryPayload32/setup.exe";
    kqtest::WriteFile(file_, "payload");
  }
  std::string Log() const { return kqtest::ReadFile(cfg_.logFile()); }

  kqtest::ScopedConfig cfg_;
  std::string cache_, file_;
};

TEST_F(UnfilledVocabularyTest, RemoteAnswerFailsUntilFilledThenAnswersAsBefore) {
  KQUpdateCache cache(7, false);
  CacheOpReq ask = Asking(cache_, 16), resp;
  EXPECT_FALSE(cache.CalculateCheckSumForCacheFiles(ask, resp));
  CacheOpReq whole = Asking(cache_, 16), wholeResp;
  EXPECT_FALSE(cache.CalculateCheckSumForComplCacheFiles(whole, wholeResp));
  const std::string log = Log();
  EXPECT_NE(log.find("the release table is empty: call SetReleasesSupported (Hubnode) or "
                     "SetReleasesSupportedOnClient first"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("call SetOSTypesInfo first"), std::string::npos);

  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  CacheOpReq filled;
  ASSERT_TRUE(cache.CalculateCheckSumForCacheFiles(ask, filled));
  EXPECT_EQ(AnsweredFiles(filled), 1u);
  // A filled table that lacks the release asked for answers nothing for it, as before.
  CacheOpReq other = Asking(cache_, 19), none;
  EXPECT_TRUE(cache.CalculateCheckSumForCacheFiles(other, none));
  EXPECT_EQ(AnsweredFiles(none), 0u);
  EXPECT_NE(Log().find("Release [19] has no name, skipping it"), std::string::npos);
}

TEST_F(UnfilledVocabularyTest, ExpectedListsInventoryAndDeletionFailBeforeTouchingTheCache) {
  KQUpdateCache cache(8, false);
  std::vector<FilesForRel> request{FilesForRel(Asking(cache_, 16).getlistobject(CacheOpReq::kReleases)->front())};
  std::vector<UpdatePatches::PackageDesc> packages;
  std::vector<FilesForRel> result;
  EXPECT_FALSE(cache.GetCacheFilesFromXML(cache_, &request, nullptr, &packages, &result, "RC", "",
                                          nullptr, false, "", nullptr, nullptr, ""));
  EXPECT_TRUE(result.empty());

  CacheProp prop;
  prop.cacheRoot = cache_;
  UpdatesAtCache inv;
  EXPECT_FALSE(cache.GetAllUpadtesFromCache(prop, &inv, false));
  EXPECT_FALSE(cache.GetAllUpdatesInCacheNew(prop, &inv));
  EXPECT_NE(Log().find("call SetUpdateTypesInfo first"), std::string::npos);

  // The deletion names the file; with no vocabulary it deletes nothing.
  UpdatePatches::BinaryV11 media;
  media.setstring(UpdatePatches::BinaryV11::kRelativePath, "BinaryPayload32/setup.exe");
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, 1);
  os.getlistobject(FilesForOS::kMediaFiles)->push_back(media);
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, 16);
  rel.getlistobject(FilesForRel::kOSList)->push_back(os);
  CacheOpReq drop = Asking(cache_, 16);
  drop.setlistobject(CacheOpReq::kReleases, std::vector<CNMessageBase>{rel});
  EXPECT_FALSE(cache.DeleteLocalCacheContents(drop));
  EXPECT_TRUE(std::filesystem::exists(file_));
}

}  // namespace
