// Process and thread identity, the semaphore, and bounded string copies.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "Concurrency/FXProcess.h"
#include "Concurrency/KqCurrentIds.h"
#include "Concurrency/KqSafeString.h"
#include "Concurrency/KqSemaphoreH.h"
#include "KqTestEnv.h"

namespace {

// A child that sleeps until killed.
pid_t SpawnSleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

TEST(FXProcess, LiveProcessNameCommandLineAndStart) {
  FXProcess self(0, CTimeStamp(), nullptr, false);
  EXPECT_EQ(self.getProcessId(), static_cast<long long>(getpid()));
  EXPECT_TRUE(self.isAlive());
  std::string name = self.getProcessName();
  EXPECT_EQ(name, std::string("process_test").substr(0, 15));
  EXPECT_NE(self.getProcessCmdLineParams().find("process_test"), std::string::npos);

  CTimeStamp started;
  ASSERT_TRUE(self.getStartTime(started));
  CTimeStamp now = CTimeStamp::Now();
  EXPECT_LE(started.Ticks(), now.Ticks() + CTimeStamp::kTicksPerSecond);
  EXPECT_GT(started.Ticks(), now.Ticks() - 3600 * CTimeStamp::kTicksPerSecond);

  FXProcess byName(getpid(), CTimeStamp(), name.c_str(), true);
  EXPECT_TRUE(byName.isAlive());
  FXProcess otherName(getpid(), CTimeStamp(), "kqd", true);
  EXPECT_FALSE(otherName.isAlive());
}

TEST(FXProcess, StartedLaterThanTheGivenTimeIsAnotherProcess) {
  CTimeStamp started;
  ASSERT_TRUE(FXProcess(getpid(), CTimeStamp(), nullptr, true).getStartTime(started));
  long long hour = 3600 * CTimeStamp::kTicksPerSecond;
  // A stamp from before this process began: the id was reused since.
  EXPECT_FALSE(FXProcess(getpid(), CTimeStamp(started.Ticks() - hour), nullptr, true).isAlive());
  EXPECT_TRUE(FXProcess(getpid(), CTimeStamp::Now(), nullptr, true).isAlive());
}

TEST(FXProcess, KilledChildIsDeadBeforeAndAfterItIsReaped) {
  pid_t pid = SpawnSleeper();
  ASSERT_GT(pid, 0);
  FXProcess child(pid, CTimeStamp(), nullptr, true);
  EXPECT_TRUE(child.isAlive());
  EXPECT_EQ(child.getProcessCmdLineParams(),
            FXProcess(0, CTimeStamp(), nullptr, false).getProcessCmdLineParams());
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  // Killed but not yet reaped: a zombie, which kill(pid, 0) still finds.
  for (int i = 0; i < 500 && child.isAlive(); ++i) usleep(10000);
  EXPECT_FALSE(child.isAlive());
  EXPECT_EQ(kill(pid, 0), 0);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_FALSE(child.isAlive());
  EXPECT_EQ(child.getProcessName(), "");
  EXPECT_EQ(child.getProcessCmdLineParams(), "");
  CTimeStamp started;
  EXPECT_FALSE(child.getStartTime(started));
}

TEST(FXProcess, IdsThatNameNoProcess) {
  for (long long pid : {0LL, -1LL, 1LL << 40}) {
    FXProcess p(pid, CTimeStamp(), nullptr, true);
    EXPECT_FALSE(p.isAlive()) << pid;
    EXPECT_EQ(p.getProcessName(), "") << pid;
  }
}

TEST(CurrentIds, ThreadIdsDifferPerThreadAndProcessIdIsGetpid) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<unsigned long>(getpid()));
  EXPECT_EQ(GetCurrentThreadId(), static_cast<unsigned long>(getpid()));  // the main thread
  std::set<unsigned long> ids{GetCurrentThreadId()};
  for (int i = 0; i < 4; ++i) {
    std::thread t([&] { ids.insert(GetCurrentThreadId()); });
    t.join();
  }
  EXPECT_GE(ids.size(), 2u);
  // A forked child reports its own ids, not its parent's.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    unsigned long v[2] = {GetCurrentThreadId(), GetCurrentProcessId()};
    _exit(write(fds[1], v, sizeof v) == sizeof v ? 0 : 1);
  }
  unsigned long v[2] = {0, 0};
  ASSERT_EQ(read(fds[0], v, sizeof v), static_cast<ssize_t>(sizeof v));
  waitpid(pid, nullptr, 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(v[0], static_cast<unsigned long>(pid));
  EXPECT_EQ(v[1], static_cast<unsigned long>(pid));
}

TEST(Semaphore, CountsTimesOutAndWakesWaiters) {
  kqtest::ScopedConfig cfg;
  KqSemaphoreH sem(1, 2);
  EXPECT_TRUE(sem.wait(0));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sem.wait(80));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));

  bool got = false;
  std::thread waiter([&] { got = sem.wait(); });
  EXPECT_TRUE(sem.release());
  waiter.join();
  EXPECT_TRUE(got);

  EXPECT_TRUE(sem.release(2));
  EXPECT_FALSE(sem.release(1));  // past the maximum: refused whole
  EXPECT_FALSE(sem.release(0));
  EXPECT_EQ(sem.count(), 2);
}

TEST(SafeString, CopiesWhatFitsAndEmptiesWhatDoesNot) {
  char buf[6];
  EXPECT_EQ(strcpy_s(buf, "abcde"), 0);  // five characters and the end: exactly fits
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(strcpy_s(buf, "abcdef"), ERANGE);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(strcpy_s(buf, sizeof buf, ""), 0);
  EXPECT_STREQ(buf, "");

  EXPECT_EQ(strncpy_s(buf, "abcdefgh", 3), 0);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(strncpy_s(buf, "ab", 5), 0);  // src ends first
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(strncpy_s(buf, "abcdefgh", 6), ERANGE);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(strncpy_s(buf, "abcdefgh", 5), 0);
  EXPECT_STREQ(buf, "abcde");
}

TEST(SafeString, BadArguments) {
  char buf[4] = "xyz";
  EXPECT_EQ(strcpy_s(nullptr, 4, "a"), EINVAL);
  EXPECT_EQ(strcpy_s(buf, 0, "a"), EINVAL);
  EXPECT_STREQ(buf, "xyz");  // size 0: nothing written
  EXPECT_EQ(strcpy_s(buf, nullptr), EINVAL);
  EXPECT_STREQ(buf, "");
  std::strcpy(buf, "xyz");
  EXPECT_EQ(strncpy_s(buf, nullptr, 2), EINVAL);
  EXPECT_STREQ(buf, "");
  // The source is never read past what could fit: an unterminated source is safe.
  char raw[8];
  std::memset(raw, 'q', sizeof raw);
  EXPECT_EQ(strncpy_s(buf, raw, 2), 0);
  EXPECT_STREQ(buf, "qq");
  EXPECT_EQ(strcpy_s(buf, sizeof buf, raw), ERANGE);
}

}  // namespace
