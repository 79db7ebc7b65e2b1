// Default folders of the library's own state (named-mutex lock files, the embedded database,
// logs) when nothing is configured: never where another local user can make or swap them.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Concurrency/KqNamedMutex.h"
#include "Configuration/IniStore.h"
#include "Configuration/StateFolders.h"
#include "Database/DbSession.h"
#include "KqTestEnv.h"
#include "Logging/EvDebug.h"
#include "PrivateTmp.h"

namespace {

bool Exists(const std::string& p) {
  struct stat sb;
  return ::lstat(p.c_str(), &sb) == 0;
}

unsigned Mode(const std::string& p) {
  struct stat sb;
  return ::lstat(p.c_str(), &sb) == 0 ? (sb.st_mode & 07777) : 0;
}

// A configuration that names no folder of its own, and a private runtime folder.
class StateFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("KQ_MUTEX_DIR");
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) oldRuntime_.reset(new std::string(old));
    runtime_ = cfg_.root() + "/run";
    ASSERT_EQ(0, ::mkdir(runtime_.c_str(), 0700));
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    kq::db::CloseThreadSessions();
    if (oldRuntime_) {
      ::setenv("XDG_RUNTIME_DIR", oldRuntime_->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  // Whether the named mutex and the database can be used now.
  bool MutexWorks() {
    KqNamedMutex m("state-folders-test");
    bool got = m.lock(0);
    if (got) m.unlock();
    return got;
  }
  bool DatabaseWorks(std::string& err) {
    kq::db::CloseThreadSessions();
    return kq::db::ThreadSession(err) != nullptr;
  }

  kqtest::ScopedConfig cfg_;
  std::string runtime_;
  std::unique_ptr<std::string> oldRuntime_;
};

TEST_F(StateFoldersTest, PrivateToTheUserOrUnderTheInstallFolder) {
  const std::string base = runtime_ + "/kqpatches";
  KqNamedMutex m("state-folders-test");
  EXPECT_EQ(base + "/NamedMutex/state-folders-test.lock", m.getLockFilePath());
  ASSERT_TRUE(MutexWorks());
  std::string err;
  ASSERT_TRUE(DatabaseWorks(err)) << err;
  EXPECT_TRUE(Exists(base + "/Database/Hubnode.db"));
  EXPECT_EQ(0700u, Mode(base));
  EXPECT_EQ(0700u, Mode(base + "/NamedMutex"));

  // Without a runtime folder: one of this user's own in /tmp.
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ("/tmp/kqpatches-" + std::to_string(geteuid()) + "/NamedMutex",
            kq::DefaultStateFolder("NamedMutex"));

  // With an install folder: below it.
  cfg_.set("Base", "dHOME", cfg_.root() + "/home");
  EXPECT_EQ(cfg_.root() + "/home/NamedMutex", KqNamedMutex::lockFolder());
  EXPECT_TRUE(MutexWorks());
  ASSERT_TRUE(DatabaseWorks(err)) << err;
  EXPECT_TRUE(Exists(cfg_.root() + "/home/Database/Hubnode.db"));
}

TEST_F(StateFoldersTest, AFolderOthersCouldWriteOrSwapIsRefused) {
  const std::string base = runtime_ + "/kqpatches";
  const std::string elsewhere = cfg_.root() + "/elsewhere";
  ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0700));
  struct Case {
    const char* label;
    std::function<void()> make;
  };
  std::vector<Case> cases = {
      {"writable by others", [&] { ASSERT_EQ(0, ::mkdir(base.c_str(), 0700)); ::chmod(base.c_str(), 0777); }},
      {"a link", [&] { ASSERT_EQ(0, ::symlink(elsewhere.c_str(), base.c_str())); }},
  };
  if (geteuid() == 0) {
    cases.push_back({"another user's", [&] {
                       ASSERT_EQ(0, ::mkdir(base.c_str(), 0700));
                       ASSERT_EQ(0, ::chown(base.c_str(), 65534, 65534));
                     }});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.make();
    EXPECT_FALSE(MutexWorks());
    std::string err;
    EXPECT_FALSE(DatabaseWorks(err));
    EXPECT_NE(std::string::npos, err.find("refusing the folder")) << err;
    EXPECT_FALSE(Exists(elsewhere + "/NamedMutex"));
    EXPECT_FALSE(Exists(elsewhere + "/Database"));
    ASSERT_TRUE(::unlink(base.c_str()) == 0 || ::rmdir(base.c_str()) == 0);
  }
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find("Refusing the lock folder"));
}

// A refusal names what was asked for and the level at fault, each once; the database tells its
// refusal on stderr too, where the log may be refused as well. A reopened database is no error.
TEST_F(StateFoldersTest, RefusalsNameWhatWasAskedForAndTheLevelAtFault) {
  const std::string open = cfg_.root() + "/open", store = open + "/etc/config.ini";
  ASSERT_EQ(0, ::mkdir(open.c_str(), 0777));
  ASSERT_EQ(0, ::chmod(open.c_str(), 0777));
  ASSERT_EQ(0, ::mkdir((open + "/etc").c_str(), 0700));
  const std::string fifo = cfg_.root() + "/fifo/config.ini";
  ASSERT_EQ(0, ::mkdir((cfg_.root() + "/fifo").c_str(), 0700));
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EvDebug().Debug("t", "makes the log folder");
  ASSERT_EQ(0, ::mkfifo(cfg_.logFile("Fifo").c_str(), 0600));
  const std::string fault = ": folder [" + open + "] is writable by other users\n";

  ::testing::internal::CaptureStderr();
  cfg_.set("Logging", "dLogFolder", open + "/b/logs");
  EvDebug().Debug("t", "below the folder at fault");
  cfg_.set("Logging", "dLogFolder", open);
  EvDebug().Debug("t", "in the folder at fault");
  cfg_.set("Logging", "dLogFolder", cfg_.logFolder());
  EvDebug("Fifo").Debug("t", "into a FIFO");
  cfg_.set("NamedMutex", "dLockFolder", open + "/locks");
  EXPECT_FALSE(MutexWorks());
  ::setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
  std::string err;
  EXPECT_FALSE(DatabaseWorks(err));
  for (const std::string& path : {store, fifo}) {
    ::setenv("KQ_CONFIG", path.c_str(), 1);
    kqconfig::IniStore::Default().snapshot();
  }
  ::setenv("KQ_CONFIG", cfg_.configPath().c_str(), 1);
  const std::string told = ::testing::internal::GetCapturedStderr();

  const std::string dbRefusal = "refusing the folder of the database file [" + open +
                                "/kqpatches/Database]" + fault;
  EXPECT_EQ(dbRefusal, err + "\n");
  for (const std::string& line :
       {"Refusing the log folder [" + open + "/b/logs]" + fault, "\nRefusing the log folder" + fault,
        "Refusing the log file: cannot open [" + cfg_.logFile("Fifo") + "]",
        "KqNamedMutex: refusing the lock folder [" + open + "/locks]" + fault,
        "Database: " + dbRefusal, "IniStore: refusing the store [" + store + "]" + fault,
        "IniStore: refusing the file of the store: [" + fifo + "] is not a regular file\n"})
    EXPECT_NE(std::string::npos, told.find(line)) << line << "\nin:\n" << told;

  // Opened again, an existing database file is no failure.
  ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  for (int i = 0; i < 2; ++i) {
    std::string again;
    EXPECT_TRUE(DatabaseWorks(again)) << again;
    EXPECT_EQ("", again);
  }
}

// The embedded database is reached through /proc/self/fd: without /proc, the failure says so.
TEST_F(StateFoldersTest, WithoutProcTheDatabaseFailureNamesIt) {
  const int rc = kqtest::RunInOwnMounts(
      [] { return ::mount("tmpfs", "/proc", "tmpfs", 0, "size=64k") == 0; },
      [&] {
        std::string err;
        if (DatabaseWorks(err)) return 1;
        return err.find("/proc must be mounted") != std::string::npos ? 0 : 2;
      });
  if (rc == kqtest::kOwnMountsUnavailable) GTEST_SKIP() << "needs a mount namespace";
  EXPECT_EQ(0, rc);
}

TEST_F(StateFoldersTest, LogNamesStayInTheLogFolder) {
  for (const char* name : {"../../escaped", "sub/dir", "..", "a\\b"}) {
    EvDebug log(name, 0);
    log.Debug("Test", "a line for [%s]", name);
    EXPECT_EQ(std::string::npos, log.logFilePath().find('/', cfg_.logFolder().size() + 1)) << name;
  }
  EXPECT_TRUE(Exists(cfg_.logFolder() + "/.._.._escaped.log"));
  EXPECT_TRUE(Exists(cfg_.logFolder() + "/sub_dir.log"));
  EXPECT_FALSE(Exists(cfg_.root() + "/escaped.log"));
  EXPECT_FALSE(Exists(cfg_.logFolder() + "/sub"));
}

}  // namespace

// Every level from "/" counts, not just the folder itself: a level another user owns or may
// write in refuses what lies below it; links of root or this user lead on, as /var/run does.
TEST_F(StateFoldersTest, EveryLevelOfAConfiguredFolderIsTrustedOrRefused) {
  const std::string root = cfg_.root();
  ASSERT_EQ(0, ::mkdir((root + "/real").c_str(), 0755));
  ASSERT_EQ(0, ::symlink("real", (root + "/alias").c_str()));
  ASSERT_EQ(0, ::mkdir((root + "/sticky").c_str(), 0700));
  ASSERT_EQ(0, ::chmod((root + "/sticky").c_str(), 01777));
  ASSERT_EQ(0, ::mkdir((root + "/open").c_str(), 0700));
  ASSERT_EQ(0, ::chmod((root + "/open").c_str(), 0777));
  std::string err;
  EXPECT_TRUE(kq::PrepareConfiguredFolder(root + "/alias/made/logs", err)) << err;
  EXPECT_EQ(0755u, Mode(root + "/real/made"));
  EXPECT_EQ(0700u, Mode(root + "/real/made/logs"));
  EXPECT_TRUE(kq::PrepareConfiguredFolder(root + "/sticky/mine", err)) << err;
  EXPECT_FALSE(kq::PrepareConfiguredFolder(root + "/sticky", err));  // the folder itself
  EXPECT_FALSE(kq::PrepareConfiguredFolder(root + "/open/logs", err));
  EXPECT_NE(std::string::npos, err.find("[" + root + "/open] is writable by other users")) << err;
  EXPECT_FALSE(Exists(root + "/open/logs"));
  EXPECT_FALSE(kq::PrepareConfiguredFolder(root + "/alias", err));
  EXPECT_NE(std::string::npos, err.find("is a symbolic link")) << err;

  // With an install folder, the default folders are made private too.
  cfg_.set("Base", "dHOME", root + "/home");
  std::string folder;
  EXPECT_TRUE(kq::PrepareStateFolder("Logs", folder, err)) << err;
  EXPECT_EQ(0700u, Mode(root + "/home/Logs"));

  if (geteuid() != 0) return;
  // Another user's folder or link on the way.
  ASSERT_EQ(0, ::mkdir((root + "/sticky/theirs").c_str(), 0755));
  ASSERT_EQ(0, ::chown((root + "/sticky/theirs").c_str(), 65534, 65534));
  ASSERT_EQ(0, ::symlink(root.c_str(), (root + "/sticky/link").c_str()));
  ASSERT_EQ(0, ::lchown((root + "/sticky/link").c_str(), 65534, 65534));
  EXPECT_FALSE(kq::PrepareConfiguredFolder(root + "/sticky/theirs/logs", err));
  EXPECT_NE(std::string::npos, err.find("theirs] is owned by user 65534")) << err;
  EXPECT_FALSE(Exists(root + "/sticky/theirs/logs"));
  EXPECT_FALSE(kq::PrepareConfiguredFolder(root + "/sticky/link/real/logs", err));
  EXPECT_NE(std::string::npos, err.find("link] is a symbolic link of user 65534")) << err;
  EXPECT_FALSE(Exists(root + "/real/logs"));
}
