// File and folder checksums of KQUpdateCache, and the per-job checksum pool registry.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <deque>
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
#include "UpdateCacheChecksumBatch.h"
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
// The lowest log level at which a walk's threads and its join write lines of their own.
constexpr int kFirstDetailLevel = 8;

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

// One file of a checksum list, as the pool's tasks do it: `compute` gives its checksum text
// (false when it cannot), `add` records its entry. A failure or an exception is logged against
// the file (`folder` + `sep` + `name`) on `log` (nothing when it is null) and gives false: the
// list would be incomplete, so the caller stops and the whole call fails.
template <class Compute, class Add>
bool ChecksumListFile(EvDebug* log, long long job, bool verbose, const char* folder, const char* sep,
                      const char* name, Compute compute, Add add) {
  static const char* const kTag = "[CalcCheckSumForFileUsingTP]";
  try {
    std::string text;
    if (!compute(text)) {
      if (log != nullptr)
        log->DebugJob(0, kTag, job, "Failed to caluculate checksum for File [%s%s%s] ", folder, sep, name);
      return false;
    }
    if (verbose) log->DebugJob(10, kTag, job, "File [%s%s%s] Checksum [%s] ", folder, sep, name, text.c_str());
    add(std::move(text));
    return true;
  } catch (...) {
    if (log != nullptr)
      log->DebugJob(0, kTag, job, "Exception caught while checksumming File [%s%s%s]", folder, sep, name);
    return false;
  }
}

// A checksum list's entry.
UpdatePatches::File ListEntry(std::string relative, std::string checksum) {
  UpdatePatches::File file;
  file.reserveFields(2);
  file.setstring(UpdatePatches::File::kName, std::move(relative));
  file.setstring(UpdatePatches::File::kChecksum, std::move(checksum));
  return file;
}

void LogChecksumFailure(KQUpdateCache& owner, const std::string& path) {
  owner.log().DebugJob(0, "[CalculateFileCksumForFile]", 0, "GetCheckSum failed for file [%s]",
                       path.c_str());
}

// CalculateFileCksumForFile for the entry `name` of an open folder whose path holds no
// backslash, opened relative to the folder; a failure is logged (and told on stderr) only with
// logFailure.
bool ChecksumInFolder(KQUpdateCache& owner, bool isUnix, const CPxFolderHandle& folder,
                      const std::string& name, std::string& checksum, bool logFailure = true) {
  std::unique_ptr<CRCCoder> own;
  CRCCoder* coder = ThreadCoder(own);
  long raw = 0;
  if (coder == nullptr || !coder->GetCheckSumAt(folder, name, raw, logFailure)) {
    if (logFailure) LogChecksumFailure(owner, folder.path() + "/" + name);
    return false;
  }
  ChecksumText(owner, isUnix, raw, checksum);
  return true;
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

// Where the name of a file relative to the walk's base folder starts in its full path `full`
// (the base without its trailing slashes, one '/', then any further slashes skipped); npos
// when the base does not lead the path.
size_t RelativeStart(const std::string& base, const std::string& full) {
  size_t baseLen = base.size();
  while (baseLen > 1 && base[baseLen - 1] == '/') --baseLen;
  size_t start = baseLen + 1;
  while (start < full.size() && full[start] == '/') ++start;
  if (full.compare(0, baseLen, base, 0, baseLen) != 0 || full.size() <= baseLen + 1 ||
      full[baseLen] != '/' || start >= full.size())
    return std::string::npos;
  return start;
}

// One tree of a checksum walk: where its entries go, and how its walk went.
struct WalkRoot {
  std::string base;  // the folder the entries' names are relative to
  std::string top;   // the folder walked: base, or base + "/" + subPath, without a final '/'
  bool isUnix = false;
  bool recursive = false;
  std::mutex* outLock = nullptr;                               // guards *files and *media
  std::vector<UpdatePatches::File>* files = nullptr;           // the entries go here,
  std::vector<UpdatePatches::BinaryV11>* media = nullptr;      // or (files null) here
  std::atomic<bool> ok{true};     // lowered by the first failure, or when the tree is given up
  std::atomic<int> walkError{0};  // the first error met listing a folder below the top
  CPxError startError;            // opening or listing the top, by the thread that started it
  // The tree's pieces not done yet: its start, then the pieces its folders add. At 0 the tree
  // is done, and what its pieces made is in the output list.
  std::atomic<size_t> pending{1};
};

// A folder of a checksum walk, open while its files or the folders below it wait to be done.
struct WalkFolder {
  CPxFolderHandle handle;
  WalkRoot* root = nullptr;
  std::string relative;    // its path below the tree's base folder with a final '/'; "" for the base
  bool backslash = false;  // its path holds a '\' (such files are checksummed by path)
  std::vector<std::string> files;
};

// One piece of a walk: the start of `root` (no folder: its top to open and list), the folder
// `name` inside `folder` to list, or (no name) the files [begin, end) of `folder` to checksum.
struct WalkItem {
  WalkRoot* root = nullptr;
  std::shared_ptr<WalkFolder> folder;
  std::string name;
  size_t begin = 0;
  size_t end = 0;
};

// The entries a piece made (one of the two lists is used).
struct Entries {
  std::vector<UpdatePatches::File> files;
  std::vector<UpdatePatches::BinaryV11> media;
};

// The checksums of one or more trees on the job's pool. Each of the walk's threads works depth
// first through pieces of its own (so that few folders are open at once) and lists the folders
// it meets itself; it hands the older half of its pieces to a shared stack only while another
// thread waits for work or the pool may lend one more. Trees queued with Add are started in
// their order once the shared stack is empty, so that they are done about in that order. A
// folder is opened once, inside its parent and never through a link, and its files are opened
// relative to it, kFilesPerTask to a piece; a piece's entries go to its tree's list under the
// tree's lock. The caller's thread is one of the walk's threads and asks the pool for at most
// one thread fewer than it has; the walk's object outlives every pool task that uses it. A quiet
// walk logs nothing: a tree's failure is only in its fields (a file read through a path holding
// a '\' fails it, as only the logging path form reads such a file).
class ChecksumWalk {
 public:
  ChecksumWalk(KQUpdateCache* owner, EvDebug* log, KqThreadPool* pool, bool quiet)
      : owner_(owner),
        log_(log),
        pool_(pool),
        quiet_(quiet),
        handEachPiece_(quiet),
        verbose_(!quiet && log->GetDebugLevel() >= 10),
        maxHelpers_(pool->getThreadCount() > 1 ? pool->getThreadCount() - 1 : 0),
        mayLaunch_(maxHelpers_ > 0) {}
  ChecksumWalk(const ChecksumWalk&) = delete;
  ChecksumWalk& operator=(const ChecksumWalk&) = delete;
  ~ChecksumWalk() { WaitForHelpers(); }

  // Lists the top folder of `root` on the calling thread and shares its pieces; a failure here
  // is the tree's own (returned; nothing is shared).
  CPxError Start(WalkRoot& root) {
    std::vector<WalkItem> pieces;
    CPxError e = StartTree(root, pieces);
    if (e.IsError()) return e;
    // The caller takes one of them first.
    Share(pieces, pieces.size(), 1, false);
    Finish(root);
    return e;
  }

  // Queues `root` to be started by whichever of the walk's threads is free first.
  void Add(WalkRoot& root) {
    std::vector<WalkItem> start(1);
    start[0].root = &root;
    Share(start, 1, 0, true);
  }

  // Works until no piece is left anywhere and no thread holds one.
  void Run() { Work(nullptr); }

  // Works until `root` is done; the pieces of other trees the calling thread still holds then
  // are left to the walk's other threads.
  void RunUntil(WalkRoot& root) { Work(&root); }

  // Waits until every pool task of the walk has left.
  void WaitForHelpers() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return helpers_ == 0; });
  }

 private:
  static void Helper(void* walk) {
    auto* self = static_cast<ChecksumWalk*>(walk);
    self->Work(nullptr);
    std::lock_guard<std::mutex> hold(self->mutex_);
    --self->helpers_;
    if (!self->refused_) self->mayLaunch_.store(true);
    self->changed_.notify_all();
  }

  long long Job() const { return static_cast<long long>(owner_->jobId()); }

  void Work(WalkRoot* target) {
    Entries done;
    WalkRoot* doneRoot = nullptr;  // the tree of the entries in `done`
    std::vector<WalkItem> own;
    bool working = false;
    for (;;) {
      if (target != nullptr && target->pending.load() == 0) break;
      if (own.empty() && !TakeShared(own, working, target)) break;
      WalkItem item = std::move(own.back());
      own.pop_back();
      WalkRoot& root = *item.root;
      // A tree of several is done only once its entries are in its list: they are handed
      // after each piece. One tree alone gets them when its threads leave, under one lock each.
      if (doneRoot != &root && doneRoot != nullptr) Hand(*doneRoot, done);
      doneRoot = &root;
      if (root.ok.load()) Do(item, own, done);
      item = WalkItem();  // closes what it alone kept open
      if (handEachPiece_) Hand(root, done);
      Finish(root);
      if (own.size() > 1 && (idle_.load() > 0 || mayLaunch_.load())) Share(own, (own.size() + 1) / 2, 0, false);
    }
    if (doneRoot != nullptr) Hand(*doneRoot, done);
    if (!own.empty()) Share(own, own.size(), 0, false);
    if (working) {
      std::lock_guard<std::mutex> hold(mutex_);
      if (--working_ == 0 && stack_.empty() && starts_.empty()) changed_.notify_all();
    }
  }

  // Takes a shared piece into `own`, waiting while other threads still work (for `target`:
  // while it is not done); false once there is none left and nobody holds one, or `target` is
  // done. `working`: whether this thread counts as holding pieces.
  bool TakeShared(std::vector<WalkItem>& own, bool& working, WalkRoot* target) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (working) {
      working = false;
      if (--working_ == 0 && stack_.empty() && starts_.empty()) changed_.notify_all();
    }
    for (;;) {
      if (target != nullptr && target->pending.load() == 0) return false;
      if (!stack_.empty()) {
        own.push_back(std::move(stack_.back()));
        stack_.pop_back();
        break;
      }
      if (!starts_.empty()) {
        own.push_back(std::move(starts_.front()));
        starts_.pop_front();
        break;
      }
      if (target == nullptr && working_ == 0) return false;
      ++idle_;
      changed_.wait(lock);
      --idle_;
    }
    working = true;
    ++working_;
    return true;
  }

  // One piece of `root` is done; the last one tells the threads waiting for the tree.
  void Finish(WalkRoot& root) {
    if (root.pending.fetch_sub(1) != 1) return;
    std::lock_guard<std::mutex> hold(mutex_);
    changed_.notify_all();
  }

  // Moves the `count` oldest of `pieces` to the shared stack (tree starts: to the end of the
  // queue of trees), wakes as many waiting threads, and asks the pool for threads for the rest
  // (`takenHere` of the shared pieces are about to be taken back by the sharing thread itself).
  void Share(std::vector<WalkItem>& pieces, size_t count, size_t takenHere, bool starts) {
    if (count == 0) return;
    size_t launch = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      auto first = std::make_move_iterator(pieces.begin());
      auto last = std::make_move_iterator(pieces.begin() + static_cast<std::ptrdiff_t>(count));
      if (starts)
        starts_.insert(starts_.end(), first, last);
      else
        stack_.insert(stack_.end(), first, last);
      for (size_t woken = 0; woken < count && woken < idle_; ++woken) changed_.notify_one();
      const size_t shared = stack_.size() + starts_.size();
      if (mayLaunch_.load())
        while (helpers_ < maxHelpers_ && shared > idle_ + launch + takenHere) {
          ++helpers_;
          ++launch;
        }
      if (helpers_ >= maxHelpers_) mayLaunch_.store(false);
    }
    pieces.erase(pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(count));
    for (; launch > 0; --launch) {
      if (pool_->doWork(Helper, this)) continue;
      // Refused (the pool is stopping): the walk's other threads do the work.
      std::lock_guard<std::mutex> hold(mutex_);
      helpers_ -= launch;
      refused_ = true;
      mayLaunch_.store(false);
      changed_.notify_all();
      break;
    }
  }

  // Opens and lists the top folder of `root`; its pieces go onto `pieces`.
  CPxError StartTree(WalkRoot& root, std::vector<WalkItem>& pieces) {
    auto folder = std::make_shared<WalkFolder>();
    folder->root = &root;
    CPxError e = folder->handle.Open(root.top);
    if (e.IsError()) return e;
    const std::string probe = root.top + "/x";
    const size_t start = RelativeStart(root.base, probe);
    std::vector<WalkItem> found;
    e = ListFolder(folder, found);
    if (e.IsError()) return e;
    if (start == std::string::npos) {
      if (folder->files.empty()) return CPxError();
      const std::string full = root.top + "/" + folder->files.front();
      if (!quiet_)
        log_->DebugJob(0, "[CalcCheckSum]", Job(), "Cannot form relative Path for the file [%s]", full.c_str());
      return FXErrorUtil::ErrorHResult(0x80000024, FX_CODE_LOCATION(), "Cannot form relative Path for the file");
    }
    folder->relative = probe.substr(start, probe.size() - 1 - start);
    folder->backslash = root.top.find('\\') != std::string::npos;
    root.pending.fetch_add(found.size());
    pieces.insert(pieces.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    return CPxError();
  }

  // Reads one open folder: its files into folder->files, and its pieces (the folders to walk
  // below it, then its files in batches) onto `pieces`; the tree's count of pieces is the
  // caller's to raise.
  CPxError ListFolder(const std::shared_ptr<WalkFolder>& folder, std::vector<WalkItem>& pieces) {
    WalkRoot& root = *folder->root;
    std::vector<SPxWalkEntry> entries;
    CPxError e = CPxDirectory::ReadWalkLevel(folder->handle, entries);
    if (e.IsError()) return e;
    for (SPxWalkEntry& entry : entries) {
      if (!root.ok.load()) break;  // the walk failed elsewhere
      if (!entry.isDir) {
        if (verbose_)
          log_->DebugJob(10, "[CalcCheckSum]", Job(), "Walking thourgh folder [%s/%s]", folder->handle.path().c_str(),
                         entry.name.c_str());
        folder->files.push_back(std::move(entry.name));
      } else if (root.recursive && entry.descend) {
        pieces.push_back(WalkItem{&root, folder, std::move(entry.name), 0, 0});
      }
    }
    // Pieces are taken from the back: the files first, so that the folder is closed early.
    const size_t count = folder->files.size();
    for (size_t at = 0; at < count; at += kFilesPerTask)
      pieces.push_back(WalkItem{&root, folder, std::string(), at, std::min(count, at + kFilesPerTask)});
    return CPxError();
  }

  // Does one piece; the pieces found go onto `own`.
  void Do(WalkItem& item, std::vector<WalkItem>& own, Entries& done) {
    WalkRoot& root = *item.root;
    try {
      if (!item.folder) {
        CPxError e = StartTree(root, own);
        if (e.IsError()) {
          root.startError = e;
          root.ok.store(false);
        }
        return;
      }
      if (item.name.empty()) {
        ChecksumFiles(*item.folder, item.begin, item.end, done);
        return;
      }
      auto folder = std::make_shared<WalkFolder>();
      folder->root = &root;
      CPxError e = folder->handle.OpenBelow(item.folder->handle, item.name);
      // A folder that disappeared, or became a link, since its parent was listed is skipped.
      if (e.GetErrorCode() == ENOENT || e.GetErrorCode() == ELOOP) return;
      if (!e.IsError()) {
        folder->relative = item.folder->relative + item.name + "/";
        folder->backslash = item.folder->backslash || item.name.find('\\') != std::string::npos;
        item.folder.reset();
        const size_t before = own.size();
        e = ListFolder(folder, own);
        if (!e.IsError()) {
          root.pending.fetch_add(own.size() - before);
          return;
        }
      }
      if (!quiet_) {
        const std::string path = item.folder ? item.folder->handle.path() + "/" + item.name : folder->handle.path();
        log_->DebugJob(0, "[CalcCheckSum]", Job(), "Cannot walk through [%s] with return [%d]", path.c_str(),
                       e.GetErrorCode());
      }
      int none = 0;
      root.walkError.compare_exchange_strong(none, e.GetErrorCode() ? e.GetErrorCode() : -1);
      root.ok.store(false);
    } catch (...) {
      root.ok.store(false);
      if (!quiet_)
        log_->DebugJob(0, "[CalcCheckSum]", Job(), "Exception caught while walking below [%s]",
                       item.folder ? item.folder->handle.path().c_str() : "");
    }
  }

  void ChecksumFiles(const WalkFolder& folder, size_t begin, size_t end, Entries& done) {
    WalkRoot& root = *folder.root;
    const bool isUnix = root.isUnix;
    const char* const path = folder.handle.path().c_str();
    for (size_t k = begin; k < end; ++k) {
      if (!root.ok.load()) return;
      const std::string& name = folder.files[k];
      auto compute = [&](std::string& text) {
        // A '\' in the path is read as '/' by the path form, as it always was.
        if (folder.backslash || name.find('\\') != std::string::npos)
          return !quiet_ && owner_->CalculateFileCksumForFile(isUnix, folder.handle.path() + "/" + name, text);
        return ChecksumInFolder(*owner_, isUnix, folder.handle, name, text, !quiet_);
      };
      auto add = [&](std::string text) {
        std::string relative = folder.relative + name;
        if (root.files != nullptr) {
          done.files.push_back(ListEntry(std::move(relative), std::move(text)));
          return;
        }
        // As ConvertFileListToBinaryV11List makes it of the File entry.
        UpdatePatches::BinaryV11 binary;
        binary.reserveFields(3);
        binary.setstring(UpdatePatches::BinaryV11::kRelativePath, relative);
        binary.setstring(UpdatePatches::BinaryV11::kFileName, std::move(relative));
        binary.setstring(UpdatePatches::BinaryV11::kChecksum, std::move(text));
        done.media.push_back(std::move(binary));
      };
      if (!ChecksumListFile(quiet_ ? nullptr : log_, Job(), verbose_, path, "/", name.c_str(), compute, add)) {
        root.ok.store(false);
        return;
      }
    }
  }

  // Appends a piece's entries to its tree's list.
  void Hand(WalkRoot& root, Entries& done) {
    const size_t count = done.files.size() + done.media.size();
    if (count == 0) return;
    try {
      std::lock_guard<std::mutex> hold(*root.outLock);
      if (root.files != nullptr)
        root.files->insert(root.files->end(), std::make_move_iterator(done.files.begin()),
                           std::make_move_iterator(done.files.end()));
      else
        root.media->insert(root.media->end(), std::make_move_iterator(done.media.begin()),
                           std::make_move_iterator(done.media.end()));
    } catch (...) {
      root.ok.store(false);
      if (!quiet_)
        log_->DebugJob(0, "[CalcCheckSumForFileUsingTP]", Job(), "Exception caught while recording [%zu] checksums",
                       count);
    }
    done.files.clear();
    done.media.clear();
  }

  KQUpdateCache* const owner_;
  EvDebug* const log_;
  KqThreadPool* const pool_;
  const bool quiet_;
  const bool handEachPiece_;  // a walk of several trees, each of which is waited for on its own
  const bool verbose_;
  const unsigned maxHelpers_;
  std::atomic<size_t> idle_{0};  // threads waiting for a shared piece
  std::atomic<bool> mayLaunch_;  // the pool may still be asked for a thread

  std::mutex mutex_;  // guards what follows (and the changes of idle_ and mayLaunch_)
  std::condition_variable changed_;
  std::vector<WalkItem> stack_;   // the shared pieces
  std::deque<WalkItem> starts_;   // the trees not started yet, in their order
  size_t working_ = 0;            // threads holding pieces
  unsigned helpers_ = 0;          // pool tasks asked for that have not left yet
  bool refused_ = false;          // the pool refused a task
};

}  // namespace

// The trees a ChecksumBatch walks ahead, and the walk they share.
struct ChecksumBatchState {
  // One tree walked ahead, with the list its entries go to.
  struct Tree {
    std::string dir;
    std::string subPath;
    bool isUnix = false;
    bool recursive = false;
    bool media = false;
    bool taken = false;  // asked for, or given up
    std::mutex lock;
    std::vector<UpdatePatches::File> files;
    std::vector<UpdatePatches::BinaryV11> mediaFiles;
    WalkRoot root;
  };

  ChecksumBatchState(KQUpdateCache* cacheOwner, KqThreadPool* checksumPool)
      : owner(cacheOwner), pool(checksumPool), walk(cacheOwner, &quietLog, checksumPool, true) {}

  // Moves the entries of the tree walked ahead for these arguments to the end of `files` (or
  // `media`) and gives true; false when no such tree was added, or its walk failed. Trees added
  // before it and not asked for yet are given up.
  bool Take(const std::string& dir, const std::string& subPath, bool isUnix, bool recursive,
            std::vector<UpdatePatches::File>* outFiles, std::vector<UpdatePatches::BinaryV11>* outMedia) {
    for (size_t k = next; k < trees.size(); ++k) {
      Tree& tree = trees[k];
      if (tree.taken || tree.dir != dir || tree.subPath != subPath || tree.isUnix != isUnix ||
          tree.recursive != recursive || tree.media != (outMedia != nullptr))
        continue;
      for (size_t j = next; j < k; ++j) GiveUp(trees[j]);
      next = k + 1;
      tree.taken = true;
      walk.RunUntil(tree.root);
      if (!tree.root.ok.load() || tree.root.startError.IsError() || tree.root.walkError.load() != 0) return false;
      try {
        if (outFiles != nullptr)
          outFiles->insert(outFiles->end(), std::make_move_iterator(tree.files.begin()),
                           std::make_move_iterator(tree.files.end()));
        else
          outMedia->insert(outMedia->end(), std::make_move_iterator(tree.mediaFiles.begin()),
                           std::make_move_iterator(tree.mediaFiles.end()));
      } catch (...) {
        return false;  // walked again, as usual
      }
      tree.files.clear();
      tree.mediaFiles.clear();
      return true;
    }
    return false;
  }

  // Helps the walk until every tree is done and the pool has nothing of it left, so that a walk
  // of the usual kind can have the pool to itself.
  void Drain() {
    walk.Run();
    walk.WaitForHelpers();
    // The next walk's join counts only its own tasks.
    pool->waitForAllThreads(false, false, true, -1);
  }

  static void GiveUp(Tree& tree) {
    tree.taken = true;
    tree.root.ok.store(false);
  }

  KQUpdateCache* const owner;
  KqThreadPool* const pool;
  EvDebug quietLog;  // never written: the walk is quiet
  std::deque<Tree> trees;
  size_t next = 0;  // the trees before it are taken or given up
  ChecksumWalk walk;
};

namespace {

// The batch of the calling thread, if any.
thread_local ChecksumBatchState* threadBatch = nullptr;

}  // namespace

ChecksumBatch::ChecksumBatch(KQUpdateCache& owner, KqThreadPool* pool) {
  // Detail lines at level 8 and up come from each walk's own threads and joins; a walk ahead
  // would write them elsewhere than the usual walks. One thread gains nothing from walking ahead.
  if (pool == nullptr || pool->getThreadCount() < 2 || threadBatch != nullptr ||
      owner.log().GetDebugLevel() >= kFirstDetailLevel || EvDebug().GetDebugLevel() >= kFirstDetailLevel)
    return;
  state_.reset(new ChecksumBatchState(&owner, pool));
  threadBatch = state_.get();
}

ChecksumBatch::~ChecksumBatch() {
  if (!state_) return;
  for (size_t k = state_->next; k < state_->trees.size(); ++k) ChecksumBatchState::GiveUp(state_->trees[k]);
  state_->next = state_->trees.size();
  state_->Drain();
  threadBatch = nullptr;
}

void ChecksumBatch::Add(const std::string& dir, const std::string& subPath, bool isUnix, bool recursive,
                        bool media) {
  if (!state_) return;
  state_->trees.emplace_back();
  ChecksumBatchState::Tree& tree = state_->trees.back();
  tree.dir = dir;
  tree.subPath = subPath;
  tree.isUnix = isUnix;
  tree.recursive = recursive;
  tree.media = media;
  WalkRoot& root = tree.root;
  root.base = dir;
  root.top = subPath.empty() ? dir : dir + "/" + subPath;
  while (root.top.size() > 1 && root.top.back() == '/') root.top.pop_back();
  root.isUnix = isUnix;
  root.recursive = recursive;
  root.outLock = &tree.lock;
  if (media)
    root.media = &tree.mediaFiles;
  else
    root.files = &tree.files;
  state_->walk.Add(root);
}

bool KQUpdateCache::CalculateFileCksumForDir(std::string dir, std::string subPath, bool isUnix,
                                             bool recursive,
                                             std::vector<UpdatePatches::File>& out) {
  return ChecksumTree(dir, subPath, isUnix, recursive, &out, nullptr);
}

bool KQUpdateCache::CalculateFileCksumForDir(std::string dir, std::string subPath, bool isUnix,
                                             bool recursive,
                                             std::vector<UpdatePatches::BinaryV11>& out) {
  return ChecksumTree(dir, subPath, isUnix, recursive, nullptr, &out);
}

bool KQUpdateCache::ChecksumTree(const std::string& dir, const std::string& subPath, bool isUnix,
                                 bool recursive, std::vector<UpdatePatches::File>* files,
                                 std::vector<UpdatePatches::BinaryV11>* media) {
  static const char* const kTag = "[CalculateFileCksumForDir]";
  std::string walkPath = subPath.empty() ? dir : dir + "/" + subPath;
  if (ChecksumBatchState* batch = threadBatch) {
    if (batch->owner == this && batch->Take(dir, subPath, isUnix, recursive, files, media)) {
      m_event.DebugJob(1, kTag, m_jobId, "Successfully joined all threads for file-checksum in [%s]",
                       walkPath.c_str());
      return true;
    }
    // Walked as usual, on a pool that has nothing of the batch left.
    batch->Drain();
  }

  // The tasks' own log.
  EvDebugFileInstance taskLogInstance;
  EvDebug taskLog(&taskLogInstance);
  taskLog.initialize(&taskLogInstance, kChecksumTaskLogId, 0, false, "");
  // Resolve the levels here, before the walk's threads share the two log objects.
  taskLog.GetDebugLevel();
  m_event.GetDebugLevel();

  std::mutex outLock;

  KqThreadPool* pool = GetCheckFileTP(static_cast<unsigned int>(m_jobId));
  if (pool == nullptr) {
    m_event.DebugJob(0, kTag, m_jobId, "Failed to get ThreadPool object.");
    return false;
  }

  WalkRoot root;
  root.base = dir;
  root.top = walkPath;
  while (root.top.size() > 1 && root.top.back() == '/') root.top.pop_back();
  root.isUnix = isUnix;
  root.recursive = recursive;
  root.outLock = &outLock;
  root.files = files;
  root.media = media;
  {
    ChecksumWalk walk(this, &taskLog, pool, false);
    CPxError walked;
    try {
      walked = walk.Start(root);
      if (!walked.IsError()) walk.Run();
    } catch (...) {
      m_event.DebugJob(0, kTag, m_jobId, "Exception caught while walking [%s]", walkPath.c_str());
      root.ok = false;
    }
    if (walked.IsError()) {
      m_event.DebugJob(0, kTag, m_jobId, "Cannot walk through [%s] with return [%d], continuing.",
                       walkPath.c_str(), walked.GetErrorCode());
      root.ok = false;
    }
    if (pool->waitForAllThreads(true, true, true, -1)) {
      m_event.DebugJob(1, kTag, m_jobId, "Successfully joined all threads for file-checksum in [%s]",
                       walkPath.c_str());
    } else {
      m_event.DebugJob(1, kTag, m_jobId, "Failed to calculate file-checksum for files in [%s]",
                       walkPath.c_str());
      root.ok = false;
    }
  }
  const int walkError = root.walkError.load();
  if (walkError != 0) {
    m_event.DebugJob(0, kTag, m_jobId, "Cannot walk through [%s] with return [%d], continuing.",
                     walkPath.c_str(), walkError);
    root.ok = false;
  }
  ReleaseCheckFileTP(static_cast<unsigned int>(m_jobId));
  return root.ok.load();
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
  const size_t start = RelativeStart(tpl->relativeName, full);
  if (start == std::string::npos) {
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
  const bool verbose = task->log->GetDebugLevel() >= 10;
  for (size_t k = 0; k <= task->more.size(); ++k) {
    if (!task->ok->load()) break;
    // The task owns its names: each relative name moves into its entry.
    std::string& relative = k == 0 ? task->relativeName : task->more[k - 1].first;
    const std::string& full = k == 0 ? task->fullPath : task->more[k - 1].second;
    auto compute = [&](std::string& text) { return task->owner->CalculateFileCksumForFile(task->isUnix, full, text); };
    auto add = [&](std::string text) { done.push_back(ListEntry(std::move(relative), std::move(text))); };
    if (!ChecksumListFile(task->log, static_cast<long long>(task->jobId), verbose, full.c_str(), "", "", compute,
                          add)) {
      task->ok->store(false);
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
