// The reduced-package list file: written from the media file set of a package list (one media
// path a line, named after the package folder with "-Out.txt") and read back into files and
// folders of the media, each checked, sized and sorted.
//
// The list lives in an "Install" or "Upgrade" folder that this code made (0700) or that is a real
// folder of our user that others cannot write to; the file is never opened through a link.
//
// A list is never rewritten in place: its writer writes the whole new list under a unique
// temporary name beside it ("<list>.<random>.tmp") and renames that over the list. A reader takes
// no lock and always reads one writer's whole list, the one before the rename or the one after.
//
// Writers of one list take turns on an exclusive lock of the lock file "<list>.lock" beside it
// (an open-file-description lock, so that threads of one process exclude each other as processes
// do), waited for at most as long as a reader's retries last. The catalogue object that wrote a
// list keeps the lock until it read the list back (ComputeFileList), writes again or goes away,
// so that it reads back its own list, never a later writer's. While the lock is held no other
// writer's temporary file of that list exists: the holder removes those a dead writer left. Lock
// files stay: removing one that another writer has open would let two writers in at once.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "FileSystemUtils.h"
#include "KQUpdateCache.h"
#include "PackageCache.h"
#include "PortableFiles/PxFile.h"
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
// The longest a writer waits for the writers' lock of a list (as long as a reader's retries
// last), and how often it looks.
constexpr std::chrono::seconds kWriterWaitLimit = kListFileOpenAttempts * kListFileRetryPause;
constexpr std::chrono::milliseconds kWriterPoll(10);
// The names beside a list "<list>": its writers' lock file "<list>.lock" and its temporary
// files "<list>.<random>.tmp". Neither ever ends in "-Out.txt", so neither is another list.
const char kLockSuffix[] = ".lock";
const char kTempSuffix[] = ".tmp";
// The hexadecimal digits that make a temporary name unique, and the names tried for one
// temporary file before giving up.
constexpr std::size_t kTempUniqueDigits = 16;
constexpr int kTempNameAttempts = 16;

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

// Takes the writers' lock of list `name` in the folder open at dirfd: an exclusive lock of its
// whole lock file (made when missing; a link or anything but a regular file is refused), waited
// for at most kWriterWaitLimit. The returned descriptor holds the lock until it is closed; -1
// with errno set (ETIMEDOUT when the wait ran out).
int LockListWriters(int dirfd, const std::string& name) {
  const std::string lockName = name + kLockSuffix;
  ScopedFd fd(::openat(dirfd, lockName.c_str(),
                       O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  struct flock whole = {};  // l_start 0, l_len 0: the whole file
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  const auto deadline = std::chrono::steady_clock::now() + kWriterWaitLimit;
  while (::fcntl(fd.get(), F_OFD_SETLK, &whole) != 0) {
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EACCES) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = ETIMEDOUT;
      return -1;
    }
    std::this_thread::sleep_for(kWriterPoll);
  }
  return fd.release();
}

// True when `entry` names a temporary file of list `name` (and not one of a list whose name
// merely starts with it).
bool IsTempFileOf(const std::string& entry, const std::string& name) {
  const std::size_t suffix = sizeof(kTempSuffix) - 1;
  if (entry.size() != name.size() + 1 + kTempUniqueDigits + suffix ||
      entry.compare(0, name.size(), name) != 0 || entry[name.size()] != '.' ||
      entry.compare(entry.size() - suffix, suffix, kTempSuffix) != 0)
    return false;
  const std::string unique = entry.substr(name.size() + 1, kTempUniqueDigits);
  return unique.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Removes the temporary files of list `name` from the folder open at dirfd (`folder` is its path,
// for messages). Only for the holder of the list's writers' lock: no live writer has one then.
void RemoveDeadWritersFiles(int dirfd, const std::string& folder, const std::string& name) {
  std::vector<std::string> dead;
  const int fd = kq::OpenFolderUnder(dirfd, "");
  DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
  if (listing == nullptr) {
    if (fd >= 0) ::close(fd);
    return;  // the next writer tries again
  }
  while (const dirent* entry = ::readdir(listing))
    if (IsTempFileOf(entry->d_name, name)) dead.push_back(entry->d_name);
  ::closedir(listing);
  for (const std::string& entry : dead) kq::RemoveFileUnderAt(dirfd, folder, entry, nullptr);
}

// Writes text under a new temporary name beside list `name` in the folder open at dirfd and
// renames it over the list. False with errno set when a step fails; the temporary file is then
// removed again and the list stays as it was.
bool ReplaceList(int dirfd, const std::string& folder, const std::string& name,
                 const std::string& text) {
  std::random_device random;
  std::string temp;
  ScopedFd out;
  for (int attempt = 0; attempt < kTempNameAttempts && !out.valid(); ++attempt) {
    char unique[kTempUniqueDigits + 2];  // '.' and the digits
    std::snprintf(unique, sizeof unique, ".%08x%08x", random(), random());
    temp = name + unique + kTempSuffix;
    out.reset(::openat(dirfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (!out.valid() && errno != EEXIST) return false;
  }
  if (!out.valid()) return false;  // errno EEXIST
  const bool replaced = CPxFile::WriteAllTo(out.get(), text.data(), text.size()) &&
                        ::close(out.release()) == 0 &&
                        ::renameat(dirfd, temp.c_str(), dirfd, name.c_str()) == 0;
  if (!replaced) {
    const int error = errno;
    kq::RemoveFileUnderAt(dirfd, folder, temp, nullptr);
    errno = error;
  }
  return replaced;
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
  if (!dir.valid()) {
    const int error = errno;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to create the directory [%s] with errno [%d]",
                   folder.c_str(), error);
    m_log.DebugJob(0, kTag, m_jobId, "Reason: %s", why.c_str());
    m_errMsg += "Unusable package list folder " + folder;
    return false;
  }
  const std::string name = listFileName(packageName);
  const std::string path = folder + "/" + name;
  // What stands at the list's name must be a list: a link or a folder there is left alone.
  struct stat st;
  const int notAList = ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0
                           ? (errno == ENOENT ? 0 : errno)
                           : (S_ISREG(st.st_mode) ? 0 : S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
  if (notAList != 0) {
    m_errMsg += "Failed to open file " + path;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to open file [%s] with errno [%d]", path.c_str(),
                   notAList);
    return false;
  }

  std::string text;
  if (!reducedListText(packageIds, bsId, updatePackNumber, text)) return false;

  ScopedFd lock(LockListWriters(dir.get(), name));
  if (!lock.valid()) {
    const int error = errno;
    m_errMsg += "Failed to open file " + path;
    if (error == ETIMEDOUT)
      m_log.DebugJob(0, kTag, m_jobId, "Timed out waiting for the lock of [%s] after %lld seconds",
                     path.c_str(), static_cast<long long>(kWriterWaitLimit.count()));
    else
      m_log.DebugJob(0, kTag, m_jobId, "Failed to open file [%s] with errno [%d]", path.c_str(),
                     error);
    return false;
  }
  RemoveDeadWritersFiles(dir.get(), folder, name);
  if (!ReplaceList(dir.get(), folder, name, text)) {
    const int error = errno;
    m_errMsg += "Failed to write file " + path;
    m_log.DebugJob(0, kTag, m_jobId, "Failed to write file [%s] with errno [%d]", path.c_str(), error);
    return false;
  }
  m_listLockFd = lock.release();
  m_listLockPath = path;
  return true;
}

bool KQPackageCache::reducedListText(const std::vector<unsigned>& packageIds, int bsId,
                                     int updatePackNumber, std::string& text) {
  static const char* const kTag = "[CreatePkgInfoFile]";
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
  text.clear();
  for (const UpdatePatches::BinaryV11& f : mediaFiles) {
    std::string line = f.getstring(UpdatePatches::BinaryV11::kRelativePath);
    UnixPath(line);
    text += line + "\n";
  }
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
  if (!dir.valid()) {
    m_log.Debug(kTag, "Failed to create the directory [%s]", folder.c_str());
    m_log.Debug(kTag, "Reason: %s", why.c_str());
    m_errMsg += "Unusable package list folder " + folder;
    return false;
  }

  // A list is only ever replaced whole (see the top of the file): what is read is a whole list.
  std::string text;
  for (int attempt = 0;; ++attempt) {
    ScopedFd in(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int error = errno;
    if (!in.valid() && error == ENOENT) return true;  // no list: nothing to add
    if (in.valid()) {
      if (ReadAll(in.get(), text)) break;
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
