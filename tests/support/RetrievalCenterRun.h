// Whole download-job runs over a served download center outside a test fixture: the retrieval
// benchmark makes its runs here, as a job process would, each with its own media access, pools,
// job object and policy over the caller's data manager (the example writes its run out call by
// call in examples/download_job.cpp). The example also records its appliance clients here.
#ifndef KQ_TESTS_SUPPORT_RETRIEVALCENTERRUN_H_
#define KQ_TESTS_SUPPORT_RETRIEVALCENTERRUN_H_

#include <memory>
#include <string>

#include "Database/DbSession.h"
#include "MediaAccess/IMediaAccess.h"
#include "RetrievalCenterGenerator.h"
#include "RetrievalCenterJob.h"
#include "nPatchDownload/CFilesDependencyBuilder.h"
#include "nPatchDownload/IPatchEvent.h"

namespace kqtest {

// Records the center's Windows and SQL Server appliance clients in APP_ApplianceOS of the
// configured database, so that a job brings their patches. False (err set) on a failure.
inline bool AddCenterApplianceClients(const RetrievalCenter& center, std::string& err) {
  std::shared_ptr<kq::db::Session> db = kq::db::ThreadSession(err);
  if (!db) return false;
  for (const auto& [names, type] : {std::make_pair(&center.windowsApplianceOses, 2),
                                    std::make_pair(&center.sqlApplianceOses, 1)})
    for (const std::string& name : *names)
      if (kq::db::ExecuteSql(*db,
                             "INSERT INTO APP_ApplianceOS (ClientId, OSNameVersion, MainOSType) "
                             "VALUES ($1, $2, $3)",
                             {kq::db::Value::Int(4 + type), kq::db::Value::Text(name),
                              kq::db::Value::Int(type)},
                             nullptr, err) == kq::db::kDbFailed)
        return false;
  return true;
}

// One download job from `site` (an http URL over the center's files) into `cache`: candidate
// the newest feature release, Hubnode version the older, `threads` per pool. A media access
// that cannot be made gives code 1 and nothing else.
inline CenterJobResult RunCenterDownloadJob(const RetrievalCenter& center, const std::string& cache,
                                            const std::string& site,
                                            nPatchDownload::IPatchDataManager& dataManager,
                                            nPatchDownload::IPatchEvent& sink, unsigned threads) {
  nPatchDownload::CMediaConfiguration record;
  record.Reset(nPatchDownload::CMediaConfiguration::eHTTP, cache, site, true, false);
  IMediaAccess* access = nullptr;
  if (CreateMediaAccess(record, record, sink, &access) != 0) {
    CenterJobResult failed;
    failed.code = 1;
    return failed;
  }
  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> media(access, DestroyMediaAccess);
  nPatchDownload::CPolicyProvider policy;
  policy.m_policyType = 1;  // a download job
  policy.m_candidateVersion = center.Version(0);
  policy.m_hubnodeVersion = center.Version(1);
  policy.m_checkFileParams.threads = threads;
  policy.m_getFileParams.threads = threads;
  CPatchJobObject jobObject;
  nPatchDownload::CFilesDependencyBuilder builder(7);
  CPatchThreadPool checkPool, getPool;
  CenterRetrievalJob job(center, cache, jobObject, sink, dataManager, policy, builder, checkPool,
                         getPool, *media);
  return RunCenterJob(job);
}

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_RETRIEVALCENTERRUN_H_
