// The tables before their fillers ran. Nothing in this executable fills them,
// so every case sees the empty tables of a freshly loaded library.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CachePaths.h"
#include "Vocabulary.h"

namespace {

TEST(UnfilledTables, LookupsSeeEmptyRows) {
  EXPECT_STREQ(GetOSNameFromId(0), "");
  EXPECT_EQ(GetOSIdFromName(""), 0);
  EXPECT_EQ(GetOSNameFromId(16), nullptr);
  EXPECT_FALSE(isOSShortNameInList("win"));
  EXPECT_STREQ(GetUtypeNameFromId(0), "");
  EXPECT_EQ(GetUtypeNameFromId(1), nullptr);
  EXPECT_EQ(GetRelIdFromIndex(0), 0);
  EXPECT_EQ(GetRelIdFromName(""), 0);
}

TEST(UnfilledTables, BuildersNeverAppendAMissingName) {
  std::string path = "/root";
  EXPECT_FALSE(FindPathForOS(15, 16, 1, path));
  EXPECT_FALSE(FindNewPathForOS(15, 3, 1, path));
  EXPECT_FALSE(FindPathForMainOS(15, 16, path));
  EXPECT_FALSE(FindInstallUpdPathForOS(16, 16, path));
  EXPECT_FALSE(FindSPPathForOS(16, _SPVersion(12), path));
  EXPECT_EQ(path, "/root");
  EXPECT_EQ(GetLooseUpdateFolder(16, 16, false, false), "");
  EXPECT_EQ(GetLooseUpdateFolderNew(16, false), "");
  EXPECT_EQ(GetBinaryPayloadNameForOS(16), "");
}

// The first fill, raced by many threads in a child process (this process stays unfilled): each
// caller returns only once every row is there.
TEST(UnfilledTables, ConcurrentFirstFillersAllSeeTheFullTable) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) {
        }
        SetOSTypesInfo();
        int rows = 0;
        for (int id = 1; id < KQ_NUM_OS_TYPES; ++id) {
          const char* name = GetOSNameFromId(id);
          rows += name != nullptr && *name != '\0' && GetOSIdFromName(name) == id;
        }
        if (rows != KQ_NUM_OS_TYPES - 1 || !isOSShortNameInList("win")) bad.fetch_add(1);
      });
    }
    for (std::thread& th : threads) th.join();
    _exit(bad.load() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "a first filler saw a partial table";
  EXPECT_EQ(GetOSNameFromId(16), nullptr);  // this process was left unfilled
}

}  // namespace
