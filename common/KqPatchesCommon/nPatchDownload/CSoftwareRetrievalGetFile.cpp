// The GetFile phase of a retrieval job: fetching the pending files of every good side.
//
// The retrievers may run the transfers as tasks on the GetFile pool; the tasks reach the
// side's retrieved list and the job's two counters only through the mutexes handed to them.
// The post-retrieval and verification passes read the retrieved lists, so they run only after
// the GetFile pool has no work left.
//
// "CopySoftware" under the install folder's "Temp" is shared by every job of the host, and the
// frame takes no software-cache lock or named mutex around its phases, so nothing keeps two jobs
// from running at once: each job works in a folder of its own below it, "P<process id>_<random
// text>" (process ids repeat across pid namespaces and over time), emptied at each patch type
// and removed when the job object is destroyed. The job holds its folder through a lock for as
// long as it lives, so a job that starts removes the folders whose job is gone: killed, or
// crashed before it could remove its own.
#include <cctype>
#include <map>
#include <mutex>
#include <queue>

#include "Concurrency/KqCurrentIds.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalPhaseUtil.h"

namespace nPatchDownload {

unsigned int CSoftwareRetrieval::GetIncrementalFile(tRetrievalEntries& packages,
                                                    tRetrievalEntries& maintenanceReleases,
                                                    tRetrievalEntries& updates,
                                                    tRetrievalEntries& /*unused*/,
                                                    tApplianceEntries& appliance) {
  const struct {
    int type;
    tRetrievalEntries* target;
  } kinds[] = {{ePackages, &packages},
               {eCumulativeUpdatePacks, &maintenanceReleases},
               {eUpdates, &updates}};
  for (const auto& kind : kinds) {
    const unsigned int rc =
        getIncrementalFile(kind.type, *kind.target, packages, maintenanceReleases);
    if (rc != 0) return rc;
  }
  const unsigned int rc = getOSAppliancePatches(appliance);
  if (rc != 0) return rc;
  if (m_policy.IsCopy()) {
    // The update packs a copy job found among loose updates settle the packs already cached;
    // what that finds is for the old-media lists, not for this phase's result.
    tSideFolderMap packs;
    m_policy.GetCUPacksInLooseUpdates(packs);
    for (const auto& pack : packs) processExistingCUs(pack.first.osId, pack.first.mediaVersion);
  }
  return KQ_PATCH_OK;
}

namespace {

// "P<digits>_<letters and digits>": the name of a job's folder, of this release or an earlier
// one ("P<process id>_<count>").
bool IsJobFolderName(const std::string& name) {
  size_t at = 1;
  if (name.size() < 4 || name[0] != 'P') return false;
  while (at < name.size() && std::isdigit(static_cast<unsigned char>(name[at]))) ++at;
  if (at == 1 || at + 1 >= name.size() || name[at] != '_') return false;
  for (++at; at < name.size(); ++at)
    if (!std::isalnum(static_cast<unsigned char>(name[at]))) return false;
  return true;
}

}  // namespace

unsigned int CSoftwareRetrieval::prepareCopyTempFolder(EvDebug& log) {
  static const char kFn[] = "prepareCopyTempFolder";
  std::string error;
  if (m_copyTemp.made()) {
    if (!m_copyTemp.Empty(&error)) {
      log.Debug(kFn, "Could not empty temp folder [%s]: %s", m_copyTempFolder.c_str(),
                error.c_str());
      return KQ_PATCH_E_FILE_IO;
    }
    return KQ_PATCH_OK;
  }
  std::string shared;
  const unsigned int rc = CPatchInstallCommon::CreateTempFolder("CopySoftware", shared, log, false);
  if (rc != 0) return rc;
  // Every level below Temp must be a real folder: the job's folder is emptied and removed.
  const size_t slash = shared.rfind('/');
  if (!m_copyTemp.Make(shared.substr(0, slash), shared.substr(slash + 1),
                       "P" + std::to_string(GetCurrentProcessId()) + "_", &error)) {
    log.Debug(kFn, "Could not create temp folder in [%s]: %s", shared.c_str(), error.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  m_copyTempFolder = m_copyTemp.path();
  log.DebugLvl(kFn, 8, "Temp folder of this job is [%s]", m_copyTempFolder.c_str());
  if (!m_copyTemp.RemoveUnownedSiblings(IsJobFolderName, &error))
    log.Debug(kFn, "Could not remove the temp folders of ended jobs in [%s]: %s", shared.c_str(),
              error.c_str());
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::getIncrementalFile(int type, tRetrievalEntries& target,
                                                    tRetrievalEntries& packages,
                                                    tRetrievalEntries& maintenanceReleases) {
  static const char kFn[] = "getIncrementalFile";
  const char* typeName = getComponentsType(type);
  tComponentsRetrievalMap& retrievers = getSupportedRetrievals(type);
  const bool copy = m_policy.IsCopy();

  std::string baseFolder, root;
  unsigned int rc = m_dataManager.GetBaseFolder(baseFolder);
  if (rc != 0) return rc;
  rc = m_dataManager.GetSWCacheRoot(root);
  if (rc != 0) return rc;
  unsigned long freeKB = 0;
  rc = CPatchInstallCommon::GetFreeDiskSpaces(root, freeKB);
  if (rc != 0) return rc;
  m_event.Debug(kFn, "Software Cache [%s] has [%llu]KB free space left.", root.c_str(),
                static_cast<unsigned long long>(freeKB));

  EvDebug defaultLog;
  rc = prepareCopyTempFolder(JobLog(m_event, defaultLog));
  if (rc != 0) return rc;

  std::map<tRetrievalSide, std::mutex> retrievedLocks;
  unsigned int phase = KQ_PATCH_OK;
  for (auto& version : retrievers) {
    if (!version.second) continue;
    m_event.Debug(kFn, "Start GetFile Mode for [%s] %s", SideVersionText(version.first).c_str(),
                  typeName);
    for (const tRetrievalSide& side : version.second->GetSides()) {
      auto found = target.find(side);
      if (found == target.end()) {
        m_event.Debug(kFn, "Current Side [%s:%s] is not valid",
                      SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
        continue;
      }
      tRetrievalEntry& entry = found->second;
      if (entry.status != 0) {
        m_event.Debug(kFn,
                      "Current Side [%s:%d] failed in checking incremental files, skipping get "
                      "file mode.",
                      SideVersionText(side.mediaVersion).c_str(), side.osId);
        continue;
      }
      if (type == eUpdates && !copy) {
        // Updates go onto the side's media: not when its package check failed. A side with no
        // package entry has nothing that could have failed.
        auto media = packages.find(side);
        if (media != packages.end() && media->second.status != 0) {
          m_event.Debug(kFn,
                        "DVD for current Side [%s:%s] is not valid, skipping get file for its "
                        "Updates.",
                        SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
          continue;
        }
      }
      phase = version.second->GetFile(
          side, baseFolder, freeKB, entry.pending, {&retrievedLocks[side], &entry.retrieved},
          {&m_filesCountLock, &m_numFilesDownloaded}, {&m_bytesLock, &m_totalBytesDownloaded},
          packages, maintenanceReleases, entry, copy);
      if (phase != 0) {
        m_event.Debug(kFn, "Getting files for [%s] %s failed with error code [%d]",
                      SideVersionText(version.first).c_str(), typeName, static_cast<int>(phase));
        break;
      }
    }
  }

  // The retrieved lists are read only when no transfer can write them any more. The wait
  // returns only then, also when it reports a transfer that threw: the verification below
  // marks the sides that lack files.
  const unsigned int joined = m_getFilePool.WaitForAll(true, true, true);
  if (joined != 0)
    m_event.Debug(kFn, "Cannot join the threads with error code [%d]", static_cast<int>(joined));

  if (phase == 0) {
    const bool oncePerVersion = copy && (type == eUpdates || type == eCumulativeUpdatePacks);
    for (auto& version : retrievers) {
      if (!version.second) continue;
      for (const tRetrievalSide& side : version.second->GetSides()) {
        if (version.second->PostGetFileOperation(side, target) != 0) {
          m_event.Debug(kFn,
                        "Cannot complete post get file operation for Feature Release version [%s] "
                        "and OS Id [%d], continuing",
                        SideVersionText(version.first).c_str(), side.osId);
        }
        if (oncePerVersion) {
          m_event.DebugLvl(
              kFn, 8, "PostGetFileOpertion only need once for Maintenance Release/Update copy");
          break;
        }
      }
    }
  }

  for (auto& version : retrievers) {
    if (!version.second) continue;
    for (const tRetrievalSide& side : version.second->GetSides()) {
      if (m_jobObject.IsInterrupted()) return ReportJobInterrupted(m_event, kFn);
      tRetrievalEntry& entry = target[side];
      if (entry.status == 0 && entry.pending.size() != entry.retrieved.size()) {
        m_event.Debug(kFn,
                      "There are [%llu] files needs to be retrieved but only [%llu] are processed, "
                      "marking Side [%s:%s] as invalid",
                      static_cast<unsigned long long>(entry.pending.size()),
                      static_cast<unsigned long long>(entry.retrieved.size()),
                      SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
        entry.status = KQ_PATCH_E_FEWER_RETRIEVED;
      } else if ((type == eUpdates || type == eCumulativeUpdatePacks) && !entry.retrieved.empty()) {
        m_event.DebugLvl(kFn, 10, "Updates exists for OS Id [%d], downloading installer files",
                         side.osId);
        phase = version.second->GetInstallerFiles(baseFolder, m_mediaAccess, side.osId);
        if (phase != 0) {
          m_event.Debug(kFn, "Failed in getting installer files for OS Id [%d]", side.osId);
          entry.status = phase;
        }
      }
    }
  }
  return phase;
}

}  // namespace nPatchDownload
