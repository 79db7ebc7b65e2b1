// Software-cache locks of jobs that a daemon runs inside its own process: no "-jobid" on its
// command line, only the job table knows the job runs.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KqDbTestEnv.h"
#include "LockHelpers.h"
#include "PortableFiles/PxFile.h"
#include "SwCacheLocks.h"

namespace {

// kqd <item> <job>: names itself "kqd", takes the write lock for the job, prints
// "<result> <lock file>" and holds it until its input ends.
int RunHelper(int argc, char** argv) {
  if (argc < 5 || std::strcmp(argv[2], "kqd") != 0) return 2;
  ::prctl(PR_SET_NAME, "kqd", 0, 0, 0);
  std::string lockFile;
  unsigned int rc = getLockOnSwCache(QU_WRITE_LOCK, argv[3], lockFile,
                                     std::strtoul(argv[4], nullptr, 10), true, false, false);
  std::printf("%u %s\n", rc, lockFile.c_str());
  std::fflush(stdout);
  kqtest::WaitForEndOfInput();
  if (!lockFile.empty()) CPxFile::Delete(lockFile);
  return 0;
}

TEST(SwCacheLocksOfDaemonJobs, AJobInTheJobTableKeepsTheDaemonsLock) {
  kqtest::ScopedDatabase db;
  db.config().set("Base", "dHOME", db.config().root() + "/home");
  kqtest::HelperProcess daemon({"kqd", "Daemon", "4711"}, 0);
  std::string line = daemon.ReadLine();
  ASSERT_EQ(0u, line.find("3 ")) << line;
  std::string lockFile = line.substr(2);

  std::string unused;
  kqtest::Sql("INSERT INTO JMJobInfo (jobId, tessaraId, opType) VALUES (4711, 1, 36)");
  EXPECT_EQ(kSwCacheWriteLocked, getLockOnSwCache(QU_WRITE_LOCK, "Daemon", unused, 9, false, false, false));
  EXPECT_TRUE(access(lockFile.c_str(), F_OK) == 0);

  // The job ended: its row is gone, and the daemon's lock is stale.
  kqtest::Sql("DELETE FROM JMJobInfo WHERE jobId = 4711");
  EXPECT_EQ(kSwCacheLockFree, getLockOnSwCache(QU_WRITE_LOCK, "Daemon", unused, 9, false, false, false));
  EXPECT_FALSE(access(lockFile.c_str(), F_OK) == 0);
  EXPECT_EQ(0, daemon.Finish());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--kq-lock-helper") == 0) return RunHelper(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
