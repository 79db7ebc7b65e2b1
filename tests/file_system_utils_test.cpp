// File-system utilities on real temporary trees: walks, sizes, copy, move and delete, links that
// point outside the tree, and trees that another process deletes while they are walked.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "KqTestEnv.h"
#include "Unprivileged.h"
#include "UpdateUtils.h"

namespace {

bool Exists(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0;
}

unsigned long long LinkSize(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0 ? static_cast<unsigned long long>(sb.st_size) : 0;
}

// root/ a.txt(3) empty.txt(0) sub/b.txt(5) sub/deeper/c.txt(2) sub/emptydir/
// outside/ secret.txt(100), beside root.
class FsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = env_.root() + "/root";
    outside_ = env_.root() + "/outside";
    kqtest::WriteFile(root_ + "/a.txt", "abc");
    kqtest::WriteFile(root_ + "/empty.txt", "");
    kqtest::WriteFile(root_ + "/sub/b.txt", "bbbbb");
    kqtest::WriteFile(root_ + "/sub/deeper/c.txt", "cc");
    ASSERT_TRUE(recursiveCreateDir((root_ + "/sub/emptydir").c_str()));
    kqtest::WriteFile(outside_ + "/secret.txt", std::string(100, 's'));
  }
  void AddLinks() {
    ASSERT_EQ(0, symlink(outside_.c_str(), (root_ + "/sub/link-dir").c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (root_ + "/link-file").c_str()));
  }
  kqtest::ScopedConfig env_;
  std::string root_, outside_;
};

TEST_F(FsTree, SizesOfFilesAndTrees) {
  unsigned long long size = 77;
  ASSERT_TRUE(GetDirectorySize(root_.c_str(), size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(GetDirectorySize((root_ + "/sub/b.txt").c_str(), size));
  EXPECT_EQ(size, 5u);
  size = 77;
  EXPECT_FALSE(GetDirectorySize((root_ + "/missing").c_str(), size));
  EXPECT_EQ(size, 77u);  // untouched on failure
  ASSERT_TRUE(GetRegularFileSize((root_ + "/a.txt").c_str(), size));
  EXPECT_EQ(size, 3u);
  EXPECT_FALSE(GetRegularFileSize(root_.c_str(), size));
  EXPECT_FALSE(GetRegularFileSize((root_ + "/missing").c_str(), size));
  EXPECT_NE(kqtest::ReadFile(env_.logFile()).find("is not a regular file"), std::string::npos);
}

TEST_F(FsTree, SizesCountLinksThemselvesNotTheirTargets) {
  AddLinks();
  unsigned long long size = 0;
  ASSERT_TRUE(GetDirectorySize(root_.c_str(), size));
  EXPECT_EQ(size, 10u + LinkSize(root_ + "/sub/link-dir") + LinkSize(root_ + "/link-file"));
}

TEST_F(FsTree, EmptinessTests) {
  EXPECT_TRUE(IsFileEmpty((root_ + "/missing").c_str()));
  EXPECT_TRUE(IsFileEmpty((root_ + "/empty.txt").c_str()));
  EXPECT_FALSE(IsFileEmpty((root_ + "/a.txt").c_str()));
  EXPECT_FALSE(IsFileEmpty(root_.c_str()));
  EXPECT_TRUE(IsFileEmpty((root_ + "/sub/emptydir").c_str()));
  kqtest::WriteFile(root_ + "/zeros/x/one", "");
  kqtest::WriteFile(root_ + "/zeros/two", "");
  EXPECT_TRUE(IsFileEmpty((root_ + "/zeros").c_str()));  // only empty files

  EXPECT_TRUE(IsFolderEmpty((root_ + "/missing").c_str()));
  EXPECT_TRUE(IsFolderEmpty((root_ + "/sub/emptydir").c_str()));
  EXPECT_FALSE(IsFolderEmpty((root_ + "/zeros").c_str()));

  EXPECT_TRUE(IsADirectory(root_.c_str()));
  EXPECT_FALSE(IsADirectory((root_ + "/a.txt").c_str()));
  EXPECT_FALSE(IsADirectory(nullptr));
  EXPECT_TRUE(isFilePresent((root_ + "/a.txt").c_str()));
  EXPECT_FALSE(isFilePresent((root_ + "/missing").c_str()));
  EXPECT_FALSE(isFilePresent(nullptr));
}

TEST_F(FsTree, AFolderThatCannotBeMeasuredIsNotEmpty) {
  kqtest::WriteFile(root_ + "/zeros/closed/x", "");
  kqtest::GiveTreeToUnprivileged(env_.root());
  ASSERT_EQ(0, chmod((root_ + "/zeros/closed").c_str(), 0));
  const std::string zeros = root_ + "/zeros";
  int rc = kqtest::RunUnprivileged([&] {
    unsigned long long size = 0;
    if (IsFileEmpty(zeros.c_str())) return 1;
    if (GetDirectorySize(zeros.c_str(), size)) return 2;
    return 0;
  });
  chmod((root_ + "/zeros/closed").c_str(), 0755);
  EXPECT_EQ(rc, 0);
  const std::string closed = root_ + "/zeros/closed";
  EXPECT_NE(kqtest::ReadFile(env_.logFile())
                .find("L0 GetDirectorySize Unable to open directory [" + closed +
                      "] with error: [Cannot open folder [" + closed + "]: Permission denied]"),
            std::string::npos);
}

// A folder that can be listed but not searched: its entries cannot be examined, which the
// measures report with the entry's path.
TEST_F(FsTree, AnEntryThatCannotBeMeasuredFailsTheMeasure) {
  kqtest::WriteFile(root_ + "/zeros/listonly/x", "");
  kqtest::GiveTreeToUnprivileged(env_.root());
  const std::string listOnly = root_ + "/zeros/listonly";
  ASSERT_EQ(0, chmod(listOnly.c_str(), 0444));
  const std::string zeros = root_ + "/zeros";
  int rc = kqtest::RunUnprivileged([&] {
    unsigned long long size = 0;
    std::list<std::string> names;
    if (IsFileEmpty(zeros.c_str())) return 1;
    if (GetDirectorySize(zeros.c_str(), size)) return 2;
    if (GetFolderList(listOnly, names)) return 3;
    return 0;
  });
  chmod(listOnly.c_str(), 0755);
  EXPECT_EQ(rc, 0);
  const std::string log = kqtest::ReadFile(env_.logFile());
  for (const char* tag : {"GetDirectorySize", "GetItemList"}) {
    EXPECT_NE(log.find(std::string("L0 ") + tag + " Failed to stat on file [" + listOnly + "] with error [Cannot stat [" +
                       listOnly + "/x]: Permission denied]"),
              std::string::npos)
        << tag;
  }
}

// A tree deeper than a walk keeps folders open is measured and listed whole without running out
// of descriptors.
TEST_F(FsTree, DeepTreesAreWalkedWithFewDescriptors) {
  std::string deep = root_ + "/deep";
  for (int level = 0; level < 150; ++level) deep += "/d";
  kqtest::WriteFile(deep + "/empty", "");
  kqtest::WriteFile(deep + "/last", "1234");
  const std::string top = root_ + "/deep";
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(9);
    unsigned long long size = 0;
    std::list<std::string> folders;
    if (IsFileEmpty(top.c_str())) _exit(1);
    if (!GetDirectorySize(top.c_str(), size) || size != 4) _exit(2);
    if (!GetFolderList(top, folders) || folders != std::list<std::string>{"d"}) _exit(3);
    std::vector<std::string> files, all;
    if (!GetAllFilesInDir(top, "", files, true) || files.size() != 2) _exit(4);
    if (!GetRecursiveFilesNFol(top, all) || all.size() != 152) _exit(5);
    if (!copyDirectory(top.c_str(), (top + "-copy").c_str(), false)) _exit(6);
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Only empty files below: empty.
  ASSERT_EQ(0, unlink((deep + "/last").c_str()));
  EXPECT_TRUE(IsFileEmpty(top.c_str()));
}

TEST_F(FsTree, FolderAndFileListsAreSortedAndAppended) {
  AddLinks();
  std::list<std::string> folders = {"keep"}, files;
  ASSERT_TRUE(GetFolderList(root_ + "/sub", folders));
  EXPECT_EQ(folders, (std::list<std::string>{"keep", "deeper", "emptydir", "link-dir"}));
  ASSERT_TRUE(GetFileList(root_, files));
  EXPECT_EQ(files, (std::list<std::string>{"a.txt", "empty.txt", "link-file"}));
  EXPECT_FALSE(GetItemList(root_ + "/missing", files, 1));
  EXPECT_NE(kqtest::ReadFile(env_.logFile()).find("Unable to open directory [" + root_ + "/missing]"),
            std::string::npos);
}

TEST_F(FsTree, AllFilesInDirRecursiveFlatAndRelative) {
  AddLinks();
  std::vector<std::string> files;
  ASSERT_TRUE(GetAllFilesInDir(root_, "", files, true));
  // The link to a folder is neither listed as a file nor entered.
  EXPECT_EQ(files, (std::vector<std::string>{"a.txt", "empty.txt", "link-file", "sub/b.txt", "sub/deeper/c.txt"}));
  files.clear();
  ASSERT_TRUE(GetAllFilesInDir(root_, "", files, false));
  EXPECT_EQ(files, (std::vector<std::string>{"a.txt", "empty.txt", "link-file"}));
  files = {"first"};
  std::string winStyle = root_;
  WinPath(winStyle);
  ASSERT_TRUE(GetAllFilesInDir(winStyle, "sub", files, true));
  EXPECT_EQ(files, (std::vector<std::string>{"first", "sub/b.txt", "sub/deeper/c.txt"}));
  EXPECT_FALSE(GetAllFilesInDir(root_, "missing", files, true));
}

TEST_F(FsTree, RecursiveFilesAndFoldersKeepNoSharedState) {
  std::vector<std::string> entries;
  ASSERT_TRUE(GetRecursiveFilesNFol(root_ + "/", entries));
  const std::vector<std::string> expected = {"a.txt", "empty.txt", "sub", "sub/b.txt",
                                             "sub/deeper", "sub/deeper/c.txt", "sub/emptydir"};
  EXPECT_EQ(entries, expected);
  entries.clear();
  EXPECT_TRUE(GetRecursiveFilesNFol(root_ + "/a.txt", entries));
  EXPECT_TRUE(GetRecursiveFilesNFol(root_ + "/missing", entries));
  EXPECT_TRUE(entries.empty());

  // Two walks of different trees at once: each names its entries relative to its own top.
  kqtest::WriteFile(outside_ + "/o1/o2/o3.txt", "o");
  std::vector<int> wrong(2, 0);
  auto walker = [&](int id, const std::string& top, const std::vector<std::string>& want) {
    for (int i = 0; i < 200; ++i) {
      std::vector<std::string> got;
      if (!GetRecursiveFilesNFol(top, got) || got != want) ++wrong[id];
    }
  };
  std::thread t1(walker, 0, root_, expected);
  std::thread t2(walker, 1, outside_, std::vector<std::string>{"o1", "o1/o2", "o1/o2/o3.txt", "secret.txt"});
  t1.join();
  t2.join();
  EXPECT_EQ(wrong, (std::vector<int>{0, 0}));
}

TEST_F(FsTree, CreateFoldersWithTheirParents) {
  EXPECT_FALSE(recursiveCreateDir("no-slash-here"));
  EXPECT_FALSE(recursiveCreateDir(nullptr));
  const std::string deep = root_ + "/n1/n2/n3";
  ASSERT_TRUE(recursiveCreateDir(deep.c_str()));
  EXPECT_TRUE(IsADirectory(deep.c_str()));
  EXPECT_TRUE(recursiveCreateDir(deep.c_str()));
  EXPECT_FALSE(recursiveCreateDir((root_ + "/a.txt/below").c_str()));
  EXPECT_NE(kqtest::ReadFile(env_.logFile()).find("Failed to create directory [" + root_ + "/a.txt/below] with errno ["),
            std::string::npos);
}

TEST_F(FsTree, DeleteBesideLinksLeavesTheirTargets) {
  AddLinks();
  std::string error = "stale";
  EXPECT_TRUE(DeleteDir(root_ + "/missing", error));
  EXPECT_EQ(error, "");
  ASSERT_TRUE(DeleteDir(root_, error)) << error;
  EXPECT_FALSE(Exists(root_));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/secret.txt"), std::string(100, 's'));
  EXPECT_TRUE(Exists(outside_));
}

TEST_F(FsTree, RemoveContentsOnlyAndSingleFiles) {
  AddLinks();
  std::string error;
  EXPECT_EQ(RemoveDirUnix((root_ + "/sub").c_str(), error, false), 1);
  EXPECT_TRUE(IsADirectory((root_ + "/sub").c_str()));
  EXPECT_TRUE(IsFolderEmpty((root_ + "/sub").c_str()));
  EXPECT_EQ(RemoveDirUnix((root_ + "/link-file").c_str(), error, true), 1);
  EXPECT_FALSE(Exists(root_ + "/link-file"));
  EXPECT_TRUE(Exists(outside_ + "/secret.txt"));
  EXPECT_EQ(RemoveDirUnix((root_ + "/missing").c_str(), error, true), 0);

  EXPECT_EQ(RemoveDir((root_ + "/missing").c_str(), error), 0);
  EXPECT_EQ(RemoveDir(root_.c_str(), error), 0);
  EXPECT_FALSE(Exists(root_));
}

TEST_F(FsTree, AnyFailedRemovalIsReported) {
  kqtest::WriteFile(root_ + "/0locked/inner.txt", "z");
  kqtest::GiveTreeToUnprivileged(env_.root());
  ASSERT_EQ(0, chmod((root_ + "/0locked").c_str(), 0555));
  const std::string expected = "Failed to remove [" + root_ + "/0locked/inner.txt], errno [13]";
  const std::string root = root_;
  int rc = kqtest::RunUnprivileged([&] {
    std::string error;
    if (DeleteDir(root, error)) return 1;
    if (error != expected) return 2;
    if (RemoveDirUnix(root.c_str(), error, false) != 0) return 3;
    if (RemoveDirUnix((root + "/0locked/inner.txt").c_str(), error, true) != 0) return 4;
    if (RemoveDir(root.c_str(), error) != EACCES) return 5;
    return 0;
  });
  chmod((root_ + "/0locked").c_str(), 0755);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(Exists(root_ + "/0locked/inner.txt"));
  EXPECT_FALSE(Exists(root_ + "/a.txt"));  // the rest went
}

TEST_F(FsTree, AnEntryThatCannotBeExaminedIsNamed) {
  kqtest::WriteFile(root_ + "/0listonly/inner.txt", "z");
  kqtest::GiveTreeToUnprivileged(env_.root());
  ASSERT_EQ(0, chmod((root_ + "/0listonly").c_str(), 0444));  // listable, not searchable
  const std::string expected =
      "Error while executing stat on [" + root_ + "/0listonly/inner.txt], errno [13]";
  const std::string root = root_;
  int rc = kqtest::RunUnprivileged([&] {
    std::string error;
    if (RemoveDirUnix(root.c_str(), error, true) != 0) return 1;
    return error == expected ? 0 : 2;
  });
  chmod((root_ + "/0listonly").c_str(), 0755);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(kqtest::ReadFile(env_.logFile()).find("L0 [RemoveDirUnix] " + expected),
            std::string::npos);
}

TEST_F(FsTree, CopyCreatesTheTargetAndClearsReadOnlyOnRequest) {
  AddLinks();
  ASSERT_EQ(0, chmod((root_ + "/a.txt").c_str(), 0444));
  const std::string plain = env_.root() + "/copies/plain", cleared = env_.root() + "/copies/cleared";
  ASSERT_TRUE(copyDirectory(root_.c_str(), plain.c_str(), false));
  ASSERT_TRUE(copyDirectory(root_.c_str(), cleared.c_str(), true));
  struct stat sb;
  ASSERT_EQ(0, stat((plain + "/a.txt").c_str(), &sb));
  EXPECT_EQ(sb.st_mode & 0777, 0444u);
  ASSERT_EQ(0, stat((cleared + "/a.txt").c_str(), &sb));
  EXPECT_EQ(sb.st_mode & 0777, 0444u | 0220u);
  ASSERT_EQ(0, stat((root_ + "/a.txt").c_str(), &sb));
  EXPECT_EQ(sb.st_mode & 0777, 0444u);  // the source stays as it was
  EXPECT_EQ(kqtest::ReadFile(plain + "/sub/deeper/c.txt"), "cc");
  EXPECT_TRUE(IsADirectory((plain + "/sub/emptydir").c_str()));
  // Links arrive as links; nothing from outside was copied into the tree.
  ASSERT_EQ(0, lstat((plain + "/sub/link-dir").c_str(), &sb));
  EXPECT_TRUE(S_ISLNK(sb.st_mode));
  ASSERT_EQ(0, lstat((plain + "/link-file").c_str(), &sb));
  EXPECT_TRUE(S_ISLNK(sb.st_mode));
  // A second copy over the first replaces files and links.
  kqtest::WriteFile(root_ + "/sub/b.txt", "new");
  ASSERT_TRUE(copyDirectory(root_.c_str(), plain.c_str(), false));
  EXPECT_EQ(kqtest::ReadFile(plain + "/sub/b.txt"), "new");
}

TEST_F(FsTree, CopyRefusesItselfAndFailsOnAMissingSource) {
  EXPECT_FALSE(copyDirectory(root_.c_str(), (root_ + "/sub/inside").c_str(), false));
  EXPECT_FALSE(Exists(root_ + "/sub/inside"));
  EXPECT_FALSE(copyDirectory((root_ + "/missing").c_str(), (env_.root() + "/t").c_str(), false));
  EXPECT_FALSE(Exists(env_.root() + "/t"));
}

TEST_F(FsTree, MoveRenamesOrMergesIntoAnExistingTarget) {
  const std::string target = env_.root() + "/moved/here";
  ASSERT_TRUE(MoveDirectory(root_.c_str(), target.c_str()));
  EXPECT_FALSE(Exists(root_));
  EXPECT_EQ(kqtest::ReadFile(target + "/sub/deeper/c.txt"), "cc");

  // A target that already holds files: the move merges file by file and empties the source.
  kqtest::WriteFile(env_.root() + "/src2/sub/b.txt", "replaced");
  kqtest::WriteFile(env_.root() + "/src2/new.txt", "n");
  const std::string src2 = env_.root() + "/src2";
  ASSERT_TRUE(MoveDirectory(src2.c_str(), target.c_str()));
  EXPECT_FALSE(Exists(src2 + "/new.txt"));
  EXPECT_EQ(kqtest::ReadFile(target + "/sub/b.txt"), "replaced");
  EXPECT_EQ(kqtest::ReadFile(target + "/new.txt"), "n");
  EXPECT_EQ(kqtest::ReadFile(target + "/a.txt"), "abc");
}

TEST_F(FsTree, CopyIntoItselfIsRefusedWhateverThePathForm) {
  ASSERT_EQ(0, symlink(root_.c_str(), (env_.root() + "/alias").c_str()));
  for (const std::string& target : {env_.root() + "//root/sub/x", root_ + "/./sub/x",
                                    env_.root() + "/alias/sub/x", root_ + "/sub/../sub/x"}) {
    SCOPED_TRACE(target);
    EXPECT_FALSE(copyDirectory(root_.c_str(), target.c_str(), false));
    EXPECT_FALSE(MoveDirectory(root_.c_str(), target.c_str()));
    EXPECT_FALSE(Exists(root_ + "/sub/x"));
    EXPECT_EQ(kqtest::ReadFile(root_ + "/sub/b.txt"), "bbbbb");
  }
}

TEST_F(FsTree, CopiesNeverWriteThroughALinkInTheTarget) {
  const std::string target = env_.root() + "/target";
  ASSERT_TRUE(recursiveCreateDir(target.c_str()));
  ASSERT_EQ(0, symlink(outside_.c_str(), (target + "/sub").c_str()));
  ASSERT_TRUE(copyDirectory(root_.c_str(), target.c_str(), false));
  struct stat sb;
  ASSERT_EQ(0, lstat((target + "/sub").c_str(), &sb));
  EXPECT_TRUE(S_ISDIR(sb.st_mode));  // the link was replaced by a real folder
  EXPECT_EQ(kqtest::ReadFile(target + "/sub/b.txt"), "bbbbb");
  EXPECT_FALSE(Exists(outside_ + "/b.txt"));
  EXPECT_FALSE(Exists(outside_ + "/deeper"));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/secret.txt"), std::string(100, 's'));
}

TEST_F(FsTree, MovingALinkMovesTheLink) {
  const std::string link = env_.root() + "/link";
  ASSERT_EQ(0, symlink(outside_.c_str(), link.c_str()));
  const std::string target = env_.root() + "/moved";
  ASSERT_TRUE(MoveDirectory(link.c_str(), target.c_str()));
  struct stat sb;
  ASSERT_EQ(0, lstat(target.c_str(), &sb));
  EXPECT_TRUE(S_ISLNK(sb.st_mode));
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/secret.txt"), std::string(100, 's'));
}

TEST_F(FsTree, EmptyingALinkIsRefused) {
  const std::string link = env_.root() + "/link";
  ASSERT_EQ(0, symlink(outside_.c_str(), link.c_str()));
  std::string error;
  EXPECT_EQ(0, RemoveDirUnix(link.c_str(), error, false));
  EXPECT_NE(std::string::npos, error.find("symbolic link"));
  EXPECT_TRUE(Exists(link));
  EXPECT_EQ(kqtest::ReadFile(outside_ + "/secret.txt"), std::string(100, 's'));
  // Removing the link itself is fine, and leaves its target.
  EXPECT_EQ(1, RemoveDirUnix(link.c_str(), error, true));
  EXPECT_FALSE(Exists(link));
  EXPECT_TRUE(Exists(outside_ + "/secret.txt"));
}

TEST_F(FsTree, MoveAcrossFileSystemsFallsBackToCopy) {
  struct stat a, b;
  const char* other = "/dev/shm";
  if (stat(other, &b) != 0 || stat(env_.root().c_str(), &a) != 0 || a.st_dev == b.st_dev) {
    GTEST_SKIP() << "no second file system to move across";
  }
  char tmpl[] = "/dev/shm/kqmoveXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string target = std::string(tmpl) + "/t";
  EXPECT_TRUE(MoveDirectory(root_.c_str(), target.c_str()));
  EXPECT_FALSE(Exists(root_));
  EXPECT_EQ(kqtest::ReadFile(target + "/sub/b.txt"), "bbbbb");
  EXPECT_TRUE(DeleteDir(tmpl));
}

// A big tree that a child process deletes while this process walks, measures and deletes it.
class FsVanishing : public ::testing::Test {
 protected:
  void Build() {
    for (int d = 0; d < 40; ++d) {
      for (int f = 0; f < 25; ++f) {
        kqtest::WriteFile(tree_ + "/d" + std::to_string(d) + "/s/f" + std::to_string(f), "x");
      }
    }
  }
  // Builds the tree and forks a child that deletes it at once; returns the child's pid.
  pid_t BuildAndStartDeleter() {
    Build();
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[1]);
      char c;
      if (read(fds[0], &c, 1) != 1) _exit(3);
      std::string error;
      _exit(DeleteDir(tree_, error) ? 0 : 1);
    }
    close(fds[0]);
    if (write(fds[1], "g", 1) != 1) pid = -1;  // the go signal, sent once the child exists
    close(fds[1]);
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  kqtest::ScopedConfig env_;
  std::string tree_ = env_.root() + "/tree";
};

TEST_F(FsVanishing, WalksOfATreeBeingDeletedFailOnlyWhenItsTopIsGone) {
  for (int round = 0; round < 3; ++round) {
    pid_t pid = BuildAndStartDeleter();
    ASSERT_GT(pid, 0);
    int falseWhileThere = 0;
    while (Exists(tree_)) {
      unsigned long long size = 0;
      std::vector<std::string> all, files;
      std::list<std::string> names;
      bool ok = GetDirectorySize(tree_.c_str(), size) && GetRecursiveFilesNFol(tree_, all) &&
                GetAllFilesInDir(tree_, "", files, true) && GetFolderList(tree_, names);
      IsFileEmpty(tree_.c_str());
      if (!ok && Exists(tree_)) ++falseWhileThere;
    }
    EXPECT_EQ(Wait(pid), 0);
    EXPECT_EQ(falseWhileThere, 0) << "round " << round;
  }
}

TEST_F(FsVanishing, TwoProcessesDeletingOneTreeBothSucceed) {
  for (int round = 0; round < 3; ++round) {
    pid_t pid = BuildAndStartDeleter();
    ASSERT_GT(pid, 0);
    std::string error;
    EXPECT_TRUE(DeleteDir(tree_, error)) << error;
    EXPECT_EQ(Wait(pid), 0) << "round " << round;
    EXPECT_FALSE(Exists(tree_));
  }
}

}  // namespace
