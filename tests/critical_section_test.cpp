// The re-entrant critical section and its scoped lock, across real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <type_traits>

#include "Concurrency/KqCriticalSectionH.h"
#include "KqCriticalSection.h"
#include "KqTestEnv.h"

namespace {

static_assert(!std::is_copy_constructible<KqCriticalSection>::value, "section is not copyable");
static_assert(!std::is_copy_assignable<KqCriticalSection>::value, "section is not assignable");
static_assert(!std::is_copy_constructible<KqCriticalSectionLock>::value, "lock is not copyable");
static_assert(!std::is_copy_assignable<KqCriticalSectionLock>::value, "lock is not assignable");

// Polls until the flag is set or about five seconds passed.
bool EventuallyTrue(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return flag.load();
}

TEST(CriticalSection, NestedLocksInOneThreadDoNotBlock) {
  KqCriticalSection cs;
  {
    KqCriticalSectionLock outer(&cs);
    {
      KqCriticalSectionLock inner(&cs);
      KqCriticalSectionLock innermost(&cs);
    }
    EXPECT_TRUE(cs.enter(false));  // still ours
    EXPECT_TRUE(cs.leave());
  }
  // Left as often as entered: another thread gets it at once.
  bool other = false;
  std::thread t([&] {
    other = cs.enter(false);
    if (other) cs.leave();
  });
  t.join();
  EXPECT_TRUE(other);
}

TEST(CriticalSection, SecondThreadWaitsUntilTheHolderLeftAsOftenAsItEntered) {
  KqCriticalSection cs;
  cs.enter(true);
  cs.enter(true);
  std::atomic<bool> tried{false}, acquired{false};
  bool tryResult = true;
  std::thread t([&] {
    tryResult = cs.enter(false);
    tried = true;
    KqCriticalSectionLock lock(&cs);
    acquired = true;
  });
  ASSERT_TRUE(EventuallyTrue(tried));
  EXPECT_FALSE(tryResult);
  cs.leave();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());  // one hold is left
  cs.leave();
  EXPECT_TRUE(EventuallyTrue(acquired));
  t.join();
}

TEST(CriticalSection, LockMadeWithNullDoesNothing) {
  KqCriticalSectionLock lock(nullptr);
  SUCCEED();
}

TEST(CriticalSection, LeaveByAThreadThatDoesNotHoldItIsRefused) {
  kqtest::ScopedConfig cfg;
  KqCriticalSectionH cs;
  ASSERT_TRUE(cs.isValid());
  EXPECT_FALSE(cs.leave());  // nobody holds it
  ASSERT_TRUE(cs.enter(true));
  bool leftByOther = true;
  std::thread t([&] { leftByOther = cs.leave(); });
  t.join();
  EXPECT_FALSE(leftByOther);
  // The holder's hold survived the stranger's attempt.
  bool takenByOther = true;
  std::thread t2([&] { takenByOther = cs.enter(false); });
  t2.join();
  EXPECT_FALSE(takenByOther);
  EXPECT_TRUE(cs.leave());
  EXPECT_NE(kqtest::ReadFile(cfg.logFile()).find("Leaving the critical section failed"),
            std::string::npos);
}

}  // namespace
