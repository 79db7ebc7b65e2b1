// CPolicyProvider: what a retrieval job decided before it runs: copy or download, the two
// pools' parameters, the Hubnode's installed and the candidate media versions, the installer
// cache, the appliance source folders, the maintenance-release packs found among loose updates
// and who called. The concrete job fills it and keeps it for the job's life; the frame reads
// it through the accessors. The folder-structure objects in the packs map belong to the job.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CPOLICYPROVIDER_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CPOLICYPROVIDER_H_

#pragma GCC visibility push(default)

#include <map>
#include <string>

#include "Jobs/IPatchThreadPool.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/RetrievalTypes.h"

namespace nPatchDownload {

class CPolicyProvider {
 public:
  enum { ePolicyCopy = 4 };

  bool IsCopy() const { return m_policyType == ePolicyCopy; }
  bool IsDownload() const { return !IsCopy(); }
  tThreadPoolParams GetCheckFileTPParams() const { return m_checkFileParams; }
  tThreadPoolParams GetGetFileTPParams() const { return m_getFileParams; }
  FullVersion GetHubnodeSP() const { return m_hubnodeVersion; }
  FullVersion GetCandidateVersion() const { return m_candidateVersion; }
  bool GetUseInstallerCache() const { return m_useInstallerCache; }
  std::map<int, std::string>& RetrieveApplianceOSes() { return m_applianceSources; }
  void GetCUPacksInLooseUpdates(tSideFolderMap& packs) const { packs = m_cuPacksInLooseUpdates; }
  unsigned int GetCallerType() const { return m_callerType; }

  unsigned int m_policyType = 0;  // 4: copy job
  tThreadPoolParams m_checkFileParams;
  tThreadPoolParams m_getFileParams;
  FullVersion m_hubnodeVersion;
  FullVersion m_candidateVersion;
  bool m_useInstallerCache = false;
  std::map<int, std::string> m_applianceSources;  // appliance OS type -> source folder
  tSideFolderMap m_cuPacksInLooseUpdates;
  unsigned int m_callerType = 0;
};

}  // namespace nPatchDownload

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CPOLICYPROVIDER_H_
