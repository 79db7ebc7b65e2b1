// The retrieval job frame and the folder-structure statics, over real media access, pools,
// folders and loopback servers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "InstallUtils/IFolderStruct.h"
#include "KqTestEnv.h"
#include "LoopbackServer.h"
#include "RetrievalJobParts.h"
#include "Vocabulary.h"
#include "Configuration/KQPlatformInfo.h"
#include "nPatchDownload/CFilesDependencyBuilder.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/CPatchDebug.h"

namespace {

using namespace nPatchDownload;
using kqtest::TestRetrievalJob;

FullVersion Media(int major, int trans, int rev, int cu = 0) {
  _SPVersion sp(major, 0, trans, rev);
  sp.SetRelease(11);
  sp.SetBuild(80);
  return FullVersion(sp, _UPVersion(cu));
}

std::queue<tErrorDetails> ErrorOf(CPatchDebug& sink, int& id, int& status) {
  std::queue<tErrorDetails> details;
  KQJobStatus st{};
  sink.GetErrorDetails(id, st, details);
  status = static_cast<int>(st);
  return details;
}

// The collaborators of one job, owned by the test as a concrete job owns them.
class RetrievalFrameTest : public ::testing::Test, protected kqtest::RetrievalJobParts {
 protected:
  void SetUp() override {
    config.set("MediaAccess", "nRetryWaitMs", "10");
    policy.m_candidateVersion = Media(20, 4711, 3);
  }

  kqtest::TempDir outside;
};

TEST_F(RetrievalFrameTest, AnUnreachableSourceRaisesTheJobErrorOfItsKind) {
  {
    TestRetrievalJob& copy = Job(outside / "no-such-folder", true);
    EXPECT_NE(0u, copy.Initialize());
    int id = 0, status = 0;
    std::queue<tErrorDetails> details = ErrorOf(sink, id, status);
    EXPECT_EQ(0x440001E0, id);
    EXPECT_EQ(2, status);
    ASSERT_EQ(1u, details.size());
    EXPECT_EQ(outside / "no-such-folder", details.front().strValue);
    EXPECT_EQ(0, copy.supportedSidesCalls);
  }
  // A closed port: start a server, note its port, stop it.
  int port = 0;
  {
    kqtest::LoopbackServer::Options o;
    o.root = outside.path();
    kqtest::LoopbackServer server(o);
    ASSERT_TRUE(server.ok()) << server.error();
    port = server.port();
  }
  TestRetrievalJob& download = Job("http://127.0.0.1:" + std::to_string(port), false);
  const unsigned int rc = download.Initialize();
  EXPECT_NE(0u, rc);
  int id = 0, status = 0;
  std::queue<tErrorDetails> details = ErrorOf(sink, id, status);
  EXPECT_EQ(0x44000205, id);
  EXPECT_EQ(2, status);
  ASSERT_EQ(1u, details.size());
  EXPECT_EQ(media->GetLastErrorString(), details.front().strValue);
  EXPECT_NE(std::string::npos, details.front().strValue.find(std::to_string(port)));
}

TEST_F(RetrievalFrameTest, InitializeMakesOneRetrieverPerVersionAndStopsAtTheFirstFailure) {
  TestRetrievalJob& job = Job(outside.path(), true);
  const FullVersion older = Media(19, 100, 1), newer = Media(20, 4711, 3);
  job.generateSupportedMap(older, {{3, {7, 8}}}, {3, 16}, job.packages);
  job.generateSupportedMap(newer, {}, {3}, job.packages);
  job.generateSupportedMap(newer, {}, {}, job.updates);
  ASSERT_EQ(2u, job.packages.size());
  EXPECT_EQ(newer, job.packages.begin()->first);  // newest first
  const std::set<tRetrievalSide>& olderSides = job.packages[older];
  ASSERT_EQ(2u, olderSides.size());
  EXPECT_EQ((std::set<int>{7, 8}), olderSides.begin()->ids);
  EXPECT_TRUE(job.updates[newer].empty());

  job.supportedSidesResult = 0x80000018u;
  EXPECT_EQ(0x80000018u, job.Initialize());
  // No pool was started.
  EXPECT_NE(0u, checkPool.QueueWork([] {}));
  EXPECT_NE(0u, getPool.QueueWork([] {}));

  job.supportedSidesResult = 0;
  ASSERT_EQ(0u, job.Initialize());
  EXPECT_EQ(2u, job.getSupportedRetrievals(ePackages).size());
  EXPECT_EQ(1u, job.getSupportedRetrievals(eUpdates).size());
  EXPECT_TRUE(job.getSupportedRetrievals(eCumulativeUpdatePacks).empty());
  EXPECT_EQ(&job.getSupportedRetrievals(ePackages), &job.getSupportedRetrievals(eAppliancePatches));
  EXPECT_EQ(media.get(), getPool.GetMediaAccess());
  EXPECT_EQ(nullptr, checkPool.GetMediaAccess());
  KQInstallCommonUtils::IFolderStruct* local =
      job.getSupportedRetrievals(ePackages).begin()->second->GetLocalFolderStruct();
  EXPECT_EQ(cache.path() + "/KQMedia/11.0.0/SP20_4711_R3",
            local->GetPath(KQInstallCommonUtils::eKindFeatureReleaseMedia, "",
                           FullVersion(_SPVersion(0)), 0));
}

TEST_F(RetrievalFrameTest, PatchTypeNames) {
  EXPECT_STREQ("Packages", getComponentsType(1));
  EXPECT_STREQ("Updates", getComponentsType(2));
  EXPECT_STREQ("CumulativeUpdatePacks", getComponentsType(3));
  EXPECT_STREQ("Appliance Patches", getComponentsType(101));
  for (int other : {0, 4, 102}) EXPECT_STREQ("Unsupported", getComponentsType(other));
}

TEST_F(RetrievalFrameTest, TheDownloadSourceMapPointsEachSystemAtItsRoot) {
  TestRetrievalJob& job = Job("http://127.0.0.1:9", false);
  const KQInstallCommonUtils::tCacheFolderSpec server[] = {
      {KQInstallCommonUtils::eKindPlatformRoot,
       "{MEDIAROOT}/KQMedia/{VERSION}.0.0/SP{SPMAJOR}_{TRANSACTIONID}_R{REVISIONID}/{PLATFORM}", ""}};
  XMLEncoder::serialize(
      KQInstallCommonUtils::MakeCacheHierarchy(KQInstallCommonUtils::eRemoteHierarchy, server, 1),
      job.m_serverTemplate);
  std::map<int, std::string> roots;
  ASSERT_EQ(0u, job.generateSourceMapForDownload({1, 3, 16, 22}, roots));
  EXPECT_EQ("KQMedia/11.0.0/SP20_4711_R3/Windows", roots[1]);
  EXPECT_EQ("KQMedia/11.0.0/SP20_4711_R3/Windows", roots[3]);
  EXPECT_EQ("KQMedia/11.0.0/SP20_4711_R3/Unix", roots[16]);
  EXPECT_EQ("KQMedia/11.0.0/SP20_4711_R3/Unix", roots[22]);

  const KQInstallCommonUtils::tCacheFolderSpec noRoot[] = {
      {KQInstallCommonUtils::eKindHotfixRoot, "{MEDIAROOT}/x", ""}};
  job.m_serverTemplate.clear();
  XMLEncoder::serialize(
      KQInstallCommonUtils::MakeCacheHierarchy(KQInstallCommonUtils::eRemoteHierarchy, noRoot, 1),
      job.m_serverTemplate);
  EXPECT_EQ(0x80000020u, job.generateSourceMapForDownload({3}, roots));
  job.m_serverTemplate = "<not a hierarchy";
  EXPECT_EQ(0x80000021u, job.generateSourceMapForDownload({3}, roots));
}

TEST_F(RetrievalFrameTest, DestructionDeletesOnlyQueuedFoldersInsideTheCache) {
  TestRetrievalJob& job = Job(outside.path(), true);
  job.m_localMediaRoot = cache.path() + "/KQMedia/11.0.0";
  kqtest::WriteFile(cache / "KQMedia/11.0.0/SP19_1_R1/Windows/a.bin", "a");
  kqtest::WriteFile(cache / "KQMedia/11.0.0/SP20_4711_R3/CU1/b.bin", "b");
  kqtest::WriteFile(base / "Temp/CopySoftware/c.bin", "c");
  kqtest::WriteFile(outside / "keep/d.bin", "d");
  ASSERT_EQ(0, symlink((outside / "keep").c_str(), (cache / "link").c_str()));
  job.m_foldersToDelete = {cache / "KQMedia/11.0.0/SP19_1_R1",
                           cache / "KQMedia/11.0.0/SP20_4711_R3/CU1/",
                           base / "Temp/CopySoftware",
                           "",
                           "/",
                           cache.path(),
                           outside / "keep",
                           cache / "../" + outside.path().substr(outside.path().rfind('/') + 1),
                           cache / "link/d.bin",
                           cache / "link"};
  // One reader in two maps is destroyed once (the sanitizer build checks it).
  KQInstallCommonUtils::IFolderStruct* reader = nullptr;
  tFolderStructParam params;
  IComponentsRetrieval::fillInFolderStructParams(params, Media(19, 1, 1), job.m_localCacheTemplate,
                                                 cache.path(), "/");
  ASSERT_EQ(0u, IComponentsRetrieval::ConstructFolderStructObjects(params, reader, sink));
  tRetrievalSide side;
  side.osId = 3;
  side.mediaVersion = Media(19, 1, 1);
  job.m_mediaToKeep[side] = reader;
  job.m_oldMediaToRemove[side] = reader;
  job.m_failedApplianceSides[side] = nullptr;
  this->job.reset();

  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(cache / "KQMedia/11.0.0/SP19_1_R1"));
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(cache / "KQMedia/11.0.0/SP20_4711_R3/CU1"));
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(cache / "KQMedia/11.0.0/SP20_4711_R3"));
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(base / "Temp/CopySoftware"));
  EXPECT_EQ("d", kqtest::ReadFile(outside / "keep/d.bin"));  // outside, and through the link
  struct stat st;
  EXPECT_NE(0, lstat((cache / "link").c_str(), &st));        // the link itself went, as a link
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(cache.path()));
}

TEST_F(RetrievalFrameTest, ProgressIsReadWhileThePoolFetches) {
  kqtest::TempDir source;
  UpdatePatches::BinaryV11 file;
  tFileList pending;
  unsigned long long total = 0;
  for (int i = 0; i < 24; ++i) {
    const std::string name = "KQMedia/f" + std::to_string(i) + ".bin";
    const std::string content(50000 + 1000 * i, static_cast<char>('a' + i % 26));
    kqtest::WriteFile(source / name, content);
    total += content.size();
    file.setstring(UpdatePatches::BinaryV11::kRelativePath, name);
    pending.push_back(file);
  }
  kqtest::LoopbackServer::Options o;
  o.root = source.path();
  kqtest::LoopbackServer server(o);
  ASSERT_TRUE(server.ok()) << server.error();
  TestRetrievalJob& job = Job(server.base(), false);
  job.generateSupportedMap(Media(20, 4711, 3), {}, {3, 16}, job.packages);
  policy.m_getFileParams.threads = 4;
  ASSERT_EQ(0u, job.Initialize());

  std::atomic<bool> done{false};
  unsigned long long lastFiles = 0, lastBytes = 0;
  bool monotonic = true;
  std::thread reader([&] {
    while (!done.load()) {
      const unsigned long long f = job.GetNumFilesDownloaded(), b = job.GetTotalBytesDownloaded();
      monotonic = monotonic && f >= lastFiles && b >= lastBytes;
      lastFiles = f;
      lastBytes = b;
    }
  });
  auto retriever = job.getSupportedRetrievals(ePackages).begin()->second;
  std::mutex retrievedLock;
  tFileList retrieved;
  tRetrievalEntries packages, cus;
  tRetrievalEntry entry;
  for (int part = 0; part < 4; ++part) {
    ASSERT_EQ(0u, job.m_getFilePool.QueueWork([&, part] {
      tFileList mine(pending.begin() + part * 6, pending.begin() + part * 6 + 6);
      EXPECT_EQ(0u, retriever->GetFile(*retriever->GetSides().begin(), cache.path(), 0, mine,
                                       {&retrievedLock, &retrieved},
                                       {&job.m_filesCountLock, &job.m_numFilesDownloaded},
                                       {&job.m_bytesLock, &job.m_totalBytesDownloaded}, packages,
                                       cus, entry, false));
    }));
  }
  EXPECT_EQ(0u, job.m_getFilePool.WaitForAll(true, true, true));
  done = true;
  reader.join();
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(24u, job.GetNumFilesDownloaded());
  EXPECT_EQ(total, job.GetTotalBytesDownloaded());
  EXPECT_EQ(24u, retrieved.size());
}

TEST_F(RetrievalFrameTest, InstallerCacheValueIsRemovedOnlyWhenTheJobUsedIt) {
  TestRetrievalJob& job = Job(outside.path(), true);
  config.set("SoftwareCache", "sInstallerCachePath", "/x");
  EXPECT_TRUE(job.DeleteInstallerCacheReg());
  std::string value;
  EXPECT_TRUE(KQPlatformInfo().getString("SoftwareCache", "sInstallerCachePath", value));
  policy.m_useInstallerCache = true;
  EXPECT_TRUE(job.DeleteInstallerCacheReg());
  EXPECT_FALSE(KQPlatformInfo().getString("SoftwareCache", "sInstallerCachePath", value));
  EXPECT_TRUE(job.DeleteInstallerCacheReg());  // nothing left to remove
}

class FolderStructParamsTest : public RetrievalFrameTest {};

TEST_F(FolderStructParamsTest, PlaceholdersAndTemplates) {
  tFolderStructParam params;
  IComponentsRetrieval::fillInFolderStructParams(params, Media(20, 4711, 3, 0), "<t/>", "/c", "/");
  EXPECT_EQ((std::map<std::string, std::string>{{"MEDIAROOT", "/c"},
                                                {"VERSION", "11"},
                                                {"BUILD", "80"},
                                                {"SPMAJOR", "20"},
                                                {"TRANSACTIONID", "4711"},
                                                {"REVISIONID", "3"},
                                                {"CUNUMBER", "0"}}),
            params.placeholders);
  EXPECT_EQ("<t/>", params.xmlTemplate);

  KQInstallCommonUtils::IFolderStruct* object = nullptr;
  EXPECT_EQ(0x80000021u, IComponentsRetrieval::ConstructFolderStructObjects(params, object, sink));
  EXPECT_EQ(nullptr, object);
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(config.logFile()).find("Failed to unserialize XML: [<t/>]"));

  params.xmlTemplate = KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1);
  params.placeholders.erase("SPMAJOR");
  ASSERT_EQ(0u, IComponentsRetrieval::ConstructFolderStructObjects(params, object, sink));
  EXPECT_EQ(0u, object->GetPlaceHolderMap().count("SPMAJOR"));
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(config.logFile()).find("Using [/c], [11], [80] and [NA] in creation"));
  KQInstallCommonUtils::DestroyFolderStructReader(object);

  // A relative media root is refused by the reader.
  IComponentsRetrieval::fillInFolderStructParams(params, Media(20, 4711, 3), params.xmlTemplate, "c", "/");
  EXPECT_EQ(0x80000021u, IComponentsRetrieval::ConstructFolderStructObjects(params, object, sink));
  EXPECT_EQ(nullptr, object);
}

TEST_F(FolderStructParamsTest, InformationFilesAreFetchedOrRaiseTheFetchError) {
  kqtest::TempDir source;
  kqtest::WriteFile(source / "KQMedia/DVDInfo.xml", "<dvd/>");
  Job(source.path(), true);
  EXPECT_EQ(0u, IComponentsRetrieval::GetDVDInfoFile(*media, "KQMedia/DVDInfo.xml",
                                                     cache / "DVDInfo.xml", sink));
  EXPECT_EQ("<dvd/>", kqtest::ReadFile(cache / "DVDInfo.xml"));
  EXPECT_FALSE(sink.IsSpecificErrorSet());

  const unsigned int rc = IComponentsRetrieval::GetDVDInfoFile(*media, "KQMedia/Missing.xml",
                                                               cache / "Missing.xml", sink);
  EXPECT_NE(0u, rc);
  int id = 0, status = 0;
  std::queue<tErrorDetails> details = ErrorOf(sink, id, status);
  EXPECT_EQ(0x44000046, id);
  EXPECT_EQ(2, status);
  ASSERT_EQ(2u, details.size());
  EXPECT_EQ("KQMedia/Missing.xml", details.front().strValue);
  EXPECT_EQ(cache / "Missing.xml", details.back().strValue);
}

}  // namespace
