#include "Concurrency/KqThreadPool.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <system_error>

#include "Logging/EvDebug.h"

namespace {

const char kTag[] = "KqThreadPool";

// The pool whose task the calling thread runs now (null outside every pool).
thread_local const KqThreadPool* t_ownPool = nullptr;

}  // namespace

KqThreadPool::KqThreadPool()
    : m_maxQueued(0),
      m_threadCount(0),
      m_initialised(false),
      m_started(false),
      m_stopping(false),
      m_running(0),
      m_idleWorkers(0),
      m_roomWaiters(0),
      m_completed(0),
      m_failed(0),
      m_ownerPid(0) {}

KqThreadPool::~KqThreadPool() { stopThreads(); }

bool KqThreadPool::initThreadPool(const std::string& name, unsigned int maxQueued,
                                  unsigned int minThreads, unsigned int maxThreads,
                                  int startNow) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_initialised) {
    EvDebug().Debug(kTag, "Pool [%s] is already initialised", m_name.c_str());
    return false;
  }
  if (maxThreads == 0 || minThreads > maxThreads) {
    EvDebug().Debug(kTag, "Pool [%s]: invalid thread counts min [%u] max [%u]", name.c_str(),
                    minThreads, maxThreads);
    return false;
  }
  m_name = name;
  m_maxQueued = maxQueued;
  m_threadCount = maxThreads;
  m_initialised = true;
  if (startNow != 0 && !startThreadsLocked()) {
    m_initialised = false;
    return false;
  }
  return true;
}

// Starts every thread or none: threads already made are ended again on failure.
bool KqThreadPool::startThreadsLocked() {
  try {
    m_threads.reserve(m_threadCount);
    for (unsigned int i = 0; i < m_threadCount; ++i) {
      m_threads.emplace_back(&KqThreadPool::workerLoop, this);
      // The kernel keeps at most 15 characters of a thread name.
      std::string shortName = m_name.substr(0, 15);
      pthread_setname_np(m_threads.back().native_handle(), shortName.c_str());
    }
  } catch (const std::exception& e) {
    EvDebug().Debug(kTag, "Pool [%s]: could not start thread [%zu] of [%u]: %s", m_name.c_str(),
                    m_threads.size() + 1, m_threadCount, e.what());
    m_stopping = true;
    m_workReady.notify_all();
    // The workers need the mutex to see the stop.
    m_mutex.unlock();
    for (std::thread& t : m_threads) t.join();
    m_mutex.lock();
    m_threads.clear();
    m_stopping = false;
    return false;
  }
  m_started = true;
  m_ownerPid.store(static_cast<int>(getpid()));
  return true;
}

void KqThreadPool::stopThreads() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_workReady.notify_all();
  m_roomReady.notify_all();
  for (std::thread& t : m_threads) t.join();
  m_threads.clear();
}

bool KqThreadPool::doWork(KqThreadPoolFunc func, void* param) {
  if (func == nullptr) {
    EvDebug().Debug(kTag, "Pool [%s]: refused a task without a function", m_name.c_str());
    return false;
  }
  bool ownWorker = isOwnWorker();
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_initialised || m_stopping) {
    EvDebug().Debug(kTag, "Pool [%s] is not running; task refused", m_name.c_str());
    return false;
  }
  if (!m_started && !startThreadsLocked()) return false;
  // A task that queues more work must not wait for room: the room might only come from
  // itself. Outside callers wait while the queue is full.
  if (m_maxQueued != 0 && !ownWorker && m_queue.size() >= m_maxQueued && !m_stopping) {
    ++m_roomWaiters;
    m_roomReady.wait(lock, [this] { return m_queue.size() < m_maxQueued || m_stopping; });
    --m_roomWaiters;
    if (m_stopping) {
      EvDebug().Debug(kTag, "Pool [%s] stopped while a task waited for room; task refused",
                      m_name.c_str());
      return false;
    }
  }
  try {
    m_queue.push_back(Task{func, param});
  } catch (const std::bad_alloc&) {
    EvDebug().Debug(kTag, "Pool [%s]: no memory to queue a task", m_name.c_str());
    return false;
  }
  // Busy workers take the task when they are done with theirs; only an idle one is woken.
  const bool wake = m_idleWorkers > 0;
  lock.unlock();
  if (wake) m_workReady.notify_one();
  return true;
}

bool KqThreadPool::waitForAllThreads(bool logSummary, bool failOnTaskError, bool resetCounters,
                                     long long timeoutMs) {
  if (isOwnWorker()) {
    EvDebug().Debug(kTag, "Pool [%s]: a task cannot wait for its own pool", m_name.c_str());
    return false;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  auto idle = [this] { return m_queue.empty() && m_running == 0; };
  bool finished = true;
  if (timeoutMs < 0) {
    m_idle.wait(lock, idle);
  } else {
    finished = m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
  }
  bool ok = finished && !(failOnTaskError && m_failed > 0);
  if (logSummary || !finished) {
    EvDebug().DebugLvl(kTag, finished ? 8 : 1,
                       "Pool [%s]: %s; [%llu] tasks done, [%llu] threw, [%zu] still pending",
                       m_name.c_str(), finished ? "all tasks finished" : "wait timed out",
                       m_completed, m_failed, m_queue.size() + m_running);
  }
  if (resetCounters) {
    m_completed = 0;
    m_failed = 0;
  }
  return ok;
}

std::size_t KqThreadPool::getPendingCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_queue.size() + m_running;
}

bool KqThreadPool::startedInThisProcess() const {
  int owner = m_ownerPid.load();
  return owner != 0 && owner == static_cast<int>(getpid());
}

void KqThreadPool::RunBeforeFork(void (*hook)()) {
  if (hook != nullptr) pthread_atfork(hook, nullptr, nullptr);
}

unsigned long long KqThreadPool::getCompletedCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_completed;
}

unsigned long long KqThreadPool::getFailedCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failed;
}

bool KqThreadPool::isOwnWorker() const { return t_ownPool == this; }

void KqThreadPool::workerLoop() {
  t_ownPool = this;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_queue.empty() && !m_stopping) {
      ++m_idleWorkers;
      m_workReady.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
      --m_idleWorkers;
    }
    // Stopping still drains the queue: every accepted task runs.
    if (m_queue.empty()) break;
    runFrontLocked(lock);
  }
  t_ownPool = nullptr;
}

void KqThreadPool::runFrontLocked(std::unique_lock<std::mutex>& lock) {
  Task task = m_queue.front();
  m_queue.pop_front();
  ++m_running;
  const bool room = m_roomWaiters > 0;
  lock.unlock();
  if (room) m_roomReady.notify_one();
  bool ok = runTask(task);
  lock.lock();
  --m_running;
  ++m_completed;
  if (!ok) ++m_failed;
  if (m_queue.empty() && m_running == 0) m_idle.notify_all();
}

bool KqThreadPool::helpWhileWaiting(bool logSummary, bool failOnTaskError, bool resetCounters) {
  if (isOwnWorker()) {
    EvDebug().Debug(kTag, "Pool [%s]: a task cannot wait for its own pool", m_name.c_str());
    return false;
  }
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    const KqThreadPool* outer = t_ownPool;
    t_ownPool = this;
    while (!m_queue.empty()) runFrontLocked(lock);
    t_ownPool = outer;
  }
  return waitForAllThreads(logSummary, failOnTaskError, resetCounters, -1);
}

bool KqThreadPool::runTask(const Task& task) {
  try {
    task.func(task.param);
    return true;
  } catch (const std::exception& e) {
    EvDebug().Debug(kTag, "Pool [%s]: a task threw [%s]", m_name.c_str(), e.what());
  } catch (const char* text) {
    EvDebug().Debug(kTag, "Pool [%s]: a task threw [%s]", m_name.c_str(), text ? text : "NULL");
  } catch (...) {
    EvDebug().Debug(kTag, "Pool [%s]: a task threw an unknown exception", m_name.c_str());
  }
  return false;
}
