// Deleting cache contents on request, on real cache trees with a sentinel tree beside the cache
// that no request may touch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "CachePaths.h"
#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "KQUpdateCache.h"
#include "Jail.h"
#include "KqTestEnv.h"
#include "LockHelpers.h"
#include "Unprivileged.h"
#include "Vocabulary.h"

namespace {

namespace fs = std::filesystem;
using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::ApplianceFilesInfo;
using UpdatePatches::BinaryV11;
using UpdatePatches::CacheOpReq;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

bool Exists(const std::string& p) {
  struct stat sb;
  return lstat(p.c_str(), &sb) == 0;
}

std::vector<CNMessageBase> Files(const std::vector<std::string>& names) {
  std::vector<CNMessageBase> out;
  for (const std::string& n : names) {
    File f;
    f.setstring(File::kName, n);
    out.push_back(f);
  }
  return out;
}

std::vector<CNMessageBase> Media(const std::vector<std::string>& names) {
  std::vector<CNMessageBase> out;
  for (const std::string& n : names) {
    BinaryV11 b;
    b.setstring(BinaryV11::kRelativePath, n);
    out.push_back(b);
  }
  return out;
}

using kqtest::TreeManifest;

// Whether process `pid` has the file (dev, inode) open: a writer of the store opens the lock
// file only to take it, and keeps trying while another holds it.
bool HasOpen(pid_t pid, dev_t dev, ino_t inode) {
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    struct stat sb;
    if (stat(fd.path().c_str(), &sb) == 0 && sb.st_dev == dev && sb.st_ino == inode) return true;
  }
  return false;
}

// Helper process "upgrade": an upgrade that starts while a deletion is setting its flag. It holds
// the configuration store's write lock, waits until another process waits for it (the deletion
// setting "sSWCacheSyncInProgress" after it found no upgrade running), writes
// "sTallowmereUpgradeInProgress" = "yes" under that lock, as a writer of the store does, and
// lets the other writer go on. Prints "locked", then "waited" (or "timeout").
int RunHelper(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[2], "upgrade") != 0) return 2;
  const std::string store = KQPlatformInfo::storePath();
  const int fd = open((store + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) return 3;
  std::printf("locked\n");
  std::fflush(stdout);
  struct stat st;
  if (fstat(fd, &st) != 0) return 3;
  bool waited = false;
  for (int i = 0; i < 2000 && !(waited = HasOpen(getppid(), st.st_dev, st.st_ino)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kqconfig::IniData data = kqconfig::IniData::parse(kqtest::ReadFile(store));
  data.set("Tapewright", "sTallowmereUpgradeInProgress", "yes");
  const std::string tmp = store + ".upgrade";
  kqtest::WriteFile(tmp, data.serialize());
  if (rename(tmp.c_str(), store.c_str()) != 0) return 4;
  close(fd);
  std::printf(waited ? "waited\n" : "timeout\n");
  std::fflush(stdout);
  kqtest::WaitForEndOfInput();
  return 0;
}

class DeleteOnRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
    root_ = config_.root() + "/cache";
    sentinel_ = config_.root() + "/sentinel";
    addSync_ = config_.root() + "/addsync";
    kqtest::WriteFile(sentinel_ + "/x", "keep");
    kqtest::WriteFile(sentinel_ + "/SP9/Updates/u.exe", "keep");
    ASSERT_EQ(0, mkdir((sentinel_ + "/empty").c_str(), 0755));
    ASSERT_EQ(0, mkdir((sentinel_ + "/empty/deeper").c_str(), 0755));
    before_ = TreeManifest(sentinel_);
  }
  void TearDown() override { EXPECT_EQ(before_, TreeManifest(sentinel_)) << "sentinel touched"; }

  CacheOpReq Request(const std::string& root = "") {
    CacheOpReq req;
    RemClientInfo info;
    info.setstring(RemClientInfo::kCachePath, root.empty() ? root_ : root);
    info.setstring(RemClientInfo::kAdditionalSyncPath, addSync_);
    req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    return req;
  }
  static FilesForRel Release(int id, int osId, const KqFieldId& list,
                             const std::vector<CNMessageBase>& entries) {
    FilesForRel rel;
    rel.setint64(FilesForRel::kReleaseId, id);
    FilesForOS os;
    os.setint64(FilesForOS::kOSId, osId);
    os.setlistobject(list, entries);
    rel.setlistobject(FilesForRel::kOSList, std::vector<CNMessageBase>{os});
    return rel;
  }
  static void SetReleases(CacheOpReq& req, const std::vector<FilesForRel>& rels) {
    req.setlistobject(CacheOpReq::kReleases, std::vector<CNMessageBase>(rels.begin(), rels.end()));
  }
  static void SetObject(CacheOpReq& req, const KqFieldId& object, int id,
                        const std::vector<std::string>& names) {
    CNMessageBase holder(23, id);
    holder.setlistobject(AdditionalSyncFilesList::kFiles, Files(names));
    req.setObjectAccessor(object, holder);
  }
  // The tree below `root`, by paths relative to it.
  static std::map<std::string, std::string> Relative(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : TreeManifest(root))
      out[entry.first.substr(root.size())] = entry.second;
    return out;
  }
  // The tree `copy` is left as after its systems were deleted one request each, in order, until
  // the first that fails: each one's folder pruned right after it. `succeeded` (when not null)
  // tells whether none failed.
  std::map<std::string, std::string> OneSystemAtATime(const std::string& copy,
                                                      const std::vector<FilesForRel>& systems,
                                                      long long operation = 0,
                                                      bool* succeeded = nullptr) {
    bool ok = true;
    for (const FilesForRel& rel : systems) {
      CacheOpReq single = Request(copy);
      single.setint64(CacheOpReq::kOperationCode, operation);
      SetReleases(single, {rel});
      if (!(ok = cache_.DeleteLocalCacheContents(single))) break;
    }
    if (succeeded != nullptr) *succeeded = ok;
    return Relative(copy);
  }
  std::string InstallFolder(int rel, int os) {
    std::string path = root_;
    EXPECT_TRUE(FindInstallUpdPathForOS(rel, os, path));
    return path;
  }

  kqtest::ScopedConfig config_;
  KQUpdateCache cache_{7, false};
  std::string root_, sentinel_, addSync_;
  std::map<std::string, std::string> before_;
};

TEST_F(DeleteOnRequest, ExactlyTheNamedFilesGoAndEmptyFoldersAfterThem) {
  const std::string base = InstallFolder(15, 1);
  kqtest::WriteFile(base + "/ServicePacks/SP2/fr/a.dll", "a");
  kqtest::WriteFile(base + "/ServicePacks/SP2/b.dll", "b");
  kqtest::WriteFile(base + "/ServicePacks/SP1/a.dll", "old");
  kqtest::WriteFile(base + "/Updates/u1.exe", "u");
  kqtest::WriteFile(base + "/Updates/u2.exe", "");
  kqtest::WriteFile(base + "/setup.exe", "s");
  kqtest::WriteFile(base + "/other.exe", "o");
  const std::string media = root_ + "/KQMedia/11.0.0/Windows";
  kqtest::WriteFile(media + "/p/m1.bin", "m");
  kqtest::WriteFile(media + "/m2.bin", "m");
  kqtest::WriteFile(addSync_ + "/s/one.txt", "1");
  kqtest::WriteFile(addSync_ + "/two.txt", "2");
  kqtest::WriteFile(root_ + "/KQAppliance/Windows/w.msi", "w");
  kqtest::WriteFile(root_ + "/KQAppliance/Unix/keep.rpm", "");

  CacheOpReq req = Request();
  FilesForRel old = Release(15, 1, FilesForOS::kSPFiles, Files({"fr\\a.dll", "missing.dll"}));
  CNMessageBase& os = (*old.getlistobject(FilesForRel::kOSList))[0];
  os.setlistobject(FilesForOS::kLooseUpdateFiles, Files({"u1.exe"}));
  os.setlistobject(FilesForOS::kInstallerFiles, Files({"setup.exe"}));
  SetReleases(req, {old, Release(16, 3, FilesForOS::kMediaFiles, Media({"p/m1.bin"}))});
  SetObject(req, CacheOpReq::kAdditionalSyncFiles, 160, {"s/one.txt"});
  SetObject(req, CacheOpReq::kApplianceFiles, 177, {"KQAppliance\\Windows\\w.msi"});

  ASSERT_TRUE(cache_.DeleteLocalCacheContents(req));
  for (const char* gone : {"/ServicePacks/SP2/fr", "/Updates/u1.exe", "/setup.exe"})
    EXPECT_FALSE(Exists(base + gone)) << gone;
  for (const char* kept : {"/ServicePacks/SP2/b.dll", "/ServicePacks/SP1/a.dll", "/Updates/u2.exe",
                           "/other.exe"})
    EXPECT_TRUE(Exists(base + kept)) << kept;
  EXPECT_FALSE(Exists(media + "/p"));
  EXPECT_TRUE(Exists(media + "/m2.bin"));
  EXPECT_NE(kqtest::ReadFile(config_.logFile())
                .find("Deleted empty directory [" + base + "/ServicePacks/SP2/fr]"),
            std::string::npos);
  EXPECT_FALSE(Exists(addSync_ + "/s"));
  EXPECT_TRUE(Exists(addSync_ + "/two.txt"));
  EXPECT_FALSE(Exists(root_ + "/KQAppliance/Windows"));
  EXPECT_TRUE(Exists(root_ + "/KQAppliance/Unix/keep.rpm"));  // empty, but a file

  // Nothing named exists any more: a second round deletes nothing and succeeds.
  const auto after = TreeManifest(root_);
  ASSERT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_EQ(after, TreeManifest(root_));
}

TEST_F(DeleteOnRequest, FeatureReleaseFilesNeedAServicePacksFolderOnlyWhenNamed) {
  const std::string base = InstallFolder(15, 1);
  kqtest::WriteFile(base + "/Updates/u1.exe", "u");
  CacheOpReq req = Request();
  SetReleases(req, {Release(15, 1, FilesForOS::kLooseUpdateFiles, Files({"u1.exe"}))});
  EXPECT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_FALSE(Exists(base + "/Updates/u1.exe"));
  SetReleases(req, {Release(15, 1, FilesForOS::kSPFiles, Files({"a.dll"}))});
  EXPECT_FALSE(cache_.DeleteLocalCacheContents(req));
}

TEST_F(DeleteOnRequest, HostileRequestsTouchNothingOutsideTheCache) {
  const std::string base = InstallFolder(15, 1);
  kqtest::WriteFile(base + "/Updates/keep.exe", "k");
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Unix/keep.bin", "k");
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/SP1_0_R1/keep", "k");
  kqtest::WriteFile(addSync_ + "/keep", "k");
  // Links from inside the cache to the sentinel: a named link, a linked folder, empty folders
  // behind a link, a linked appliance folder.
  ASSERT_EQ(0, symlink((sentinel_ + "/x").c_str(), (base + "/Updates/x-link").c_str()));
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (base + "/Updates/linked").c_str()));
  ASSERT_EQ(0, symlink((sentinel_ + "/empty").c_str(), (root_ + "/KQMedia/empties").c_str()));
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (root_ + "/KQAppliance").c_str()));
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (root_ + "/KQMedia/11.0.0/SPlink").c_str()));

  const std::vector<std::string> names = {"../x", "..\\x", "a/../../x", "/etc/x", "", ".",
                                          "KQAppliance\\..\\..\\x", "../../sentinel/x",
                                          sentinel_ + "/x", "linked/x", "linked/SP9"};
  CacheOpReq req = Request();
  FilesForRel rel = Release(15, 1, FilesForOS::kLooseUpdateFiles, Files(names));
  (*rel.getlistobject(FilesForRel::kOSList))[0].setlistobject(FilesForOS::kInstallerFiles,
                                                               Files({"Updates/linked/x"}));
  SetReleases(req, {rel});
  EXPECT_FALSE(cache_.DeleteLocalCacheContents(req));
  SetReleases(req, {Release(16, 6, FilesForOS::kMediaFiles, Media(names))});
  EXPECT_FALSE(cache_.DeleteLocalCacheContents(req));
  // OS ids without a cache folder and a release without a name fail their step.
  for (int os : {0, 5}) {
    SetReleases(req, {Release(15, os, FilesForOS::kLooseUpdateFiles, Files({"keep.exe"}))});
    EXPECT_FALSE(cache_.DeleteLocalCacheContents(req)) << os;
  }
  SetReleases(req, {Release(20, 3, FilesForOS::kMediaFiles, Media({"Unix/keep.bin"}))});
  EXPECT_FALSE(cache_.DeleteLocalCacheContents(req));
  // The same with no files named: passed over ("File list is empty"), and the request goes on.
  kqtest::WriteFile(base + "/Updates/u1.exe", "u");
  SetReleases(req, {Release(15, 0, FilesForOS::kLooseUpdateFiles, {}),
                    Release(15, 5, FilesForOS::kSPFiles, {}), Release(20, 3, FilesForOS::kMediaFiles, {}),
                    Release(20, 1, FilesForOS::kInstallerFiles, {}),
                    Release(15, 1, FilesForOS::kLooseUpdateFiles, Files({"u1.exe"}))});
  EXPECT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_FALSE(Exists(base + "/Updates/u1.exe"));
  EXPECT_NE(kqtest::ReadFile(config_.logFile()).find("File list is empty for Rel [20] OS ID [3]"),
            std::string::npos);
  // The named link goes, its target stays.
  SetReleases(req, {Release(15, 1, FilesForOS::kLooseUpdateFiles, Files({"x-link"}))});
  EXPECT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_FALSE(Exists(base + "/Updates/x-link"));

  // Roots: the file-system root and a relative one (in a child whose root is a folder of this
  // test, holding what they would name), with "..", outside the configured cache.
  const auto refusedEverywhere = [&](const std::string& bad) {
    CacheOpReq r = Request(bad);
    SetReleases(r, {Release(15, 1, FilesForOS::kLooseUpdateFiles, Files({"x", "u.exe"}))});
    bool deleted = cache_.DeleteLocalCacheContents(r);
    SetObject(r, CacheOpReq::kApplianceFiles, 177, {"x", "Windows/x"});
    deleted = cache_.DeleteLocalCacheApplianceContents(r) || deleted;
    r.setliststring(CacheOpReq::kObsoleteSPFolders, {bad + "/KQMedia/11.0.0/SP1_0_R1"});
    return !cache_.DeleteLocalObsoleteSPMediaCacheContents(r) && !deleted;
  };
  const std::string jail = config_.root() + "/jail";
  for (const std::string& top : {jail, jail + "/cache"})
    for (const std::string& rel : {base.substr(root_.size()) + "/Updates", std::string("/KQAppliance/Windows"),
                                  std::string("/KQMedia/11.0.0/SP1_0_R1"), std::string()})
      for (const char* name : {"/x", "/u.exe"}) kqtest::WriteFile(top + rel + name, "keep");
  const auto jailBefore = TreeManifest(jail);
  const int jailed = kqtest::RunJailed(jail, [&] {
    CacheOpReq r = Request();
    RemClientInfo info(*r.getObjectAccessor(CacheOpReq::kRemClientInfo));
    info.setstring(RemClientInfo::kAdditionalSyncPath, "/");
    r.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    SetObject(r, CacheOpReq::kAdditionalSyncFiles, 160, {"x"});
    const bool syncRefused = !cache_.DeleteLocalCacheAdditionalSyncContents(r);
    return refusedEverywhere("/") && refusedEverywhere("cache") && syncRefused ? 0 : 1;
  });
  if (jailed != kqtest::kJailUnavailable) {
    EXPECT_EQ(0, jailed);
  }
  EXPECT_EQ(jailBefore, TreeManifest(jail));
  EXPECT_TRUE(refusedEverywhere(root_ + "/../sentinel"));
  config_.set("SoftwareCache", "dHOME", root_);
  EXPECT_TRUE(refusedEverywhere(sentinel_));
  // Hostile names below the real additional-sync folder.
  {
    CacheOpReq s = Request();
    SetObject(s, CacheOpReq::kAdditionalSyncFiles, 160, names);
    EXPECT_FALSE(cache_.DeleteLocalCacheAdditionalSyncContents(s));
  }
  // A linked appliance folder is never deleted through.
  SetObject(req, CacheOpReq::kApplianceFiles, 177, {"KQAppliance/x", "Unix/SP9"});
  EXPECT_FALSE(cache_.DeleteLocalCacheApplianceContents(req));
  // Obsolete folders: outside "KQMedia", equal to it, one level deep, with "..", the root,
  // through a link.
  req.setliststring(CacheOpReq::kObsoleteSPFolders,
                    {sentinel_ + "/SP9", root_ + "/KQMedia", root_ + "/KQMedia/", root_ + "/KQMedia/11.0.0",
                     root_ + "/KQMedia/11.0.0/../../../sentinel", root_, root_ + "/KQMedia/11.0.0/SPlink/SP9",
                     root_ + "/KQMedia/empties/deeper"});
  EXPECT_FALSE(cache_.DeleteLocalObsoleteSPMediaCacheContents(req));
  EXPECT_TRUE(Exists(root_ + "/KQMedia/11.0.0/SP1_0_R1/keep"));
  // The link named as an obsolete folder goes as a link.
  req.setliststring(CacheOpReq::kObsoleteSPFolders,
                    {root_ + "/KQMedia/11.0.0/SPlink", root_ + "/KQMedia/11.0.0/SP1_0_R1"});
  EXPECT_TRUE(cache_.DeleteLocalObsoleteSPMediaCacheContents(req));
  EXPECT_FALSE(Exists(root_ + "/KQMedia/11.0.0/SPlink"));
  EXPECT_FALSE(Exists(root_ + "/KQMedia/11.0.0/SP1_0_R1"));
  // Pruning from the root: the empty folders behind the link stay.
  SetReleases(req, {Release(16, 3, FilesForOS::kMediaFiles, Media({"nothing"}))});
  EXPECT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_TRUE(Exists(root_ + "/KQMedia"));
  EXPECT_TRUE(Exists(base + "/Updates/keep.exe"));
  EXPECT_TRUE(Exists(addSync_ + "/keep"));
}

// The opens of the watched folder itself read from an inotify descriptor (watch closes too: the
// kernel folds an event into the one before it when the two are the same).
int Opens(int inotify) {
  int opens = 0;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = read(inotify, buffer, sizeof buffer)) > 0;) {
    for (char* at = buffer; at < buffer + n;) {
      const inotify_event* e = reinterpret_cast<const inotify_event*>(at);
      opens += (e->mask & IN_OPEN) && (e->mask & IN_ISDIR) && e->len == 0;
      at += sizeof(inotify_event) + e->len;
    }
  }
  return opens;
}

TEST_F(DeleteOnRequest, EmptyFoldersArePrunedOncePerRequestAsAfterEachSystem) {
  // Media of twelve systems (all pruned from the cache root) and loose updates of two installed
  // systems, one between the media systems and one after them.
  std::vector<FilesForRel> whole;
  for (int os : {1, 3, 5, 6, 7, 8, -1, 9, 10, 11, 12, 13, 14, -3}) {  // -n: loose updates of n
    const std::string name = "os" + std::to_string(os) + "/f.bin";
    if (os < 0) {
      std::string base = root_;
      ASSERT_TRUE(FindInstallUpdPathForOS(15, -os, base));
      kqtest::WriteFile(base + "/Updates/sub/u.exe", "u");
      whole.push_back(Release(15, -os, FilesForOS::kLooseUpdateFiles, Files({"sub/u.exe"})));
      continue;
    }
    kqtest::WriteFile(root_ + "/KQMedia/11.0.0/" + (IsUnix(os) ? "Unix/" : "Windows/") + name, "m");
    whole.push_back(Release(16, os, FilesForOS::kMediaFiles, Media({name})));
  }
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Windows/keep/k.bin", "k");
  ASSERT_EQ(0, mkdir((root_ + "/stale").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root_ + "/stale/deeper").c_str(), 0755));
  const std::string copy = config_.root() + "/copy";
  fs::copy(root_, copy, fs::copy_options::recursive);

  const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(inotify, (root_ + "/KQMedia/11.0.0/Windows/keep").c_str(),
                              IN_OPEN | IN_CLOSE_NOWRITE), 0);
  CacheOpReq req = Request();
  SetReleases(req, whole);
  ASSERT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_EQ(Opens(inotify), 1);  // the cache was walked once
  close(inotify);

  // The same systems one request each leave the same tree.
  EXPECT_EQ(Relative(root_), OneSystemAtATime(copy, whole));
  EXPECT_FALSE(Exists(root_ + "/stale"));
  EXPECT_FALSE(Exists(root_ + "/KQMedia/11.0.0/Unix"));
  EXPECT_TRUE(Exists(root_ + "/KQMedia/11.0.0/Windows/keep/k.bin"));
}

// A system that reads the tree after others that prune the same folders (the highest feature
// release of its "ServicePacks" folder) finds what pruning after each of them would have left:
// an empty newer feature-release folder is gone by then, and the named file is deleted from the
// highest one that holds files.
TEST_F(DeleteOnRequest, AFeatureReleaseReadAfterOtherSystemsSeesTheirFoldersPruned) {
  const std::string copy = config_.root() + "/copy";
  const auto emptyNewerFeatureRelease = [](const std::string& servicePacks) {
    kqtest::WriteFile(servicePacks + "/SP4/a.dll", "a");
    kqtest::WriteFile(servicePacks + "/SP4/b.dll", "b");
    ASSERT_EQ(0, mkdir((servicePacks + "/SP5").c_str(), 0755));
  };
  // Operation 9 deletes below the cache root: the loose file's system prunes the root.
  emptyNewerFeatureRelease(root_ + "/ServicePacks");
  kqtest::WriteFile(root_ + "/Updates/x.exe", "x");
  fs::copy(root_, copy, fs::copy_options::recursive);
  const std::vector<FilesForRel> operation9 = {
      Release(15, 1, FilesForOS::kLooseUpdateFiles, Files({"x.exe"})),
      Release(15, 3, FilesForOS::kSPFiles, Files({"a.dll"}))};
  CacheOpReq req = Request();
  req.setint64(CacheOpReq::kOperationCode, 9);
  SetReleases(req, operation9);
  ASSERT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_FALSE(Exists(root_ + "/ServicePacks/SP4/a.dll"));
  EXPECT_EQ(Relative(root_), OneSystemAtATime(copy, operation9, 9));

  // Media of release 16 prune the root, release 15's feature release is read in between.
  fs::remove_all(root_);
  fs::remove_all(copy);
  const std::string base = InstallFolder(15, 1);
  emptyNewerFeatureRelease(base + "/ServicePacks");
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Windows/p/m1.bin", "m");
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Unix/q/m2.bin", "m");
  fs::copy(root_, copy, fs::copy_options::recursive);
  const std::vector<FilesForRel> mixed = {
      Release(16, 3, FilesForOS::kMediaFiles, Media({"p/m1.bin"})),
      Release(15, 1, FilesForOS::kSPFiles, Files({"a.dll"})),
      Release(16, 6, FilesForOS::kMediaFiles, Media({"q/m2.bin"}))};
  req = Request();
  SetReleases(req, mixed);
  ASSERT_TRUE(cache_.DeleteLocalCacheContents(req));
  EXPECT_FALSE(Exists(base + "/ServicePacks/SP4/a.dll"));
  EXPECT_TRUE(Exists(base + "/ServicePacks/SP4/b.dll"));
  EXPECT_EQ(Relative(root_), OneSystemAtATime(copy, mixed));
}

// A system that fails after removing files leaves the folders it emptied, as it would after
// systems that each pruned at once: nothing prunes after it but its failed list, which prunes
// its own folder.
TEST_F(DeleteOnRequest, AFailingSystemKeepsWhatItsRemovalsEmptied) {
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Windows/p/m1.bin", "m");
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Windows/keep.bin", "k");
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Unix/u/f.bin", "u");
  ASSERT_EQ(0, mkdir((root_ + "/stale").c_str(), 0755));
  const std::string base = InstallFolder(15, 1);
  kqtest::WriteFile(base + "/ServicePacks/SP4/fr/a.dll", "a");
  kqtest::WriteFile(base + "/Updates/u.exe", "u");
  const std::string copy = config_.root() + "/copy";
  fs::copy(root_, copy, fs::copy_options::recursive);
  FilesForRel install = Release(15, 1, FilesForOS::kSPFiles, Files({"fr/a.dll"}));
  (*install.getlistobject(FilesForRel::kOSList))[0].setlistobject(
      FilesForOS::kLooseUpdateFiles, Files({"u.exe", "../x"}));
  // Each failing system after media of release 16, which prune the root after the last one.
  const auto failAfterMedia = [&](const FilesForRel& failing) {
    const std::vector<FilesForRel> systems = {
        Release(16, 3, FilesForOS::kMediaFiles, Media({"p/m1.bin"})), failing,
        Release(16, 7, FilesForOS::kMediaFiles, Media({"v/g.bin"}))};
    CacheOpReq req = Request();
    SetReleases(req, systems);
    EXPECT_FALSE(cache_.DeleteLocalCacheContents(req));
    EXPECT_EQ(Relative(root_), OneSystemAtATime(copy, systems));
  };
  failAfterMedia(Release(16, 6, FilesForOS::kMediaFiles, Media({"u/f.bin", "../x"})));
  EXPECT_TRUE(Exists(root_ + "/KQMedia/11.0.0/Unix"));
  EXPECT_FALSE(Exists(root_ + "/KQMedia/11.0.0/Unix/u"));
  EXPECT_FALSE(Exists(root_ + "/KQMedia/11.0.0/Windows/p"));
  EXPECT_FALSE(Exists(root_ + "/stale"));
  failAfterMedia(install);
  EXPECT_TRUE(Exists(base + "/ServicePacks/SP4/fr"));
  EXPECT_FALSE(Exists(base + "/ServicePacks/SP4/fr/a.dll"));
  EXPECT_FALSE(Exists(base + "/Updates/u.exe"));
}

// Removals made since a folder was last pruned, by any system up to the failing one, keep the
// folders they emptied; once a later system prunes it again, they no longer do.
TEST_F(DeleteOnRequest, AFailingSystemKeepsWhatRemovalsSinceTheLastPruneEmptied) {
  const std::string base = InstallFolder(15, 1);
  const std::string copy = config_.root() + "/copy";
  const auto media = [this](const std::string& name) {
    return Release(16, 1, FilesForOS::kMediaFiles, Media({name}));
  };
  const FilesForRel installer = Release(15, 1, FilesForOS::kInstallerFiles, Files({"setup.exe"}));
  for (const std::vector<FilesForRel>& systems :
       {std::vector<FilesForRel>{media("nope.bin"), installer, media("../x")},
        std::vector<FilesForRel>{media("nope.bin"), installer, media("no.bin"), media("../x")}}) {
    fs::remove_all(root_);
    fs::remove_all(copy);
    kqtest::WriteFile(base + "/setup.exe", "s");
    fs::copy(root_, copy, fs::copy_options::recursive);
    CacheOpReq req = Request();
    SetReleases(req, systems);
    EXPECT_FALSE(cache_.DeleteLocalCacheContents(req));
    EXPECT_EQ(Relative(root_), OneSystemAtATime(copy, systems));
    EXPECT_EQ(Exists(base), systems.size() == 3);
  }
}

// A pruning that fails ends the request where pruning after each system would have: a later
// system's files stay. Here the first system's pruning meets an empty folder inside a folder
// the user may not change.
TEST_F(DeleteOnRequest, AFailingPruneEndsTheRequestBeforeLaterSystems) {
  const std::string copy = config_.root() + "/copy";
  const std::string locked = "/KQMedia/11.0.0/Windows/BinaryPayload32/LooseUpdates/Updates";
  ASSERT_TRUE(fs::create_directories(root_ + locked + "/empty"));
  kqtest::WriteFile(root_ + "/KQMedia/11.0.0/Windows/m3.bin", "m");
  fs::copy(root_, copy, fs::copy_options::recursive);
  for (const std::string& tree : {root_, copy}) {
    kqtest::GiveTreeToUnprivileged(tree);
    // Root's, or (when the test does not run as root) the user's own but not writable.
    if (lchown((tree + locked).c_str(), 0, 0) != 0) {
      ASSERT_EQ(0, chmod((tree + locked).c_str(), 0555));
    }
  }
  const std::vector<FilesForRel> systems = {
      Release(16, 6, FilesForOS::kMediaFiles, Media({"nope.bin"})),
      Release(16, 3, FilesForOS::kMediaFiles, Media({"m3.bin"}))};
  const int rc = kqtest::RunUnprivileged([&] {
    CacheOpReq req = Request();
    SetReleases(req, systems);
    const bool whole = cache_.DeleteLocalCacheContents(req);
    bool each = true;
    const bool same = Relative(root_) == OneSystemAtATime(copy, systems, 0, &each);
    return (whole ? 1 : 0) + (each ? 2 : 0) + (same ? 0 : 4) +
           (Exists(root_ + "/KQMedia/11.0.0/Windows/m3.bin") ? 0 : 8);
  });
  for (const std::string& tree : {root_, copy}) chmod((tree + locked).c_str(), 0755);
  EXPECT_EQ(rc, 0);
}

class ApplianceDelete : public DeleteOnRequest {
 protected:
  void SetUp() override {
    DeleteOnRequest::SetUp();
    kqtest::WriteFile(root_ + "/KQAppliance/Windows/w.msi", "w");
    kqtest::WriteFile(root_ + "/KQAppliance/Unix/u.rpm", "u");
    req_ = Request();
    SetObject(req_, CacheOpReq::kApplianceFiles, 177,
              {"KQAppliance/Windows/w.msi", "KQAppliance\\Unix\\u.rpm", "KQAppliance/x"});
  }
  CacheOpReq req_;
};

TEST_F(ApplianceDelete, UpgradeInProgressKeepsUnixFilesAndFails) {
  config_.set("Tapewright", "sTallowmereUpgradeInProgress", "YES");
  EXPECT_FALSE(cache_.DeleteLocalCacheApplianceContents(req_));
  EXPECT_FALSE(Exists(root_ + "/KQAppliance/Windows"));
  EXPECT_TRUE(Exists(root_ + "/KQAppliance/Unix/u.rpm"));
  std::string value;
  EXPECT_FALSE(KQPlatformInfo().getString("Tapewright", "sSWCacheSyncInProgress", value));
  // Through the whole request the appliance failure does not fail the deletion.
  EXPECT_TRUE(cache_.DeleteLocalCacheContents(req_));
}

TEST_F(ApplianceDelete, UpgradeStartedByAnotherProcessWhileOurFlagIsSetWins) {
  // The upgrade begins after our check found none and before our flag is in the store: the
  // check is made again with our flag set, ours goes and nothing of Unix is deleted.
  kqtest::HelperProcess upgrade({"upgrade"}, 0);
  ASSERT_EQ(upgrade.ReadLine(), "locked");
  EXPECT_FALSE(cache_.DeleteLocalCacheApplianceContents(req_));
  EXPECT_EQ(upgrade.ReadLine(), "waited");
  EXPECT_EQ(upgrade.Finish(), 0);
  EXPECT_FALSE(Exists(root_ + "/KQAppliance/Windows"));
  EXPECT_TRUE(Exists(root_ + "/KQAppliance/Unix/u.rpm"));
  std::string value;
  EXPECT_FALSE(KQPlatformInfo().getString("Tapewright", "sSWCacheSyncInProgress", value));
  ASSERT_TRUE(KQPlatformInfo().getString("Tapewright", "sTallowmereUpgradeInProgress", value));
  EXPECT_EQ(value, "yes");
  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("Successfully set registry key [Tapewright/sSWCacheSyncInProgress] to Yes"),
            std::string::npos);
  EXPECT_NE(log.find("as tallowmere upgrade is in progress"), std::string::npos);
}

TEST_F(ApplianceDelete, SuccessStampsTheSyncAndClearsTheFlag) {
  config_.set("Tapewright", "sSWCacheSyncInProgress", "Yes");
  const long long before = time(nullptr);
  ASSERT_TRUE(cache_.DeleteLocalCacheApplianceContents(req_));
  EXPECT_FALSE(Exists(root_ + "/KQAppliance/Unix"));
  EXPECT_TRUE(Exists(root_ + "/KQAppliance"));
  std::string value;
  EXPECT_FALSE(KQPlatformInfo().getString("Tapewright", "sSWCacheSyncInProgress", value));
  long long stamp = 0;
  ASSERT_TRUE(KQPlatformInfo().getNumber("Tapewright", "nSWCacheLastSyncTime", stamp));
  EXPECT_GE(stamp, before);
}

TEST_F(ApplianceDelete, FailedUnixDeletionLeavesTheFlagSet) {
  // A Unix name below a linked folder is refused: the deletion fails after the flag was set.
  ASSERT_EQ(0, symlink(sentinel_.c_str(), (root_ + "/KQAppliance/Unix/lnk").c_str()));
  SetObject(req_, CacheOpReq::kApplianceFiles, 177, {"KQAppliance/Unix/lnk/x"});
  EXPECT_FALSE(cache_.DeleteLocalCacheApplianceContents(req_));
  std::string value;
  ASSERT_TRUE(KQPlatformInfo().getString("Tapewright", "sSWCacheSyncInProgress", value));
  EXPECT_EQ(value, "Yes");
}

class RenamePack : public DeleteOnRequest {
 protected:
  CacheOpReq PackRequest(long long pack) {
    CacheOpReq req = Request();
    RemClientInfo info(*req.getObjectAccessor(CacheOpReq::kRemClientInfo));
    info.setint64(RemClientInfo::kField5, 3);
    UpdatePatches::UpdatePack up;
    up.setint64(UpdatePatches::UpdatePack::kNumber, pack);
    UpdatePatches::FullVersion version;
    version.setObjectAccessor(UpdatePatches::FullVersion::kUpdatePack, up);
    info.setObjectAccessor(RemClientInfo::kVersion, version);
    req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    return req;
  }
  std::string Loose() { return root_ + GetLooseUpdateFolderNew(3, false); }
};

TEST_F(RenamePack, HighestPackTakesTheAskedNumber) {
  kqtest::WriteFile(Loose() + "/CU3/a", "3");
  kqtest::WriteFile(Loose() + "/CU7/a", "7");
  kqtest::WriteFile(Loose() + "/CUx/a", "x");
  CacheOpReq same = PackRequest(7);
  EXPECT_TRUE(cache_.RenameUpdatePackDirOnClientCache(&same));
  EXPECT_TRUE(Exists(Loose() + "/CU7/a"));
  CacheOpReq up = PackRequest(9);
  EXPECT_TRUE(cache_.RenameUpdatePackDirOnClientCache(&up));
  EXPECT_EQ(kqtest::ReadFile(Loose() + "/CU9/a"), "7");
  EXPECT_FALSE(Exists(Loose() + "/CU7"));
  EXPECT_TRUE(Exists(Loose() + "/CU3/a"));
  // The client's highest pack above the asked one is renamed down.
  CacheOpReq down = PackRequest(5);
  EXPECT_TRUE(cache_.RenameUpdatePackDirOnClientCache(&down));
  EXPECT_EQ(kqtest::ReadFile(Loose() + "/CU5/a"), "7");
  // Nothing to do: no number, a number below 1, no loose-update folder.
  for (long long n : {0LL, -2LL}) {
    CacheOpReq none = PackRequest(n);
    EXPECT_TRUE(cache_.RenameUpdatePackDirOnClientCache(&none));
  }
  CacheOpReq bare = Request();
  EXPECT_TRUE(cache_.RenameUpdatePackDirOnClientCache(&bare));
  EXPECT_TRUE(Exists(Loose() + "/CU3/a"));
  EXPECT_TRUE(Exists(Loose() + "/CU5/a"));
}

TEST_F(RenamePack, AnOperatingSystemWithoutANameRenamesNothing) {
  // Its loose-update folder would be the cache root itself.
  kqtest::WriteFile(root_ + "/CU7/a", "7");
  for (int os : {35, 99}) {
    ASSERT_EQ(GetOSNameFromId(os), nullptr);
    CacheOpReq req = PackRequest(9);
    RemClientInfo info(*req.getObjectAccessor(CacheOpReq::kRemClientInfo));
    info.setint64(RemClientInfo::kField5, os);
    req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    cache_.RenameUpdatePackDirOnClientCache(&req);
    EXPECT_TRUE(Exists(root_ + "/CU7/a")) << os;
    EXPECT_FALSE(Exists(root_ + "/CU9")) << os;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--kq-lock-helper") == 0) return RunHelper(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
