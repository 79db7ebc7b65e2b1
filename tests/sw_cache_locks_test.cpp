// Software-cache lock files across real processes: helpers are this binary started again with
// "-jobid <id>" on their command lines, so that their locks are those of running jobs.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KqTestEnv.h"
#include "LockHelpers.h"
#include "PrivateTmp.h"
#include "PortableFiles/PxFile.h"
#include "SwCacheLocks.h"
#include "SwCacheMutex.h"
#include "Unprivileged.h"
#include "Versions/FullVersion.h"

namespace {

// ---- The helper side (runs in the child processes) --------------------------------------

// hold <type> <item>: takes the lock, prints "<result> <lock file>", holds it until its input
// ends, then deletes the lock file.
int HelperHold(int argc, char** argv, long long job) {
  if (argc < 5) return 2;
  std::string lockFile;
  unsigned int rc = getLockOnSwCache(static_cast<QU_LOCKTYPE>(std::atoi(argv[3])), argv[4],
                                     lockFile, static_cast<unsigned long>(job), true, false, false);
  std::printf("%u %s\n", rc, lockFile.c_str());
  std::fflush(stdout);
  kqtest::WaitForEndOfInput();
  if (!lockFile.empty()) CPxFile::Delete(lockFile);
  return 0;
}

// selfcheck <item>: takes a write lock, then tests the item again with and without
// ignoreCurrentProcess; prints both results and whether its lock file survived.
int HelperSelfCheck(int argc, char** argv, long long job) {
  if (argc < 4) return 2;
  std::string lockFile, unused;
  unsigned long j = static_cast<unsigned long>(job);
  unsigned int taken = getLockOnSwCache(QU_WRITE_LOCK, argv[3], lockFile, j, true, false, false);
  unsigned int ignoring = getLockOnSwCache(QU_WRITE_LOCK, argv[3], unused, j, false, true, false);
  bool kept = access(lockFile.c_str(), F_OK) == 0;
  unsigned int plain = getLockOnSwCache(QU_WRITE_LOCK, argv[3], unused, j, false, false, false);
  std::printf("%u %u %d %u\n", taken, ignoring, kept ? 1 : 0, plain);
  std::fflush(stdout);
  CPxFile::Delete(lockFile);
  return 0;
}

// race <item> <rounds> <marker>: takes and releases the write lock <rounds> times; while it
// holds it, it owns <marker> (made with O_EXCL). Exit 0 when it never found the marker taken.
int HelperRace(int argc, char** argv, long long job) {
  if (argc < 6) return 2;
  std::string item = argv[3];
  int rounds = std::atoi(argv[4]);
  std::string marker = argv[5];
  std::mt19937 rng(static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<int> backoff(200, 3000);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  int overlaps = 0;
  for (int r = 0; r < rounds; ++r) {
    std::string lockFile;
    for (;;) {
      unsigned int rc = getLockOnSwCache(QU_WRITE_LOCK, item, lockFile,
                                         static_cast<unsigned long>(job), true, false, false);
      if (rc == kSwCacheLockFree) break;
      if (rc == kSwCacheLockFailed) return 3;
      if (std::chrono::steady_clock::now() > deadline) return 4;
      usleep(static_cast<useconds_t>(backoff(rng)));
    }
    int fd = ::open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
      ++overlaps;
    } else {
      usleep(50);
      ::close(fd);
      ::unlink(marker.c_str());
    }
    CPxFile::Delete(lockFile);
  }
  return overlaps == 0 ? 0 : 1;
}

// mutex <id>: takes the named mutex, prints 1 (or 0), holds it until its input ends.
int HelperMutex(int argc, char** argv) {
  if (argc < 4) return 2;
  long long id = std::atoll(argv[3]);
  FXNamedMutex* m = checkAndCreateMutex(id, 5000);
  std::printf("%d\n", m ? 1 : 0);
  std::fflush(stdout);
  kqtest::WaitForEndOfInput();
  releaseMutex(m, id);
  return 0;
}

int RunHelper(int argc, char** argv) {
  long long job = kqtest::HelperJobId(argc, argv);
  std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "hold") return HelperHold(argc, argv, job);
  if (mode == "selfcheck") return HelperSelfCheck(argc, argv, job);
  if (mode == "race") return HelperRace(argc, argv, job);
  if (mode == "mutex") return HelperMutex(argc, argv);
  return 2;
}

// ---- The tests -------------------------------------------------------------------------------

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

class SwCacheLocksTest : public ::testing::Test {
 protected:
  void SetUp() override { cfg_.set("Base", "dHOME", Home()); }
  std::string Home() const { return cfg_.root() + "/home"; }
  std::string Root(const std::string& item) const {
    return Home() + "/Deployment/SwCacheLocks/" + item;
  }
  // A helper holding a lock; its first output line is "<result> <lock file>".
  std::unique_ptr<kqtest::HelperProcess> Hold(QU_LOCKTYPE type, const std::string& item,
                                              long long job, std::string* lockFile) {
    auto h = std::make_unique<kqtest::HelperProcess>(
        std::vector<std::string>{"hold", std::to_string(type), item}, job);
    std::string line = h->ReadLine();
    EXPECT_EQ(0u, line.find("3 ")) << line;
    if (lockFile) *lockFile = line.size() > 2 ? line.substr(2) : "";
    return h;
  }
  unsigned int Test(QU_LOCKTYPE type, const std::string& item) {
    std::string unused;
    return getLockOnSwCache(type, item, unused, 77, false, false, false);
  }

  kqtest::ScopedConfig cfg_;
};

TEST_F(SwCacheLocksTest, AWriterExcludesReadersAndWriters) {
  std::string lockFile;
  auto writer = Hold(QU_WRITE_LOCK, "Media/SP20", 501, &lockFile);
  EXPECT_EQ(0u, lockFile.find(Root("Media/SP20") + "/WriteLocks/P"));
  EXPECT_EQ("Media/SP20", kqtest::ReadFile(lockFile));

  std::string mine = "untouched";
  EXPECT_EQ(kSwCacheWriteLocked, getLockOnSwCache(QU_READ_LOCK, "Media/SP20", mine, 9, true, false, false));
  EXPECT_EQ(kSwCacheWriteLocked, getLockOnSwCache(QU_WRITE_LOCK, "Media/SP20", mine, 9, true, false, false));
  EXPECT_EQ("untouched", mine);
  EXPECT_FALSE(Exists(Root("Media/SP20") + "/ReadLocks"));
  // Another item is free.
  EXPECT_EQ(kSwCacheLockFree, Test(QU_WRITE_LOCK, "Media/SP21"));

  EXPECT_EQ(0, writer->Finish());  // releases
  EXPECT_FALSE(Exists(lockFile));
  EXPECT_EQ(kSwCacheLockFree, Test(QU_WRITE_LOCK, "Media/SP20"));
}

TEST_F(SwCacheLocksTest, ReadersShareAndBlockWriters) {
  auto reader1 = Hold(QU_READ_LOCK, "Item", 601, nullptr);
  auto reader2 = Hold(QU_READ_LOCK, "Item", 602, nullptr);
  EXPECT_EQ(kSwCacheLockFree, Test(QU_READ_LOCK, "Item"));
  EXPECT_EQ(kSwCacheReadLocked, Test(QU_WRITE_LOCK, "Item"));
  // With both kinds live, readers are reported first.
  auto writer = std::make_unique<kqtest::HelperProcess>(
      std::vector<std::string>{"hold", "2", "Item"}, 603);
  EXPECT_EQ("1 ", writer->ReadLine());  // the helper's own write request sees the readers
  EXPECT_EQ(0, writer->Finish());
  EXPECT_EQ(0, reader1->Finish());
  EXPECT_EQ(kSwCacheReadLocked, Test(QU_WRITE_LOCK, "Item"));
  EXPECT_EQ(0, reader2->Finish());
  EXPECT_EQ(kSwCacheLockFree, Test(QU_WRITE_LOCK, "Item"));
}

TEST_F(SwCacheLocksTest, FiftyProcessesNeverHoldTheWriteLockTogether) {
  const int kProcesses = 50;
  const int kRounds = 200;
  std::string marker = cfg_.root() + "/holder.marker";
  std::vector<std::unique_ptr<kqtest::HelperProcess>> racers;
  for (int i = 0; i < kProcesses; ++i) {
    racers.push_back(std::make_unique<kqtest::HelperProcess>(
        std::vector<std::string>{"race", "Race/Item", std::to_string(kRounds), marker}, 7000 + i));
  }
  int failures = 0;
  for (auto& r : racers) {
    int status = r->Finish();
    if (status != 0) {
      ++failures;
      ADD_FAILURE() << "racer exited with " << status << " (1: two holders at once)";
    }
  }
  EXPECT_EQ(0, failures);
  EXPECT_FALSE(Exists(marker));
}

TEST_F(SwCacheLocksTest, AKilledHoldersLockIsPurgedByTheNextScan) {
  std::string lockFile;
  auto holder = Hold(QU_WRITE_LOCK, "Killed", 801, &lockFile);
  EXPECT_EQ(kSwCacheWriteLocked, Test(QU_READ_LOCK, "Killed"));
  holder->Kill();
  ASSERT_TRUE(Exists(lockFile));
  EXPECT_EQ(kSwCacheLockFree, Test(QU_READ_LOCK, "Killed"));  // a pure test purges too
  EXPECT_FALSE(Exists(lockFile));
  EXPECT_FALSE(Exists(Root("Killed") + "/ReadLocks"));  // and creates nothing
}

TEST_F(SwCacheLocksTest, ALiveLockHoldsWhenTheClockSteps) {
  std::string lockFile;
  auto holder = Hold(QU_WRITE_LOCK, "Clock", 901, &lockFile);
  // The file's time moves as a stepped wall clock (NTP, date, a resumed machine) moves it.
  for (long long step : {86400LL, -86400LL}) {
    SCOPED_TRACE(step);
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += step;
    times[1] = times[0];
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, lockFile.c_str(), times, 0));
    EXPECT_EQ(kSwCacheWriteLocked, Test(QU_WRITE_LOCK, "Clock"));
    EXPECT_TRUE(Exists(lockFile));
  }
  EXPECT_EQ(0, holder->Finish());
}

TEST_F(SwCacheLocksTest, AHolderThatCannotBeLookedAtKeepsItsLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces";
  std::string lockFile;
  auto holder = Hold(QU_WRITE_LOCK, "Hidden", 951, &lockFile);
  auto test = [this] { return static_cast<int>(Test(QU_READ_LOCK, "Hidden")); };

  // /proc empty: the holder exists (kill says so) but nothing about it can be read.
  int rc = kqtest::RunInOwnMounts(
      [] { return ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0; }, test);
  if (rc == kqtest::kOwnMountsUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(static_cast<int>(kSwCacheWriteLocked), rc);
  EXPECT_TRUE(Exists(lockFile));

  // Another user on a hidepid mount: kill says EPERM, /proc shows nothing of root's processes.
  kqtest::GiveTreeToUnprivileged(Home());
  rc = kqtest::RunInOwnMounts(
      [] { return ::mount("proc", "/proc", "proc", 0, "hidepid=2") == 0; },
      [&] { return kqtest::RunUnprivileged(test); });
  EXPECT_EQ(static_cast<int>(kSwCacheWriteLocked), rc);
  EXPECT_TRUE(Exists(lockFile));
  EXPECT_EQ(0, holder->Finish());
}

TEST_F(SwCacheLocksTest, AnUnreadableLockFolderIsAFailure) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder another user cannot read";
  std::string folder = Root("Closed") + "/WriteLocks";
  kqtest::WriteFile(folder + "/P1_J5.lock", "Closed");
  kqtest::GiveTreeToUnprivileged(Home());
  ASSERT_EQ(0, ::chown(folder.c_str(), 0, 0));
  ASSERT_EQ(0, ::chmod(folder.c_str(), 0711));  // searchable, not listable
  int rc = kqtest::RunUnprivileged([this] { return static_cast<int>(Test(QU_READ_LOCK, "Closed")); });
  EXPECT_EQ(static_cast<int>(kSwCacheLockFailed), rc);
}

// A test is answered from the walk from "/" alone: free only where a real folder lacks the next
// level. A level that leads nowhere, one others may write, or a tree the caller cannot reach
// (root's 0700 lock folder, tested by another user while root holds a write lock) fails (4).
TEST_F(SwCacheLocksTest, ATestThatCannotLookIsAFailureNeverFree) {
  std::string lockFile;
  ASSERT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_WRITE_LOCK, "Held", lockFile, 5, true, false, false));
  ASSERT_EQ(0, ::symlink((cfg_.root() + "/unmounted/share").c_str(), Root("Gone").c_str()));
  ASSERT_EQ(0, ::mkdir(Root("Open").c_str(), 0755) | ::chmod(Root("Open").c_str(), 0775));
  EXPECT_EQ(kSwCacheLockFree, Test(QU_WRITE_LOCK, "Never/Taken"));
  EXPECT_FALSE(Exists(Root("Never")));
  EXPECT_EQ(kSwCacheLockFailed, Test(QU_READ_LOCK, "Gone"));
  EXPECT_EQ(kSwCacheLockFailed, Test(QU_READ_LOCK, "Open/Sub"));
  EXPECT_FALSE(Exists(cfg_.root() + "/unmounted") || Exists(Root("Open/Sub")));
  const std::string log = kqtest::ReadFile(cfg_.logFile());
  for (const std::string& said :
       {"Refusing the lock folder: folder [" + Root("Gone") + "] is a symbolic link",
        "Refusing the lock folder [" + Root("Open/Sub") + "]: folder [" + Root("Open") +
            "] is writable by other users"})
    EXPECT_NE(std::string::npos, log.find(said)) << log;
  if (geteuid() != 0) return;
  // Another user may read the store and pass through the test's folder, not the lock folder.
  ASSERT_EQ(0, ::chmod(cfg_.root().c_str(), 0711) | ::chmod(cfg_.configPath().c_str(), 0644));
  EXPECT_EQ(static_cast<int>(kSwCacheLockFailed), kqtest::RunUnprivileged([this] {
              return static_cast<int>(Test(QU_WRITE_LOCK, "Held"));
            }));
  ::unlink(lockFile.c_str());
}

TEST_F(SwCacheLocksTest, AStuckGuardHolderDelaysTakersOnlySoLong) {
  std::string lockFile;
  ASSERT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_WRITE_LOCK, "Stuck", lockFile, 5, true, false, false));
  int fd = ::open((Root("Stuck") + "/Locks.guard").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::flock(fd, LOCK_EX));  // another open file: conflicts as another process would
  SetSwCacheLockGuardWait(300);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kSwCacheLockFailed, Test(QU_READ_LOCK, "Stuck"));
  auto waited = std::chrono::steady_clock::now() - start;
  SetSwCacheLockGuardWait(-1);
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(30));
  ::close(fd);
  EXPECT_EQ(kSwCacheLockFree, Test(QU_READ_LOCK, "Other"));
}

TEST_F(SwCacheLocksTest, LinksInTheLockTreeAreNeverWrittenThrough) {
  std::string victim = cfg_.root() + "/victim.txt";
  kqtest::WriteFile(victim, "keep");
  // Our own lock file's name, put there as a link by someone else.
  std::string own = Root("Linked") + "/ReadLocks/P" + std::to_string(getpid()) + "_J5.lock";
  kqtest::WriteFile(Root("Linked") + "/ReadLocks/placeholder", "");
  ASSERT_EQ(0, ::unlink((Root("Linked") + "/ReadLocks/placeholder").c_str()));
  ASSERT_EQ(0, ::symlink(victim.c_str(), own.c_str()));
  std::string lockFile;
  EXPECT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_READ_LOCK, "Linked", lockFile, 5, true, false, false));
  EXPECT_EQ(own, lockFile);
  EXPECT_EQ("Linked", kqtest::ReadFile(own));
  EXPECT_EQ("keep", kqtest::ReadFile(victim));

  // A guard file that is a link makes the request fail, and the link's target stays as it was.
  std::string outside = cfg_.root() + "/outside.guard";
  kqtest::WriteFile(Root("Guarded") + "/x", "");
  ASSERT_EQ(0, ::symlink(outside.c_str(), (Root("Guarded") + "/Locks.guard").c_str()));
  EXPECT_EQ(kSwCacheLockFailed, getLockOnSwCache(QU_WRITE_LOCK, "Guarded", lockFile, 5, true, false, false));
  EXPECT_FALSE(Exists(outside));
  // A lock folder that is a link is not scanned (its target's files are not purged).
  std::string elsewhere = cfg_.root() + "/elsewhere";
  kqtest::WriteFile(elsewhere + "/garbage.lock", "x");
  kqtest::WriteFile(Root("Folded") + "/x", "");
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (Root("Folded") + "/WriteLocks").c_str()));
  EXPECT_EQ(kSwCacheLockFailed, Test(QU_READ_LOCK, "Folded"));
  EXPECT_TRUE(Exists(elsewhere + "/garbage.lock"));
}

// Lock trees another user (65534, in a private /tmp) can change are neither written nor cleaned:
// their install folder, root's one open to all, an item folder open to a group, and an item
// folder of theirs whose WriteLocks they keep swapping with their link to a root-only folder.
TEST_F(SwCacheLocksTest, AnotherUsersLockTreeIsNeitherWrittenNorCleaned) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const int rc = kqtest::RunWithPrivateTmp(cfg_.root(), [this] {
    std::string lockFile;
    int failed = 0;
    if (kqtest::RunUnprivileged([] { return ::mkdir("/tmp/theirs", 0755); }) != 0 ||
        ::mkdir("/tmp/open", 0777) != 0 || ::chmod("/tmp/open", 0777) != 0)
      return 100;
    for (const char* home : {"/tmp/theirs", "/tmp/open"}) {
      cfg_.set("Base", "dHOME", home);
      if (getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, true, false, false) !=
              kSwCacheLockFailed ||
          !kqtest::TreeManifest(home).empty())
        failed |= 1;
    }
    cfg_.set("Base", "dHOME", "/tmp/home");
    const std::string locks = "/tmp/home/Deployment/SwCacheLocks", item = locks + "/Item";
    kqtest::WriteFile("/tmp/rootonly/victim", "root's");
    kqtest::WriteFile(item + "/WriteLocks/x", "");
    kqtest::WriteFile(locks + "/Open/x", "");
    if (::chmod("/tmp/rootonly", 0700) != 0 || ::unlink((item + "/WriteLocks/x").c_str()) != 0 ||
        ::unlink((locks + "/Open/x").c_str()) != 0 || ::chmod((locks + "/Open").c_str(), 0775) != 0)
      return 101;
    if (getLockOnSwCache(QU_WRITE_LOCK, "Open", lockFile, 5, true, false, false) != kSwCacheLockFailed ||
        !kqtest::TreeManifest(locks + "/Open").empty())
      failed |= 1;
    kqtest::GiveTreeToUnprivileged(item);
    if (kqtest::RunUnprivileged([&] { return ::symlink("/tmp/rootonly", (item + "/Flip").c_str()); }) != 0)
      return 102;
    const pid_t flipper = ::fork();
    if (flipper == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(1);
      for (;;) ::renameat2(AT_FDCWD, (item + "/WriteLocks").c_str(), AT_FDCWD,
                           (item + "/Flip").c_str(), RENAME_EXCHANGE);
    }
    int check = 0;
    while (++check <= 2000 && Exists("/tmp/rootonly/victim")) {
      getLockOnSwCache(QU_READ_LOCK, "Item", lockFile, 5, false, false, false);
      checkForValidLocks(item + "/WriteLocks", false);
    }
    ::kill(flipper, SIGKILL);
    ::waitpid(flipper, nullptr, 0);
    return Exists("/tmp/rootonly/victim") ? failed : failed | 2;
  });
  if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(0, rc) << "1: their tree written, 2: the root-only folder cleaned";
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile())
                                   .find("Refusing the lock folder [/tmp/theirs/Deployment/SwCacheLocks/Item]"));
}

TEST_F(SwCacheLocksTest, MalformedDeadAndJoblessEntriesAreStale) {
  std::string folder = Root("Stale") + "/WriteLocks";
  pid_t self = getpid();
  std::vector<std::string> names = {
      "garbage.lock", "Pnounderscore.lock", "Pabc_J5.lock", "P0_J5.lock", "P-5_J5.lock",
      "P12x_J5.lock", "P99999999999_J5.lock", "P" + std::to_string(self) + "_J0.lock",
      "P" + std::to_string(self) + "_X5.lock", "P" + std::to_string(self) + "_J12345.lock",
      "P2147483646_J5.lock"};
  for (const std::string& n : names) kqtest::WriteFile(folder + "/" + n, "");  // 0 bytes each
  // This process runs no job 12345, and has no "-jobid" on its command line.
  EXPECT_EQ(kSwCacheLockFree, Test(QU_READ_LOCK, "Stale"));
  for (const std::string& n : names) EXPECT_FALSE(Exists(folder + "/" + n)) << n;
}

TEST_F(SwCacheLocksTest, IgnoreCurrentProcess) {
  kqtest::HelperProcess h({"selfcheck", "Self"}, 1001);
  // taken, test with ignoreCurrentProcess, lock file kept, test without it.
  EXPECT_EQ("3 3 1 2", h.ReadLine());
  EXPECT_EQ(0, h.Finish());
}

TEST_F(SwCacheLocksTest, RequestsThatAreRefused) {
  std::string lockFile = "untouched";
  EXPECT_EQ(kSwCacheLockFailed, getLockOnSwCache(static_cast<QU_LOCKTYPE>(3), "Item", lockFile, 5, true, false, false));
  EXPECT_EQ(kSwCacheLockFailed, getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 0, true, false, false));
  for (const char* item : {"../escape", "a/../../b", "/abs", "", "..", ".", "a/./b", "A/WriteLocks",
                           "A/ReadLocks/B", "A/Locks.guard"}) {
    SCOPED_TRACE(item);
    EXPECT_EQ(kSwCacheLockFailed, getLockOnSwCache(QU_WRITE_LOCK, item, lockFile, 5, true, false, false));
  }
  EXPECT_EQ("untouched", lockFile);
  EXPECT_FALSE(Exists(Home()));

  kqtest::ScopedConfig noInstallFolder;
  EXPECT_EQ(kSwCacheLockFailed, getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, true, false, false));
}

TEST_F(SwCacheLocksTest, StagingAndPureTestsTouchNothing) {
  std::string lockFile = "untouched";
  EXPECT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, true, false, true));
  EXPECT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, false, false, false));
  EXPECT_EQ("untouched", lockFile);
  EXPECT_FALSE(Exists(Home()));
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find("Staging cache is no longer supported"));
}

TEST_F(SwCacheLocksTest, VersionAndOperatingSystemLevels) {
  FullVersion v;
  ASSERT_TRUE(v.set_formatted_str(FullVersion::kFormatSide, "V11B80_SP20_4711_R3_CU2"));
  std::string lockFile;
  ASSERT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_READ_LOCK, "Media", lockFile, &v, 16, 5, true, false));
  EXPECT_EQ(Root("Media/V11B80_SP20_4711_R3_CU2/linux-x8664/ReadLocks/P") + std::to_string(getpid()) + "_J5.lock", lockFile);
  EXPECT_EQ("Media", kqtest::ReadFile(lockFile));
  ASSERT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_READ_LOCK, "Media", lockFile, &v, 35, 5, true, false));
  EXPECT_EQ(Root("Media/V11B80_SP20_4711_R3_CU2/ReadLocks/P") + std::to_string(getpid()) + "_J5.lock", lockFile);
  ASSERT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_READ_LOCK, "Media", lockFile, nullptr, 16, 5, true, false));
  EXPECT_EQ(Root("Media/ReadLocks/P") + std::to_string(getpid()) + "_J5.lock", lockFile);
}

TEST_F(SwCacheLocksTest, ScanStopsAtTheFirstLiveLock) {
  std::string liveFile;
  auto holder = Hold(QU_WRITE_LOCK, "Order", 1101, &liveFile);
  std::string folder = Root("Order") + "/WriteLocks";
  kqtest::WriteFile(folder + "/A_stale_before.lock", "x");  // sorts before "P..."
  kqtest::WriteFile(folder + "/Z_stale_after.lock", "x");   // sorts after
  EXPECT_TRUE(checkForValidLocks(folder, false));
  EXPECT_FALSE(Exists(folder + "/A_stale_before.lock"));
  EXPECT_TRUE(Exists(folder + "/Z_stale_after.lock"));
  EXPECT_TRUE(Exists(liveFile));
  EXPECT_FALSE(checkForValidLocks(cfg_.root() + "/missing", false));
  EXPECT_EQ(0, holder->Finish());
}

class SwCacheMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { cfg_.set("NamedMutex", "dLockFolder", cfg_.root() + "/mutex"); }
  kqtest::ScopedConfig cfg_;
};

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

TEST_F(SwCacheMutexTest, AShorterWaitIsHonouredAndAKilledHolderFreesTheMutex) {
  kqtest::HelperProcess holder({"mutex", "4242"}, 1201);
  ASSERT_EQ("1", holder.ReadLine());

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, checkAndCreateMutex(4242, 300));
  long long waited = ElapsedMs(start);
  EXPECT_GE(waited, 300);
  EXPECT_LT(waited, kSwCacheMutexWaitMs / 2);  // not the full two minutes
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find("failed to obtain the mutex on 4242_lock."));

  holder.Kill();  // the kernel frees the flock of the dead holder
  FXNamedMutex* m = checkAndCreateMutex(4242, 3000);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("4242_lock", m->GetName());
  EXPECT_TRUE(releaseMutex(m, 4242));

  // Released properly, the next taker gets it at once too.
  kqtest::HelperProcess again({"mutex", "4242"}, 1202);
  EXPECT_EQ("1", again.ReadLine());
  EXPECT_EQ(0, again.Finish());
  m = checkAndCreateMutex(4242, 0);
  ASSERT_NE(nullptr, m);
  releaseMutex(m, 4242);
}

TEST_F(SwCacheMutexTest, OwnerIsRecordedUntilTheLastHoldEnds) {
  FXNamedMutex m("-7_lock");
  EXPECT_EQ(0u, m.GetLockOwner());
  ASSERT_TRUE(m.Lock());
  EXPECT_NE(0u, m.GetLockOwner());
  ASSERT_TRUE(m.TryLock());  // a second hold of the same thread
  m.Unlock();
  EXPECT_NE(0u, m.GetLockOwner());
  m.Unlock();
  EXPECT_EQ(0u, m.GetLockOwner());
  ASSERT_TRUE(m.TryLock(CTimeInterval::FromMilliseconds(10)));
  m.Unlock();

  FXNamedMutex* held = checkAndCreateMutex(-7, 0);
  ASSERT_NE(nullptr, held);
  EXPECT_EQ("-7_lock", held->GetName());
  EXPECT_FALSE(m.TryLock());  // two objects of one name exclude each other
  releaseMutex(held, -7);
}

TEST(CTimeIntervalTest, MillisecondsTruncateTowardZero) {
  EXPECT_EQ(120000, CTimeInterval::FromMilliseconds(120000).AsMilliseconds());
  EXPECT_EQ(1, CTimeInterval(19999).AsMilliseconds());
  EXPECT_EQ(-1, CTimeInterval(-19999).AsMilliseconds());
  EXPECT_EQ(0, CTimeInterval(9999).AsMilliseconds());
}

TEST_F(SwCacheMutexTest, ReleasingNothingIsFine) {
  EXPECT_TRUE(releaseMutex(nullptr, 5));
  EXPECT_EQ(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find("releaseMutex"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--kq-lock-helper") == 0) return RunHelper(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
