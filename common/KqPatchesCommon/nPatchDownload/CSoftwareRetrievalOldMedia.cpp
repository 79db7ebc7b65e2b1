// The last steps of a retrieval job before it records its sides: root-files patching of the
// succeeded sides, the old feature-release and maintenance-release media to remove, the media
// that installed clients still need, and the final side lists.
#include <set>
#include <string>

#include "InstallUtils/IFolderStruct.h"
#include "MediaAccess/IMediaAccess.h"
#include "PortableFiles/PxDirectory.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/RetrievalPhaseUtil.h"

namespace nPatchDownload {

namespace {

constexpr unsigned int kCallerCacheMaintenance = 3;

const char* OSName(int osId) {
  return CPatchInstallCommon::GetUpdateOSNameFromID(static_cast<unsigned int>(osId), false);
}

std::string Side(const tRetrievalSide& side, int format) {
  return side.mediaVersion.formatted_str(format) + ":" + OSName(side.osId);
}

// A local folder-structure object of the cache hierarchy for a version; null (logged by the
// caller with rc) when it cannot be made.
KQInstallCommonUtils::IFolderStruct* LocalFolders(const FullVersion& version,
                                                  const std::string& xmlTemplate,
                                                  const std::string& mediaRoot,
                                                  IPatchEvent& event, unsigned int& rc) {
  tFolderStructParam params;
  IComponentsRetrieval::fillInFolderStructParams(params, version, xmlTemplate, mediaRoot, "/");
  KQInstallCommonUtils::IFolderStruct* folders = nullptr;
  rc = IComponentsRetrieval::ConstructFolderStructObjects(params, folders, event);
  if (rc != 0 && folders != nullptr) {
    KQInstallCommonUtils::DestroyFolderStructReader(folders);
    folders = nullptr;
  }
  return folders;
}

}  // namespace

bool CSoftwareRetrieval::populateMediaToKeep(tSideFolderMap& mediaToKeep,
                                             const std::string& mediaRoot, IPatchEvent& event,
                                             IPatchDataManager& dataManager) {
  static const char kFn[] = "populateMediaToKeep";
  std::set<tRetrievalSide> installed;
  if (dataManager.GetAllowedSPs(installed) != 0) return true;
  const std::string xmlTemplate = KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1);
  for (const tRetrievalSide& side : installed) {
    unsigned int rc = 0;
    KQInstallCommonUtils::IFolderStruct* folders =
        LocalFolders(side.mediaVersion, xmlTemplate, mediaRoot, event, rc);
    if (folders == nullptr) {
      event.Debug(kFn, "Cannot create folder struct object with error code [%d], continuing",
                  static_cast<int>(rc));
      continue;
    }
    if (!mediaToKeep.emplace(side, folders).second) {
      // The side is kept already, with the object it has.
      KQInstallCommonUtils::DestroyFolderStructReader(folders);
      continue;
    }
    event.Debug(kFn, "Adding side [%s] into mediaToKeep list",
                Side(side, FullVersion::kFormatSide).c_str());
  }
  event.DebugLvl(kFn, 8, "Successfully added already Installed OSes to the m_mediaToKeep");
  return false;
}

bool CSoftwareRetrieval::IsSPAllowed(const FullVersion& release, const tSideFolderMap& mediaToKeep,
                                     std::set<tRetrievalSide>& kept, FullVersion::CompareType type,
                                     const FullVersion& hubnodeVersion) {
  static const char kFn[] = "IsSPAllowed";
  EvDebug log;
  const std::string name = release.formatted_str(FullVersion::kFormatSide);
  if (FullVersion::Compare(FullVersion::kCompareMediaWithUP, release, hubnodeVersion) >= 0) {
    log.Debug(kFn, "Current release [%s] is higher than or equal to HN installed release [%s]",
              name.c_str(), hubnodeVersion.formatted_str(FullVersion::kFormatSide).c_str());
    return true;
  }
  bool added = false;
  for (const auto& media : mediaToKeep) {
    const FullVersion& v = media.first.mediaVersion;
    const bool keep =
        type == FullVersion::kCompareMediaWithUP
            ? FullVersion::Compare(FullVersion::kCompareMedia, v, release) == 0 &&
                  FullVersion::Compare(FullVersion::kCompareMediaWithUP, v, release) <= 0
            : FullVersion::Compare(type, v, release) == 0;
    if (keep) {
      kept.insert(media.first);
      added = true;
    }
  }
  log.Debug(kFn, added ? "Current release [%s] has client(s) installed"
                       : "Current release [%s] has no client(s) installed",
            name.c_str());
  return added;
}

bool CSoftwareRetrieval::GetLatestInstalledDVDForSP(FullVersion& candidate,
                                                    const tSideFolderMap& sides) {
  static const char kFn[] = "GetLatestInstalledDVDForSP";
  EvDebug log;
  for (const auto& side : sides) {
    const FullVersion& v = side.first.mediaVersion;
    if (FullVersion::Compare(FullVersion::kCompareLevel, v, candidate) != 0) continue;
    candidate.Set(FullVersion::kTransactionId, v.Get(FullVersion::kTransactionId));
    candidate.Set(FullVersion::kRevisionId, v.Get(FullVersion::kRevisionId));
    log.Debug(kFn, "Set candidate transaction Id to [%d]", candidate.Get(FullVersion::kTransactionId));
    log.Debug(kFn, "Set candidate revision Id to [%d]", candidate.Get(FullVersion::kRevisionId));
    return true;
  }
  log.Debug(kFn, "Current release [%s] has no client(s) installed",
            candidate.formatted_str(FullVersion::kFormatSide).c_str());
  return false;
}

bool CSoftwareRetrieval::getLatestServicePackDownloaded(const FullVersion& latest,
                                                        FullVersion& previous) {
  static const char kFn[] = "getLatestServicePackDownloaded";
  if (m_localMediaRoot.empty()) {
    m_event.Debug(kFn, "Local media root is empty.");
    return false;
  }
  tRetrievalVersion walk;
  walk.reference = latest;
  walk.previous = FullVersion();
  walk.latest = latest;
  CPxError e = CPxDirectory::Walk(m_localMediaRoot, &walk, 0, true,
                                  CPatchInstallCommon::servicePackNameMatch);
  if (e.IsError()) {
    m_event.Debug(kFn, "Cannot walk through [%s] with return [%d], continuing.",
                  m_localMediaRoot.c_str(), e.GetErrorCode());
    return false;
  }
  bool found = false;
  if (FullVersion::Compare(FullVersion::kCompareMedia, walk.previous, FullVersion()) != 0) {
    previous = walk.previous;
    m_event.Debug(kFn, "Found previous Feature Release version [%s]",
                  previous.formatted_str(FullVersion::kFormatFull).c_str());
    found = true;
  } else {
    m_event.Debug(kFn, "No previous Feature Release found.");
  }
  const FullVersion hubnode = m_policy.GetHubnodeSP();
  if (FullVersion::Compare(FullVersion::kCompareMedia, latest, hubnode) > 0) walk.latest = latest;
  if (m_policy.GetCallerType() != kCallerCacheMaintenance) return found;

  // A release is judged against the sides installed now, and against what the job keeps besides.
  // Without any installed side every older release would look unused: keep them all (the
  // Hubnode's own side is always installed, so an empty answer is no answer either).
  std::set<tRetrievalSide> installed;
  if (m_dataManager.GetAllowedSPs(installed) != 0 || installed.empty()) {
    m_event.Debug(kFn, "Cannot read the installed sides, no Feature Release folder is queued for "
                       "deletion");
    return found;
  }
  tSideFolderMap inUse(m_mediaToKeep);
  for (const tRetrievalSide& side : installed) inUse.emplace(side, nullptr);
  EvDebug defaultLog;
  EvDebug& log = JobLog(m_event, defaultLog);
  const std::string localCache = m_mediaAccess.GetMediaConfiguration().GetLocalCache();
  for (const FullVersion& v : walk.versions) {
    if (FullVersion::Compare(FullVersion::kCompareMedia, v, hubnode) == 0 ||
        FullVersion::Compare(FullVersion::kCompareMedia, v, walk.latest) == 0 ||
        FullVersion::Compare(FullVersion::kCompareMedia, v, latest) == 0) {
      m_event.DebugLvl(kFn, 8,
                       "Skipping SP folder [%s], HN has [%s], candidate version is [%s] and "
                       "latest version is [%s]",
                       v.formatted_str(FullVersion::kFormatFull).c_str(),
                       hubnode.formatted_str(FullVersion::kFormatFull).c_str(),
                       walk.latest.formatted_str(FullVersion::kFormatFull).c_str(),
                       latest.formatted_str(FullVersion::kFormatFull).c_str());
      continue;
    }
    std::set<tRetrievalSide> kept;
    const bool removable =
        FullVersion::Compare(FullVersion::kCompareMedia, v, hubnode) > 0 ||
        !IsSPAllowed(v, inUse, kept, FullVersion::kCompareMedia, hubnode);
    if (removable) {
      CPatchInstallCommon::addSPToDelete(v, m_foldersToDelete, m_oldMediaToRemove, localCache, log);
    } else {
      m_event.DebugLvl(kFn, 8,
                       "Skipping SP folder [%s] Since it has clients installed in the current "
                       "release",
                       v.formatted_str(FullVersion::kFormatFull).c_str());
    }
  }
  return found;
}

unsigned int CSoftwareRetrieval::processExistingCUs(int osId, const FullVersion& version) {
  static const char kFn[] = "processExistingCUs";
  const std::string localCache = m_mediaAccess.GetMediaConfiguration().GetLocalCache();
  unsigned int rc = 0;
  KQInstallCommonUtils::IFolderStruct* folders =
      LocalFolders(version, m_localCacheTemplate, localCache, m_event, rc);
  if (folders == nullptr) {
    m_event.Debug(kFn, "Failed to create folder struct object with error code [%d]",
                  static_cast<int>(rc));
    return rc != 0 ? rc : KQ_PATCH_E_NOT_BUILT;
  }
  const std::string root = folders->GetPath(KQInstallCommonUtils::eKindFeatureReleaseRoot,
                                            OSName(osId), FullVersion(_SPVersion(0)), 0);
  if (root.empty()) {
    m_event.Debug(kFn, "Failed to get Feature Release root for Version [%s]",
                  version.formatted_str(FullVersion::kFormatSide).c_str());
    KQInstallCommonUtils::DestroyFolderStructReader(folders);
    return KQ_PATCH_E_MEDIA_ROOT;
  }

  const int candidate = version.Get(FullVersion::kUPNumber);
  int upper = candidate;
  std::set<int> numbers;
  CPxError e = CPxDirectory::Walk(root, &numbers, 0, true, CPatchInstallCommon::matchCUFolders);
  if (e.IsError()) {
    m_event.Debug(kFn, "Cannot walk through [%s] with return [%d], continuing.", root.c_str(),
                  e.GetErrorCode());
  } else if (numbers.empty()) {
    m_event.DebugLvl(kFn, 8, "No CU folders found, skipping the cleanup.");
  } else {
    int lower = 0;
    auto below = numbers.lower_bound(candidate);
    if (below != numbers.begin()) {
      lower = *std::prev(below);
      m_event.Debug(kFn, "Found closest lower CU number [%d] in existing cache", lower);
      m_lowerBoundCUVersion = version;
      m_lowerBoundCUVersion.Set(FullVersion::kUPNumber, lower);
    } else {
      m_event.DebugLvl(kFn, 8, "No closest CU number found");
    }
    if (numbers.erase(candidate) != 0)
      m_event.DebugLvl(kFn, 8, "Excluding candidate CU [%d]", candidate);
    if (!numbers.empty()) {
      upper = std::max(*numbers.rbegin(), candidate);
      // Without a candidate pack the newest one in the cache stays.
      if (candidate == 0) numbers.erase(upper);
    }
    m_event.DebugLvl(kFn, 8, "Lower bound CU [%d]", lower);
  }
  if (m_policy.GetCallerType() != kCallerCacheMaintenance) {
    KQInstallCommonUtils::DestroyFolderStructReader(folders);
    return KQ_PATCH_OK;
  }

  std::set<unsigned int> dangling;
  rc = m_dataManager.GetDanglingCUsInDB(version, root, dangling, osId);
  if (rc != 0) {
    KQInstallCommonUtils::DestroyFolderStructReader(folders);
    return rc;
  }
  std::set<unsigned int> toDelete(dangling);
  for (int n : numbers) toDelete.insert(static_cast<unsigned int>(n));
  const std::string updates = root + "/" + "Updates";
  if ((candidate != 0 || upper != 0) && CPatchInstallCommon::IsFolderExisted(updates)) {
    m_event.Debug(kFn, "Adding root updates folder [%s] to deletion list", updates.c_str());
    m_foldersToDelete.push_back(updates);
  }
  EvDebug defaultLog;
  EvDebug& log = JobLog(m_event, defaultLog);
  for (unsigned int n : toDelete) {
    if (n == 0) continue;
    tRetrievalSide side;
    side.osId = osId;
    side.mediaVersion = version;
    side.mediaVersion.Set(FullVersion::kUPNumber, static_cast<int>(n));
    side.mediaVersion.Set(FullVersion::kUPTransactionId, 0);
    CPatchInstallCommon::addCUToDelete(side, m_foldersToDelete, m_oldMediaToRemove, localCache,
                                       root, log);
  }
  KQInstallCommonUtils::DestroyFolderStructReader(folders);
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::DoRootFilesPatching(tSideFolderMap& succeededPackages,
                                                     tSideFolderMap& succeededMaintenanceReleases,
                                                     tSideFolderMap& succeededUpdates,
                                                     tSideFolderMap& failedPackages,
                                                     tSideFolderMap& failedMaintenanceReleases,
                                                     tSideFolderMap& failedUpdates) {
  static const char kFn[] = "DoRootFilesPatching";
  const bool byPacks = !succeededMaintenanceReleases.empty();
  const tSideFolderMap working = byPacks ? succeededMaintenanceReleases : succeededUpdates;
  tComponentsRetrievalMap& retrievers = byPacks ? m_cuRetrievals : m_updatesRetrievals;

  for (const auto& r : retrievers) {
    if (!r.second) continue;
    const std::set<tRetrievalSide>& supported = r.second->GetSides();
    for (const auto& w : working) {
      const tRetrievalSide& s = w.first;
      const std::string name = Side(s, FullVersion::kFormatSide);
      if (supported.count(s) == 0) {
        // Another version's retriever patches this side.
        m_event.Debug(kFn, "could not find the side [%s] in sides supported.", name.c_str());
        continue;
      }
      const unsigned int rc = r.second->DoRootFilesPatching(s);
      if (rc == 0) {
        m_event.DebugLvl(kFn, 8, "Root files patching is done for Side [%s] by updates retrieval",
                         name.c_str());
        continue;
      }
      // The failed lists get the object the side has in the list being patched.
      KQInstallCommonUtils::IFolderStruct* folders = w.second;
      if (succeededPackages.count(s) != 0) {
        m_event.DebugLvl(kFn, 2, "Removing Side [%s] from succeeded packages list", name.c_str());
        succeededPackages.erase(s);
      }
      if (failedUpdates.count(s) == 0) {
        m_event.DebugLvl(kFn, 2, "Adding Side [%s] to failed updates list", name.c_str());
        failedUpdates[s] = folders;
      }
      if (failedPackages.count(s) == 0) {
        m_event.DebugLvl(kFn, 2, "Adding Side [%s] to failed packages list", name.c_str());
        failedPackages[s] = folders;
      }
      if (succeededMaintenanceReleases.count(s) != 0) {
        m_event.DebugLvl(kFn, 2, "Removing Side [%s] from succeeded CU pack list", name.c_str());
        succeededMaintenanceReleases.erase(s);
      }
      if (failedMaintenanceReleases.count(s) == 0) {
        m_event.DebugLvl(kFn, 2, "Adding Side [%s] to failed CU pack list", name.c_str());
        failedMaintenanceReleases[s] = folders;
      }
      m_event.DebugLvl(kFn, 2, "Removing Side [%s] from succeeded updates list", name.c_str());
      succeededUpdates.erase(s);
      m_event.Debug(kFn,
                    "Root files patching failed on updates Side [%s] with error code [%d], marking "
                    "it as failed.",
                    name.c_str(), static_cast<int>(rc));
      unsigned int& status = m_sideStatus[s];
      if (status == 0) status = rc;
    }
  }
  if (JobLogsAt(m_event, 2)) {
    m_event.Debug(kFn, "Media status after root files patching:");
    ShowResultInLogging(succeededPackages, succeededMaintenanceReleases, succeededUpdates, true);
    ShowResultInLogging(failedPackages, failedMaintenanceReleases, failedUpdates, false);
  }
  return KQ_PATCH_OK;
}

void CSoftwareRetrieval::AppendSidesToRemove(tSideFolderMap& succeededPackages,
                                             tSideFolderMap& failedPackages,
                                             tSideFolderMap& succeededMaintenanceReleases,
                                             tSideFolderMap& failedMaintenanceReleases,
                                             tSideFolderMap& succeededUpdates,
                                             tSideFolderMap& failedUpdates) {
  static const char kFn[] = "AppendSidesToRemove";
  for (const auto& old : m_oldMediaToRemove) {
    const tRetrievalSide& s = old.first;
    KQInstallCommonUtils::IFolderStruct* folders = old.second;
    const std::string name = Side(s, FullVersion::kFormatFull);
    if (s.mediaVersion.Get(FullVersion::kUPNumber) == 0) {
      bool sameRelease = false;
      for (const auto& p : succeededPackages)
        sameRelease = sameRelease ||
                      (p.first.osId == s.osId &&
                       FullVersion::Compare(FullVersion::kCompareMedia, p.first.mediaVersion,
                                            s.mediaVersion) == 0);
      if (sameRelease) {
        m_event.DebugLvl(kFn, 2,
                         "Skipping deleting media [%s] since its CU is 0 and has same SPVersion in "
                         "succeeded packages",
                         name.c_str());
        continue;
      }
    }
    if (succeededPackages.count(s) != 0 || succeededUpdates.count(s) != 0) {
      m_event.Debug(kFn, "Old media package/updates already exists in success list [%s], continuing",
                    name.c_str());
      continue;
    }
    if (failedPackages.count(s) != 0) {
      m_event.Debug(kFn, "Old media package already exists in failed list [%s], continuing",
                    name.c_str());
      continue;
    }
    m_event.DebugLvl(kFn, 8, "Adding package side [%s] to delete list", name.c_str());
    failedPackages[s] = folders;
    if (failedMaintenanceReleases.count(s) != 0) {
      m_event.Debug(kFn, "Old media CU already exists in failed list [%s], continuing",
                    name.c_str());
      continue;
    }
    if (succeededMaintenanceReleases.count(s) != 0) {
      m_event.Debug(kFn, "Old media CU already exists in success list [%s], continuing",
                    name.c_str());
      continue;
    }
    m_event.DebugLvl(kFn, 8, "Adding CU side [%s] to delete list", name.c_str());
    failedMaintenanceReleases[s] = folders;
    if (failedUpdates.count(s) != 0) {
      m_event.Debug(kFn, "Old media update already exists in failed list [%s], continuing",
                    name.c_str());
      continue;
    }
    m_event.DebugLvl(kFn, 8, "Adding update side [%s] to delete list", name.c_str());
    failedUpdates[s] = folders;
  }
  m_event.Debug(kFn, "The final result to sync DB is:");
  ShowResultInLogging(succeededPackages, succeededMaintenanceReleases, succeededUpdates, true);
  ShowResultInLogging(failedPackages, failedMaintenanceReleases, failedUpdates, false);
}

}  // namespace nPatchDownload
