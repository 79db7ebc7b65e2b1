// The Hubnode's answer to a remote cache's synchronisation request: what the remote cache should
// hold, per release and operating system, in its additional-sync folder and among the
// appliance patches.
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "CacheFileListsAppliance.h"
#include "FileSystemUtils.h"
#include "InstallUtils/KQInstallCommonUtils.h"
#include "KQUpdateCache.h"
#include "StringUtils.h"  // UnixPath
#include "Vocabulary.h"

using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::PackageDesc;

namespace {

// The feature release a request's SPVersion names: major, no minor, and the two recut stamps.
_SPVersion RequestedFeatureRelease(const CNMessageBase& sp) {
  using UpdatePatches::SPVersion;
  return _SPVersion(static_cast<int>(sp.getint64(SPVersion::kMajor)), 0,
                    static_cast<int>(sp.getint64(SPVersion::kTransactionId)),
                    static_cast<int>(sp.getint64(SPVersion::kRevisionId)));
}

PackageDesc Package(int id) {
  PackageDesc d;
  d.setint64(PackageDesc::kPackageId, id);
  return d;
}

// True when the builder found files for the operating system: media from release 16 on, else
// any feature-release, installer or loose-update file.
bool HasFiles(int releaseId, const FilesForOS& os) {
  if (releaseId > 15) return !os.getlistobject(FilesForOS::kMediaFiles)->empty();
  return !os.getlistobject(FilesForOS::kSPFiles)->empty() ||
         !os.getlistobject(FilesForOS::kInstallerFiles)->empty() ||
         !os.getlistobject(FilesForOS::kLooseUpdateFiles)->empty();
}

}  // namespace

bool KQUpdateCache::GetCacheFilesFromXML(
    std::string cacheRoot, std::vector<FilesForRel>* request, _SPVersion* /*unused*/,
    std::vector<PackageDesc>* packages, std::vector<FilesForRel>* result,
    const std::string& remoteCacheName, std::string additionalSyncPath,
    UpdatePatches::AdditionalSyncFilesList* additionalSyncFiles, bool installUpdatesJob,
    std::string /*unused*/,
    std::map<UpdatePatches::KQApplianceMainOSType, UpdatePatches::ApplianceFilesInfo>*
        applianceFiles,
    UpdatePatches::KQApplianceOSInfoList* applianceOS, std::string updatePackLevel) {
  static const char* kTag = "[GetCacheFilesFromXML]";
  using UpdatePatches::KQApplianceOSInfoList;
  const bool wantsAppliance = applianceOS != nullptr &&
                              applianceOS->isSet(KQApplianceOSInfoList::kList) &&
                              !applianceOS->getlistobject(KQApplianceOSInfoList::kList)->empty();
  if (request == nullptr || packages == nullptr || result == nullptr ||
      (wantsAppliance && applianceFiles == nullptr)) {
    m_event.DebugJob(0, kTag, m_jobId,
                     "Invalid input: request, package list, result%s not given",
                     wantsAppliance ? " or appliance file map" : "");
    return false;
  }

  if (!VocabularyReady(kVocabReleases | kVocabOSTypes, kTag)) return false;
  UnixPath(cacheRoot);
  if (!IsADirectory(cacheRoot.c_str())) {
    m_event.DebugJob(0, kTag, m_jobId,
                     "Error: Local cache directory [%s] is not present. Please repopulate the cache",
                     cacheRoot.c_str());
    return false;
  }
  const int newestRelease = GetRelIdFromIndex(0);
  _SPVersion featureRelease;  // none yet; release 15 and below overwrite it with what they find
  FullVersion highestRequested{_SPVersion(-1)};

  for (const FilesForRel& asked : *request) {
    const int releaseId = static_cast<int>(asked.getint64(FilesForRel::kReleaseId));
    FilesForRel entry;
    entry.setint64(FilesForRel::kReleaseId, releaseId);

    if (releaseId == newestRelease) {
      m_event.DebugJob(2, kTag, m_jobId, "Checking if SPinfo is set");
      const CNMessageBase* sp = asked.getObjectAccessor(FilesForRel::kSPVersion);
      if (sp != nullptr) {
        m_event.DebugJob(2, kTag, m_jobId, "SPinfo is set");
        featureRelease = RequestedFeatureRelease(*sp);
        entry.setObjectAccessor(FilesForRel::kSPVersion, *sp);
        if (m_releaseBuild) {
          const std::string& folder = asked.getstringByRef(FilesForRel::kSPFolderName);
          m_event.DebugJob(2, kTag, m_jobId, "Added SP folder info [%s] into the release file list",
                           folder.c_str());
          entry.setstring(FilesForRel::kSPFolderName, folder);
        }
        const FullVersion requested(featureRelease);
        if (FullVersion::Compare(FullVersion::kCompareLevel, requested, highestRequested) > 0) {
          m_event.DebugJob(2, kTag, m_jobId, "Set highest FR to [%s]",
                           requested.formatted_str(FullVersion::kFormatMedia).c_str());
          highestRequested = requested;
        }
      } else {
        m_event.DebugJob(2, kTag, m_jobId, "SPinfo is not set");
      }
    }

    const std::vector<CNMessageBase>* systems = asked.getlistobject(FilesForRel::kOSList);
    if (systems->empty()) {
      result->push_back(entry);
      continue;
    }
    std::vector<CNMessageBase> kept;
    for (const CNMessageBase& os : *systems) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      const std::vector<int> ids = *os.getlistint(FilesForOS::kPackageIds);
      std::vector<PackageDesc> osPackages;
      if (!ids.empty()) {
        for (int id : ids) {
          packages->push_back(Package(id));
          osPackages.push_back(Package(id));
          m_event.DebugJob(10, kTag, m_jobId, "Adding Rel[%d], OsId[%d], package Id[%d] into the list",
                           releaseId, osId, id);
        }
      } else {
        osPackages = *packages;
        m_event.DebugJob(10, kTag, m_jobId, "Use remote client package of size [%zu]",
                         osPackages.size());
      }
      FilesForOS files(os);
      if (!GetCacheFilesFromXMLPerRelOS(cacheRoot, releaseId, osId, 0, &featureRelease,
                                        &osPackages, &files, installUpdatesJob, updatePackLevel)) {
        m_event.DebugJob(0, kTag, m_jobId,
                         "Failed to get cache files from xml for release id [%d] and os id [%d]",
                         releaseId, osId);
        return false;
      }
      m_event.DebugJob(2, kTag, m_jobId, "Rel[%d], OsId[%d] has [%zu] files in the list", releaseId,
                       osId, std::as_const(files).getlistobject(FilesForOS::kMediaFiles)->size());
      if (HasFiles(releaseId, files)) {
        files.setlistint(FilesForOS::kPackageIds, ids);
        kept.push_back(files);
      }
    }
    entry.setlistobject(FilesForRel::kOSList, kept);
    result->push_back(entry);
  }

  if (additionalSyncFiles != nullptr && !additionalSyncPath.empty()) {
    if (CalculateCheckSumForAdditionalSyncFiles(additionalSyncPath, *additionalSyncFiles)) {
      m_event.DebugJob(2, kTag, m_jobId,
                       "Successfully calculated file checksums from addtional sync path [%s]",
                       additionalSyncPath.c_str());
    } else {
      m_event.DebugJob(0, kTag, m_jobId,
                       "Failed to calculate file checksums from addtional sync path [%s]",
                       additionalSyncPath.c_str());
    }
  }

  if (!wantsAppliance) return true;
  std::string names;
  for (const CNMessageBase& os : *applianceOS->getlistobject(KQApplianceOSInfoList::kList))
    names += os.getstring(UpdatePatches::KQApplianceOSInfo::kName) + ",";
  while (!names.empty() && names.back() == ',') names.pop_back();
  m_event.DebugJob(1, kTag, m_jobId, "Getting appliance OS patche files for [%s]", names.c_str());
  const std::string folder = cacheRoot + "/KQAppliance";
  if (KQInstallCommonUtils::KQInstallAccess(folder, 0) != 0 || IsFolderEmpty(folder.c_str())) {
    m_event.DebugJob(1, kTag, m_jobId, "Appliance folder [%s] does not exists or is empty",
                     folder.c_str());
    return true;
  }
  std::map<UpdatePatches::KQApplianceMainOSType, std::vector<UpdatePatches::File>> byType;
  if (!ExtractAppliancePatchesFromCache(folder, *applianceOS, highestRequested, remoteCacheName,
                                        byType)) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to get the appliance OS patch files for [%s]",
                     names.c_str());
    return false;
  }
  m_event.DebugJob(2, kTag, m_jobId, "Successfully got the appliance OS patch files for [%s]",
                   names.c_str());
  for (const auto& [type, files] : byType) {
    const std::vector<CNMessageBase> list(files.begin(), files.end());
    (*applianceFiles)[type].setlistobject(UpdatePatches::ApplianceFilesInfo::kFiles, list);
  }
  return true;
}
