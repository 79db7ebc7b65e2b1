// Deleting cache contents on request: the remote cache removes what the Hubnode named, the
// additional-sync and appliance files, obsolete feature-release folders, and renames its
// update-pack folder after a maintenance-release download. Every folder and name of the request
// passes CacheDeletionGuard before anything is removed. The files named per release and
// operating system are deleted in UpdateCacheDeleteRequest.cpp, with the pieces of this file
// that UpdateCacheDeleteInternal.h declares.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <list>
#include <string>
#include <vector>

#include "CacheDeletionGuard.h"
#include "CachePaths.h"
#include "Configuration/KQPlatformInfo.h"
#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "UpdateCacheDeleteInternal.h"
#include "StringUtils.h"
#include "Vocabulary.h"

using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::BinaryV11;
using UpdatePatches::CacheOpReq;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

namespace {

const char kSection[] = "Tapewright";
const char kUpgradeValue[] = "sTallowmereUpgradeInProgress";
const char kSyncValue[] = "sSWCacheSyncInProgress";
const char kLastSyncValue[] = "nSWCacheLastSyncTime";
const char kApplianceWord[] = "KQAppliance";

}  // namespace

namespace kqdelete {

RemClientInfo RemoteInfo(const CacheOpReq& request) {
  const CNMessageBase* info = request.getObjectAccessor(CacheOpReq::kRemClientInfo);
  return info ? RemClientInfo(*info) : RemClientInfo();
}

std::vector<File> FilesOf(const CNMessageBase& message, const KqFieldId& field) {
  const std::vector<CNMessageBase>* list = message.getlistobject(field);
  return std::vector<File>(list->begin(), list->end());
}

std::vector<File> ObjectFiles(const CacheOpReq& request, const KqFieldId& object,
                              const KqFieldId& files) {
  const CNMessageBase* held = request.getObjectAccessor(object);
  return held ? FilesOf(*held, files) : std::vector<File>();
}

// Media files are deleted by their path relative to the media folder.
std::vector<File> MediaFilesAsFiles(const CNMessageBase& os) {
  std::vector<File> files;
  for (const CNMessageBase& entry : *os.getlistobject(FilesForOS::kMediaFiles)) {
    File file;
    file.setstring(File::kName, entry.getstring(BinaryV11::kRelativePath));
    file.setstring(File::kChecksum, entry.getstring(BinaryV11::kChecksum));
    files.push_back(file);
  }
  return files;
}

std::string Unix(std::string path) {
  UnixPath(path);
  return path;
}

std::string Below(const std::string& rel, const std::string& name) {
  return rel.empty() ? name : rel + "/" + name;
}

bool ReportPrune(EvDebug& log, unsigned long long job, bool ok,
                 const std::vector<std::string>& removed, const std::string& why) {
  static const char* const kTag = "[DeleteFolderIfEmpty]";
  for (const std::string& path : removed)
    log.DebugJob(1, kTag, job, "Deleted empty directory [%s]", path.c_str());
  if (!ok) log.DebugJob(0, kTag, job, "%s", why.c_str());
  return ok;
}

int OpenDeletionFolder(int rootFd, const std::string& root, const std::string& rel,
                       std::string& why) {
  why.clear();
  if (rootFd < 0) return -1;  // no root: nothing below it exists
  const int fd = kq::OpenFolderUnder(rootFd, rel);
  if (fd >= 0 || errno == ENOENT) return fd;
  const int e = errno;
  const std::string folder = Below(root, rel);
  if (e == ELOOP || e == ENOTDIR || e == EINVAL)
    why = "Folder [" + folder + "] has a link or not a folder on its way from [" + root + "]";
  else
    why = "Folder [" + folder + "] cannot be opened, errno [" + std::to_string(e) + "]";
  errno = e;
  return -1;
}

bool DeleteNamedFiles(EvDebug& log, unsigned long long job, int folderFd,
                      const std::string& folder, std::vector<File>* files,
                      std::vector<std::string>* removed) {
  static const char* const kTag = "[DeleteFilesFromVec]";
  if (!files || files->empty()) {
    log.DebugJob(1, kTag, job, "File vector to be deleted is empty");
    return true;
  }
  std::vector<std::string> failed;
  for (const File& file : *files) {
    const std::string name = Unix(file.getstring(File::kName));
    const std::string path = Unix(folder + "/" + name);
    std::string why;
    if (!CacheDeletionGuard::CheckDeletionFolder(folder, why) ||
        !CacheDeletionGuard::CheckDeletionName(name, why)) {
      log.DebugJob(0, kTag, job, "Refused to delete [%s] below [%s]: %s", name.c_str(),
                   folder.c_str(), why.c_str());
      failed.push_back(path);
      continue;
    }
    struct stat st;
    if (folderFd < 0 || fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;  // not there: nothing to do
    if (CacheDeletionGuard::RemoveNameUnderAt(folderFd, folder, name, why)) {
      log.DebugJob(1, kTag, job, "Deleted file [%s]", path.c_str());
      if (removed != nullptr) removed->push_back(name);
    } else {
      const int error = errno;
      log.DebugJob(1, kTag, job, "Failed to delete file [%s], Error code [%d]", path.c_str(),
                   error);
      if (error == EINVAL || error == ELOOP)
        log.DebugJob(0, kTag, job, "Refused to delete [%s]: %s", path.c_str(), why.c_str());
      failed.push_back(path);
    }
  }
  if (failed.empty()) return true;
  log.DebugJob(0, kTag, job, "Failed to Delete following files from Local Cache: ");
  for (const std::string& path : failed) log.DebugJob(0, kTag, job, "%s", path.c_str());
  std::string why;
  std::vector<std::string> pruned;
  const bool ok = CacheDeletionGuard::RemoveEmptySubFoldersAt(folderFd, folder, why, &pruned);
  if (!ReportPrune(log, job, ok, pruned, why))
    log.DebugJob(1, kTag, job, "Failed to delete empty folders recursively from [%s]",
                 folder.c_str());
  return false;
}

}  // namespace kqdelete

using kqdelete::FilesOf;
using kqdelete::ObjectFiles;
using kqdelete::RemoteInfo;
using kqdelete::Unix;

bool KQUpdateCache::DeleteFilesFromVec(std::string folder, std::vector<File>* files) {
  UnixPath(folder);
  std::string why;
  kq::ScopedFd held;
  if (files && !files->empty() && CacheDeletionGuard::CheckDeletionFolder(folder, why)) {
    // The folder itself may be reached through links; nothing below it is followed.
    held.reset(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (held.get() < 0 && errno != ENOENT && errno != ENOTDIR) {
      m_event.DebugJob(0, "[DeleteFilesFromVec]", m_jobId,
                       "Failed to open directory [%s]. Error: [%d]", folder.c_str(), errno);
      return false;
    }
  }
  return DeleteFilesFromVecAt(held.get(), folder, files);
}

bool KQUpdateCache::DeleteFilesFromVecAt(int folderFd, const std::string& folder,
                                         std::vector<File>* files) {
  return kqdelete::DeleteNamedFiles(m_event, m_jobId, folderFd, folder, files, nullptr);
}

bool KQUpdateCache::DeleteFolderIfEmpty(std::string folder) {
  UnixPath(folder);
  std::string why;
  std::vector<std::string> removed;
  const bool ok = CacheDeletionGuard::RemoveEmptySubFolders(folder, why, &removed);
  return kqdelete::ReportPrune(m_event, m_jobId, ok, removed, why);
}

bool KQUpdateCache::DeleteFolderIfEmptyAt(int folderFd, const std::string& folder) {
  std::string why;
  std::vector<std::string> removed;
  const bool ok = CacheDeletionGuard::RemoveEmptySubFoldersAt(folderFd, folder, why, &removed);
  return kqdelete::ReportPrune(m_event, m_jobId, ok, removed, why);
}

bool KQUpdateCache::DeleteLocalCacheAdditionalSyncContents(CacheOpReq request) {
  static const char* const kTag = "[DeleteLocalCacheAdditionalSyncContents]";
  std::vector<File> files = ObjectFiles(request, CacheOpReq::kAdditionalSyncFiles,
                                        AdditionalSyncFilesList::kFiles);
  if (files.empty()) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Additonal Sync files to delete list is empty, nothing to do");
    return true;
  }
  const std::string folder = Unix(RemoteInfo(request).getstring(RemClientInfo::kAdditionalSyncPath));
  std::string why;
  if (!CacheDeletionGuard::CheckDeletionFolder(folder, why)) {
    m_event.DebugJob(0, kTag, m_jobId, "Refused to delete additional sync files from [%s]: %s",
                     folder.c_str(), why.c_str());
    return false;
  }
  if (!DeleteFilesFromVec(folder, &files)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to delete binary files from [%s]", folder.c_str());
    return false;
  }
  if (!DeleteFolderIfEmpty(folder)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to delete empty folders recursively from [%s]",
                     folder.c_str());
    return false;
  }
  return true;
}

bool KQUpdateCache::DeleteLocalCacheApplianceContents(CacheOpReq request) {
  static const char* const kTag = "[DeleteLocalCacheApplianceContents]";
  const std::vector<File> files =
      ObjectFiles(request, CacheOpReq::kApplianceFiles, ApplianceFilesInfo::kFiles);
  if (files.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "Appliance files to delete list is empty, nothing to do");
    return true;
  }
  std::vector<File> windowsFiles, unixFiles;
  const size_t word = strlen(kApplianceWord);
  for (File file : files) {
    std::string name = file.getstring(File::kName);
    if (name.compare(0, word, kApplianceWord) == 0 && name.size() > word + 2) {
      name = name.substr(word + 1);
      file.setstring(File::kName, name);
    }
    if (name.compare(0, 4, "Unix") == 0) {
      m_event.DebugJob(2, kTag, m_jobId, "Found Unix appliance file to delete [%s]", name.c_str());
      unixFiles.push_back(file);
    } else {
      m_event.DebugJob(2, kTag, m_jobId, "Found Win/MSSQL appliance file to delete [%s]",
                       name.c_str());
      windowsFiles.push_back(file);
    }
  }
  const std::string root = Unix(RemoteInfo(request).getstring(RemClientInfo::kCachePath));
  const std::string applianceRoot = Unix(root + "/" + kApplianceWord);
  // The appliance root is reached from the cache root's descriptor and held open: what is
  // deleted below it is walked from there, never from its path.
  std::string why;
  const kq::ScopedFd rootFolder(CacheDeletionGuard::OpenCacheRoot(root, why));
  kq::ScopedFd appliance;
  if (why.empty())
    appliance.reset(kqdelete::OpenDeletionFolder(rootFolder.get(), root, kApplianceWord, why));
  if (!why.empty()) {
    m_event.DebugJob(0, kTag, m_jobId, "Refused to delete appliance files from [%s]: %s",
                     applianceRoot.c_str(), why.c_str());
    return false;
  }
  // One list below the appliance root, then the folders it left empty.
  auto deleteList = [&](std::vector<File>& list, const char* failure) {
    if (!DeleteFilesFromVecAt(appliance.get(), applianceRoot, &list)) {
      m_event.DebugJob(1, kTag, m_jobId, failure, applianceRoot.c_str());
      return false;
    }
    if (!DeleteFolderIfEmptyAt(appliance.get(), applianceRoot)) {
      m_event.DebugJob(0, kTag, m_jobId, "Failed to delete empty folders recursively from [%s]",
                       applianceRoot.c_str());
      return false;
    }
    return true;
  };
  if (!windowsFiles.empty() &&
      !deleteList(windowsFiles, "Failed to delete Win/MSSQL appliance files from [%s]"))
    return false;
  if (unixFiles.empty()) return true;

  KQPlatformInfo store;
  auto upgradeRunning = [&store]() {
    std::string value;
    return store.getString(kSection, kUpgradeValue, value) && !value.empty() &&
           ToLowerCase(value.c_str()) == "yes";
  };
  if (upgradeRunning()) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Cannot delete appliance files at path [%s] as tallowmere upgrade is in "
                     "progress", applianceRoot.c_str());
    return false;
  }
  if (!store.setString(kSection, kSyncValue, "Yes")) {
    m_event.DebugJob(1, kTag, m_jobId,
                     "Cannot delete appliances files at [%s] as tallowmere upgrade is in progress",
                     applianceRoot.c_str());
    return false;
  }
  m_event.DebugJob(1, kTag, m_jobId, "Successfully set registry key [%s/%s] to Yes", kSection,
                   kSyncValue);
  // An upgrade that started between our check and our flag wins: ours goes again.
  if (upgradeRunning()) {
    store.deleteValue(kSection, kSyncValue);
    m_event.DebugJob(0, kTag, m_jobId,
                     "Cannot delete appliance files at path [%s] as tallowmere upgrade is in "
                     "progress", applianceRoot.c_str());
    return false;
  }
  if (!deleteList(unixFiles, "Failed to delete binary files from [%s]")) return false;  // flag stays
  const long long now = static_cast<long long>(time(nullptr));
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (!store.deleteValue(kSection, kSyncValue)) continue;
    m_event.DebugJob(1, kTag, m_jobId, "Successfully deleted registry key [%s/%s] ", kSection,
                     kSyncValue);
    if (store.setNumber(kSection, kLastSyncValue, now)) {
      m_event.DebugJob(1, kTag, m_jobId, "Successfully set registry key [%s/%s] to [%lu]",
                       kSection, kLastSyncValue, static_cast<unsigned long>(now));
      return true;
    }
    m_event.DebugJob(0, kTag, m_jobId, "Failed to set registry key [%s/%s] to [%lu]", kSection,
                     kLastSyncValue, static_cast<unsigned long>(now));
  }
  m_event.DebugJob(1, kTag, m_jobId, "Failed to set registry keys related last appliance sync");
  m_event.DebugJob(1, kTag, m_jobId,
                   "Please delete registry key [%s/%s] if present ans set key [%s/%s] to [%lu]",
                   kSection, kSyncValue, kSection, kLastSyncValue, static_cast<unsigned long>(now));
  return false;
}

bool KQUpdateCache::DeleteLocalObsoleteSPMediaCacheContents(CacheOpReq request) {
  static const char* const kTag = "[DeleteLocalObsoleteSPMediaCacheContents]";
  const std::string root = Unix(RemoteInfo(request).getstring(RemClientInfo::kCachePath));
  const std::vector<std::string>& paths =
      *static_cast<const CacheOpReq&>(request).getliststring(CacheOpReq::kObsoleteSPFolders);
  bool result = true;
  // Each folder is removed from this descriptor of the root, walked to without following links.
  std::string rootWhy;
  const kq::ScopedFd rootFolder(paths.empty() ? -1
                                            : CacheDeletionGuard::OpenCacheRoot(root, rootWhy));
  for (std::string path : paths) {
    UnixPath(path);
    m_event.DebugJob(1, kTag, m_jobId, "Trying to delete obsolete servie pack directory [%s]",
                     path.c_str());
    std::string rel, why = rootWhy;
    if (!rootWhy.empty() || !CacheDeletionGuard::CheckMediaFolder(root, path, rel, why) ||
        !CacheDeletionGuard::CheckFolderBelow(root, root + "/KQMedia", why)) {
      m_event.DebugJob(0, kTag, m_jobId, "Refused to delete obsolete servie pack directory [%s]: %s",
                       path.c_str(), why.c_str());
      result = false;
      continue;
    }
    std::string err;
    if (rootFolder.get() >= 0 &&
        !kq::RemoveUnderAt(rootFolder.get(), root, "KQMedia/" + rel, &err)) {
      if (err.empty()) err = PxErrnoText(errno);
      m_event.DebugJob(1, kTag, m_jobId,
                       "Deleting obsolete servie pack directory [%s] failed with error [%s]",
                       path.c_str(), err.c_str());
      result = false;
    } else {
      m_event.DebugJob(1, kTag, m_jobId, "Sucessfully deleted obsolete servie pack directory [%s]",
                       path.c_str());
    }
  }
  return result;
}

bool KQUpdateCache::RenameUpdatePackDirOnClientCache(CacheOpReq* request) {
  static const char* const kTag = "[RenameUpdatePackDirOnClientCache]";
  static const char kNotRequired[] = "Update pack directory rename check not required as ";
  if (!request) return true;
  const RemClientInfo info = RemoteInfo(*request);
  const CNMessageBase* version = info.getObjectAccessor(RemClientInfo::kVersion);
  const CNMessageBase* pack =
      version ? version->getObjectAccessor(UpdatePatches::FullVersion::kUpdatePack) : nullptr;
  const long long n = pack && pack->isSet(UpdatePatches::UpdatePack::kNumber)
                          ? pack->getint64(UpdatePatches::UpdatePack::kNumber)
                          : 0;
  if (n < 1) {
    m_event.DebugJob(2, kTag, m_jobId,
                     "%supdate pack number is not set in cache request", kNotRequired);
    return true;
  }
  const int osId = static_cast<int>(info.getint64(RemClientInfo::kField5));
  const std::string root = Unix(info.getstring(RemClientInfo::kCachePath));
  std::string why;
  if (!CacheDeletionGuard::CheckCacheRoot(root, why)) {
    m_event.DebugJob(0, kTag, m_jobId, "Refused to rename below cache root [%s]: %s", root.c_str(),
                     why.c_str());
    return false;
  }
  if (IsUnix(osId) && !GetOSNameFromId(osId)) {
    m_event.DebugJob(0, kTag, m_jobId, "No update pack folder for unknown OS ID [%d]", osId);
    return false;
  }
  const std::string loose = Unix(root + GetLooseUpdateFolderNew(osId, false));
  if (!IsADirectory(loose.c_str()) ||
      !CacheDeletionGuard::CheckFolderBelow(root, loose, why)) {
    m_event.DebugJob(2, kTag, m_jobId,
                     "%sloose updates directory [%s] does not exists in client cache",
                     kNotRequired, loose.c_str());
    return true;
  }
  const std::string target = loose + "/CU" + std::to_string(n);
  if (isFilePresent(target.c_str())) {
    m_event.DebugJob(2, kTag, m_jobId, "%sclient cache already contains directory [%s]",
                     kNotRequired, target.c_str());
    return true;
  }
  std::list<std::string> names;
  if (!GetFolderList(loose, names) || names.empty()) return true;
  long long highest = 0;
  std::string highestName;
  for (const std::string& name : names) {
    m_event.DebugJob(10, kTag, m_jobId, "Checking if [%s] is update pack", name.c_str());
    if (name.compare(0, 2, "CU") != 0 || name.size() <= 2) continue;
    const long long k = atoi(name.c_str() + 2);
    if (k < 1) continue;
    m_event.DebugJob(10, kTag, m_jobId, "[%s] is update pack directory", name.c_str());
    if (k > highest) {
      highest = k;
      highestName = name;
      m_event.DebugJob(10, kTag, m_jobId, "Setting [%s] as highest update pack", name.c_str());
    }
  }
  if (highest < 1 || highest == n) return true;
  m_event.DebugJob(10, kTag, m_jobId, "Highest update pack found on client cache is [%s%lld]", "CU",
                   highest);
  // The folder as it is named ("CU07" reads as pack 7).
  const std::string source = loose + "/" + highestName;
  // One rename(2): either the whole folder carries the new name or nothing changed.
  if (rename(source.c_str(), target.c_str()) != 0) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to rename directory [%s] to [%s]", source.c_str(),
                     target.c_str());
    return false;
  }
  m_event.DebugJob(1, kTag, m_jobId, "Successfully renamed directory [%s] to [%s]",
                   source.c_str(), target.c_str());
  return true;
}
