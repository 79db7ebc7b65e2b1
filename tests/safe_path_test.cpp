// Path safety and no-follow removal on real temporary trees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <thread>

#include "Jail.h"
#include "KqTestEnv.h"
#include "Unprivileged.h"
#include "PortableFiles/SafePath.h"

namespace {

bool Exists(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0;
}

TEST(SafeName, AcceptsPlainRelativeNames) {
  for (const char* ok : {"a.txt", "SP1_2_R3/Config", "a//b", "..a", "a..", "x/...", "dir/"}) {
    EXPECT_TRUE(kq::IsSafeRelativeName(ok)) << ok;
  }
}

TEST(SafeName, RefusesEscapesAndNamesOfTheFolderItself) {
  for (const char* bad : {"", "/etc/passwd", "\\\\server\\share", "..", "../x", "a/../b", "a/..",
                          "a\\..\\b", "..\\x", ".", "./", "./.", "//",
                          // "." components: "link/." is the link's target, not the link
                          "./x", "a/./b", "a/.", "a\\.\\b"}) {
    EXPECT_FALSE(kq::IsSafeRelativeName(bad)) << bad;
  }
  EXPECT_FALSE(kq::IsSafeRelativeName(std::string("a\0b", 3)));
}

TEST(SafeName, RefusesControlCharactersAndDriveLetters) {
  for (const char* bad : {"\nKB1.exe", "KB1.exe\r", "a\tb", "sub/\x1b[2Jx", "a\x7f",
                          "C:\\Windows\\x", "c:x", "Z:/x", "C:"}) {
    EXPECT_FALSE(kq::IsSafeRelativeName(bad)) << bad;
  }
  // A colon after anything but a lone letter, spaces and bytes above 0x7f are plain names.
  for (const char* ok : {"ab:c", "1:x", "sub/C:x", " KB1.exe", "caf\xc3\xa9.txt"}) {
    EXPECT_TRUE(kq::IsSafeRelativeName(ok)) << ok;
  }
  // Every byte value at every place of a long name (the check reads names eight bytes at once):
  // the controls are refused wherever they stand, every other byte is a plain name byte.
  const std::string plain = "Updates/SP1/KB0000001/some-file.name.dll";
  for (int byte = 1; byte < 256; ++byte) {
    const bool control = byte < 0x20 || byte == 0x7f;
    if (byte == '/' || byte == '\\' || byte == '.' || byte == ':') continue;
    for (size_t at = 1; at < plain.size(); ++at) {
      std::string name = plain;
      name[at] = static_cast<char>(byte);
      EXPECT_EQ(!control, kq::IsSafeRelativeName(name)) << "byte " << byte << " at " << at;
    }
  }
}

TEST(SafeName, JoinUnderRefusesUnsafeNamesAndLeavesOutputAlone) {
  std::string out = "untouched";
  EXPECT_FALSE(kq::JoinUnder("/cache", "../etc", out));
  EXPECT_FALSE(kq::JoinUnder("", "a", out));
  EXPECT_EQ(out, "untouched");
  ASSERT_TRUE(kq::JoinUnder("/cache", "a/b", out));
  EXPECT_EQ(out, "/cache/a/b");
  ASSERT_TRUE(kq::JoinUnder("/cache/", "a", out));
  EXPECT_EQ(out, "/cache/a");
}

// A tree with links pointing outside it: removal takes the links, never their targets.
class RemoveTree : public ::testing::Test {
 protected:
  void SetUp() override {
    outside_ = dir_ / "outside";
    tree_ = dir_ / "tree";
    kqtest::WriteFile(outside_ + "/keep.txt", "precious");
    kqtest::WriteFile(tree_ + "/a/file.txt", "x");
    kqtest::WriteFile(tree_ + "/b.txt", "y");
    ASSERT_EQ(0, symlink(outside_.c_str(), (tree_ + "/a/link-to-dir").c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/keep.txt").c_str(), (tree_ + "/link-to-file").c_str()));
    ASSERT_EQ(0, symlink("/nonexistent/target", (tree_ + "/dangling").c_str()));
  }
  kqtest::TempDir dir_;
  std::string outside_, tree_;
};

TEST_F(RemoveTree, RemovesLinksAsLinksAndTargetsSurvive) {
  std::string err = "stale";
  ASSERT_TRUE(kq::RemoveTreeNoFollow(tree_, &err)) << err;
  EXPECT_EQ(err, "");
  EXPECT_FALSE(Exists(tree_));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
}

TEST_F(RemoveTree, TrailingSlashOnALinkRemovesTheLinkOnly) {
  const std::string link = dir_ / "top-link";
  ASSERT_EQ(0, symlink(outside_.c_str(), link.c_str()));
  ASSERT_TRUE(kq::RemoveTreeNoFollow(link + "/", nullptr));
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
}

TEST_F(RemoveTree, ContentsOnlyKeepsTheFolder) {
  ASSERT_TRUE(kq::RemoveContentsNoFollow(tree_, nullptr));
  EXPECT_TRUE(Exists(tree_));
  EXPECT_FALSE(Exists(tree_ + "/a"));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
  EXPECT_FALSE(kq::RemoveContentsNoFollow(tree_ + "/missing", nullptr));
}

TEST_F(RemoveTree, MissingPathCountsAsRemovedAndRootIsRefused) {
  EXPECT_TRUE(kq::RemoveTreeNoFollow(dir_ / "never-was", nullptr));
  EXPECT_TRUE(kq::RemoveFileNoFollow(dir_ / "never-was", nullptr));
  std::string err;
  EXPECT_FALSE(kq::RemoveTreeNoFollow("", &err));
  // "/" in a child whose root is a folder of this test.
  const std::string jail = dir_ / "jail";
  kqtest::WriteFile(jail + "/keep.txt", "keep");
  const int jailed = kqtest::RunJailed(jail, [] {
    std::string why;
    return kq::RemoveTreeNoFollow("/", &why) || kq::RemoveContentsNoFollow("/", &why) ? 1 : 0;
  });
  if (jailed != kqtest::kJailUnavailable) {
    EXPECT_EQ(0, jailed);
  }
  EXPECT_EQ(kqtest::ReadFile(jail + "/keep.txt"), "keep");
}

TEST_F(RemoveTree, RemoveFileRefusesFoldersAndUnlinksLinks) {
  std::string err;
  EXPECT_FALSE(kq::RemoveFileNoFollow(tree_ + "/a", &err));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_NE(err.find("Failed to remove ["), std::string::npos);
  ASSERT_TRUE(kq::RemoveFileNoFollow(tree_ + "/link-to-file", &err));
  EXPECT_FALSE(Exists(tree_ + "/link-to-file"));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
}

TEST_F(RemoveTree, RemoveUnderRefusesEscapesAndLinkedFolders) {
  std::string err;
  EXPECT_FALSE(kq::RemoveUnder(tree_, "../outside", &err));
  EXPECT_TRUE(Exists(outside_ + "/keep.txt"));
  // "a/link-to-dir/keep.txt" would resolve to the outside file through the link.
  EXPECT_FALSE(kq::RemoveUnder(tree_, "a/link-to-dir/keep.txt", &err));
  EXPECT_NE(err.find("symbolic link"), std::string::npos) << err;
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
  // The link itself as the last component is fine: it goes, its target stays.
  ASSERT_TRUE(kq::RemoveUnder(tree_, "a/link-to-dir", &err)) << err;
  EXPECT_FALSE(Exists(tree_ + "/a/link-to-dir"));
  EXPECT_TRUE(Exists(outside_ + "/keep.txt"));
  EXPECT_TRUE(kq::RemoveUnder(tree_, "no/such/thing", &err));
  ASSERT_TRUE(kq::RemoveUnder(tree_, "a", &err));
  EXPECT_FALSE(Exists(tree_ + "/a"));
}

// Opened once, a folder keeps being the one removed from even when its path is swapped for a
// link afterwards; opening below it tells a missing level, a link and a file apart.
TEST_F(RemoveTree, HeldFolderOutlivesItsPathAndOpensNoLinkBelow) {
  const int fd = open((tree_ + "/a").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, rename((tree_ + "/a").c_str(), (tree_ + "/moved").c_str()));
  ASSERT_EQ(0, symlink(outside_.c_str(), (tree_ + "/a").c_str()));
  kqtest::WriteFile(outside_ + "/file.txt", "precious");
  std::string err;
  EXPECT_TRUE(kq::RemoveFileUnderAt(fd, tree_ + "/a", "file.txt", &err)) << err;
  EXPECT_FALSE(Exists(tree_ + "/moved/file.txt"));
  EXPECT_FALSE(kq::RemoveUnderAt(fd, tree_ + "/a", "link-to-dir/keep.txt", &err));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/file.txt"), "precious");
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
  close(fd);
  EXPECT_FALSE(kq::RemoveUnderAt(-1, tree_, "b.txt", &err));

  const int root = open(tree_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  const std::pair<const char*, int> refused[] = {
      {"a", ELOOP}, {"a/x", ELOOP}, {"moved/link-to-dir", ELOOP}, {"b.txt", ENOTDIR},
      {"b.txt/x", ENOTDIR}, {"none/x", ENOENT}, {"moved/../moved", EINVAL}};
  for (const auto& r : refused) {
    EXPECT_EQ(-1, kq::OpenFolderUnder(root, r.first)) << r.first;
    EXPECT_EQ(r.second, errno) << r.first;
  }
  for (const char* good : {"", "moved", "moved//"}) {
    const int sub = kq::OpenFolderUnder(root, good);
    EXPECT_GE(sub, 0) << good;
    if (sub >= 0) close(sub);
  }
  close(root);
}

TEST_F(RemoveTree, EmptyFoldersGoByEntriesAndFilesOnlyAsFiles) {
  std::string err;
  bool removed = true;
  ASSERT_EQ(0, mkdir((tree_ + "/e").c_str(), 0755));
  ASSERT_EQ(0, mkdir((tree_ + "/e/sub").c_str(), 0755));
  kqtest::WriteFile(tree_ + "/m/sub/marker", "");
  ASSERT_EQ(0, mkdir((tree_ + "/m/empty").c_str(), 0755));
  // A zero-byte file keeps its folder, and that folder's empty sub-folders stay as well.
  ASSERT_TRUE(kq::RemoveFolderIfEmptyUnder(tree_, "m", &removed, &err)) << err;
  EXPECT_FALSE(removed);
  EXPECT_TRUE(Exists(tree_ + "/m/sub/marker"));
  EXPECT_TRUE(Exists(tree_ + "/m/empty"));
  // A tree of empty folders goes; a link counts as content and is never entered.
  ASSERT_TRUE(kq::RemoveFolderIfEmptyUnder(tree_, "e", &removed, &err)) << err;
  EXPECT_TRUE(removed);
  EXPECT_FALSE(Exists(tree_ + "/e"));
  ASSERT_TRUE(kq::RemoveFolderIfEmptyUnder(tree_, "a/link-to-dir", &removed, &err));
  EXPECT_FALSE(removed);
  EXPECT_FALSE(kq::RemoveFolderIfEmptyUnder(tree_, "a/link-to-dir/x", &removed, &err));
  EXPECT_EQ(errno, ELOOP);
  // Files only: a folder is refused, a file below a linked folder too.
  EXPECT_FALSE(kq::RemoveFileUnder(tree_, "a", &err));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(kq::RemoveFileUnder(tree_, "a/link-to-dir/keep.txt", &err));
  ASSERT_TRUE(kq::RemoveFileUnder(tree_, "a/file.txt", &err)) << err;
  EXPECT_FALSE(Exists(tree_ + "/a/file.txt"));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
}

// Entries that arrive while the empty folders are being removed: the first removal (of
// "s0000") is seen through inotify, and then a file and a link arrive in folders the walk has
// yet to reach. The folder is simply not empty: it stays with them, and nothing failed.
TEST_F(RemoveTree, EntriesArrivingDuringTheEmptyFolderRemovalKeepTheFolder) {
  constexpr int kFolders = 800;
  int arrived = 0;
  for (int round = 0; round < 5 && arrived < 1; ++round) {
    const std::string top = tree_ + "/top" + std::to_string(round);
    ASSERT_EQ(0, mkdir(top.c_str(), 0755));
    char name[16];
    for (int i = 0; i < kFolders; ++i) {
      std::snprintf(name, sizeof name, "/s%04d", i);
      ASSERT_EQ(0, mkdir((top + name).c_str(), 0755));
    }
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, top.c_str(), IN_DELETE), 0);
    const std::string file = top + "/s0798/late", link = top + "/s0799/late-link";
    bool fileArrived = false, linkArrived = false;
    std::atomic<bool> done{false};
    std::thread writer([&] {
      alignas(inotify_event) char buffer[4096];
      for (bool seen = false; !seen;) {
        pollfd ready = {watch, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) {
          if (done) return;  // the walk ended without removing anything
          continue;
        }
        const ssize_t n = read(watch, buffer, sizeof buffer);
        for (char* at = buffer; n > 0 && at < buffer + n;) {
          const inotify_event* e = reinterpret_cast<const inotify_event*>(at);
          seen = seen || (e->len > 0 && std::string(e->name) == "s0000");
          at += sizeof(inotify_event) + e->len;
        }
      }
      const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      fileArrived = fd >= 0;
      if (fd >= 0) close(fd);
      linkArrived = symlink(outside_.c_str(), link.c_str()) == 0;
    });
    bool removed = true;
    std::string err;
    const bool ok = kq::RemoveFolderIfEmptyUnder(tree_, "top" + std::to_string(round), &removed,
                                                 &err);
    done = true;
    writer.join();
    close(watch);
    EXPECT_TRUE(ok) << err;
    if (!fileArrived && !linkArrived) continue;
    ++arrived;
    EXPECT_FALSE(removed);
    EXPECT_TRUE(Exists(top));
    if (fileArrived) {
      EXPECT_TRUE(Exists(file));
    }
    if (linkArrived) {
      EXPECT_TRUE(Exists(link));
    }
  }
  EXPECT_GE(arrived, 1) << "no entry ever arrived during the walk";
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
}

TEST_F(RemoveTree, AFailedRemovalIsReportedAndTheRestStillGoes) {
  kqtest::WriteFile(tree_ + "/0locked/inner.txt", "z");
  kqtest::GiveTreeToUnprivileged(dir_.path());
  ASSERT_EQ(0, chmod((tree_ + "/0locked").c_str(), 0555));
  const std::string expected = "Failed to remove [" + tree_ + "/0locked/inner.txt], errno [13]";
  int rc = kqtest::RunUnprivileged([&] {
    std::string err;
    if (kq::RemoveTreeNoFollow(tree_, &err)) return 1;
    return err == expected ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(Exists(tree_ + "/0locked/inner.txt"));
  EXPECT_FALSE(Exists(tree_ + "/b.txt"));  // entries after the failure were still removed
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
  chmod((tree_ + "/0locked").c_str(), 0755);
}

}  // namespace

namespace {

TEST_F(RemoveTree, DotComponentsNeverEmptyALinksTarget) {
  const std::string link = tree_ + "/a/link-to-dir";
  for (const std::string& path : {link + "/.", link + "/./", link + "/..", tree_ + "/a/./link-to-dir/."}) {
    SCOPED_TRACE(path);
    std::string err;
    EXPECT_FALSE(kq::RemoveTreeNoFollow(path, &err));
    EXPECT_FALSE(kq::RemoveContentsNoFollow(path, &err));
    EXPECT_EQ(kqtest::ReadFile(outside_ + "/keep.txt"), "precious");
    EXPECT_TRUE(Exists(tree_ + "/b.txt"));
  }
}

TEST(SameOrInside, RealLocationsNotPathTexts) {
  kqtest::TempDir dir;
  const std::string x = dir.path() + "/x";
  kqtest::WriteFile(x + "/a/b/f.txt", "f");
  ASSERT_EQ(0, symlink((x + "/a").c_str(), (dir.path() + "/alias").c_str()));
  EXPECT_TRUE(kq::IsSameOrInside(x, x));
  EXPECT_TRUE(kq::IsSameOrInside(x, x + "/a/b"));
  EXPECT_TRUE(kq::IsSameOrInside(x + "/", dir.path() + "/x//a/./b/"));
  EXPECT_TRUE(kq::IsSameOrInside(x, dir.path() + "/alias/b"));           // through a link
  EXPECT_TRUE(kq::IsSameOrInside(x + "/a", dir.path() + "/alias/new/c"));  // not made yet
  EXPECT_TRUE(kq::IsSameOrInside(x, x + "/a/../a/b"));
  EXPECT_FALSE(kq::IsSameOrInside(x + "/a", x));
  EXPECT_FALSE(kq::IsSameOrInside(x + "/a/b", x + "/a/bb"));
  EXPECT_FALSE(kq::IsSameOrInside(dir.path() + "/missing", x));
  // A relative form of the same folder.
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(x.c_str()));
  EXPECT_TRUE(kq::IsSameOrInside("./", x + "/a"));
  EXPECT_TRUE(kq::IsSameOrInside(x, "./a"));
  ASSERT_EQ(0, chdir(cwd));
}

TEST(RemoveDeepTree, TwoHundredThousandLevelsGoWithFewDescriptors) {
  // On a memory file system: 200,000 folders made one by one on a disk take minutes.
  char shm[] = "/dev/shm/kqdeepXXXXXX";
  if (mkdtemp(shm) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const std::string top = std::string(shm) + "/deep";
  const int kLevels = 200000;
  {
    ASSERT_EQ(0, mkdir(top.c_str(), 0755));
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < kLevels; ++i) {
      ASSERT_EQ(0, mkdirat(fd, "d", 0755));
      int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ASSERT_GE(next, 0);
      close(fd);
      fd = next;
    }
    close(fd);
  }
  // In a child with few descriptors and a small stack: a removal that recursed per level, or
  // kept a descriptor per level, dies or fails there.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct rlimit files = {16, 16};
    setrlimit(RLIMIT_NOFILE, &files);
    std::string err;
    std::thread worker([&] { _exit(kq::RemoveTreeNoFollow(top, &err) ? 0 : 1); });
    worker.join();
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "the removal crashed";
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_FALSE(Exists(top));
  std::string err;
  kq::RemoveTreeNoFollow(shm, &err);
}

}  // namespace
