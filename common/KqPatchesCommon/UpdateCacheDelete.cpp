// Deleting cache contents on request: the remote cache removes what the Hubnode named, the
// additional-sync and appliance files, obsolete feature-release folders, and renames its
// update-pack folder after a maintenance-release download. Every folder and name of the request
// passes CacheDeletionGuard before anything is removed.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "CacheDeletionGuard.h"
#include "CachePaths.h"
#include "Configuration/KQPlatformInfo.h"
#include "FileSystemUtils.h"
#include "HostIdentity.h"
#include "KQUpdateCache.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "StringUtils.h"
#include "UpdateNames.h"
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
const long long kDeletePackageCacheFiles = 9;

RemClientInfo RemoteInfo(const CacheOpReq& request) {
  const CNMessageBase* info = request.getObjectAccessor(CacheOpReq::kRemClientInfo);
  return info ? RemClientInfo(*info) : RemClientInfo();
}

std::vector<File> FilesOf(const CNMessageBase& message, const KqFieldId& field) {
  const std::vector<CNMessageBase>* list = message.getlistobject(field);
  return std::vector<File>(list->begin(), list->end());
}

// The File list of a file-list object (additional-sync or appliance), empty when absent.
std::vector<File> ObjectFiles(const CacheOpReq& request, const KqFieldId& object,
                              const KqFieldId& files, bool* present) {
  const CNMessageBase* held = request.getObjectAccessor(object);
  *present = held != nullptr;
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

}  // namespace

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
  static const char* const kTag = "[DeleteFilesFromVec]";
  if (!files || files->empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "File vector to be deleted is empty");
    return true;
  }
  std::vector<std::string> failed;
  for (const File& file : *files) {
    const std::string name = Unix(file.getstring(File::kName));
    const std::string path = Unix(folder + "/" + name);
    std::string why;
    if (!CacheDeletionGuard::CheckDeletionFolder(folder, why) ||
        !CacheDeletionGuard::CheckDeletionName(name, why)) {
      m_event.DebugJob(0, kTag, m_jobId, "Refused to delete [%s] below [%s]: %s", name.c_str(),
                       folder.c_str(), why.c_str());
      failed.push_back(path);
      continue;
    }
    struct stat st;
    if (folderFd < 0 || fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;  // not there: nothing to do
    if (CacheDeletionGuard::RemoveNameUnderAt(folderFd, folder, name, why)) {
      m_event.DebugJob(1, kTag, m_jobId, "Deleted file [%s]", path.c_str());
    } else {
      const int error = errno;
      m_event.DebugJob(1, kTag, m_jobId, "Failed to delete file [%s], Error code [%d]",
                       path.c_str(), error);
      if (error == EINVAL || error == ELOOP)
        m_event.DebugJob(0, kTag, m_jobId, "Refused to delete [%s]: %s", path.c_str(), why.c_str());
      failed.push_back(path);
    }
  }
  if (failed.empty()) return true;
  m_event.DebugJob(0, kTag, m_jobId, "Failed to Delete following files from Local Cache: ");
  for (const std::string& path : failed) m_event.DebugJob(0, kTag, m_jobId, "%s", path.c_str());
  if (!DeleteFolderIfEmptyAt(folderFd, folder))
    m_event.DebugJob(1, kTag, m_jobId, "Failed to delete empty folders recursively from [%s]",
                     folder.c_str());
  return false;
}

namespace {

// Logs what one pruning removed, and why it stopped when it failed; returns ok.
bool ReportPrune(EvDebug& log, unsigned long long job, bool ok,
                 const std::vector<std::string>& removed, const std::string& why) {
  static const char* const kTag = "[DeleteFolderIfEmpty]";
  for (const std::string& path : removed)
    log.DebugJob(1, kTag, job, "Deleted empty directory [%s]", path.c_str());
  if (!ok) log.DebugJob(0, kTag, job, "%s", why.c_str());
  return ok;
}

}  // namespace

bool KQUpdateCache::DeleteFolderIfEmpty(std::string folder) {
  UnixPath(folder);
  std::string why;
  std::vector<std::string> removed;
  const bool ok = CacheDeletionGuard::RemoveEmptySubFolders(folder, why, &removed);
  return ReportPrune(m_event, m_jobId, ok, removed, why);
}

bool KQUpdateCache::DeleteFolderIfEmptyAt(int folderFd, const std::string& folder) {
  std::string why;
  std::vector<std::string> removed;
  const bool ok = CacheDeletionGuard::RemoveEmptySubFoldersAt(folderFd, folder, why, &removed);
  return ReportPrune(m_event, m_jobId, ok, removed, why);
}

namespace {

// One deletion folder below the request's root, opened level by level from the root's
// descriptor without following links. True with `held` set (-1 when the folder does not exist:
// nothing to delete there); false, logged at level 0, on a refusal.
bool OpenAllowed(EvDebug& log, unsigned long long job, const char* tag, int rootFd,
                 const std::string& root, const std::string& folder, kq::ScopedFd& held) {
  std::string why;
  held.reset(CacheDeletionGuard::OpenFolderBelow(rootFd, root, folder, why));
  if (held.get() >= 0 || why.empty()) return true;
  log.DebugJob(0, tag, job, "Refused to delete from [%s]: %s", folder.c_str(), why.c_str());
  return false;
}

// Where the files of one operating system of a deletion request go from, decided before
// anything is deleted.
struct OsFolders {
  enum Kind {
    kNothing,   // no files named: nothing to delete, nothing to prune
    kNoFolder,  // files named, but the release or the operating system has no cache folder
    kMedia,     // media files below `media`
    kInstall,   // feature-release, loose-update and installer files below `base`
  };
  Kind kind = kNothing;
  std::string base;   // pruned of empty folders once the files are gone
  std::string media;  // kMedia: the folder the media files are named relative to
};

OsFolders FoldersOf(const std::string& root, long long operation, int releaseId,
                    const std::string& releaseName, const std::string& frFolder,
                    const CNMessageBase& os) {
  OsFolders out;
  const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
  out.base = root;
  if (releaseId > 15 && os.isSet(FilesForOS::kMediaFiles)) {
    if (os.getlistobject(FilesForOS::kMediaFiles)->empty()) return out;
    out.kind = OsFolders::kMedia;
    out.media = root;
    if (root.find("KQMedia") == std::string::npos) {
      std::string why;
      if (releaseName.empty() ||
          (!frFolder.empty() && !CacheDeletionGuard::CheckDeletionName(frFolder, why))) {
        out.kind = OsFolders::kNoFolder;
        return out;
      }
      out.media = root + "/KQMedia/" + releaseName + "/" + (frFolder.empty() ? "" : frFolder + "/") +
                  (IsUnix(osId) ? "Unix" : "Windows");
    }
    return out;
  }
  if (os.getlistobject(FilesForOS::kSPFiles)->empty() &&
      os.getlistobject(FilesForOS::kLooseUpdateFiles)->empty() &&
      os.getlistobject(FilesForOS::kInstallerFiles)->empty())
    return out;
  out.kind = OsFolders::kInstall;
  if (operation != kDeletePackageCacheFiles &&
      (releaseName.empty() || !FindInstallUpdPathForOS(releaseId, osId, out.base)))
    out.kind = OsFolders::kNoFolder;
  out.base = Unix(out.base);
  return out;
}

}  // namespace

bool KQUpdateCache::DeleteLocalCacheContents(CacheOpReq request) {
  static const char* const kTag = "[DeleteLocalCacheContents]";
  const RemClientInfo info = RemoteInfo(request);
  const std::string root = Unix(info.getstring(RemClientInfo::kCachePath));
  const std::vector<CNMessageBase>& releases =
      *static_cast<const CacheOpReq&>(request).getlistobject(CacheOpReq::kReleases);
  const long long operation = request.getint64(CacheOpReq::kOperationCode);

  // Every folder deleted from is reached from this descriptor of the root, never by its path.
  kq::ScopedFd rootFolder;
  if (releases.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "Release and OS list is empty");
  } else {
    if (!VocabularyReady(kVocabReleases | kVocabOSTypes, kTag)) return false;
    std::string why;
    rootFolder.reset(CacheDeletionGuard::OpenCacheRoot(root, why));
    if (rootFolder.get() < 0 && !why.empty()) {
      m_event.DebugJob(0, kTag, m_jobId, "Refused to delete from cache root [%s]: %s",
                       root.c_str(), why.c_str());
      return false;
    }
  }
  auto releaseNameOf = [](const CNMessageBase& rel) {
    return GetRelNameFromId(static_cast<int>(rel.getint64(FilesForRel::kReleaseId)));
  };
  long long hnRelease = -1;  // asked for when a release first names a feature-release folder
  auto frFolderOf = [&hnRelease](const CNMessageBase& rel) {
    if (!rel.isSet(FilesForRel::kSPFolderName)) return std::string();
    if (hnRelease < 0) hnRelease = static_cast<long long>(getHNReleaseID());
    return rel.getint64(FilesForRel::kReleaseId) == hnRelease
               ? rel.getstring(FilesForRel::kSPFolderName)
               : std::string();
  };

  // Pruning a folder removes every empty folder below it, so of several operating systems that
  // prune the same folder (all media of a request prune the root) only the last one needs to:
  // the tree left is the same, and the cache is walked once instead of once per system.
  std::map<std::string, size_t> prunesLeft;
  for (const CNMessageBase& rel : releases) {
    const std::string releaseName = releaseNameOf(rel);
    const std::string frFolder = frFolderOf(rel);
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList)) {
      const OsFolders step =
          FoldersOf(root, operation, static_cast<int>(rel.getint64(FilesForRel::kReleaseId)),
                    releaseName, frFolder, os);
      if (step.kind == OsFolders::kMedia || step.kind == OsFolders::kInstall) ++prunesLeft[step.base];
    }
  }
  std::vector<std::string> postponed;  // folders whose pruning waits for a later system
  auto prune = [&](const std::string& base) {
    kq::ScopedFd held;
    if (OpenAllowed(m_event, m_jobId, kTag, rootFolder.get(), root, base, held) &&
        DeleteFolderIfEmptyAt(held.get(), base))
      return true;
    m_event.DebugJob(1, kTag, m_jobId, "Failed to delete empty folders recursively from [%s]",
                     base.c_str());
    return false;
  };
  // A failing step ends the request; what the systems before it emptied is pruned as it would
  // have been after each of them.
  auto fail = [&]() {
    for (const std::string& base : postponed) prune(base);
    return false;
  };

  for (const CNMessageBase& rel : releases) {
    const int releaseId = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
    const std::vector<CNMessageBase>& oses = *rel.getlistobject(FilesForRel::kOSList);
    if (oses.empty()) {
      m_event.DebugJob(1, kTag, m_jobId, "OS list is empty for release ID [%d], nothing to do",
                       releaseId);
      continue;
    }
    const std::string releaseName = releaseNameOf(rel);
    const std::string frFolder = frFolderOf(rel);
    for (const CNMessageBase& os : oses) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      const OsFolders step = FoldersOf(root, operation, releaseId, releaseName, frFolder, os);
      const bool media = releaseId > 15 && os.isSet(FilesForOS::kMediaFiles);
      if (step.kind == OsFolders::kNothing) {
        m_event.DebugJob(1, kTag, m_jobId, "File list is empty for Rel [%d] OS ID [%d]",
                         releaseId, osId);
        continue;
      }
      if (step.kind == OsFolders::kNoFolder) {
        if (media)
          m_event.DebugJob(0, kTag, m_jobId,
                           "Refused to delete media files of Rel [%d] OS ID [%d]: no release "
                           "name or a bad feature release folder [%s]",
                           releaseId, osId, frFolder.c_str());
        else
          m_event.DebugJob(0, kTag, m_jobId,
                           "Refused to delete files of Rel [%d] OS ID [%d]: the release or the "
                           "operating system has no cache folder", releaseId, osId);
        return fail();
      }
      const std::string& base = step.base;
      if (step.kind == OsFolders::kMedia) {
        std::vector<File> files = MediaFilesAsFiles(os);
        m_event.DebugJob(1, kTag, m_jobId, "Deleting binary files from [%s]", step.media.c_str());
        kq::ScopedFd held;
        if (!OpenAllowed(m_event, m_jobId, kTag, rootFolder.get(), root, step.media, held) ||
            !DeleteFilesFromVecAt(held.get(), step.media, &files)) {
          m_event.DebugJob(1, kTag, m_jobId, "Failed to delete binary files from [%s]",
                           step.media.c_str());
          return fail();
        }
      } else {
        std::vector<File> frFiles = FilesOf(os, FilesForOS::kSPFiles);
        std::vector<File> looseFiles = FilesOf(os, FilesForOS::kLooseUpdateFiles);
        std::vector<File> installerFiles = FilesOf(os, FilesForOS::kInstallerFiles);
        if (!frFiles.empty()) {
          std::string folder = Unix(base + "/ServicePacks");
          _SPVersion highest;
          if (!GetHighestSP(highest, folder.c_str())) {
            m_event.DebugJob(1, kTag, m_jobId,
                             "Failed to get highest feature release number from directory [%s]",
                             folder.c_str());
            return fail();
          }
          if (!FindNewSPPathForOS(osId, highest, folder)) {
            m_event.DebugJob(0, kTag, m_jobId,
                             "Refused to delete feature release files for OS ID [%d] from [%s]",
                             osId, folder.c_str());
            return fail();
          }
          folder = Unix(folder);
          m_event.DebugJob(1, kTag, m_jobId, "Deleting additional feature release files from [%s]",
                           folder.c_str());
          kq::ScopedFd held;
          if (!OpenAllowed(m_event, m_jobId, kTag, rootFolder.get(), root, folder, held) ||
              !DeleteFilesFromVecAt(held.get(), folder, &frFiles)) {
            m_event.DebugJob(1, kTag, m_jobId,
                             "Failed to delete additional feature release files from [%s]",
                             folder.c_str());
            return fail();
          }
        }
        const std::string updates = Unix(base + "/Updates");
        m_event.DebugJob(1, kTag, m_jobId, "Deleting additional loose update files from [%s]",
                         updates.c_str());
        kq::ScopedFd held;
        if (!looseFiles.empty() &&
            (!OpenAllowed(m_event, m_jobId, kTag, rootFolder.get(), root, updates, held) ||
             !DeleteFilesFromVecAt(held.get(), updates, &looseFiles))) {
          m_event.DebugJob(1, kTag, m_jobId,
                           "Failed to delete additional loose update files from [%s]",
                           updates.c_str());
          return fail();
        }
        m_event.DebugJob(1, kTag, m_jobId, "Deleting additional installer files from [%s]",
                         base.c_str());
        if (!installerFiles.empty() &&
            (!OpenAllowed(m_event, m_jobId, kTag, rootFolder.get(), root, base, held) ||
             !DeleteFilesFromVecAt(held.get(), base, &installerFiles))) {
          m_event.DebugJob(1, kTag, m_jobId, "Failed to delete additional installer files from [%s]",
                           base.c_str());
          return fail();
        }
      }
      if (--prunesLeft[base] > 0) {
        if (std::find(postponed.begin(), postponed.end(), base) == postponed.end())
          postponed.push_back(base);
        continue;
      }
      postponed.erase(std::remove(postponed.begin(), postponed.end(), base), postponed.end());
      if (!prune(base)) return fail();
    }
  }

  bool present = false;
  if (!ObjectFiles(request, CacheOpReq::kAdditionalSyncFiles, AdditionalSyncFilesList::kFiles,
                   &present).empty()) {
    m_event.DebugJob(2, kTag, m_jobId,
                     "Additional sync files to delete list is non empty. Try to delete files from "
                     "addtioanl sync file list");
    if (DeleteLocalCacheAdditionalSyncContents(request))
      m_event.DebugJob(2, kTag, m_jobId, "Successfully deleted addtional sync files");
    else
      m_event.DebugJob(0, kTag, m_jobId, "Failed to delete additonal sync files");
  }
  if (!ObjectFiles(request, CacheOpReq::kApplianceFiles, ApplianceFilesInfo::kFiles, &present)
           .empty()) {
    m_event.DebugJob(2, kTag, m_jobId,
                     "Appliance files to delete list is non empty. Try to delete files from "
                     "appliance file list");
    if (DeleteLocalCacheApplianceContents(request))
      m_event.DebugJob(2, kTag, m_jobId, "Successfully deleted appliance files");
    else
      m_event.DebugJob(0, kTag, m_jobId, "Failed to delete appliance files");
  }
  return true;
}

bool KQUpdateCache::DeleteLocalCacheAdditionalSyncContents(CacheOpReq request) {
  static const char* const kTag = "[DeleteLocalCacheAdditionalSyncContents]";
  bool present = false;
  std::vector<File> files = ObjectFiles(request, CacheOpReq::kAdditionalSyncFiles,
                                        AdditionalSyncFilesList::kFiles, &present);
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
  bool present = false;
  const std::vector<File> files =
      ObjectFiles(request, CacheOpReq::kApplianceFiles, ApplianceFilesInfo::kFiles, &present);
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
    appliance.reset(
        CacheDeletionGuard::OpenFolderBelow(rootFolder.get(), root, applianceRoot, why));
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
