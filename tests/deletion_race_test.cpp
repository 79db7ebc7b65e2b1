// Removals by name while another thread keeps swapping a folder of the name with a link to a
// folder outside: nothing outside may ever go. Everything lives in the test's own temporary
// folder, the "outside" folder included. KQ_RACE_ROUNDS sets the number of rounds (300 here).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "CacheDeletionGuard.h"
#include "CachePaths.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "PortableFiles/SafePath.h"
#include "Vocabulary.h"

namespace {

int Rounds() {
  const char* given = std::getenv("KQ_RACE_ROUNDS");
  const int n = given != nullptr ? std::atoi(given) : 0;
  return n > 0 ? n : 300;
}

bool Exists(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0;
}

// base/sub is a real folder holding "keep" and, each round, "d/x"; base/lnk points at outside,
// which holds "d/x" and an empty folder. A thread exchanges base/sub and base/lnk without end.
class SwapRace {
 public:
  SwapRace(const std::string& base, const std::string& outside) : base_(base), outside_(outside) {
    kqtest::WriteFile(base_ + "/sub/keep", "k");
    kqtest::WriteFile(outside_ + "/d/x", "precious");
    mkdir((outside_ + "/empty").c_str(), 0755);
    real_ = open((base_ + "/sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    symlink(outside_.c_str(), (base_ + "/lnk").c_str());
  }
  ~SwapRace() {
    if (real_ >= 0) close(real_);
  }

  // Runs `remove` (of "sub/d" below base) for `rounds` rounds against the swapping thread.
  void Run(int rounds, const std::function<bool()>& remove) {
    std::atomic<bool> stop{false};
    std::thread swapper([&]() {
      const std::string a = base_ + "/sub", b = base_ + "/lnk";
      while (!stop.load(std::memory_order_relaxed))
        renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    for (int i = 0; i < rounds; ++i) {
      mkdirat(real_, "d", 0755);
      const int fd = openat(real_, "d/x", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
      if (remove()) ++removed_;
      struct stat sb;
      if (fstatat(real_, "d", &sb, AT_SYMLINK_NOFOLLOW) != 0) ++insideGone_;
      if (!Exists(outside_ + "/d/x") || !Exists(outside_ + "/empty")) {
        ++outsideDeletions_;
        kqtest::WriteFile(outside_ + "/d/x", "precious");
        mkdir((outside_ + "/empty").c_str(), 0755);
      }
    }
    stop = true;
    swapper.join();
    std::printf("rounds %d: outside deletions %d, inside removals %d, calls that succeeded %d\n",
                rounds, outsideDeletions_, insideGone_, removed_);
  }

  int outsideDeletions_ = 0, insideGone_ = 0, removed_ = 0;

 private:
  std::string base_, outside_;
  int real_ = -1;
};

TEST(DeletionRace, RemoveUnderNeverFollowsASwappedFolder) {
  kqtest::TempDir dir;
  SwapRace race(dir / "base", dir / "outside");
  std::string err;
  race.Run(Rounds(), [&]() { return kq::RemoveUnder(dir / "base", "sub/d", &err); });
  EXPECT_EQ(0, race.outsideDeletions_);
}

TEST(DeletionRace, RemoveNameUnderNeverFollowsASwappedFolder) {
  kqtest::TempDir dir;
  SwapRace race(dir / "base", dir / "outside");
  std::string why;
  race.Run(Rounds(),
           [&]() { return CacheDeletionGuard::RemoveNameUnder(dir / "base", "sub\\d", why); });
  EXPECT_EQ(0, race.outsideDeletions_);
}

TEST(DeletionRace, DeletionOnRequestNeverFollowsASwappedFolder) {
  using namespace UpdatePatches;
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  kqtest::ScopedConfig config;
  const std::string root = config.root() + "/cache";
  std::string base = root;
  ASSERT_TRUE(FindInstallUpdPathForOS(15, 1, base));
  kqtest::WriteFile(base + "/setup.exe", "s");
  SwapRace race(base + "/Updates", config.root() + "/outside");

  File file;
  file.setstring(File::kName, "sub/d");
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, 1);
  os.setlistobject(FilesForOS::kLooseUpdateFiles, std::vector<CNMessageBase>{file});
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, 15);
  rel.setlistobject(FilesForRel::kOSList, std::vector<CNMessageBase>{os});
  RemClientInfo info;
  info.setstring(RemClientInfo::kCachePath, root);
  CacheOpReq req;
  req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
  req.setlistobject(CacheOpReq::kReleases, std::vector<CNMessageBase>{rel});
  KQUpdateCache cache(7, false);
  race.Run(Rounds(), [&]() { return cache.DeleteLocalCacheContents(req); });
  EXPECT_EQ(0, race.outsideDeletions_);
}

}  // namespace
