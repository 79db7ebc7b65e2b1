// IPatchThreadPool: a pool of worker threads that a retrieval job hands its per-side work to.
//
// CPatchThreadPool runs the tasks on a KqThreadPool. Initialize starts the threads once and
// records the media access object the tasks fetch through (may be null: a pool that only
// checks files). QueueWork queues a task; WaitForAll waits until no task is queued or running.
// HelpAndWaitForAll also lets the waiting thread run queued tasks. The pool is made and owned
// by the job and must outlive every task it was given; its destructor runs what is still
// queued, then ends the threads.
#ifndef KQ_PLATFORM_JOBS_IPATCHTHREADPOOL_H_
#define KQ_PLATFORM_JOBS_IPATCHTHREADPOOL_H_

#pragma GCC visibility push(default)

#include <functional>
#include <string>

#include "Concurrency/KqThreadPool.h"

class IMediaAccess;

// How a pool is made; the job's policy holds one per pool.
struct tThreadPoolParams {
  std::string name = "PatchThreadPool";  // shown in log lines
  unsigned int threads = 4;              // worker threads (1 or more)
  unsigned int maxQueued = 0;            // tasks waiting at most before QueueWork waits; 0 = no limit
};

class IPatchThreadPool {
 public:
  virtual ~IPatchThreadPool() {}
  // 0 when the threads run; 0x80000008 for no threads, 0x80000010 when they cannot be started
  // or the pool was initialised before.
  virtual unsigned int Initialize(const tThreadPoolParams& params, IMediaAccess* mediaAccess) = 0;
  // 0 when queued; 0x80000008 for an empty task or a pool that is not running.
  virtual unsigned int QueueWork(std::function<void()> task) = 0;
  // Waits for all queued work. 0 on success; 0x8000001A when, with failOnTaskError, a task
  // threw since the counters were last reset.
  virtual unsigned int WaitForAll(bool logSummary, bool failOnTaskError, bool resetCounters) = 0;
  // As WaitForAll; a pool may have the waiting thread run queued tasks meanwhile.
  virtual unsigned int HelpAndWaitForAll(bool logSummary, bool failOnTaskError,
                                         bool resetCounters) {
    return WaitForAll(logSummary, failOnTaskError, resetCounters);
  }
  // The media access object given to Initialize, or null.
  virtual IMediaAccess* GetMediaAccess() = 0;
};

class CPatchThreadPool : public IPatchThreadPool {
 public:
  unsigned int Initialize(const tThreadPoolParams& params, IMediaAccess* mediaAccess) override;
  unsigned int QueueWork(std::function<void()> task) override;
  unsigned int WaitForAll(bool logSummary, bool failOnTaskError, bool resetCounters) override;
  // The waiting thread runs queued tasks too (KqThreadPool::helpWhileWaiting).
  unsigned int HelpAndWaitForAll(bool logSummary, bool failOnTaskError,
                                 bool resetCounters) override;
  IMediaAccess* GetMediaAccess() override { return mediaAccess_; }

 private:
  KqThreadPool pool_;
  IMediaAccess* mediaAccess_ = nullptr;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_JOBS_IPATCHTHREADPOOL_H_
