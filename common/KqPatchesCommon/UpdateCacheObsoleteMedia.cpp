// Obsolete media after a content-delivery download: a remote cache removes the files the
// download replaced and every media, operating-system and appliance folder that the download
// request no longer names. Every path passes CacheDeletionGuard and lies below the request's
// cache root; nothing is removed through a link.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CacheDeletionGuard.h"
#include "FileSystemUtils.h"
#include "InstallUtils/IFolderStruct.h"
#include "KQUpdateCache.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "StringUtils.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/RetrievalSide.h"

using nPatchDownload::CPatchInstallCommon;
using UpdatePatches::AkamaiDownloadInfo;
using UpdatePatches::AkamaiDownloadReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::KQApplianceOSInfo;
using UpdatePatches::KQApplianceOSInfoList;
using UpdatePatches::RemClientInfo;

namespace {

const char kTag[] = "DeleteObsoleteMediaFromCache";
const unsigned int kRefused = 0x80000008u;
// The download mode (tag 7) that asked for files only.
const long long kFilesOnlyDownload = 2;

struct ReaderRelease {
  void operator()(KQInstallCommonUtils::IFolderStruct* reader) const {
    KQInstallCommonUtils::DestroyFolderStructReader(reader);
  }
};
typedef std::unique_ptr<KQInstallCommonUtils::IFolderStruct, ReaderRelease> ReaderHolder;

std::string Unix(std::string path) {
  UnixPath(path);
  return path;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The part of `path` below `root`: `path` passes the folder checks and lies strictly below root.
bool BelowRoot(const std::string& root, const std::string& path, std::string& rel,
               std::string& why) {
  if (!CacheDeletionGuard::CheckDeletionFolder(path, why)) return false;
  const std::string asked = WithoutTrailingSlashes(path);
  if (asked.size() <= root.size() + 1 || asked.compare(0, root.size() + 1, root + "/") != 0) {
    why = "[" + path + "] is not below the cache root [" + root + "]";
    return false;
  }
  rel = asked.substr(root.size() + 1);
  return CacheDeletionGuard::CheckDeletionName(rel, why);
}

// True when release names the feature release of version (major, transaction id, revision id).
bool ReleaseNamesVersion(const CNMessageBase& release, const FullVersion& version) {
  const CNMessageBase* sp = release.getObjectAccessor(FilesForRel::kSPVersion);
  if (sp == nullptr) return false;
  const auto same = [&](const KqFieldId& field, int versionField) {
    return sp->isSet(field) && sp->getint64(field) == version.Get(versionField);
  };
  return same(UpdatePatches::SPVersion::kMajor, FullVersion::kSPMajor) &&
         same(UpdatePatches::SPVersion::kTransactionId, FullVersion::kTransactionId) &&
         same(UpdatePatches::SPVersion::kRevisionId, FullVersion::kRevisionId);
}

const CNMessageBase* ReleaseFor(const std::vector<CNMessageBase>* releases,
                                const FullVersion& version) {
  if (releases == nullptr) return nullptr;
  for (const CNMessageBase& release : *releases)
    if (ReleaseNamesVersion(release, version)) return &release;
  return nullptr;
}

}  // namespace

unsigned int KQUpdateCache::DeleteObsoleteMediaFromCache(const std::set<std::string>& files,
                                                         const FullVersion& version,
                                                         AkamaiDownloadReq* request) {
  if (request == nullptr) {
    m_event.DebugJob(0, kTag, m_jobId, "No download request given, nothing is deleted");
    return kRefused;
  }
  const CNMessageBase* info = request->getObjectAccessor(AkamaiDownloadReq::kRemClientInfo);
  const std::string root =
      WithoutTrailingSlashes(Unix(info ? info->getstring(RemClientInfo::kCachePath) : ""));
  // Every removal walks from this descriptor of the root, never from the root's path: a level
  // between the configured cache and the root swapped for a link after the check leads nowhere.
  std::string why;
  const kq::ScopedFd held(CacheDeletionGuard::OpenCacheRoot(root, why));
  if (held.get() < 0 && !why.empty()) {
    m_event.DebugJob(0, kTag, m_jobId, "Refused cache root, nothing is deleted: %s", why.c_str());
    return kRefused;
  }

  // 1. The files the download replaced.
  for (const std::string& given : files) {
    const std::string path = Unix(given);
    if (!isFilePresent(path.c_str())) continue;
    std::string rel;
    if (!BelowRoot(root, path, rel, why) ||
        !CacheDeletionGuard::CheckFolderBelow(root, path.substr(0, path.rfind('/')), why)) {
      m_event.DebugJob(0, kTag, m_jobId, "Refused to delete the file %s: %s", path.c_str(),
                       why.c_str());
      continue;
    }
    // Removed relative to the cache root, no folder on the way followed if it became a link.
    std::string err;
    if (!kq::RemoveFileUnderAt(held.get(), root, rel, &err))
      m_event.DebugJob(1, kTag, m_jobId, "Failed to delete the file %s. ErrorCode [%d]",
                       path.c_str(), errno);
    else
      m_event.DebugJob(2, kTag, m_jobId, "Successfully deleted the file %s", path.c_str());
  }

  // 2. A download of files only leaves the folders alone.
  const CNMessageBase* download = request->getObjectAccessor(AkamaiDownloadReq::kDownload);
  const long long mode = download ? download->getint64(AkamaiDownloadInfo::kDownloadMode) : 0;
  if (mode == kFilesOnlyDownload) return 0;

  // 3. The reader of the cache layout and the release of the download that this media is.
  KQInstallCommonUtils::IFolderStruct* made = nullptr;
  if (!CPatchInstallCommon::constructFSObject(version, made, root, m_event)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to create folder struct object");
    return 0;
  }
  const ReaderHolder reader(made);
  const std::vector<CNMessageBase>* releases =
      download ? download->getlistobject(AkamaiDownloadInfo::kReleases) : nullptr;
  const CNMessageBase* release = ReleaseFor(releases, version);
  if (release == nullptr) {
    // Without the release the download brought, every folder would look obsolete.
    m_event.DebugJob(1, kTag, m_jobId,
                     "No release of the download names media [%s], no folder is deleted",
                     version.formatted_str(FullVersion::kFormatMedia).c_str());
    return 0;
  }
  const std::vector<CNMessageBase>* osList = release->getlistobject(FilesForRel::kOSList);
  const FullVersion anyVersion{_SPVersion(0)};
  std::set<std::string> doomed;  // removed in ascending path order

  // 4. Operating-system folders the release no longer names.
  bool unixMissing = true, windowsMissing = true;
  std::map<int, std::string> oses;
  CPatchInstallCommon::GetAllSupportedOSesMap(oses);
  for (const auto& os : oses) {
    const std::string folder =
        reader->GetPath(KQInstallCommonUtils::eKindOSFolder, os.second, anyVersion, 0);
    if (folder.empty()) {
      m_event.DebugJob(1, kTag, m_jobId, "Cannot get sub OS LooseUpdates folder of OS [%s], continuing",
                       os.second.c_str());
      continue;
    }
    if (!IsADirectory(folder.c_str())) {
      m_event.DebugJob(10, kTag, m_jobId, "OS folder [%s] does not exist, continuing..",
                       folder.c_str());
      continue;
    }
    bool named = false;
    if (osList != nullptr) {
      for (const CNMessageBase& entry : *osList)
        if (entry.isSet(FilesForOS::kOSId) && entry.getint64(FilesForOS::kOSId) == os.first)
          named = true;
    }
    if (!named) {
      doomed.insert(folder);
    } else if (CPatchInstallCommon::IsUnix(static_cast<unsigned int>(os.first))) {
      unixMissing = false;
    } else {
      windowsMissing = false;
    }
  }

  // 5. Platform folders of a family the release no longer names at all.
  if (unixMissing)
    doomed.insert(reader->GetPath(KQInstallCommonUtils::eKindPlatformRoot, "linux-x8664",
                                  anyVersion, 0));
  if (windowsMissing)
    doomed.insert(
        reader->GetPath(KQInstallCommonUtils::eKindPlatformRoot, "WinX64", anyVersion, 0));

  // 6. Feature-release folders the download does not name.
  const std::string releaseRoot = root + "/KQMedia/11.0.0";
  nPatchDownload::tRetrievalVersion walk;
  const CPxError walked =
      CPxDirectory::Walk(releaseRoot, &walk, 0, true, CPatchInstallCommon::servicePackNameMatch);
  if (walked.IsError()) {
    m_event.DebugJob(1, kTag, m_jobId, "Cannot walk through [%s] with return [%d], continuing.",
                     releaseRoot.c_str(), walked.GetErrorCode());
    return 0;
  }
  for (const FullVersion& found : walk.versions) {
    if (ReleaseFor(releases, found) != nullptr) continue;
    doomed.insert(releaseRoot + "/SP" + found.GetStr(FullVersion::kSPMajor) + "_" +
                  found.GetStr(FullVersion::kTransactionId) + "_R" +
                  found.GetStr(FullVersion::kRevisionId));
  }

  // 7. Appliance folders of types the request no longer lists.
  if (mode == 0) {
    const std::string applianceRoot = root + "/KQAppliance";
    std::list<std::string> names;
    if (!Exists(applianceRoot)) {
      m_event.DebugJob(10, kTag, m_jobId, "Appliance folder [%s] does not exist, continuing..",
                       applianceRoot.c_str());
    } else if (GetFolderList(applianceRoot, names)) {
      const CNMessageBase* wanted = request->getObjectAccessor(AkamaiDownloadReq::kApplianceOSList);
      const std::vector<CNMessageBase>* infos =
          wanted ? wanted->getlistobject(KQApplianceOSInfoList::kList) : nullptr;
      for (const std::string& name : names) {
        const int type = static_cast<int>(CPatchInstallCommon::GetKQApplianceOSType(name));
        bool keep = false;
        if (type != 3 && infos != nullptr) {
          for (const CNMessageBase& entry : *infos)
            if (entry.isSet(KQApplianceOSInfo::kType) &&
                entry.getint64(KQApplianceOSInfo::kType) == type)
              keep = true;
        }
        if (!keep) doomed.insert(applianceRoot + "/" + name);
      }
    }
  }

  // 8. Remove them.
  unsigned int result = 0;
  for (const std::string& folder : doomed) {
    if (folder.empty()) continue;
    if (!Exists(folder)) {
      m_event.DebugJob(10, kTag, m_jobId, "folder [%s] does not exist, continuing..",
                       folder.c_str());
      continue;
    }
    std::string rel;
    if (!BelowRoot(root, folder, rel, why) ||
        !CacheDeletionGuard::CheckFolderBelow(root, folder.substr(0, folder.rfind('/')), why)) {
      m_event.DebugJob(0, kTag, m_jobId, "Refused to delete folder [%s]: %s", folder.c_str(),
                       why.c_str());
      if (result == 0) result = kRefused;
      continue;
    }
    if (CacheDeletionGuard::RemoveNameUnderAt(held.get(), root, rel, why)) {
      m_event.DebugJob(1, kTag, m_jobId, "Deleted folder [%s] from cache", folder.c_str());
      continue;
    }
    const int err = errno == 0 ? EIO : errno;
    m_event.DebugJob(1, kTag, m_jobId, "Cannot delete folder [%s] with error [%d:%s]",
                     folder.c_str(), err, why.c_str());
    if (result == 0) result = err == EINVAL ? kRefused : static_cast<unsigned int>(err);
  }
  return result;
}
