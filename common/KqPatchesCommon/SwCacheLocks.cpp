#include "SwCacheLocks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
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
#include "Configuration/KQClient.h"
#include "FileSystemUtils.h"
#include "Jobs/KQJobQuery.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxFile.h"
#include "PortableFiles/PxString.h"
#include "PortableFiles/SafePath.h"
#include "Versions/FullVersion.h"
#include "Vocabulary.h"

namespace {

const char* const kTagGet = "getLockOnSwCache";
const char* const kTagCheck = "checkForValidLocks";
const char* const kGuardFileName = "Locks.guard";

// An exclusive flock on the guard file of a lock root, for one scope. Closing the file
// releases it, also when the process dies.
class GuardLock {
 public:
  explicit GuardLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      err_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      err_ = errno;
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~GuardLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  GuardLock(const GuardLock&) = delete;
  GuardLock& operator=(const GuardLock&) = delete;

  bool held() const { return fd_ >= 0; }
  int error() const { return err_; }

 private:
  int fd_ = -1;
  int err_ = 0;
};

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
Verdict JudgeEntry(EvDebug& log, const std::string& name, const std::string& fullPath,
                   bool ignoreCurrentProcess, const FXProcess& self) {
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

  // A process that started after the lock file was written cannot have written it: its id
  // was reused.
  SPxFileStat st;
  if (CPxFile::Lstat(fullPath, st).IsError()) return kPassOver;  // deleted meanwhile
  CTimeStamp written(static_cast<long long>(st.mtime) * CTimeStamp::kTicksPerSecond);
  FXProcess holder(pid, written, nullptr, true);
  if (!holder.isAlive()) {
    log.Debug(kTagCheck, "ProcessId %lld is not running", pid);
    return kStale;
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

bool FolderExists(const std::string& path) {
  SPxFileStat st;
  return !CPxFile::Stat(path, st).IsError() && st.IsDirectory();
}

// Has the folder any entry at all (a lock file of an empty item name has no bytes, but is one).
bool HasEntries(const std::string& folder) { return !CPxDirectory::IsEmpty(folder); }

}  // namespace

std::string GetSwCacheLockRoot(const std::string& item, const FullVersion* version, int osId) {
  EvDebug log;
  if (!kq::IsSafeRelativeName(item)) {
    log.Debug(kTagGet, "Invalid item name [%s] for a software-cache lock", item.c_str());
    return std::string();
  }
  std::string install;
  if (KQClient(2).getInstallDirectory(install, 1, nullptr) != 0 || install.empty()) {
    log.Debug(kTagGet, "Failed to get the install folder of the Hubnode client");
    return std::string();
  }
  std::string root = install + "/Deployment/SwCacheLocks/" + item;
  if (version) {
    root += "/" + version->formatted_str(FullVersion::kFormatSide);
    if (osId >= 1 && osId <= 34) {
      SetOSTypesInfo();
      const std::string& osName = OSTypesInfo[osId].name;
      if (!osName.empty()) root += "/" + osName;
    }
  }
  return root;
}

bool checkForValidLocks(std::string folder, bool ignoreCurrentProcess) {
  EvDebug log;
  CPxDirectory dir;
  CPxError e = dir.Open(folder, "*", true);
  if (e.IsError()) {
    log.Debug(kTagCheck, "Failed to open the dir %s, errno %s", folder.c_str(), e.c_str());
    return false;
  }
  FXProcess self(0, CTimeStamp(), nullptr, false);
  bool live = false;
  SPxDirEntry entry;
  bool end = false;
  for (e = dir.GetEntry(entry, &end); !e.IsError() && !end; e = dir.GetEntry(entry, &end)) {
    std::string fullPath = folder + "/" + entry.name;
    Verdict verdict = JudgeEntry(log, entry.name, fullPath, ignoreCurrentProcess, self);
    if (verdict == kLive) {
      log.DebugLvl(kTagCheck, 10,
                   "Correct process Id and job Id detected in file [%s], marking the lock valid",
                   fullPath.c_str());
      log.DebugLvl(kTagCheck, 10, "lock file present at %s", fullPath.c_str());
      live = true;
      break;
    }
    if (verdict == kStale) {
      log.Debug(kTagCheck, "Delete current lock file [%s]", entry.name.c_str());
      CPxError d = CPxFile::Delete(fullPath);
      if (d.IsError()) {
        log.Debug(kTagCheck, "Cannot delete lock file [%s] with error [%d:%s], continuing.",
                  fullPath.c_str(), d.GetErrorCode(), d.c_str());
      }
    }
  }
  if (e.IsError()) {
    log.Debug(kTagCheck, "Failed to open the dir %s, errno %s", folder.c_str(), e.c_str());
  }
  dir.Close();
  return live;
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
  std::string root = GetSwCacheLockRoot(item, version, osId);
  if (root.empty()) return kSwCacheLockFailed;
  const std::string readLocks = root + "/ReadLocks";
  const std::string writeLocks = root + "/WriteLocks";
  const unsigned long pid = GetCurrentProcessId();

  if (!create && !FolderExists(root)) return kSwCacheLockFree;  // no lock was ever taken here
  if (create && !recursiveCreateDir(root.c_str())) {
    log.Debug(kTagGet, "Failed to create the lock folder [%s]", root.c_str());
    return kSwCacheLockFailed;
  }
  // Test and creation under one guard: two takers never both find the item free.
  GuardLock guard(root + "/" + kGuardFileName);
  if (!guard.held()) {
    log.Debug(kTagGet, "Failed to lock the guard file of [%s] with errno [%d]", root.c_str(),
              guard.error());
    return kSwCacheLockFailed;
  }

  std::string lockFolder;
  if (type == QU_READ_LOCK) {
    if (HasEntries(writeLocks) && checkForValidLocks(writeLocks, ignoreCurrentProcess)) {
      return kSwCacheWriteLocked;
    }
    if (!create) return kSwCacheLockFree;
    lockFolder = readLocks;
  } else {
    if (HasEntries(readLocks) && checkForValidLocks(readLocks, ignoreCurrentProcess)) {
      return kSwCacheReadLocked;
    }
    if (HasEntries(writeLocks) && checkForValidLocks(writeLocks, ignoreCurrentProcess)) {
      return kSwCacheWriteLocked;
    }
    if (!create) return kSwCacheLockFree;
    lockFolder = writeLocks;
  }
  if (!recursiveCreateDir(lockFolder.c_str())) {
    log.Debug(kTagGet, "Failed to create the lock folder [%s]", lockFolder.c_str());
    return kSwCacheLockFailed;
  }
  std::string path = CPxString::Format("{1}/P{2}_J{3}.lock", lockFolder, pid, jobId).str();
  FILE* f = std::fopen(path.c_str(), "we");
  if (!f) {
    log.Debug(kTagGet, "Failed to create the lock file [%s]", path.c_str());
    return kSwCacheLockFailed;
  }
  bool written = std::fwrite(item.data(), 1, item.size(), f) == item.size();
  written = (std::fclose(f) == 0) && written;
  if (!written) {
    log.Debug(kTagGet, "Failed to create the lock file [%s]", path.c_str());
    CPxFile::Delete(path);
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
