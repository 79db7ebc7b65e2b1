#include "CacheDeletionGuard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Configuration/IniStore.h"
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

namespace {

// Where `root` lies against the existing folder `home` (device and inode): its components are
// opened one at a time from "/", links followed until the folder reached is `home`, and from
// there on with O_NOFOLLOW. kInside when `home` was reached and every level after it is a real
// folder; kMissing when `home` was reached and a level after it does not exist (nothing below it
// exists, so nothing there can be deleted); kLinked when a link or a non-folder follows `home`;
// kOutside when `home` was never reached.
enum class RootPlace { kInside, kMissing, kLinked, kOutside, kFailed };

// With `held` not null, a root reached whole (kInside) is left open there (O_PATH); else -1.
RootPlace PlaceOfRoot(const std::string& root, const struct stat& home, std::string& level,
                      int* held = nullptr) {
  if (held != nullptr) *held = -1;
  int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return RootPlace::kFailed;
  level = "";
  bool reached = false;
  RootPlace place = RootPlace::kOutside;
  size_t at = 0;
  for (;;) {
    struct stat st;
    if (!reached && fstat(fd, &st) == 0 && st.st_dev == home.st_dev && st.st_ino == home.st_ino)
      reached = true;
    while (at < root.size() && root[at] == '/') ++at;
    if (at >= root.size()) {
      place = reached ? RootPlace::kInside : RootPlace::kOutside;
      if (reached && held != nullptr) {
        *held = fd;
        return place;
      }
      break;
    }
    size_t end = root.find('/', at);
    if (end == std::string::npos) end = root.size();
    const std::string part = root.substr(at, end - at);
    level = root.substr(0, end);
    at = end;
    // Below the home, each level is opened as whatever it is (a link as the link itself).
    const int flags = O_PATH | O_CLOEXEC | (reached ? O_NOFOLLOW : O_DIRECTORY);
    int next = openat(fd, part.c_str(), flags);
    struct stat nst;
    if (next >= 0 && reached && (fstat(next, &nst) != 0 || !S_ISDIR(nst.st_mode))) {
      close(next);
      next = -1;
      errno = ENOTDIR;
    }
    if (next < 0) {
      const int e = errno;
      struct stat lst;
      if (e == ENOENT) {
        place = reached ? RootPlace::kMissing : RootPlace::kOutside;
      } else if (reached && (e == ENOTDIR || e == ELOOP)) {
        place = RootPlace::kLinked;
      } else if (e == ENOTDIR && fstatat(fd, part.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 &&
                 !S_ISLNK(lst.st_mode)) {
        place = RootPlace::kOutside;  // a file: nothing below it
      } else {
        place = RootPlace::kFailed;
      }
      break;
    }
    close(fd);
    fd = next;
  }
  close(fd);
  return place;
}

}  // namespace

bool CacheDeletionGuard::CheckCacheRoot(const std::string& root, std::string& why) {
  return CheckCacheRoot(root, why, nullptr);
}

int CacheDeletionGuard::OpenCacheRoot(const std::string& root, std::string& why) {
  why.clear();
  int fd = -1;
  if (!CheckCacheRoot(root, why, &fd)) return -1;
  if (fd >= 0) return fd;
  errno = ENOENT;
  return -1;
}

bool CacheDeletionGuard::CheckCacheRoot(const std::string& root, std::string& why, int* held) {
  if (held != nullptr) *held = -1;
  if (!CheckDeletionFolder(root, why)) return false;
  // Without a home folder to hold on to, the root is opened as it is (links in it followed).
  auto openAsIs = [&]() {
    if (held == nullptr) return true;
    *held = open(WithoutTrailingSlashes(Slashed(root)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*held >= 0 || errno == ENOENT) return true;
    return Refuse(why, "Cache root [" + root + "] cannot be opened, errno [" +
                           std::to_string(errno) + "]");
  };
  // One reading of the store: a store refused names no home, but is no store without one.
  const auto store = kqconfig::IniStore::Default().snapshot();
  if (!store->refused.empty())
    return Refuse(why, "Cache root [" + root + "] cannot be checked: " + store->refused);
  const std::string* configuredHome = store->find("SoftwareCache", "dHOME");
  if (configuredHome == nullptr || configuredHome->empty()) return openAsIs();
  const std::string home = *configuredHome;
  const std::string configured = WithoutTrailingSlashes(Slashed(home));
  const std::string asked = WithoutTrailingSlashes(Slashed(root));
  struct stat homeStat;
  if (stat(configured.c_str(), &homeStat) != 0 || !S_ISDIR(homeStat.st_mode)) {
    // No cache folder yet: nothing can lie below it, so its text decides.
    if (asked == configured) return openAsIs();
    const std::string prefix = configured == "/" ? configured : configured + "/";
    if (asked.compare(0, prefix.size(), prefix) == 0) return openAsIs();
    return Refuse(why,
                  "Cache root [" + root + "] is outside the configured cache [" + home + "]");
  }
  std::string level;
  switch (PlaceOfRoot(asked, homeStat, level, held)) {
    case RootPlace::kInside:
    case RootPlace::kMissing:
      return true;
    case RootPlace::kLinked:
      return Refuse(why, "Cache root [" + root + "] passes through [" + level +
                             "], a link or not a folder below the configured cache [" + home + "]");
    case RootPlace::kOutside:
      return Refuse(why,
                    "Cache root [" + root + "] is outside the configured cache [" + home + "]");
    case RootPlace::kFailed:
      break;
  }
  return Refuse(why, "Cache root [" + root + "] cannot be examined at [" + level + "], errno [" +
                         std::to_string(errno) + "]");
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

bool CacheDeletionGuard::RemoveNameUnderAt(int folderFd, const std::string& folder,
                                           const std::string& name, std::string& why) {
  if (!CheckDeletionName(name, why)) return false;
  std::string err;
  if (kq::RemoveUnderAt(folderFd, folder, Slashed(name), &err)) return true;
  const int saved = errno;
  why = err.empty() ? "Refused to remove [" + name + "] below [" + folder + "]" : err;
  errno = saved;
  return false;
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

// Deeper folders than this are left as they are (a hostile tree cannot exhaust descriptors).
const int kMaxPruneDepth = 256;

// What one pruning walk carries from folder to folder.
struct PruneWalk {
  std::vector<std::string>* removed;             // paths removed, when not null
  const CacheDeletionGuard::KeptFolders* kept;   // folders that stay as if they held a file
  const CacheDeletionGuard::KeptFolders* only;   // when not null, the only folders entered
  bool dryRun;                                   // nothing is removed; only `emptied` is told
  std::string why;                               // the failure
};

// One post-order pass over the folder open at `fd` (shown as `path`; the descriptor is taken
// over and closed here): sub-folders first, each opened from its parent with O_NOFOLLOW (a link
// is never entered, even one swapped in during the walk), then removed relative to that parent
// when it was emptied. The kind of each entry comes from its directory entry (fstatat() only when
// the file system does not tell); a folder seen to hold anything but sub-folders that all went
// is never tried. `emptied` tells the caller whether this folder is such a folder. Returns false
// on the first failure (the scan of that folder ends there).
bool PruneEmpty(int fd, const std::string& path, int depth, PruneWalk& walk, bool& emptied) {
  emptied = false;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    const int e = errno;
    close(fd);
    walk.why = "Failed to open directory [" + path + "]. Error: [" + std::to_string(e) + "]";
    return false;
  }
  const int dfd = dirfd(dir);
  std::vector<std::string> names;
  bool kept = false;  // an entry that stays: a file, a link, a hidden entry, a folder that stays
  while (dirent* entry = readdir(dir)) {
    const char* n = entry->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    bool folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dfd, n, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        folder = S_ISDIR(st.st_mode);
      } else if (errno == ENOENT) {
        continue;  // went meanwhile
      } else {
        folder = true;  // opening it below tells what it is, or fails the walk
      }
    }
    if (folder && n[0] != '.') {
      names.emplace_back(n);
    } else {
      kept = true;
    }
  }
  std::sort(names.begin(), names.end());
  bool ok = true;
  for (const std::string& name : names) {
    const std::string child = path + "/" + name;
    if (walk.only != nullptr) {
      struct stat ost;
      const bool there = fstatat(dfd, name.c_str(), &ost, AT_SYMLINK_NOFOLLOW) == 0;
      if (!there && errno == ENOENT) continue;  // went meanwhile
      if (!there || walk.only->count({ost.st_dev, ost.st_ino}) == 0) {
        kept = true;  // not one to enter: it stays
        continue;
      }
    }
    const int cfd = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cfd < 0) {
      if (errno == ENOENT) continue;  // went meanwhile
      // Swapped for a link or a file meanwhile: never entered, and it stays.
      kept = true;
      if (errno == ENOTDIR || errno == ELOOP) continue;
      walk.why = "Failed to open directory [" + child + "]. Error: [" + std::to_string(errno) + "]";
      ok = false;
      break;
    }
    struct stat cst;
    const bool keep = walk.kept != nullptr && fstat(cfd, &cst) == 0 &&
                      walk.kept->count({cst.st_dev, cst.st_ino}) > 0;
    bool childEmptied = false;
    if (depth >= kMaxPruneDepth) {
      close(cfd);
    } else if (!PruneEmpty(cfd, child, depth + 1, walk, childEmptied)) {
      ok = false;
      break;
    }
    if (!childEmptied || keep || name == "KQMedia") {
      kept = true;
      continue;
    }
    if (walk.dryRun) continue;  // it would go
    if (unlinkat(dfd, name.c_str(), AT_REMOVEDIR) == 0) {
      if (walk.removed != nullptr) walk.removed->push_back(child);
    } else if (errno == ENOTEMPTY || errno == EEXIST) {
      kept = true;  // filled up meanwhile
    } else if (errno != ENOENT) {
      walk.why = "Failed to remove empty directory [" + child + "] with errno [" +
                 std::to_string(errno) + "]";
      ok = false;
      break;
    }
  }
  closedir(dir);
  emptied = ok && !kept;
  return ok;
}

}  // namespace

bool CacheDeletionGuard::RemoveEmptySubFolders(const std::string& folder, std::string& why,
                                               std::vector<std::string>* removed) {
  if (folder.empty()) return true;
  const std::string path = WithoutTrailingSlashes(Slashed(folder));
  if (!CheckDeletionFolder(path, why)) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return true;
    why = "Failed to open directory [" + path + "]. Error: [" + std::to_string(errno) + "]";
    return false;
  }
  PruneWalk walk{removed, nullptr, nullptr, false, std::string()};
  bool emptied = false;
  const bool ok = PruneEmpty(fd, path, 0, walk, emptied);
  if (!ok) why = walk.why;
  return ok;
}

bool CacheDeletionGuard::RemoveEmptySubFoldersAt(int folderFd, const std::string& folder,
                                                 std::string& why,
                                                 std::vector<std::string>* removed,
                                                 const KeptFolders* kept,
                                                 const KeptFolders* only) {
  if (folderFd < 0) return true;  // no folder: nothing to prune
  const std::string path = WithoutTrailingSlashes(Slashed(folder));
  const int fd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    why = "Failed to open directory [" + path + "]. Error: [" + std::to_string(errno) + "]";
    return false;
  }
  PruneWalk walk{removed, kept, only, false, std::string()};
  bool emptied = false;
  const bool ok = PruneEmpty(fd, path, 0, walk, emptied);
  if (!ok) why = walk.why;
  return ok;
}

bool CacheDeletionGuard::IsEmptyFolderTree(int folderFd, const std::string& name) {
  const std::vector<std::string> parts = kq::NameComponents(name);
  if (folderFd < 0 || parts.empty() || parts.back() == "KQMedia" || parts.back()[0] == '.')
    return false;
  const int fd = kq::OpenFolderUnder(folderFd, name);
  if (fd < 0) return false;
  PruneWalk walk{nullptr, nullptr, nullptr, true, std::string()};
  bool emptied = false;
  return PruneEmpty(fd, name, 0, walk, emptied) && emptied;
}
