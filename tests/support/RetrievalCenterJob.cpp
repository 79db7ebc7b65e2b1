#include "RetrievalCenterJob.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <iterator>

#include "InstallUtils/IFolderStruct.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/SafePath.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/IPatchDataManager.h"
#include "nPatchDownload/IPatchEvent.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace kqtest {

using namespace nPatchDownload;

namespace {

const unsigned int kFetchFailedError = 0x44000046;

UpdatePatches::BinaryV11 FileRecord(const CenterFile& f) {
  UpdatePatches::BinaryV11 b;
  b.setstring(UpdatePatches::BinaryV11::kRelativePath, f.path);
  b.setstring(UpdatePatches::BinaryV11::kFileName, f.path.substr(f.path.rfind('/') + 1));
  b.setstring(UpdatePatches::BinaryV11::kChecksum, std::to_string(f.crc));
  return b;
}

// True when the file at path has the manifest's size and CRC (the CRC through the library).
bool MatchesManifest(const std::string& path, const CenterFile& f, IPatchEvent& event) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) != f.size) return false;
  unsigned long crc = 0;
  if (CPatchInstallCommon::CalculateCRC(true, path, crc, event) != 0) return false;
  return static_cast<uint32_t>(crc) == f.crc;
}

// MatchesManifest for the entry `name` of an open folder (not open: the folder is missing).
bool MatchesManifestAt(const CPxFolderHandle& folder, const std::string& name,
                       const CenterFile& f, IPatchEvent& event) {
  struct stat st;
  if (!folder.IsOpen() ||
      fstatat(folder.nativeHandle(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return false;
  if (static_cast<uint64_t>(st.st_size) != f.size) return false;
  unsigned long crc = 0;
  if (CPatchInstallCommon::CalculateCRCAt(true, folder, name, crc, event) != 0) return false;
  return static_cast<uint32_t>(crc) == f.crc;
}

void RaiseFetchError(IPatchEvent& event, const std::string& remote, const std::string& local) {
  if (event.IsSpecificErrorSet()) return;
  std::queue<tErrorDetails> details;
  details.push(tErrorDetails(tErrorDetails::eString, &remote));
  details.push(tErrorDetails(tErrorDetails::eString, &local));
  event.SetSpecificError(static_cast<int>(kFetchFailedError), KQJobStatus(2), &details);
}

}  // namespace

CenterComponentsRetrieval::CenterComponentsRetrieval(CenterRetrievalJob& job, int type,
                                                     int featureRelease,
                                                     std::set<tRetrievalSide> sides,
                                                     KQInstallCommonUtils::IFolderStruct* localFolders)
    : job_(job), type_(type), fr_(featureRelease), sides_(std::move(sides)),
      localFolders_(localFolders) {}

CenterComponentsRetrieval::~CenterComponentsRetrieval() {
  KQInstallCommonUtils::DestroyFolderStructReader(localFolders_);
}

unsigned int CenterComponentsRetrieval::CheckFile(const tRetrievalSide& side,
                                                  tGuarded<tFileList> pending,
                                                  tGuarded<tFileList> processed,
                                                  tFileList& computed,
                                                  tGuarded<unsigned long long> freeSpaceKB,
                                                  bool& reDownloadExisting,
                                                  tGuarded<std::set<std::string>> sharedFileNames,
                                                  tRetrievalEntry& entry) {
  job_.Count(kCenterCheckFile, type_);
  if (job_.m_jobObject.IsInterrupted()) return KQ_PATCH_E_INTERRUPTED;
  if (const unsigned int injected = job_.Fault(kCenterCheckFile, type_, side)) return injected;
  reDownloadExisting = false;
  // The files go to the pool in batches of a few, so that a task's set-up and hand-over are
  // not paid per small file; a batch ends at kBatchFiles files or kBatchBytes bytes.
  constexpr size_t kBatchFiles = 32;
  constexpr uint64_t kBatchBytes = uint64_t{2} << 20;
  tRetrievalEntry* target = &entry;
  std::vector<const CenterFile*> batch;
  uint64_t batchBytes = 0;
  auto queue = [&]() -> unsigned int {
    if (batch.empty()) return 0;
    std::vector<const CenterFile*> files;
    files.swap(batch);
    batchBytes = 0;
    return job_.m_checkFilePool.QueueWork([this, files, pending, processed, freeSpaceKB,
                                           sharedFileNames, target] {
      tFileList checked;
      checked.reserve(files.size());
      // A batch's files mostly share a folder: each folder is opened once, its files relative
      // to it.
      CPxFolderHandle folder;
      std::string folderName;
      for (size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i]->path;
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
        if (i == 0 || dir != folderName) {
          folderName = dir;
          folder.Close();
          folder.Open(dir.empty() ? job_.cacheRoot() : job_.cacheRoot() + "/" + dir);
        }
        CheckOne(*files[i], folder, path.substr(slash + 1), pending, freeSpaceKB,
                 sharedFileNames, *target);
        checked.push_back(FileRecord(*files[i]));
      }
      std::lock_guard<std::mutex> lock(*processed.first);
      processed.second->insert(processed.second->end(), std::make_move_iterator(checked.begin()),
                               std::make_move_iterator(checked.end()));
    });
  };
  for (const CenterFile* file : job_.center().Of(type_, side.osId, fr_)) {
    computed.push_back(FileRecord(*file));
    batch.push_back(file);
    batchBytes += file->size;
    if (batch.size() >= kBatchFiles || batchBytes >= kBatchBytes) {
      if (const unsigned int queued = queue()) return queued;
    }
  }
  return queue();
}

void CenterComponentsRetrieval::CheckOne(const CenterFile& file, const CPxFolderHandle& folder,
                                         const std::string& name, tGuarded<tFileList> pending,
                                         tGuarded<unsigned long long> freeSpaceKB,
                                         tGuarded<std::set<std::string>> sharedFileNames,
                                         tRetrievalEntry& entry) {
  if (MatchesManifestAt(folder, name, file, job_.m_event)) return;
  const unsigned long long needKB = (file.size + 1023) / 1024;
  bool room = true;
  {
    std::lock_guard<std::mutex> lock(*freeSpaceKB.first);
    if (*freeSpaceKB.second < needKB) {
      room = false;
    } else {
      *freeSpaceKB.second -= needKB;
    }
  }
  {
    std::lock_guard<std::mutex> lock(*pending.first);
    if (room) {
      pending.second->push_back(FileRecord(file));
    } else {
      entry.status = KQ_PATCH_E_DISK_SPACE;
    }
  }
  std::lock_guard<std::mutex> lock(*sharedFileNames.first);
  sharedFileNames.second->insert(file.path);
}

bool CenterComponentsRetrieval::FetchOne(const tRetrievalSide& side, const CenterFile& file,
                                         const std::string& copyFolder, bool isCopy) {
  IPatchEvent& event = job_.m_event;
  const std::string temp = copyFolder + "/" + file.path;
  unsigned int rc = job_.Fault(kCenterFetch, type_, side);
  if (rc == 0) rc = job_.m_mediaAccess.GetFile(file.path, temp, isCopy ? 1 : 0);
  std::string err;
  if (rc != 0) {
    event.Debug("CenterComponentsRetrieval", "Failed to fetch [%s] with error [0x%x]",
                file.path.c_str(), rc);
    kq::RemoveUnder(copyFolder, file.path, &err);
    RaiseFetchError(event, file.path, temp);
    return false;
  }
  if (!MatchesManifest(temp, file, event)) {
    event.Debug("CenterComponentsRetrieval", "Fetched file [%s] differs from its record, deleting it",
                file.path.c_str());
    kq::RemoveUnder(copyFolder, file.path, &err);
    RaiseFetchError(event, file.path, temp);
    return false;
  }
  const std::string target = job_.cacheRoot() + "/" + file.path;
  CPatchInstallCommon::CreateDirectories(target.substr(0, target.rfind('/')));
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    // Another file system: copy, then drop the temporary file.
    const bool copied = errno == EXDEV && CPatchInstallCommon::CopySingleFile(temp, target) == 0;
    kq::RemoveUnder(copyFolder, file.path, &err);
    if (!copied) {
      event.Debug("CenterComponentsRetrieval", "Cannot move [%s] into the cache", temp.c_str());
      return false;
    }
  }
  return true;
}

unsigned int CenterComponentsRetrieval::GetFile(const tRetrievalSide& side, const std::string&,
                                                unsigned long long, const tFileList& pending,
                                                tGuarded<tFileList> retrieved,
                                                tGuarded<unsigned long long> filesCount,
                                                tGuarded<unsigned long long> bytesTotal,
                                                tRetrievalEntries&, tRetrievalEntries&,
                                                tRetrievalEntry&, bool isCopy) {
  job_.Count(kCenterGetFile, type_);
  if (const unsigned int injected = job_.Fault(kCenterGetFile, type_, side)) return injected;
  std::string copyFolder;
  EvDebug* log = job_.m_event.GetEvDebug();
  if (log == nullptr) return KQ_PATCH_E_INVALID_INPUT;
  const unsigned int made =
      CPatchInstallCommon::CreateTempFolder("CopySoftware", copyFolder, *log, false);
  if (made != 0) return made;
  for (const UpdatePatches::BinaryV11& record : pending) {
    const CenterFile* file =
        job_.center().Find(record.getstring(UpdatePatches::BinaryV11::kRelativePath));
    if (file == nullptr) continue;  // not the center's: never arrives
    const unsigned int queued = job_.m_getFilePool.QueueWork([this, side, file, copyFolder,
                                                              isCopy, record, retrieved,
                                                              filesCount, bytesTotal] {
      if (job_.m_jobObject.IsInterrupted()) return;
      if (!FetchOne(side, *file, copyFolder, isCopy)) return;
      {
        std::lock_guard<std::mutex> lock(*retrieved.first);
        retrieved.second->push_back(record);
      }
      {
        std::lock_guard<std::mutex> lock(*filesCount.first);
        ++*filesCount.second;
      }
      {
        std::lock_guard<std::mutex> lock(*bytesTotal.first);
        *bytesTotal.second += file->size;
      }
      job_.Arrived(file->path);
    });
    if (queued != 0) return queued;
  }
  return 0;
}

unsigned int CenterComponentsRetrieval::GetSeedFiles(IMediaAccess& media, std::string& first,
                                                     std::string& second) {
  job_.Count(kCenterSeedFiles, type_);
  if (!sides_.empty()) {
    if (const unsigned int injected = job_.Fault(kCenterSeedFiles, type_, *sides_.begin()))
      return injected;
  }
  if (fr_ < 0) return 0;
  const std::string remote = job_.center().MediaFolder(static_cast<size_t>(fr_)) + "/UpdatesInfo.xml";
  first = job_.cacheRoot() + "/" + remote;
  second = remote;
  return IComponentsRetrieval::GetDVDInfoFile(media, remote, first, job_.m_event);
}

unsigned int CenterComponentsRetrieval::GetInstallerFiles(const std::string&, IMediaAccess&,
                                                          int osId) {
  job_.Count(kCenterInstallerFiles, type_);
  for (const tRetrievalSide& side : sides_)
    if (side.osId == osId) return job_.Fault(kCenterInstallerFiles, type_, side);
  return 0;
}

unsigned int CenterComponentsRetrieval::PostGetFileOperation(const tRetrievalSide& side,
                                                             tRetrievalEntries&) {
  job_.Count(kCenterPostGetFile, type_);
  return job_.Fault(kCenterPostGetFile, type_, side);
}

unsigned int CenterComponentsRetrieval::DoRootFilesPatching(const tRetrievalSide& side) {
  job_.Count(kCenterRootFiles, type_);
  return job_.Fault(kCenterRootFiles, type_, side);
}

void CenterComponentsRetrieval::AdjustSucceededUpdatesForCopy(tSideFolderMap&) {
  job_.Count("AdjustSucceededUpdatesForCopy", type_);
}

CenterRetrievalJob::CenterRetrievalJob(const RetrievalCenter& center, const std::string& cacheRoot,
                                       IPatchJobObject& jobObject, IPatchEvent& event,
                                       IPatchDataManager& dataManager, CPolicyProvider& policy,
                                       IFilesDependencyBuilder& dependencyBuilder,
                                       IPatchThreadPool& checkFilePool,
                                       IPatchThreadPool& getFilePool, IMediaAccess& mediaAccess)
    : CSoftwareRetrieval(jobObject, event, dataManager, policy, dependencyBuilder, checkFilePool,
                         getFilePool, mediaAccess),
      center_(center),
      cacheRoot_(cacheRoot) {
  m_localCacheRoot = cacheRoot;
  m_localMediaRoot = cacheRoot + "/KQMedia/" + std::to_string(center.release) + ".0.0";
  m_localCacheTemplate = KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1);
  const std::set<int> oses = {kCenterWindowsOs, kCenterUnixOs};
  for (size_t fr = 0; fr < center.featureReleases.size(); ++fr) {
    generateSupportedMap(center.Version(fr), {}, oses, packages);
    generateSupportedMap(center.Version(fr), {}, oses, updates);
    if (center.featureReleases[fr].cu != 0)
      generateSupportedMap(center.Version(fr), {}, oses, maintenanceReleases);
  }
  for (const CenterFile& f : center.files)
    if (f.repodata) repodataNames.insert(f.path);
}

unsigned int CenterRetrievalJob::Fault(const char* op, int type, const tRetrievalSide& side) {
  return fault ? fault(op, type, side) : 0;
}

void CenterRetrievalJob::Count(const char* op, int type) {
  std::lock_guard<std::mutex> lock(lock_);
  ++calls_[std::string(op) + "/" + std::to_string(type)];
}

void CenterRetrievalJob::Arrived(const std::string& path) {
  std::lock_guard<std::mutex> lock(lock_);
  fetched_.push_back(path);
  if (stopAfterFiles != 0 && fetched_.size() >= stopAfterFiles && stoppable != nullptr)
    stoppable->RequestStop();
}

std::map<std::string, int> CenterRetrievalJob::Calls() const {
  std::lock_guard<std::mutex> lock(lock_);
  return calls_;
}

std::vector<std::string> CenterRetrievalJob::Fetched() const {
  std::lock_guard<std::mutex> lock(lock_);
  return fetched_;
}

unsigned int CenterRetrievalJob::CreateComponentsRetrievals(int type, tSupportedSidesMap& sides) {
  tComponentsRetrievalMap& map = getSupportedRetrievals(type);
  for (const auto& v : sides) {
    tFolderStructParam params;
    IComponentsRetrieval::fillInFolderStructParams(params, v.first, m_localCacheTemplate,
                                                   cacheRoot_, "/");
    KQInstallCommonUtils::IFolderStruct* folders = nullptr;
    const unsigned int rc = IComponentsRetrieval::ConstructFolderStructObjects(params, folders, m_event);
    if (rc != 0 || folders == nullptr) return rc != 0 ? rc : KQ_PATCH_E_NOT_BUILT;
    map[v.first] = std::make_shared<CenterComponentsRetrieval>(
        *this, type, center_.FeatureReleaseOf(v.first), v.second, folders);
  }
  return 0;
}

unsigned int CenterRetrievalJob::GetSupportedSides(tSupportedSidesMap& p, tSupportedSidesMap& u,
                                                   tSupportedSidesMap& m) {
  p = packages;
  u = updates;
  m = maintenanceReleases;
  return supportedSidesResult;
}

unsigned int CenterRetrievalJob::LoadUnixApplianceFilesInfo(tKQApplainceFilesInfo& files) {
  const bool platformInfo = m_policy.GetCandidateVersion().Get(FullVersion::kSPMajor) > 22;
  const std::string path = m_localCacheRoot + "/KQAppliance/" +
                           (platformInfo ? "PlatformInfo_Unix.xml" : "KQApplianceConfig_Unix.xml");
  if (!CPatchInstallCommon::IsFileExisted(path)) return 0;
  std::string text;
  UpdatePatches::UnixKQApplianceOSPatches config;
  if (CPatchInstallCommon::ReadWholeFile(path, text) != 0 ||
      XMLDecoder::unSerialize(config, text, nullptr) != 0) {
    m_event.Debug("LoadUnixApplianceFilesInfo", "Cannot read Unix appliance configuration [%s]",
                  path.c_str());
    return KQ_PATCH_E_INVALID_INPUT;
  }
  using UpdatePatches::KQApplianceUnixOSInfo;
  const CNMessageBase& root = config;
  for (const CNMessageBase& os : *root.getlistobject(UpdatePatches::UnixKQApplianceOSPatches::kOSList)) {
    tRetrievalEntry& entry = files[os.getstring(KQApplianceUnixOSInfo::kName)];
    if (!os.isSet(KQApplianceUnixOSInfo::kBinaries)) continue;
    for (const CNMessageBase& binary : *os.getlistobject(KQApplianceUnixOSInfo::kBinaries)) {
      UpdatePatches::BinaryV11 b;
      b.setstring(UpdatePatches::BinaryV11::kChecksum,
                  binary.getstring(UpdatePatches::BinaryV11::kChecksum));
      b.setstring(UpdatePatches::BinaryV11::kRelativePath,
                  "KQAppliance/" + binary.getstring(UpdatePatches::BinaryV11::kRelativePath));
      entry.retrieved.push_back(b);
    }
  }
  return 0;
}

CenterJobResult RunCenterJob(CenterRetrievalJob& job) {
  CenterJobResult r;
  auto note = [&r](unsigned int& phase, unsigned int code) {
    phase = code;
    if (r.code == 0) r.code = code;
    return code;
  };
  if (note(r.initialize, job.Initialize()) != 0) return r;
  note(r.unixConfig, job.DownloadUnixApplianceConfigFiles(r.platformInfoUsed));
  note(r.repodata, job.downloadAllRepodataFiles(job.repodataNames));
  if (note(r.pending, job.CalculatePendingIncrementalFiles(r.packages, r.maintenanceReleases,
                                                           r.updates, r.unused, r.appliance)) != 0)
    return r;
  note(r.getFile, job.GetIncrementalFile(r.packages, r.maintenanceReleases, r.updates, r.unused,
                                         r.appliance));
  note(r.result, job.GetRetrievalResult(r.packages, r.maintenanceReleases, r.updates,
                                        r.succeededPackages, r.failedPackages, r.succeededPacks,
                                        r.failedPacks, r.succeededUpdates, r.failedUpdates,
                                        r.failedApplianceOSes));
  note(r.rootFiles, job.DoRootFilesPatching(r.succeededPackages, r.succeededPacks,
                                            r.succeededUpdates, r.failedPackages, r.failedPacks,
                                            r.failedUpdates));
  job.AppendSidesToRemove(r.succeededPackages, r.failedPackages, r.succeededPacks, r.failedPacks,
                          r.succeededUpdates, r.failedUpdates);
  if (r.getFile == 0) note(r.commit, job.CommitAppliancePatches());
  r.files = job.GetNumFilesDownloaded();
  r.bytes = job.GetTotalBytesDownloaded();
  return r;
}

}  // namespace kqtest
