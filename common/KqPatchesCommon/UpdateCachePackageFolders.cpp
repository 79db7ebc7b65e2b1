// Package-folder differences: which package folders and loose files a destination cache lacks
// or holds in an older state than a source cache, judged by the stamps of two inventories, with
// the bytes to bring over read from the source folders; and which folders of a remote cache no
// local list names.
//
// Paths are walked and cut in '/' form; inventory names match whatever separator they carry.
// Names from an inventory are read below the base folder only when they stay below it.
#include <sys/stat.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PortableFiles/SafePath.h"
#include "StringUtils.h"

using UpdatePatches::PackageInfo;
using UpdatePatches::PackagesAtCache;
using UpdatePatches::PackagesForOS;

namespace {

constexpr int kWindowsMain = 1;
constexpr int kUnixMain = 2;

std::string Unix(std::string path) {
  UnixPath(path);
  return path;
}

std::string Win(std::string path) {
  WinPath(path);
  return path;
}

// The platform folders that stand for the files directly inside them.
bool IsTopFolder(const std::string& lowerName) {
  return lowerName == "windows" || lowerName == "windows/win32" ||
         lowerName == "windows/winx64" || lowerName == "unix";
}

const std::vector<CNMessageBase>& OsEntries(const PackagesAtCache& packages) {
  return *packages.getlistobject(PackagesAtCache::kOSList);
}

const std::vector<CNMessageBase>& FoldersOf(const CNMessageBase& os) {
  return *os.getlistobject(PackagesForOS::kPackages);
}

unsigned long long StampOf(const CNMessageBase& info) {
  return static_cast<unsigned long long>(info.getint64(PackageInfo::kTimestamp));
}

PackageInfo MakeInfo(const std::string& name, unsigned long long stamp) {
  PackageInfo info;
  info.setstring(PackageInfo::kFolderPath, name);
  info.setint64(PackageInfo::kTimestamp, static_cast<long long>(stamp));
  return info;
}

}  // namespace

bool KQUpdateCache::IsPackageCacheEmpty(PackagesAtCache packages) {
  for (const CNMessageBase& os : OsEntries(packages))
    if (os.isSet(PackagesForOS::kPackages) && !FoldersOf(os).empty()) return false;
  return true;
}

void KQUpdateCache::GetTimeStampOfFolder(PackageInfo& folder, PackagesAtCache& packages,
                                         unsigned long long& timestamp, int osId) {
  timestamp = 0;
  const std::string wanted = Unix(folder.getstring(PackageInfo::kFolderPath));
  for (const CNMessageBase& os : OsEntries(packages)) {
    if (os.getint64(PackagesForOS::kOSId) != osId) continue;
    for (const CNMessageBase& info : FoldersOf(os)) {
      if (!info.isSet(PackageInfo::kFolderPath)) continue;
      if (Unix(info.getstring(PackageInfo::kFolderPath)) != wanted) continue;
      timestamp = StampOf(info);
      return;
    }
  }
}

bool KQUpdateCache::GetTimeStampOfFolder(std::string& path, PackagesAtCache& packages,
                                         unsigned long long& timestamp, int osId) {
  // The walk cuts at '/' on the '/' form, whichever separator the caller's path carries.
  std::string form = Unix(path);
  while (!form.empty()) {
    PackageInfo probe = MakeInfo(form, 0);
    GetTimeStampOfFolder(probe, packages, timestamp, osId);
    if (timestamp != 0) {
      const std::string found = Win(form);
      if (Win(path) != found) path = found;
      return true;
    }
    const size_t cut = form.rfind('/');
    form = cut == std::string::npos ? std::string() : form.substr(0, cut);
  }
  timestamp = 0;
  return false;
}

bool KQUpdateCache::checkForTheParent(std::list<std::string>& folders, std::string path) {
  // A listed folder covers itself and what lies below it, by whole path components: "Pkg"
  // does not cover "Pkg2" nor "Other/Pkg/x".
  const std::string wanted = Unix(path);
  for (const std::string& entry : folders) {
    const std::string parent = Unix(entry);
    if (parent == wanted) return true;
    if (!parent.empty() && wanted.compare(0, parent.size() + 1, parent + "/") == 0) return true;
  }
  return false;
}

bool KQUpdateCache::computeLooseFiles(std::string full, std::string name,
                                      std::list<std::string>& files, unsigned long long& size) {
  static const char* const kTag = "[computeLooseFiles]";
  struct stat st;
  if (stat(full.c_str(), &st) != 0) {
    m_event.DebugJob(1, kTag, m_jobId, "Cannot read the status of [%s]", full.c_str());
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    size += static_cast<unsigned long long>(st.st_size);
    return true;
  }
  std::list<std::string> entries;
  if (!GetFileList(full, entries)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to open directory [%s]", full.c_str());
    return false;
  }
  for (const std::string& entry : entries) {
    if (entry.empty() || entry[0] == '.') continue;
    struct stat es;
    if (stat((full + "/" + entry).c_str(), &es) != 0 || S_ISDIR(es.st_mode)) continue;
    files.push_back(name + "/" + entry);
    size += static_cast<unsigned long long>(es.st_size);
  }
  return true;
}

bool KQUpdateCache::ComputeMissingFolders(PackagesAtCache& src, PackagesAtCache dst,
                                          std::list<std::string>& folders,
                                          std::list<std::string>& files, std::string base,
                                          unsigned long long& size) {
  static const char* const kTag = "[ComputeMissingFolders]";
  if (IsPackageCacheEmpty(src)) return true;
  const bool dstEmpty = IsPackageCacheEmpty(dst);
  for (const CNMessageBase& os : OsEntries(src)) {
    const int osId = static_cast<int>(os.getint64(PackagesForOS::kOSId));
    for (const CNMessageBase& entry : FoldersOf(os)) {
      PackageInfo folder(entry);
      const std::string name = folder.getstring(PackageInfo::kFolderPath);
      if (!dstEmpty) {
        unsigned long long have = 0;
        GetTimeStampOfFolder(folder, dst, have, osId);
        if (StampOf(folder) <= have) continue;  // up to date
      }
      // Inventories come from other caches: a name must stay below the package cache.
      if (!kq::IsSafeRelativeName(name)) {
        m_event.DebugJob(1, kTag, m_jobId, "Skipping package folder [%s]: it leaves [%s]",
                         name.c_str(), base.c_str());
        continue;
      }
      const std::string full = base + "/" + name;
      const std::string lower = ToLowerCase(name.c_str());
      if (IsTopFolder(lower)) {
        unsigned long long local = 0;
        if (!computeLooseFiles(full, lower, files, local)) return false;
        size += local;
        continue;
      }
      if (checkForTheParent(folders, name)) {
        m_event.DebugJob(10, kTag, m_jobId,
                         "Parent for the path %s already exists in the missingfolders list.",
                         name.c_str());
        continue;
      }
      unsigned long long local = 0;
      if (GetDirectorySize(full.c_str(), local) && local != 0) size += local;
      folders.push_back(name);
    }
  }
  return true;
}

bool KQUpdateCache::ComputeMissingRedFolders(PackagesAtCache& stamps, PackagesAtCache& src,
                                             std::list<std::string> first,
                                             std::list<std::string> second,
                                             std::list<std::string>& folders,
                                             std::list<std::string>& files, std::string base,
                                             unsigned long long& size) {
  static const char* const kTag = "[ComputeMissingRedFolders]";
  std::vector<std::string> windows, unix_;
  for (const std::string& path : first)
    (path.find("Windows") != std::string::npos ? windows : unix_).push_back(path);
  for (const std::string& q : second) {
    // A file stands for its folder; the parent is cut on the '/' form, then written with '\'.
    std::string folder = Unix(q);
    const std::string full = base + "/" + folder;
    if (!IsADirectory(full.c_str())) {
      const size_t cut = folder.rfind('/');
      if (cut != std::string::npos) folder.erase(cut);
    }
    const std::string p = Win(folder);
    std::vector<std::string>& list = q.find("Windows") != std::string::npos ? windows : unix_;
    if (std::find(list.begin(), list.end(), p) == list.end()) list.push_back(p);
  }

  std::vector<CNMessageBase> oses;
  for (int mainOs : {kWindowsMain, kUnixMain}) {
    std::vector<CNMessageBase> infos;
    for (const std::string& e : mainOs == kWindowsMain ? windows : unix_) {
      std::string p = Win(e);
      unsigned long long stamp = 0;
      GetTimeStampOfFolder(p, stamps, stamp, mainOs);
      if (p != Win(e))
        m_event.DebugJob(1, kTag, m_jobId,
                         "TimeStamp file is not present at %s. Entire %s will be copied if needed.",
                         Win(e).c_str(), p.c_str());
      infos.push_back(MakeInfo(p, stamp));
    }
    PackagesForOS os;
    os.setint64(PackagesForOS::kOSId, mainOs);
    os.setlistobject(PackagesForOS::kPackages, infos);
    oses.push_back(os);
  }
  PackagesAtCache reduced;
  reduced.setlistobject(PackagesAtCache::kOSList, oses);
  if (!ComputeMissingFolders(src, reduced, folders, files, base, size)) {
    m_event.DebugJob(1, kTag, m_jobId, "Failed to compute the reduced missing files and folders");
    return false;
  }
  return true;
}

int KQUpdateCache::ComputeExtraFolders(PackagesAtCache& remote, std::list<std::string> a,
                                       std::list<std::string> b, std::list<std::string>& extra) {
  if (!remote.isSet(PackagesAtCache::kOSList)) return 1;
  std::vector<std::string> local;
  for (const std::list<std::string>* list : {&a, &b})
    for (const std::string& entry : *list) local.push_back(Unix(entry));
  for (const CNMessageBase& os : OsEntries(remote)) {
    for (const CNMessageBase& info : FoldersOf(os)) {
      if (!info.isSet(PackageInfo::kFolderPath)) continue;
      const std::string folder = Unix(info.getstring(PackageInfo::kFolderPath));
      const bool named = std::any_of(local.begin(), local.end(), [&](const std::string& entry) {
        return entry.find(folder) != std::string::npos;
      });
      if (!named) extra.push_back(folder);
    }
  }
  return 1;
}
