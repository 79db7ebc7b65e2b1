#include "PortableFiles/PxFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/SafePath.h"

namespace {

void FillStat(const struct stat& sb, SPxFileStat& info) {
  info.size = static_cast<uint64_t>(sb.st_size);
  info.mode = static_cast<uint32_t>(sb.st_mode);
  info.mtime = static_cast<int64_t>(sb.st_mtime);
  info.nlink = static_cast<uint64_t>(sb.st_nlink);
  info.uid = static_cast<uint32_t>(sb.st_uid);
}

CPxError Errno(int err, const std::string& what, const FXCodeLocation& where) {
  return CPxError::FromErrno(err, what, where);
}

// Closes a descriptor on scope exit.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

CPxFile::~CPxFile() { Close(); }

CPxFile::CPxFile(CPxFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

CPxFile& CPxFile::operator=(CPxFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

CPxError CPxFile::Open(const char* path, unsigned flags, unsigned attributes) {
  Close();
  if (path == nullptr || *path == '\0') return Errno(EINVAL, "Cannot open an empty path", FX_CODE_LOCATION());
  const unsigned known = kWrite | kReadWrite | kCreate | kExclusive | kTruncate | kAppend;
  const mode_t mode = (attributes & kAttrReadOnly) ? 0444 : 0644;
  int fd = open(path, static_cast<int>(flags & known) | O_CLOEXEC, mode);
  if (fd < 0) return Errno(errno, std::string("Cannot open [") + path + "]", FX_CODE_LOCATION());
  fd_ = fd;
  path_ = path;
  return CPxError();
}

CPxError CPxFile::OpenRegular(const std::string& path, uint64_t maxBytes, uint64_t* size) {
  Close();
  if (path.empty()) return Errno(EINVAL, "Cannot open an empty path", FX_CODE_LOCATION());
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Errno(errno, "Cannot open [" + path + "]", FX_CODE_LOCATION());
  path_ = path;
  return AdoptRegular(fd, maxBytes, size);
}

CPxError CPxFile::OpenRegularAt(const CPxFolderHandle& folder, const std::string& name, uint64_t maxBytes,
                                uint64_t* size) {
  Close();
  if (name.empty() || name.find('/') != std::string::npos)
    return Errno(EINVAL, "Cannot open [" + folder.path() + "/" + name + "]: not one entry name", FX_CODE_LOCATION());
  int fd = openat(folder.nativeHandle(), name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Errno(errno, "Cannot open [" + folder.path() + "/" + name + "]", FX_CODE_LOCATION());
  // Written into the room the path of an earlier file left, when this object opened one.
  path_.assign(folder.path()).append(1, '/').append(name);
  return AdoptRegular(fd, maxBytes, size);
}

CPxError CPxFile::AdoptRegular(int fd, uint64_t maxBytes, uint64_t* size) {
  FdCloser closer{fd};
  struct stat sb;
  CPxError refused;
  if (fstat(fd, &sb) != 0) {
    refused = Errno(errno, "Cannot stat [" + path_ + "]", FX_CODE_LOCATION());
  } else if (S_ISDIR(sb.st_mode)) {
    refused = Errno(EISDIR, "Cannot read [" + path_ + "]", FX_CODE_LOCATION());
  } else if (!S_ISREG(sb.st_mode)) {
    refused = Errno(EINVAL, "[" + path_ + "] is not a regular file", FX_CODE_LOCATION());
  } else if (static_cast<uint64_t>(sb.st_size) > maxBytes) {
    refused = Errno(EFBIG, "[" + path_ + "] is larger than " + std::to_string(maxBytes) + " bytes",
                    FX_CODE_LOCATION());
  }
  if (refused.IsError()) {
    path_.clear();
    return refused;
  }
  // O_NONBLOCK stays set: it only kept the open from waiting on a FIFO, and reads of a regular
  // file ignore it (two system calls fewer for each of the many small files checksummed).
  closer.fd = -1;
  fd_ = fd;
  if (size) *size = static_cast<uint64_t>(sb.st_size);
  return CPxError();
}

CPxError CPxFile::ReadRegular(const std::string& path, uint64_t maxBytes, std::string& text) {
  CPxFile file;
  uint64_t size = 0;
  CPxError e = file.OpenRegular(path, maxBytes, &size);
  if (e.IsError()) return e;
  std::string content;
  content.reserve(static_cast<size_t>(size));
  char buffer[65536];
  for (;;) {
    size_t got = 0;
    e = file.Read(buffer, sizeof buffer, &got);
    if (e.IsError()) return e;
    if (got == 0) break;
    // The file may grow while it is read: the cap holds for what is read, too.
    if (content.size() + got > maxBytes) {
      return Errno(EFBIG, "[" + path + "] is larger than " + std::to_string(maxBytes) + " bytes",
                   FX_CODE_LOCATION());
    }
    content.append(buffer, got);
  }
  text.swap(content);
  return CPxError();
}

void CPxFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  path_.clear();
}

CPxError CPxFile::Read(void* buffer, size_t size, size_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (fd_ < 0) return Errno(EBADF, "Read on a file that is not open", FX_CODE_LOCATION());
  for (;;) {
    ssize_t n = read(fd_, buffer, size);
    if (n >= 0) {
      if (bytesRead) *bytesRead = static_cast<size_t>(n);
      return CPxError();
    }
    if (errno != EINTR) return Errno(errno, "Cannot read [" + path_ + "]", FX_CODE_LOCATION());
  }
}

CPxError CPxFile::Write(const void* buffer, size_t size, size_t* written) {
  if (written) *written = 0;
  if (fd_ < 0) return Errno(EBADF, "Write on a file that is not open", FX_CODE_LOCATION());
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd_, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written) *written = done;
      return Errno(errno, "Cannot write [" + path_ + "]", FX_CODE_LOCATION());
    }
    done += static_cast<size_t>(n);
  }
  if (written) *written = done;
  return CPxError();
}

bool CPxFile::WriteAllTo(int fd, const void* buffer, size_t size) {
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

CPxError CPxFile::Seek(int64_t offset, SeekOrigin origin, int64_t* position) {
  if (fd_ < 0) return Errno(EBADF, "Seek on a file that is not open", FX_CODE_LOCATION());
  int whence = origin == kBegin ? SEEK_SET : origin == kCurrent ? SEEK_CUR : SEEK_END;
  off_t at = lseek(fd_, static_cast<off_t>(offset), whence);
  if (at == static_cast<off_t>(-1)) return Errno(errno, "Cannot seek [" + path_ + "]", FX_CODE_LOCATION());
  if (position) *position = static_cast<int64_t>(at);
  return CPxError();
}

CPxError CPxFile::GetSize(uint64_t& size) const {
  struct stat sb;
  if (fd_ < 0) return Errno(EBADF, "Size of a file that is not open", FX_CODE_LOCATION());
  if (fstat(fd_, &sb) != 0) return Errno(errno, "Cannot stat [" + path_ + "]", FX_CODE_LOCATION());
  size = static_cast<uint64_t>(sb.st_size);
  return CPxError();
}

namespace {
CPxError StatWith(int (*fn)(const char*, struct stat*), const char* path, SPxFileStat& info) {
  struct stat sb;
  if (path == nullptr) return Errno(EINVAL, "Cannot stat a null path", FX_CODE_LOCATION());
  if (fn(path, &sb) != 0) return Errno(errno, std::string("Cannot stat [") + path + "]", FX_CODE_LOCATION());
  FillStat(sb, info);
  return CPxError();
}
}  // namespace

CPxError CPxFile::Stat(const char* path, SPxFileStat& info) { return StatWith(::stat, path, info); }
CPxError CPxFile::Lstat(const char* path, SPxFileStat& info) { return StatWith(::lstat, path, info); }

namespace {
CPxError StatAtWith(int flags, const CPxFolderHandle& folder, const std::string& name, SPxFileStat& info) {
  if (name.empty() || name.find('/') != std::string::npos)
    return Errno(EINVAL, "Cannot stat [" + folder.path() + "/" + name + "]: not one entry name", FX_CODE_LOCATION());
  struct stat sb;
  if (fstatat(folder.nativeHandle(), name.c_str(), &sb, flags) != 0)
    return Errno(errno, "Cannot stat [" + folder.path() + "/" + name + "]", FX_CODE_LOCATION());
  FillStat(sb, info);
  return CPxError();
}
}  // namespace

CPxError CPxFile::StatAt(const CPxFolderHandle& folder, const std::string& name, SPxFileStat& info) {
  return StatAtWith(0, folder, name, info);
}

CPxError CPxFile::LstatAt(const CPxFolderHandle& folder, const std::string& name, SPxFileStat& info) {
  return StatAtWith(AT_SYMLINK_NOFOLLOW, folder, name, info);
}

CPxError CPxFile::Copy(const char* source, const char* target) {
  if (source == nullptr || target == nullptr || *source == '\0' || *target == '\0') {
    return Errno(EINVAL, "Copy needs a source and a target", FX_CODE_LOCATION());
  }
  const std::string src(source), dst(target);
  // O_NONBLOCK keeps a fifo from blocking the open; it is refused just below.
  FdCloser in{open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (in.fd < 0) return Errno(errno, "Cannot open [" + src + "] for copying", FX_CODE_LOCATION());
  struct stat sb;
  if (fstat(in.fd, &sb) != 0) return Errno(errno, "Cannot stat [" + src + "]", FX_CODE_LOCATION());
  if (!S_ISREG(sb.st_mode)) return Errno(EINVAL, "Not a regular file [" + src + "]", FX_CODE_LOCATION());
  fcntl(in.fd, F_SETFL, 0);

  const size_t slash = dst.rfind('/');
  std::string tmp = (slash == std::string::npos ? std::string() : dst.substr(0, slash + 1)) + "." +
                    dst.substr(slash == std::string::npos ? 0 : slash + 1) + ".pxcopy.XXXXXX";
  std::vector<char> tmpName(tmp.begin(), tmp.end());
  tmpName.push_back('\0');
  FdCloser out{mkostemp(tmpName.data(), O_CLOEXEC)};
  if (out.fd < 0) return Errno(errno, "Cannot create a file beside [" + dst + "]", FX_CODE_LOCATION());
  tmp.assign(tmpName.data());

  auto fail = [&](int err, const std::string& what) {
    unlink(tmp.c_str());
    return Errno(err, what, FX_CODE_LOCATION());
  };
  const size_t kBlock = 1 << 20;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kBlock]);
  if (!buf) return fail(ENOMEM, "No buffer for copying [" + src + "]");
  for (;;) {
    ssize_t n = read(in.fd, buf.get(), kBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno, "Cannot read [" + src + "]");
    }
    if (n == 0) break;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = write(out.fd, buf.get() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return fail(errno, "Cannot write a copy of [" + src + "] to [" + dst + "]");
      }
      done += w;
    }
  }
  if (fchmod(out.fd, sb.st_mode & 07777) != 0) return fail(errno, "Cannot set the mode of [" + dst + "]");
  if (close(out.fd) != 0) {
    out.fd = -1;
    return fail(errno, "Cannot write a copy of [" + src + "] to [" + dst + "]");
  }
  out.fd = -1;
  if (rename(tmp.c_str(), target) != 0) return fail(errno, "Cannot replace [" + dst + "]");
  return CPxError();
}

CPxError CPxFile::CopyLink(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) return Errno(EINVAL, "CopyLink needs two paths", FX_CODE_LOCATION());
  std::vector<char> buf(256);
  for (;;) {
    ssize_t n = readlink(source, buf.data(), buf.size());
    if (n < 0) return Errno(errno, std::string("Cannot read the link [") + source + "]", FX_CODE_LOCATION());
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const std::string text(buf.begin(), buf.end());
  if (symlink(text.c_str(), target) != 0) {
    return Errno(errno, std::string("Cannot create the link [") + target + "]", FX_CODE_LOCATION());
  }
  return CPxError();
}

CPxError CPxFile::Delete(const char* path) {
  if (path == nullptr) return Errno(EINVAL, "Cannot delete a null path", FX_CODE_LOCATION());
  std::string err;
  if (!kq::RemoveFileNoFollow(path, &err)) return CPxError(errno ? errno : EIO, err, FX_CODE_LOCATION());
  return CPxError();
}

CPxError CPxFile::Chmod(const char* path, uint32_t mode) {
  if (path == nullptr) return Errno(EINVAL, "Cannot chmod a null path", FX_CODE_LOCATION());
  if (chmod(path, static_cast<mode_t>(mode & 07777)) != 0) {
    return Errno(errno, std::string("Cannot change the mode of [") + path + "]", FX_CODE_LOCATION());
  }
  return CPxError();
}

CPxError CPxFile::RenameAt(const CPxFolderHandle& folder, const std::string& source,
                           const std::string& target) {
  if (renameat(folder.nativeHandle(), source.c_str(), folder.nativeHandle(), target.c_str()) != 0)
    return Errno(errno, "Cannot rename [" + folder.path() + "/" + source + "] to [" + target + "]",
                 FX_CODE_LOCATION());
  return CPxError();
}

CPxError CPxFile::Rename(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) return Errno(EINVAL, "Rename needs two paths", FX_CODE_LOCATION());
  if (rename(source, target) != 0) {
    return Errno(errno, std::string("Cannot rename [") + source + "] to [" + target + "]", FX_CODE_LOCATION());
  }
  return CPxError();
}
