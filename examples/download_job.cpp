// A software download job, call by call, as a job process makes it. The concrete job class
// lives outside the library (here the tests' CenterRetrievalJob, whose retrievers fetch the
// generated download center's files by its manifest; LocalFolderJob.h is the smallest such class
// a service writes); the library supplies the frame.
#include <memory>
#include <string>

#include "DownloadJob.h"
#include "Jobs/IPatchJobObject.h"
#include "Jobs/IPatchThreadPool.h"
#include "MediaAccess/IMediaAccess.h"
#include "RetrievalCenterJob.h"
#include "nPatchDownload/CFilesDependencyBuilder.h"
#include "nPatchDownload/CPolicyProvider.h"

namespace kqexample {

DownloadJobResult RunDownloadJob(const kqtest::RetrievalCenter& center, const std::string& cache,
                                 const std::string& site, nPatchDownload::IPatchDataManager& data,
                                 nPatchDownload::IPatchEvent& sink) {
  DownloadJobResult r;
  // Records the first failing phase; true while none failed.
  auto phase = [&r](const char* name, unsigned int code) {
    if (code != 0 && r.code == 0) {
      r.code = code;
      r.failedPhase = name;
    }
    return code == 0;
  };

  // 1. Media access over the download record: http from the site into the cache (the
  //    hotfix-configuration record is the same here). The maker destroys it at the end.
  nPatchDownload::CMediaConfiguration record;
  record.Reset(nPatchDownload::CMediaConfiguration::eHTTP, cache, site, true, false);
  IMediaAccess* access = nullptr;
  if (!phase("CreateMediaAccess", CreateMediaAccess(record, record, sink, &access))) return r;
  std::unique_ptr<IMediaAccess, void (*)(IMediaAccess*)> media(access, DestroyMediaAccess);

  // 2. The job's policy (a download job, the candidate feature release and the Hubnode's own,
  //    four threads per pool), its job object, its dependency builder and its two pools.
  nPatchDownload::CPolicyProvider policy;
  policy.m_policyType = 1;
  policy.m_candidateVersion = center.Version(0);
  policy.m_hubnodeVersion = center.Version(1);
  policy.m_checkFileParams.threads = 4;
  policy.m_getFileParams.threads = 4;
  CPatchJobObject jobObject;
  nPatchDownload::CFilesDependencyBuilder builder(7);
  CPatchThreadPool checkPool, getPool;
  kqtest::CenterRetrievalJob job(center, cache, jobObject, sink, data, policy, builder, checkPool, getPool,
                                 *media);

  // 3. Initialize: media access, the sides per media version, one retriever per version and
  //    patch type. Nothing more when it fails.
  if (!phase("Initialize", job.Initialize())) return r;
  // 4. The Unix appliance configuration files and the repodata archives.
  bool platformInfo = false;
  phase("DownloadUnixApplianceConfigFiles", job.DownloadUnixApplianceConfigFiles(platformInfo));
  phase("downloadAllRepodataFiles", job.downloadAllRepodataFiles(job.repodataNames));
  // 5. The pending files: the cache root, free space and, side by side, what is missing or
  //    differs. Nothing more when it fails.
  nPatchDownload::tRetrievalEntries unused;
  if (!phase("CalculatePendingIncrementalFiles",
             job.CalculatePendingIncrementalFiles(r.packages, r.maintenanceReleases, r.updates, unused, r.appliance)))
    return r;
  // 6. The retrieval: the pending files through a temporary folder, then the appliance files.
  const bool fetched = phase("GetIncrementalFile", job.GetIncrementalFile(r.packages, r.maintenanceReleases,
                                                                          r.updates, unused, r.appliance));
  // 7. Which sides succeeded and failed; the root files of the media; the old media to remove.
  phase("GetRetrievalResult",
        job.GetRetrievalResult(r.packages, r.maintenanceReleases, r.updates, r.succeededPackages,
                               r.failedPackages, r.succeededPacks, r.failedPacks, r.succeededUpdates,
                               r.failedUpdates, r.failedApplianceOSes));
  phase("DoRootFilesPatching",
        job.DoRootFilesPatching(r.succeededPackages, r.succeededPacks, r.succeededUpdates, r.failedPackages,
                                r.failedPacks, r.failedUpdates));
  job.AppendSidesToRemove(r.succeededPackages, r.failedPackages, r.succeededPacks, r.failedPacks,
                          r.succeededUpdates, r.failedUpdates);
  // 8. The appliance patches that arrived are recorded in the database.
  if (fetched) phase("CommitAppliancePatches", job.CommitAppliancePatches());
  r.files = job.GetNumFilesDownloaded();
  r.bytes = job.GetTotalBytesDownloaded();
  // 9. Destroying the job deletes the folders it queued; then the media access goes.
  return r;
}

}  // namespace kqexample
