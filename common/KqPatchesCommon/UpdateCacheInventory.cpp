// Filling an inventory from the cache folders, and resetting, printing, measuring and testing it.
//
// Two layouts are read below "<cache root>/KQUpdates/<release name>":
//   releases below 15:  <OS>/ServicePacks/SP<v>/Updates/<update>        (Windows OSes)
//                       Unix/ServicePacks/SP<v>/Updates/<OS>/<update>   (Unix OSes share "Unix")
//                       <OS>/Updates/<update>, Unix/Updates/<OS>/<update>
//   release 15:         <OS>/ServicePacks/SP<v>/Config/Updates.txt      (one update a line)
//                       <OS>/ServicePacks/SP<v>/UpdateINI/<update>.ini
//                       <OS>/Updates/<update>
// Each update folder carries its descriptor in "Config/update.ini".
#include <string>
#include <vector>

#include <dirent.h>

#include "KQUpdateCache.h"
#include "InstallUtils/IFolderStruct.h"
#include "KqCriticalSection.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "UpdateUtils.h"

namespace {

const char kPrintTag[] = "KQUpdateCache::PrintCacheInfo";

// True when a slot records something: updates of either kind, or, for releases above 15, a
// feature release (service-pack number 0 or more).
bool SlotRecordsSomething(int relId, const UpdatesForOS& slot) {
  if (!slot.additionalUpdates.empty()) return true;
  if (relId <= 15) return !slot.spUpdates.empty();
  return slot.spVersion.GetMajor() >= 0;
}

// The loose-update folder of an OS that a folder-structure reader resolves (its hotfix root);
// "" when the reader cannot form it.
std::string LooseUpdatesPathFromReader(KQInstallCommonUtils::IFolderStruct* folders,
                                       const char* osName, const FullVersion& version) {
  return folders->GetPath(KQInstallCommonUtils::eKindHotfixRoot, osName, version, 0);
}

}  // namespace

int GetBuildNumberFromReleaseVersion(int major) {
  switch (major) {
    case 9: return 84;
    case 10: return 116;
    case 11: return 80;
    default: return 0;
  }
}

void SetReleaseVersionBuildFromReleaseId(_SPVersion& sp, int relId) {
  sp.SetRelease(relId - 5);
  sp.SetBuild(GetBuildNumberFromReleaseVersion(relId - 5));
}

void KQUpdateCache::SetPackageOsTypes() {
  m_packageOsTypes[1] = {1, 2, 3};
  m_packageOsTypes[2] = {5};
}

bool KQUpdateCache::GetUpdatesOnUnix(const char* folder, std::vector<std::string>* names) {
  if (folder == nullptr || names == nullptr) return true;
  CPxDirectory dir;
  if (dir.Open(folder, "*", true).IsError()) return true;
  SPxDirEntry entry;
  bool end = false;
  for (CPxError e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    if (entry.name == "Config") continue;
    if (!isUpdateFileStrValid(entry.name.c_str(), UPDATETYPE_UPDATE, UPDATE_FILE_LOC_LOCAL)) continue;
    // The listing's type settles most entries; a link (to a folder or not) or an unknown type
    // is looked at through its status.
    if (entry.type != DT_DIR) {
      if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) continue;
      SPxFileStat st;
      if (CPxFile::Stat(std::string(folder) + "/" + entry.name, st).IsError() || !st.IsDirectory())
        continue;
    }
    names->push_back(entry.name);
  }
  return true;
}

bool KQUpdateCache::GetUpdatesOnWin(const char*, std::vector<std::string>*) { return true; }

bool KQUpdateCache::GetOSUpdatesAtCache(int relId, int osId, int updateType, CacheProp prop,
                                        _SPVersion& sp, std::vector<std::string>* names) {
  std::string folder = prop.cacheRoot;
  // An OS without an update folder (ids 0 and 5) has nothing to list; the root is not listed.
  if (!FindPathForOS(relId, osId, updateType, folder)) return true;
  UnixPath(folder);
  if (updateType == 0) {
    GetHighestSP(sp, folder.c_str());
    if (sp.GetMajor() >= 1) FindSPPathForOS(osId, sp, folder);
  }
  return GetUpdatesOnUnix(folder.c_str(), names);
}

bool KQUpdateCache::GetOSUpdatesInCacheNew(int relId, int osId, int updateType, CacheProp prop,
                                           _SPVersion& sp, std::vector<std::string>* names) {
  std::string folder = prop.cacheRoot;
  if (!FindNewPathForOS(relId, osId, updateType, folder)) return true;
  UnixPath(folder);
  if (updateType != 0) return GetUpdatesOnUnix(folder.c_str(), names);
  GetHighestSP(sp, folder.c_str());
  if (m_releaseBuild) SetReleaseVersionBuildFromReleaseId(sp, relId);
  if (sp.GetMajor() > 0 && FindNewSPPathForOS(osId, sp, folder))
    GetSPUpdatesNew((folder + "/Config").c_str(), names);
  return true;
}

bool KQUpdateCache::ScanReleases(CacheProp& prop, UpdatesAtCache* inv, bool newLayout) {
  SetOSTypesInfo();
  KqCriticalSectionLock lock(getHNReleaseInfoHN());
  for (int r = 0; r < KQ_NUM_RELEASES_SUPPORTED; ++r) {
    const int id = ReleasesSupported[r].id;
    // An unfilled row (id 0) has no folder of its own to scan.
    if (id <= 0 || (newLayout ? id != 15 : id >= 15)) continue;
    UpdatesForRelease& entry = inv->releases[r];
    entry.relId = id;
    const int osCount = GetNumOSForRelease(id);
    for (int o = 0; o < osCount; ++o) {
      const int osId = OSTypesInfo[o].id;
      if (osId == 0 || osId == 5) continue;
      UpdatesForOS& slot = entry.osUpdates[o];
      slot.osId = osId;
      for (const QU_UpdateType& type : UpdateTypesInfo) {
        std::vector<std::string> names;
        _SPVersion sp;
        const bool listed =
            newLayout ? GetOSUpdatesInCacheNew(id, osId, type.id, prop, sp, &names)
                      : GetOSUpdatesAtCache(id, osId, type.id, prop, sp, &names);
        if (!listed && newLayout) return false;
        if (type.id != 0) {
          slot.additionalUpdates.assign(names.begin(), names.end());
        } else if (!names.empty()) {
          slot.spVersion = sp;
          slot.spUpdates.assign(names.begin(), names.end());
        }
      }
    }
  }
  return true;
}

bool KQUpdateCache::GetAllUpadtesFromCache(CacheProp prop, UpdatesAtCache* inv, bool) {
  if (inv == nullptr) return true;
  InitCacheInfo(inv);
  if (!VocabularyReady(kVocabReleases | kVocabUpdateTypes, "[GetAllUpadtesFromCache]")) return false;
  ScanReleases(prop, inv, false);
  return true;
}

bool KQUpdateCache::GetAllUpdatesInCacheNew(CacheProp prop, UpdatesAtCache* inv) {
  if (inv == nullptr) return false;
  if (!VocabularyReady(kVocabReleases | kVocabUpdateTypes, "[GetAllUpdatesInCacheNew]")) return false;
  return ScanReleases(prop, inv, true);
}

void KQUpdateCache::InitCacheInfo(UpdatesAtCache* inv) {
  if (inv == nullptr) return;
  for (UpdatesForRelease& entry : inv->releases) {
    entry.relId = 0;
    entry.needOsForVersion.clear();
    for (UpdatesForOS& slot : entry.osUpdates) {
      slot.osId = 0;
      slot.spVersion.SetMajor(-1);
      slot.valid = true;
      slot.additionalUpdates.clear();
      slot.spUpdates.clear();
      slot.iniInfos.clear();
    }
  }
}

void KQUpdateCache::PrintCacheInfo(UpdatesAtCache* inv) {
  if (inv == nullptr) return;
  auto osName = [](int id) {
    const char* name = GetOSNameFromId(id);
    return name != nullptr ? name : "";
  };
  for (UpdatesForRelease& entry : inv->releases) {
    const int relId = entry.relId;
    if (relId == 0) continue;
    m_event.DebugJob(10, kPrintTag, m_jobId, "Rel : %d [%s]", relId,
                     GetRelNameFromId(relId).c_str());
    for (int os : entry.needOsForVersion)
      m_event.DebugJob(10, kPrintTag, m_jobId, "  NeedOsForVersion : [%d]", os);
    const int osCount = GetNumOSForRelease(relId);
    for (int o = 0; o < osCount; ++o) {
      const UpdatesForOS& slot = entry.osUpdates[o];
      const std::string version = slot.spVersion.ToStr(false);
      if (!slot.valid)
        m_event.DebugJob(10, kPrintTag, m_jobId, "\t\tSP%s is corrupt for OS: %d [%s]",
                         version.c_str(), o, osName(o));
      if (!SlotRecordsSomething(relId, slot)) continue;
      m_event.DebugJob(1, kPrintTag, m_jobId, "OS : [%s]  SP Number: [%s]", osName(slot.osId),
                       version.c_str());
      for (const std::string& name : slot.spUpdates)
        m_event.DebugJob(1, kPrintTag, m_jobId, "         spupdate : %s [SP%s]", name.c_str(),
                         version.c_str());
      m_event.DebugJob(1, kPrintTag, m_jobId, "Additional updates  :");
      for (const std::string& name : slot.additionalUpdates)
        m_event.DebugJob(1, kPrintTag, m_jobId, "         update   : %s", name.c_str());
      if (slot.iniInfos.empty()) continue;
      m_event.DebugJob(1, kPrintTag, m_jobId, "         updateINI  :");
      for (const INIInfoForPatch& info : slot.iniInfos) {
        m_event.DebugJob(1, kPrintTag, m_jobId, "\t\t\tPatchName: %s\tAliasName: %s",
                         info.patchName.c_str(), info.aliasName.c_str());
        m_event.DebugJob(1, kPrintTag, m_jobId, "\t\t\tObsoletes: %s\tRequires: %s",
                         info.obsoletes.c_str(), info.requires.c_str());
        m_event.DebugJob(1, kPrintTag, m_jobId, "\t\t\tPackages: %s\tRebootPackages: %s",
                         info.packages.c_str(), info.rebootPackages.c_str());
        m_event.DebugJob(1, kPrintTag, m_jobId, "\t\t\tSpaceReqd: %llu\n\t", info.spaceNeeded);
      }
    }
  }
}

bool KQUpdateCache::GetSpaceNeededAtCache(UpdatesAtCache inv, unsigned long long& space) {
  space = 0;
  for (const UpdatesForRelease& entry : inv.releases) {
    if (entry.relId == 0) continue;
    const int osCount = GetNumOSForRelease(entry.relId);
    for (int o = 0; o < osCount; ++o)
      for (const INIInfoForPatch& info : entry.osUpdates[o].iniInfos) space += info.spaceNeeded;
  }
  return true;
}

bool KQUpdateCache::IsCacheEmpty(UpdatesAtCache* inv) {
  if (inv == nullptr) return true;
  for (const UpdatesForRelease& entry : inv->releases) {
    if (entry.relId == 0) continue;
    const int osCount = GetNumOSForRelease(entry.relId);
    for (int o = 0; o < osCount; ++o)
      if (SlotRecordsSomething(entry.relId, entry.osUpdates[o])) return false;
  }
  return true;
}

bool KQUpdateCache::GetINIInfo(UpdatesAtCache* inv, std::string cacheRoot) {
  if (inv == nullptr) return true;
  for (int r = 0; r < KQ_NUM_RELEASES_SUPPORTED; ++r) {
    UpdatesForRelease& entry = inv->releases[r];
    const int rowId = GetRelIdFromIndex(r);
    if (entry.relId == 0 || rowId >= 15) continue;
    const int osCount = GetNumOSForRelease(rowId);
    for (int o = 0; o < osCount; ++o) {
      UpdatesForOS& slot = entry.osUpdates[o];
      if (slot.spUpdates.empty() && slot.additionalUpdates.empty()) continue;
      std::string spFolder = cacheRoot;
      if (!slot.spUpdates.empty() &&
          (!FindPathForOS(entry.relId, slot.osId, 0, spFolder) ||
           !FindSPPathForOS(slot.osId, slot.spVersion, spFolder)))
        spFolder.clear();
      std::string addFolder = cacheRoot;
      if (!FindPathForOS(entry.relId, slot.osId, 1, addFolder)) addFolder.clear();
      const struct {
        const std::list<std::string>* names;
        const std::string* folder;
        unsigned long long isSP;
      } kinds[2] = {{&slot.spUpdates, &spFolder, 1}, {&slot.additionalUpdates, &addFolder, 0}};
      for (const auto& kind : kinds) {
        if (kind.folder->empty()) continue;  // no folder for this OS: nothing can be read
        for (const std::string& name : *kind.names) {
          INIInfoForPatch info;
          info.patchName = name;
          info.isSPUpdate = kind.isSP;
          if (ReadUpdateINIFile(info, *kind.folder + "/" + name, true, false, std::string()))
            slot.iniInfos.push_back(std::move(info));
        }
      }
    }
  }
  return true;
}

bool KQUpdateCache::GetINIInfoNew(UpdatesAtCache* inv, std::string cacheRoot,
                                  KQInstallCommonUtils::IFolderStruct* folders) {
  static const char kTag[] = "[GetINIInfoNew]";
  if (inv == nullptr) return true;
  const bool reducedAllowed = IsReducedSPAllowedInCache();
  for (int r = 0; r < KQ_NUM_RELEASES_SUPPORTED; ++r) {
    UpdatesForRelease& entry = inv->releases[r];
    const int rowId = GetRelIdFromIndex(r);
    if (entry.relId == 0 || rowId != 15) continue;
    const int relId = entry.relId;
    const int osCount = GetNumOSForRelease(15);
    for (int o = 0; o < osCount; ++o) {
      UpdatesForOS& slot = entry.osUpdates[o];
      m_event.DebugJob(8, kTag, m_jobId, "Start to find update.ini for Rel Id [%d], OS Id [%d]",
                       rowId, o);
      if (slot.spUpdates.empty() && slot.additionalUpdates.empty()) {
        m_event.DebugJob(8, kTag, m_jobId,
                         "Both AddUpdates and SPUpdates are emtpy for Rel Id [%d], OS Id [%d], "
                         "continuing",
                         rowId, o);
        continue;
      }
      if (!slot.spUpdates.empty()) {
        std::string folder = cacheRoot;
        const bool haveFolder = FindNewPathForOS(relId, slot.osId, 0, folder) &&
                                FindNewSPPathForOS(slot.osId, slot.spVersion, folder);
        folder += "/UpdateINI";
        m_event.DebugJob(8, kTag, m_jobId, "Update ini search path is [%s]", folder.c_str());
        for (const std::string& name : slot.spUpdates) {
          INIInfoForPatch info;
          info.patchName = name;
          info.isSPUpdate = 1;
          if (haveFolder && ReadNewUpdateINIFile(info, folder)) {
            m_event.DebugJob(8, kTag, m_jobId,
                             "Adding SP patchinfo with patchName [%s], aliasName [%s], pkgList [%s]",
                             info.patchName.c_str(), info.aliasName.c_str(), info.packages.c_str());
            slot.iniInfos.push_back(std::move(info));
          } else if (!reducedAllowed) {
            m_event.DebugJob(1, kTag, m_jobId,
                             "Reading SP update.ini files for release [%d] and os type [%d] "
                             "returned error",
                             relId, o);
            return false;
          }
        }
      }
      if (slot.additionalUpdates.empty()) continue;
      std::string folder;
      if (!AdditionalUpdatesFolder(relId, slot, cacheRoot, folders, folder)) {
        m_event.DebugJob(1, kTag, m_jobId,
                         "Reading additional update.ini files for release [%d] and os type [%d] "
                         "returned error",
                         r, o);
        return false;
      }
      for (const std::string& name : slot.additionalUpdates) {
        const std::string updateFolder = folder + "/" + name;
        m_event.DebugJob(8, kTag, m_jobId, "Ini search path is set to [%s]", updateFolder.c_str());
        INIInfoForPatch info;
        info.patchName = name;
        info.isSPUpdate = 0;
        if (!ReadUpdateINIFile(info, updateFolder, true, false, std::string())) {
          m_event.DebugJob(1, kTag, m_jobId,
                           "Reading additional update.ini files for release [%d] and os type "
                           "[%d] returned error",
                           r, o);
          return false;
        }
        m_event.DebugJob(8, kTag, m_jobId,
                         "Adding patchinfo with patchName [%s], aliasName [%s], pkgList [%s]",
                         info.patchName.c_str(), info.aliasName.c_str(), info.packages.c_str());
        slot.iniInfos.push_back(std::move(info));
      }
    }
  }
  return true;
}

bool KQUpdateCache::AdditionalUpdatesFolder(int relId, const UpdatesForOS& slot,
                                            const std::string& cacheRoot,
                                            KQInstallCommonUtils::IFolderStruct* folders,
                                            std::string& folder) {
  folder = cacheRoot;
  if (relId <= 14) return FindPathForOS(relId, slot.osId, 1, folder);
  if (relId == 15) return FindNewPathForOS(relId, slot.osId, 1, folder);
  if (folders != nullptr) {
    const char* osName = GetOSNameFromId(slot.osId);
    if (osName == nullptr) return false;
    folder = LooseUpdatesPathFromReader(folders, osName, FullVersion(slot.spVersion));
    m_event.DebugJob(8, "[GetINIInfoNew]", m_jobId, "Updates path is [%s]", folder.c_str());
    return !folder.empty();
  }
  const std::string loose = GetLooseUpdateFolder(relId, slot.osId, false, false);
  if (loose.empty()) return false;
  folder += "/" + loose + "/Updates";
  return true;
}
