// A software download job, call by call (download_job.cpp), over the download center that
// main_road.cpp generates with the tests' generators. The job class there is the tests'
// (tests/support/RetrievalCenterJob.h); a service writes its own, as LocalFolderJob.h shows.
#ifndef KQ_EXAMPLES_DOWNLOADJOB_H_
#define KQ_EXAMPLES_DOWNLOADJOB_H_

#include <map>
#include <string>

#include "RetrievalCenterGenerator.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"

namespace kqexample {

// What one download job did: the first failing phase's code (0: none) and its name, the entry
// maps and side maps, and the files and bytes it fetched.
struct DownloadJobResult {
  unsigned int code = 0;
  std::string failedPhase;
  nPatchDownload::tRetrievalEntries packages, maintenanceReleases, updates;
  nPatchDownload::tApplianceEntries appliance;
  nPatchDownload::tSideFolderMap succeededPackages, failedPackages, succeededPacks, failedPacks,
      succeededUpdates, failedUpdates;
  std::map<std::string, nPatchDownload::tRetrievalEntry> failedApplianceOSes;
  unsigned long long files = 0, bytes = 0;
};

// One download job from `site` (http, over the generated center) into `cache`, over the
// caller's data manager and event sink.
DownloadJobResult RunDownloadJob(const kqtest::RetrievalCenter& center, const std::string& cache,
                                 const std::string& site, nPatchDownload::IPatchDataManager& data,
                                 nPatchDownload::IPatchEvent& sink);

}  // namespace kqexample

#endif  // KQ_EXAMPLES_DOWNLOADJOB_H_
