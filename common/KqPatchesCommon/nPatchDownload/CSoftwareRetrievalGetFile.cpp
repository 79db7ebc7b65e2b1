// The GetFile phase of a retrieval job: fetching the pending files of every good side.
//
// The retrievers may run the transfers as tasks on the GetFile pool; the tasks reach the
// side's retrieved list and the job's two counters only through the mutexes handed to them.
// The post-retrieval and verification passes read the retrieved lists, so they run only after
// the GetFile pool has no work left.
//
// "CopySoftware" under the install folder's "Temp" is shared by every job of the host, and the
// frame takes no software-cache lock or named mutex around its phases, so nothing keeps two jobs
// from running at once: each job works in a folder of its own below it, "P<process id>_<n>"
// with n counting the job objects of the process, emptied at each patch type and removed when
// the job object is destroyed.
#include <atomic>
#include <map>
#include <mutex>
#include <queue>

#include "CacheDeletionGuard.h"
#include "Concurrency/KqCurrentIds.h"
#include "PortableFiles/SafePath.h"
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

unsigned int CSoftwareRetrieval::prepareCopyTempFolder(EvDebug& log) {
  static const char kFn[] = "prepareCopyTempFolder";
  std::string shared;
  unsigned int rc = CPatchInstallCommon::CreateTempFolder("CopySoftware", shared, log, false);
  if (rc != 0) return rc;
  // The job's folder is emptied and removed below it: it must be a real folder of Temp.
  std::string why;
  if (!CacheDeletionGuard::CheckFolderBelow(shared.substr(0, shared.rfind('/')), shared, why)) {
    log.Debug(kFn, "Temp folder [%s] cannot be used: %s", shared.c_str(), why.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  if (m_copyTempFolder.empty()) {
    static std::atomic<unsigned long> jobs{0};
    m_copyTempName = "P" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++jobs);
  }
  m_copyTempShared = shared;
  m_copyTempFolder = shared + "/" + m_copyTempName;
  // A folder of this name left by an earlier process with the same id is emptied as well.
  std::string error;
  if (!kq::RemoveUnder(shared, m_copyTempName, &error)) {
    log.Debug(kFn, "Could not empty temp folder [%s]: %s", m_copyTempFolder.c_str(),
              error.c_str());
    return KQ_PATCH_E_FILE_IO;
  }
  rc = CPatchInstallCommon::CreateDirectories(m_copyTempFolder);
  if (rc != 0) {
    log.Debug(kFn, "Could not create temp folder [%s] with error [%d]", m_copyTempFolder.c_str(),
              static_cast<int>(rc));
    return rc;
  }
  log.DebugLvl(kFn, 8, "Temp folder of this job is [%s]", m_copyTempFolder.c_str());
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
