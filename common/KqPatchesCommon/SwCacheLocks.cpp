#include "SwCacheLocks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Concurrency/CTimeStamp.h"
#include "Concurrency/FXProcess.h"
#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/LockFile.h"
#include "Configuration/IniStore.h"
#include "Configuration/KQClient.h"
#include "Configuration/StateFolders.h"
#include "Jobs/KQJobQuery.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/PxString.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"
#include "Versions/FullVersion.h"
#include "SwCacheMutex.h"
#include "Vocabulary.h"

namespace {

const char* const kTagGet = "getLockOnSwCache";
const char* const kTagCheck = "checkForValidLocks";
const char* const kGuardFileName = "Locks.guard";
// The folder of all lock roots, below the install folder.
const char* const kLocksKind = "Deployment/SwCacheLocks";
// Item, version and OS levels and the lock folders are made as folders any local user may read.
const mode_t kLevelMode = 0755;

long long g_guardWaitMs = kSwCacheMutexWaitMs;

// An exclusive flock on the guard file of the lock root open at `rootFd`, for one scope, waited
// for at most g_guardWaitMs. Closing the file releases it, also when the process dies.
class GuardLock {
 public:
  GuardLock(int rootFd, const std::string& root) {
    // The owner's alone: anyone who can open the guard can hold it (see Concurrency/LockFile.h).
    fd_ = kq::OpenLockFileAt(rootFd, kGuardFileName, root + "/" + kGuardFileName, openErr_);
    if (fd_ < 0) {
      err_ = errno;
      return;
    }
    err_ = kq::LockFileUntil(fd_, std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(g_guardWaitMs));
    if (err_ != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~GuardLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  GuardLock(const GuardLock&) = delete;
  GuardLock& operator=(const GuardLock&) = delete;

  bool held() const { return fd_ >= 0; }
  int error() const { return err_; }
  // Why the guard file was refused, when it was.
  const std::string& openError() const { return openErr_; }

 private:
  int fd_ = -1;
  int err_ = 0;
  std::string openErr_;
};

// An item name must not lead into the lock folders or the guard file of another item.
bool NamesALockFolder(const std::string& item) {
  size_t start = 0;
  while (start <= item.size()) {
    size_t end = item.find('/', start);
    if (end == std::string::npos) end = item.size();
    std::string part = item.substr(start, end - start);
    if (part == "ReadLocks" || part == "WriteLocks" || part == kGuardFileName) return true;
    start = end + 1;
  }
  return false;
}

// A process id as a lock-file name carries it: decimal digits only, above 0, within pid range.
bool ParseProcessId(const std::string& text, long long& pid) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  long long v = std::atoll(text.c_str());
  if (v <= 0 || v > 2147483647LL) return false;
  pid = v;
  return true;
}

std::vector<std::string> Tokens(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string token;
  while (in >> token) out.push_back(token);
  return out;
}

enum Verdict { kLive, kStale, kPassOver };

// Decides about one entry of a lock folder.
Verdict JudgeEntry(EvDebug& log, const std::string& name, bool ignoreCurrentProcess,
                   const FXProcess& self) {
  size_t p = name.find('P');
  if (p == std::string::npos) {
    log.Debug(kTagCheck, "Incorrect format found in lock file [%s]", name.c_str());
    return kStale;
  }
  size_t underscore = name.find('_', p);
  if (underscore == std::string::npos) {
    log.Debug(kTagCheck, "Incorrect format detected in lock file [%s].", name.c_str());
    return kStale;
  }
  long long pid = 0;
  if (!ParseProcessId(name.substr(p + 1, underscore - p - 1), pid)) {
    log.Debug(kTagCheck, "Invalid process Id in lock file [%s]", name.c_str());
    return kStale;
  }

  // No start-time test: file times follow the wall clock, which may step. A reused process
  // id still has to pass the job tests below.
  FXProcess holder(pid, CTimeStamp(), nullptr, true);
  if (!holder.isAlive()) {
    log.Debug(kTagCheck, "ProcessId %lld is not running", pid);
    return kStale;
  }
  if (!holder.canInspect()) {
    // Hidden from us (hidepid) or /proc unreadable: a lock is given up only on proof.
    log.Debug(kTagCheck, "Process Id [%lld] cannot be looked at, keeping lock file [%s]", pid,
              name.c_str());
    return kLive;
  }
  std::string cmdLine = holder.getProcessCmdLineParams();
  log.DebugLvl(kTagCheck, 8, "Process Id [%lld] has command line param [%s]", pid,
               cmdLine.c_str());

  size_t j = name.find('J');
  if (j == std::string::npos) {
    log.Debug(kTagCheck, "Incorrect format detected in lock file [%s]", name.c_str());
    return kStale;
  }
  long long jobId = std::atoll(name.c_str() + j + 1);
  if (jobId == 0) {
    log.Debug(kTagCheck, "Job Id is set to 0 or empty in lock file [%s]", name.c_str());
    return kStale;
  }

  KQJobQuery jobs;
  jobs.init(nullptr);
  bool running = jobs.isJobRunning(jobId);
  if (running) {
    if (ignoreCurrentProcess && pid == self.getProcessId()) {
      log.DebugLvl(kTagCheck, 10,
                   "ignoreCurrentProcess flag is set and process Id is the same, continuing");
      return kPassOver;
    }
    std::vector<std::string> tokens = Tokens(cmdLine);
    size_t t = 0;
    while (t < tokens.size() && tokens[t] != "-jobid") ++t;
    if (t == tokens.size()) {
      std::string processName = holder.getProcessName();
      std::string lower = processName;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (processName.empty()) {
        log.Debug(kTagCheck, "Process Id [%lld] has empty process name set, skipping it", pid);
        running = false;
      } else if (lower != "kqd") {
        log.Debug(kTagCheck, "Process Id [%lld] is not kqd process and no jobId set, skipping it",
                  pid);
        running = false;
      } else if (processName != self.getProcessName()) {
        log.Debug(kTagCheck,
                  "Process Id [%lld] is kqd process but current process is not, marking the "
                  "lock valid",
                  pid);
      } else if (pid == self.getProcessId()) {
        log.Debug(kTagCheck,
                  "ignoreCurrentProcess flag is not set and lock already acquired by same KQD "
                  "process, marking the lock valid");
      } else {
        log.DebugLvl(kTagCheck, 10, "Process Id [%lld] is a different KQD process, skipping it",
                     pid);
        running = false;
      }
    } else if (t + 1 == tokens.size()) {
      log.Debug(kTagCheck, "Process Id [%lld] does not contain any valid job Id", pid);
      running = false;
    } else {
      long long cmdJob = std::atoll(tokens[t + 1].c_str());
      if (cmdJob != jobId) {
        log.Debug(kTagCheck,
                  "Process Id [%lld] has job Id [%lld] set which is different than the job Id "
                  "[%lld] in lock file, skipping it",
                  pid, cmdJob, jobId);
        running = false;
      } else {
        log.DebugLvl(kTagCheck, 10,
                     "Process Id [%lld] has job Id [%lld] set in its command line params, "
                     "marking the lock valid",
                     pid, cmdJob);
      }
    }
  }
  if (!running) {
    log.Debug(kTagCheck, "jobId %lld is not running using correct process Id [%lld].", jobId, pid);
    return kStale;
  }
  return kLive;
}

enum ScanResult { kNoLiveLock, kLiveLock, kScanFailed };

// One scan of the lock folder open at `fd` (taken over; see checkForValidLocks), listed and
// cleaned through that descriptor only; `folder` is its path, for messages and the verdicts'
// lines. kScanFailed when it cannot be read.
ScanResult ScanLockFolder(EvDebug& log, int fd, const std::string& folder,
                          bool ignoreCurrentProcess) {
  CPxFolderHandle dir;
  std::vector<SPxDirEntry> entries;
  CPxError e = dir.Adopt(fd, folder);
  if (!e.IsError()) e = CPxDirectory::ReadNames(dir, entries);
  if (e.IsError()) {
    log.Debug(kTagCheck, "Failed to open the dir %s, errno %s", folder.c_str(), e.c_str());
    return kScanFailed;
  }
  FXProcess self(0, CTimeStamp(), nullptr, false);
  for (const SPxDirEntry& entry : entries) {
    std::string fullPath = folder + "/" + entry.name;
    Verdict verdict = JudgeEntry(log, entry.name, ignoreCurrentProcess, self);
    if (verdict == kLive) {
      log.DebugLvl(kTagCheck, 10,
                   "Correct process Id and job Id detected in file [%s], marking the lock valid",
                   fullPath.c_str());
      log.DebugLvl(kTagCheck, 10, "lock file present at %s", fullPath.c_str());
      return kLiveLock;
    }
    if (verdict == kStale) {
      log.Debug(kTagCheck, "Delete current lock file [%s]", entry.name.c_str());
      std::string err;
      if (!kq::RemoveFileUnderAt(dir.nativeHandle(), folder, entry.name, &err)) {
        const int code = errno;
        log.Debug(kTagCheck, "Cannot delete lock file [%s] with error [%d:%s], continuing.",
                  fullPath.c_str(), code, err.c_str());
      }
    }
  }
  return kNoLiveLock;
}

// The lock folder `name` of the lock root open at `rootFd`: one that does not exist holds no
// lock; one that is a link, is not trusted, or cannot be read is a failure: nobody can tell
// whether the item is free.
ScanResult ScanIfPresent(EvDebug& log, int rootFd, const std::string& root, const char* name,
                         bool ignoreCurrentProcess) {
  const std::string folder = root + "/" + name;
  std::string err;
  const int fd = kq::OpenTrustedSubfolder(rootFd, name, false, 0, folder, err);
  if (fd < 0 && errno == ENOENT) return kNoLiveLock;
  if (fd < 0) {
    log.Debug(kTagGet, "Lock folder [%s] is no folder or cannot be looked at: %s",
              folder.c_str(), err.c_str());
    return kScanFailed;
  }
  return ScanLockFolder(log, fd, folder, ignoreCurrentProcess);
}

// Where the lock root of an item lies: the folder of all lock roots below the install folder,
// the levels below it (the item name's, then version and OS), and the root's path.
struct LockRootPlace {
  std::string locks;
  std::vector<std::string> levels;
  std::string path;
};

bool FindLockRoot(EvDebug& log, const std::string& item, const FullVersion* version, int osId,
                  LockRootPlace& place) {
  if (!kq::IsSafeRelativeName(item) || NamesALockFolder(item)) {
    log.Debug(kTagGet, "Invalid item name [%s] for a software-cache lock", item.c_str());
    return false;
  }
  std::string install, refused;
  if (kqconfig::IniStore::DefaultRefused(refused)) {  // it may name the install folder
    log.Debug(kTagGet, "No software-cache lock: %s", refused.c_str());
    return false;
  }
  if (KQClient(2).getInstallDirectory(install, 1, nullptr) != 0 || install.empty()) {
    log.Debug(kTagGet, "Failed to get the install folder of the Hubnode client");
    return false;
  }
  std::string below = item;
  if (version) {
    below += "/" + version->formatted_str(FullVersion::kFormatSide);
    if (osId >= 1 && osId <= 34) {
      SetOSTypesInfo();
      const std::string& osName = OSTypesInfo[osId].name;
      if (!osName.empty()) below += "/" + osName;
    }
  }
  place.locks = install + "/" + kLocksKind;
  place.levels = kq::NameComponents(below);
  place.path = place.locks + "/" + below;
  return true;
}

// Opens the folder of all lock roots, checked from "/" as the other state folders below the
// install folder are (and made as they are when missing and `make`). Without `make`, errno
// tells ENOENT only where the walk found a real folder lacking the next level.
int OpenLocksFolder(const std::string& locks, bool make, std::string& err) {
  if (!make) return kq::OpenTrustedFolder(locks, kq::TrustedFolderOptions{}, err);
  if (kq::DefaultStateFolder(kLocksKind) == locks) {
    std::string made;
    return kq::OpenStateFolder(kLocksKind, made, err);
  }
  return kq::OpenConfiguredFolder(locks, err);
}

// Opens the lock root of `place`, every level below the folder of all lock roots through the
// descriptor of the level above it (made first when `make`). The descriptor, or -1 with the
// reason in `err` and errno ENOENT when a level is missing and not to be made.
int OpenLockRoot(const LockRootPlace& place, bool make, std::string& err) {
  kq::ScopedFd fd(OpenLocksFolder(place.locks, make, err));
  if (!fd.valid()) {
    if (make || errno != ENOENT) errno = EPERM;
    return -1;
  }
  std::string shown = place.locks;
  for (const std::string& level : place.levels) {
    shown += "/" + level;
    const int next = kq::OpenTrustedSubfolder(fd.get(), level, make, kLevelMode, shown, err);
    if (next < 0) return -1;
    fd.reset(next);
  }
  return fd.release();
}

}  // namespace

std::string GetSwCacheLockRoot(const std::string& item, const FullVersion* version, int osId) {
  EvDebug log;
  LockRootPlace place;
  return FindLockRoot(log, item, version, osId, place) ? place.path : std::string();
}

bool checkForValidLocks(std::string folder, bool ignoreCurrentProcess) {
  EvDebug log;
  // Checked from "/" as the lock roots are, then listed and cleaned through that descriptor.
  std::string err;
  kq::ScopedFd checked(kq::OpenTrustedFolder(folder, kq::TrustedFolderOptions{}, err));
  const int fd = checked.valid() ? kq::OpenFolderUnder(checked.get(), "") : -1;
  if (fd < 0) {
    if (checked.valid()) err = PxErrnoText(errno);
    log.Debug(kTagCheck, "Failed to open the dir %s, errno %s", folder.c_str(), err.c_str());
    return false;
  }
  return ScanLockFolder(log, fd, folder, ignoreCurrentProcess) == kLiveLock;
}

void SetSwCacheLockGuardWait(long long waitMs) {
  g_guardWaitMs = waitMs < 0 || waitMs > kSwCacheMutexWaitMs ? kSwCacheMutexWaitMs : waitMs;
}

unsigned int getLockOnSwCache(QU_LOCKTYPE type, std::string item, std::string& lockFile,
                              const FullVersion* version, int osId, unsigned long jobId,
                              bool create, bool ignoreCurrentProcess) {
  EvDebug log;
  if (type != QU_READ_LOCK && type != QU_WRITE_LOCK) {
    log.Debug(kTagGet, "Invalid lock type %d", static_cast<int>(type));
    return kSwCacheLockFailed;
  }
  // Job id 0 marks a lock that every scan deletes: it would never protect anything.
  if (jobId == 0) {
    log.Debug(kTagGet, "Invalid job Id 0 for a lock on [%s]", item.c_str());
    return kSwCacheLockFailed;
  }
  LockRootPlace place;
  if (!FindLockRoot(log, item, version, osId, place)) return kSwCacheLockFailed;
  const std::string& root = place.path;
  const unsigned long pid = GetCurrentProcessId();

  // The lock tree is reached through the descriptors checked from "/", never by path: it is
  // free only where a real level lacks the next name, as no lock was ever taken there.
  std::string err;
  kq::ScopedFd rootFd(OpenLockRoot(place, create, err));
  if (!rootFd.valid()) {
    if (!create && errno == ENOENT) return kSwCacheLockFree;
    const std::string refusal = kq::DescribeRefusal("lock folder", root, err);
    log.Debug(kTagGet, "Refusing %s", refusal.c_str());
    kq::ReportRefusal(kTagGet, "refusing " + refusal);
    return kSwCacheLockFailed;
  }
  // Test and creation under one guard: two takers never both find the item free.
  GuardLock guard(rootFd.get(), root);
  if (!guard.held()) {
    log.Debug(kTagGet, "Failed to lock the guard file of [%s] with errno [%d] %s", root.c_str(),
              guard.error(), guard.openError().c_str());
    return kSwCacheLockFailed;
  }

  // Readers are tested before writers; a read request looks at the writers only.
  const char* lockFolderName = type == QU_READ_LOCK ? "ReadLocks" : "WriteLocks";
  if (type == QU_WRITE_LOCK) {
    ScanResult readers = ScanIfPresent(log, rootFd.get(), root, "ReadLocks", ignoreCurrentProcess);
    if (readers == kScanFailed) return kSwCacheLockFailed;
    if (readers == kLiveLock) return kSwCacheReadLocked;
  }
  ScanResult writers = ScanIfPresent(log, rootFd.get(), root, "WriteLocks", ignoreCurrentProcess);
  if (writers == kScanFailed) return kSwCacheLockFailed;
  if (writers == kLiveLock) return kSwCacheWriteLocked;
  if (!create) return kSwCacheLockFree;
  const std::string lockFolder = root + "/" + lockFolderName;
  kq::ScopedFd folder(
      kq::OpenTrustedSubfolder(rootFd.get(), lockFolderName, true, kLevelMode, lockFolder, err));
  if (!folder.valid()) {
    log.Debug(kTagGet, "Failed to create the lock folder [%s]: %s", lockFolder.c_str(),
              err.c_str());
    return kSwCacheLockFailed;
  }
  const std::string name = CPxString::Format("P{1}_J{2}.lock", pid, jobId).str();
  const std::string path = lockFolder + "/" + name;
  // The name is this process's and job's own: whatever has it (an earlier lock file of ours,
  // or a link another user put in its place) is replaced, never written through.
  kq::RemoveFileUnderAt(folder.get(), lockFolder, name, nullptr);
  int fd = kq::OpenOwnFileAt(folder.get(), name, O_WRONLY | O_CREAT | O_EXCL, 0600, false, path,
                             err);
  if (fd < 0) {
    log.Debug(kTagGet, "Failed to create the lock file [%s]", path.c_str());
    return kSwCacheLockFailed;
  }
  bool written = CPxFile::WriteAllTo(fd, item.data(), item.size());
  written = (::close(fd) == 0) && written;
  if (!written) {
    log.Debug(kTagGet, "Failed to create the lock file [%s]", path.c_str());
    kq::RemoveFileUnderAt(folder.get(), lockFolder, name, nullptr);
    return kSwCacheLockFailed;
  }
  log.Debug(kTagGet, "Created lock file [%s]", path.c_str());
  lockFile = path;
  return kSwCacheLockFree;
}

unsigned int getLockOnSwCache(QU_LOCKTYPE type, std::string item, std::string& lockFile,
                              unsigned long jobId, bool create, bool ignoreCurrentProcess,
                              bool staging) {
  if (staging) {
    EvDebug().Debug(kTagGet, "Staging cache is no longer supported, skipping the lock");
    return kSwCacheLockFree;
  }
  return getLockOnSwCache(type, item, lockFile, nullptr, 0, jobId, create, ignoreCurrentProcess);
}
