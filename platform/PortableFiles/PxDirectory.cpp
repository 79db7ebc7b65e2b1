#include "PortableFiles/PxDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "PortableFiles/SafePath.h"

namespace {

CPxError Errno(int err, const std::string& what, const FXCodeLocation& where) {
  return CPxError::FromErrno(err, what, where);
}

// Whether a listed entry is a real folder and whether it is a folder or a link to one. The
// listing's type spares a stat for plain files and folders; links and file systems that give no
// type are looked at through `full`, the entry's path. gone: the entry disappeared.
CPxError EntryKind(const SPxDirEntry& entry, const std::string& full, bool& realDir, bool& isDir,
                   bool& gone) {
  realDir = entry.type == DT_DIR;
  isDir = realDir;
  gone = false;
  if (entry.type == DT_REG || entry.type == DT_DIR) return CPxError();
  struct stat sb;
  if (lstat(full.c_str(), &sb) != 0) {
    if (errno == ENOENT) {
      gone = true;
      return CPxError();
    }
    return Errno(errno, "Cannot stat [" + full + "]", FX_CODE_LOCATION());
  }
  realDir = S_ISDIR(sb.st_mode);
  isDir = realDir;
  struct stat target;
  if (S_ISLNK(sb.st_mode) && stat(full.c_str(), &target) == 0) isDir = S_ISDIR(target.st_mode);
  return CPxError();
}

// Walks one folder level; see CPxDirectory::Walk.
CPxError WalkLevel(const std::string& dir, bool top, void* context, int depth, bool reportDirs,
                   PxWalkCallback callback) {
  CPxDirectory listing;
  CPxError e = listing.Open(dir, "*", true);
  if (e.IsError()) {
    if (!top && e.GetErrorCode() == ENOENT) return CPxError();  // deleted while we walked
    return e;
  }
  SPxDirEntry entry;
  bool end = false;
  for (e = listing.GetEntry(entry, &end); !e.IsError() && !end; e = listing.GetEntry(entry, &end)) {
    bool realDir = false;
    bool isDir = false;
    // The full path is only made where it is used (most entries of a large tree are plain
    // files the callback is told about by folder and name).
    std::string full;
    if (entry.type != DT_REG) full = dir + "/" + entry.name;
    bool gone = false;
    e = EntryKind(entry, full, realDir, isDir, gone);
    if (e.IsError()) return e;
    if (gone) continue;
    if (!isDir || reportDirs) {
      e = callback(dir.c_str(), entry.name.c_str(), isDir, context);
      if (e.IsError()) return e;
    }
    if (realDir && depth != 0) {
      e = WalkLevel(full, false, context, depth < 0 ? -1 : depth - 1, reportDirs, callback);
      if (e.IsError()) return e;
    }
  }
  return e;
}

}  // namespace

CPxError CPxDirectory::Open(const char* folder, const char* pattern, bool skipDots) {
  Close();
  if (folder == nullptr || *folder == '\0') return Errno(EINVAL, "Cannot open an empty folder path", FX_CODE_LOCATION());
  if (pattern == nullptr) pattern = "*";
  DIR* dir = opendir(folder);
  if (dir == nullptr) return Errno(errno, std::string("Cannot open folder [") + folder + "]", FX_CODE_LOCATION());
  std::vector<std::pair<std::string, unsigned char>> names;
  int readErr = 0;
  for (;;) {
    errno = 0;
    struct dirent* ent = readdir(dir);
    if (ent == nullptr) {
      readErr = errno;
      break;
    }
    const char* n = ent->d_name;
    if (skipDots && (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0)) continue;
    if (fnmatch(pattern, n, 0) == 0) names.emplace_back(n, ent->d_type);
  }
  closedir(dir);
  if (readErr != 0) return Errno(readErr, std::string("Cannot read folder [") + folder + "]", FX_CODE_LOCATION());
  std::sort(names.begin(), names.end());
  names_.clear();
  types_.clear();
  names_.reserve(names.size());
  types_.reserve(names.size());
  for (auto& n : names) {
    names_.push_back(std::move(n.first));
    types_.push_back(n.second);
  }
  next_ = 0;
  open_ = true;
  return CPxError();
}

CPxError CPxDirectory::GetEntry(SPxDirEntry& entry, bool* end) {
  if (!open_) return Errno(EBADF, "No folder listing is open", FX_CODE_LOCATION());
  if (next_ >= names_.size()) {
    if (end) *end = true;
    return CPxError();
  }
  if (end) *end = false;
  entry.type = types_[next_];
  entry.name = names_[next_++];
  return CPxError();
}

void CPxDirectory::Close() {
  names_.clear();
  types_.clear();
  next_ = 0;
  open_ = false;
}

bool CPxDirectory::IsEmpty(const char* path) {
  if (path == nullptr) return true;
  DIR* dir = opendir(path);
  if (dir == nullptr) return true;
  bool empty = true;
  while (struct dirent* ent = readdir(dir)) {
    if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(dir);
  return empty;
}

CPxError CPxDirectory::Create(const char* path, bool recursive) {
  if (path == nullptr || *path == '\0') return Errno(EINVAL, "Cannot create an empty folder path", FX_CODE_LOCATION());
  const std::string full(path);
  if (!recursive) {
    if (mkdir(path, 0755) != 0) return Errno(errno, "Cannot create folder [" + full + "]", FX_CODE_LOCATION());
    return CPxError();
  }
  // Create each prefix in turn; one that exists as a folder (perhaps just made by another
  // process) is fine.
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = full.find('/', pos + 1);
    const std::string part = full.substr(0, pos);
    if (part.empty() || part.back() == '/') continue;
    if (mkdir(part.c_str(), 0755) == 0) continue;
    int err = errno;
    struct stat sb;
    if (err == EEXIST && stat(part.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) continue;
    return Errno(err == EEXIST ? ENOTDIR : err, "Cannot create folder [" + part + "]", FX_CODE_LOCATION());
  }
  return CPxError();
}

CPxError CPxDirectory::Remove(const char* path, bool recursive, bool contentsOnly) {
  if (path == nullptr || *path == '\0') return Errno(EINVAL, "Cannot remove an empty folder path", FX_CODE_LOCATION());
  std::string err;
  if (recursive) {
    bool ok = contentsOnly ? kq::RemoveContentsNoFollow(path, &err) : kq::RemoveTreeNoFollow(path, &err);
    if (!ok) return CPxError(errno ? errno : EIO, err, FX_CODE_LOCATION());
    return CPxError();
  }
  if (contentsOnly) return CPxError();  // nothing may go without recursion
  struct stat sb;
  if (lstat(path, &sb) != 0) {
    if (errno == ENOENT) return CPxError();
    return Errno(errno, std::string("Cannot remove folder [") + path + "]", FX_CODE_LOCATION());
  }
  if (!S_ISDIR(sb.st_mode)) return Errno(ENOTDIR, std::string("Cannot remove folder [") + path + "]", FX_CODE_LOCATION());
  if (rmdir(path) != 0 && errno != ENOENT) {
    return Errno(errno, std::string("Cannot remove folder [") + path + "]", FX_CODE_LOCATION());
  }
  return CPxError();
}

CPxError CPxDirectory::Walk(const char* path, void* context, int depth, bool reportDirectories,
                            PxWalkCallback callback) {
  if (path == nullptr || *path == '\0' || callback == nullptr) {
    return Errno(EINVAL, "Walk needs a folder and a callback", FX_CODE_LOCATION());
  }
  std::string top(path);
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  return WalkLevel(top, true, context, depth, reportDirectories, callback);
}

CPxError CPxDirectory::ReadWalkLevel(const std::string& folder, bool missingIsEmpty,
                                     std::vector<SPxWalkEntry>& entries) {
  entries.clear();
  CPxFolderHandle handle;
  CPxError e = handle.Open(folder);
  if (e.IsError()) return missingIsEmpty && e.GetErrorCode() == ENOENT ? CPxError() : e;
  return ReadWalkLevel(handle, entries);
}

CPxError CPxDirectory::ReadNames(const CPxFolderHandle& folder, std::vector<SPxDirEntry>& entries) {
  entries.clear();
  const int fd = folder.nativeHandle();
  if (fd < 0) return Errno(EBADF, "No folder is open", FX_CODE_LOCATION());
  alignas(8) char buffer[32768];
  for (;;) {
    const ssize_t got = getdents64(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Errno(errno, "Cannot read folder [" + folder.path() + "]", FX_CODE_LOCATION());
    }
    if (got == 0) break;
    entries.reserve(entries.size() + static_cast<size_t>(got) / 24);  // a record takes 24 bytes at least
    for (ssize_t at = 0; at < got;) {
      const auto* ent = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += ent->d_reclen;
      const char* n = ent->d_name;
      if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
      entries.emplace_back();
      entries.back().name = n;
      entries.back().type = ent->d_type;
    }
  }
  std::sort(entries.begin(), entries.end(),
            [](const SPxDirEntry& a, const SPxDirEntry& b) { return a.name < b.name; });
  return CPxError();
}

CPxError CPxDirectory::ReadWalkLevel(const CPxFolderHandle& folder, std::vector<SPxWalkEntry>& entries) {
  entries.clear();
  const int fd = folder.nativeHandle();
  // The listing's types, as the kernel hands them out, in bytewise order.
  std::vector<SPxDirEntry> names;
  CPxError e = ReadNames(folder, names);
  if (e.IsError()) return e;
  entries.reserve(names.size());
  for (SPxDirEntry& n : names) {
    bool realDir = n.type == DT_DIR;
    bool isDir = realDir;
    if (n.type != DT_REG && n.type != DT_DIR) {
      // Links and file systems that give no type: looked at relative to the folder.
      struct stat sb;
      if (fstatat(fd, n.name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // disappeared
        return Errno(errno, "Cannot stat [" + folder.path() + "/" + n.name + "]", FX_CODE_LOCATION());
      }
      realDir = S_ISDIR(sb.st_mode);
      isDir = realDir;
      struct stat target;
      if (S_ISLNK(sb.st_mode) && fstatat(fd, n.name.c_str(), &target, 0) == 0) isDir = S_ISDIR(target.st_mode);
    }
    entries.push_back(SPxWalkEntry{std::move(n.name), isDir, realDir});
  }
  return CPxError();
}

CPxError CPxFolderHandle::Open(const std::string& path) {
  Close();
  if (path.empty()) return Errno(EINVAL, "Cannot open an empty folder path", FX_CODE_LOCATION());
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Errno(errno, "Cannot open folder [" + path + "]", FX_CODE_LOCATION());
  fd_ = fd;
  path_ = path;
  return CPxError();
}

CPxError CPxFolderHandle::OpenBelow(const CPxFolderHandle& parent, const std::string& name) {
  std::string path = parent.path_ + "/" + name;
  if (&parent == this) return Errno(EINVAL, "Cannot open [" + path + "] in place of its folder", FX_CODE_LOCATION());
  Close();
  if (parent.fd_ < 0) return Errno(EBADF, "Cannot open [" + path + "]: its folder is not open", FX_CODE_LOCATION());
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    return Errno(EINVAL, "Cannot open folder [" + path + "]: not one entry name", FX_CODE_LOCATION());
  const int fd = openat(parent.fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    // O_NOFOLLOW with O_DIRECTORY reports a link as "not a folder": tell the two apart.
    struct stat sb;
    if (err == ENOTDIR && fstatat(parent.fd_, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(sb.st_mode))
      err = ELOOP;
    return Errno(err, "Cannot open folder [" + path + "]", FX_CODE_LOCATION());
  }
  fd_ = fd;
  path_ = std::move(path);
  return CPxError();
}

CPxError CPxFolderHandle::Adopt(int fd, const std::string& path) {
  const int opened = errno;
  Close();
  if (fd < 0) return Errno(opened != 0 ? opened : EBADF, "Cannot open folder [" + path + "]", FX_CODE_LOCATION());
  struct stat sb;
  const int err = fstat(fd, &sb) != 0 ? errno : S_ISDIR(sb.st_mode) ? 0 : ENOTDIR;
  if (err != 0) {
    close(fd);
    return Errno(err, "Cannot take folder [" + path + "]", FX_CODE_LOCATION());
  }
  fd_ = fd;
  path_ = path;
  return CPxError();
}

void CPxFolderHandle::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  path_.clear();
}

CPxError CPxDirectory::GetSpaceUsage(const char* path, uint64_t& totalBytes, uint64_t& freeBytes) {
  struct statvfs vfs;
  if (path == nullptr) return Errno(EINVAL, "Cannot measure a null path", FX_CODE_LOCATION());
  if (statvfs(path, &vfs) != 0) return Errno(errno, std::string("Cannot measure [") + path + "]", FX_CODE_LOCATION());
  totalBytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return CPxError();
}
