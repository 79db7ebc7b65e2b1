// The retrieval job frame: construction, initialisation, pools, progress, small services and
// destruction.
#include "nPatchDownload/CSoftwareRetrieval.h"

#include <queue>
#include <system_error>

#include "Configuration/KQPlatformInfo.h"
#include "InstallUtils/IFolderStruct.h"
#include "MediaAccess/IMediaAccess.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace nPatchDownload {

namespace {

const KQJobStatus kJobFailed = static_cast<KQJobStatus>(2);

// Reads a counter under its mutex; a lock that throws is logged and gives 0.
unsigned long long ReadGuarded(std::mutex& lock, const unsigned long long& value,
                               IPatchEvent& event, const char* function, const char* what) {
  try {
    std::lock_guard<std::mutex> guard(lock);
    return value;
  } catch (const std::system_error& e) {
    event.Debug(function,
                "Exception [%d:%s] caught when trying to acquire the lock for %s downloaded files "
                "count",
                e.code().value(), e.what(), what);
    return 0;
  }
}

// "<version style 6>:<OS name>," for every side of the map.
std::string SidesText(const tSideFolderMap& sides) {
  std::string text;
  for (const auto& s : sides) {
    text += s.first.mediaVersion.formatted_str(FullVersion::kFormatFull);
    text += ":";
    text += CPatchInstallCommon::GetUpdateOSNameFromID(static_cast<unsigned int>(s.first.osId),
                                                      false);
    text += ",";
  }
  return text;
}

// The folder without trailing "/", or "" for nothing or the root.
std::string TrimmedFolder(const std::string& folder) {
  std::string f = folder;
  while (f.size() > 1 && f.back() == '/') f.pop_back();
  return f == "/" ? std::string() : f;
}

}  // namespace

const char* getComponentsType(int type) {
  switch (type) {
    case ePackages: return "Packages";
    case eUpdates: return "Updates";
    case eCumulativeUpdatePacks: return "CumulativeUpdatePacks";
    case eAppliancePatches: return "Appliance Patches";
    default: return "Unsupported";
  }
}

CSoftwareRetrieval::CSoftwareRetrieval(IPatchJobObject& jobObject, IPatchEvent& event,
                                       IPatchDataManager& dataManager, CPolicyProvider& policy,
                                       IFilesDependencyBuilder& dependencyBuilder,
                                       IPatchThreadPool& checkFilePool,
                                       IPatchThreadPool& getFilePool, IMediaAccess& mediaAccess)
    : m_jobObject(jobObject),
      m_event(event),
      m_dataManager(dataManager),
      m_policy(policy),
      m_dependencyBuilder(dependencyBuilder),
      m_checkFilePool(checkFilePool),
      m_getFilePool(getFilePool),
      m_mediaAccess(mediaAccess) {}

CSoftwareRetrieval::~CSoftwareRetrieval() {
  std::set<KQInstallCommonUtils::IFolderStruct*> owned;
  for (const tSideFolderMap* map : {&m_mediaToKeep, &m_oldMediaToRemove, &m_failedApplianceSides})
    for (const auto& entry : *map)
      if (entry.second != nullptr) owned.insert(entry.second);
  for (KQInstallCommonUtils::IFolderStruct* reader : owned)
    KQInstallCommonUtils::DestroyFolderStructReader(reader);
  DeleteQueuedFolders();
  std::string error;
  if (!m_copyTemp.Remove(&error))
    m_event.Debug("~CSoftwareRetrieval", "Cannot delete folder [%s]: %s", m_copyTempFolder.c_str(),
                  error.c_str());
}

void CSoftwareRetrieval::DeleteQueuedFolders() {
  static const char kFn[] = "~CSoftwareRetrieval";
  // The folders a job may remove lie strictly inside one of these.
  std::vector<std::string> bases = {TrimmedFolder(m_mediaAccess.GetMediaConfiguration().GetLocalCache()),
                                    TrimmedFolder(m_localMediaRoot)};
  std::string installBase;
  if (KQPlatformInfo().getString("Base", "dHOME", installBase) && !installBase.empty())
    bases.push_back(TrimmedFolder(installBase) + "/Temp");
  for (const std::string& queued : m_foldersToDelete) {
    m_event.Debug(kFn, "Deleting folder [%s]", queued.c_str());
    const std::string folder = TrimmedFolder(queued);
    const std::string* base = nullptr;
    for (const std::string& b : bases) {
      if (b.empty() || b[0] != '/' || folder.size() <= b.size() + 1) continue;
      if (folder.compare(0, b.size(), b) == 0 && folder[b.size()] == '/' &&
          kq::IsSafeRelativeName(folder.substr(b.size() + 1))) {
        base = &b;
        break;
      }
    }
    if (base == nullptr) {
      m_event.Debug(kFn, "Folder [%s] is not inside the software cache or the temporary folder, "
                         "keeping it", queued.c_str());
      continue;
    }
    std::string error;
    if (!kq::RemoveUnder(*base, folder.substr(base->size() + 1), &error)) {
      m_event.Debug(kFn, "Cannot delete folder [%s]", queued.c_str());
      if (!error.empty()) m_event.Debug(kFn, "%s", error.c_str());
    } else {
      m_event.DebugLvl(kFn, 8, "Successfully deleted folder [%s]", queued.c_str());
    }
  }
}

unsigned int CSoftwareRetrieval::Initialize() {
  static const char kFn[] = "Initialize";
  unsigned int rc = m_mediaAccess.Open();
  if (rc != 0) {
    std::queue<tErrorDetails> details;
    if (m_policy.IsCopy()) {
      const std::string server = m_mediaAccess.GetMediaConfiguration().GetServerName();
      details.push(tErrorDetails(tErrorDetails::eString, &server));
      m_event.SetSpecificError(0x440001E0, kJobFailed, &details);
    } else {
      const std::string text = m_mediaAccess.GetLastErrorString();
      details.push(tErrorDetails(tErrorDetails::eString, &text));
      m_event.SetSpecificError(0x44000205, kJobFailed, &details);
    }
    m_event.Debug(kFn, "Failed to initialize media access with error code [%d]",
                  static_cast<int>(rc));
    return rc;
  }
  tSupportedSidesMap packages, updates, maintenanceReleases;
  rc = GetSupportedSides(packages, updates, maintenanceReleases);
  if (rc != 0) return rc;
  rc = initThreadPools();
  if (rc != 0) return rc;
  rc = CreateComponentsRetrievals(ePackages, packages);
  if (rc == 0) rc = CreateComponentsRetrievals(eCumulativeUpdatePacks, maintenanceReleases);
  if (rc == 0) rc = CreateComponentsRetrievals(eUpdates, updates);
  if (rc != 0) return rc;
  UpdatePatches::RegisterSubsystem();
  return KQ_PATCH_OK;
}

unsigned int CSoftwareRetrieval::initThreadPools() {
  static const char kFn[] = "initThreadPools";
  unsigned int rc = m_checkFilePool.Initialize(m_policy.GetCheckFileTPParams(), nullptr);
  if (rc != 0) {
    m_event.Debug(kFn, "Failed to initialize CheckFile thread pool with error code [%d]",
                  static_cast<int>(rc));
    return rc;
  }
  rc = m_getFilePool.Initialize(m_policy.GetGetFileTPParams(), &m_mediaAccess);
  if (rc != 0) {
    m_event.Debug(kFn, "Failed to initialize GetFile thread pool with error code [%d]",
                  static_cast<int>(rc));
    return rc;
  }
  m_poolsStarted = true;
  return KQ_PATCH_OK;
}

unsigned long long CSoftwareRetrieval::GetNumFilesDownloaded() {
  return ReadGuarded(m_filesCountLock, m_numFilesDownloaded, m_event, "GetNumFilesDownloaded",
                     "setting");
}

unsigned long long CSoftwareRetrieval::GetTotalBytesDownloaded() {
  return ReadGuarded(m_bytesLock, m_totalBytesDownloaded, m_event, "GetTotalBytesDownloaded",
                     "getting");
}

bool CSoftwareRetrieval::DeleteInstallerCacheReg() {
  static const char kFn[] = "DeleteInstallerCacheReg";
  static const char kSection[] = "SoftwareCache";
  static const char kValue[] = "sInstallerCachePath";
  if (!m_policy.GetUseInstallerCache()) {
    m_event.Debug(kFn, "not using installer cache, continuing.");
    return true;
  }
  KQPlatformInfo config;
  std::string path;
  if (!config.getString(kSection, kValue, path)) {
    m_event.Debug(kFn, "Unable to read from [%s\\%s], not using installer cache", kSection, kValue);
    return true;
  }
  if (!config.deleteValue(kSection, kValue)) {
    m_event.Debug(kFn, "Cannot delete registry key [%s\\%s]", kSection, kValue);
    return false;
  }
  m_event.Debug(kFn, "Successfully deleted registry key for installer cache.");
  return true;
}

void CSoftwareRetrieval::generateSupportedMap(const FullVersion& version,
                                              const std::map<int, std::set<int>>& ids,
                                              const std::set<int>& osIds,
                                              tSupportedSidesMap& out) {
  std::set<tRetrievalSide>& sides = out[version];
  for (int osId : osIds) {
    tRetrievalSide side;
    side.osId = osId;
    side.mediaVersion = version;
    auto found = ids.find(osId);
    if (found != ids.end()) side.ids = found->second;
    m_event.DebugLvl("generateSupportedMap", 10, "Adding [%s], OS Id [%d] into map",
                     version.formatted_str(FullVersion::kFormatSide).c_str(), osId);
    sides.insert(side);
  }
}

unsigned int CSoftwareRetrieval::generateSourceMapForDownload(const std::set<int>& osIds,
                                                              std::map<int, std::string>& out) {
  static const char kFn[] = "generateSourceMapForDownload";
  tFolderStructParam params;
  IComponentsRetrieval::fillInFolderStructParams(
      params, m_policy.GetCandidateVersion(), m_serverTemplate,
      m_mediaAccess.GetMediaConfiguration().GetServerName(), "/");
  KQInstallCommonUtils::IFolderStruct* folders = nullptr;
  const unsigned int rc = IComponentsRetrieval::ConstructFolderStructObjects(params, folders, m_event);
  if (rc != 0 || folders == nullptr) {
    m_event.Debug(kFn, "Failed to create folder struct object with error code [%d]",
                  static_cast<int>(rc));
    return rc != 0 ? rc : KQ_PATCH_E_NOT_BUILT;
  }
  const FullVersion zero{_SPVersion(0)};
  std::string roots[2];  // Windows, Unix
  const unsigned int rootOS[2] = {3, 16};
  for (int i = 0; i < 2; ++i) {
    roots[i] = folders->GetPath(KQInstallCommonUtils::eKindPlatformRoot,
                                CPatchInstallCommon::GetUpdateOSNameFromID(rootOS[i], false), zero,
                                KQInstallCommonUtils::eRelativeToMediaRoot);
    if (roots[i].empty()) {
      m_event.Debug(kFn, "Failed to get current server file root");
      KQInstallCommonUtils::DestroyFolderStructReader(folders);
      return KQ_PATCH_E_MEDIA_ROOT;
    }
  }
  for (int osId : osIds) out[osId] = CPatchInstallCommon::IsUnix(osId) ? roots[1] : roots[0];
  KQInstallCommonUtils::DestroyFolderStructReader(folders);
  return KQ_PATCH_OK;
}

void CSoftwareRetrieval::setSelectedUADetails(const std::list<unsigned long long>& ids, bool flag) {
  m_selectedUpdateIds = ids;
  m_selectedUpdatesFlag = flag;
}

void CSoftwareRetrieval::ShowResultInLogging(const tSideFolderMap& packages,
                                             const tSideFolderMap& maintenanceReleases,
                                             const tSideFolderMap& updates, bool add) {
  static const char kFn[] = "ShowResultInLogging";
  const char* verb = add ? "add" : "delete";
  m_event.Debug(kFn, "Packages to %s: [%s]", verb, SidesText(packages).c_str());
  m_event.Debug(kFn, "Maintenance Releases to %s: [%s]", verb,
                SidesText(maintenanceReleases).c_str());
  m_event.Debug(kFn, "Updates to %s: [%s]", verb, SidesText(updates).c_str());
}

tComponentsRetrievalMap& CSoftwareRetrieval::getSupportedRetrievals(int type) {
  if (type == eCumulativeUpdatePacks) return m_cuRetrievals;
  if (type == eUpdates) return m_updatesRetrievals;
  return m_packagesRetrievals;
}

}  // namespace nPatchDownload
