#include "CacheDeletionGuard.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Configuration/KQPlatformInfo.h"
#include "PortableFiles/SafePath.h"

namespace {

std::string Slashed(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::string WithoutTrailingSlashes(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// True when some '/'-separated component of `path` is "." or "..".
bool HasDotComponent(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

bool Refuse(std::string& why, const std::string& text) {
  why = text;
  errno = EINVAL;
  return false;
}

}  // namespace

bool CacheDeletionGuard::CheckDeletionFolder(const std::string& folder, std::string& why) {
  const std::string path = Slashed(folder);
  if (path.empty() || path[0] != '/')
    return Refuse(why, "Folder [" + folder + "] is not an absolute path");
  if (path.find('\0') != std::string::npos || path.find_first_not_of('/') == std::string::npos)
    return Refuse(why, "Folder [" + folder + "] is the file-system root");
  if (HasDotComponent(path))
    return Refuse(why, "Folder [" + folder + "] has a \".\" or \"..\" component");
  return true;
}

bool CacheDeletionGuard::CheckCacheRoot(const std::string& root, std::string& why) {
  if (!CheckDeletionFolder(root, why)) return false;
  std::string home;
  if (!KQPlatformInfo().getString("SoftwareCache", "dHOME", home) || home.empty()) return true;
  const std::string configured = WithoutTrailingSlashes(Slashed(home));
  const std::string asked = WithoutTrailingSlashes(Slashed(root));
  if (asked == configured) return true;
  const std::string prefix = configured == "/" ? configured : configured + "/";
  if (asked.compare(0, prefix.size(), prefix) == 0) return true;
  return Refuse(why, "Cache root [" + root + "] is outside the configured cache [" + home + "]");
}

bool CacheDeletionGuard::CheckDeletionName(const std::string& name, std::string& why) {
  if (!kq::IsSafeRelativeName(Slashed(name)))
    return Refuse(why, "Name [" + name + "] is empty, absolute or leaves its folder");
  return true;
}

bool CacheDeletionGuard::CheckMediaFolder(const std::string& root, const std::string& path,
                                          std::string& rel, std::string& why) {
  if (!CheckDeletionFolder(root, why) || !CheckDeletionFolder(path, why)) return false;
  const std::string media = WithoutTrailingSlashes(Slashed(root)) + "/KQMedia/";
  const std::string asked = WithoutTrailingSlashes(Slashed(path));
  if (asked.size() <= media.size() || asked.compare(0, media.size(), media) != 0)
    return Refuse(why, "Folder [" + path + "] is not below [" + media + "]");
  const std::string below = asked.substr(media.size());
  const size_t slash = below.find('/');
  if (slash == std::string::npos || slash == 0 || below.find('/', slash + 1) != std::string::npos ||
      slash + 1 >= below.size())
    return Refuse(why, "Folder [" + path + "] is not a release's feature-release folder");
  rel = below;
  return true;
}

bool CacheDeletionGuard::CheckFolderBelow(const std::string& root, const std::string& folder,
                                          std::string& why) {
  if (!CheckDeletionFolder(root, why) || !CheckDeletionFolder(folder, why)) return false;
  const std::string top = WithoutTrailingSlashes(Slashed(root));
  const std::string path = WithoutTrailingSlashes(Slashed(folder));
  if (path == top) return true;
  if (path.compare(0, top.size() + 1, top + "/") != 0)
    return Refuse(why, "Folder [" + folder + "] is not below [" + root + "]");
  size_t at = top.size() + 1;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string level = path.substr(0, end);
    struct stat st;
    if (lstat(level.c_str(), &st) != 0) return true;  // nothing below a missing level
    if (!S_ISDIR(st.st_mode))
      return Refuse(why, "Folder [" + level + "] is a link or not a folder");
    at = end + 1;
  }
  return true;
}

bool CacheDeletionGuard::RemoveNameUnder(const std::string& folder, const std::string& name,
                                         std::string& why) {
  if (!CheckDeletionFolder(folder, why) || !CheckDeletionName(name, why)) return false;
  std::string err;
  if (kq::RemoveUnder(Slashed(folder), Slashed(name), &err)) return true;
  const int saved = errno;
  why = err.empty() ? "Refused to remove [" + name + "] below [" + folder + "]" : err;
  errno = saved;
  return false;
}

namespace {

// One post-order pass: sub-folders first, then the folder itself when `removeSelf`.
// Returns false on the first failure (the scan of that folder ends there).
bool PruneEmpty(const std::string& path, bool removeSelf, std::string& why) {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    why = "Failed to open directory [" + path + "]. Error: [" + std::to_string(errno) + "]";
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string child = path + "/" + name;
    struct stat st;
    if (lstat(child.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;  // links are never entered
    if (!PruneEmpty(child, name != "KQMedia", why)) return false;
  }
  if (!removeSelf) return true;
  if (rmdir(path.c_str()) == 0 || errno == ENOTEMPTY || errno == EEXIST || errno == ENOENT)
    return true;
  why = "Failed to remove empty directory [" + path + "] with errno [" + std::to_string(errno) + "]";
  return false;
}

}  // namespace

bool CacheDeletionGuard::RemoveEmptySubFolders(const std::string& folder, std::string& why) {
  if (folder.empty()) return true;
  const std::string path = WithoutTrailingSlashes(Slashed(folder));
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  if (!CheckDeletionFolder(path, why)) return false;
  return PruneEmpty(path, false, why);
}
