// The CheckFile phase of a retrieval job: which files every side of every patch type lacks.
//
// The retrievers check their sides on the job thread or as tasks on the CheckFile pool; every
// list a task may touch is handed over with its own mutex, and this phase reads the lists only
// once the pool has no work left. The phase-local lists live on this thread's stack, so every
// way out of the check pass that may follow queued work waits for the pool first.
#include <map>
#include <mutex>
#include <queue>
#include <utility>
#include <vector>

#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalPhaseUtil.h"

namespace nPatchDownload {

namespace {

// An update's file as the pending-updates line shows it: the last path component without its
// last extension.
std::string ShortUpdateName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

// The lists of one CheckFile run of one patch type that the side checks fill.
struct tCheckState {
  std::map<tRetrievalSide, tFileList> computed;   // every file a side needs
  std::map<tRetrievalSide, tFileList> processed;  // files whose check finished
  std::map<tRetrievalSide, std::mutex> pendingLocks;
  std::map<tRetrievalSide, std::mutex> processedLocks;
  std::mutex freeSpaceLock;
  std::mutex sharedNamesLock;
  unsigned long long freeSpaceKB = 0;
};

}  // namespace

void CSoftwareRetrieval::resetAllFlags() {
  {
    std::lock_guard<std::mutex> hold(m_filesCountLock);
    m_numFilesDownloaded = 0;
  }
  {
    std::lock_guard<std::mutex> hold(m_bytesLock);
    m_totalBytesDownloaded = 0;
  }
  m_checkFileNames.clear();
}

unsigned int CSoftwareRetrieval::updatePackagesAndUpdatesInDB(
    std::shared_ptr<IComponentsRetrieval> retriever, const FullVersion& version) {
  std::string first, second;
  const unsigned int rc = retriever->GetSeedFiles(m_mediaAccess, first, second);
  if (rc != 0) {
    m_event.Debug("updatePackagesAndUpdatesInDB",
                  "Get seed files for [%s] failed with error code [%d]",
                  version.formatted_str(FullVersion::kFormatSide).c_str(), static_cast<int>(rc));
  }
  return rc;
}

unsigned int CSoftwareRetrieval::CalculatePendingIncrementalFiles(
    tRetrievalEntries& packages, tRetrievalEntries& maintenanceReleases, tRetrievalEntries& updates,
    tRetrievalEntries& /*unused*/, tApplianceEntries& appliance) {
  resetAllFlags();
  const unsigned int applianceResult = calculatePendingApplianceFiles(appliance);
  m_event.DebugLvl("CalculatePendingIncrementalFiles", 2,
                   "Return code from calculatePendingApplianceFiles = [%d]",
                   static_cast<int>(applianceResult));
  if (applianceResult != 0) return applianceResult;

  const struct {
    int type;
    tRetrievalEntries* entries;
    const char* head;
  } kinds[] = {
      {ePackages, &packages, "Package files pending retrieval for OS [%s] and SP[V%d %s]:"},
      {eCumulativeUpdatePacks, &maintenanceReleases,
       "Maintenance Release files pending retrieval for OS [%s] and SP[V%d %s]:"},
      {eUpdates, &updates, "Update files pending retrieval for OS [%s] and SP[V%d %s]:"},
  };
  for (const auto& kind : kinds) {
    const unsigned int rc = calculatePendingIncrementalFiles(kind.type, *kind.entries);
    if (rc != 0) return rc;
  }

  if (!JobLogsAt(m_event, 2)) return KQ_PATCH_OK;
  for (const auto& kind : kinds) {
    long long n = 1;
    for (const auto& side : *kind.entries) {
      m_event.debug(kind.head, SideOSName(side.first),
                    side.first.mediaVersion.GetSPVersion().GetRelease(),
                    side.first.mediaVersion.formatted_str(FullVersion::kFormatFull).c_str());
      for (const UpdatePatches::BinaryV11& file : side.second.pending)
        m_event.debug("%lld. [%s]", n++,
                      file.getstringByRef(UpdatePatches::BinaryV11::kRelativePath).c_str());
    }
  }
  long long n = 1;
  for (const auto& side : appliance) {
    m_event.debug("Appliance files pending retrieval for OS [%s] and SP[V%d %s]:",
                  SideOSName(side.first), side.first.mediaVersion.GetSPVersion().GetRelease(),
                  side.first.mediaVersion.formatted_str(FullVersion::kFormatFull).c_str());
    for (const auto& os : side.second)
      for (const UpdatePatches::BinaryV11& file : os.second.pending)
        m_event.debug("%lld. [%s]", n++,
                      file.getstringByRef(UpdatePatches::BinaryV11::kRelativePath).c_str());
  }
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::calculatePendingIncrementalFiles(int type,
                                                                  tRetrievalEntries& entries) {
  static const char kFn[] = "calculatePendingIncrementalFiles";
  const char* typeName = getComponentsType(type);
  tComponentsRetrievalMap& retrievers = getSupportedRetrievals(type);

  std::string root;
  unsigned int rc = m_dataManager.GetSWCacheRoot(root);
  if (rc != 0) return rc;
  unsigned long freeKB = 0;
  rc = CPatchInstallCommon::GetFreeDiskSpaces(root, freeKB);
  if (rc != 0) {
    m_event.Debug(kFn, "Failed to get free spaces on [%s]", root.c_str());
    return rc;
  }
  m_event.Debug(kFn, "Software Cache [%s] has [%llu]KB free space left.", root.c_str(),
                static_cast<unsigned long long>(freeKB));

  tCheckState state;
  state.freeSpaceKB = freeKB;
  rc = KQ_PATCH_OK;
  for (auto& version : retrievers) {
    if (!version.second) continue;
    m_event.Debug(kFn, "Start CheckFile Mode for [%s] %s",
                  version.first.formatted_str(FullVersion::kFormatFull).c_str(), typeName);
    rc = updatePackagesAndUpdatesInDB(version.second, version.first);
    if (rc != 0) break;
    const std::set<tRetrievalSide>& sides = version.second->GetSides();
    for (auto side = sides.begin(); side != sides.end(); ++side) {
      tRetrievalEntry& entry = entries[*side];
      const unsigned int check = version.second->CheckFile(
          *side, {&state.pendingLocks[*side], &entry.pending},
          {&state.processedLocks[*side], &state.processed[*side]}, state.computed[*side],
          {&state.freeSpaceLock, &state.freeSpaceKB}, entry.reDownloadExisting,
          {&state.sharedNamesLock, &m_checkFileNames}, entry);
      if (check == 0) continue;
      if (check == KQ_PATCH_E_INTERRUPTED) {
        // This side and the ones not yet checked have no list to retrieve from.
        for (auto rest = side; rest != sides.end(); ++rest) {
          tRetrievalEntry& unchecked = entries[*rest];
          if (unchecked.status != 0) continue;
          unchecked.status = KQ_PATCH_E_INTERRUPTED;
          m_event.DebugLvl(kFn, 8, "Side [%s:%s] was not checked before the interruption",
                           SideVersionText(rest->mediaVersion).c_str(), SideOSName(*rest));
        }
        break;
      }
      m_event.Debug(kFn,
                    "Computing files pending download for [%s:%d] in %s failed with error code "
                    "[%d], marking it invalid",
                    SideVersionText(side->mediaVersion).c_str(), side->osId, typeName,
                    static_cast<int>(check));
      entry.status = check;
    }
  }

  // The lists below are read only when no task can write them any more. This thread has
  // nothing else to do until then: it runs queued checks too.
  const unsigned int joined = m_checkFilePool.HelpAndWaitForAll(true, true, true);
  if (joined != 0) {
    m_event.Debug(kFn, "Failed to join the threads with error code [%d]", static_cast<int>(joined));
    if (rc == 0) rc = joined;
  }
  if (rc != 0) return rc;

  // Each side's computed list moves into its entry; a side listed again (by another version's
  // retriever) finds it there already.
  std::map<tRetrievalSide, size_t> computedCounts;
  for (auto& version : retrievers) {
    if (!version.second) continue;
    for (const tRetrievalSide& side : version.second->GetSides()) {
      if (m_jobObject.IsInterrupted()) return ReportJobInterrupted(m_event, kFn);
      tRetrievalEntry& entry = entries[side];
      tFileList& computed = state.computed[side];
      const auto counted = computedCounts.emplace(side, computed.size());
      if (counted.second) entry.all = std::move(computed);
      const size_t computedCount = counted.first->second;
      const size_t processed = state.processed[side].size();
      if (entry.status == 0 && processed != computedCount) {
        m_event.Debug(kFn,
                      "There are [%llu] files needs to be computed but only [%llu] are processed, "
                      "marking Side [%s:%s] invalid",
                      static_cast<unsigned long long>(computedCount),
                      static_cast<unsigned long long>(processed),
                      SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
        entry.status = KQ_PATCH_E_FEWER_CHECKED;
      } else if (entry.status != 0) {
        if (entry.status == KQ_PATCH_E_DISK_SPACE) {
          m_event.Debug(kFn, "Not enough space left, the job will fail");
          return KQ_PATCH_E_DISK_SPACE;
        }
        m_event.DebugLvl(kFn, 8, "Ignore status code [%d] on Side [%s:%s]",
                         static_cast<int>(entry.status), SideVersionText(side.mediaVersion).c_str(),
                         SideOSName(side));
      }
      if (entry.pending.empty()) continue;
      if (type == eUpdates) {
        std::string names;
        for (const UpdatePatches::BinaryV11& file : entry.pending) {
          names += ShortUpdateName(file.getstringByRef(UpdatePatches::BinaryV11::kRelativePath));
          names += ", ";
        }
        m_event.Debug(kFn, "Updates files pending download for OS [%s]:", SideOSName(side));
        m_event.Debug(kFn, "[%s]", names.c_str());
      }
      m_event.Debug(kFn, "There are [%llu] %s files pending download for [%s:%s]",
                    static_cast<unsigned long long>(entry.pending.size()), typeName,
                    SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
      if (type == eUpdates) {
        if (entry.reDownloadExisting)
          m_event.DebugLvl(kFn, 8, "Existing updates will be re-downloaded for [%s:%s]",
                           SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
        else
          m_event.DebugLvl(kFn, 8, "Only new updates files will be downloaded for [%s:%s]",
                           SideVersionText(side.mediaVersion).c_str(), SideOSName(side));
      }
    }
  }
  return KQ_PATCH_OK;
}

}  // namespace nPatchDownload
