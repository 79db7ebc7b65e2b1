// Folder walks without links, and part files.
#include "MediaAccess/LocalFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "MediaAccess/MediaTransfer.h"
#include "PortableFiles/OwnedEntries.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/SafePath.h"

namespace kqmedia {

namespace {

constexpr char kPartSuffix[] = ".part";
constexpr size_t kUniqueLength = 6;                                        // "XXXXXX"
constexpr size_t kPartExtra = 1 + kUniqueLength + sizeof(kPartSuffix) - 1;  // ".XXXXXX.part"

std::string Joined(const std::string& root, const std::vector<std::string>& parts, size_t count) {
  std::string path = root;
  for (size_t i = 0; i < count && i < parts.size(); ++i) path += "/" + parts[i];
  return path;
}

bool MakeFolders(const std::string& path) {
  std::string prefix;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t next = path.find('/', pos + 1);
    if (next == std::string::npos) next = path.size();
    prefix = path.substr(0, next);
    pos = next;
    if (prefix.empty() || prefix.back() == '/') continue;
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// The folders of a relative name, "/"-joined, and its last component; false when it has none.
bool SplitLast(const std::string& relative, std::string& folder, std::string& name) {
  const std::vector<std::string> parts = kq::NameComponents(relative);
  if (parts.empty()) return false;
  name = parts.back();
  folder.clear();
  for (size_t i = 0; i + 1 < parts.size(); ++i) folder += (i > 0 ? "/" : "") + parts[i];
  return true;
}

uint64_t NameHash(const std::string& text) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool IsAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// "<stem>.XXXXXX.part" for this stem.
bool IsPartOf(const std::string& entry, const std::string& stem) {
  return entry.size() == stem.size() + kPartExtra && entry.compare(0, stem.size(), stem) == 0 &&
         IsPartFileName(entry);
}

unsigned int LocalWriteError(int err) {
  return err == ENOSPC || err == EDQUOT ? eDiskFull : eWriteFault;
}

}  // namespace

unsigned int CurrentUmask() {
  // umask can only be read by setting it; done once, before transfers run in threads.
  static const mode_t mask = [] {
    const mode_t m = umask(022);
    umask(m);
    return m;
  }();
  return mask;
}

tLocalTarget::tLocalTarget(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    root = ".";
    relative = path;
  } else {
    root = slash == 0 ? std::string("/") : path.substr(0, slash);
    relative = path.substr(slash + 1);
  }
}

tLocalTarget tLocalTarget::Below(const std::string& root, const std::string& path) {
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base.size() > 1 && base[0] == '/' && path.size() > base.size() + 1 &&
      path.compare(0, base.size(), base) == 0 && path[base.size()] == '/') {
    tLocalTarget t;
    t.root = base;
    t.relative = path.substr(base.size() + 1);
    while (!t.relative.empty() && t.relative[0] == '/') t.relative.erase(0, 1);
    if (!t.relative.empty()) return t;
  }
  return tLocalTarget(path);
}

FileDescriptor MakeFoldersBelow(const std::string& root, const std::string& relative,
                                tWalkFailure& failure) {
  failure = tWalkFailure();
  failure.where = root;
  if (root.empty()) {
    failure.err = EINVAL;
    return FileDescriptor();
  }
  if (!MakeFolders(root)) {
    failure.err = errno;
    return FileDescriptor();
  }
  FileDescriptor folder(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) {
    failure.err = errno;
    return folder;
  }
  const std::vector<std::string> parts = kq::NameComponents(relative);
  for (size_t i = 0; i < parts.size(); ++i) {
    // A name already there (a link included) is judged by the opening.
    const bool made = mkdirat(folder.get(), parts[i].c_str(), 0777) == 0 || errno == EEXIST;
    FileDescriptor child(made ? kq::OpenFolderUnder(folder.get(), parts[i], true) : -1);
    if (!child.valid()) {
      failure.err = errno;
      failure.link = failure.err == ELOOP;
      failure.where = Joined(root, parts, i + 1);
      return child;
    }
    folder = std::move(child);
  }
  return folder;
}

FileDescriptor OpenFileBelow(const std::string& root, const std::string& relative,
                             tWalkFailure& failure) {
  failure = tWalkFailure();
  failure.where = root;
  std::string folderName, name;
  if (root.empty() || !SplitLast(relative, folderName, name)) {
    failure.err = EINVAL;
    return FileDescriptor();
  }
  FileDescriptor top(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!top.valid()) {
    failure.err = errno;
    return top;
  }
  // Below the root, level by level without following a link.
  FileDescriptor folder(kq::OpenFolderUnder(top.get(), folderName, true));
  if (!folder.valid()) {
    failure.err = errno;
    failure.link = failure.err == ELOOP;
    failure.where = Joined(root, kq::NameComponents(folderName), std::string::npos);
    return folder;
  }
  failure.where = Joined(root, kq::NameComponents(relative), std::string::npos);
  if (name == "." || name == "..") {
    failure.err = EINVAL;
    return FileDescriptor();
  }
  struct stat st;
  if (fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    failure.err = errno;
    return FileDescriptor();
  }
  if (S_ISLNK(st.st_mode)) {
    failure.link = true;
    failure.err = ELOOP;
    return FileDescriptor();
  }
  if (!S_ISREG(st.st_mode)) {
    failure.err = EINVAL;
    return FileDescriptor();
  }
  // Not blocking: the name may have become a FIFO since it was looked at.
  FileDescriptor file(
      openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    failure.err = errno;
    failure.link = failure.err == ELOOP;
    return file;
  }
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    failure.err = EINVAL;
    return FileDescriptor();
  }
  fcntl(file.get(), F_SETFL, fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
  return file;
}

bool IsPartFileName(const std::string& name) {
  if (name.size() <= kPartExtra ||
      name.compare(name.size() - (sizeof(kPartSuffix) - 1), std::string::npos, kPartSuffix) != 0)
    return false;
  const size_t dot = name.size() - kPartExtra;
  if (name[dot] != '.') return false;
  for (size_t i = 0; i < kUniqueLength; ++i)
    if (!IsAlnum(name[dot + 1 + i])) return false;
  return true;
}

std::string PartStem(const std::string& name, long nameMax) {
  if (nameMax <= 0) nameMax = 255;
  const size_t limit = static_cast<size_t>(nameMax);
  if (name.size() + kPartExtra <= limit) return name;
  char hash[24];
  snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(NameHash(name)));
  const size_t hashLength = 17;
  const size_t keep = limit > kPartExtra + hashLength ? limit - kPartExtra - hashLength : 0;
  return name.substr(0, keep) + hash;
}

PartFile::~PartFile() {
  // Removed while still held, so that no sweep meets it unheld.
  if (!name_.empty()) kq::RemoveFileUnderAt(folder_.get(), target_.root, name_, nullptr);
  if (fd_ >= 0) close(fd_);
}

bool PartFile::Fail(unsigned int error, const std::string& text) {
  failure_ = error;
  failureText_ = text;
  return false;
}

bool PartFile::FailErrno(const std::string& what, int err) {
  return Fail(LocalWriteError(err), what + " [" + target_.full() + "]: " + PxErrnoText(err));
}

bool PartFile::Create(const tLocalTarget& target) {
  CurrentUmask();
  target_ = target;
  std::string folderName, name;
  if (!SplitLast(target.relative, folderName, name))
    return Fail(eInvalidParameter, "[" + target.full() + "] does not name a file");
  tWalkFailure walk;
  folder_ = MakeFoldersBelow(target.root, folderName, walk);
  if (!folder_.valid()) {
    if (walk.link)
      return Fail(eInvalidParameter, "Cannot write [" + target.full() + "]: [" + walk.where +
                                         "] is a link below [" + target.root + "]");
    return Fail(LocalWriteError(walk.err), "Cannot make the folder [" + walk.where + "] of [" +
                                               target.full() + "]: " + PxErrnoText(walk.err));
  }
  const std::string stem = PartStem(name, fpathconf(folder_.get(), _PC_NAME_MAX));
  // Part files of this target whose transfer is gone (a killed process left them).
  kq::RemoveUnownedEntries(
      folder_.get(), folderName.empty() ? target.root : target.root + "/" + folderName,
      kq::OwnedKind::kFile, [&stem](const std::string& entry) { return IsPartOf(entry, stem); },
      nullptr);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = stem + "." + kq::RandomNameText(kUniqueLength) + kPartSuffix;
    FileDescriptor fd(openat(folder_.get(), candidate.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return FailErrno("Cannot create a file beside", errno);
    }
    // Held until the file is gone or renamed: a sweep by another transfer of this target
    // leaves it alone. A sweep that met the file before it was held removes it, and this
    // transfer takes another name.
    if (kq::HoldAsOwner(folder_.get(), candidate, fd.get())) {
      fd_ = fd.release();
      name_ = candidate;
      return true;
    }
    const int err = errno;
    if (err == ENOENT || err == EWOULDBLOCK) continue;
    kq::RemoveFileUnderAt(folder_.get(), target.root, candidate, nullptr);
    return FailErrno("Cannot lock a file beside", err);
  }
  return FailErrno("Cannot create a file beside", EEXIST);
}

bool PartFile::CheckRoomFor(long long expected) {
  if (expected < 0) expected = 0;
  struct statvfs fs;
  if (fstatvfs(fd_, &fs) != 0) return true;  // unknown: the write itself will tell
  const unsigned long long available =
      static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_frsize);
  const unsigned long long needed =
      static_cast<unsigned long long>(expected) + static_cast<unsigned long long>(reserve_);
  if (available >= needed) return true;
  return Fail(eDiskFull, "Writing [" + std::to_string(expected) + "] more bytes to [" +
                             target_.full() + "] would leave less than [" +
                             std::to_string(reserve_) + "] bytes free; [" +
                             std::to_string(available) + "] are free");
}

bool PartFile::Write(const char* data, size_t size) {
  if (limit_ >= 0 && written_ + static_cast<long long>(size) > limit_)
    return Fail(eInvalidData, "[" + target_.full() + "] would grow beyond [" +
                                  std::to_string(limit_) + "] bytes");
  if (reserve_ > 0 && !CheckRoomFor(static_cast<long long>(size))) return false;
  while (size > 0) {
    const ssize_t n = write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailErrno("Cannot write beside", errno);
    }
    data += n;
    size -= static_cast<size_t>(n);
    written_ += n;
  }
  return true;
}

bool PartFile::Commit(FileDescriptor* held) {
  fchmod(fd_, 0666 & ~CurrentUmask());
  // A second descriptor keeps the lock while the first is closed (a close reports the write
  // errors of some file systems) and until the rename is done, or, for a caller that holds
  // the target on, beyond it.
  FileDescriptor lock(dup(fd_));
  if (held != nullptr && !lock.valid()) return FailErrno("Cannot hold", errno);
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) return FailErrno("Cannot complete", errno);
  const std::string name = kq::NameComponents(target_.relative).back();
  if (renameat(folder_.get(), name_.c_str(), folder_.get(), name.c_str()) != 0)
    return FailErrno("Cannot complete", errno);
  name_.clear();
  if (held != nullptr) *held = std::move(lock);
  return true;
}

bool PartFile::Truncate() {
  written_ = 0;
  failure_ = 0;
  failureText_.clear();
  if (ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0) return true;
  return FailErrno("Cannot reset the file beside", errno);
}

}  // namespace kqmedia
