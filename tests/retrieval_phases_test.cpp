// The CheckFile, GetFile and reconciliation phases of a retrieval job, driven over scripted
// retrievers on real pools, folders and configuration: which sides are checked, fetched and
// verified, and how their results are settled across packages, maintenance releases and
// updates.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>

#include "InstallUtils/IFolderStruct.h"
#include "LockHelpers.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/SafePath.h"
#include "RetrievalJobParts.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using namespace nPatchDownload;
using kqtest::TestRetrievalJob;

FullVersion Media(int major, int trans, int rev) {
  _SPVersion sp(major, 0, trans, rev);
  sp.SetRelease(11);
  sp.SetBuild(80);
  return FullVersion(sp);
}

const FullVersion kNewer = Media(20, 4711, 3);
const FullVersion kOlder = Media(19, 100, 1);

tRetrievalSide Side(int osId, const FullVersion& version = kNewer) {
  tRetrievalSide side;
  side.osId = osId;
  side.mediaVersion = version;
  return side;
}

UpdatePatches::BinaryV11 FileEntry(const std::string& path) {
  UpdatePatches::BinaryV11 file;
  file.setstring(UpdatePatches::BinaryV11::kRelativePath, path);
  return file;
}

// An entry whose files are all pending; `status` as given.
tRetrievalEntry Pending(std::initializer_list<const char*> paths, unsigned int status = 0) {
  tRetrievalEntry entry;
  entry.status = status;
  for (const char* p : paths) entry.pending.push_back(FileEntry(p));
  return entry;
}

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(40)); }

// What a scripted retriever does for one of its sides.
struct tSideScript {
  unsigned int checkResult = 0;       // CheckFile's answer
  unsigned int statusAfterCheck = 0;  // written into the entry by CheckFile when non-zero
  std::vector<std::string> files;     // the side's files, all of them pending
  size_t unprocessed = 0;             // files whose check never completes
  bool checkOnPool = false;           // the lists are filled later by a CheckFile pool task
  bool throwOnPool = false;           // that task throws instead
  bool stopJob = false;               // the job is asked to stop during the check
  unsigned int getResult = 0;         // GetFile's answer
  size_t missing = 0;                 // pending files that never arrive
  bool getOnPool = false;             // the files arrive later, from a GetFile pool task
  bool getThrows = false;             // that task throws before any file arrives
  unsigned int installerResult = 0;
};

// A components retriever that does what its script says and records what it was asked.
class ScriptedRetrieval : public IComponentsRetrieval {
 public:
  ScriptedRetrieval(std::set<tRetrievalSide> sides, KQInstallCommonUtils::IFolderStruct* folders,
                    IPatchThreadPool& checkPool, IPatchThreadPool& getPool, CPatchJobObject& job)
      : sides_(std::move(sides)), folders_(folders), checkPool_(checkPool), getPool_(getPool),
        job_(job) {}
  ~ScriptedRetrieval() override { KQInstallCommonUtils::DestroyFolderStructReader(folders_); }

  unsigned int CheckFile(const tRetrievalSide& side, tGuarded<tFileList> pending,
                         tGuarded<tFileList> processed, tFileList& computed,
                         tGuarded<unsigned long long>, bool&, tGuarded<std::set<std::string>>,
                         tRetrievalEntry& entry) override {
    checked.push_back(side.osId);
    const tSideScript s = script[side.osId];
    auto fill = [s, pending, processed, &computed] {
      for (size_t i = 0; i < s.files.size(); ++i) {
        {
          std::lock_guard<std::mutex> hold(*pending.first);
          computed.push_back(FileEntry(s.files[i]));
          pending.second->push_back(FileEntry(s.files[i]));
        }
        if (i + s.unprocessed >= s.files.size()) continue;
        std::lock_guard<std::mutex> hold(*processed.first);
        processed.second->push_back(FileEntry(s.files[i]));
      }
    };
    if (s.checkOnPool) {
      checkPool_.QueueWork([fill, s, this] {
        Pause();
        if (s.throwOnPool) throw std::runtime_error("check failed");
        fill();
        ++checkTasksDone;
      });
    } else {
      fill();
    }
    if (s.stopJob) job_.RequestStop();
    if (s.statusAfterCheck != 0) entry.status = s.statusAfterCheck;
    return s.checkResult;
  }

  unsigned int GetFile(const tRetrievalSide& side, const std::string&, unsigned long long,
                       const tFileList& pending, tGuarded<tFileList> retrieved,
                       tGuarded<unsigned long long> filesCount,
                       tGuarded<unsigned long long> bytesTotal, tRetrievalEntries&,
                       tRetrievalEntries&, tRetrievalEntry&, bool) override {
    fetched.push_back(side.osId);
    const tSideScript s = script[side.osId];
    const size_t arriving = pending.size() > s.missing ? pending.size() - s.missing : 0;
    tFileList files(pending.begin(), pending.begin() + arriving);
    auto deliver = [files, retrieved, filesCount, bytesTotal] {
      for (const UpdatePatches::BinaryV11& f : files) {
        {
          std::lock_guard<std::mutex> hold(*retrieved.first);
          retrieved.second->push_back(f);
        }
        {
          std::lock_guard<std::mutex> hold(*filesCount.first);
          ++*filesCount.second;
        }
        std::lock_guard<std::mutex> hold(*bytesTotal.first);
        *bytesTotal.second += 100;
      }
    };
    if (s.getOnPool) {
      getPool_.QueueWork([deliver, s] {
        Pause();
        if (s.getThrows) throw std::runtime_error("transfer failed");
        deliver();
      });
    } else {
      deliver();
    }
    return s.getResult;
  }

  unsigned int GetSeedFiles(IMediaAccess&, std::string&, std::string&) override {
    ++seedCalls;
    return seedResult;
  }
  const std::set<tRetrievalSide>& GetSides() override { return sides_; }
  unsigned int GetInstallerFiles(const std::string&, IMediaAccess&, int osId) override {
    installers.push_back(osId);
    return script[osId].installerResult;
  }
  unsigned int PostGetFileOperation(const tRetrievalSide& side, tRetrievalEntries&) override {
    posted.push_back(side.osId);
    return 0;
  }
  KQInstallCommonUtils::IFolderStruct* GetLocalFolderStruct() override { return folders_; }
  unsigned int DoRootFilesPatching(const tRetrievalSide&) override { return 0; }
  void AdjustSucceededUpdatesForCopy(tSideFolderMap& succeeded) override {
    ++adjustCalls;
    for (const tRetrievalSide& side : addOnAdjust) succeeded[side] = folders_;
  }

  std::map<int, tSideScript> script;  // by operating-system id
  unsigned int seedResult = 0;
  std::vector<tRetrievalSide> addOnAdjust;
  // What the phases asked for, by operating-system id in call order.
  std::vector<int> checked, fetched, posted, installers;
  int seedCalls = 0, adjustCalls = 0;
  std::atomic<int> checkTasksDone{0};

 private:
  std::set<tRetrievalSide> sides_;
  KQInstallCommonUtils::IFolderStruct* folders_;
  IPatchThreadPool& checkPool_;
  IPatchThreadPool& getPool_;
  CPatchJobObject& job_;
};

class RetrievalPhasesTest : public ::testing::Test, protected kqtest::RetrievalJobParts {
 protected:
  void SetUp() override {
    config.set("SoftwareCache", "dHOME", cache.path());
    tThreadPoolParams params;
    params.threads = 3;
    ASSERT_EQ(0u, checkPool.Initialize(params, nullptr));
    ASSERT_EQ(0u, getPool.Initialize(params, nullptr));
  }

  // A download or copy job over the source folder.
  TestRetrievalJob& Job(bool copy) { return RetrievalJobParts::Job(source.path(), copy); }

  KQInstallCommonUtils::IFolderStruct* Folders(const FullVersion& version) {
    tFolderStructParam params;
    IComponentsRetrieval::fillInFolderStructParams(params, version, job->m_localCacheTemplate,
                                                   cache.path(), "/");
    KQInstallCommonUtils::IFolderStruct* folders = nullptr;
    EXPECT_EQ(0u, IComponentsRetrieval::ConstructFolderStructObjects(params, folders, sink));
    return folders;
  }

  // The job's retriever of a type for a version, with a side per operating-system id.
  ScriptedRetrieval& Retriever(int type, const FullVersion& version, std::set<int> osIds) {
    std::set<tRetrievalSide> sides;
    for (int id : osIds) sides.insert(Side(id, version));
    auto retriever = std::make_shared<ScriptedRetrieval>(sides, Folders(version), checkPool,
                                                         getPool, jobObject);
    job->getSupportedRetrievals(type)[version] = retriever;
    return *retriever;
  }

  // The job error raised so far: id and job status.
  std::pair<int, int> JobError() {
    int id = 0;
    KQJobStatus status{};
    std::queue<tErrorDetails> details;
    sink.GetErrorDetails(id, status, details);
    return {id, static_cast<int>(status)};
  }

  std::string Log() {
    std::ifstream in(config.logFile());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  kqtest::TempDir source;
  tRetrievalEntries packages, cus, updates, unused;
  tApplianceEntries appliance;
};

// ---- Pending files ----

TEST_F(RetrievalPhasesTest, AnInterruptedCheckLeavesTheRestOfItsVersionMarkedAndGoesOn) {
  Job(false);
  ScriptedRetrieval& newer = Retriever(ePackages, kNewer, {3, 5, 16});
  ScriptedRetrieval& older = Retriever(ePackages, kOlder, {3});
  newer.script[3].files = {"a.bin"};
  newer.script[5].checkResult = 0x8000001Au;

  // A retriever that gives up without the job being stopped: the phase itself succeeds, but
  // neither the side that stopped nor the one never checked may pass as having nothing to fetch.
  ASSERT_EQ(0u, job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_EQ((std::vector<int>{3, 5}), newer.checked);
  EXPECT_EQ((std::vector<int>{3}), older.checked);
  EXPECT_EQ(0u, packages[Side(3)].status);
  EXPECT_EQ(0x8000001Au, packages[Side(5)].status);
  EXPECT_EQ(0x8000001Au, packages[Side(16)].status);
  EXPECT_EQ(0u, packages[Side(3, kOlder)].status);

  // Nothing is fetched for them.
  ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_EQ((std::vector<int>{3}), newer.fetched);
  EXPECT_EQ(0x8000001Au, packages[Side(16)].status);

  // Stopped by the job manager: the verification ends the phase and raises the job error.
  packages.clear();
  newer.checked.clear();
  older.checked.clear();
  newer.script[5].stopJob = true;
  EXPECT_EQ(0x8000001Au,
            job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_EQ((std::vector<int>{3}), older.checked);
  EXPECT_EQ(std::make_pair(0x44000061, 4), JobError());
  EXPECT_TRUE(packages[Side(3)].all.empty());  // verification stopped before the first side
}

TEST_F(RetrievalPhasesTest, LackOfSpaceEndsThePhaseOnlyInVerification) {
  Job(false);
  ScriptedRetrieval& newer = Retriever(eUpdates, kNewer, {3, 5});
  ScriptedRetrieval& older = Retriever(eUpdates, kOlder, {3});
  ScriptedRetrieval& empty = Retriever(eUpdates, Media(18, 7, 1), {});
  newer.script[3].checkResult = 0x80000010u;
  newer.script[5].files = {"x/KB100.msu"};

  // Any other failure marks the side and is only logged.
  ASSERT_EQ(0u, job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_EQ(0x80000010u, updates[Side(3)].status);
  EXPECT_EQ(1u, updates[Side(5)].all.size());
  EXPECT_EQ(1, empty.seedCalls);  // a version without sides still gets its seed files

  // The side that lacks space does not stop the checks: every version is checked first.
  for (int how = 0; how < 2; ++how) {
    updates.clear();
    newer.checked.clear();
    older.checked.clear();
    newer.script[3] = tSideScript();
    if (how == 0) newer.script[3].checkResult = 0x8000001Du;
    else newer.script[3].statusAfterCheck = 0x8000001Du;
    EXPECT_EQ(0x8000001Du,
              job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
    EXPECT_EQ((std::vector<int>{3, 5}), newer.checked);
    EXPECT_EQ((std::vector<int>{3}), older.checked);
    EXPECT_EQ(0x8000001Du, updates[Side(3)].status);
  }
}

TEST_F(RetrievalPhasesTest, AppliancePatchesAreCheckedFirstAndFetchedLast) {
  Job(false);
  ScriptedRetrieval& retriever = Retriever(ePackages, kNewer, {3});
  job->unixFilesResult = 0x80000010u;
  EXPECT_EQ(0x80000010u,
            job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_TRUE(retriever.checked.empty());

  // An appliance file that cannot be fetched fails the phase after every type was retrieved.
  packages[Side(3)] = Pending({"p/a.cab"});
  appliance[Side(3)]["Windows Server 2019"] = Pending({"KQAppliance/w/KB1.msu"});
  EXPECT_NE(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_EQ((std::vector<int>{3}), retriever.fetched);
  EXPECT_EQ(1u, job->m_failedApplianceOSes.count("Windows Server 2019"));
}

TEST_F(RetrievalPhasesTest, ACopyJobSettlesTheCachedPacksOfTheUpdatePacksItFound) {
  // A pack 4 found among the loose updates, with pack 2 already in the cache.
  FullVersion pack = kNewer;
  pack.Set(FullVersion::kUPNumber, 4);
  Job(false);
  KQInstallCommonUtils::IFolderStruct* folders = Folders(kNewer);
  const std::string root =
      folders->GetPath(KQInstallCommonUtils::eKindFeatureReleaseRoot,
                       CPatchInstallCommon::GetUpdateOSNameFromID(3, false), FullVersion(), 0);
  KQInstallCommonUtils::DestroyFolderStructReader(folders);
  ASSERT_FALSE(root.empty());
  kqtest::WriteFile(root + "/CU2/pack.bin", "2");
  policy.m_cuPacksInLooseUpdates[Side(3, pack)] = nullptr;

  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copy job" : "download job");
    Job(copy);
    ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
    EXPECT_EQ(copy ? 2 : 0, job->m_lowerBoundCUVersion.Get(FullVersion::kUPNumber));
  }
}

TEST_F(RetrievalPhasesTest, EachJobHasATemporaryFolderOfItsOwnUntilItEnds) {
  Job(false);
  ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  const std::string shared = base / "Temp/CopySoftware";
  const std::string mine = job->m_copyTempFolder;
  ASSERT_EQ(shared + "/", mine.substr(0, shared.size() + 1));
  kqtest::WriteFile(mine + "/part.bin", "a");

  // A second job at the same time works in another folder and leaves this one alone.
  std::string theirs;
  {
    TestRetrievalJob other(jobObject, sink, *dataManager, policy, builder, checkPool, getPool,
                           *media);
    other.m_localCacheTemplate = job->m_localCacheTemplate;
    ASSERT_EQ(0u, other.GetIncrementalFile(packages, cus, updates, unused, appliance));
    theirs = other.m_copyTempFolder;
    EXPECT_NE(mine, theirs);
    EXPECT_EQ("a", kqtest::ReadFile(mine + "/part.bin"));
  }
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(theirs));

  // The job's own folder is emptied at its next patch type and goes with the job.
  ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(mine + "/part.bin"));
  job.reset();
  EXPECT_FALSE(CPatchInstallCommon::IsFolderExisted(mine));

  // A shared folder that is a link is not worked in.
  ASSERT_TRUE(kq::RemoveTreeNoFollow(shared, nullptr));
  ASSERT_EQ(0, symlink(source.path().c_str(), shared.c_str()));
  Job(false);
  EXPECT_EQ(0x80000010u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_TRUE(CPxDirectory::IsEmpty(source.path()));
}

// A job in a process of its own: "job <install folder> <scratch folder>" runs the GetFile
// phase of a job with no sides under that install folder, prints the job's temporary folder
// and holds it until its input ends (or it is killed). Its own temporary folders go to the
// scratch folder.
int RunJobHelper(int argc, char** argv) {
  if (argc < 5 || std::strcmp(argv[2], "job") != 0) return 2;
  setenv("TMPDIR", argv[4], 1);
  kqtest::RetrievalJobParts parts;
  parts.config.set("Base", "dHOME", argv[3]);
  parts.config.set("SoftwareCache", "dHOME", parts.cache.path());
  tThreadPoolParams params;
  params.threads = 1;
  if (parts.checkPool.Initialize(params, nullptr) != 0 ||
      parts.getPool.Initialize(params, nullptr) != 0)
    return 3;
  tRetrievalEntries packages, cus, updates, unused;
  tApplianceEntries appliance;
  TestRetrievalJob& job = parts.Job(parts.cache.path(), false);
  if (job.GetIncrementalFile(packages, cus, updates, unused, appliance) != 0) return 4;
  std::printf("%s\n", job.m_copyTempFolder.c_str());
  std::fflush(stdout);
  kqtest::WaitForEndOfInput();
  return 0;
}

TEST_F(RetrievalPhasesTest, AStartingJobRemovesTheFoldersOfDeadJobsAndKeepsALiveOnes) {
  const std::string shared = base / "Temp/CopySoftware";
  kqtest::TempDir scratch;
  kqtest::HelperProcess live({"job", base.path(), scratch.path()}, 0);
  const std::string liveFolder = live.ReadLine();
  ASSERT_EQ(shared + "/", liveFolder.substr(0, shared.size() + 1));
  kqtest::WriteFile(liveFolder + "/part.bin", "live");
  std::string deadFolder;
  {
    kqtest::HelperProcess killed({"job", base.path(), scratch.path()}, 0);
    deadFolder = killed.ReadLine();
    ASSERT_EQ(shared + "/", deadFolder.substr(0, shared.size() + 1));
    kqtest::WriteFile(deadFolder + "/part/a.bin", "dead");
    killed.Kill();
  }
  // A job that crashed under an earlier release named its folder by process id and count. What
  // is not a job's folder stays, and so does a link that has a job's name.
  kqtest::WriteFile(shared + "/P4000000_1/part/a.bin", "old");
  kqtest::WriteFile(shared + "/notes.txt", "kept");
  kqtest::WriteFile(source / "outside.bin", "outside");
  ASSERT_EQ(0, symlink(source.path().c_str(), (shared + "/P4000001_1").c_str()));

  Job(false);
  ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  struct stat st;
  EXPECT_NE(0, lstat(deadFolder.c_str(), &st));
  EXPECT_NE(0, lstat((shared + "/P4000000_1").c_str(), &st));
  EXPECT_EQ("live", kqtest::ReadFile(liveFolder + "/part.bin"));
  EXPECT_EQ("kept", kqtest::ReadFile(shared + "/notes.txt"));
  ASSERT_EQ(0, lstat((shared + "/P4000001_1").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("outside", kqtest::ReadFile(source / "outside.bin"));

  // The live job's folder goes when that job ends; a job still running keeps its own.
  EXPECT_EQ(0, live.Finish());
  EXPECT_NE(0, lstat(liveFolder.c_str(), &st));
  EXPECT_TRUE(CPatchInstallCommon::IsFolderExisted(job->m_copyTempFolder));
}

TEST_F(RetrievalPhasesTest, ChecksOnThePoolAreCountedOnlyAfterTheyFinish) {
  Job(false);
  ScriptedRetrieval& newer = Retriever(eUpdates, kNewer, {3, 5});
  ScriptedRetrieval& older = Retriever(eUpdates, kOlder, {3});
  newer.script[3] = {};
  newer.script[3].files = {"u/KB100.msu", "u/KB200.cab", "u/readme"};
  newer.script[3].checkOnPool = true;
  newer.script[5].files = {"u/a.bin", "u/b.bin"};
  newer.script[5].checkOnPool = true;
  newer.script[5].unprocessed = 1;
  older.seedResult = 0x80000018u;

  // A failing seed-file request ends the phase, but only once the queued checks are over.
  EXPECT_EQ(0x80000018u,
            job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_EQ(2, newer.checkTasksDone.load());

  older.seedResult = 0;
  updates.clear();
  job->m_checkFileNames.insert("left over");
  ASSERT_EQ(0u, job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_TRUE(job->m_checkFileNames.empty());
  const tRetrievalEntry& full = updates[Side(3)];
  EXPECT_EQ(0u, full.status);
  EXPECT_EQ(3u, full.all.size());
  EXPECT_EQ(3u, full.pending.size());
  EXPECT_EQ(0x8000001Eu, updates[Side(5)].status);  // one check never completed
  EXPECT_EQ(0u, updates[Side(3, kOlder)].status);
  EXPECT_NE(std::string::npos, Log().find("[KB100, KB200, readme, ]"));

  // A task that throws fails the wait, and the phase with it, before anything is verified.
  updates.clear();
  newer.script[5].throwOnPool = true;
  EXPECT_EQ(0x8000001Au,
            job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_TRUE(updates[Side(3)].all.empty());
}

// ---- Retrieval ----

TEST_F(RetrievalPhasesTest, UpdatesOfADownloadJobWaitForTheirMediaOnlyWhereItFailed) {
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copy job" : "download job");
    Job(copy);
    ScriptedRetrieval& retriever = Retriever(eUpdates, kNewer, {3, 5, 16});
    packages.clear();
    updates.clear();
    packages[Side(3)] = Pending({}, 0x8000001Eu);  // its media check failed
    packages[Side(5)] = Pending({});
    // Side 16 has no package entry at all.
    for (int id : {3, 5, 16}) updates[Side(id)] = Pending({"u/KB1.msu"});
    ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
    EXPECT_EQ(copy ? std::vector<int>({3, 5, 16}) : std::vector<int>({5, 16}), retriever.fetched);
    EXPECT_EQ(copy ? 0u : 0x8000001Fu, updates[Side(3)].status);
    EXPECT_EQ(0u, updates[Side(16)].status);
    EXPECT_EQ(0u, packages.count(Side(16)));  // no package side is made up for it
  }
}

TEST_F(RetrievalPhasesTest, CopyJobsRunThePostRetrievalOfUpdatePacksAndUpdatesOncePerVersion) {
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copy job" : "download job");
    Job(copy);
    ScriptedRetrieval* byType[3][2];
    const int types[3] = {ePackages, eCumulativeUpdatePacks, eUpdates};
    for (int t = 0; t < 3; ++t) {
      byType[t][0] = &Retriever(types[t], kNewer, {3, 5});
      byType[t][1] = &Retriever(types[t], kOlder, {3, 5});
    }
    for (tRetrievalEntries* entries : {&packages, &cus, &updates})
      for (const FullVersion& v : {kNewer, kOlder})
        for (int id : {3, 5}) (*entries)[Side(id, v)] = Pending({});
    ASSERT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
    for (int t = 0; t < 3; ++t) {
      const bool once = copy && types[t] != ePackages;
      for (ScriptedRetrieval* r : byType[t]) {
        EXPECT_EQ(once ? std::vector<int>({3}) : std::vector<int>({3, 5}), r->posted)
            << getComponentsType(types[t]);
        EXPECT_TRUE(r->installers.empty());  // nothing arrived, so no installer files
      }
    }
  }
}

TEST_F(RetrievalPhasesTest, TransfersOnThePoolAreVerifiedAfterTheyFinish) {
  Job(false);
  ScriptedRetrieval& retriever = Retriever(eUpdates, kNewer, {3, 5, 16});
  for (int id : {3, 5, 16}) retriever.script[id].getOnPool = true;
  retriever.script[5].missing = 1;
  retriever.script[16].installerResult = 0x80000010u;
  updates[Side(3)] = Pending({"u/KB1.msu", "u/KB2.msu"});
  updates[Side(5)] = Pending({"u/KB1.msu", "u/KB2.msu"});
  updates[Side(16)] = Pending({"u/KB9.tar"});

  EXPECT_EQ(0x80000010u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_EQ(0u, updates[Side(3)].status);
  EXPECT_EQ(2u, updates[Side(3)].retrieved.size());
  EXPECT_EQ(0x8000001Fu, updates[Side(5)].status);
  EXPECT_EQ(0x80000010u, updates[Side(16)].status);
  EXPECT_EQ((std::vector<int>{3, 16}), retriever.installers);
  EXPECT_EQ(4u, job->GetNumFilesDownloaded());
  EXPECT_EQ(400u, job->GetTotalBytesDownloaded());

  // A transfer that throws leaves its side short of files; the others are settled as usual.
  retriever.script[3].getThrows = true;
  retriever.script[16].installerResult = 0;
  for (int id : {3, 5, 16}) {
    updates[Side(id)].retrieved.clear();
    updates[Side(id)].status = 0;
  }
  retriever.script[5].missing = 0;
  EXPECT_EQ(0u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_EQ(0x8000001Fu, updates[Side(3)].status);
  EXPECT_EQ(0u, updates[Side(5)].status);
  EXPECT_EQ(0u, updates[Side(16)].status);
  // The next CheckFile phase starts the counts again.
  ASSERT_EQ(0u, job->CalculatePendingIncrementalFiles(packages, cus, updates, unused, appliance));
  EXPECT_EQ(0u, job->GetNumFilesDownloaded());
  EXPECT_EQ(0u, job->GetTotalBytesDownloaded());
}

TEST_F(RetrievalPhasesTest, AFailedTransferSkipsTheRestOfItsVersionAndThePostRetrieval) {
  Job(false);
  ScriptedRetrieval& newer = Retriever(ePackages, kNewer, {3, 5});
  ScriptedRetrieval& older = Retriever(ePackages, kOlder, {3, 5});
  newer.script[3].getResult = 0x80000010u;
  older.script[3].getResult = 0x80000046u;
  for (const FullVersion& v : {kNewer, kOlder})
    for (int id : {3, 5}) packages[Side(id, v)] = Pending({"p/a.cab"});

  EXPECT_EQ(0x80000046u, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_EQ((std::vector<int>{3}), newer.fetched);
  EXPECT_EQ((std::vector<int>{3}), older.fetched);
  EXPECT_TRUE(newer.posted.empty());
  EXPECT_TRUE(older.posted.empty());
  EXPECT_EQ(0u, packages[Side(3)].status);  // what it had arrived
  EXPECT_EQ(0x8000001Fu, packages[Side(5)].status);
  EXPECT_EQ(0x8000001Fu, packages[Side(5, kOlder)].status);

  // Stopped meanwhile: the verification reports it.
  jobObject.RequestStop();
  EXPECT_EQ(0x8000001Au, job->GetIncrementalFile(packages, cus, updates, unused, appliance));
  EXPECT_EQ(std::make_pair(0x44000061, 4), JobError());
}

// ---- Reconciliation ----

// The six side maps of one reconciliation.
struct tResult {
  tSideFolderMap maps[6];  // succeeded, then failed: packages, maintenance releases, updates
  std::map<std::string, tRetrievalEntry> applianceOSes;

  unsigned int Run(TestRetrievalJob& job, tRetrievalEntries& p, tRetrievalEntries& c,
                   tRetrievalEntries& u) {
    return job.GetRetrievalResult(p, c, u, maps[0], maps[3], maps[1], maps[4], maps[2], maps[5],
                                  applianceOSes);
  }
  // Where the side ended: "sP sC sU fP fC fU" for those that hold it.
  std::string Where(const tRetrievalSide& side) const {
    static const char* const kNames[6] = {"sP", "sC", "sU", "fP", "fC", "fU"};
    std::string text;
    for (int i = 0; i < 6; ++i) {
      if (maps[i].count(side) == 0) continue;
      if (!text.empty()) text += " ";
      text += kNames[i];
    }
    return text;
  }
};

TEST_F(RetrievalPhasesTest, AFailureOfOneTypeOfASideIsCarriedToTheOthers) {
  Job(false);
  for (int type : {ePackages, eCumulativeUpdatePacks, eUpdates}) Retriever(type, kNewer, {});
  // Per side: packages, maintenance releases, updates; '-' no entry, 'S' succeeded, 'F' failed.
  const struct {
    const char* states;
    const char* where;
  } kCases[] = {
      {"---", ""},
      {"--S", "sP sU"},
      {"--F", "fP fC fU"},
      {"-S-", "sP sC"},
      {"-SS", "sP sC sU"},
      {"-SF", "sP sC fP fC fU"},
      {"-F-", "fC fU"},
      {"-FS", "sP sU fC fU"},
      {"-FF", "fP fC fU"},
      {"S--", "sP sU"},
      {"S-S", "sP sU"},
      {"S-F", "fP fC fU"},
      {"SS-", "sP sC sU"},
      {"SSS", "sP sC sU"},
      {"SSF", "sP sC fP fC fU"},
      {"SF-", "sP sU fC fU"},
      {"SFS", "sP sU fC fU"},
      {"SFF", "fP fC fU"},
      {"F--", "fP fU"},
      {"F-S", "fP fU"},
      {"F-F", "fP fC fU"},
      {"FS-", "fP fU"},
      {"FSS", "fP fU"},
      {"FSF", "fP fC fU"},
      {"FF-", "fP fC fU"},
      {"FFS", "fP fC fU"},
      {"FFF", "fP fC fU"},
  };
  const tRetrievalSide side = Side(3);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.states);
    tRetrievalEntries byType[3];
    for (int t = 0; t < 3; ++t) {
      if (c.states[t] == 'S') byType[t][side] = Pending({});
      if (c.states[t] == 'F') byType[t][side] = Pending({"f"}, 0x80000010u);
    }
    tResult result;
    ASSERT_EQ(0u, result.Run(*job, byType[0], byType[1], byType[2]));
    EXPECT_EQ(c.where, result.Where(side));
  }
}

TEST_F(RetrievalPhasesTest, ASideThatGotFewerFilesThanPendingFails) {
  Job(false);
  for (int type : {ePackages, eCumulativeUpdatePacks, eUpdates}) Retriever(type, kNewer, {});
  tRetrievalEntry incomplete = Pending({"a", "b"});
  incomplete.retrieved.push_back(FileEntry("a"));
  packages[Side(3)] = Pending({});
  updates[Side(3)] = incomplete;
  // An earlier failure of the side keeps its code.
  packages[Side(5)] = Pending({"a"}, 0x80000010u);
  updates[Side(5)] = incomplete;
  packages[Side(16)] = Pending({"a"});
  packages[Side(16)].retrieved = packages[Side(16)].pending;

  tResult result;
  ASSERT_EQ(0u, result.Run(*job, packages, cus, updates));
  EXPECT_EQ("fP fC fU", result.Where(Side(3)));
  EXPECT_EQ(0x8000001Fu, job->m_sideStatus[Side(3)]);
  EXPECT_EQ("fP fC fU", result.Where(Side(5)));
  EXPECT_EQ(0x80000010u, job->m_sideStatus[Side(5)]);
  EXPECT_EQ("sP sU", result.Where(Side(16)));
  EXPECT_EQ(0u, job->m_sideStatus[Side(16)]);
}

TEST_F(RetrievalPhasesTest, ApplianceFailuresAndCopyAdjustmentsJoinTheResultButBadSystemsDoNot) {
  Job(true);
  ScriptedRetrieval& updater = Retriever(eUpdates, kNewer, {});
  for (int type : {ePackages, eCumulativeUpdatePacks}) Retriever(type, kNewer, {});
  KQInstallCommonUtils::IFolderStruct* applianceFolders = Folders(kNewer);
  job->m_failedApplianceSides[Side(5)] = applianceFolders;
  job->m_failedApplianceSides[Side(40)] = nullptr;
  job->m_failedApplianceOSes["Windows Server 2019"] = Pending({"KQAppliance/w.msu"}, 0x80000046u);
  updater.addOnAdjust = {Side(0), Side(3)};
  packages[Side(0)] = Pending({});   // not an update system
  packages[Side(35)] = Pending({}, 0x80000010u);
  cus[Side(5)] = Pending({});

  tResult result;
  ASSERT_EQ(0u, result.Run(*job, packages, cus, updates));
  EXPECT_EQ(1, updater.adjustCalls);
  EXPECT_EQ("fP fC fU", result.Where(Side(5)));
  EXPECT_EQ(applianceFolders, result.maps[3][Side(5)]);
  EXPECT_EQ("sP sU", result.Where(Side(3)));  // added by the copy job's adjustment
  for (int bad : {0, 35, 40}) EXPECT_EQ("", result.Where(Side(bad))) << bad;
  EXPECT_EQ(0u, job->m_sideStatus.count(Side(0)));
  ASSERT_EQ(1u, result.applianceOSes.size());
  EXPECT_EQ(0x80000046u, result.applianceOSes["Windows Server 2019"].status);

  // A download job leaves the succeeded updates alone; a version without a retriever of its
  // type cannot be settled.
  Job(false);
  for (int type : {ePackages, eCumulativeUpdatePacks}) Retriever(type, kNewer, {});
  updates[Side(5)] = Pending({});
  EXPECT_EQ(0x8000000Fu, result.Run(*job, packages, cus, updates));
  EXPECT_EQ("sC", result.Where(Side(5)));  // what was settled before it
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--kq-lock-helper") == 0) return RunJobHelper(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
