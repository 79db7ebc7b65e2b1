// Remote cache checksum answers, on a remote cache's variant of a generated cache.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "CacheTestEnv.h"
#include "StringUtils.h"
#include "Unprivileged.h"

namespace kqtest {
namespace {

using UpdatePatches::AdditionalSyncFilesList;
using UpdatePatches::CacheOpReq;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;
using UpdatePatches::RemClientInfo;

EntryList Field(const CNMessageBase& os, const KqFieldId& f) {
  EntryList out;
  for (const CNMessageBase& m : *os.getlistobject(f.index, f.tag)) {
    if (f.id == 25)
      out.emplace_back(m.getstring(UpdatePatches::BinaryV11::kRelativePath), m.getstring(UpdatePatches::BinaryV11::kChecksum));
    else
      out.emplace_back(m.getstring(UpdatePatches::File::kName), m.getstring(UpdatePatches::File::kChecksum));
  }
  return out;
}

// A request entry for a release and operating systems.
FilesForRel Asked(int releaseId, const std::vector<int>& oses, const std::string* spFolder = nullptr) {
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, releaseId);
  auto* list = rel.getlistobject(FilesForRel::kOSList);
  for (int os : oses) {
    FilesForOS f;
    f.setint64(FilesForOS::kOSId, os);
    list->push_back(f);
  }
  if (spFolder) rel.setstring(FilesForRel::kSPFolderName, *spFolder);
  return rel;
}

CacheOpReq Request(const std::string& cachePath, const std::vector<FilesForRel>& releases) {
  CacheOpReq req;
  RemClientInfo info;
  info.setstring(RemClientInfo::kCachePath, cachePath);
  req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
  req.setlistobject(CacheOpReq::kReleases, std::vector<CNMessageBase>(releases.begin(), releases.end()));
  return req;
}

class RemoteAnswerTest : public CacheTreeTest {
 protected:
  static void SetUpTestSuite() {
    CacheTreeTest::SetUpTestSuite();
    remoteModel_ = new CacheModel(MakeRemoteVariant(*hub_));
    remote_ = new CacheManifest(WriteCacheShared(*remoteModel_, SharedTreeDir("remote-1")));
  }
  static void TearDownTestSuite() {
    delete remote_;
    delete remoteModel_;
    remote_ = nullptr;
    remoteModel_ = nullptr;
    CacheTreeTest::TearDownTestSuite();
  }

  // The expected lists of an operating system's folder of the remote cache.
  static AnswerLists Expected(int releaseId, int osId, const std::string& releaseRel) {
    if (releaseId >= 16) return OracleAnswer16(*remote_, *remoteModel_, releaseRel + (osId > 4 ? "/Unix" : "/Windows"), osId);
    return OracleAnswer15(*remote_, releaseRel + "/" + remoteModel_->osNames.at(osId), osId);
  }

  // Checks every FilesForOS of an answered release against the oracle.
  static void CheckRelease(const CNMessageBase& rel, const std::string& releaseRel, std::set<int>* seen = nullptr) {
    const int releaseId = static_cast<int>(rel.getint64(FilesForRel::kReleaseId));
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag)) {
      const int osId = static_cast<int>(os.getint64(FilesForOS::kOSId));
      SCOPED_TRACE(::testing::Message() << "release " << releaseId << " os " << osId);
      if (seen) seen->insert(osId);
      AnswerLists e = Expected(releaseId, osId, releaseRel);
      EXPECT_EQ(AsSet(Field(os, FilesForOS::kSPFiles)), AsSet(e.featureRelease));
      EXPECT_EQ(AsSet(Field(os, FilesForOS::kLooseUpdateFiles)), AsSet(e.loose));
      EXPECT_EQ(AsSet(Field(os, FilesForOS::kInstallerFiles)), AsSet(e.installer));
      EXPECT_EQ(AsSet(Field(os, FilesForOS::kMediaFiles)), AsSet(e.media));
      EXPECT_FALSE(e.Empty());
      for (const Entry& x : Field(os, FilesForOS::kMediaFiles)) EXPECT_EQ(x.first.find("uplink"), std::string::npos);
      for (const Entry& x : Field(os, FilesForOS::kLooseUpdateFiles)) EXPECT_EQ(x.first.find("uplink"), std::string::npos);
    }
  }

  static const std::string& remoteRoot() { return remote_->root; }

  // A small cache of the test's own: loose updates and installers of WinX64 and a Unix OS
  // (whose "ServicePacks" holds no feature release), with WinX64's update U2 unreadable
  // (while the test runs unprivileged). Returns the locked folder.
  std::string WriteCacheWithUnreadableUpdate(const std::string& name, std::string& root) const {
    cachegen::Gen g(8);
    CacheManifest out = ScratchCache(name);
    CacheModel m;
    m.osNames = remoteModel_->osNames;
    for (int os : {3, 16}) {
      UpdatesOSRecord r;
      r.osId = os;
      r.area.updates.push_back(cachegen::LooseUpdate(g, "U1", os, CacheOldPackages()));
      r.area.updates.push_back(cachegen::LooseUpdate(g, "U2", os, CacheOldPackages()));
      r.area.installer = cachegen::MakeInstaller(g, os);
      WriteUpdatesOS(out, m, r);
    }
    // A "ServicePacks" folder without feature releases ends the answer of its folder.
    WriteFile(out.root + "/KQUpdates/10.0.0/" + m.osNames.at(16) + "/ServicePacks/readme.txt", "x");
    const std::string locked = out.root + "/KQUpdates/10.0.0/WinX64/Updates/U2";
    ::chmod(locked.c_str(), 0);
    GiveTreeToUnprivileged(out.root);
    root = out.root;
    return locked;
  }

  static CacheModel* remoteModel_;
  static CacheManifest* remote_;
};

CacheModel* RemoteAnswerTest::remoteModel_ = nullptr;
CacheManifest* RemoteAnswerTest::remote_ = nullptr;

TEST_F(RemoteAnswerTest, AskedReleasesAreAnsweredPerOperatingSystemInItsChecksumForm) {
  KQUpdateCache cache(51, false);
  // The cache path reaches into "KQMedia": it is cut before it.
  CacheOpReq req = Request(remoteRoot() + "/KQMedia/11.0.0",
                           {Asked(14, {1}), Asked(16, {1, 3, 16, 22, 0}), Asked(15, {1, 3, 16, 22, 17, -3, 40})});
  CacheOpReq resp;
  ASSERT_TRUE(cache.CalculateCheckSumForCacheFiles(req, resp));
  const auto& answer = *resp.getlistobject(CacheOpReq::kReleases);
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0].getint64(FilesForRel::kReleaseId), 16);
  EXPECT_EQ(answer[1].getint64(FilesForRel::kReleaseId), 15);
  std::set<int> seen16, seen15;
  CheckRelease(answer[0], "KQMedia/11.0.0", &seen16);
  CheckRelease(answer[1], "KQUpdates/10.0.0", &seen15);
  EXPECT_EQ(seen16, (std::set<int>{1, 3, 16, 22}));
  EXPECT_EQ(seen15, (std::set<int>{1, 3, 16, 17}));  // the remote cache lacks "sol-sparc" of release 15
  EXPECT_FALSE(resp.isSet(CacheOpReq::kErrorText));
  const std::string log = Log();
  EXPECT_NE(log.find("New update file syncing is not supported for release [14]"), std::string::npos);
  for (int bad : {0, -3, 40})
    EXPECT_NE(log.find("Bad OS ID [" + std::to_string(bad) + "] passed for in request for release"), std::string::npos) << bad;

  // An empty request answers an empty list.
  CacheOpReq empty = Request(remoteRoot(), {});
  CacheOpReq emptyResp;
  ASSERT_TRUE(cache.CalculateCheckSumForCacheFiles(empty, emptyResp));
  EXPECT_TRUE(emptyResp.isSet(CacheOpReq::kReleases));
  EXPECT_TRUE(emptyResp.getlistobject(CacheOpReq::kReleases)->empty());
}

TEST_F(RemoteAnswerTest, WholeCacheAnswersTheReleasesOfTheFirstEntryForEveryOperatingSystem) {
  KQUpdateCache cache(52, false);
  for (int release : {16, 15}) {
    SCOPED_TRACE(release);
    CacheOpReq req = Request(remoteRoot(), {Asked(release, {}), Asked(release == 16 ? 15 : 16, {})});
    CacheOpReq resp;
    ASSERT_TRUE(cache.CalculateCheckSumForComplCacheFiles(req, resp));
    const auto& answer = *resp.getlistobject(CacheOpReq::kReleases);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].getint64(FilesForRel::kReleaseId), release);
    std::set<int> seen;
    const std::string rel = release == 16 ? "KQMedia/11.0.0" : "KQUpdates/10.0.0";
    CheckRelease(answer[0], rel, &seen);
    // Every operating system with something to answer is there; 2, 4 and 5 never are.
    std::set<int> expected;
    for (int os = 1; os <= 34; ++os) {
      if (os == 2 || os == 4 || os == 5) continue;
      const char* name = GetOSNameFromId(os);
      if (release == 15 && (!name || !remoteModel_->osNames.count(os))) continue;
      if (!Expected(release, os, rel).Empty()) expected.insert(os);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(seen.count(release == 16 ? 20 : 17));
    EXPECT_FALSE(resp.isSet(CacheOpReq::kObsoleteSPFolders));
    EXPECT_FALSE(resp.isSet(CacheOpReq::kAdditionalSyncFiles));
  }
  // A first entry for release 14 answers nothing at all.
  CacheOpReq req = Request(remoteRoot(), {Asked(14, {}), Asked(16, {})});
  CacheOpReq resp;
  ASSERT_TRUE(cache.CalculateCheckSumForComplCacheFiles(req, resp));
  EXPECT_TRUE(resp.getlistobject(CacheOpReq::kReleases)->empty());
}

// Entries of a release other than the Hubnode's add up: each answer holds the folders of the
// entries before it too, and an earlier answer keeps its own when a later one is made.
TEST_F(RemoteAnswerTest, EntriesOfAnotherReleaseAddUpAndEachKeepsItsOwn) {
  KQUpdateCache cache(56, false);
  CacheOpReq req = Request(remoteRoot(), {Asked(15, {}), Asked(15, {}), Asked(15, {}), Asked(16, {})});
  CacheOpReq resp;
  ASSERT_TRUE(cache.CalculateCheckSumForComplCacheFiles(req, resp));
  const auto& answer = *resp.getlistobject(CacheOpReq::kReleases);
  ASSERT_EQ(answer.size(), 3u);
  std::vector<size_t> sizes;
  for (const CNMessageBase& rel : answer) {
    EXPECT_EQ(rel.getint64(FilesForRel::kReleaseId), 15);
    CheckRelease(rel, "KQUpdates/10.0.0");
    sizes.push_back(rel.getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag)->size());
  }
  ASSERT_GT(sizes[0], 0u);
  EXPECT_EQ(sizes, (std::vector<size_t>{sizes[0], 2 * sizes[0], 3 * sizes[0]}));
}

TEST_F(RemoteAnswerTest, ObsoleteFeatureReleaseFoldersAndAdditionalSyncFilesComeWithTheExtraSteps) {
  KQUpdateCache cache(53, false);
  const std::string recut = "SP12_4711_R8";
  for (bool extra : {false, true}) {
    CacheOpReq req = Request(remoteRoot(), {Asked(16, {}, &recut)});
    RemClientInfo info(*req.getObjectAccessor(CacheOpReq::kRemClientInfo));
    std::string sync = remoteRoot() + "/AddSync";
    WinPath(sync);
    info.setstring(RemClientInfo::kAdditionalSyncPath, sync);
    info.setint64(RemClientInfo::kOSId, 3);
    req.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    req.setint64(CacheOpReq::kCompleteExtraSteps, extra ? 1 : 0);
    req.setint64(CacheOpReq::kAdditionalSyncWanted, 1);
    CacheOpReq resp;
    ASSERT_TRUE(cache.CalculateCheckSumForComplCacheFiles(req, resp));
    const auto& answer = *resp.getlistobject(CacheOpReq::kReleases);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].getstring(FilesForRel::kSPFolderName), recut);
    CheckRelease(answer[0], "KQMedia/11.0.0/" + recut);
    EXPECT_EQ(resp.isSet(CacheOpReq::kObsoleteSPFolders), extra);
    EXPECT_EQ(resp.isSet(CacheOpReq::kAdditionalSyncFiles), extra);
    if (!extra) continue;
    const auto& obsolete = *resp.getliststring(CacheOpReq::kObsoleteSPFolders);
    EXPECT_EQ(std::set<std::string>(obsolete.begin(), obsolete.end()),
              (std::set<std::string>{"SP11_4000_R2", "Unix", "Windows"}));
    AdditionalSyncFilesList files(*resp.getObjectAccessor(CacheOpReq::kAdditionalSyncFiles));
    EntryList got = Field(files, AdditionalSyncFilesList::kFiles);
    EXPECT_EQ(AsSet(got), AsSet(OracleFilesBelow(*remote_, "AddSync", false)));
    EXPECT_EQ(got.size(), 12u);
  }
  // An empty feature-release name, or one that is not a folder name, is never recorded: no
  // folder is called obsolete.
  for (const std::string& name : {std::string(), std::string("../x"), std::string("a/b")}) {
    CacheOpReq req = Request(remoteRoot(), {Asked(16, {}, &name)});
    req.setint64(CacheOpReq::kCompleteExtraSteps, 1);
    CacheOpReq resp;
    ASSERT_TRUE(cache.CalculateCheckSumForComplCacheFiles(req, resp));
    EXPECT_FALSE(resp.isSet(CacheOpReq::kObsoleteSPFolders)) << name;
    EXPECT_EQ(resp.getlistobject(CacheOpReq::kReleases)->size(), name.empty() ? 1u : 0u) << name;
  }
}

TEST_F(RemoteAnswerTest, AnUnreadableFolderIsReportedAndTheOthersAreStillAnswered) {
  std::string root;
  const std::string locked = WriteCacheWithUnreadableUpdate("unreadable", root);
  int rc = RunUnprivileged([&] {
    KQUpdateCache cache(54, false);
    CacheOpReq req = Request(root, {Asked(15, {3, 16})});
    CacheOpReq resp;
    if (!cache.CalculateCheckSumForCacheFiles(req, resp)) return 1;
    if (resp.getstring(CacheOpReq::kErrorText) != "Could not get file-checksum list for release 10.0.0 and OS name WinX64")
      return 2;
    // WinX64 answers what its checksum tasks finished before the failure (possibly nothing);
    // linux nothing at all after its empty "ServicePacks".
    const auto& answer = *resp.getlistobject(CacheOpReq::kReleases);
    if (answer.size() > 1) return 3;
    if (answer.empty()) return 0;
    const auto& oses = *answer[0].getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag);
    if (oses.size() != 1 || oses[0].getint64(FilesForOS::kOSId) != 3) return 4;
    return 0;
  });
  ::chmod(locked.c_str(), 0755);
  EXPECT_EQ(rc, 0);
}

// The releases, operating systems and lists of an answer as text, each list sorted (the order
// within a list is the order in which the walk's threads finished); its other fields as they are.
std::string AnswerText(const CacheOpReq& resp) {
  std::string text = "error [" + resp.getstring(CacheOpReq::kErrorText) + "]\n";
  for (const CNMessageBase& rel : *resp.getlistobject(CacheOpReq::kReleases)) {
    text += "release " + std::to_string(rel.getint64(FilesForRel::kReleaseId)) + " [" +
            rel.getstring(FilesForRel::kSPFolderName) + "]\n";
    for (const CNMessageBase& os : *rel.getlistobject(FilesForRel::kOSList.index, FilesForRel::kOSList.tag)) {
      text += " os " + std::to_string(os.getint64(FilesForOS::kOSId)) + "\n";
      for (const KqFieldId* f : {&FilesForOS::kSPFiles, &FilesForOS::kLooseUpdateFiles, &FilesForOS::kInstallerFiles,
                                 &FilesForOS::kMediaFiles})
        for (const Entry& e : AsSet(Field(os, *f))) text += "  " + std::to_string(f->id) + " " + e.first + " " + e.second + "\n";
    }
  }
  if (resp.isSet(CacheOpReq::kObsoleteSPFolders))
    for (const std::string& f : *resp.getliststring(CacheOpReq::kObsoleteSPFolders)) text += "obsolete " + f + "\n";
  if (resp.isSet(CacheOpReq::kAdditionalSyncFiles)) {
    AdditionalSyncFilesList files(*resp.getObjectAccessor(CacheOpReq::kAdditionalSyncFiles));
    for (const Entry& e : AsSet(Field(files, AdditionalSyncFilesList::kFiles))) text += "sync " + e.first + " " + e.second + "\n";
  }
  return text;
}

// The log lines of a run, the pool size the configuration gave left out.
std::vector<std::string> RunLines(const ScopedConfig& cfg) {
  std::vector<std::string> lines = LogTexts(cfg.logFolder());
  for (std::string& line : lines)
    if (line.find("Overriding thread pool size") != std::string::npos) line.erase(line.rfind(':'));
  return lines;
}

// A whole answer walks its folders ahead, all at once on the pool, and still answers and logs
// exactly what it did walking them one by one (a pool of one thread): the same lists, the same
// lines in the same order, at the product's level and at the most detailed level below the
// walks' own lines.
TEST_F(RemoteAnswerTest, AnswersWalkedAheadLogAndAnswerAsWalkedOneByOne) {
  const std::string recut = "SP12_4711_R8";
  CacheOpReq withExtras = Request(remoteRoot(), {Asked(16, {}, &recut), Asked(15, {})});
  {
    RemClientInfo info(*withExtras.getObjectAccessor(CacheOpReq::kRemClientInfo));
    info.setstring(RemClientInfo::kAdditionalSyncPath, remoteRoot() + "/AddSync");
    info.setint64(RemClientInfo::kOSId, 16);
    withExtras.setObjectAccessor(CacheOpReq::kRemClientInfo, info);
    withExtras.setint64(CacheOpReq::kCompleteExtraSteps, 1);
    withExtras.setint64(CacheOpReq::kAdditionalSyncWanted, 1);
  }
  const std::vector<CacheOpReq> whole = {withExtras, Request(remoteRoot(), {Asked(16, {})}),
                                         Request(remoteRoot(), {Asked(15, {}), Asked(15, {})})};
  const CacheOpReq asked = Request(remoteRoot(), {Asked(16, {1, 3, 16, 20, 22}), Asked(15, {1, 3, 16, 17})});
  auto run = [&](const char* level, const char* poolSize, std::vector<std::string>& lines) {
    ScopedConfig cfg;
    cfg.set("Logging", "nDebugLevel", level);
    cfg.set("UpdateFlags", "nThreadPoolSizeCheck", poolSize);
    KQUpdateCache cache(56, false);
    std::string text;
    for (CacheOpReq req : whole) {
      CacheOpReq resp;
      EXPECT_TRUE(cache.CalculateCheckSumForComplCacheFiles(req, resp));
      text += AnswerText(resp);
    }
    CacheOpReq req = asked;
    CacheOpReq resp;
    EXPECT_TRUE(cache.CalculateCheckSumForCacheFiles(req, resp));
    text += AnswerText(resp);
    lines = RunLines(cfg);
    return text;
  };
  for (const char* level : {"1", "7"}) {
    SCOPED_TRACE(level);
    std::vector<std::string> oneByOne, ahead;
    const std::string expected = run(level, "1", oneByOne);
    EXPECT_EQ(expected, run(level, "5", ahead));
    EXPECT_EQ(oneByOne, ahead);
    EXPECT_NE(expected.find("sync "), std::string::npos);
    EXPECT_NE(expected.find("release 15"), std::string::npos);
    EXPECT_GT(ahead.size(), 40u);
  }
}

// A folder that fails in the walk ahead is walked again when the answer asks for it, so that
// its failure is met, logged and answered as it was one by one.
TEST_F(RemoteAnswerTest, AnUnreadableFolderWalkedAheadFailsAsWalkedOneByOne) {
  std::string root;
  const std::string locked = WriteCacheWithUnreadableUpdate("unreadable-ahead", root);
  ScopedConfig oneByOne;
  oneByOne.set("Logging", "nDebugLevel", "7");
  oneByOne.set("UpdateFlags", "nThreadPoolSizeCheck", "1");
  ScopedConfig ahead;
  ahead.set("Logging", "nDebugLevel", "7");
  ahead.set("UpdateFlags", "nThreadPoolSizeCheck", "5");
  GiveTreeToUnprivileged(oneByOne.root());
  GiveTreeToUnprivileged(ahead.root());
  int rc = RunUnprivileged([&] {
    for (const ScopedConfig* cfg : {&oneByOne, &ahead}) {
      ::setenv("KQ_CONFIG", cfg->configPath().c_str(), 1);
      KQUpdateCache cache(57, false);
      CacheOpReq asked = Request(root, {Asked(15, {3, 16})});
      CacheOpReq whole = Request(root, {Asked(15, {})});
      for (CacheOpReq* req : {&asked, &whole}) {
        CacheOpReq resp;
        const bool ok = req == &asked ? cache.CalculateCheckSumForCacheFiles(*req, resp)
                                      : cache.CalculateCheckSumForComplCacheFiles(*req, resp);
        if (!ok) return 1;
        if (resp.getstring(CacheOpReq::kErrorText) != "Could not get file-checksum list for release 10.0.0 and OS name WinX64")
          return 2;
      }
    }
    return 0;
  });
  ::chmod(locked.c_str(), 0755);
  EXPECT_EQ(rc, 0);
  // Whether WinX64 answers anything depends on which checksum tasks finished before the walk
  // failed, so the lines saying that it (and so the release) answered nothing are left out.
  auto comparable = [](std::vector<std::string> lines) {
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) {
                                 return l.find("Cache does not contain") != std::string::npos &&
                                        (l.find("[WinX64]") != std::string::npos ||
                                         l.find("any OS type of release [10.0.0]") != std::string::npos);
                               }),
                lines.end());
    return lines;
  };
  const std::vector<std::string> lines = RunLines(ahead);
  EXPECT_EQ(comparable(RunLines(oneByOne)), comparable(lines));
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.find("Cannot walk through") != std::string::npos; }),
            lines.end());
}

TEST_F(RemoteAnswerTest, DumpsNameEveryListAndSayWhenOneIsEmpty) {
  KQUpdateCache cache(55, false);
  CacheOpReq req = Request(remoteRoot(), {Asked(15, {3})});
  CacheOpReq resp;
  ASSERT_TRUE(cache.CalculateCheckSumForCacheFiles(req, resp));
  std::vector<FilesForRel> releases;
  for (const CNMessageBase& r : *resp.getlistobject(CacheOpReq::kReleases)) releases.emplace_back(r);
  cache.PrintFilesForRelVec(&releases);
  std::vector<FilesForRel> none;
  cache.PrintFilesForRelVec(&none);
  cache.PrintFilesForAddSyncVec(AdditionalSyncFilesList(), true);
  UpdatePatches::ApplianceFilesInfo appliance;
  appliance.getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles)->push_back(MakeFileEntry("a/b.rpm", "7"));
  cache.PrintApplianceFileVec(appliance, true);
  const std::string log = Log();
  for (const char* line : {"Release ID: [15]", "OS ID: [3]", "Loose Update files: [Count=", "Installer files: [Count=",
                           "Files for release vector is empty", "Files for additional Sync file vector is empty",
                           "Source Path [a/b.rpm], checksum = [7]"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

}  // namespace
}  // namespace kqtest
