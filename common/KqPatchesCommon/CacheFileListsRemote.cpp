// Remote cache checksum answers: the checksummed lists of the files a cache holds, per release
// and operating system, for a cache-operation request (the releases asked, or the whole cache
// with its obsolete feature-release folders and the additional-sync folder), and the log dumps
// of such lists.
#include <algorithm>
#include <iterator>
#include <list>
#include <map>
#include <string_view>
#include <unordered_set>

#include "CacheFileListsInternal.h"
#include "CachePaths.h"
#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PackageCache.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "StringUtils.h"
#include "UpdateCacheChecksumBatch.h"
#include "UpdateNames.h"
#include "Vocabulary.h"

using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::BinaryV11;
using UpdatePatches::CacheOpReq;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

namespace {

constexpr int kFirstMediaRelease = 16;
constexpr int kLastOSId = 34;
const char kFrame[] = "**********************";

// The root of a release in a cache: "<cache>/KQMedia/<name>" or "<cache>/KQUpdates/<name>".
std::string ReleaseRoot(const std::string& cachePath, int releaseId, const std::string& name) {
  std::string root = cachePath + "/" + (releaseId >= kFirstMediaRelease ? "KQMedia" : "KQUpdates") + "/" + name;
  UnixPath(root);
  return root;
}

// The folder of an operating system below a release folder.
std::string OSFolder(const std::string& releaseFolder, int releaseId, int osId, const char* osName) {
  if (releaseId >= kFirstMediaRelease) return releaseFolder + (IsUnix(osId) ? "/Unix" : "/Windows");
  return releaseFolder + "/" + osName;
}

// Holds the job's checksum pool for a whole answer, so that its threads are started once and
// not again for each folder that is checksummed.
class CheckFilePoolHold {
 public:
  explicit CheckFilePoolHold(KQUpdateCache& cache)
      : cache_(cache), pool_(cache.GetCheckFileTP(static_cast<unsigned int>(cache.jobId()))) {}
  ~CheckFilePoolHold() {
    if (pool_ != nullptr) cache_.ReleaseCheckFileTP(static_cast<unsigned int>(cache_.jobId()));
  }
  CheckFilePoolHold(const CheckFilePoolHold&) = delete;
  CheckFilePoolHold& operator=(const CheckFilePoolHold&) = delete;

  // The pool held; null when it could not be had.
  KqThreadPool* pool() const { return pool_; }

 private:
  KQUpdateCache& cache_;
  KqThreadPool* pool_;
};

// Finds ahead, with quiet listings, the folders an answer will checksum for its operating-system
// folders, and adds them to a batch in the order the answer asks for them: the choices of
// CalculateFileCheckSumForOS and CalculateFileCksumForV11Media, made without their log lines.
// A folder added but not asked for after all is dropped; one asked for but not added is walked
// when asked.
class AnswerWalkPlan {
 public:
  explicit AnswerWalkPlan(ChecksumBatch& batch) : batch_(batch) {}

  // The folders checksummed for the operating-system folder `folder` of a release.
  void AddOSFolder(const std::string& folder, int releaseId, int osId, const char* osName) {
    if (!IsADirectory(folder.c_str())) return;  // not answered
    const bool unixForm = IsUnix(osId);
    if (releaseId >= kFirstMediaRelease) {
      AddMediaFolder(folder, osId, osName, unixForm);
      return;
    }
    std::string spFolder = folder + "/ServicePacks";
    UnixPath(spFolder);
    // GetHighestSP logs a folder it cannot open: the answer does that itself, when it asks.
    CPxFolderHandle servicePacks;
    if (!servicePacks.Open(spFolder).IsError()) {
      servicePacks.Close();
      _SPVersion highest;
      if (GetHighestSP(highest, spFolder.c_str())) {
        if (highest.GetMajor() == 0) return;  // the folder's answer ends there
        std::string path = spFolder;
        FindNewSPPathForOS(osId, highest, path);
        batch_.Add(path, "", unixForm, true, false);
      }
    }
    batch_.Add(folder + "/Updates", "", unixForm, true, false);
    batch_.Add(folder, "", unixForm, false, false);
  }

 private:
  void AddMediaFolder(const std::string& folder, int osId, const char* osName, bool unixForm) {
    const std::string marker =
        folder + "/" + (unixForm ? std::string(osName) : osId == 1 ? "BinaryPayload32" : "BinaryPayload");
    if (!isFilePresent(marker.c_str())) return;
    const std::vector<SPxWalkEntry>* entries = Listing(folder);
    if (entries == nullptr) return;
    for (const SPxWalkEntry& entry : *entries) {
      if (!entry.descend) continue;  // neither a file nor a link is walked
      if ((osId == 1 && entry.name == "BinaryPayload") || (osId == 3 && entry.name == "BinaryPayload32")) continue;
      if (unixForm && entry.name != osName) continue;
      batch_.Add(folder, entry.name, unixForm, true, true);
    }
    batch_.Add(folder, "", unixForm, false, true);
  }

  // The entries of a folder, read once for all the operating systems sharing it; null when it
  // cannot be read.
  const std::vector<SPxWalkEntry>* Listing(const std::string& folder) {
    auto found = listings_.find(folder);
    if (found == listings_.end()) {
      std::vector<SPxWalkEntry> entries;
      const bool read = !CPxDirectory::ReadWalkLevel(folder, false, entries).IsError();
      found = listings_.emplace(folder, std::make_pair(read, std::move(entries))).first;
    }
    return found->second.first ? &found->second.second : nullptr;
  }

  ChecksumBatch& batch_;
  std::map<std::string, std::pair<bool, std::vector<SPxWalkEntry>>> listings_;
};

// Moves the entries of `from` to the end of `to`.
void AppendMoved(std::vector<BinaryV11>& from, std::vector<BinaryV11>& to) {
  if (to.empty()) {
    to.swap(from);
    from.clear();
    return;
  }
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  from.clear();
}

// Relative paths compared whatever their separators: a backslash and '/' count as the same character.
char SeparatorBlind(char c) { return c == '\\' ? '/' : c; }
struct SeparatorBlindHash {
  size_t operator()(std::string_view s) const {
    size_t h = 14695981039346656037ull;
    for (char c : s) h = (h ^ static_cast<unsigned char>(SeparatorBlind(c))) * 1099511628211ull;
    return h;
  }
};
struct SeparatorBlindEqual {
  bool operator()(std::string_view a, std::string_view b) const {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return SeparatorBlind(x) == SeparatorBlind(y); });
  }
};

RemClientInfo RemoteInfo(const CacheOpReq& request) {
  const CNMessageBase* info = request.getObjectAccessor(CacheOpReq::kRemClientInfo);
  return info ? RemClientInfo(*info) : RemClientInfo();
}

}  // namespace

// The four lists of one operating-system folder as a FilesForOS; false when all are empty.
// The lists are moved into out.
static bool OSAnswer(int osId, std::vector<File>& fr, std::vector<File>& loose, std::vector<File>& installer,
                     std::vector<BinaryV11>& media, FilesForOS& out) {
  if (fr.empty() && loose.empty() && installer.empty() && media.empty()) return false;
  out.setint64(FilesForOS::kOSId, osId);
  kqlists::MoveListInto(out, FilesForOS::kSPFiles, kqlists::AsMessages(std::move(fr)));
  kqlists::MoveListInto(out, FilesForOS::kLooseUpdateFiles, kqlists::AsMessages(std::move(loose)));
  kqlists::MoveListInto(out, FilesForOS::kInstallerFiles, kqlists::AsMessages(std::move(installer)));
  kqlists::MoveListInto(out, FilesForOS::kMediaFiles, kqlists::AsMessages(std::move(media)));
  return true;
}

// Answers one operating-system folder: when present, checksums it and appends its FilesForOS to
// oses unless it holds nothing. A failure is logged and its text stored in the response's 3/3;
// what was gathered is still answered. The two lines are logged with the release, operating
// system and folder names.
static void AnswerOSFolder(KQUpdateCache& cache, const char* tag, const std::string& folder, int releaseId,
                           const std::string& releaseName, int osId, const char* osName, const char* computingLine,
                           const char* emptyLine, CacheOpReq& response, std::vector<CNMessageBase>& oses) {
  EvDebug& log = cache.log();
  const long long job = static_cast<long long>(cache.jobId());
  if (!kqlists::IsFolderPresent(folder)) {
    log.DebugJob(1, tag, job, "Cache does not contain updates for release [%s] OS [%s] in cache directory [%s]",
                 releaseName.c_str(), osName, folder.c_str());
    return;
  }
  log.DebugJob(1, tag, job, computingLine, releaseName.c_str(), osName, folder.c_str());
  std::vector<File> fr, loose, installer;
  std::vector<BinaryV11> media;
  if (!cache.CalculateFileCheckSumForOS(folder, fr, loose, installer, media, releaseId, osId)) {
    const std::string text = "Could not get file-checksum list for release " + releaseName + " and OS name " + osName;
    log.DebugJob(1, tag, job, "%s", text.c_str());
    response.setstring(CacheOpReq::kErrorText, text);
  }
  FilesForOS files;
  if (OSAnswer(osId, fr, loose, installer, media, files))
    oses.push_back(std::move(files));
  else
    log.DebugJob(1, tag, job, emptyLine, releaseName.c_str(), osName, folder.c_str());
}

// True when a release is answered: a supported id (above 14) with a name whose root (set here)
// is present in the cache.
static bool ReleaseToAnswer(KQUpdateCache& cache, const char* tag, const std::string& cachePath, int releaseId,
                            const std::string& releaseName, std::string& root) {
  EvDebug& log = cache.log();
  const long long job = static_cast<long long>(cache.jobId());
  if (releaseId <= 14) {
    log.DebugJob(1, tag, job, "New update file syncing is not supported for release [%d]", releaseId);
    return false;
  }
  if (releaseName.empty()) {
    // An empty name would make the release's root the cache's own "KQMedia" folder.
    log.DebugJob(1, tag, job, "Release [%d] has no name, skipping it", releaseId);
    return false;
  }
  root = ReleaseRoot(cachePath, releaseId, releaseName);
  if (!kqlists::IsFolderPresent(root)) {
    log.DebugJob(1, tag, job, "Cache does not contain updates for release [%s] in [%s]", releaseName.c_str(),
                 root.c_str());
    return false;
  }
  return true;
}

// The folders CalculateCheckSumForCacheFiles checksums for the releases asked.
static void PlanAskedReleaseWalks(ChecksumBatch& batch, const std::string& cachePath,
                                  const std::vector<CNMessageBase>& asked) {
  AnswerWalkPlan plan(batch);
  for (const CNMessageBase& entry : asked) {
    const int releaseId = static_cast<int>(entry.getint64(FilesForRel::kReleaseId));
    const std::string releaseName = GetRelNameFromId(releaseId);
    if (releaseId <= 14 || releaseName.empty()) continue;
    const std::string root = ReleaseRoot(cachePath, releaseId, releaseName);
    for (const CNMessageBase& os : *entry.getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag)) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      const char* osName = kqlists::KnownOSName(osId);
      if (osName != nullptr) plan.AddOSFolder(OSFolder(root, releaseId, osId, osName), releaseId, osId, osName);
    }
  }
}

// The folders CalculateCheckSumForComplCacheFiles checksums, the additional-sync folder last.
static void PlanWholeCacheWalks(ChecksumBatch& batch, const CacheOpReq& request, const std::string& cachePath,
                                const std::vector<CNMessageBase>& asked) {
  AnswerWalkPlan plan(batch);
  const int hubRelease = GetRelIdFromIndex(0);
  for (int index = 0; index < 3; ++index) {
    const int releaseId = GetRelIdFromIndex(index);
    const std::string releaseName = GetNameFromIndex(index);
    if (releaseId <= 14 || releaseName.empty()) continue;
    const std::string root = ReleaseRoot(cachePath, releaseId, releaseName);
    for (const CNMessageBase& entry : asked) {
      if (entry.getint64(FilesForRel::kReleaseId) != releaseId) break;
      std::string releasePath = root;
      if (releaseId == hubRelease && entry.isSet(FilesForRel::kSPFolderName)) {
        const std::string folder = entry.getstring(FilesForRel::kSPFolderName);
        if (!folder.empty() && !kqlists::IsOneFolderName(folder)) continue;
        if (!folder.empty()) releasePath += "/" + folder;
      }
      for (int osId = 1; osId <= kLastOSId; ++osId) {
        if (osId == 2 || osId == 4 || osId == 5) continue;
        const char* osName = kqlists::KnownOSName(osId);
        if (osName != nullptr) plan.AddOSFolder(OSFolder(releasePath, releaseId, osId, osName), releaseId, osId, osName);
      }
    }
  }
  if (request.getint64(CacheOpReq::kCompleteExtraSteps) == 0 || request.getint64(CacheOpReq::kAdditionalSyncWanted) == 0)
    return;
  const RemClientInfo info = RemoteInfo(request);
  std::string path = info.getstring(RemClientInfo::kAdditionalSyncPath);
  if (IsUnix(static_cast<int>(info.getint64(RemClientInfo::kOSId))))
    UnixPath(path);
  else
    WinPath(path);
  UnixPath(path);
  batch.Add(path, "", false, true, false);
}

bool KQUpdateCache::CalculateCheckSumForCacheFiles(CacheOpReq& request, CacheOpReq& response) {
  static const char* const kTag = "[CalculateCheckSumForCacheFiles]";
  const std::vector<CNMessageBase>& asked = *static_cast<const CacheOpReq&>(request).getlistobject(CacheOpReq::kReleases);
  std::vector<CNMessageBase> answer;
  if (asked.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "No Release-OS vector is empty. Nothing to do");
    kqlists::MoveListInto(response, CacheOpReq::kReleases, std::move(answer));
    return true;
  }
  if (!VocabularyReady(kVocabReleases | kVocabOSTypes, kTag)) return false;
  CheckFilePoolHold poolHold(*this);
  std::string cachePath = RemoteInfo(request).getstring(RemClientInfo::kCachePath);
  const size_t media = cachePath.find("KQMedia");
  if (media != std::string::npos) cachePath.erase(media);
  ChecksumBatch batch(*this, poolHold.pool());
  if (batch.active()) PlanAskedReleaseWalks(batch, cachePath, asked);
  for (const CNMessageBase& entry : asked) {
    const int releaseId = static_cast<int>(entry.getint64(FilesForRel::kReleaseId));
    const std::string releaseName = GetRelNameFromId(releaseId);
    std::string root;
    if (!ReleaseToAnswer(*this, kTag, cachePath, releaseId, releaseName, root)) continue;
    std::vector<CNMessageBase> oses;
    for (const CNMessageBase& os : *entry.getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag)) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      const char* osName = kqlists::KnownOSName(osId);
      if (osName == nullptr) {
        m_event.DebugJob(1, kTag, m_jobId, "Bad OS ID [%d] passed for in request for release [%s]", osId,
                         releaseName.c_str());
        continue;
      }
      AnswerOSFolder(*this, kTag, OSFolder(root, releaseId, osId, osName), releaseId, releaseName, osId, osName,
                     "Computing file-checksum information for release [%s] os [%s] cache directory [%s]",
                     "Cache does not contain updates for release [%s] OS [%s]", response, oses);
    }
    if (oses.empty()) {
      m_event.DebugJob(1, kTag, m_jobId,
                       releaseId < kFirstMediaRelease
                           ? "Cache does not contain media for any OS type of release [%s] in [%s] directory"
                           : "Cache does not contain updates for any OS type of release [%s] in [%s] directory",
                       releaseName.c_str(), root.c_str());
      continue;
    }
    FilesForRel rel;
    rel.setint64(FilesForRel::kReleaseId, releaseId);
    kqlists::MoveListInto(rel, FilesForRel::kOSList, std::move(oses));
    answer.push_back(std::move(rel));
  }
  kqlists::MoveListInto(response, CacheOpReq::kReleases, std::move(answer));
  return true;
}

bool KQUpdateCache::CalculateCheckSumForComplCacheFiles(CacheOpReq& request, CacheOpReq& response) {
  static const char* const kTag = "[CalculateCheckSumForComplCacheFiles]";
  if (!VocabularyReady(kVocabReleases | kVocabOSTypes, kTag)) return false;
  const RemClientInfo info = RemoteInfo(request);
  const std::string cachePath = info.getstring(RemClientInfo::kCachePath);
  const int hubRelease = GetRelIdFromIndex(0);
  const std::string hubReleaseName = GetNameFromIndex(0);
  const std::vector<CNMessageBase>& asked = *static_cast<const CacheOpReq&>(request).getlistobject(CacheOpReq::kReleases);
  std::vector<CNMessageBase> answer;
  std::unordered_set<std::string> requestedFolders;
  CheckFilePoolHold poolHold(*this);
  ChecksumBatch batch(*this, poolHold.pool());
  if (batch.active()) PlanWholeCacheWalks(batch, request, cachePath, asked);

  for (int index = 0; index < 3; ++index) {
    const int releaseId = GetRelIdFromIndex(index);
    const std::string releaseName = GetNameFromIndex(index);
    std::string root;
    if (!ReleaseToAnswer(*this, kTag, cachePath, releaseId, releaseName, root)) continue;
    std::vector<CNMessageBase> oses;
    // The request's entries of this release, from its first entry on; the walk ends at the
    // first entry of another release.
    for (const CNMessageBase& entry : asked) {
      if (entry.getint64(FilesForRel::kReleaseId) != releaseId) break;
      m_event.DebugJob(1, kTag, m_jobId, "Calculating checksum for release id [%d] at path [%s]", releaseId,
                       root.c_str());
      std::string releasePath = root;
      if (releaseId == hubRelease) {
        oses.clear();
        m_event.DebugJob(2, kTag, m_jobId, "Processing HN release ID");
        if (entry.isSet(FilesForRel::kSPFolderName)) {
          const std::string folder = entry.getstring(FilesForRel::kSPFolderName);
          if (folder.empty()) {
            // Recording an empty name would list every folder of the release as obsolete.
            m_event.DebugJob(2, kTag, m_jobId, "SP folder name is empty");
          } else if (!kqlists::IsOneFolderName(folder)) {
            m_event.DebugJob(1, kTag, m_jobId, "SP folder name [%s] in the request is not one folder name, skipping it",
                             folder.c_str());
            continue;
          } else {
            m_event.DebugJob(2, kTag, m_jobId, "SP folder name is set to [%s] in the request", folder.c_str());
            requestedFolders.insert(folder);
            releasePath += "/" + folder;
            m_event.DebugJob(2, kTag, m_jobId, "Cache path after appending SP folder name [%s]", releasePath.c_str());
            if (!kqlists::IsFolderPresent(releasePath)) {
              m_event.DebugJob(1, kTag, m_jobId, "Cache [%s] does not contain updates for release [%s] in [%s]",
                               root.c_str(), releaseName.c_str(), releasePath.c_str());
              continue;
            }
          }
        }
      }
      for (int osId = 1; osId <= kLastOSId; ++osId) {
        if (osId == 2 || osId == 4 || osId == 5) continue;
        const char* osName = kqlists::KnownOSName(osId);
        if (osName == nullptr) continue;
        AnswerOSFolder(*this, kTag, OSFolder(releasePath, releaseId, osId, osName), releaseId, releaseName, osId,
                       osName, "Computing file-checksum information for release [%s], os [%s], cache directory [%s]",
                       "Cache does not contain updates for release [%s]  OS [%s] at path [%s]", response, oses);
      }
      if (oses.empty()) {
        m_event.DebugJob(1, kTag, m_jobId, "Cache does not contain updates for any OS type of release [%s] in [%s] directory",
                         releaseName.c_str(), releasePath.c_str());
        continue;
      }
      FilesForRel rel;
      rel.setint64(FilesForRel::kReleaseId, releaseId);
      // The Hubnode release starts each entry afresh; another release's entries add to the
      // folders answered for its earlier ones, which therefore stay while an entry of the
      // release follows.
      const bool releaseGoesOn = &entry + 1 != asked.data() + asked.size() &&
                                 (&entry)[1].getint64(FilesForRel::kReleaseId) == releaseId;
      if (releaseId == hubRelease || !releaseGoesOn)
        kqlists::MoveListInto(rel, FilesForRel::kOSList, std::move(oses));
      else
        rel.setlistobject(FilesForRel::kOSList, oses);
      if (entry.isSet(FilesForRel::kSPFolderName))
        rel.setstring(FilesForRel::kSPFolderName, entry.getstring(FilesForRel::kSPFolderName));
      if (const CNMessageBase* sp = entry.getObjectAccessor(FilesForRel::kSPVersion.index, FilesForRel::kSPVersion.tag))
        rel.setObjectAccessor(FilesForRel::kSPVersion, *sp);
      answer.push_back(std::move(rel));
    }
  }
  kqlists::MoveListInto(response, CacheOpReq::kReleases, std::move(answer));

  if (request.getint64(CacheOpReq::kCompleteExtraSteps) == 0) return true;

  if (!requestedFolders.empty()) {
    std::string mediaRoot = cachePath + "/KQMedia/" + hubReleaseName;
    UnixPath(mediaRoot);
    std::list<std::string> folders;
    if (!hubReleaseName.empty() && GetFolderList(mediaRoot, folders)) {
      std::vector<std::string> obsolete;
      for (const std::string& folder : folders) {
        if (requestedFolders.count(folder)) continue;
        m_event.DebugJob(2, kTag, m_jobId, "Need to delete obsolete feature release directory [%s] from remote cache",
                         folder.c_str());
        obsolete.push_back(folder);
      }
      if (!obsolete.empty()) response.setliststring(CacheOpReq::kObsoleteSPFolders, obsolete);
    }
  }

  if (request.getint64(CacheOpReq::kAdditionalSyncWanted) != 0) {
    std::string path = info.getstring(RemClientInfo::kAdditionalSyncPath);
    if (IsUnix(static_cast<int>(info.getint64(RemClientInfo::kOSId))))
      UnixPath(path);
    else
      WinPath(path);
    AdditionalSyncFilesList files;
    if (CalculateCheckSumForAdditionalSyncFiles(path, files)) response.setObjectAccessor(CacheOpReq::kAdditionalSyncFiles, files);
  }
  return true;
}

bool KQUpdateCache::CalculateFileCheckSumForOS(std::string osFolder, std::vector<File>& featureReleaseFiles,
                                               std::vector<File>& looseUpdateFiles, std::vector<File>& installerFiles,
                                               std::vector<BinaryV11>& mediaFiles, int releaseId, int osId) {
  static const char* const kTag = "[CalculateFileCheckSumForOS]";
  const bool unixForm = IsUnix(osId);
  if (releaseId >= kFirstMediaRelease) {
    m_event.DebugJob(1, kTag, m_jobId, "Calculating checksum information for V11 binary files from directory [%s]",
                     osFolder.c_str());
    if (!CalculateFileCksumForV11Media(osFolder, osId, mediaFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for V11 binary files in %s", osFolder.c_str());
      return false;
    }
    return true;
  }
  std::string spFolder = osFolder + "/ServicePacks";
  UnixPath(spFolder);
  _SPVersion highest;
  if (!GetHighestSP(highest, spFolder.c_str())) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to get highest feature release number from directory [%s]",
                     spFolder.c_str());
  } else if (highest.GetMajor() == 0) {
    m_event.DebugJob(1, kTag, m_jobId, "Feature Release directory [%s] is present but no feature release to load",
                     spFolder.c_str());
    return true;
  } else {
    std::string path = spFolder;
    FindNewSPPathForOS(osId, highest, path);
    if (kqlists::IsFolderPresent(path)) {
      m_event.DebugJob(1, kTag, m_jobId, "Calculating file-checksum for feature release files present in directory [%s]",
                       path.c_str());
      if (!CalculateFileCksumForDir(path, "", unixForm, true, featureReleaseFiles)) {
        m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for feature release files in %s", path.c_str());
        return false;
      }
    } else {
      m_event.DebugJob(1, kTag, m_jobId, "Update cache does not contain Feature Release folder [%s]", path.c_str());
    }
  }
  const std::string updates = osFolder + "/Updates";
  if (kqlists::IsFolderPresent(updates)) {
    m_event.DebugJob(1, kTag, m_jobId, "Calculating loose update file-checksum for files in [%s]", updates.c_str());
    if (!CalculateFileCksumForDir(updates, "", unixForm, true, looseUpdateFiles)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for loose updates [%s]", updates.c_str());
      return false;
    }
  } else {
    m_event.DebugJob(1, kTag, m_jobId, "Cache does not contain loose updates folder  [%s]", updates.c_str());
  }
  m_event.DebugJob(1, kTag, m_jobId, "Calculating file-checksum for installer files in [%s]", osFolder.c_str());
  if (!CalculateFileCksumForDir(osFolder, "", unixForm, false, installerFiles)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for installer files in [%s]", osFolder.c_str());
    return false;
  }
  return true;
}

bool KQUpdateCache::CalculateFileCksumForV11Media(std::string osFolder, int osId, std::vector<BinaryV11>& mediaFiles) {
  static const char* const kTag = "[CalculateFileCksumForV11Media]";
  const bool unixForm = IsUnix(osId);
  const char* osName = kqlists::KnownOSName(osId);
  if (osName == nullptr) {
    m_event.DebugJob(1, kTag, m_jobId, "Bad OS ID [%d] for [%s]", osId, osFolder.c_str());
    return false;
  }
  // The catalogue's relative paths, viewed in place in its file set.
  std::vector<BinaryV11> set;
  std::unordered_set<std::string_view, SeparatorBlindHash, SeparatorBlindEqual> known;
  std::string marker;
  if (unixForm) {
    marker = osFolder + "/" + osName;
  } else {
    std::vector<unsigned> none;
    if (!ComputeKQMedia(osFolder, osId, osId, static_cast<unsigned long>(m_jobId), none, set, true))
      m_event.DebugJob(1, kTag, m_jobId, "Failed to read the media files of [%s] for osId [%d]", osFolder.c_str(), osId);
    known.reserve(set.size());
    for (const BinaryV11& b : set) known.insert(b.getstringByRef(BinaryV11::kRelativePath));
    marker = osFolder + "/" + (osId == 1 ? "BinaryPayload32" : "BinaryPayload");
  }
  if (!isFilePresent(marker.c_str())) {
    m_event.DebugJob(1, kTag, m_jobId, "Cache %s doesn't present. Skipping osId[%d]", marker.c_str(), osId);
    return true;
  }
  std::list<std::string> folders;
  if (!GetFolderList(osFolder, folders)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to get the directories list under[%s]", osFolder.c_str());
    return false;
  }
  for (const std::string& folder : folders) {
    if ((osId == 1 && folder == "BinaryPayload") || (osId == 3 && folder == "BinaryPayload32")) continue;
    if (unixForm && folder != osName) continue;
    // A link to a folder is never walked: it may lead anywhere, also above the cache.
    SPxFileStat st;
    if (CPxFile::Lstat(osFolder + "/" + folder, st).IsError() || st.IsLink()) {
      m_event.DebugJob(1, kTag, m_jobId, "Not following [%s/%s]: a link or unreadable", osFolder.c_str(), folder.c_str());
      continue;
    }
    std::vector<BinaryV11> files;
    if (!CalculateFileCksumForDir(osFolder, folder, unixForm, true, files)) {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for media files in [%s]", folder.c_str());
      return false;
    }
    if (!unixForm && folder.find("BinaryPayload") == std::string::npos) {
      const bool verbose = m_event.GetDebugLevel() >= 10;
      files.erase(std::remove_if(files.begin(), files.end(),
                                 [&](const BinaryV11& f) {
                                   const std::string& name = f.getstringByRef(BinaryV11::kRelativePath);
                                   if (known.count(name)) return false;
                                   if (verbose)
                                     m_event.DebugJob(10, kTag, m_jobId,
                                                      "Removed %s from the file list as it's not present in BinaryInfo.xml for osId %d",
                                                      kqlists::WithSlashes(name).c_str(), osId);
                                   return true;
                                 }),
                  files.end());
    }
    AppendMoved(files, mediaFiles);
  }
  std::vector<BinaryV11> loose;
  if (!CalculateFileCksumForDir(osFolder, "", unixForm, false, loose)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for loose media files in [%s]", osFolder.c_str());
    return false;
  }
  AppendMoved(loose, mediaFiles);
  return true;
}

bool KQUpdateCache::CalculateCheckSumForAdditionalSyncFiles(std::string path, AdditionalSyncFilesList& out) {
  static const char* const kTag = "CalculateCheckSumForAdditionalSyncFiles";
  UnixPath(path);
  if (!kqlists::IsFolderPresent(path)) {
    m_event.DebugJob(2, kTag, m_jobId, "Additional sync path [%s] does not exists or is empty", path.c_str());
    return true;
  }
  m_event.DebugJob(2, kTag, m_jobId, "Calculating checksum for additonal sync path [%s]", path.c_str());
  std::vector<File> files;
  if (!CalculateFileCksumForDir(path, "", false, true, files)) {
    m_event.DebugJob(0, kTag, m_jobId, "Additonal sync file checksum calculation failed");
    return false;
  }
  out.setlistobject(AdditionalSyncFilesList::kFiles, kqlists::AsMessages(files));
  if (m_event.GetDebugLevel() > 9) {
    m_event.DebugJob(10, kTag, m_jobId, "List of Additonal sync file and their checksums");
    PrintFilesForAddSyncVec(out, true);
  }
  return true;
}

// Logs the File entries of a 1/1 list, framed; empty names the empty-list line.
static void PrintFileListMessage(KQUpdateCache& cache, const char* tag, const CNMessageBase& message,
                                 bool withChecksum, const char* empty) {
  EvDebug& log = cache.log();
  const long long job = static_cast<long long>(cache.jobId());
  log.DebugJob(1, tag, job, "%s", kFrame);
  const std::vector<CNMessageBase>* files = message.isSet(1) ? message.getlistobject(1, 1) : nullptr;
  if (files == nullptr || files->empty()) {
    log.DebugJob(1, tag, job, "%s", empty);
  } else {
    for (const CNMessageBase& f : *files) {
      if (withChecksum)
        log.DebugJob(1, tag, job, "Source Path [%s], checksum = [%s]", f.getstringByRef(File::kName).c_str(),
                     f.getstringByRef(File::kChecksum).c_str());
      else
        log.DebugJob(1, tag, job, "Source Path [%s]", f.getstringByRef(File::kName).c_str());
    }
  }
  log.DebugJob(1, tag, job, "%s", kFrame);
}

void KQUpdateCache::PrintApplianceFileVec(UpdatePatches::ApplianceFilesInfo files, bool withChecksum) {
  PrintFileListMessage(*this, "[PrintApplianceFileVec]", files, withChecksum, "Appliance file vector is empty");
}

void KQUpdateCache::PrintFilesForAddSyncVec(AdditionalSyncFilesList files, bool withChecksum) {
  PrintFileListMessage(*this, "[PrintFilesForAddSyncVec]", files, withChecksum,
                       "Files for additional Sync file vector is empty");
}

void KQUpdateCache::PrintFilesForRelVec(std::vector<FilesForRel>* releases) {
  static const char* const kTag = "[PrintFilesForRelVec]";
  m_event.DebugJob(1, kTag, m_jobId, "%s", kFrame);
  if (releases == nullptr || releases->empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "Files for release vector is empty");
    m_event.DebugJob(1, kTag, m_jobId, "%s", kFrame);
    return;
  }
  auto dump = [&](const char* title, const std::vector<CNMessageBase>& list, bool media) {
    if (list.empty()) return;
    m_event.DebugJob(1, kTag, m_jobId, title, list.size());
    for (const CNMessageBase& f : list)
      m_event.DebugJob(1, kTag, m_jobId, "[%s : %s]",
                       (media ? f.getstringByRef(BinaryV11::kRelativePath) : f.getstringByRef(File::kName)).c_str(),
                       (media ? f.getstringByRef(BinaryV11::kChecksum) : f.getstringByRef(File::kChecksum)).c_str());
  };
  for (const FilesForRel& rel : *releases) {
    const int releaseId = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
    m_event.DebugJob(1, kTag, m_jobId, "Release ID: [%d]", releaseId);
    if (rel.isSet(FilesForRel::kSPFolderName))
      m_event.DebugJob(1, kTag, m_jobId, "SP folder name : [%s]", rel.getstringByRef(FilesForRel::kSPFolderName).c_str());
    const std::vector<CNMessageBase>& oses = *rel.getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag);
    if (oses.empty()) m_event.DebugJob(1, kTag, m_jobId, "No OS types present for release [%d]", releaseId);
    for (const CNMessageBase& os : oses) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      const auto& fr = *os.getlistobject(FilesForOS::kSPFiles.index, FilesForOS::kSPFiles.tag);
      const auto& loose = *os.getlistobject(FilesForOS::kLooseUpdateFiles.index, FilesForOS::kLooseUpdateFiles.tag);
      const auto& installer = *os.getlistobject(FilesForOS::kInstallerFiles.index, FilesForOS::kInstallerFiles.tag);
      const auto& media = *os.getlistobject(FilesForOS::kMediaFiles.index, FilesForOS::kMediaFiles.tag);
      if (fr.empty() && loose.empty() && installer.empty() && media.empty()) {
        m_event.DebugJob(1, kTag, m_jobId,
                         releaseId >= kFirstMediaRelease ? "No media files present for OS [%d]" : "No update files present for OS [%d]",
                         osId);
        continue;
      }
      m_event.DebugJob(1, kTag, m_jobId, "OS ID: [%d]", osId);
      if (releaseId < kFirstMediaRelease) {
        dump("Servicepack files: [Count=%zu]", fr, false);
        dump("Loose Update files: [Count=%zu]", loose, false);
        dump("Installer files: [Count=%zu]", installer, false);
      } else {
        dump("Media files: [Count=%zu]", media, true);
      }
    }
  }
  m_event.DebugJob(1, kTag, m_jobId, "%s", kFrame);
}
