#include "RetrievalJobParts.h"

#include <gtest/gtest.h>

#include "InstallUtils/IFolderStruct.h"
#include "Vocabulary.h"

namespace kqtest {

using namespace nPatchDownload;

RetrievalJobParts::RetrievalJobParts() {
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  config.set("Base", "dHOME", base.path());
  int status = 0;
  dataManager = std::make_unique<CPatchDataManagerHN>(sink, status);
}

RetrievalJobParts::~RetrievalJobParts() { job.reset(); }

TestRetrievalJob& RetrievalJobParts::Job(const std::string& server, bool copy) {
  job.reset();
  CMediaConfiguration record;
  record.Reset(CMediaConfiguration::eHTTP, cache.path(), server, true, false);
  policy.m_policyType = copy ? CPolicyProvider::ePolicyCopy : 1;
  IMediaAccess* access = nullptr;
  EXPECT_EQ(0u, CreateMediaAccess(record, record, sink, &access));
  media.reset(access);
  job = std::make_unique<TestRetrievalJob>(jobObject, sink, *dataManager, policy, builder,
                                           checkPool, getPool, *media);
  job->m_localCacheTemplate = KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1);
  return *job;
}

}  // namespace kqtest
