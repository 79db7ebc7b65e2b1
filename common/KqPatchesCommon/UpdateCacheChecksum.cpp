// File and folder checksums of KQUpdateCache, and the per-job checksum pool registry.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "CRCCoder.h"
#include "Concurrency/KqThreadPool.h"
#include "Configuration/KQPlatformInfo.h"
#include "KQUpdateCache.h"
#include "KqCriticalSection.h"
#include "PortableFiles/PxDirectory.h"
#include "StringUtils.h"
#include "Vocabulary.h"

namespace {

// Process-wide checksum pool registry, built empty at load time.
std::map<unsigned int, KqThreadPool*> checkFileTP;
std::map<unsigned int, int> refCountTP;
KqCriticalSection checkFileCS;

// The pool of the last job that released its own, kept with its threads for the next job that
// asks for one of the same size: starting and ending a pool's threads costs milliseconds, as
// much as checksumming hundreds of small files. Guarded by checkFileCS; ended at exit.
struct SparePool {
  KqThreadPool* pool = nullptr;
  KqThreadPool* inherited = nullptr;  // a spare that a child made by fork found: never used
  ~SparePool() {
    // A child made by fork has none of the threads to end: its copy is left as it is.
    if (pool != nullptr && pool->startedInThisProcess()) delete pool;
  }
};
SparePool sparePool;

constexpr int kDefaultPoolSize = 5;
// The most checksum threads a job gets, whatever "UpdateFlags"/"nThreadPoolSizeCheck" says.
constexpr int kMaxPoolSize = 64;
// Files checksummed by one pool task: enough to keep the walk ahead of the workers, few enough
// to spread a folder's files over every worker.
constexpr size_t kFilesPerTask = 16;
constexpr unsigned int kPoolQueueLimit = 6000;
// Log id of the tasks' own log.
constexpr int kChecksumTaskLogId = 0x719C66E9;

}  // namespace

namespace {

// The calling thread's coder, so that its table is not made again for every file of a folder;
// a thread whose table could not be made uses a coder of the caller's own (in `own`).
CRCCoder* ThreadCoder(std::unique_ptr<CRCCoder>& own) {
  thread_local CRCCoder threadCoder;
  if (threadCoder.table() != nullptr) return &threadCoder;
  own.reset(new (std::nothrow) CRCCoder());
  return own.get();
}

// Writes `value` in hexadecimal, at least eight digits (printf's "%08llx"); returns the end.
char* PutHex8(char* out, unsigned long long value) {
  static const char kDigits[] = "0123456789abcdef";
  char digits[16];
  int n = 0;
  do {
    digits[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  for (int pad = n; pad < 8; ++pad) *out++ = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// Writes `value` in decimal (printf's "%llu"); returns the end.
char* PutDecimal(char* out, unsigned long long value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

// The checksum text of a CRC as CRCCoder::GetCheckSum gives it (raw holds the CRC in its low
// half and ones in its high half), with the conversion's level-10 line.
void ChecksumText(KQUpdateCache& owner, bool isUnix, long raw, std::string& checksum) {
  char text[32];
  EvDebug& log = owner.log();
  const long long jobId = static_cast<long long>(owner.jobId());
  char* end;
  if (isUnix) {
    unsigned long long value = raw < 0 ? ~static_cast<unsigned long long>(raw)
                                       : static_cast<unsigned long long>(raw) ^ 0xFFFFFFFFULL;
    text[0] = '0';
    text[1] = 'x';
    end = PutHex8(text + 2, value);
    *end = '\0';
    log.DebugJob(10, "[CalculateFileCksumForFile]", jobId,
                 "Unix checksum: Calculated=[%lld] Converted=[%s] Raw=[%lld]",
                 static_cast<long long>(value), text, static_cast<long long>(raw));
  } else {
    unsigned long long value = raw < 0
                                   ? static_cast<unsigned long long>(raw) ^ 0xFFFFFFFF00000000ULL
                                   : static_cast<unsigned long long>(raw);
    end = PutDecimal(text, value);
    *end = '\0';
    log.DebugJob(10, "[CalculateFileCksumForFile]", jobId,
                 "Windows checksum: Calculated=[%lld] Converted=[%s] Raw=[%lld]",
                 static_cast<long long>(value), text, static_cast<long long>(raw));
  }
  checksum.assign(text, static_cast<size_t>(end - text));
}

void LogChecksumFailure(KQUpdateCache& owner, const std::string& path) {
  owner.log().DebugJob(0, "[CalculateFileCksumForFile]", 0, "GetCheckSum failed for file [%s]",
                       path.c_str());
}

}  // namespace

bool KQUpdateCache::CalculateFileCksumForFile(bool isUnix, std::string path,
                                              std::string& checksum) {
  UnixPath(path);
  std::unique_ptr<CRCCoder> own;
  CRCCoder* coder = ThreadCoder(own);
  long raw = 0;
  if (coder == nullptr || !coder->GetCheckSum(path.c_str(), raw)) {
    LogChecksumFailure(*this, path);
    return false;
  }
  ChecksumText(*this, isUnix, raw, checksum);
  return true;
}

bool KQUpdateCache::CalculateFileCksumForFile(int osId, std::string path, std::string& checksum) {
  return CalculateFileCksumForFile(IsUnix(osId), std::move(path), checksum);
}

namespace {

// A pool task record sharing the walk's fields of `tpl` (no files, no folder).
CalcChecksumParams* NewTaskLike(const CalcChecksumParams& tpl) {
  auto* task = new (std::nothrow) CalcChecksumParams();
  if (task == nullptr) return nullptr;
  task->relativeName = tpl.relativeName;
  task->isUnix = tpl.isUnix;
  task->jobId = tpl.jobId;
  task->owner = tpl.owner;
  task->mutex = tpl.mutex;
  task->out = tpl.out;
  task->log = tpl.log;
  task->ok = tpl.ok;
  task->pool = tpl.pool;
  task->walkError = tpl.walkError;
  return task;
}

// The files gathered in the template as one checksum task, or null when there are none (or the
// record cannot be had: logged, and the walk fails).
CalcChecksumParams* TakeGatheredChecksums(CalcChecksumParams* tpl) {
  if (tpl->more.empty()) return nullptr;
  CalcChecksumParams* task = NewTaskLike(*tpl);
  if (task == nullptr) {
    tpl->log->DebugJob(0, "[CalcCheckSum]", static_cast<long long>(tpl->jobId),
                       "Failed to create SyncUpParams object.");
    tpl->ok->store(false);
    tpl->more.clear();
    return nullptr;
  }
  task->pool = nullptr;
  task->walkError = nullptr;
  task->relativeName = std::move(tpl->more.front().first);
  task->fullPath = std::move(tpl->more.front().second);
  tpl->more.erase(tpl->more.begin());
  task->more.swap(tpl->more);
  tpl->more.clear();
  return task;
}

// Whether work for the pool is better done by the thread that found it: a task that waited for
// room in the queue could wait for ever once every worker does the same.
bool PoolQueueIsLong(KqThreadPool* pool) { return pool->getPendingCount() >= kPoolQueueLimit / 2; }

void ListFolderUsingTP(void* params);

// Lists one folder of a walk: its files are gathered through CalcCheckSum into tasks of
// kFilesPerTask; with `recursive` each real folder in it (never a link) is listed by a pool
// task of its own, or here while the queue is long. A folder below the top that disappeared
// is skipped.
CPxError ListFolderForChecksums(CalcChecksumParams* tpl, const std::string& folder, bool top,
                                bool recursive) {
  std::vector<SPxWalkEntry> entries;
  CPxError e = CPxDirectory::ReadWalkLevel(folder, !top, entries);
  if (e.IsError()) return e;
  for (const SPxWalkEntry& entry : entries) {
    if (!tpl->ok->load()) break;  // the walk failed elsewhere
    if (!entry.isDir) {
      e = CalcCheckSum(folder.c_str(), entry.name.c_str(), false, tpl);
      if (e.IsError()) return e;
      continue;
    }
    if (!recursive || !entry.descend) continue;
    std::string below = folder + "/" + entry.name;
    if (!PoolQueueIsLong(tpl->pool)) {
      CalcChecksumParams* task = NewTaskLike(*tpl);
      if (task != nullptr) {
        task->fullPath = std::move(below);
        if (tpl->pool->doWork(ListFolderUsingTP, task)) continue;
        below = std::move(task->fullPath);
        delete task;  // refused: listed here
      }
    }
    e = ListFolderForChecksums(tpl, below, false, true);
    if (e.IsError()) return e;
  }
  return CPxError::Success();
}

// Pool task: lists its folder (and what the queue leaves to it below), checksums the files that
// make no full task on its own thread; frees its record. A failure fails the walk.
void ListFolderUsingTP(void* params) {
  std::unique_ptr<CalcChecksumParams> tpl(static_cast<CalcChecksumParams*>(params));
  if (!tpl || tpl->ok == nullptr || !tpl->ok->load()) return;
  CPxError e = ListFolderForChecksums(tpl.get(), tpl->fullPath, false, true);
  if (CalcChecksumParams* rest = TakeGatheredChecksums(tpl.get())) CalcCheckSumForFileUsingTP(rest);
  if (e.IsError()) {
    tpl->log->DebugJob(0, "[CalcCheckSum]", static_cast<long long>(tpl->jobId),
                       "Cannot walk through [%s] with return [%d]", tpl->fullPath.c_str(),
                       e.GetErrorCode());
    int none = 0;
    if (tpl->walkError) tpl->walkError->compare_exchange_strong(none, e.GetErrorCode() ? e.GetErrorCode() : -1);
    tpl->ok->store(false);
  }
}

}  // namespace

bool KQUpdateCache::CalculateFileCksumForDir(std::string dir, std::string subPath, bool isUnix,
                                             bool recursive,
                                             std::vector<UpdatePatches::File>& out) {
  static const char* const kTag = "[CalculateFileCksumForDir]";
  // The tasks' own log.
  EvDebugFileInstance taskLogInstance;
  EvDebug taskLog(&taskLogInstance);
  taskLog.initialize(&taskLogInstance, kChecksumTaskLogId, 0, false, "");
  // Resolve the levels here, before the tasks share the two log objects.
  taskLog.GetDebugLevel();
  m_event.GetDebugLevel();

  std::mutex outLock;
  std::atomic<bool> ok(true);
  std::atomic<int> walkError(0);

  KqThreadPool* pool = GetCheckFileTP(static_cast<unsigned int>(m_jobId));
  if (pool == nullptr) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to get ThreadPool object.");
    return false;
  }

  std::unique_ptr<CalcChecksumParams> params(new (std::nothrow) CalcChecksumParams());
  if (!params) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to create SyncUpParams object.");
    ok = false;
  } else {
    params->relativeName = dir;
    params->isUnix = isUnix;
    params->ok = &ok;
    params->out = &out;
    params->jobId = m_jobId;
    params->owner = this;
    params->log = &taskLog;
    params->mutex = &outLock;
    params->pool = pool;
    params->walkError = &walkError;

    // The top folder is listed here; the folders below it by pool tasks, so that the listing
    // of a large tree does not hold back the workers. The files of the top folder that make no
    // full task are checksummed here while the pool works.
    std::string walkPath = subPath.empty() ? dir : dir + "/" + subPath;
    std::string top = walkPath;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    CPxError walked;
    try {
      walked = ListFolderForChecksums(params.get(), top, true, recursive);
      if (CalcChecksumParams* rest = TakeGatheredChecksums(params.get())) CalcCheckSumForFileUsingTP(rest);
    } catch (...) {
      // The tasks already queued use this frame's objects: the wait below must still happen.
      m_event.DebugJob(0, kTag, m_jobId, "Exception caught while walking [%s]", walkPath.c_str());
      ok = false;
    }
    if (walked.IsError()) {
      m_event.DebugJob(0, kTag, m_jobId, "Cannot walk through [%s] with return [%d], continuing.",
                       walkPath.c_str(), walked.GetErrorCode());
      ok = false;
    }
    if (pool->waitForAllThreads(true, true, true, -1)) {
      m_event.DebugJob(1, kTag, m_jobId, "Successfully joined all threads for file-checksum in [%s]",
                       walkPath.c_str());
    } else {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for files in [%s]",
                       walkPath.c_str());
      ok = false;
    }
    if (walkError.load() != 0) {
      m_event.DebugJob(0, kTag, m_jobId, "Cannot walk through [%s] with return [%d], continuing.",
                       walkPath.c_str(), walkError.load());
      ok = false;
    }
  }
  ReleaseCheckFileTP(static_cast<unsigned int>(m_jobId));
  return ok.load();
}

CPxError CalcCheckSum(const char* dir, const char* name, bool isDir, void* context) {
  static const char* const kTag = "[CalcCheckSum]";
  auto* tpl = static_cast<CalcChecksumParams*>(context);
  if (tpl == nullptr || tpl->ok == nullptr || tpl->pool == nullptr || tpl->mutex == nullptr ||
      tpl->out == nullptr || tpl->owner == nullptr || tpl->log == nullptr) {
    // The template belongs to the walk's owner, which frees it.
    EvDebug().Debug(kTag, "Input param to caluculate checksum cannot be empty.");
    return FXErrorUtil::ErrorHResult(0x80000008, FX_CODE_LOCATION(),
                                     "Invalid input param detected.");
  }
  if (isDir) return CPxError::Success();
  if (dir == nullptr || name == nullptr) {
    tpl->log->DebugJob(0, kTag, static_cast<long long>(tpl->jobId),
                       "At lease one input param [%s], [%s] or context is empty.",
                       dir ? dir : "NULL", name ? name : "NULL");
    return FXErrorUtil::ErrorHResult(0x80000008, FX_CODE_LOCATION(),
                                     "Invalid input param detected.");
  }
  tpl->log->DebugJob(10, kTag, static_cast<long long>(tpl->jobId), "Walking thourgh folder [%s/%s]",
                     dir, name);
  const size_t dirLen = std::strlen(dir);
  const size_t nameLen = std::strlen(name);
  std::string full;
  full.reserve(dirLen + 1 + nameLen);
  full.append(dir, dirLen).append(1, '/').append(name, nameLen);
  // The base folder without trailing slashes, so that "dir/" and "dir" name files alike.
  const std::string& base = tpl->relativeName;
  size_t baseLen = base.size();
  while (baseLen > 1 && base[baseLen - 1] == '/') --baseLen;
  size_t start = baseLen + 1;
  while (start < full.size() && full[start] == '/') ++start;
  if (full.compare(0, baseLen, base, 0, baseLen) != 0 || full.size() <= baseLen + 1 ||
      full[baseLen] != '/' || start >= full.size()) {
    tpl->log->DebugJob(0, kTag, static_cast<long long>(tpl->jobId),
                       "Cannot form relative Path for the file [%s]", full.c_str());
    return FXErrorUtil::ErrorHResult(0x80000024, FX_CODE_LOCATION(),
                                     "Cannot form relative Path for the file");
  }
  if (tpl->more.empty()) tpl->more.reserve(kFilesPerTask);
  tpl->more.emplace_back(full.substr(start), std::move(full));
  if (tpl->more.size() >= kFilesPerTask) QueueGatheredChecksums(tpl);
  return CPxError::Success();
}

void QueueGatheredChecksums(CalcChecksumParams* tpl) {
  static const char* const kTag = "[CalcCheckSum]";
  CalcChecksumParams* task = TakeGatheredChecksums(tpl);
  if (task == nullptr) return;
  if (PoolQueueIsLong(tpl->pool)) {
    CalcCheckSumForFileUsingTP(task);
    return;
  }
  if (!tpl->pool->doWork(CalcCheckSumForFileUsingTP, task)) {
    // Refused: the task never runs, so its files are not checksummed and the list is short.
    tpl->log->DebugJob(0, kTag, static_cast<long long>(tpl->jobId),
                       "Failed to queue the checksum of [%s]", task->fullPath.c_str());
    tpl->ok->store(false);
    delete task;
  }
}

void CalcCheckSumForFileUsingTP(void* params) {
  static const char* const kTag = "[CalcCheckSumForFileUsingTP]";
  std::unique_ptr<CalcChecksumParams> task(static_cast<CalcChecksumParams*>(params));
  if (!task || task->ok == nullptr || task->mutex == nullptr || task->out == nullptr ||
      task->owner == nullptr || task->log == nullptr) {
    EvDebug().Debug(kTag, "Input param to caluculate checksum cannot be empty.");
    return;
  }
  // The task's first file, then the others it carries. The entries are handed to the shared
  // list together, under one lock, when the task ends (also when it stops on a failure).
  std::vector<UpdatePatches::File> done;
  done.reserve(task->more.size() + 1);
  for (size_t k = 0; k <= task->more.size(); ++k) {
    if (!task->ok->load()) break;
    // The task owns its names: each relative name moves into its entry.
    std::string& relative = k == 0 ? task->relativeName : task->more[k - 1].first;
    const std::string& full = k == 0 ? task->fullPath : task->more[k - 1].second;
    try {
      std::string text;
      if (!task->owner->CalculateFileCksumForFile(task->isUnix, full, text)) {
        task->log->DebugJob(0, kTag, static_cast<long long>(task->jobId),
                            "Failed to caluculate checksum for File [%s] ", full.c_str());
        task->ok->store(false);
        break;
      }
      task->log->DebugJob(10, kTag, static_cast<long long>(task->jobId),
                          "File [%s] Checksum [%s] ", full.c_str(), text.c_str());
      UpdatePatches::File file;
      file.reserveFields(2);
      file.setstring(UpdatePatches::File::kName, std::move(relative));
      file.setstring(UpdatePatches::File::kChecksum, std::move(text));
      done.push_back(std::move(file));
    } catch (...) {
      // The file has no entry: the list is incomplete, so the whole call fails.
      task->ok->store(false);
      task->log->DebugJob(0, kTag, static_cast<long long>(task->jobId),
                          "Exception caught while checksumming File [%s]", full.c_str());
      break;
    }
  }
  if (done.empty()) return;
  try {
    std::lock_guard<std::mutex> hold(*task->mutex);
    task->out->insert(task->out->end(), std::make_move_iterator(done.begin()),
                      std::make_move_iterator(done.end()));
  } catch (...) {
    task->ok->store(false);
    task->log->DebugJob(0, kTag, static_cast<long long>(task->jobId),
                        "Exception caught while recording the checksums of [%s]",
                        task->fullPath.c_str());
  }
}

namespace {

// The spare pool when it runs `size` threads in this process, taken out of its slot; null
// otherwise (a spare of another size is ended). Called under checkFileCS.
KqThreadPool* TakeSparePool(int size) {
  KqThreadPool* spare = sparePool.pool;
  sparePool.pool = nullptr;
  if (spare == nullptr) return nullptr;
  if (!spare->startedInThisProcess()) {
    // Inherited through fork: its threads are not in this process, and its locks may be held
    // for ever. Left alone, as the child found it.
    sparePool.inherited = spare;
    return nullptr;
  }
  if (spare->getThreadCount() == static_cast<unsigned int>(size)) return spare;
  delete spare;
  return nullptr;
}

// Ends the spare pool in the parent before a fork, so that the child starts from a process
// without idle checksum threads and makes a pool of its own.
void EndSparePoolBeforeFork() {
  KqCriticalSectionLock hold(&checkFileCS);
  KqThreadPool* spare = sparePool.pool;
  sparePool.pool = nullptr;
  if (spare != nullptr && spare->startedInThisProcess()) delete spare;
}

// Keeps a pool its last user released as the spare when nothing is left to run on it and no
// spare is kept yet; ends it otherwise. Called under checkFileCS.
void ParkOrEndPool(KqThreadPool* pool) {
  if (sparePool.pool == nullptr && pool->startedInThisProcess() &&
      pool->waitForAllThreads(false, false, true, -1)) {
    static std::once_flag registered;
    std::call_once(registered, [] { KqThreadPool::RunBeforeFork(EndSparePoolBeforeFork); });
    sparePool.pool = pool;
    return;
  }
  delete pool;
}

}  // namespace

KqThreadPool* KQUpdateCache::GetCheckFileTP(unsigned int jobId) {
  static const char* const kTag = "[GetCheckFileTP]";
  KqCriticalSectionLock hold(&checkFileCS);
  auto found = checkFileTP.find(jobId);
  if (found == checkFileTP.end() || found->second == nullptr) {
    int size = 0;
    const bool overridden =
        KQPlatformInfo().getNumber("UpdateFlags", "nThreadPoolSizeCheck", size) && size != 0;
    if (!overridden) size = kDefaultPoolSize;
    // Zero or less is no pool at all: the default. Beyond kMaxPoolSize threads only wait on
    // the disk, and a huge value would exhaust the process.
    const int threads = size <= 0 ? kDefaultPoolSize : size > kMaxPoolSize ? kMaxPoolSize : size;
    KqThreadPool* pool = TakeSparePool(threads);
    const bool fresh = pool == nullptr;
    if (fresh) pool = new (std::nothrow) KqThreadPool();
    if (pool == nullptr) {
      m_event.DebugJob(0, kTag, m_jobId, "Failed to create KqThreadPool object.");
      return nullptr;
    }
    if (overridden) {
      m_event.DebugJob(1, kTag, m_jobId, "Overriding thread pool size with value from registry : %d",
                       size);
    } else {
      m_event.DebugJob(1, kTag, m_jobId, "Initializing thread pool size : %d", size);
    }
    if (size <= 0) {
      m_event.DebugJob(0, kTag, m_jobId, "Invalid thread pool size %d, using %d", size,
                       kDefaultPoolSize);
    } else if (size > kMaxPoolSize) {
      m_event.DebugJob(0, kTag, m_jobId, "Thread pool size %d is too large, using %d", size,
                       kMaxPoolSize);
    }
    if (fresh && !pool->initThreadPool("CalcChecksumForClient", kPoolQueueLimit, 1,
                                       static_cast<unsigned int>(threads), 1)) {
      m_event.DebugJob(0, kTag, m_jobId, "initThreadPool failed.");
      delete pool;
      return nullptr;
    }
    checkFileTP[jobId] = pool;
    refCountTP[jobId] = 0;
  }
  ++refCountTP[jobId];
  return checkFileTP[jobId];
}

bool KQUpdateCache::ReleaseCheckFileTP(unsigned int jobId) {
  static const char* const kTag = "[ReleaseCheckFileTP]";
  KqCriticalSectionLock hold(&checkFileCS);
  auto pool = checkFileTP.find(jobId);
  auto count = refCountTP.find(jobId);
  if (pool == checkFileTP.end() || count == refCountTP.end()) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to Release CheckFileTP.");
    return false;
  }
  if (--count->second < 1) {
    if (pool->second == nullptr) {
      m_event.DebugJob(0, kTag, m_jobId, "Unable to Release CheckFileTP. Already deleted/Realeased ");
    } else {
      ParkOrEndPool(pool->second);
    }
    checkFileTP.erase(pool);
    refCountTP.erase(count);
  }
  return true;
}
