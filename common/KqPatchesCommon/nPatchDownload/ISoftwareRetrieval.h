// ISoftwareRetrieval: what a software retrieval job offers the code that runs it, in the order
// the phases run: Initialize, the CheckFile phase (CalculatePendingIncrementalFiles), the
// GetFile phase (GetIncrementalFile), GetRetrievalResult, DoRootFilesPatching,
// AppendSidesToRemove, CommitAppliancePatches once the result is recorded, and
// DeleteInstallerCacheReg when the installer cache was used. GetNumFilesDownloaded may be read
// from any thread at any time. CSoftwareRetrieval implements it; whoever creates a job owns it
// and may destroy it through this interface.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_ISOFTWARERETRIEVAL_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_ISOFTWARERETRIEVAL_H_

#pragma GCC visibility push(default)

#include <map>
#include <string>

#include "nPatchDownload/RetrievalTypes.h"

namespace nPatchDownload {

class ISoftwareRetrieval {
 public:
  virtual ~ISoftwareRetrieval() = default;

  virtual unsigned int Initialize() = 0;
  // The fourth map is not read.
  virtual unsigned int CalculatePendingIncrementalFiles(tRetrievalEntries& packages,
                                                        tRetrievalEntries& maintenanceReleases,
                                                        tRetrievalEntries& updates,
                                                        tRetrievalEntries& unused,
                                                        tApplianceEntries& appliance) = 0;
  virtual unsigned int GetIncrementalFile(tRetrievalEntries& packages,
                                          tRetrievalEntries& maintenanceReleases,
                                          tRetrievalEntries& updates, tRetrievalEntries& unused,
                                          tApplianceEntries& appliance) = 0;
  virtual unsigned long long GetNumFilesDownloaded() = 0;
  virtual unsigned int GetRetrievalResult(
      tRetrievalEntries& packages, tRetrievalEntries& maintenanceReleases,
      tRetrievalEntries& updates, tSideFolderMap& succeededPackages,
      tSideFolderMap& failedPackages, tSideFolderMap& succeededMaintenanceReleases,
      tSideFolderMap& failedMaintenanceReleases, tSideFolderMap& succeededUpdates,
      tSideFolderMap& failedUpdates, std::map<std::string, tRetrievalEntry>& failedApplianceOSes) = 0;
  virtual void AppendSidesToRemove(tSideFolderMap& succeededPackages,
                                   tSideFolderMap& failedPackages,
                                   tSideFolderMap& succeededMaintenanceReleases,
                                   tSideFolderMap& failedMaintenanceReleases,
                                   tSideFolderMap& succeededUpdates,
                                   tSideFolderMap& failedUpdates) = 0;
  virtual unsigned int DoRootFilesPatching(tSideFolderMap& succeededPackages,
                                           tSideFolderMap& succeededMaintenanceReleases,
                                           tSideFolderMap& succeededUpdates,
                                           tSideFolderMap& failedPackages,
                                           tSideFolderMap& failedMaintenanceReleases,
                                           tSideFolderMap& failedUpdates) = 0;
  virtual bool DeleteInstallerCacheReg() = 0;
  virtual unsigned int CommitAppliancePatches() = 0;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_ISOFTWARERETRIEVAL_H_
