// The last steps of a retrieval job: old maintenance-release and feature-release folders of a
// real cache, the media installed clients keep, root-files patching of the succeeded sides and
// the final side lists, over a real database and real folders.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "HubnodeFixture.h"
#include "KqDbTestEnv.h"
#include "PortableFiles/SafePath.h"
#include "RetrievalPhaseEnv.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using namespace nPatchDownload;
using kqtest::ScopedHostBody;
using kqtest::TestComponentsRetrieval;
using kqtest::TestRetrievalJob;

bool Exists(const std::string& path) { return CPatchInstallCommon::IsFolderExisted(path); }

// The answer of the installed-sides query: each (version, operating system).
std::string Installed(const std::vector<std::pair<FullVersion, int>>& sides) {
  UpdatePatches::InstalledVerOs answer;
  std::vector<CNMessageBase> list;
  for (const auto& s : sides) {
    UpdatePatches::InstalledVersions entry;
    UpdatePatches::FullVersion m;
    m.setObjectAccessor(UpdatePatches::FullVersion::kSPVersion, kqfixture::SPMessage(s.first));
    entry.setObjectAccessor(UpdatePatches::InstalledVersions::kVersion, m);
    UpdatePatches::OSInfo os;
    os.setint64(UpdatePatches::OSInfo::kField1, s.second);
    entry.setlistobject(UpdatePatches::InstalledVersions::kList, {os});
    list.push_back(entry);
  }
  answer.setlistobject(UpdatePatches::InstalledVerOs::kList, list);
  return kqfixture::Xml(answer);
}

std::set<std::string> Sides(const tSideFolderMap& map) {
  std::set<std::string> out;
  for (const auto& s : map)
    out.insert(s.first.mediaVersion.formatted_str(FullVersion::kFormatSide) + ":" +
               std::to_string(s.first.osId));
  return out;
}

UpdatePatches::BinaryV11 File(const std::string& path, const std::string& checksum) {
  UpdatePatches::BinaryV11 b;
  b.setstring(UpdatePatches::BinaryV11::kRelativePath, path);
  b.setstring(UpdatePatches::BinaryV11::kChecksum, checksum);
  return b;
}

std::string Name(const tRetrievalSide& s) {
  return s.mediaVersion.formatted_str(FullVersion::kFormatSide) + ":" + std::to_string(s.osId);
}

class OldMediaTest : public kqtest::RetrievalPhaseTest {
 protected:
  OldMediaTest() {
    policy.m_hubnodeVersion = Version(19, 200, 1);
    policy.m_callerType = 3;
  }

  std::string Release() { return cache / "KQMedia/11.0.0"; }
  // The maintenance-release folder root of the Windows side of SP20_4711_R3.
  std::string PackRoot() { return Release() + "/SP20_4711_R3/Windows/BinaryPayload/LooseUpdates"; }
  void Packs(const std::vector<int>& numbers, bool updatesFolder) {
    for (int n : numbers) kqtest::WriteFile(PackRoot() + "/CU" + std::to_string(n) + "/p.bin", "p");
    if (updatesFolder) kqtest::WriteFile(PackRoot() + "/Updates/u.bin", "u");
    kqtest::WriteFile(PackRoot() + "/CU07/odd.bin", "not a pack folder");
  }
  // A feature-release folder with a Windows payload.
  void FeatureRelease(const std::string& name) {
    kqtest::WriteFile(Release() + "/" + name + "/Windows/BinaryPayload/f.bin", "f");
  }
};

TEST_F(OldMediaTest, MaintenanceReleasesAroundTheCandidate) {
  // Candidate 0 with packs 3 and 5: the newest stays, 3 goes, no lower bound.
  Packs({3, 5}, true);
  {
    TestRetrievalJob& job = Job(source.path(), false);
    ASSERT_EQ(0u, job.processExistingCUs(3, Version(20)));
    EXPECT_EQ((std::vector<std::string>{PackRoot() + "/Updates", PackRoot() + "/CU3"}),
              job.m_foldersToDelete);
    EXPECT_EQ((std::set<std::string>{Name(Side(3, Version(20, 4711, 3, 3)))}),
              Sides(job.m_oldMediaToRemove));
    EXPECT_EQ(FullVersion(), job.m_lowerBoundCUVersion);
  }
  Restart();  // the job removes what it queued
  EXPECT_FALSE(Exists(PackRoot() + "/CU3"));
  EXPECT_FALSE(Exists(PackRoot() + "/Updates"));
  EXPECT_TRUE(Exists(PackRoot() + "/CU5"));
  EXPECT_TRUE(Exists(PackRoot() + "/CU07"));

  // Candidate 4 with 2, 4 and 6: the closest lower pack is the bound, the candidate stays.
  ASSERT_TRUE(kq::RemoveTreeNoFollow(PackRoot() + "/CU5", nullptr));
  Packs({2, 4, 6}, true);
  TestRetrievalJob& job = Job(source.path(), false);
  ASSERT_EQ(0u, job.processExistingCUs(3, Version(20, 4711, 3, 4)));
  EXPECT_EQ(2, job.m_lowerBoundCUVersion.Get(FullVersion::kUPNumber));
  EXPECT_EQ(0, FullVersion::Compare(FullVersion::kCompareMedia, Version(20),
                                    job.m_lowerBoundCUVersion));
  EXPECT_EQ((std::vector<std::string>{PackRoot() + "/Updates", PackRoot() + "/CU2",
                                      PackRoot() + "/CU6"}),
            job.m_foldersToDelete);
  EXPECT_EQ((std::set<std::string>{Name(Side(3, Version(20, 4711, 3, 2))),
                                   Name(Side(3, Version(20, 4711, 3, 6)))}),
            Sides(job.m_oldMediaToRemove));
  job.m_foldersToDelete.clear();  // kept for the next cases

  // Another caller computes the bound and queues nothing.
  policy.m_callerType = 2;
  TestRetrievalJob& other = Job(source.path(), false);
  ASSERT_EQ(0u, other.processExistingCUs(3, Version(20, 4711, 3, 4)));
  EXPECT_EQ(2, other.m_lowerBoundCUVersion.Get(FullVersion::kUPNumber));
  EXPECT_TRUE(other.m_foldersToDelete.empty());
  EXPECT_TRUE(other.m_oldMediaToRemove.empty());

  // No pack folders at all, and a hierarchy that does not decode.
  policy.m_callerType = 3;
  TestRetrievalJob& none = Job(source.path(), false);
  ASSERT_EQ(0u, none.processExistingCUs(16, Version(20, 4711, 3, 4)));
  EXPECT_TRUE(none.m_foldersToDelete.empty());
  EXPECT_EQ(FullVersion(), none.m_lowerBoundCUVersion);
  none.m_localCacheTemplate = "<broken";
  EXPECT_EQ(0x80000021u, none.processExistingCUs(3, Version(20)));
}

TEST_F(OldMediaTest, OldFeatureReleasesGoUnlessClientsUseThem) {
  for (const char* name : {"SP18_100_R1", "SP19_200_R1", "SP20_4711_R3", "SP21_5000_R1"})
    FeatureRelease(name);
  kqtest::WriteFile(Release() + "/Other/x.bin", "x");
  ScopedHostBody installed("SimGetFullVersionAndOSInfo", 0,
                           ScopedHostBody::Answer(Installed({{Version(18, 100, 1), 3},
                                                             {Version(19, 200, 1), 3}})));
  const FullVersion latest = Version(20);
  {
    TestRetrievalJob& job = Job(source.path(), false);
    job.m_localMediaRoot = Release();
    ASSERT_FALSE(CSoftwareRetrieval::populateMediaToKeep(job.m_mediaToKeep, cache.path(), *sink,
                                                         *manager));
    ASSERT_EQ(2u, job.m_mediaToKeep.size());
    FullVersion previous;
    ASSERT_TRUE(job.getLatestServicePackDownloaded(latest, previous));
    EXPECT_EQ(0, FullVersion::Compare(FullVersion::kCompareMedia, Version(19, 200, 1), previous));
    // SP18 has a client, SP19 is the Hubnode's, SP20 the latest; SP21 is newer than the Hubnode.
    EXPECT_EQ((std::vector<std::string>{Release() + "/SP21_5000_R1"}), job.m_foldersToDelete);
    EXPECT_EQ((std::set<std::string>{Name(Side(3, Version(21, 5000, 1)))}),
              Sides(job.m_oldMediaToRemove));
    job.m_foldersToDelete.clear();  // the job would remove them when it ends
  }
  {
    // A job that never filled its media to keep judges by the sides installed now: SP18 stays
    // while its client does.
    TestRetrievalJob& job = Job(source.path(), false);
    job.m_localMediaRoot = Release();
    FullVersion previous;
    ASSERT_TRUE(job.getLatestServicePackDownloaded(latest, previous));
    EXPECT_EQ((std::vector<std::string>{Release() + "/SP21_5000_R1"}), job.m_foldersToDelete);
    job.m_foldersToDelete.clear();
    ScopedHostBody only19("SimGetFullVersionAndOSInfo", 0,
                          ScopedHostBody::Answer(Installed({{Version(19, 200, 1), 3}})));
    ASSERT_TRUE(job.getLatestServicePackDownloaded(latest, previous));
    EXPECT_EQ((std::vector<std::string>{Release() + "/SP18_100_R1", Release() + "/SP21_5000_R1"}),
              job.m_foldersToDelete);
    job.m_foldersToDelete.clear();
  }
  {
    // Installed sides unreadable: nothing is queued.
    ScopedHostBody failing("SimGetFullVersionAndOSInfo", 0, ScopedHostBody::Fail());
    tSideFolderMap keep;
    EXPECT_TRUE(CSoftwareRetrieval::populateMediaToKeep(keep, cache.path(), *sink, *manager));
    EXPECT_TRUE(keep.empty());
    TestRetrievalJob& job = Job(source.path(), false);
    job.m_localMediaRoot = Release();
    FullVersion previous;
    EXPECT_TRUE(job.getLatestServicePackDownloaded(latest, previous));
    EXPECT_TRUE(job.m_foldersToDelete.empty());
    EXPECT_TRUE(job.m_oldMediaToRemove.empty());
    // Nor when no side at all is installed: that is no answer either.
    ScopedHostBody none("SimGetFullVersionAndOSInfo", 0, ScopedHostBody::Answer(Installed({})));
    EXPECT_TRUE(job.getLatestServicePackDownloaded(latest, previous));
    EXPECT_TRUE(job.m_foldersToDelete.empty());
  }
  {
    policy.m_callerType = 2;
    TestRetrievalJob& job = Job(source.path(), false);
    job.m_localMediaRoot = Release();
    FullVersion previous;
    EXPECT_TRUE(job.getLatestServicePackDownloaded(latest, previous));
    EXPECT_TRUE(job.m_foldersToDelete.empty());
    // Nothing below the oldest release, an empty root and a missing one.
    EXPECT_FALSE(job.getLatestServicePackDownloaded(Version(18, 100, 1), previous));
    job.m_localMediaRoot.clear();
    EXPECT_FALSE(job.getLatestServicePackDownloaded(latest, previous));
    job.m_localMediaRoot = cache / "missing";
    EXPECT_FALSE(job.getLatestServicePackDownloaded(latest, previous));
  }
  for (const char* name : {"SP18_100_R1", "SP19_200_R1", "SP20_4711_R3", "SP21_5000_R1", "Other"})
    EXPECT_TRUE(Exists(Release() + "/" + name)) << name;
}

// An event sink without a log object of its own: its lines go to the default log.
class SinkWithoutLog : public CPatchDebug {
 public:
  EvDebug* GetEvDebug() override { return nullptr; }
};

TEST_F(OldMediaTest, TheStepsRunWithASinkWithoutALogObject) {
  FeatureRelease("SP18_100_R1");
  FeatureRelease("SP20_4711_R3");
  Packs({3, 5}, false);
  ScopedHostBody installed("SimGetFullVersionAndOSInfo", 0,
                           ScopedHostBody::Answer(Installed({{Version(19, 200, 1), 3}})));
  manager.reset();
  sink.reset(new SinkWithoutLog());
  int status = -1;
  manager.reset(new CPatchDataManagerHN(*sink, status));
  TestRetrievalJob& job = Job(source.path(), false);
  job.m_localMediaRoot = Release();
  FullVersion previous;
  job.getLatestServicePackDownloaded(Version(20), previous);
  ASSERT_EQ(0u, job.processExistingCUs(3, Version(20)));
  EXPECT_EQ((std::vector<std::string>{Release() + "/SP18_100_R1", PackRoot() + "/CU3"}),
            job.m_foldersToDelete);
  job.m_foldersToDelete.clear();
  tSideFolderMap packages, packs, updates{{Side(3, Version(20)), nullptr}}, failed[3];
  EXPECT_EQ(0u, job.DoRootFilesPatching(packages, packs, updates, failed[0], failed[1], failed[2]));

  // The appliance steps, with names that are logged as they are skipped.
  job.unixFiles["rhel-7.3"].retrieved = {File("KQAppliance/../../x.rpm", "7")};
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  entries[Side(3, Version(20))]["Windows 2022"].pending = {File("KQAppliance/../../e.msu", "1")};
  EXPECT_EQ(0u, job.getOSAppliancePatches(entries));
  EXPECT_EQ(2u, TimesLogged("Skipping appliance file [KQAppliance/../../"));
}

TEST_F(OldMediaTest, WhichInstalledMediaKeepARelease) {
  TestRetrievalJob& job = Job(source.path(), false);
  tSideFolderMap& keep = job.m_mediaToKeep;  // the job owns the objects
  keep[Side(3, Version(19, 200, 1, 2))] = nullptr;
  keep[Side(16, Version(17, 50, 1))] = nullptr;
  const FullVersion hubnode = Version(20);
  std::set<tRetrievalSide> kept;
  EXPECT_TRUE(CSoftwareRetrieval::IsSPAllowed(Version(20), keep, kept, FullVersion::kCompareMedia,
                                              hubnode));
  EXPECT_TRUE(kept.empty());
  EXPECT_TRUE(CSoftwareRetrieval::IsSPAllowed(Version(19, 200, 1), keep, kept,
                                              FullVersion::kCompareMedia, hubnode));
  EXPECT_EQ(1u, kept.size());
  kept.clear();
  // By pack: only media at or below the release's pack keep it.
  EXPECT_FALSE(CSoftwareRetrieval::IsSPAllowed(Version(19, 200, 1, 1), keep, kept,
                                               FullVersion::kCompareMediaWithUP, hubnode));
  EXPECT_TRUE(CSoftwareRetrieval::IsSPAllowed(Version(19, 200, 1, 5), keep, kept,
                                              FullVersion::kCompareMediaWithUP, hubnode));
  EXPECT_TRUE(CSoftwareRetrieval::IsSPAllowed(Version(19, 999, 9), keep, kept,
                                              FullVersion::kCompareLevel, hubnode));
  EXPECT_FALSE(CSoftwareRetrieval::IsSPAllowed(Version(18, 100, 1), keep, kept,
                                               FullVersion::kCompareMedia, hubnode));

  FullVersion candidate = Version(19, 1, 1);
  ASSERT_TRUE(CSoftwareRetrieval::GetLatestInstalledDVDForSP(candidate, keep));
  EXPECT_EQ(200, candidate.Get(FullVersion::kTransactionId));
  EXPECT_EQ(1, candidate.Get(FullVersion::kRevisionId));
  FullVersion none = Version(16);
  EXPECT_FALSE(CSoftwareRetrieval::GetLatestInstalledDVDForSP(none, keep));
  EXPECT_EQ(Version(16), none);
}

TEST_F(OldMediaTest, RootFilesPatchingFailuresMoveTheSideToEveryFailedList) {
  TestRetrievalJob& job = Job(source.path(), false);
  const FullVersion v1 = Version(20, 4711, 3, 2), v2 = Version(19, 200, 1, 1);
  job.generateSupportedMap(v1, {}, {3, 16}, job.maintenanceReleases);
  job.generateSupportedMap(v2, {}, {3}, job.maintenanceReleases);
  job.generateSupportedMap(v1, {}, {3}, job.updates);
  ASSERT_EQ(0u, job.Initialize());
  auto retriever = [&](int type, const FullVersion& v) {
    return static_cast<TestComponentsRetrieval*>(job.getSupportedRetrievals(type)[v].get());
  };
  TestComponentsRetrieval* r1 = retriever(eCumulativeUpdatePacks, v1);
  TestComponentsRetrieval* r2 = retriever(eCumulativeUpdatePacks, v2);
  KQInstallCommonUtils::IFolderStruct* f1 = r1->GetLocalFolderStruct();
  const tRetrievalSide a = Side(3, v1), b = Side(16, v1), c = Side(3, v2);
  r1->rootFilesResults[b] = 0x8000001Cu;

  tSideFolderMap okPackages{{b, f1}}, okPacks{{a, f1}, {b, f1}, {c, r2->GetLocalFolderStruct()}},
      okUpdates{{a, f1}}, failedPackages, failedPacks, failedUpdates;
  ASSERT_EQ(0u, job.DoRootFilesPatching(okPackages, okPacks, okUpdates, failedPackages, failedPacks,
                                        failedUpdates));
  // Each retriever patches its own sides only.
  EXPECT_EQ((std::vector<std::string>{Name(a), Name(b)}), [&] {
    std::vector<std::string> names;
    for (const tRetrievalSide& s : r1->rootFilesCalls) names.push_back(Name(s));
    return names;
  }());
  ASSERT_EQ(1u, r2->rootFilesCalls.size());
  EXPECT_EQ(Name(c), Name(r2->rootFilesCalls[0]));
  EXPECT_TRUE(okPackages.empty());
  EXPECT_EQ((std::set<std::string>{Name(a), Name(c)}), Sides(okPacks));
  EXPECT_EQ((std::set<std::string>{Name(a)}), Sides(okUpdates));
  // The failed lists carry the side's object from the patched list, though it had no update.
  for (tSideFolderMap* failed : {&failedPackages, &failedPacks, &failedUpdates}) {
    ASSERT_EQ(1u, failed->size());
    EXPECT_EQ(f1, (*failed)[b]);
  }
  EXPECT_EQ(0x8000001Cu, job.m_sideStatus[b]);

  // Without succeeded packs the updates retrievers patch; an earlier status stays.
  TestComponentsRetrieval* u1 = retriever(eUpdates, v1);
  u1->rootFilesResults[a] = 0x8000001Eu;
  job.m_sideStatus[a] = 5;
  tSideFolderMap noPacks, updates{{a, nullptr}}, packages;
  ASSERT_EQ(0u, job.DoRootFilesPatching(packages, noPacks, updates, failedPackages, failedPacks,
                                        failedUpdates));
  EXPECT_EQ(1u, u1->rootFilesCalls.size());
  EXPECT_TRUE(updates.empty());
  EXPECT_EQ(1u, failedPacks.count(a));
  EXPECT_EQ(5u, job.m_sideStatus[a]);
}

TEST_F(OldMediaTest, OldMediaJoinTheDeleteListsUnlessTheyStay) {
  TestRetrievalJob& job = Job(source.path(), false);
  tFolderStructParam params;
  IComponentsRetrieval::fillInFolderStructParams(params, Version(16), job.m_localCacheTemplate,
                                                 cache.path(), "/");
  KQInstallCommonUtils::IFolderStruct* folders = nullptr;
  ASSERT_EQ(0u, IComponentsRetrieval::ConstructFolderStructObjects(params, folders, *sink));
  const tRetrievalSide sameRelease = Side(3, Version(18, 100, 1)),
                       unixOld = Side(16, Version(18, 100, 1)),
                       inFailedPackages = Side(3, Version(17, 90, 1, 3)),
                       inOkPacks = Side(3, Version(16, 80, 1, 1)),
                       inFailedPacks = Side(16, Version(16, 80, 1, 1)),
                       inFailedUpdates = Side(3, Version(15, 70, 1, 2)),
                       inOkUpdates = Side(16, Version(15, 70, 1, 2)),
                       withObject = Side(3, Version(16));
  for (const tRetrievalSide& s : {sameRelease, unixOld, inFailedPackages, inOkPacks, inFailedPacks,
                                  inFailedUpdates, inOkUpdates})
    job.m_oldMediaToRemove[s] = nullptr;
  job.m_oldMediaToRemove[withObject] = folders;

  tSideFolderMap okPackages{{Side(3, Version(18, 100, 1, 4)), nullptr}},
      failedPackages{{inFailedPackages, nullptr}}, okPacks{{inOkPacks, nullptr}},
      failedPacks{{inFailedPacks, nullptr}}, okUpdates{{inOkUpdates, nullptr}},
      failedUpdates{{inFailedUpdates, nullptr}};
  job.AppendSidesToRemove(okPackages, failedPackages, okPacks, failedPacks, okUpdates,
                          failedUpdates);
  // The release whose packages succeeded stays; anything already listed is not listed again.
  EXPECT_EQ((std::set<std::string>{Name(unixOld), Name(inFailedPackages), Name(inOkPacks),
                                   Name(inFailedPacks), Name(inFailedUpdates), Name(withObject)}),
            Sides(failedPackages));
  EXPECT_EQ((std::set<std::string>{Name(unixOld), Name(inFailedPacks), Name(inFailedUpdates),
                                   Name(withObject)}),
            Sides(failedPacks));
  EXPECT_EQ((std::set<std::string>{Name(unixOld), Name(inFailedUpdates), Name(withObject)}),
            Sides(failedUpdates));
  EXPECT_EQ(folders, failedPackages[withObject]);
  EXPECT_EQ(folders, failedUpdates[withObject]);
  EXPECT_TRUE(Logged("The final result to sync DB is:"));
}

}  // namespace
