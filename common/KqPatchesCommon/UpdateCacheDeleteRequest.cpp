// Deleting the files a request names per release and operating system
// (KQUpdateCache::DeleteLocalCacheContents), in two steps with the plan as data between them:
// PlanDeletion() decides, before anything is deleted, which folders each operating system's
// files go from and which folder it prunes of its empty folders; DeletionRun deletes system by
// system in request order and prunes each one's folder right after it, so that a failing
// pruning ends the request before any later system's removals, as separate requests would.
//
// A folder that several systems prune is still walked whole once, by the first of them: after
// that pruning no empty folder is left below it but above the names removed since, so a later
// pruning of the same folder enters only those (and the tree left is the same).
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CacheDeletionGuard.h"
#include "CachePaths.h"
#include "HostIdentity.h"
#include "KQUpdateCache.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "UpdateCacheDeleteInternal.h"
#include "UpdateNames.h"
#include "Vocabulary.h"

using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::CacheOpReq;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;
using kqdelete::Below;
using kqdelete::Unix;

namespace {

const char kTag[] = "[DeleteLocalCacheContents]";
const long long kDeletePackageCacheFiles = 9;

// What one operating system of one release of a request deletes, decided before anything is
// deleted. Folders are relative to the request's cache root ("" is the root itself).
struct SystemStep {
  enum Kind {
    kNoSystems,  // the release names no operating system: nothing to do
    kNothing,    // no files named: nothing to delete, nothing to prune
    kNoFolder,   // files named, but the release or the operating system has no cache folder
    kMedia,      // media files below `media`
    kInstall,    // feature-release, loose-update and installer files below `base`
  };
  Kind kind = kNothing;
  int releaseId = 0;
  int osId = 0;
  bool mediaList = false;  // the system came with a media list (release ids above 15)
  std::string frFolder;    // the release's feature-release folder, "" when it has none
  std::string base;        // pruned of empty folders once the files are gone
  std::string media;       // kMedia: the folder the media files are named relative to
  std::vector<File> mediaFiles, frFiles, looseFiles, installerFiles;
};

// A request's steps, in request order.
struct DeletionPlan {
  std::vector<SystemStep> steps;
};

SystemStep StepOf(const std::string& root, long long operation, int releaseId,
                  const std::string& releaseName, const std::string& frFolder,
                  const CNMessageBase& os) {
  SystemStep step;
  step.releaseId = releaseId;
  step.osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
  step.frFolder = frFolder;
  step.mediaList = releaseId > 15 && os.isSet(FilesForOS::kMediaFiles);
  if (step.mediaList) {
    step.mediaFiles = kqdelete::MediaFilesAsFiles(os);
    if (step.mediaFiles.empty()) return step;
    step.kind = SystemStep::kMedia;
    if (root.find("KQMedia") == std::string::npos) {
      std::string why;
      if (releaseName.empty() ||
          (!frFolder.empty() && !CacheDeletionGuard::CheckDeletionName(frFolder, why))) {
        step.kind = SystemStep::kNoFolder;
        return step;
      }
      step.media = Unix("KQMedia/" + releaseName + "/" + (frFolder.empty() ? "" : frFolder + "/") +
                        (IsUnix(step.osId) ? "Unix" : "Windows"));
    }
    return step;
  }
  step.frFiles = kqdelete::FilesOf(os, FilesForOS::kSPFiles);
  step.looseFiles = kqdelete::FilesOf(os, FilesForOS::kLooseUpdateFiles);
  step.installerFiles = kqdelete::FilesOf(os, FilesForOS::kInstallerFiles);
  if (step.frFiles.empty() && step.looseFiles.empty() && step.installerFiles.empty()) return step;
  step.kind = SystemStep::kInstall;
  if (operation == kDeletePackageCacheFiles) return step;  // the root itself
  std::string below;
  if (releaseName.empty() || !FindInstallUpdPathForOS(releaseId, step.osId, below)) {
    step.kind = SystemStep::kNoFolder;
    return step;
  }
  below = Unix(below);
  const size_t start = below.find_first_not_of('/');
  step.base = start == std::string::npos ? std::string() : below.substr(start);
  return step;
}

DeletionPlan PlanDeletion(const std::vector<CNMessageBase>& releases, const std::string& root,
                          long long operation) {
  DeletionPlan plan;
  long long hnRelease = -1;  // asked for when a release first names a feature-release folder
  for (const CNMessageBase& rel : releases) {
    const int releaseId = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
    const std::vector<CNMessageBase>& oses = *rel.getlistobject(FilesForRel::kOSList);
    if (oses.empty()) {
      SystemStep none;
      none.kind = SystemStep::kNoSystems;
      none.releaseId = releaseId;
      plan.steps.push_back(none);
      continue;
    }
    const std::string releaseName = GetRelNameFromId(releaseId);
    std::string frFolder;
    if (rel.isSet(FilesForRel::kSPFolderName)) {
      if (hnRelease < 0) hnRelease = static_cast<long long>(getHNReleaseID());
      if (releaseId == hnRelease) frFolder = rel.getstring(FilesForRel::kSPFolderName);
    }
    for (const CNMessageBase& os : oses)
      plan.steps.push_back(StepOf(root, operation, releaseId, releaseName, frFolder, os));
  }
  return plan;
}

// Carries out a DeletionPlan below the cache root open at `rootFd` (shown as `root`), for one
// call of DeleteLocalCacheContents; the caller keeps the descriptor open meanwhile. Every folder
// is opened from that descriptor, level by level, without following links.
class DeletionRun {
 public:
  DeletionRun(EvDebug& log, unsigned long long job, const std::string& root, int rootFd)
      : log_(log), job_(job), root_(root), rootFd_(rootFd) {}

  // The steps in order; false at the first failing one (what went before stays deleted).
  bool Run(const DeletionPlan& plan);

 private:
  bool DeleteSystemFiles(const SystemStep& step);
  bool DeleteFeatureReleaseFiles(const SystemStep& step, std::vector<File> files);
  // Deletes `files` below the folder `rel`; the names removed are remembered in removed_.
  bool DeleteList(const std::string& rel, std::vector<File> files);
  // Prunes `base` of its empty folders: whole the first time, then only above what went since.
  bool Prune(const std::string& base);
  // The folders above the names removed_ holds from index `from` on.
  CacheDeletionGuard::KeptFolders FoldersAboveRemovedNames(size_t from) const;
  std::string Full(const std::string& rel) const { return rel.empty() ? root_ : root_ + "/" + rel; }

  EvDebug& log_;
  const unsigned long long job_;
  const std::string root_;
  const int rootFd_;
  // This run's removals, in order: the folder (relative to the root) and the name removed there.
  std::vector<std::pair<std::string, std::string>> removed_;
  // Each base pruned so far, with the number of removals made before its last pruning.
  std::map<std::string, size_t> pruned_;
};

bool DeletionRun::Run(const DeletionPlan& plan) {
  for (const SystemStep& step : plan.steps) {
    switch (step.kind) {
      case SystemStep::kNoSystems:
        log_.DebugJob(1, kTag, job_, "OS list is empty for release ID [%d], nothing to do",
                      step.releaseId);
        continue;
      case SystemStep::kNothing:
        log_.DebugJob(1, kTag, job_, "File list is empty for Rel [%d] OS ID [%d]", step.releaseId,
                      step.osId);
        continue;
      case SystemStep::kNoFolder:
        if (step.mediaList)
          log_.DebugJob(0, kTag, job_,
                        "Refused to delete media files of Rel [%d] OS ID [%d]: no release name or "
                        "a bad feature release folder [%s]",
                        step.releaseId, step.osId, step.frFolder.c_str());
        else
          log_.DebugJob(0, kTag, job_,
                        "Refused to delete files of Rel [%d] OS ID [%d]: the release or the "
                        "operating system has no cache folder",
                        step.releaseId, step.osId);
        return false;
      case SystemStep::kMedia:
      case SystemStep::kInstall:
        break;
    }
    if (!DeleteSystemFiles(step) || !Prune(step.base)) return false;
  }
  return true;
}

bool DeletionRun::DeleteSystemFiles(const SystemStep& step) {
  if (step.kind == SystemStep::kMedia) {
    log_.DebugJob(1, kTag, job_, "Deleting binary files from [%s]", Full(step.media).c_str());
    if (DeleteList(step.media, step.mediaFiles)) return true;
    log_.DebugJob(1, kTag, job_, "Failed to delete binary files from [%s]",
                  Full(step.media).c_str());
    return false;
  }
  if (!step.frFiles.empty() && !DeleteFeatureReleaseFiles(step, step.frFiles)) return false;
  const std::string updates = Below(step.base, "Updates");
  log_.DebugJob(1, kTag, job_, "Deleting additional loose update files from [%s]",
                Full(updates).c_str());
  if (!step.looseFiles.empty() && !DeleteList(updates, step.looseFiles)) {
    log_.DebugJob(1, kTag, job_, "Failed to delete additional loose update files from [%s]",
                  Full(updates).c_str());
    return false;
  }
  log_.DebugJob(1, kTag, job_, "Deleting additional installer files from [%s]",
                Full(step.base).c_str());
  if (!step.installerFiles.empty() && !DeleteList(step.base, step.installerFiles)) {
    log_.DebugJob(1, kTag, job_, "Failed to delete additional installer files from [%s]",
                  Full(step.base).c_str());
    return false;
  }
  return true;
}

bool DeletionRun::DeleteFeatureReleaseFiles(const SystemStep& step, std::vector<File> files) {
  const std::string servicePacks = Below(step.base, "ServicePacks");
  _SPVersion highest;
  if (!GetHighestSP(highest, Full(servicePacks).c_str())) {
    log_.DebugJob(1, kTag, job_, "Failed to get highest feature release number from directory [%s]",
                  Full(servicePacks).c_str());
    return false;
  }
  std::string folder = servicePacks;
  if (!FindNewSPPathForOS(step.osId, highest, folder)) {
    log_.DebugJob(0, kTag, job_, "Refused to delete feature release files for OS ID [%d] from [%s]",
                  step.osId, Full(folder).c_str());
    return false;
  }
  folder = Unix(folder);
  log_.DebugJob(1, kTag, job_, "Deleting additional feature release files from [%s]",
                Full(folder).c_str());
  if (DeleteList(folder, std::move(files))) return true;
  log_.DebugJob(1, kTag, job_, "Failed to delete additional feature release files from [%s]",
                Full(folder).c_str());
  return false;
}

bool DeletionRun::DeleteList(const std::string& rel, std::vector<File> files) {
  std::string why;
  const kq::ScopedFd folder(kqdelete::OpenDeletionFolder(rootFd_, root_, rel, why));
  if (!folder.valid() && !why.empty()) {
    log_.DebugJob(0, kTag, job_, "Refused to delete from [%s]: %s", Full(rel).c_str(), why.c_str());
    return false;
  }
  std::vector<std::string> names;
  const bool ok =
      kqdelete::DeleteNamedFiles(log_, job_, folder.get(), Full(rel), &files, &names);
  for (const std::string& name : names) removed_.emplace_back(rel, name);
  return ok;
}

bool DeletionRun::Prune(const std::string& base) {
  const auto last = pruned_.find(base);
  const bool before = last != pruned_.end();
  const CacheDeletionGuard::KeptFolders changed =
      before ? FoldersAboveRemovedNames(last->second) : CacheDeletionGuard::KeptFolders();
  pruned_[base] = removed_.size();
  std::string why;
  const kq::ScopedFd folder(kqdelete::OpenDeletionFolder(rootFd_, root_, base, why));
  std::vector<std::string> removed;
  bool ok = false;
  if (!folder.valid() && !why.empty()) {
    log_.DebugJob(0, kTag, job_, "Refused to delete from [%s]: %s", Full(base).c_str(),
                  why.c_str());
  } else {
    ok = CacheDeletionGuard::RemoveEmptySubFoldersAt(folder.get(), Full(base), why, &removed,
                                                     nullptr, before ? &changed : nullptr);
    ok = kqdelete::ReportPrune(log_, job_, ok, removed, why);
  }
  if (!ok)
    log_.DebugJob(1, kTag, job_, "Failed to delete empty folders recursively from [%s]",
                  Full(base).c_str());
  return ok;
}

// Every folder that still exists from the root down to the folder that held a name removed at
// or after `from`: the only folders those removals may have emptied.
CacheDeletionGuard::KeptFolders DeletionRun::FoldersAboveRemovedNames(size_t from) const {
  std::set<std::vector<std::string>> holders;  // each folder that held one, by its levels
  for (size_t i = from; i < removed_.size(); ++i) {
    std::vector<std::string> levels = kq::NameComponents(removed_[i].first);
    const std::vector<std::string> name = kq::NameComponents(removed_[i].second);
    levels.insert(levels.end(), name.begin(), name.end() - (name.empty() ? 0 : 1));
    holders.insert(std::move(levels));
  }
  CacheDeletionGuard::KeptFolders folders;
  for (const std::vector<std::string>& levels : holders) {
    kq::ScopedFd at(rootFd_ < 0 ? -1 : kq::OpenFolderUnder(rootFd_, "", true));
    for (const std::string& level : levels) {
      if (!at.valid()) break;
      at.reset(kq::OpenFolderUnder(at.get(), level, true));
      struct stat st;
      if (at.valid() && fstat(at.get(), &st) == 0) folders.insert({st.st_dev, st.st_ino});
    }
  }
  return folders;
}

// Steps 4 and 5 of a request: its additional-sync and appliance files, whose failures are
// logged and leave the request's result alone.
void DeleteSideLists(KQUpdateCache& cache, const CacheOpReq& request) {
  EvDebug& log = cache.log();
  const unsigned long long job = cache.jobId();
  if (!kqdelete::ObjectFiles(request, CacheOpReq::kAdditionalSyncFiles,
                             AdditionalSyncFilesList::kFiles)
           .empty()) {
    log.DebugJob(2, kTag, job,
                 "Additional sync files to delete list is non empty. Try to delete files from "
                 "addtioanl sync file list");
    if (cache.DeleteLocalCacheAdditionalSyncContents(request))
      log.DebugJob(2, kTag, job, "Successfully deleted addtional sync files");
    else
      log.DebugJob(0, kTag, job, "Failed to delete additonal sync files");
  }
  if (!kqdelete::ObjectFiles(request, CacheOpReq::kApplianceFiles, ApplianceFilesInfo::kFiles)
           .empty()) {
    log.DebugJob(2, kTag, job,
                 "Appliance files to delete list is non empty. Try to delete files from "
                 "appliance file list");
    if (cache.DeleteLocalCacheApplianceContents(request))
      log.DebugJob(2, kTag, job, "Successfully deleted appliance files");
    else
      log.DebugJob(0, kTag, job, "Failed to delete appliance files");
  }
}

}  // namespace

bool KQUpdateCache::DeleteLocalCacheContents(CacheOpReq request) {
  const std::string root =
      Unix(kqdelete::RemoteInfo(request).getstring(RemClientInfo::kCachePath));
  const std::vector<CNMessageBase>& releases =
      *static_cast<const CacheOpReq&>(request).getlistobject(CacheOpReq::kReleases);
  if (releases.empty()) {
    m_event.DebugJob(1, kTag, m_jobId, "Release and OS list is empty");
  } else {
    if (!VocabularyReady(kVocabReleases | kVocabOSTypes, kTag)) return false;
    // Every folder deleted from is reached from this descriptor of the root, never by its path.
    std::string why;
    const kq::ScopedFd rootFolder(CacheDeletionGuard::OpenCacheRoot(root, why));
    if (!rootFolder.valid() && !why.empty()) {
      m_event.DebugJob(0, kTag, m_jobId, "Refused to delete from cache root [%s]: %s",
                       root.c_str(), why.c_str());
      return false;
    }
    const DeletionPlan plan =
        PlanDeletion(releases, root, request.getint64(CacheOpReq::kOperationCode));
    if (!DeletionRun(m_event, m_jobId, root, rootFolder.get()).Run(plan)) return false;
  }
  DeleteSideLists(*this, request);
  return true;
}
