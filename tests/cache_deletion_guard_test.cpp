// The deletion guard: refusals of folders, names and media folders from requests, and the
// empty-folder pruning, on real trees beside a sentinel folder that must survive untouched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CacheDeletionGuard.h"
#include "PortableFiles/SafePath.h"
#include "Jail.h"
#include "KqTestEnv.h"

namespace {

bool Exists(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0;
}

TEST(CacheDeletionGuardFolders, RefusesRootRelativeAndDotFolders) {
  std::string why;
  for (const char* bad : {"", "/", "//", "\\", "cache", "./cache", "/cache/../etc", "/cache/./x",
                          "\\cache\\..\\etc", "/cache/.."}) {
    EXPECT_FALSE(CacheDeletionGuard::CheckDeletionFolder(bad, why)) << bad;
  }
  EXPECT_TRUE(CacheDeletionGuard::CheckDeletionFolder("/cache/KQMedia", why));
  EXPECT_TRUE(CacheDeletionGuard::CheckDeletionFolder("/cache/..x/", why));
}

TEST(CacheDeletionGuardFolders, CacheRootMustLieInTheConfiguredCache) {
  kqtest::ScopedConfig config;
  std::string why;
  EXPECT_TRUE(CacheDeletionGuard::CheckCacheRoot("/anywhere", why));  // nothing configured
  config.set("SoftwareCache", "dHOME", "/srv/cache/");
  EXPECT_TRUE(CacheDeletionGuard::CheckCacheRoot("/srv/cache", why));
  EXPECT_TRUE(CacheDeletionGuard::CheckCacheRoot("/srv/cache/sub/", why));
  for (const char* bad : {"/srv/cacheX", "/srv", "/etc", "/srv/cache/../x", "/"}) {
    EXPECT_FALSE(CacheDeletionGuard::CheckCacheRoot(bad, why)) << bad;
  }
}

TEST(CacheDeletionGuardNames, RefusesEscapesAcceptsBackslashNames) {
  std::string why;
  for (const char* bad : {"", ".", "..", "../x", "..\\x", "a/../../x", "/etc/x", "\\etc\\x",
                          "Unix\\..\\..\\x"}) {
    EXPECT_FALSE(CacheDeletionGuard::CheckDeletionName(bad, why)) << bad;
  }
  EXPECT_TRUE(CacheDeletionGuard::CheckDeletionName("Windows\\a.txt", why));
}

TEST(CacheDeletionGuardMedia, OnlyReleaseFeatureReleaseFoldersBelowMedia) {
  std::string rel, why;
  const std::string root = "/c";
  for (const char* bad : {"/c/KQMedia", "/c/KQMedia/", "/c/KQMedia/11.0.0", "/c/KQMedia/a/b/c",
                          "/c/KQMedia/../x/y", "/c/KQMedia/a/..", "/c", "/d/KQMedia/a/b",
                          "/c/KQMediaX/a/b", "c/KQMedia/a/b", "/c/KQMedia//b"}) {
    EXPECT_FALSE(CacheDeletionGuard::CheckMediaFolder(root, bad, rel, why)) << bad;
  }
  EXPECT_FALSE(CacheDeletionGuard::CheckMediaFolder("/", "/KQMedia/a/b", rel, why));
  ASSERT_TRUE(CacheDeletionGuard::CheckMediaFolder("/c/", "/c/KQMedia/11.0.0/SP4_0_R2/", rel, why));
  EXPECT_EQ(rel, "11.0.0/SP4_0_R2");
}

// A cache folder and, beside it, a sentinel tree that links inside the cache point at.
class GuardTree : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = dir_ / "cache";
    sentinel_ = dir_ / "sentinel";
    kqtest::WriteFile(sentinel_ + "/x", "keep");
    kqtest::WriteFile(sentinel_ + "/sub/y", "keep");
    kqtest::WriteFile(cache_ + "/a.txt", "a");
    ASSERT_EQ(0, symlink(sentinel_.c_str(), (cache_ + "/out").c_str()));
    ASSERT_EQ(0, symlink((sentinel_ + "/x").c_str(), (cache_ + "/x-link").c_str()));
  }
  void ExpectSentinelWhole() {
    EXPECT_EQ(kqtest::ReadFile(sentinel_ + "/x"), "keep");
    EXPECT_EQ(kqtest::ReadFile(sentinel_ + "/sub/y"), "keep");
  }
  kqtest::TempDir dir_;
  std::string cache_, sentinel_;
};

TEST_F(GuardTree, HostileNamesTouchNothingOutside) {
  std::string why;
  for (const char* bad : {"../sentinel/x", "..\\sentinel\\x", "a/../../sentinel/x", "", ".",
                          "out/../a.txt"}) {
    EXPECT_FALSE(CacheDeletionGuard::RemoveNameUnder(cache_, bad, why)) << bad;
  }
  EXPECT_FALSE(CacheDeletionGuard::RemoveNameUnder(cache_, sentinel_ + "/x", why));
  // Below a linked folder: refused, the target stays.
  EXPECT_FALSE(CacheDeletionGuard::RemoveNameUnder(cache_, "out/x", why));
  EXPECT_FALSE(CacheDeletionGuard::RemoveNameUnder(cache_, "out\\sub", why));
  // A name that is a link: the link goes, not what it points to.
  EXPECT_TRUE(CacheDeletionGuard::RemoveNameUnder(cache_, "x-link", why)) << why;
  EXPECT_TRUE(CacheDeletionGuard::RemoveNameUnder(cache_, "out", why)) << why;
  EXPECT_FALSE(Exists(cache_ + "/x-link"));
  EXPECT_FALSE(Exists(cache_ + "/out"));
  EXPECT_TRUE(CacheDeletionGuard::RemoveNameUnder(cache_, "a.txt", why));
  EXPECT_TRUE(CacheDeletionGuard::RemoveNameUnder(cache_, "missing\\deeper", why));
  ExpectSentinelWhole();
}

// "/" and a relative folder are refused; tried in a child whose root is a folder of this test.
TEST_F(GuardTree, RootAndRelativeFoldersAreRefused) {
  const std::string jail = dir_ / "jail";
  kqtest::WriteFile(jail + "/tmp/keep.txt", "keep");
  kqtest::WriteFile(jail + "/relative/a.txt", "keep");
  const int jailed = kqtest::RunJailed(jail, [] {
    std::string why;
    return CacheDeletionGuard::RemoveNameUnder("/", "tmp", why) ||
                   CacheDeletionGuard::RemoveNameUnder("relative", "a.txt", why)
               ? 1
               : 0;
  });
  if (jailed == kqtest::kJailUnavailable) GTEST_SKIP() << "the root folder cannot be changed";
  EXPECT_EQ(0, jailed);
  EXPECT_EQ(kqtest::ReadFile(jail + "/tmp/keep.txt"), "keep");
  EXPECT_EQ(kqtest::ReadFile(jail + "/relative/a.txt"), "keep");
}

TEST_F(GuardTree, FoldersBelowARootMayNotPassThroughLinks) {
  std::string why;
  kqtest::WriteFile(cache_ + "/real/deeper/f", "f");
  EXPECT_TRUE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_, why));
  EXPECT_TRUE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_ + "/real/deeper", why));
  EXPECT_TRUE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_ + "/real/missing/more", why));
  EXPECT_FALSE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_ + "/out", why));
  EXPECT_FALSE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_ + "/out/sub", why));
  EXPECT_FALSE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_ + "/a.txt/x", why));
  EXPECT_FALSE(CacheDeletionGuard::CheckFolderBelow(cache_, cache_ + "X/real", why));
  EXPECT_FALSE(CacheDeletionGuard::CheckFolderBelow(cache_, sentinel_, why));
}

TEST_F(GuardTree, CacheRootIsComparedByRealLocationAndNoLinkBelowTheHome) {
  kqtest::ScopedConfig config;
  config.set("SoftwareCache", "dHOME", cache_ + "/");
  kqtest::WriteFile(cache_ + "/real/deeper/f", "f");
  ASSERT_EQ(0, symlink((cache_ + "/real").c_str(), (cache_ + "/inner").c_str()));
  ASSERT_EQ(0, symlink(cache_.c_str(), (dir_ / "alias").c_str()));
  std::string why;
  // The home reached through a link to it, and real folders below it.
  for (const std::string& good : {cache_, cache_ + "/real/deeper", cache_ + "/real/missing/x",
                                   dir_ / "alias", dir_ / "alias/real"})
    EXPECT_TRUE(CacheDeletionGuard::CheckCacheRoot(good, why)) << good << ": " << why;
  // A link below the home (to outside or to inside it), a file, and the outside itself.
  for (const std::string& bad : {cache_ + "/out", cache_ + "/out/sub", dir_ / "alias/out",
                                 cache_ + "/inner", cache_ + "/inner/deeper", cache_ + "/a.txt",
                                 sentinel_, dir_.path(), dir_ / "missing/cache"})
    EXPECT_FALSE(CacheDeletionGuard::CheckCacheRoot(bad, why)) << bad;
  // A root behind a link removes nothing through RemoveNameUnder's walk either.
  EXPECT_FALSE(CacheDeletionGuard::RemoveNameUnder(cache_, "out/sub/y", why));
  ExpectSentinelWhole();
}

// The root is held as the check found it, and folders below it are opened from it: a level
// swapped for a link after the check leads nowhere outside.
TEST_F(GuardTree, HeldRootAndFoldersBelowItNeverPassThroughLinks) {
  kqtest::ScopedConfig config;
  config.set("SoftwareCache", "dHOME", cache_);
  kqtest::WriteFile(cache_ + "/site/root/Updates/f", "f");
  kqtest::WriteFile(sentinel_ + "/root/Updates/f", "keep");
  std::string why;
  const std::string root = cache_ + "/site/root";
  const int fd = CacheDeletionGuard::OpenCacheRoot(root, why);
  ASSERT_GE(fd, 0) << why;
  ASSERT_EQ(0, rename((cache_ + "/site").c_str(), (cache_ + "/moved").c_str()));
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (cache_ + "/site").c_str()));
  EXPECT_EQ(-1, CacheDeletionGuard::OpenCacheRoot(root, why));
  EXPECT_NE(why, "");
  const int updates = kq::OpenFolderUnder(fd, "Updates");
  ASSERT_GE(updates, 0);
  EXPECT_TRUE(CacheDeletionGuard::RemoveNameUnderAt(updates, root + "/Updates", "f", why)) << why;
  EXPECT_FALSE(Exists(cache_ + "/moved/root/Updates/f"));
  EXPECT_EQ(kqtest::ReadFile(sentinel_ + "/root/Updates/f"), "keep");
  EXPECT_TRUE(CacheDeletionGuard::RemoveEmptySubFoldersAt(fd, root, why, nullptr)) << why;
  EXPECT_FALSE(Exists(cache_ + "/moved/root/Updates"));
  EXPECT_TRUE(Exists(sentinel_ + "/root/Updates"));
  close(updates);

  ASSERT_EQ(0, symlink(sentinel_.c_str(), (cache_ + "/moved/root/lnk").c_str()));
  for (const char* bad : {"lnk", "lnk/root", "../x"}) {
    EXPECT_EQ(-1, kq::OpenFolderUnder(fd, bad)) << bad;
    EXPECT_NE(errno, ENOENT) << bad;
  }
  EXPECT_EQ(-1, kq::OpenFolderUnder(fd, "none/x"));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(-1, CacheDeletionGuard::OpenCacheRoot(cache_ + "/none/root", why));
  EXPECT_EQ(why, "");
  EXPECT_TRUE(CacheDeletionGuard::RemoveEmptySubFoldersAt(-1, root, why, nullptr));
  close(fd);
  ExpectSentinelWhole();
}

TEST_F(GuardTree, PruningKeepsZeroByteFilesDotFoldersLinksAndTheFolderItself) {
  ASSERT_EQ(0, mkdir((sentinel_ + "/empty").c_str(), 0755));
  kqtest::WriteFile(cache_ + "/keep/zero", "");
  ASSERT_EQ(0, mkdir((cache_ + "/gone").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/deep").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/deep/er").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/deep/er/est").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/.hidden").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/KQMedia").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/KQMedia/11.0.0").c_str(), 0755));
  ASSERT_EQ(0, symlink((sentinel_ + "/empty").c_str(), (cache_ + "/deep/lnk").c_str()));
  // Content below empty folders: a hidden folder, a fifo, and a folder under an emptied one.
  ASSERT_EQ(0, mkdir((cache_ + "/hid").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/hid/.h").c_str(), 0755));
  ASSERT_EQ(0, mkdir((cache_ + "/pipe").c_str(), 0755));
  ASSERT_EQ(0, mkfifo((cache_ + "/pipe/p").c_str(), 0600));
  kqtest::WriteFile(cache_ + "/mixed/full/f", "");
  ASSERT_EQ(0, mkdir((cache_ + "/mixed/empty").c_str(), 0755));
  const std::string top = dir_ / "only";
  ASSERT_EQ(0, mkdir(top.c_str(), 0755));

  std::string why;
  ASSERT_TRUE(CacheDeletionGuard::RemoveEmptySubFolders(cache_ + "/", why)) << why;
  EXPECT_TRUE(Exists(cache_ + "/keep/zero"));
  EXPECT_FALSE(Exists(cache_ + "/gone"));
  EXPECT_FALSE(Exists(cache_ + "/deep/er"));
  EXPECT_TRUE(Exists(cache_ + "/deep/lnk"));  // a link is an entry: its folder stays
  EXPECT_TRUE(Exists(cache_ + "/.hidden"));
  EXPECT_TRUE(Exists(cache_ + "/hid/.h"));
  EXPECT_TRUE(Exists(cache_ + "/pipe/p"));
  EXPECT_TRUE(Exists(cache_ + "/mixed/full/f"));
  EXPECT_FALSE(Exists(cache_ + "/mixed/empty"));
  EXPECT_TRUE(Exists(cache_ + "/KQMedia"));
  EXPECT_FALSE(Exists(cache_ + "/KQMedia/11.0.0"));
  EXPECT_TRUE(Exists(sentinel_ + "/empty"));
  ASSERT_TRUE(CacheDeletionGuard::RemoveEmptySubFolders(top, why));
  EXPECT_TRUE(Exists(top));
  EXPECT_TRUE(CacheDeletionGuard::RemoveEmptySubFolders(dir_ / "missing", why));
  EXPECT_TRUE(CacheDeletionGuard::RemoveEmptySubFolders(cache_ + "/a.txt", why));
  // A linked folder given as the folder itself is not walked.
  EXPECT_TRUE(CacheDeletionGuard::RemoveEmptySubFolders(cache_ + "/out", why));
  ExpectSentinelWhole();
  EXPECT_TRUE(Exists(sentinel_ + "/empty"));
}

// What a pruning would take whole, told without removing anything, and folders a pruning keeps
// as if they held a file (with every folder above them).
TEST_F(GuardTree, EmptyFolderTreesAreToldAndKeptFoldersStay) {
  for (const char* folder : {"/e/a/b", "/e/c", "/f/a", "/KQMedia/x", "/h/.hidden", "/k/a/b",
                             "/k/c", "/l"})
    ASSERT_TRUE(std::filesystem::create_directories(cache_ + folder)) << folder;
  kqtest::WriteFile(cache_ + "/f/a/zero", "");
  ASSERT_EQ(0, symlink((sentinel_ + "/sub").c_str(), (cache_ + "/l/lnk").c_str()));
  const int fd = open(cache_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(CacheDeletionGuard::IsEmptyFolderTree(fd, "e"));
  EXPECT_TRUE(CacheDeletionGuard::IsEmptyFolderTree(fd, "e/a"));
  EXPECT_TRUE(CacheDeletionGuard::IsEmptyFolderTree(fd, "KQMedia/x"));
  for (const char* kept : {"f", "KQMedia", "h", "l", "out", "a.txt", "none"})
    EXPECT_FALSE(CacheDeletionGuard::IsEmptyFolderTree(fd, kept)) << kept;
  EXPECT_TRUE(Exists(cache_ + "/e/a/b"));

  struct stat st;
  ASSERT_EQ(0, stat((cache_ + "/k/a").c_str(), &st));
  const CacheDeletionGuard::KeptFolders kept = {{st.st_dev, st.st_ino}};
  std::string why;
  ASSERT_TRUE(CacheDeletionGuard::RemoveEmptySubFoldersAt(fd, cache_, why, nullptr, &kept)) << why;
  close(fd);
  EXPECT_TRUE(Exists(cache_ + "/k/a"));
  EXPECT_FALSE(Exists(cache_ + "/k/a/b"));
  EXPECT_FALSE(Exists(cache_ + "/k/c"));
  EXPECT_FALSE(Exists(cache_ + "/e"));
  EXPECT_TRUE(Exists(cache_ + "/f/a/zero"));
  ExpectSentinelWhole();
}

}  // namespace
