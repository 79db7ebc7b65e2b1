#include "PortableFiles/TrustedFolder.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "PortableFiles/PxError.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"

namespace kq {
namespace {

// Symbolic links followed in one walk before it gives up, as the kernel does.
constexpr int kMaxLinks = 40;

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// Whether the folder of status `st`, shown as `shown`, is this user's (or root's, where
// `rootMayOwn`) and writable by nobody else (a sticky one may be, where `stickyMayBeOpen`).
bool OwnedAndClosed(const struct stat& st, const std::string& shown, bool rootMayOwn,
                    bool stickyMayBeOpen, std::string& err) {
  if (st.st_uid != ::geteuid() && !(rootMayOwn && st.st_uid == 0)) {
    err = "folder [" + shown + "] is owned by user " + std::to_string(st.st_uid);
    return false;
  }
  if ((st.st_mode & 022) != 0 && !(stickyMayBeOpen && (st.st_mode & S_ISVTX) != 0)) {
    err = "folder [" + shown + "] is writable by other users";
    return false;
  }
  return true;
}

// Whether `name` names one entry of a folder: no "/", not empty, "." or "..".
bool IsOneEntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Why opening the entry `name` of `folderFd` (`what` in the text: "folder [/a/b]", "[/a/f]")
// failed with `error`. O_NOFOLLOW reports a link as "too many levels of links", or with
// O_DIRECTORY as "not a folder": a link is said to be one.
std::string WhyNotOpened(int folderFd, const std::string& name, const std::string& what,
                         int error) {
  struct stat st;
  if ((error == ELOOP || error == ENOTDIR) &&
      ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    return what + " is a symbolic link";
  return "cannot open " + what + ": " + PxErrnoText(error);
}

// The "/"-separated components of `text`, empty ones dropped, in front of `todo`.
void PushFront(const std::string& text, std::deque<std::string>& todo) {
  const std::vector<std::string> parts = NameComponents(text);
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

// Whether what is left to walk names no further level ("." and empty components only).
bool NothingLeft(const std::deque<std::string>& todo) {
  for (const std::string& c : todo) {
    if (c != ".") return false;
  }
  return true;
}

// One level reached: its descriptor, its status, and its path as walked (for messages).
struct Level {
  ScopedFd fd;
  struct stat st;
  std::string shown;
};

// The walk from "/" with the levels reached so far; levels.back() is where it stands.
class Walk {
 public:
  explicit Walk(const TrustedFolderOptions& options) : options_(options) {}

  int Run(const std::string& path, std::string& err) {
    PushFront(path, todo_);
    errno_ = EPERM;
    if (!Restart(err)) return Fail();
    while (!todo_.empty()) {
      const std::string c = todo_.front();
      todo_.pop_front();
      const std::string link = LinkLeadingTo();
      if (c == ".") continue;
      if (c == "..") {
        if (levels_.size() > 1) levels_.pop_back();
        continue;
      }
      if (!Step(c, link, err)) return Fail();
    }
    const Level& last = levels_.back();
    if (!OwnedAndClosed(last.st, last.shown, options_.rootMayOwnLast, false, err)) return Fail();
    return levels_.back().fd.release();
  }

 private:
  // -1 with the walk's errno: ENOENT only where a real folder lacks the next level.
  int Fail() const {
    errno = errno_;
    return -1;
  }

  // The link whose target holds the component just taken from the front of todo_, or "" when
  // it comes from the path asked for. pending_ holds, innermost last, each link followed with
  // the number of its target's components still to walk.
  std::string LinkLeadingTo() {
    while (!pending_.empty() && pending_.back().second == 0) pending_.pop_back();
    if (pending_.empty()) return std::string();
    --pending_.back().second;
    return pending_.back().first;
  }

  // Goes back to "/" (the start, or a link's absolute target).
  bool Restart(std::string& err) {
    levels_.clear();
    Level root;
    root.fd.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    root.shown = "/";
    if (!root.fd.valid() || ::fstat(root.fd.get(), &root.st) != 0) {
      err = "cannot examine folder [/]: " + PxErrnoText(errno);
      return false;
    }
    if (!CheckLevel(root, err)) return false;
    levels_.push_back(std::move(root));
    return true;
  }

  // A level on the way: a real folder of root or the user that nobody else may write in,
  // unless it is sticky.
  static bool CheckLevel(const Level& level, std::string& err) {
    if (!S_ISDIR(level.st.st_mode)) {
      err = "[" + level.shown + "] is not a folder";
      return false;
    }
    return OwnedAndClosed(level.st, level.shown, true, true, err);
  }

  // Opens the entry `c` of the current level (made first when missing and asked for); a
  // folder becomes the next level, a link of root or the user puts its target in front of
  // what is left to walk. `link` is the link whose target names `c`, if any: what it leads to
  // must exist, so nothing is made in its place (an unmounted share, a folder moved away).
  bool Step(const std::string& c, const std::string& link, std::string& err) {
    const Level& here = levels_.back();
    Level next;
    next.shown = here.shown == "/" ? "/" + c : here.shown + "/" + c;
    const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    next.fd.reset(::openat(here.fd.get(), c.c_str(), flags));
    const bool last = NothingLeft(todo_);
    if (!next.fd.valid() && errno == ENOENT && !link.empty()) {
      err = "[" + link + "] is a symbolic link that leads nowhere: [" + next.shown +
            "] does not exist";
      return false;
    }
    if (!next.fd.valid() && errno == ENOENT && (last ? options_.make : options_.makeParents)) {
      const mode_t mode = last ? options_.lastMode : 0755;
      if (::mkdirat(here.fd.get(), c.c_str(), mode) != 0 && errno != EEXIST) {
        err = "cannot create folder [" + next.shown + "]: " + PxErrnoText(errno);
        return false;
      }
      next.fd.reset(::openat(here.fd.get(), c.c_str(), flags));
    }
    if (!next.fd.valid() || ::fstat(next.fd.get(), &next.st) != 0) {
      errno_ = errno;
      err = "cannot open folder [" + next.shown + "]: " + PxErrnoText(errno);
      return false;
    }
    if (S_ISLNK(next.st.st_mode)) {
      // The folder asked for must itself be a real folder; links lead only on the way to it.
      if (last) {
        err = "folder [" + next.shown + "] is a symbolic link";
        return false;
      }
      return Follow(next, err);
    }
    if (!CheckLevel(next, err)) return false;
    levels_.push_back(std::move(next));
    return true;
  }

  // A link found in a trusted folder: followed only when root or the user owns it.
  bool Follow(const Level& link, std::string& err) {
    if (!TrustedOwner(link.st.st_uid)) {
      err = "[" + link.shown + "] is a symbolic link of user " + std::to_string(link.st.st_uid);
      return false;
    }
    if (++links_ > kMaxLinks) {
      err = "cannot open folder [" + link.shown + "]: " + PxErrnoText(ELOOP);
      return false;
    }
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(link.fd.get(), "", target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) {
      err = "cannot read the link [" + link.shown + "]: " + PxErrnoText(n < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    const std::string text(target, static_cast<size_t>(n));
    const size_t before = todo_.size();
    PushFront(text, todo_);
    pending_.emplace_back(link.shown, todo_.size() - before);
    return text[0] != '/' || Restart(err);
  }

  const TrustedFolderOptions& options_;
  std::vector<Level> levels_;
  std::deque<std::string> todo_;
  std::vector<std::pair<std::string, size_t>> pending_;
  int links_ = 0;
  int errno_ = EPERM;
};

}  // namespace

int OpenTrustedFolder(const std::string& path, const TrustedFolderOptions& options,
                      std::string& err) {
  if (path.empty() || path[0] != '/') {
    err = "folder [" + path + "] is not an absolute path";
    errno = EINVAL;
    return -1;
  }
  int fd, error;
  {
    Walk walk(options);
    fd = walk.Run(path, err);
    error = errno;
  }
  errno = error;  // kept through the walk's closing of its levels
  return fd;
}

int OpenTrustedSubfolder(int folderFd, const std::string& name, bool make, mode_t mode,
                         const std::string& shown, std::string& err) {
  if (!IsOneEntryName(name)) {
    err = "refusing the folder name [" + shown + "]";
    errno = EINVAL;
    return -1;
  }
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  ScopedFd fd(::openat(folderFd, name.c_str(), flags));
  if (!fd.valid() && errno == ENOENT && make) {
    if (::mkdirat(folderFd, name.c_str(), mode) != 0 && errno != EEXIST) {
      const int saved = errno;
      err = "cannot create folder [" + shown + "]: " + PxErrnoText(saved);
      errno = saved;
      return -1;
    }
    fd.reset(::openat(folderFd, name.c_str(), flags));
  }
  if (!fd.valid()) {
    const int saved = errno;
    err = WhyNotOpened(folderFd, name, "folder [" + shown + "]", saved);
    errno = saved;
    return -1;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    err = "cannot examine folder [" + shown + "]: " + PxErrnoText(errno);
    return -1;
  }
  if (!OwnedAndClosed(st, shown, true, false, err)) {
    errno = EPERM;
    return -1;
  }
  return fd.release();
}

namespace {

// OpenOwnFileAt and OpenAppendOnlyFileAt: the latter's file may be writable by others.
int OpenFileAt(int folderFd, const std::string& name, int flags, mode_t mode, bool rootMayOwn,
               bool othersMayWrite, const std::string& shown, std::string& err,
               struct stat* status) {
  if (!IsOneEntryName(name)) {
    err = "refusing the file name [" + shown + "]";
    errno = EINVAL;
    return -1;
  }
  ScopedFd fd(::openat(folderFd, name.c_str(),
                       flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
  if (!fd.valid()) {
    const int saved = errno;
    err = WhyNotOpened(folderFd, name, "[" + shown + "]", saved);
    errno = saved;
    return -1;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    err = "cannot examine [" + shown + "]: " + PxErrnoText(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    err = "[" + shown + "] is not a regular file";
    errno = EINVAL;
    return -1;
  }
  if (st.st_uid != ::geteuid() && !(rootMayOwn && st.st_uid == 0)) {
    err = "[" + shown + "] is owned by user " + std::to_string(st.st_uid);
    errno = EPERM;
    return -1;
  }
  if ((st.st_mode & 022) != 0 && !othersMayWrite) {
    err = "[" + shown + "] is writable by other users";
    errno = EPERM;
    return -1;
  }
  if (status != nullptr) *status = st;
  return fd.release();
}

}  // namespace

int OpenOwnFileAt(int folderFd, const std::string& name, int flags, mode_t mode, bool rootMayOwn,
                  const std::string& shown, std::string& err, struct stat* status) {
  return OpenFileAt(folderFd, name, flags, mode, rootMayOwn, false, shown, err, status);
}

int OpenAppendOnlyFileAt(int folderFd, const std::string& name, mode_t mode,
                         const std::string& shown, std::string& err, struct stat* status) {
  return OpenFileAt(folderFd, name, O_WRONLY | O_APPEND | O_CREAT, mode, false, true, shown, err,
                    status);
}

std::string PathThroughFd(int folderFd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
}

}  // namespace kq
