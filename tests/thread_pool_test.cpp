// The worker pool: no task lost under a full queue, batches on one pool, throwing tasks,
// waiting, and refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/KqSemaphoreH.h"
#include "Concurrency/KqThreadPool.h"
#include "KqTestEnv.h"

namespace {

// Shared state of one batch: every task marks its own slot and notes its thread.
struct Batch {
  explicit Batch(size_t n) : hits(n) {}
  std::vector<std::atomic<int>> hits;
  std::mutex mutex;
  std::set<unsigned long> threads;
};

struct TaskParam {
  Batch* batch;
  size_t index;
};

// Frees its own parameters, as pool tasks do.
void MarkTask(void* p) {
  TaskParam* param = static_cast<TaskParam*>(p);
  param->batch->hits[param->index].fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(param->batch->mutex);
    param->batch->threads.insert(GetCurrentThreadId());
  }
  delete param;
}

void QueueBatch(KqThreadPool& pool, Batch& batch) {
  for (size_t i = 0; i < batch.hits.size(); ++i) {
    ASSERT_TRUE(pool.doWork(MarkTask, new TaskParam{&batch, i}));
  }
}

void ExpectEachRanOnce(Batch& batch) {
  size_t missing = 0, repeated = 0;
  for (auto& h : batch.hits) {
    if (h.load() == 0) ++missing;
    if (h.load() > 1) ++repeated;
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(repeated, 0u);
}

class ThreadPoolTest : public ::testing::Test {
 protected:
  kqtest::ScopedConfig cfg_;  // outlives every pool of a test
};

TEST_F(ThreadPoolTest, TenThousandTasksThroughASmallQueueNoneLost) {
  KqThreadPool pool;
  // A queue limit far below the task count: doWork must wait for room, never drop.
  ASSERT_TRUE(pool.initThreadPool("CalcChecksumForClient", 64, 1, 5, 1));
  EXPECT_EQ(pool.getThreadCount(), 5u);
  Batch batch(10000);
  QueueBatch(pool, batch);
  EXPECT_TRUE(pool.waitForAllThreads(true, true, true, -1));
  ExpectEachRanOnce(batch);
  EXPECT_EQ(pool.getPendingCount(), 0u);
  EXPECT_LE(batch.threads.size(), 5u);
}

TEST_F(ThreadPoolTest, TwoBatchesOnOnePoolKeepTheThreads) {
  KqThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("TwoBatches", 6000, 1, 4, 1));
  Batch first(5000), second(5000);
  QueueBatch(pool, first);
  ASSERT_TRUE(pool.waitForAllThreads(false, true, false, -1));
  EXPECT_EQ(pool.getCompletedCount(), 5000u);
  ExpectEachRanOnce(first);

  QueueBatch(pool, second);
  ASSERT_TRUE(pool.waitForAllThreads(false, true, true, -1));
  ExpectEachRanOnce(second);
  EXPECT_EQ(pool.getCompletedCount(), 0u);  // reset after the second wait

  // Both batches ran on the same four threads: none was ended and replaced.
  std::set<unsigned long> all(first.threads);
  all.insert(second.threads.begin(), second.threads.end());
  EXPECT_LE(all.size(), 4u);
}

void ThrowStd(void*) { throw std::runtime_error("disk vanished"); }
void ThrowText(void*) { throw "plain text failure"; }
void ThrowOther(void*) { throw 42; }
void Count(void* p) { static_cast<std::atomic<int>*>(p)->fetch_add(1); }

TEST_F(ThreadPoolTest, ThrowingTasksAreCaughtCountedAndLogged) {
  KqThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("Throwers", 0, 1, 2, 1));
  std::atomic<int> done{0};
  ASSERT_TRUE(pool.doWork(ThrowStd, nullptr));
  ASSERT_TRUE(pool.doWork(ThrowText, nullptr));
  ASSERT_TRUE(pool.doWork(ThrowOther, nullptr));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(pool.doWork(Count, &done));

  // The other tasks still ran on the same threads; the wait reports the failures.
  EXPECT_FALSE(pool.waitForAllThreads(true, true, false, -1));
  EXPECT_EQ(done.load(), 100);
  EXPECT_EQ(pool.getFailedCount(), 3u);
  EXPECT_EQ(pool.getCompletedCount(), 103u);
  // Without failOnTaskError the wait itself succeeds; the reset starts the next batch clean.
  EXPECT_TRUE(pool.waitForAllThreads(false, false, true, -1));
  ASSERT_TRUE(pool.doWork(Count, &done));
  EXPECT_TRUE(pool.waitForAllThreads(false, true, true, -1));

  std::string log = kqtest::ReadFile(cfg_.logFile());
  EXPECT_NE(log.find("[Throwers]: a task threw [disk vanished]"), std::string::npos) << log;
  EXPECT_NE(log.find("a task threw [plain text failure]"), std::string::npos);
  EXPECT_NE(log.find("a task threw an unknown exception"), std::string::npos);
}

void WaitOnGate(void* p) { static_cast<KqSemaphoreH*>(p)->wait(); }

// What the tasks a waiting caller ran saw: their threads, and whether they could wait for
// their own pool (they must not) or queue more work into it (they may).
struct HelpedTasks {
  KqThreadPool* pool = nullptr;
  std::atomic<bool> blockerRunning{false};
  int releaseAfter = 0;  // the blocker returns once this many tasks ran
  std::mutex lock;
  std::set<unsigned long> threads;
  std::atomic<int> ran{0};
  std::atomic<int> waitsRefused{0};
};

void Note(HelpedTasks& h) {
  std::lock_guard<std::mutex> hold(h.lock);
  h.threads.insert(GetCurrentThreadId());
  ++h.ran;
}

void Blocker(void* p) {
  HelpedTasks& h = *static_cast<HelpedTasks*>(p);
  h.blockerRunning = true;
  while (h.ran.load() < h.releaseAfter) std::this_thread::yield();
}
void Helped(void* p) { Note(*static_cast<HelpedTasks*>(p)); }
void WaitsForOwnPool(void* p) {
  HelpedTasks& h = *static_cast<HelpedTasks*>(p);
  Note(h);
  if (!h.pool->waitForAllThreads(false, false, false, -1)) ++h.waitsRefused;
  if (!h.pool->helpWhileWaiting(false, false, false)) ++h.waitsRefused;
  EXPECT_TRUE(h.pool->doWork(Helped, p));
}
void ThrowsWhenHelped(void* p) {
  Note(*static_cast<HelpedTasks*>(p));
  throw std::runtime_error("helped task failed");
}

TEST_F(ThreadPoolTest, AWaitingCallerRunsTheQueuedTasksAsAWorkerWould) {
  KqThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("Helped", 0, 1, 1, 1));
  HelpedTasks h;
  h.pool = &pool;
  h.releaseAfter = 11;
  // The only worker is held until every other task ran: the caller runs them all.
  ASSERT_TRUE(pool.doWork(Blocker, &h));
  while (!h.blockerRunning) std::this_thread::yield();
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(pool.doWork(Helped, &h));
  ASSERT_TRUE(pool.doWork(WaitsForOwnPool, &h));
  ASSERT_TRUE(pool.doWork(ThrowsWhenHelped, &h));

  EXPECT_FALSE(pool.helpWhileWaiting(true, true, false));  // a task threw
  EXPECT_EQ(11, h.ran.load());
  EXPECT_EQ(2, h.waitsRefused.load());
  EXPECT_EQ(12u, pool.getCompletedCount());
  EXPECT_EQ(1u, pool.getFailedCount());
  EXPECT_EQ(0u, pool.getPendingCount());
  EXPECT_EQ(std::set<unsigned long>{GetCurrentThreadId()}, h.threads);
  EXPECT_NE(kqtest::ReadFile(cfg_.logFile()).find("a task threw [helped task failed]"),
            std::string::npos);

  // With nothing queued it is a plain wait; the reset starts the next batch clean.
  EXPECT_FALSE(pool.helpWhileWaiting(false, true, true));
  EXPECT_TRUE(pool.helpWhileWaiting(false, true, true));
}

TEST_F(ThreadPoolTest, WaitCountsRunningTasksAndHonoursItsTimeout) {
  KqThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("Gate", 0, 1, 1, 1));
  KqSemaphoreH gate(0);
  std::atomic<int> done{0};
  ASSERT_TRUE(pool.doWork(WaitOnGate, &gate));
  ASSERT_TRUE(pool.doWork(Count, &done));
  // One task runs (blocked), one is queued behind it: not idle.
  EXPECT_FALSE(pool.waitForAllThreads(false, true, false, 50));
  EXPECT_EQ(pool.getPendingCount(), 2u);
  gate.release();
  EXPECT_TRUE(pool.waitForAllThreads(false, true, false, -1));
  EXPECT_EQ(done.load(), 1);
}

struct StartedGate {
  KqSemaphoreH sem{0};
  std::atomic<int> started{0};
};

void NoteStartAndWaitOnGate(void* p) {
  StartedGate* g = static_cast<StartedGate*>(p);
  g->started.fetch_add(1);
  g->sem.wait();
}

// Workers are only woken when one is idle: tasks queued while every worker is busy, and a task
// queued to a pool that has been idle for a while, must still all run.
TEST_F(ThreadPoolTest, TasksQueuedWhileAllWorkersAreBusyOrIdleAllRun) {
  KqThreadPool pool;
  ASSERT_TRUE(pool.initThreadPool("Busy", 0, 1, 3, 1));
  StartedGate gate;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.doWork(NoteStartAndWaitOnGate, &gate));
  // Wait until all three workers hold a gate task, so none is idle while the batch is queued.
  for (int i = 0; i < 5000 && gate.started.load() != 3; ++i) usleep(1000);
  ASSERT_EQ(gate.started.load(), 3);
  Batch batch(300);
  QueueBatch(pool, batch);
  EXPECT_EQ(pool.getPendingCount(), 303u);
  for (int i = 0; i < 3; ++i) gate.sem.release();
  ASSERT_TRUE(pool.waitForAllThreads(false, true, true, -1));
  ExpectEachRanOnce(batch);

  usleep(20000);  // every worker waits for work again
  std::atomic<int> done{0};
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(pool.doWork(Count, &done));
  ASSERT_TRUE(pool.waitForAllThreads(false, true, true, -1));
  EXPECT_EQ(done.load(), 5);
}

struct Spawner {
  KqThreadPool* pool;
  std::atomic<int>* done;
  bool waitResult = true;
};

void SpawnChildren(void* p) {
  Spawner* s = static_cast<Spawner*>(p);
  for (int i = 0; i < 20; ++i) s->pool->doWork(Count, s->done);
  s->waitResult = s->pool->waitForAllThreads(false, false, false, 0);
}

TEST_F(ThreadPoolTest, TaskMayQueueMoreWorkIntoAFullPool) {
  KqThreadPool pool;
  // One thread and room for one task: a task that queues 20 more must not wait on itself.
  ASSERT_TRUE(pool.initThreadPool("Spawner", 1, 1, 1, 1));
  std::atomic<int> done{0};
  Spawner s{&pool, &done};
  ASSERT_TRUE(pool.doWork(SpawnChildren, &s));
  EXPECT_TRUE(pool.waitForAllThreads(false, true, true, -1));
  EXPECT_EQ(done.load(), 20);
  EXPECT_FALSE(s.waitResult);  // a task cannot wait for its own pool
}

TEST_F(ThreadPoolTest, DestructorRunsWhatIsStillQueued) {
  std::atomic<int> done{0};
  KqSemaphoreH gate(0);
  {
    KqThreadPool pool;
    ASSERT_TRUE(pool.initThreadPool("Drain", 0, 1, 1, 0));  // threads start with the first task
    ASSERT_TRUE(pool.doWork(WaitOnGate, &gate));
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(pool.doWork(Count, &done));
    gate.release();
  }
  EXPECT_EQ(done.load(), 50);
}

TEST_F(ThreadPoolTest, RefusalsAreReported) {
  KqThreadPool idle;
  std::atomic<int> done{0};
  EXPECT_FALSE(idle.doWork(Count, &done));  // not initialised
  EXPECT_TRUE(idle.waitForAllThreads(false, true, false, 0));

  KqThreadPool pool;
  EXPECT_FALSE(pool.initThreadPool("Bad", 10, 1, 0, 1));
  EXPECT_FALSE(pool.initThreadPool("Bad", 10, 3, 2, 1));
  ASSERT_TRUE(pool.initThreadPool("Good", 10, 1, 2, 1));
  EXPECT_FALSE(pool.initThreadPool("Again", 10, 1, 2, 1));
  EXPECT_FALSE(pool.doWork(nullptr, &done));
  EXPECT_EQ(done.load(), 0);
  std::string log = kqtest::ReadFile(cfg_.logFile());
  EXPECT_NE(log.find("Pool [] is not running; task refused"), std::string::npos) << log;
  EXPECT_NE(log.find("Pool [Good] is already initialised"), std::string::npos);
}

std::atomic<int> g_beforeForkRuns{0};
void CountBeforeFork() { g_beforeForkRuns.fetch_add(1); }

// The threads belong to the process that started them: not before they start, and never in a
// child made by fork, which has none of them. A hook registered to run before fork runs in the
// parent, once a fork, before the child exists.
TEST_F(ThreadPoolTest, ThreadsBelongToTheProcessThatStartedThemAndHooksRunBeforeFork) {
  KqThreadPool::RunBeforeFork(CountBeforeFork);
  KqThreadPool later;
  ASSERT_TRUE(later.initThreadPool("later", 0, 1, 1, 0));
  EXPECT_FALSE(later.startedInThisProcess());
  Batch batch(1);
  QueueBatch(later, batch);
  EXPECT_TRUE(later.startedInThisProcess());
  EXPECT_TRUE(later.waitForAllThreads(false, true, true, -1));
  const int before = g_beforeForkRuns.load();
  pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) ::_exit(later.startedInThisProcess() || g_beforeForkRuns.load() != before + 1 ? 1 : 0);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(later.startedInThisProcess());
  EXPECT_EQ(before + 1, g_beforeForkRuns.load());
}

}  // namespace
