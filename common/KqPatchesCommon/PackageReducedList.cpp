// The reduced-package list file: written from the media file set of a package list (one media
// path a line, named after the package folder with "-Out.txt") and read back into files and
// folders of the media, each checked, sized and sorted.
//
// The list lives in an "Install" or "Upgrade" folder that this code made (0700) or that is a real
// folder of our user that others cannot write to; the file is never opened through a link.
//
// Two byte-range locks on the list file itself (open-file-description locks, so that threads of
// one process exclude each other as processes do) keep calls on one list apart:
//  - the content byte: held exclusively only while the list is emptied or written; a reader
//    takes it shared without waiting, and a reader that finds it taken tries again later within
//    its bounded retries. A reader never waits for a writer that is not writing.
//  - the writer byte: held by the catalogue object that wrote the list from before it empties
//    the file until it read the list back (ComputeFileList), writes again or goes away. Writers
//    wait for it (bounded), so a writer reads back its own list, never another writer's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PackageCache.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "SmallTextFile.h"
#include "StringUtils.h"
#include "Vocabulary.h"

namespace {

using kq::ScopedFd;

// Attempts to open an existing list file, and the pause between two of them.
constexpr int kListFileOpenAttempts = 61;
constexpr std::chrono::seconds kListFileRetryPause(5);
// The locked bytes of a list file (see the top of the file), the longest a writer waits for
// another writer (as long as a reader's retries last) and how often it looks.
constexpr off_t kContentByte = 0;
constexpr off_t kWriterByte = 1;
constexpr std::chrono::seconds kWriterWaitLimit = kListFileOpenAttempts * kListFileRetryPause;
constexpr std::chrono::milliseconds kWriterPoll(10);

// Opens the list folder, creating it (0700) with its missing parents. The folder must be a real
// folder, not a link, owned by the effective user and not writable by others; otherwise -1 with
// the reason in `why`.
int OpenListFolder(const std::string& folder, std::string& why) {
  const std::size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = folder.substr(0, slash);
    if (!IsADirectory(parent.c_str()) && !recursiveCreateDir(parent.c_str())) {
      why = "cannot create its parent, errno [" + std::to_string(errno) + "]";
      return -1;
    }
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = "cannot create it, errno [" + std::to_string(errno) + "]";
    return -1;
  }
  ScopedFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    why = errno == ELOOP || errno == ENOTDIR ? "it is not a real folder (a link or a file)"
                                             : "cannot open it, errno [" + std::to_string(errno) + "]";
    return -1;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    why = "cannot read its status, errno [" + std::to_string(errno) + "]";
    return -1;
  }
  if (st.st_uid != ::geteuid()) {
    why = "it belongs to user [" + std::to_string(st.st_uid) + "], not to us";
    return -1;
  }
  if (st.st_mode & S_IWOTH) {
    why = "others may write to it";
    return -1;
  }
  return fd.release();
}

// Writes all of text; false with errno set on a short or failed write.
bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads a regular file from fd into text, refusing more than the small-file cap.
bool ReadAll(int fd, std::string& text) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  text.clear();
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (text.size() + static_cast<std::size_t>(n) > kqtext::kMaxSmallTextFileBytes) {
      errno = EFBIG;
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// Locks (F_RDLCK, F_WRLCK) or unlocks (F_UNLCK) one byte of fd without waiting; false with
// errno EAGAIN (or EACCES) when another open file holds a conflicting lock.
bool LockByte(int fd, short type, off_t byte) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// Locks one byte of fd exclusively, waiting at most `limit` for others to let it go; false with
// errno set (EAGAIN when the wait ran out).
bool LockByteWithin(int fd, off_t byte, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (LockByte(fd, F_WRLCK, byte)) return true;
    if (errno != EAGAIN && errno != EACCES) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = EAGAIN;
      return false;
    }
    std::this_thread::sleep_for(kWriterPoll);
  }
}

// The payload folder of an operating system below a media location.
std::string PayloadFolder(int osId) {
  if (osId == 1) return "BinaryPayload32";
  if (osId == 3) return "BinaryPayload";
  const char* name = GetOSNameFromId(osId);
  return name ? name : "";
}

}  // namespace

std::string KQPackageCache::listFolder(int mode, bool& tempMissing) const {
  tempMissing = false;
  if (!m_useTemp) return m_cachePath + "/Deployment/" + (mode == 3 ? "Install" : "Upgrade");
  std::string folder = m_tempFolder;
  if (folder.empty()) {
    tempMissing = true;
    return folder;
  }
  StripTrailingBackslash(folder);
  return folder + "/Install";
}

std::string KQPackageCache::listFileName(std::string packageName) {
  if (packageName.empty()) packageName = "InstallPkgs";
  replaceSpecialChars(packageName, 0, '_');
  return packageName + "-Out.txt";
}

void KQPackageCache::releaseListLock() {
  if (m_listLockFd >= 0) ::close(m_listLockFd);  // closing the last descriptor drops the lock
  m_listLockFd = -1;
  m_listLockPath.clear();
}

bool KQPackageCache::CreatePkgInfoFile(std::vector<unsigned> packageIds, std::string packageName,
                                       int bsId, int mode, int updatePackNumber) {
  static const char* const kTag = "[CreatePkgInfoFile]";
  releaseListLock();
  bool tempMissing = false;
  const std::string folder = listFolder(mode, tempMissing);
  if (tempMissing) {
    m_errMsg += "Temp Directory is not set";
    m_log.DebugJob(0, kTag, m_jobId, "Temp Directory is not set");
    return false;
  }
  std::string why;
  ScopedFd dir(OpenListFolder(folder, why));
  if (dir.get() < 0) {
    const int error = errno;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to create the directory [%s] with errno [%d]",
                   folder.c_str(), error);
    m_log.DebugJob(0, kTag, m_jobId, "Reason: %s", why.c_str());
    m_errMsg += "Unusable package list folder " + folder;
    return false;
  }
  const std::string name = listFileName(packageName);
  const std::string path = folder + "/" + name;
  // Opened without truncating: the content goes only once no other writer holds the list.
  ScopedFd lock(::openat(dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat st;
  if (lock.get() < 0 || ::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = lock.get() < 0 ? errno : EINVAL;
    m_errMsg += "Failed to open file " + path;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to open file [%s] with errno [%d]", path.c_str(), error);
    return false;
  }
  const std::chrono::milliseconds waitLimit = kWriterWaitLimit;
  if (!LockByteWithin(lock.get(), kWriterByte, waitLimit) ||
      !LockByteWithin(lock.get(), kContentByte, waitLimit) || ::ftruncate(lock.get(), 0) != 0 ||
      !LockByte(lock.get(), F_UNLCK, kContentByte)) {
    m_errMsg += "Failed to open file " + path;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to open file [%s] with errno [%d]", path.c_str(), errno);
    return false;
  }

  KQUpdateCache cache(0, m_releaseBuild);
  int osId = bsId;
  std::string media = m_winDvdLocation;
  if (isUnixBsId(bsId)) {
    std::vector<std::string> names;
    getOSNamesUnderBSIDLst({bsId}, names, false);
    osId = names.empty() ? -1 : GetOSIdFromName(names.front());
    if (osId < 0) {
      m_log.DebugJob(0, kTag, m_jobId, "Failed in GetOSIdFromName with bsId [%d]", bsId);
      return false;
    }
    media = m_unixDvdLocation;
  }
  std::vector<UpdatePatches::PackageDesc> packages;
  for (unsigned id : packageIds) {
    UpdatePatches::PackageDesc d;
    d.setint64(UpdatePatches::PackageDesc::kPackageId, id);
    packages.push_back(std::move(d));
  }
  const std::string searchPath = media + "/" + PayloadFolder(osId) + "/LooseUpdates";
  m_log.DebugJob(2, kTag, m_jobId, "Update pack number is [%d]", updatePackNumber);
  std::string packName;
  if (updatePackNumber > 0) {
    packName = "CU" + std::to_string(updatePackNumber);
    m_log.DebugJob(2, kTag, m_jobId, "Update pack level is set to [%s]", packName.c_str());
  } else {
    m_log.DebugJob(2, kTag, m_jobId, "Update pack level is not set set");
  }
  _SPVersion featureRelease;
  std::vector<UpdatePatches::File> featureFiles, looseFiles, installFiles;
  std::vector<UpdatePatches::BinaryV11> mediaFiles;
  if (!cache.ReadCacheFilesPerRelOS(searchPath, 16, osId, bsId, featureRelease, &packages,
                                    &featureFiles, &looseFiles, &installFiles, &mediaFiles, true,
                                    packName)) {
    m_errMsg += "Failed to compute media and update files required for remote activity from location " + media;
    m_log.DebugJob(0, kTag, m_jobId,
                   "Failed to compute media and update files required for remote activity from location [%s], ",
                   media.c_str());
    return false;
  }
  // Each line is the entry's path relative to the media, with '/': for package files the list
  // builder's name field is only the bare file name, which the read-back cannot find.
  std::string text;
  for (const UpdatePatches::BinaryV11& f : mediaFiles) {
    std::string line = f.getstring(UpdatePatches::BinaryV11::kRelativePath);
    UnixPath(line);
    text += line + "\n";
  }
  // Written and closed through a second descriptor of the same open file, so that the writer
  // lock, held by the first, outlives a checked close. Readers wait only for the write itself.
  ScopedFd writer(::dup(lock.get()));
  bool written = writer.get() >= 0 && LockByteWithin(writer.get(), kContentByte, waitLimit);
  written = written && WriteAll(writer.get(), text);
  int error = errno;
  LockByte(lock.get(), F_UNLCK, kContentByte);
  if (written && ::close(writer.release()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    m_errMsg += "Failed to write file " + path;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to write file [%s] with errno [%d]", path.c_str(), error);
    return false;
  }
  m_listLockFd = lock.release();
  m_listLockPath = path;
  return true;
}

bool KQPackageCache::ComputeFileList(std::string packageName, std::string packageLocation,
                                     std::list<std::string>& files,
                                     std::list<std::string>& folders,
                                     unsigned long long& totalSize, int mode) {
  static const char* const kTag = "[ComputeFileList]";
  UnixPath(packageLocation);
  StripTrailingBackslash(packageLocation);

  bool tempMissing = false;
  const std::string folder = listFolder(mode, tempMissing);
  if (tempMissing) {
    m_errMsg += "Temp Directory is not set";
    m_log.Debug(kTag, "Temp Directory is not set");
    return false;
  }
  const std::string name = listFileName(packageName);
  const std::string listFile = folder + "/" + name;
  // The writer lock this object took when it wrote the list goes once the list was read.
  const bool ownLock = m_listLockFd >= 0 && m_listLockPath == listFile;
  struct Unlock {
    KQPackageCache* self;
    bool own;
    ~Unlock() {
      if (own) self->releaseListLock();
    }
  } unlock{this, ownLock};

  std::string why;
  ScopedFd dir(OpenListFolder(folder, why));
  if (dir.get() < 0) {
    m_log.Debug(kTag, "Failed to create the directory [%s]", folder.c_str());
    m_log.Debug(kTag, "Reason: %s", why.c_str());
    m_errMsg += "Unusable package list folder " + folder;
    return false;
  }

  std::string text;
  for (int attempt = 0;; ++attempt) {
    ScopedFd in(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int error = errno;
    if (in.get() < 0 && error == ENOENT) return true;  // no list: nothing to add
    if (in.get() >= 0) {
      // A list being written right now is tried again after the pause, like one that cannot
      // be opened yet; nothing waits here.
      if (LockByte(in.get(), F_RDLCK, kContentByte) && ReadAll(in.get(), text)) break;
      error = errno;
    }
    m_errMsg = "Could not open output file [" + listFile + "]";
    if (error == ELOOP || error == EINVAL || error == EFBIG) {
      m_log.Debug(kTag, "Output file [%s] is not a regular package list (errno [%d])", listFile.c_str(), error);
      return false;
    }
    if (attempt + 1 >= kListFileOpenAttempts) {
      m_log.Debug(kTag, "Could not open output file [%s] to read, failing the job after maximum no.of retries",
                  listFile.c_str());
      return false;
    }
    m_log.Debug(kTag,
                "Could not open output file [%s] to read with errno [%d]. It will be retried after sleep of 5 sec",
                listFile.c_str(), error);
    std::this_thread::sleep_for(kListFileRetryPause);
  }

  for (std::string line : kqtext::SplitLines(text)) {
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (line.empty()) continue;
    std::string full = packageLocation + "/" + line;
    UnixPath(full);
    if (!kq::IsSafeRelativeName(line)) {
      m_errMsg += "[ File" + full + " is outside the media ]";
      m_log.Debug(kTag, "File [%s] is outside the media", full.c_str());
      return false;
    }
    unsigned long long size = 0;
    if (!isFilePresent(full.c_str()) || !GetDirectorySize(full.c_str(), size)) {
      m_errMsg += "[ File" + full + " is missing ]";
      m_log.Debug(kTag, "File [%s] is missing or empty ", full.c_str());
      return false;
    }
    totalSize += size;
    (IsADirectory(full.c_str()) ? folders : files).push_back(line);
  }
  return true;
}
