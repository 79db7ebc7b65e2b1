#include "PortableFiles/SafePath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <cerrno>
#include <vector>

namespace kq {
namespace {

// Collects the first failure of one removal and whether any happened.
struct RemoveState {
  bool ok = true;
  int firstErrno = 0;
  std::string firstError;

  // what: the failed step as the error text starts it.
  void Fail(const std::string& path, int err, const char* what = "Failed to remove") {
    if (ok) {
      firstErrno = err;
      firstError = std::string(what) + " [" + path + "], errno [" + std::to_string(err) + "]";
    }
    ok = false;
  }
};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The names inside the folder open at `dfd`, "." and ".." left out, sorted bytewise.
// Returns false (errno set) when the folder cannot be read.
bool ListNames(int dfd, std::vector<std::string>& names) {
  int copy = dup(dfd);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    int e = errno;
    close(copy);
    errno = e;
    return false;
  }
  rewinddir(dir);  // the copy shares its offset with dfd, which may have been listed before
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* ent = readdir(dir);
    if (ent == nullptr) {
      if (errno != 0) ok = false;
      break;
    }
    if (std::string_view(ent->d_name) == "." || std::string_view(ent->d_name) == "..") continue;
    names.emplace_back(ent->d_name);
  }
  int e = errno;
  closedir(dir);
  errno = e;
  std::sort(names.begin(), names.end());
  return ok;
}

// One folder level of a removal in progress: which folder it is, and what is left in it.
struct Level {
  dev_t dev;
  ino_t ino;
  std::vector<std::string> names;
  size_t next = 0;
  size_t pathLength = 0;  // the folder's path is the first pathLength bytes of the walk's path
};

// Removes everything inside the folder open at `dfd` (shown as `dirPath` in errors). The walk
// keeps one descriptor open, however deep the tree: it goes down with openat(O_NOFOLLOW) and
// back up with "..", checking that ".." is the very folder it came from (a tree moved while it
// is removed stops the removal, so that nothing outside it is touched).
void RemoveChildren(int dfd, const std::string& dirPath, RemoveState& st) {
  std::string path = dirPath;
  int fd = fcntl(dfd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    st.Fail(path, errno);
    return;
  }
  std::vector<Level> stack;
  auto enter = [&]() {
    struct stat sb;
    if (fstat(fd, &sb) != 0) {
      st.Fail(path, errno);
      return false;
    }
    Level level;
    level.dev = sb.st_dev;
    level.ino = sb.st_ino;
    level.pathLength = path.size();
    if (!ListNames(fd, level.names)) st.Fail(path, errno, "Error reading the directory");
    stack.push_back(std::move(level));
    return true;
  };
  if (!enter()) {
    close(fd);
    return;
  }
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next < level.names.size()) {
      const std::string name = level.names[level.next++];
      const size_t parentLength = path.size();
      path.append("/").append(name);  // the child's path, for errors
      struct stat sb;
      bool descend = false;
      if (fstatat(fd, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
        // vanished meanwhile: nothing to do
        if (errno != ENOENT) st.Fail(path, errno, "Error while executing stat on");
      } else if (!S_ISDIR(sb.st_mode)) {
        if (unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) st.Fail(path, errno);
      } else {
        int cfd = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (cfd >= 0) {
          close(fd);
          fd = cfd;
          descend = true;
        } else if (errno == ELOOP || errno == ENOTDIR) {  // replaced by a link or a file
          if (unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) st.Fail(path, errno);
        } else if (errno != ENOENT) {
          // Unreadable folder: it can still go when it is empty.
          int e = errno;
          if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) st.Fail(path, e);
        }
      }
      if (!descend) {
        path.resize(parentLength);
      } else if (!enter()) {
        break;
      }
      continue;
    }
    // This folder is done: back to its parent, which removes it.
    const size_t doneLength = level.pathLength;
    stack.pop_back();
    if (stack.empty()) break;
    const size_t parentLength = stack.back().pathLength;
    int pfd = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat psb;
    if (pfd < 0 || fstat(pfd, &psb) != 0 || psb.st_dev != stack.back().dev ||
        psb.st_ino != stack.back().ino) {
      st.Fail(path, pfd < 0 ? errno : ESTALE);
      if (pfd >= 0) close(pfd);
      break;
    }
    close(fd);
    fd = pfd;
    const std::string name = path.substr(parentLength + 1, doneLength - parentLength - 1);
    if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) st.Fail(path, errno);
    path.resize(parentLength);
  }
  close(fd);
}

// Opens `path` as a real folder (never through a link). Returns -1 with errno set otherwise.
int OpenFolderNoFollow(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Trailing slashes would make the kernel follow a link in the last component ("link/" is the
// folder the link points to), so they go. The file-system root is never removed.
// A "." or ".." after the first component is refused: "link/." and "link/sub/.." name what
// the link points to, and a removal would empty it.
bool TrimForRemoval(const std::string& in, std::string& out, RemoveState& st) {
  out = in;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  if (out.empty() || out == "/") {
    st.Fail(in, out.empty() ? EINVAL : EPERM);
    return false;
  }
  size_t start = out.find('/');
  while (start != std::string::npos) {
    size_t end = out.find('/', start + 1);
    const std::string_view part(out.data() + start + 1,
                                (end == std::string::npos ? out.size() : end) - start - 1);
    if (part == "." || part == "..") {
      st.Fail(in, EINVAL);
      return false;
    }
    start = end;
  }
  return true;
}

bool Finish(const RemoveState& st, std::string* err) {
  if (err != nullptr) *err = st.ok ? std::string() : st.firstError;
  if (!st.ok) errno = st.firstErrno;
  return st.ok;
}

}  // namespace

std::vector<std::string> NameComponents(const std::string& name) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (end > start) out.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// True when one of the bytes of `text` is a control character (below 0x20, or 0x7f): NUL, line
// breaks, tabs and the like. Eight bytes at a time, as the check runs for every file of a
// package catalogue: in a word w, (w - 0x20..20) & ~w & 0x80..80 is non-zero exactly when a
// byte is below 0x20, and the same test of w ^ 0x7f..7f against 0x01..01 finds a 0x7f byte.
bool HasControlByte(const char* text, size_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    const uint64_t del = w ^ (kOnes * 0x7f);
    if ((((w - kOnes * 0x20) & ~w) | ((del - kOnes) & ~del)) & kHighs) return true;
  }
  for (; i < n; ++i) {
    const unsigned char u = static_cast<unsigned char>(text[i]);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

bool IsSafeRelativeName(const std::string& name) {
  if (name.empty() || IsSeparator(name[0]) || HasControlByte(name.data(), name.size()))
    return false;
  // "C:\x" and "C:x" name a place on a drive, not below the folder.
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
    return false;
  bool namesSomething = false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const std::string_view part(name.data() + start, end - start);
    // "." is refused as well: after a link, "link/." names the link's target, not the link.
    if (part == ".." || part == ".") return false;
    if (!part.empty()) namesSomething = true;
    start = end + 1;
  }
  return namesSomething;
}

bool IsSameOrInside(const std::string& outer, const std::string& inner) {
  struct stat osb;
  if (outer.empty() || inner.empty() || stat(outer.c_str(), &osb) != 0) return false;
  // The nearest part of `inner` that exists; what is below it does not exist yet and is no link.
  std::string existing = inner;
  int fd = -1;
  for (;;) {
    fd = open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) break;
    while (existing.size() > 1 && existing.back() == '/') existing.pop_back();
    size_t slash = existing.rfind('/');
    if (slash == std::string::npos) {
      existing = ".";
    } else {
      existing.resize(slash == 0 ? 1 : slash);
    }
  }
  if (fd < 0) return false;
  // Up through the real parents (links resolved) to the root, looking for `outer`.
  bool found = false;
  for (;;) {
    struct stat sb;
    if (fstat(fd, &sb) != 0) break;
    if (sb.st_dev == osb.st_dev && sb.st_ino == osb.st_ino) {
      found = true;
      break;
    }
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat usb;
    if (up < 0 || fstat(up, &usb) != 0 || (usb.st_dev == sb.st_dev && usb.st_ino == sb.st_ino)) {
      if (up >= 0) close(up);
      break;  // the root
    }
    close(fd);
    fd = up;
  }
  close(fd);
  return found;
}

bool JoinUnder(const std::string& base, const std::string& rel, std::string& out) {
  if (base.empty() || !IsSafeRelativeName(rel)) return false;
  if (base.back() == '/') {
    out = base + rel;
  } else {
    out = base + "/" + rel;
  }
  return true;
}

bool RemoveFileNoFollow(const std::string& given, std::string* err) {
  RemoveState st;
  std::string path;
  struct stat sb;
  if (!TrimForRemoval(given, path, st)) {
    // refused
  } else if (lstat(path.c_str(), &sb) != 0) {
    if (errno != ENOENT) st.Fail(path, errno);
  } else if (S_ISDIR(sb.st_mode)) {
    st.Fail(path, EISDIR);
  } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    st.Fail(path, errno);
  }
  return Finish(st, err);
}

bool RemoveContentsNoFollow(const std::string& given, std::string* err) {
  RemoveState st;
  std::string path;
  if (!TrimForRemoval(given, path, st)) return Finish(st, err);
  int fd = OpenFolderNoFollow(path);
  if (fd < 0) {
    int e = errno;
    st.Fail(path, e == ELOOP ? ENOTDIR : e);
    return Finish(st, err);
  }
  RemoveChildren(fd, path, st);
  close(fd);
  return Finish(st, err);
}

bool RemoveTreeNoFollow(const std::string& given, std::string* err) {
  RemoveState st;
  std::string path;
  struct stat sb;
  if (!TrimForRemoval(given, path, st)) return Finish(st, err);
  if (lstat(path.c_str(), &sb) != 0) {
    if (errno != ENOENT) st.Fail(path, errno);
    return Finish(st, err);
  }
  if (!S_ISDIR(sb.st_mode)) return RemoveFileNoFollow(path, err);

  int fd = OpenFolderNoFollow(path);
  if (fd < 0) {
    int e = errno;
    if (e == ENOENT) return Finish(st, err);
    if (e == ELOOP || e == ENOTDIR) return RemoveFileNoFollow(path, err);  // swapped meanwhile
    if (rmdir(path.c_str()) != 0 && errno != ENOENT) st.Fail(path, e);   // unreadable but empty?
    return Finish(st, err);
  }
  RemoveChildren(fd, path, st);
  close(fd);
  if (rmdir(path.c_str()) != 0 && errno != ENOENT) st.Fail(path, errno);
  return Finish(st, err);
}

namespace {

// The folder that holds the last component of `rel` below `base`, open for *at() calls.
// `base` is opened as it is (links in it are followed: a cache may be reached through links);
// every component of `rel` before the last is opened from its parent's descriptor with
// O_NOFOLLOW, so a folder swapped for a link between two steps is never followed.
enum class Walk { kOpen, kMissing, kRefused, kFailed };

struct WalkResult {
  Walk what = Walk::kFailed;
  int fd = -1;
  std::string last;    // the last component of rel
  std::string walked;  // base and the components opened so far, for messages
};

// The real folder `part` of the folder open at `fd`, opened (O_PATH) as whatever it is at this
// instant (a link opens as the link itself) and then judged: -1 with errno ELOOP for a link,
// ENOTDIR for another non-folder, else the system's error.
int OpenLevel(int fd, const std::string& part) {
  const int next = openat(fd, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (next < 0) return -1;
  struct stat sb;
  int e = 0;
  if (fstat(next, &sb) != 0)
    e = errno;
  else if (!S_ISDIR(sb.st_mode))
    e = S_ISLNK(sb.st_mode) ? ELOOP : ENOTDIR;
  if (e == 0) return next;
  close(next);
  errno = e;
  return -1;
}

// `basefd`, when not -1, is the folder `base` already open: the walk starts there and `base` is
// only shown in messages.
WalkResult WalkToParent(int basefd, const std::string& base, const std::string& rel,
                        RemoveState& st) {
  WalkResult r;
  const std::vector<std::string> parts = NameComponents(rel);
  r.walked = base;
  while (r.walked.size() > 1 && r.walked.back() == '/') r.walked.pop_back();
  if (parts.empty()) {
    st.Fail(r.walked, EINVAL);
    return r;
  }
  r.last = parts.back();
  r.fd = basefd >= 0 ? openat(basefd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC)
                    : open(r.walked.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (r.fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      r.what = Walk::kMissing;
    } else {
      st.Fail(r.walked, errno);
    }
    return r;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    r.walked += "/" + parts[i];
    const int next = OpenLevel(r.fd, parts[i]);
    const int e = errno;
    close(r.fd);
    r.fd = next;
    if (next >= 0) continue;
    if (e == ELOOP) {
      r.what = Walk::kRefused;  // a link in the way
    } else if (e == ENOENT || e == ENOTDIR) {
      r.what = Walk::kMissing;  // missing, or a file in the way: nothing of that name below it
    } else {
      st.Fail(r.walked, e);
    }
    return r;
  }
  r.what = Walk::kOpen;
  return r;
}

// The result of a walk that did not reach the parent folder, as RemoveUnder() reports it.
bool WalkEnded(const WalkResult& r, const std::string& full, const RemoveState& st,
               std::string* err) {
  if (r.what == Walk::kMissing) {
    if (err != nullptr) err->clear();
    return true;  // nothing of that name exists: it counts as removed
  }
  if (r.what == Walk::kRefused) {
    if (err != nullptr) {
      *err = "Refusing to remove [" + full + "]: [" + r.walked + "] is a symbolic link";
    }
    errno = ELOOP;
    return false;
  }
  return Finish(st, err);
}

bool RefuseName(const std::string& base, const std::string& rel, std::string* err) {
  if (err != nullptr) *err = "Refusing to remove unsafe name [" + rel + "] under [" + base + "]";
  errno = EINVAL;
  return false;
}

// Removes the entry `name` of the folder open at `dfd` (a tree when it is a real folder; a
// link or a file is unlinked). `path` is its path for errors. A missing entry is no error.
void RemoveEntryAt(int dfd, const std::string& name, const std::string& path, bool filesOnly,
                   RemoveState& st) {
  struct stat sb;
  if (fstatat(dfd, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) st.Fail(path, errno, "Error while executing stat on");
    return;
  }
  if (!S_ISDIR(sb.st_mode)) {
    if (unlinkat(dfd, name.c_str(), 0) != 0 && errno != ENOENT) st.Fail(path, errno);
    return;
  }
  if (filesOnly) {
    st.Fail(path, EISDIR);
    return;
  }
  const int fd = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT) return;
    if (e == ELOOP || e == ENOTDIR) {  // swapped for a link or a file meanwhile
      if (unlinkat(dfd, name.c_str(), 0) != 0 && errno != ENOENT) st.Fail(path, errno);
      return;
    }
    // Unreadable folder: it can still go when it is empty.
    if (unlinkat(dfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) st.Fail(path, e);
    return;
  }
  RemoveChildren(fd, path, st);
  close(fd);
  if (unlinkat(dfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) st.Fail(path, errno);
}

// True when the folder open at `fd` holds nothing but folders that hold nothing but folders.
// Links, files and anything unreadable count as content.
// Deeper than kMaxEmptyDepth levels counts as content too.
const int kMaxEmptyDepth = 256;

bool HoldsOnlyEmptyFolders(int fd, int depth = 0) {
  std::vector<std::string> names;
  if (depth > kMaxEmptyDepth || !ListNames(fd, names)) return false;
  for (const std::string& name : names) {
    const int cfd = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cfd < 0) return false;
    const bool empty = HoldsOnlyEmptyFolders(cfd, depth + 1);
    close(cfd);
    if (!empty) return false;
  }
  return true;
}

// What a removal of empty folders found in a folder.
enum class Emptying { kEmptied, kNotEmpty, kFailed };

// Removes the empty folders inside the folder open at `fd`, deepest first, never following a
// link. Anything else found there, even one that arrived after HoldsOnlyEmptyFolders() looked
// (a file, a link, a folder that filled up), makes the folder not empty: the walk stops and
// what is left stays. kFailed (errno set) when a folder cannot be read or removed.
Emptying RemoveEmptyFoldersIn(int fd, int depth = 0) {
  std::vector<std::string> names;
  if (depth > kMaxEmptyDepth) return Emptying::kNotEmpty;
  if (!ListNames(fd, names)) return Emptying::kFailed;
  for (const std::string& name : names) {
    const int cfd = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cfd < 0) {
      if (errno == ENOENT) continue;  // went meanwhile
      if (errno == ENOTDIR || errno == ELOOP) return Emptying::kNotEmpty;
      return Emptying::kFailed;
    }
    const Emptying below = RemoveEmptyFoldersIn(cfd, depth + 1);
    close(cfd);
    if (below != Emptying::kEmptied) return below;
    if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) continue;
    if (errno == ENOTEMPTY || errno == EEXIST) return Emptying::kNotEmpty;
    return Emptying::kFailed;
  }
  return Emptying::kEmptied;
}

// The removal calls' one road: rel is walked from basefd (-1: from base by name) and its entry
// removed; fileOnly: only a file is removed (see RemoveEntryAt).
bool RemoveWalked(int basefd, const std::string& base, const std::string& rel, bool fileOnly,
                  std::string* err) {
  std::string full;
  if (!JoinUnder(base, rel, full)) return RefuseName(base, rel, err);
  RemoveState st;
  const WalkResult r = WalkToParent(basefd, base, rel, st);
  if (r.what != Walk::kOpen) return WalkEnded(r, full, st, err);
  RemoveEntryAt(r.fd, r.last, full, fileOnly, st);
  close(r.fd);
  return Finish(st, err);
}

}  // namespace

bool RemoveUnder(const std::string& base, const std::string& rel, std::string* err) {
  return RemoveWalked(-1, base, rel, false, err);
}

bool RemoveUnderAt(int basefd, const std::string& base, const std::string& rel,
                   std::string* err) {
  if (basefd < 0) return RefuseName(base, rel, err);
  return RemoveWalked(basefd, base, rel, false, err);
}

bool RemoveFileUnderAt(int basefd, const std::string& base, const std::string& rel,
                       std::string* err) {
  if (basefd < 0) return RefuseName(base, rel, err);
  return RemoveWalked(basefd, base, rel, true, err);
}

int OpenFolderUnder(int basefd, const std::string& rel, bool pathOnly) {
  int fd = openat(basefd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& part : NameComponents(rel)) {
    if (fd < 0) return -1;
    int next = -1;
    if (part == "." || part == "..")
      errno = EINVAL;
    else
      next = OpenLevel(fd, part);
    const int e = errno;
    close(fd);
    fd = next;
    errno = e;
  }
  if (fd < 0 || pathOnly) return fd;
  const int out = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int e = errno;
  close(fd);
  errno = e;
  return out;
}

bool RemoveFileUnder(const std::string& base, const std::string& rel, std::string* err) {
  return RemoveWalked(-1, base, rel, true, err);
}

bool RemoveFolderIfEmptyUnder(const std::string& base, const std::string& rel, bool* removed,
                              std::string* err) {
  if (removed != nullptr) *removed = false;
  std::string full;
  if (!JoinUnder(base, rel, full)) return RefuseName(base, rel, err);
  RemoveState st;
  const WalkResult r = WalkToParent(-1, base, rel, st);
  if (r.what != Walk::kOpen) return WalkEnded(r, full, st, err);
  const int fd = openat(r.fd, r.last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // Missing, a link or not a folder: no empty folder to remove.
    if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) st.Fail(full, errno);
    close(r.fd);
    return Finish(st, err);
  }
  if (HoldsOnlyEmptyFolders(fd)) {
    // Something may arrive while the folders go: then the folder is simply not empty.
    const Emptying inside = RemoveEmptyFoldersIn(fd);
    if (inside == Emptying::kFailed) {
      st.Fail(full, errno);
    } else if (inside == Emptying::kNotEmpty) {
      // stays
    } else if (unlinkat(r.fd, r.last.c_str(), AT_REMOVEDIR) == 0) {
      if (removed != nullptr) *removed = true;
    } else if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
      st.Fail(full, errno);
    }
  }
  close(fd);
  close(r.fd);
  return Finish(st, err);
}

}  // namespace kq
