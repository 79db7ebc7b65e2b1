// What another local user can do to the library's private state: the configuration store keeps
// its mode and owner through writes and never writes through a planted name or into a folder
// others may write; lock files (the store's, the named mutexes', the software-cache guards)
// cannot be opened, so cannot be held, by another user; a store write waits for a held lock
// only so long; folders that the configuration or the environment names get the checks of the
// default ones; a store that exists but is refused configures nothing in its place. Whatever
// another user plants is planted in a child with a /tmp of its own, as user 65534.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Concurrency/KqNamedMutex.h"
#include "Configuration/IniStore.h"
#include "Configuration/KQClient.h"
#include "Configuration/KQPlatformInfo.h"
#include "Configuration/StateFolders.h"
#include "Database/DbSession.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/SafePath.h"
#include "PortableFiles/ScopedFd.h"
#include "PrivateTmp.h"
#include "SwCacheLocks.h"
#include "Unprivileged.h"

using kqconfig::IniStore;

namespace {

constexpr uid_t kNobody = 65534;

struct stat StatOf(const std::string& path) {
  struct stat sb = {};
  if (::lstat(path.c_str(), &sb) != 0) sb.st_mode = 0;
  return sb;
}
unsigned ModeOf(const std::string& path) { return StatOf(path).st_mode & 07777; }
bool Exists(const std::string& path) { return StatOf(path).st_mode != 0; }

// Entries of a folder whose names begin with `prefix`.
int CountBeginningWith(const std::string& folder, const std::string& prefix) {
  int n = 0;
  for (const auto& e : kqtest::TreeManifest(folder))
    if (e.first.compare(0, folder.size() + 1 + prefix.size(), folder + "/" + prefix) == 0) ++n;
  return n;
}

// ---- The configuration store ----------------------------------------------------------------

TEST(StoreWrites, KeepTheStoresModeAndOwner) {
  kqtest::ScopedConfig cfg;
  IniStore fresh(cfg.root() + "/new.ini");
  ASSERT_TRUE(fresh.set("S", "k", "v"));
  EXPECT_EQ(0600u, ModeOf(fresh.path()));

  struct Case {
    unsigned mode;
    uid_t owner;  // honoured when the test runs as root
    gid_t group;
  };
  const bool root = ::geteuid() == 0;
  for (const Case& c : {Case{0600, 0, 0}, Case{0640, 0, kNobody}, Case{0604, 0, 0}}) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.owner));
    const std::string path = cfg.root() + "/kept-" + std::to_string(c.mode) + "-" +
                             std::to_string(c.owner) + "-" + std::to_string(c.group) + ".ini";
    kqtest::WriteFile(path, "password=secret\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), c.mode));
    if (root) {
      ASSERT_EQ(0, ::chown(path.c_str(), c.owner, c.group));
    }
    const struct stat before = StatOf(path);
    // Held open, the old file keeps its inode number: a new file cannot be given it again.
    const int old = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(old, 0);
    IniStore store(path);
    ASSERT_TRUE(store.set("Database", "sPassword", "other"));
    ASSERT_TRUE(store.set("", "password", "changed"));
    ASSERT_TRUE(store.erase("Database", "sPassword"));
    const struct stat after = StatOf(path);
    EXPECT_NE(before.st_ino, after.st_ino);  // a new file renamed into place
    EXPECT_EQ(c.mode, after.st_mode & 07777);
    EXPECT_EQ(before.st_uid, after.st_uid);
    EXPECT_EQ(before.st_gid, after.st_gid);
    EXPECT_EQ("password=changed\n[Database]\n", kqtest::ReadFile(path));
    ::close(old);
  }
  EXPECT_EQ(0, CountBeginningWith(cfg.root(), "kept-0600-0-0.ini.tmp"));

  // A store of another user is their configuration: neither read nor written.
  if (root) {
    const std::string theirs = cfg.root() + "/theirs.ini";
    kqtest::WriteFile(theirs, "a=1\n");
    ASSERT_EQ(0, ::chown(theirs.c_str(), kNobody, kNobody));
    IniStore store(theirs);
    std::string value;
    EXPECT_FALSE(store.get("", "a", value));
    EXPECT_FALSE(store.set("", "a", "2"));
    EXPECT_EQ("a=1\n", kqtest::ReadFile(theirs));
  }
}

TEST(StoreWrites, NeverGoThroughAPlantedName) {
  kqtest::ScopedConfig cfg;
  const std::string victim = cfg.root() + "/victim";
  kqtest::WriteFile(victim, "root only");
  ASSERT_EQ(0, ::chmod(victim.c_str(), 0600));
  const std::string store = cfg.root() + "/store/config.ini";
  kqtest::WriteFile(store, "a=1\n");

  // The name a write used to make beside the store, planted as a link.
  const std::string oldName = store + ".tmp." + std::to_string(::getpid());
  ASSERT_EQ(0, ::symlink(victim.c_str(), oldName.c_str()));
  ASSERT_TRUE(IniStore(store).set("", "a", "2"));
  EXPECT_EQ("a=2\n", kqtest::ReadFile(store));
  EXPECT_EQ("root only", kqtest::ReadFile(victim));
  EXPECT_EQ(1, CountBeginningWith(cfg.root() + "/store", "config.ini.tmp."));  // the link only

  // A link in place of the lock file is refused rather than opened.
  ASSERT_EQ(0, ::unlink((store + ".lock").c_str()));
  ASSERT_EQ(0, ::symlink(victim.c_str(), (store + ".lock").c_str()));
  EXPECT_FALSE(IniStore(store).set("", "a", "3"));
  EXPECT_EQ("a=2\n", kqtest::ReadFile(store));
  EXPECT_EQ(0600u, ModeOf(victim));
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("Refusing to write the store"));
}

TEST(StoreWrites, AreRefusedInAFolderOthersMayWriteOrSwap) {
  kqtest::ScopedConfig cfg;
  const std::string privateFolder = cfg.root() + "/private";
  kqtest::WriteFile(privateFolder + "/config.ini", "a=1\n");
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;  // makes the folder
  };
  const std::vector<Case> cases = {
      {"open to all", [](const std::string& f) { ::mkdir(f.c_str(), 0777), ::chmod(f.c_str(), 0777); }},
      {"sticky and open to all", [](const std::string& f) { ::mkdir(f.c_str(), 0700), ::chmod(f.c_str(), 01777); }},
      {"a link", [&](const std::string& f) { (void)::symlink(privateFolder.c_str(), f.c_str()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = cfg.root() + "/" + c.name;
    c.make(folder);
    EXPECT_FALSE(IniStore(folder + "/config.ini").set("", "a", "2"));
    EXPECT_EQ("a=1\n", kqtest::ReadFile(privateFolder + "/config.ini"));
    EXPECT_FALSE(Exists(folder + "/config.ini.lock"));
  }
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("Refusing to write the store"));
  // A relative store path names no particular folder: refused, nothing made below the working
  // folder.
  const std::string work = cfg.root() + "/work";
  ASSERT_EQ(0, ::mkdir(work.c_str(), 0700));
  int rc = kqtest::RunInChild([&] { return ::chdir(work.c_str()) == 0; }, 2,
                              [] { return IniStore("sub/config.ini").set("", "a", "1") ? 1 : 0; });
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(kqtest::TreeManifest(work).empty());
}

TEST(StoreWrites, WaitForAHeldLockOnlySoLong) {
  kqtest::ScopedConfig cfg;
  const std::string lockPath = cfg.configPath() + ".lock";
  cfg.set("S", "k", "1");  // makes the lock file
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t holder = ::fork();
  if (holder == 0) {
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) _exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(1, ::read(ready[0], &ok, 1));
  ::close(ready[0]);
  ASSERT_EQ('y', ok);

  IniStore::SetLockWait(300);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(IniStore::Default().set("S", "k", "2"));
  const auto waited = std::chrono::steady_clock::now() - start;
  IniStore::SetLockWait(-1);
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("Cannot lock the store"));

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(IniStore::Default().set("S", "k", "3"));
  std::string v;
  EXPECT_TRUE(IniStore::Default().get("S", "k", v));
  EXPECT_EQ("3", v);
}

// ---- Lock files -----------------------------------------------------------------------------

// Planted by user 65534 in a child with its own /tmp: 0 when the lock file at `path` can be
// neither opened nor held, 1 when it could be held, 2 when it could be opened only.
int TryToHoldAsAnotherUser(const std::string& keep, const std::string& path) {
  return kqtest::RunWithPrivateTmp(keep, [&] {
    return kqtest::RunUnprivileged([&] {
      int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return 0;
      return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 2;
    });
  });
}

TEST(LockFiles, AreTheOwnersAloneSoNoOtherUserCanHoldThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant as another user";
  kqtest::ScopedConfig cfg;
  const std::string home = cfg.root() + "/home";
  cfg.set("NamedMutex", "dLockFolder", cfg.root() + "/mutex");
  cfg.set("Base", "dHOME", home);
  // Another user may pass through the test's folder, as through any install folder.
  ASSERT_EQ(0, ::chmod(cfg.root().c_str(), 0711));

  struct Case {
    const char* name;
    std::function<std::string()> take;  // takes and gives back the lock; its lock file
    const char* folderMode;             // the mode its folder must have, "" when not ours to set
  };
  const std::vector<Case> cases = {
      {"store", [&] { cfg.set("S", "k", "v"); return cfg.configPath() + ".lock"; }, ""},
      {"named mutex",
       [] {
         KqNamedMutex m("private_lock");
         if (!m.lock(1000)) return std::string();
         m.unlock();
         return m.getLockFilePath();
       },
       "700"},
      {"software-cache guard",
       [&] {
         std::string lockFile;
         if (getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, true, false, false) != kSwCacheLockFree)
           return std::string();
         EXPECT_EQ(0600u, ModeOf(lockFile));
         ::unlink(lockFile.c_str());
         return home + "/Deployment/SwCacheLocks/Item/Locks.guard";
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.take();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(0600u, ModeOf(path));
    if (*c.folderMode) {
      EXPECT_EQ(std::strtoul(c.folderMode, nullptr, 8), ModeOf(path.substr(0, path.rfind('/'))));
    }
    int rc = TryToHoldAsAnotherUser(cfg.root(), path);
    if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
    EXPECT_EQ(0, rc) << "1: held by another user, 2: opened by another user";

    // One left readable by others (by an older version) is made private again on its next use.
    ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
    ASSERT_FALSE(c.take().empty());
    EXPECT_EQ(0600u, ModeOf(path));
  }
}

// ---- Folders named by the configuration or the environment ----------------------------------

// Named mutexes with no folder configured but what each case sets.
class ConfiguredFolders : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("KQ_MUTEX_DIR"); }
  void TearDown() override { ::unsetenv("KQ_MUTEX_DIR"); }

  // Takes a mutex twice in a child working in a fresh folder `work`, its standard error in
  // `errors`: 0 when both attempts were refused, 1 when one succeeded.
  int LockInChild(const std::string& work, const std::string& errors) {
    ::mkdir(work.c_str(), 0700);
    auto enter = [&] {
      int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      return fd >= 0 && ::dup2(fd, 2) == 2 && ::chdir(work.c_str()) == 0;
    };
    return kqtest::RunInChild(enter, 2, [] {
      for (int i = 0; i < 2; ++i) {
        KqNamedMutex m("configured_lock");
        if (m.lock(100)) return 1;
      }
      return 0;
    });
  }

  kqtest::ScopedConfig cfg_;
};

TEST_F(ConfiguredFolders, AreCheckedLikeTheDefaultOnes) {
  const std::string privateFolder = cfg_.root() + "/private";
  ASSERT_EQ(0, ::mkdir(privateFolder.c_str(), 0700));
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    const char* section;  // "" for $KQ_MUTEX_DIR
    const char* key;
    std::function<std::string(const std::string&)> make;  // makes the folder, gives the value
    const char* logged;
  };
  auto openToAll = [](const std::string& f) {
    ::mkdir(f.c_str(), 0777), ::chmod(f.c_str(), 0777);
    return f;
  };
  auto link = [&](const std::string& f) {
    (void)::symlink(privateFolder.c_str(), f.c_str());
    return f;
  };
  auto othersOwn = [&](const std::string& f) {
    ::mkdir(f.c_str(), 0700), (void)::chown(f.c_str(), kNobody, kNobody);
    return f;
  };
  auto relative = [](const std::string&) { return std::string("locks"); };
  std::vector<Case> cases = {
      {"dLockFolder open to all", "NamedMutex", "dLockFolder", openToAll, "is writable by other users"},
      {"dLockFolder a link", "NamedMutex", "dLockFolder", link, "is a symbolic link"},
      {"dLockFolder relative", "NamedMutex", "dLockFolder", relative, "Refusing the relative lock folder"},
      {"KQ_MUTEX_DIR open to all", "", "", openToAll, "is writable by other users"},
      {"KQ_MUTEX_DIR a link", "", "", link, "is a symbolic link"},
      {"KQ_MUTEX_DIR relative", "", "", relative, "is not an absolute path"},
      {"dHOME relative", "Base", "dHOME", relative, "of Base/dHOME is not an absolute path"},
  };
  if (root) {
    cases.push_back({"dLockFolder another user's", "NamedMutex", "dLockFolder", othersOwn, "is owned by user"});
  }
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string value = c.make(cfg_.root() + "/folder" + std::to_string(++n));
    if (*c.section) {
      cfg_.set(c.section, c.key, value);
    } else {
      ::setenv("KQ_MUTEX_DIR", value.c_str(), 1);
    }
    const std::string work = cfg_.root() + "/work" + std::to_string(n);
    const std::string errors = cfg_.root() + "/stderr" + std::to_string(n);
    EXPECT_EQ(0, LockInChild(work, errors));
    EXPECT_TRUE(kqtest::TreeManifest(work).empty());  // nothing below the working folder
    EXPECT_TRUE(kqtest::TreeManifest(privateFolder).empty());
    EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find(c.logged));
    const std::string said = kqtest::ReadFile(errors);
    EXPECT_EQ(0u, said.find("KqNamedMutex: refusing the lock folder")) << said;
    EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << said;
    if (*c.section) {
      KQPlatformInfo().deleteValue(c.section, c.key);
    } else {
      ::unsetenv("KQ_MUTEX_DIR");
    }
  }
  // The install folder of the Hubnode is refused as well when relative.
  cfg_.set("Base", "dHOME", "opt/product");
  std::string install;
  EXPECT_NE(0, KQClient(2).getInstallDirectory(install, 1, nullptr));
  EXPECT_TRUE(install.empty());

  // A folder that passes is made private.
  ::setenv("KQ_MUTEX_DIR", (cfg_.root() + "/made/locks").c_str(), 1);
  EXPECT_EQ(1, LockInChild(cfg_.root() + "/work-ok", cfg_.root() + "/stderr-ok"));
  EXPECT_EQ(0700u, ModeOf(cfg_.root() + "/made/locks"));
}

// ---- A store that exists but is refused ----------------------------------------------------

// In a child whose store is `store`, private state below `xdg`, standard error in `errors`:
// what it got, of 1 a database, 2 a named mutex, 4 a software-cache lock, 8 the deletion of an
// appliance file below cache root `cache`, 16 a state folder; and 32 when a refusal does not
// name the store.
int TakeWhatTheStoreConfigures(const std::string& store, const std::string& xdg,
                               const std::string& errors, const std::string& cache) {
  auto enter = [&] {
    ::unsetenv("KQ_MUTEX_DIR"), ::unsetenv("KQ_LOG_DIR");
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    return ::dup2(fd, 2) == 2 && ::setenv("KQ_CONFIG", store.c_str(), 1) == 0 &&
           ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1) == 0;
  };
  return kqtest::RunInChild(enter, 64, [&] {
    using namespace UpdatePatches;
    std::string err, folder, lockFile;
    int got = kq::db::ThreadSession(err) ? 1 : err.find(store) == std::string::npos ? 32 : 0;
    KqNamedMutex mutex("site");
    got |= (mutex.lock(0) ? 2 : 0) |
           (getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, true, false, false) != 4 ? 4 : 0);
    CacheOpReq req;
    RemClientInfo info;
    info.setstring(RemClientInfo::kCachePath, cache);
    req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    File file;
    file.setstring(File::kName, "KQAppliance\\Windows\\w.msi");
    CNMessageBase files(23, 177);
    files.setlistobject(ApplianceFilesInfo::kFiles, std::vector<CNMessageBase>{file});
    req.setObjectAccessor(CacheOpReq::kApplianceFiles, files);
    got |= KQUpdateCache(7, false).DeleteLocalCacheApplianceContents(req) ? 8 : 0;
    kq::ScopedFd state(kq::OpenStateFolder("Database", folder, err));
    got |= state.valid() ? 16 : err.find(store) == std::string::npos ? 32 : 0;
    EvDebug().Debug("[site]", "a line of the site");
    return got;
  });
}

// A site's store names its install folder, database server, cache fence and log folder. Once
// its folder is group-writable, its file writable by group or others (or the file another
// user's), the next process gets nothing it configures, and no absent store's default in its
// place; an absent store gives the defaults.
TEST(RefusedStore, ConfiguresNothingInItsPlace) {
  kqtest::ScopedConfig cfg;
  const std::string at = cfg.root(), site = at + "/site", store = site + "/config.ini";
  const std::string xdg = at + "/xdg", errors = at + "/stderr", other = at + "/other";
  const std::string victim = other + "/KQAppliance/Windows/w.msi";
  std::string err;  // of the first runs
  kqtest::WriteFile(store, "[Base]\ndHOME=" + at + "/home\n[SoftwareCache]\ndHOME=" + at +
                               "/cache\n[Database]\nsConnectionString=host=" + at +
                               "/pg\n[Logging]\ndLogFolder=" + at + "/logs2\n");
  kqtest::WriteFile(victim, "keep");
  ASSERT_EQ(0, ::chmod(site.c_str(), 0755) | ::chmod(store.c_str(), 0600) |
                   ::mkdir(xdg.c_str(), 0700));
  // Each case refuses the store (true) or trusts it again (false).
  std::vector<std::function<int(bool)>> cases = {
      [&](bool refuse) { return ::chmod(site.c_str(), refuse ? 0775 : 0755); },
      [&](bool refuse) { return ::chmod(store.c_str(), refuse ? 0664 : 0644); },
      [&](bool refuse) { return ::chmod(store.c_str(), refuse ? 0666 : 0600); }};
  if (::geteuid() == 0)
    cases.push_back([&](bool refuse) { return ::chown(store.c_str(), refuse ? kNobody : 0, 0); });
  auto useStore = [&] { return ::setenv("KQ_CONFIG", store.c_str(), 1) == 0; };
  auto firstRun = [&] { return KQPlatformInfo().getString("Base", "dHOME", err) ? 0 : 1; };
  for (const auto& refuse : cases) {
    EXPECT_EQ(0, kqtest::RunInChild(useStore, 2, firstRun));
    ASSERT_EQ(0, refuse(true));
    EXPECT_EQ(0, TakeWhatTheStoreConfigures(store, xdg, errors, other));
    ASSERT_EQ(0, refuse(false));
    const std::string said = kqtest::ReadFile(errors);
    EXPECT_NE(std::string::npos, said.find("[" + store + "]")) << said;
    EXPECT_NE(std::string::npos, said.find("a line of the site")) << said;
    EXPECT_TRUE(kqtest::TreeManifest(xdg).empty());
    EXPECT_FALSE(Exists(at + "/home") || Exists(at + "/logs2"));
    EXPECT_EQ("keep", kqtest::ReadFile(victim));
  }
  const std::string absent = at + "/none/config.ini";
  EXPECT_EQ(1 | 2 | 8 | 16, TakeWhatTheStoreConfigures(absent, xdg, errors, other));
  EXPECT_TRUE(Exists(xdg + "/kqpatches/Database"));
  EXPECT_FALSE(Exists(victim));
}

// A link that leads nowhere on the way to the store (an unmounted share, a folder moved away)
// or in the file's place, whoever owns it, is a store that exists and is refused, never an
// absent one: nothing it configures falls back to a default, and nothing is made in its
// target's place. Only a real folder lacking the next name is an absent store.
TEST(RefusedStore, ALinkThatLeadsNowhereIsRefusedNotAbsent) {
  kqtest::ScopedConfig cfg;
  const std::string at = cfg.root(), xdg = at + "/xdg", errors = at + "/stderr";
  const std::string other = at + "/other", victim = other + "/KQAppliance/Windows/w.msi";
  kqtest::WriteFile(victim, "keep");
  ASSERT_EQ(0, ::mkdir(xdg.c_str(), 0700) | ::mkdir((at + "/site").c_str(), 0755) |
                   ::symlink((at + "/share/kq").c_str(), (at + "/linked").c_str()) |
                   ::symlink((at + "/moved").c_str(), (at + "/up").c_str()) |
                   ::symlink("gone.ini", (at + "/site/config.ini").c_str()));
  struct Case {
    std::string store, said;
  };
  std::vector<Case> cases = {
      {at + "/linked/config.ini", "[" + at + "/linked] is a symbolic link"},
      {at + "/up/etc/config.ini", "[" + at + "/up] is a symbolic link that leads nowhere: [" +
                                      at + "/moved] does not exist"},
      {at + "/site/config.ini", "[" + at + "/site/config.ini] is a symbolic link"}};
  if (::geteuid() == 0) {  // another user's dangling link above the store
    ASSERT_EQ(0, ::symlink((at + "/theirs").c_str(), (at + "/their-link").c_str()) |
                     ::lchown((at + "/their-link").c_str(), kNobody, kNobody));
    cases.push_back({at + "/their-link/etc/config.ini", "is a symbolic link of user 65534"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.store);
    EXPECT_EQ(0, TakeWhatTheStoreConfigures(c.store, xdg, errors, other));
    const std::string said = kqtest::ReadFile(errors);
    EXPECT_NE(std::string::npos, said.find("[" + c.store + "]")) << said;
    EXPECT_NE(std::string::npos, said.find(c.said)) << said;
    EXPECT_TRUE(kqtest::TreeManifest(xdg).empty());
    EXPECT_EQ("keep", kqtest::ReadFile(victim));
    EXPECT_FALSE(IniStore(c.store).set("S", "k", "v"));  // nor is its target made by a write
  }
  EXPECT_FALSE(Exists(at + "/share") || Exists(at + "/moved") || Exists(at + "/site/gone.ini"));
  EXPECT_EQ(1 | 2 | 8 | 16, TakeWhatTheStoreConfigures(at + "/site/none/config.ini", xdg, errors,
                                                       other));
}

// ---- Files whose content or lock is trusted ------------------------------------------------

// A lock file or database file that group or others may write is refused, as its folder would
// be, and left as it is; one that others may only read is used (a lock file made private).
TEST(TrustedFiles, OnesThatOthersMayWriteAreRefused) {
  kqtest::ScopedConfig cfg;
  const std::string home = cfg.root() + "/home", db = cfg.root() + "/db/Hubnode.db";
  cfg.set("NamedMutex", "dLockFolder", cfg.root() + "/mutex");
  cfg.set("Base", "dHOME", home);
  cfg.set("Database", "sPath", db);
  ::unsetenv("KQ_MUTEX_DIR");
  struct Case {
    const char* name;
    std::string file;
    std::function<bool()> use;
  };
  const std::vector<Case> cases = {
      {"store lock", cfg.configPath() + ".lock", [&] { return IniStore::Default().set("S", "k", "v"); }},
      {"named mutex", cfg.root() + "/mutex/" + KqNamedMutex::lockFileName("trusted_files"),
       [] {
         KqNamedMutex m("trusted_files");
         const bool held = m.lock(100);
         if (held) m.unlock();
         return held;
       }},
      {"software-cache guard", home + "/Deployment/SwCacheLocks/Item/Locks.guard",
       [] {
         std::string lockFile;
         return getLockOnSwCache(QU_WRITE_LOCK, "Item", lockFile, 5, true, false, false) ==
                    kSwCacheLockFree &&
                ::unlink(lockFile.c_str()) == 0;
       }},
      {"database file", db,
       [] {
         kq::db::CloseThreadSessions();
         std::string err;
         return kq::db::ThreadSession(err) != nullptr;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.use());
    for (unsigned mode : {0664u, 0666u, 0620u}) {
      ASSERT_EQ(0, ::chmod(c.file.c_str(), mode));
      EXPECT_FALSE(c.use()) << std::oct << mode;
      EXPECT_EQ(mode, ModeOf(c.file));
    }
    ASSERT_EQ(0, ::chmod(c.file.c_str(), 0644));
    EXPECT_TRUE(c.use());
  }
  kq::db::CloseThreadSessions();
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("[" + db + "] is writable by other users"));
}

}  // namespace

// ---- A level above a configured folder, planted by another user ---------------------------

// In a private /tmp, another user (65534) makes /tmp/shared first: a link to a folder of theirs
// (/tmp/theirs) or a real folder of theirs, each holding a store of theirs at etc/config.ini.
// The service's log, lock and store folders below /tmp/shared are all refused, and nothing is
// read from or written into what the other user made.
TEST(ConfiguredLevels, AnotherUsersLevelAboveEachFolderIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  kqtest::ScopedConfig cfg;
  const std::string ownStore = cfg.configPath();
  const int rc = kqtest::RunWithPrivateTmp(cfg.root(), [&] {
    int failed = 0;
    for (int kind = 0; kind < 3; ++kind) {
      for (bool asLink : {true, false}) {
        kq::RemoveTreeNoFollow("/tmp/shared", nullptr);
        kq::RemoveTreeNoFollow("/tmp/theirs", nullptr);
        const std::string theirs = asLink ? "/tmp/theirs" : "/tmp/shared";
        const int planted = kqtest::RunUnprivileged([&] {
          if (::mkdir(theirs.c_str(), 0755) != 0) return 1;
          if (asLink && ::symlink("/tmp/theirs", "/tmp/shared") != 0) return 1;
          kqtest::WriteFile(theirs + "/etc/config.ini", "[S]\nk=theirs\n");
          return 0;
        });
        if (planted != 0) return 100;
        const auto before = kqtest::TreeManifest(theirs);
        bool used = false;
        if (kind == 0) {
          cfg.set("Logging", "dLogFolder", "/tmp/shared/logs");
          EvDebug().DebugLvl("[planted]", 0, "a line for the log");
        } else if (kind == 1) {
          cfg.set("NamedMutex", "dLockFolder", "/tmp/shared/locks");
          KqNamedMutex m("planted");
          used = m.lock(0);
          if (used) m.unlock();
        } else {
          ::setenv("KQ_CONFIG", "/tmp/shared/etc/config.ini", 1);
          std::string value;
          used = KQPlatformInfo().getString("S", "k", value) ||
                 KQPlatformInfo().setString("S", "k", "root's");
          ::setenv("KQ_CONFIG", ownStore.c_str(), 1);
        }
        if (used || kqtest::TreeManifest(theirs) != before) failed |= 1 << (kind * 2 + asLink);
      }
    }
    // A log file of another user in the service's own folder is not written either.
    kqtest::WriteFile("/tmp/own/logs/KqPatches.log", "");
    ::chmod("/tmp/own/logs", 0700);
    if (::chown("/tmp/own/logs/KqPatches.log", kNobody, kNobody) != 0) return 101;
    cfg.set("Logging", "dLogFolder", "/tmp/own/logs");
    EvDebug().DebugLvl("[planted]", 0, "a line for the log");
    if (!kqtest::ReadFile("/tmp/own/logs/KqPatches.log").empty()) failed |= 1 << 6;
    return failed;
  });
  if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(0, rc) << "bit 2*kind+link: 0 log, 1 lock, 2 store; bit 6: another user's log file";
}

// Another user flips /tmp/shared between root's folder and one of theirs holding a log file any
// user may write, while the service starts again and again: it never writes into theirs.
TEST(ConfiguredLevels, AFlippingLevelNeverLeadsTheLogIntoAnotherUsersFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  kqtest::ScopedConfig cfg;
  const int rc = kqtest::RunWithPrivateTmp(cfg.root(), [&] {
    if (::mkdir("/tmp/rootside", 0755) != 0 || ::mkdir("/tmp/rootside/logs", 0700) != 0) return 100;
    const int planted = kqtest::RunUnprivileged([] {
      kqtest::WriteFile("/tmp/theirside/logs/KqPatches.log", "");
      return ::chmod("/tmp/theirside/logs", 0777) == 0 &&
                     ::chmod("/tmp/theirside/logs/KqPatches.log", 0666) == 0 &&
                     ::symlink("/tmp/rootside", "/tmp/shared") == 0
                 ? 0
                 : 1;
    });
    if (planted != 0) return 101;
    cfg.set("Logging", "dLogFolder", "/tmp/shared/logs");
    const pid_t flipper = ::fork();
    if (flipper == 0) {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(1);
      for (unsigned i = 0;; ++i) {
        ::unlink("/tmp/shared.new");
        if (::symlink(i % 2 ? "/tmp/rootside" : "/tmp/theirside", "/tmp/shared.new") == 0)
          ::rename("/tmp/shared.new", "/tmp/shared");
      }
    }
    for (int session = 0; session < 300; ++session) {
      const pid_t child = ::fork();
      if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (quiet >= 0) ::dup2(quiet, 2);  // each session tells its refusal once
        EvDebug().DebugLvl("[session]", 0, "session %d", session);
        ::_exit(0);
      }
      int status = 0;
      ::waitpid(child, &status, 0);
    }
    ::kill(flipper, SIGKILL);
    ::waitpid(flipper, nullptr, 0);
    return kqtest::ReadFile("/tmp/theirside/logs/KqPatches.log").empty() ? 0 : 1;
  });
  if (rc == kqtest::kPrivateTmpUnavailable) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(0, rc);
}
