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
#include <set>
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

// base/<swapped> ("sub" unless given) is a real folder holding "keep" and, each round,
// <inner>/d/x; base/lnk points at outside, which holds <inner>/d/x and an empty folder
// <inner>/empty. A thread exchanges base/<swapped> and base/lnk without end.
class SwapRace {
 public:
  SwapRace(const std::string& base, const std::string& outside, const std::string& swapped = "sub",
           const std::string& inner = "")
      : base_(base),
        outside_(outside),
        swapped_(swapped),
        inner_(inner.empty() ? "" : inner + "/") {
    kqtest::WriteFile(base_ + "/" + swapped_ + "/keep", "k");
    kqtest::WriteFile(outside_ + "/" + inner_ + "d/x", "precious");
    mkdir((outside_ + "/" + inner_ + "empty").c_str(), 0755);
    real_ = open((base_ + "/" + swapped_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    symlink(outside_.c_str(), (base_ + "/lnk").c_str());
  }
  ~SwapRace() {
    if (real_ >= 0) close(real_);
  }

  // Runs `remove` (of <inner>/d in the real folder) for `rounds` rounds against the swapping
  // thread.
  void Run(int rounds, const std::function<bool()>& remove) {
    std::atomic<bool> stop{false};
    std::thread swapper([&]() {
      const std::string a = base_ + "/" + swapped_, b = base_ + "/lnk";
      while (!stop.load(std::memory_order_relaxed))
        renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    const std::string victim = inner_ + "d";
    for (int i = 0; i < rounds; ++i) {
      for (size_t at = victim.find('/'); at != std::string::npos; at = victim.find('/', at + 1))
        mkdirat(real_, victim.substr(0, at).c_str(), 0755);  // pruned when emptied
      mkdirat(real_, victim.c_str(), 0755);
      const int fd = openat(real_, (victim + "/x").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
      if (remove()) ++removed_;
      struct stat sb;
      if (fstatat(real_, victim.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) ++insideGone_;
      if (!Exists(outside_ + "/" + victim + "/x") || !Exists(outside_ + "/" + inner_ + "empty")) {
        ++outsideDeletions_;
        kqtest::WriteFile(outside_ + "/" + victim + "/x", "precious");
        mkdir((outside_ + "/" + inner_ + "empty").c_str(), 0755);
      }
    }
    stop = true;
    swapper.join();
    struct stat sb;  // the real folder back in its place for whoever comes next
    const std::string a = base_ + "/" + swapped_, b = base_ + "/lnk";
    if (lstat(a.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode))
      renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    std::printf("rounds %d: outside deletions %d, inside removals %d, calls that succeeded %d\n",
                rounds, outsideDeletions_, insideGone_, removed_);
  }

  int outsideDeletions_ = 0, insideGone_ = 0, removed_ = 0;

 private:
  std::string base_, outside_, swapped_, inner_;
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

// A request deleting loose update `name` of release 15, OS 1, from the cache at `root`.
UpdatePatches::CacheOpReq LooseUpdateRequest(const std::string& root, const std::string& name) {
  using namespace UpdatePatches;
  File file;
  file.setstring(File::kName, name);
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
  return req;
}

TEST(DeletionRace, DeletionOnRequestNeverFollowsASwappedFolder) {
  SetOSTypesInfo();
  SetReleasesSupportedOnClient();
  kqtest::ScopedConfig config;
  const std::string home = config.root() + "/home";
  config.set("SoftwareCache", "dHOME", home);
  const std::string root = home + "/site/cache";
  std::string base = root;
  ASSERT_TRUE(FindInstallUpdPathForOS(15, 1, base));
  const std::string below = base.substr(root.size() + 1);  // KQUpdates/<release>/<os>
  const std::string os = below.substr(below.rfind('/') + 1);
  kqtest::WriteFile(base + "/setup.exe", "s");
  KQUpdateCache cache(7, false);

  // Each folder on the way may be swapped: inside the name, the loose-update folder, the
  // operating system's folder, and a level between the configured cache home and the root.
  struct Case {
    std::string base, swapped, inner, name;
  };
  const Case cases[] = {
      {base + "/Updates", "sub", "", "sub/d"},
      {base, "Updates", "", "d"},
      {base.substr(0, base.rfind('/')), os, "Updates", "d"},
      {home, "site", "cache/" + below + "/Updates", "d"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base + "/" + c.swapped);
    SwapRace race(c.base, config.root() + "/outside" + std::to_string(n++), c.swapped, c.inner);
    const UpdatePatches::CacheOpReq req = LooseUpdateRequest(root, c.name);
    race.Run(Rounds(), [&]() { return cache.DeleteLocalCacheContents(req); });
    EXPECT_EQ(0, race.outsideDeletions_);
  }
}

// The files a download replaced are removed from the held cache root: a level between the
// configured cache home and the root swapped for a link never leads the removal outside.
TEST(DeletionRace, ObsoleteMediaFilesNeverFollowASwappedLevelAboveTheRoot) {
  using namespace UpdatePatches;
  kqtest::ScopedConfig config;
  const std::string home = config.root() + "/home";
  config.set("SoftwareCache", "dHOME", home);
  const std::string root = home + "/site/cache";
  SwapRace race(home, config.root() + "/outside", "site", "cache");
  RemClientInfo info;
  info.setstring(RemClientInfo::kCachePath, root);
  AkamaiDownloadInfo download;
  download.setint64(AkamaiDownloadInfo::kDownloadMode, 2);  // files only
  AkamaiDownloadReq req;
  req.setObjectAccessor(AkamaiDownloadReq::kRemClientInfo, info);
  req.setObjectAccessor(AkamaiDownloadReq::kDownload, download);
  KQUpdateCache cache(7, false);
  const std::set<std::string> files{root + "/d/x"};
  const ::FullVersion media(_SPVersion(12, 0, 4, 3));
  race.Run(Rounds(),
           [&]() { return cache.DeleteObsoleteMediaFromCache(files, media, &req) == 0; });
  EXPECT_EQ(0, race.outsideDeletions_);
}

}  // namespace
