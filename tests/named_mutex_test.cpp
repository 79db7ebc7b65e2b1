// The named mutex between real processes: a holder killed with SIGKILL, timed waits, hold
// counts, mutual exclusion of many processes, and where the lock files go.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Concurrency/KqNamedMutex.h"
#include "KqTestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class NamedMutexTest : public ::testing::Test {
 protected:
  NamedMutexTest() { cfg_.set("NamedMutex", "dLockFolder", cfg_.root() + "/mutex"); }

  // Forks a child that takes the mutex, reports through a pipe and sleeps until killed.
  pid_t SpawnHolder(const std::string& name) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      KqNamedMutex m(name);
      char ok = m.lock() ? 'y' : 'n';
      if (write(fds[1], &ok, 1) != 1) _exit(2);
      for (;;) pause();
    }
    close(fds[1]);
    char ok = 0;
    bool reported = read(fds[0], &ok, 1) == 1 && ok == 'y';
    close(fds[0]);
    if (!reported) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    return pid;
  }

  kqtest::ScopedConfig cfg_;
};

TEST_F(NamedMutexTest, HolderKilledWithSigkillIsSucceededByTheWaiterAtOnce) {
  pid_t holder = SpawnHolder("42_lock");
  ASSERT_GT(holder, 0);
  KqNamedMutex m("42_lock");
  EXPECT_FALSE(m.lock(0));
  EXPECT_EQ(m.getLockCnt(), 0);

  std::atomic<bool> got{false};
  Clock::time_point gotAt;
  std::thread waiter([&] {
    got = m.lock(30000);
    gotAt = Clock::now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());  // still held by the child
  Clock::time_point killedAt = Clock::now();
  ASSERT_EQ(kill(holder, SIGKILL), 0);
  waiter.join();
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(got.load());
  // The kernel frees the lock with the dead holder's files; no stale-lock timeout applies.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(gotAt - killedAt).count(), 5000);
  // Now held by this process: another object cannot take it.
  KqNamedMutex other("42_lock");
  EXPECT_FALSE(other.lock(0));
}

TEST_F(NamedMutexTest, TimedWaitHonoursItsTimeout) {
  pid_t holder = SpawnHolder("7_lock");
  ASSERT_GT(holder, 0);
  KqNamedMutex m("7_lock");
  auto start = Clock::now();
  EXPECT_FALSE(m.lock(300));
  long long waited = MillisSince(start);
  EXPECT_GE(waited, 300);
  EXPECT_LT(waited, 5000);
  start = Clock::now();
  EXPECT_FALSE(m.lock(1));  // the shortest try still returns promptly
  EXPECT_LT(MillisSince(start), 1000);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(m.lock(5000));
  EXPECT_TRUE(m.unlock());
}

TEST_F(NamedMutexTest, HoldsAreCountedPerObjectAndExcludeOtherObjects) {
  KqNamedMutex a("-5_lock"), b("-5_lock");
  ASSERT_TRUE(a.lock());
  ASSERT_TRUE(a.lock(0));  // the holder locks again at once
  EXPECT_EQ(a.getLockCnt(), 2);
  EXPECT_FALSE(b.lock(0));  // two objects of one name exclude each other in one process
  EXPECT_TRUE(a.unlock());
  EXPECT_EQ(a.getLockCnt(), 1);
  EXPECT_FALSE(b.lock(0));
  // Another thread using the holder's object waits like any other taker.
  bool otherThread = true;
  std::thread t([&] { otherThread = a.lock(50); });
  t.join();
  EXPECT_FALSE(otherThread);
  bool strangerUnlock = true;
  std::thread t2([&] { strangerUnlock = a.unlock(); });
  t2.join();
  EXPECT_FALSE(strangerUnlock);
  EXPECT_TRUE(a.unlock());
  EXPECT_EQ(a.getLockCnt(), 0);
  EXPECT_FALSE(a.unlock());
  EXPECT_TRUE(b.lock(0));
  EXPECT_TRUE(b.unlock());
}

// Each child adds 1 to a number in a file 100 times, reading and rewriting it under the mutex.
void AddUnderMutex(const std::string& counterFile) {
  KqNamedMutex m("counter_lock");
  for (int i = 0; i < 100; ++i) {
    if (!m.lock(60000)) _exit(3);
    long value = std::atol(kqtest::ReadFile(counterFile).c_str());
    FILE* f = std::fopen(counterFile.c_str(), "w");
    if (f == nullptr) _exit(4);
    std::fprintf(f, "%ld", value + 1);
    std::fclose(f);
    m.unlock();
  }
}

TEST_F(NamedMutexTest, ManyProcessesNeverHoldItTogether) {
  std::string counter = cfg_.root() + "/counter";
  kqtest::WriteFile(counter, "0");
  const int kChildren = 8;
  pid_t pids[kChildren];
  for (int c = 0; c < kChildren; ++c) {
    pids[c] = fork();
    if (pids[c] == 0) {
      AddUnderMutex(counter);
      _exit(0);
    }
    ASSERT_GT(pids[c], 0);
  }
  for (pid_t pid : pids) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(kqtest::ReadFile(counter), std::to_string(kChildren * 100));
}

TEST_F(NamedMutexTest, LockFilesStayInsideTheConfiguredFolder) {
  std::string folder = cfg_.root() + "/mutex";
  EXPECT_EQ(KqNamedMutex::lockFolder(), folder);
  EXPECT_EQ(KqNamedMutex::lockFileName("123_lock"), "123_lock.lock");
  EXPECT_EQ(KqNamedMutex::lockFileName("../x/y"), "..%2Fx%2Fy.lock");
  EXPECT_EQ(KqNamedMutex::lockFileName(".."), "...lock");

  KqNamedMutex hostile("../../escape");
  ASSERT_TRUE(hostile.lock(0));  // the folder is made on first use
  EXPECT_EQ(hostile.getLockFilePath(), folder + "/..%2F..%2Fescape.lock");
  struct stat st;
  EXPECT_EQ(stat(hostile.getLockFilePath().c_str(), &st), 0);
  EXPECT_TRUE(hostile.unlock());

  KqNamedMutex unnamed("");
  EXPECT_FALSE(unnamed.lock(0));
  EXPECT_NE(kqtest::ReadFile(cfg_.logFile()).find("Refused a named mutex without a name"),
            std::string::npos);
}

TEST_F(NamedMutexTest, UnwritableFolderIsAFailureNotAHang) {
  cfg_.set("NamedMutex", "dLockFolder", "/proc/self/no-such-folder");
  KqNamedMutex m("1_lock");
  EXPECT_FALSE(m.lock(100));
  EXPECT_EQ(m.getLockCnt(), 0);
  EXPECT_NE(kqtest::ReadFile(cfg_.logFile()).find("Refusing the lock folder"),
            std::string::npos);
}

}  // namespace
