// KqThreadPool: a fixed set of worker threads that run queued tasks in arrival order.
//
// A task is a function and one pointer; the caller owns what the pointer points to (a task
// usually frees its own parameters). doWork never drops a task: it either queues it (true) or
// refuses it with a log line (false) when the pool is not running. When the queue holds its
// limit, doWork waits for room instead. A task that throws is caught, logged and counted;
// the worker carries on. waitForAllThreads waits until the queue is empty and no task runs,
// and leaves the threads up for the next batch; helpWhileWaiting runs queued tasks on the
// calling thread as well while it waits. The destructor runs what is still queued,
// then ends the threads; it must not be called from one of the pool's own tasks.
#ifndef KQ_PLATFORM_CONCURRENCY_KQTHREADPOOL_H_
#define KQ_PLATFORM_CONCURRENCY_KQTHREADPOOL_H_

#pragma GCC visibility push(default)

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef void (*KqThreadPoolFunc)(void* param);

class KqThreadPool {
 public:
  KqThreadPool();
  ~KqThreadPool();
  KqThreadPool(const KqThreadPool&) = delete;
  KqThreadPool& operator=(const KqThreadPool&) = delete;

  // name: shown in log lines and (shortened) as the threads' names.
  // maxQueued: tasks waiting at most before doWork waits for room; 0 means no limit.
  // minThreads, maxThreads: the pool runs maxThreads threads; minThreads only has to be
  //   no larger (both 0, or min above max, is refused).
  // startNow: non-zero starts the threads here, so a failure to start them is reported here;
  //   0 starts them with the first task.
  // Returns false, with a log line, on bad arguments, a second call, or threads not started.
  bool initThreadPool(const std::string& name, unsigned int maxQueued, unsigned int minThreads,
                      unsigned int maxThreads, int startNow);

  // Queues func(param). false (logged) when func is null or the pool is not running.
  bool doWork(KqThreadPoolFunc func, void* param);

  // Waits until no task is queued or running. timeoutMs < 0 waits without limit.
  // Returns false when the time ran out, when called from one of the pool's own tasks, or,
  // with failOnTaskError, when a task threw since the counters were last reset.
  // logSummary logs the counts; resetCounters sets them back to 0 after the wait.
  bool waitForAllThreads(bool logSummary, bool failOnTaskError, bool resetCounters,
                         long long timeoutMs);

  // As waitForAllThreads without a time limit, the calling thread running queued tasks too
  // until the queue is empty, then waiting for the running ones. A task it runs is caught,
  // counted and logged as a worker's is, and sees this pool as its own.
  bool helpWhileWaiting(bool logSummary, bool failOnTaskError, bool resetCounters);

  const std::string& getName() const { return m_name; }
  unsigned int getThreadCount() const { return m_threadCount; }
  // Tasks queued or running now.
  std::size_t getPendingCount() const;
  // Whether the threads run in this process: false before they start, and in a child made by
  // fork, which has none of them (work queued there would never run).
  bool startedInThisProcess() const;
  // Has `hook` run in the parent before every later fork, so that a caller that keeps a pool
  // idle can end it first: the child would have none of its threads, and a child of a process
  // with threads should not start threads of its own. Register each hook once.
  static void RunBeforeFork(void (*hook)());
  // Tasks finished and tasks that threw, since the counters were last reset.
  unsigned long long getCompletedCount() const;
  unsigned long long getFailedCount() const;

 private:
  struct Task {
    KqThreadPoolFunc func;
    void* param;
  };

  bool startThreadsLocked();
  void stopThreads();
  void workerLoop();
  // Takes the first queued task and runs it with the mutex released; called and returns
  // with lock held.
  void runFrontLocked(std::unique_lock<std::mutex>& lock);
  bool runTask(const Task& task);
  bool isOwnWorker() const;

  std::string m_name;
  std::size_t m_maxQueued;
  unsigned int m_threadCount;
  bool m_initialised;
  bool m_started;
  bool m_stopping;

  mutable std::mutex m_mutex;
  std::condition_variable m_workReady;   // a task was queued, or the pool stops
  std::condition_variable m_roomReady;   // a task left the queue
  std::condition_variable m_idle;        // nothing queued and nothing running
  std::deque<Task> m_queue;
  std::size_t m_running;
  // Workers waiting for a task and callers waiting for room: a notification is only sent when
  // someone waits for it.
  std::size_t m_idleWorkers;
  std::size_t m_roomWaiters;
  unsigned long long m_completed;
  unsigned long long m_failed;
  std::vector<std::thread> m_threads;
  // The process that started the threads (0 before); read without the mutex, which a child
  // made by fork may find held for ever.
  std::atomic<int> m_ownerPid;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_KQTHREADPOOL_H_
