// The generated download center and its manifest-driven retrievers: the manifest agrees with the
// files written and with our cache hierarchy, and the retrievers check and fetch what the
// manifest says, over a real loopback server and real pools.
#include <gtest/gtest.h>

#include "InstallUtils/IFolderStruct.h"
#include "KqDbTestEnv.h"
#include "RetrievalCenterEnv.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using namespace nPatchDownload;
using kqtest::CenterFile;
using kqtest::RetrievalCenter;

class RetrievalCenterFixtureTest : public kqtest::RetrievalCenterTest {
 protected:
  // Runs the side check of one retriever for every side of a type, then waits for the pool.
  struct Checked {
    tRetrievalEntries entries;
    std::map<tRetrievalSide, tFileList> processed, computed;
    unsigned long long freeKB = 0;
  };
  Checked Check(Run& r, int type, unsigned long long freeKB) {
    Checked out;
    out.freeKB = freeKB;
    std::mutex pendingLock, processedLock, freeLock, sharedLock;
    std::set<std::string> shared;
    for (auto& v : r.job->getSupportedRetrievals(type)) {
      for (const tRetrievalSide& side : v.second->GetSides()) {
        tRetrievalEntry& entry = out.entries[side];
        EXPECT_EQ(0u, v.second->CheckFile(side, {&pendingLock, &entry.pending},
                                          {&processedLock, &out.processed[side]},
                                          out.computed[side], {&freeLock, &out.freeKB},
                                          entry.reDownloadExisting, {&sharedLock, &shared}, entry));
      }
    }
    EXPECT_EQ(0u, r.checkPool->WaitForAll(true, true, true));
    return out;
  }

  // Fetches the pending files of every side of a type, then waits for the pool.
  void Fetch(Run& r, int type, tRetrievalEntries& entries) {
    std::mutex retrievedLock;
    tRetrievalEntries packages, packs;
    for (auto& v : r.job->getSupportedRetrievals(type)) {
      for (const tRetrievalSide& side : v.second->GetSides()) {
        tRetrievalEntry& entry = entries[side];
        EXPECT_EQ(0u, v.second->GetFile(side, base.path(), 0, entry.pending,
                                        {&retrievedLock, &entry.retrieved},
                                        {&r.job->m_filesCountLock, &r.job->m_numFilesDownloaded},
                                        {&r.job->m_bytesLock, &r.job->m_totalBytesDownloaded},
                                        packages, packs, entry, r.policy.IsCopy()));
      }
    }
    EXPECT_EQ(0u, r.getPool->WaitForAll(true, true, true));
  }

  static size_t Pending(const tRetrievalEntries& entries) {
    size_t n = 0;
    for (const auto& e : entries) n += e.second.pending.size();
    return n;
  }
  static size_t Retrieved(const tRetrievalEntries& entries) {
    size_t n = 0;
    for (const auto& e : entries) n += e.second.retrieved.size();
    return n;
  }
};

TEST_F(RetrievalCenterFixtureTest, TheManifestDescribesTheWrittenCenterInOurHierarchy) {
  EXPECT_GE(center.files.size(), 1900u);
  EXPECT_LE(center.files.size(), 2100u);
  // The served folder holds exactly the manifest.
  kqtest::CenterCacheState written = kqtest::CompareCacheWithCenter(center, served);
  EXPECT_EQ(center.files.size(), written.equal.size());
  EXPECT_TRUE(written.missing.empty() && written.differ.empty() && written.other.empty());
  // Every type on both sides of both feature releases.
  for (size_t fr = 0; fr < center.featureReleases.size(); ++fr)
    for (int os : {kqtest::kCenterWindowsOs, kqtest::kCenterUnixOs})
      for (int type : {1, 2, 3}) EXPECT_FALSE(center.Of(type, os, static_cast<int>(fr)).empty());

  // The paths are those our folder structures give for the sides' versions.
  for (size_t fr = 0; fr < center.featureReleases.size(); ++fr) {
    tFolderStructParam params;
    IComponentsRetrieval::fillInFolderStructParams(
        params, center.Version(fr), KQInstallCommonUtils::IFolderStruct::GetDefaultLocalCacheStruct(1),
        "/c", "/");
    KQInstallCommonUtils::IFolderStruct* folders = nullptr;
    ASSERT_EQ(0u, IComponentsRetrieval::ConstructFolderStructObjects(params, folders, sink));
    const FullVersion none{_SPVersion(0)};
    EXPECT_EQ("/c/" + center.MediaFolder(fr) + "/UpdatesInfo.xml",
              folders->GetFilePath(KQInstallCommonUtils::eKindUpdatesInfoFile, "", none, 0));
    EXPECT_EQ("/c/" + center.LooseFolder(fr, 3),
              folders->GetPath(KQInstallCommonUtils::eKindFeatureReleaseRoot, "WinX64", none, 0));
    EXPECT_EQ("/c/" + center.LooseFolder(fr, 16),
              folders->GetPath(KQInstallCommonUtils::eKindFeatureReleaseRoot, "linux-x8664", none, 0));
    KQInstallCommonUtils::DestroyFolderStructReader(folders);
  }

  // The Windows appliance configuration lists exactly the Windows and MSSQL appliance files.
  tApplianceCandidates candidates;
  ASSERT_EQ(0u, CSoftwareRetrieval::getPatchFilesList(
                    served + "/KQAppliance/KQApplianceConfig_Windows.xml",
                    {center.windowsApplianceOses.begin(), center.windowsApplianceOses.end()},
                    {center.sqlApplianceOses.begin(), center.sqlApplianceOses.end()}, candidates,
                    center.Version(0), *sink.GetEvDebug(), false));
  std::set<std::string> listed, expected;
  for (const auto& side : candidates)
    for (const auto& os : side.second)
      for (const auto& f : os.second.pending) {
        const CenterFile* file = center.Find(f.getstring(UpdatePatches::BinaryV11::kRelativePath));
        ASSERT_NE(nullptr, file) << f.getstring(UpdatePatches::BinaryV11::kRelativePath);
        EXPECT_EQ(std::to_string(file->crc), f.getstring(UpdatePatches::BinaryV11::kChecksum));
        EXPECT_EQ(os.first, file->applianceOs);
        listed.insert(file->path);
      }
  for (const CenterFile* f : center.OfType(kqtest::kCenterAppliance))
    if (f->osId == kqtest::kCenterWindowsOs) expected.insert(f->path);
  EXPECT_EQ(expected, listed);
}

TEST_F(RetrievalCenterFixtureTest, TheSeededVariantsAreReproducibleAndScaled) {
  kqtest::RetrievalCenterOptions o;
  o.files = 400;
  o.totalBytes = 4 << 20;
  const RetrievalCenter a = kqtest::MakeRetrievalCenter(o), b = kqtest::MakeRetrievalCenter(o);
  ASSERT_EQ(a.files.size(), b.files.size());
  for (size_t k = 0; k < a.files.size(); ++k) {
    EXPECT_EQ(a.files[k].path, b.files[k].path);
    EXPECT_EQ(a.files[k].crc, b.files[k].crc);
  }
  uint64_t total = 0;
  for (const CenterFile& f : a.files) total += f.size;
  EXPECT_GT(total, 3u << 20);
  EXPECT_LT(total, 6u << 20);
  o.seed = 99;
  EXPECT_NE(a.files[5].crc, kqtest::MakeRetrievalCenter(o).files[5].crc);
}

TEST_F(RetrievalCenterFixtureTest, SideChecksListWhatTheCacheLacksAndLowerTheFreeSpace) {
  Serve();
  Run& r = NewRun();
  ASSERT_EQ(0u, r.job->Initialize());
  // Half the packages are in the cache already; one of them differs, one has the wrong size.
  std::vector<const CenterFile*> packages = center.OfType(1);
  kqtest::WriteCenterFilesInto(center, cache.path(), [](const CenterFile& f) {
    return f.type == 1 && f.seed % 2 == 0;
  });
  const CenterFile* changed = nullptr;
  const CenterFile* shorter = nullptr;
  size_t present = 0;
  for (const CenterFile* f : packages) {
    if (f->seed % 2 != 0) continue;
    ++present;
    if (changed == nullptr) {
      changed = f;
      std::string bytes = kqtest::CenterBytes(*f);
      bytes[bytes.size() / 2] ^= 1;
      kqtest::WriteFile(cache / f->path, bytes);
    } else if (shorter == nullptr) {
      shorter = f;
      kqtest::WriteFile(cache / f->path, kqtest::CenterBytes(*f).substr(1));
    }
  }
  Checked c = Check(r, 1, 1ULL << 40);
  EXPECT_EQ(packages.size() - present + 2, Pending(c.entries));
  unsigned long long neededKB = 0;
  std::set<std::string> pending;
  for (const auto& e : c.entries) {
    EXPECT_EQ(0u, e.second.status);
    EXPECT_EQ(c.computed[e.first].size(), c.processed[e.first].size());
    EXPECT_EQ(center.Of(1, e.first.osId, center.FeatureReleaseOf(e.first.mediaVersion)).size(),
              c.computed[e.first].size());
    for (const auto& f : e.second.pending) {
      const CenterFile* file = center.Find(f.getstring(UpdatePatches::BinaryV11::kRelativePath));
      ASSERT_NE(nullptr, file);
      neededKB += (file->size + 1023) / 1024;
      pending.insert(file->path);
    }
  }
  EXPECT_TRUE(pending.count(changed->path) && pending.count(shorter->path));
  EXPECT_EQ((1ULL << 40) - neededKB, c.freeKB);

  // Too little space: the sides that cannot hold their files are marked, nothing is listed
  // beyond the space.
  Run& small = NewRun();
  ASSERT_EQ(0u, small.job->Initialize());
  Checked tight = Check(small, 1, 64);
  unsigned int marked = 0;
  for (const auto& e : tight.entries) marked += e.second.status == 0x8000001D ? 1 : 0;
  EXPECT_GE(marked, 1u);
  EXPECT_LE(tight.freeKB, 64u);
}

TEST_F(RetrievalCenterFixtureTest, FetchedFilesAreCheckedMovedAndCountedOrDeleted) {
  kqtest::LoopbackServer& http = Serve();
  const std::vector<const CenterFile*> updates = center.OfType(2);
  const CenterFile* corrupt = updates[3];
  const CenterFile* missing = updates[7];
  const CenterFile* truncated = updates[11];
  http.SetFaults({{corrupt->path, "corrupt"}, {missing->path, "404"}, {truncated->path, "truncated"}});
  Run& r = NewRun();
  ASSERT_EQ(0u, r.job->Initialize());
  Checked c = Check(r, 2, 1ULL << 40);
  ASSERT_EQ(updates.size(), Pending(c.entries));
  Fetch(r, 2, c.entries);

  EXPECT_EQ(updates.size() - 3, Retrieved(c.entries));
  EXPECT_EQ(updates.size() - 3, r.job->GetNumFilesDownloaded());
  EXPECT_EQ(center.Bytes(2) - corrupt->size - missing->size - truncated->size,
            r.job->GetTotalBytesDownloaded());
  kqtest::CenterCacheState state = kqtest::CompareCacheWithCenter(center, cache.path());
  EXPECT_TRUE(state.differ.empty());
  EXPECT_TRUE(state.partial.empty());
  EXPECT_TRUE(state.other.empty());
  for (const CenterFile* f : {corrupt, missing, truncated})
    EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(cache / f->path)) << f->path;
  EXPECT_EQ(updates.size() - 3, state.equal.size());
  // Nothing is left in the transfer folder but folders.
  EXPECT_TRUE(kqtest::ListFilesBelow(base / "Temp/CopySoftware").empty());
  int id = 0;
  KQJobStatus status{};
  std::queue<tErrorDetails> details;
  sink.GetErrorDetails(id, status, details);
  EXPECT_EQ(0x44000046, id);
  EXPECT_EQ(2, static_cast<int>(status));
  ASSERT_EQ(2u, details.size());

  // A second check over the same cache lists only the three files that did not arrive.
  Run& again = NewRun();
  ASSERT_EQ(0u, again.job->Initialize());
  EXPECT_EQ(3u, Pending(Check(again, 2, 1ULL << 40).entries));
}

TEST_F(RetrievalCenterFixtureTest, AJobStoppedAfterSomeFilesFetchesNoMore) {
  Serve();
  Run& r = NewRun(false, 2);
  ASSERT_EQ(0u, r.job->Initialize());
  r.job->stopAfterFiles = 10;
  Checked c = Check(r, 3, 1ULL << 40);
  Fetch(r, 3, c.entries);
  EXPECT_TRUE(r.jobObject.IsInterrupted());
  // The tasks already fetching when the stop came finish their file; no more start.
  EXPECT_GE(r.job->GetNumFilesDownloaded(), 10u);
  EXPECT_LE(r.job->GetNumFilesDownloaded(), 12u);
  EXPECT_EQ(r.job->GetNumFilesDownloaded(), r.job->Fetched().size());
  EXPECT_EQ(0u, r.job->Calls().count("CheckFile/1"));
  EXPECT_EQ(4, r.job->Calls()["CheckFile/3"]);
}

TEST_F(RetrievalCenterFixtureTest, ACopyJobFetchesFromTheCenterFolder) {
  Run& r = NewRun(true);
  ASSERT_EQ(0u, r.job->Initialize());
  Checked c = Check(r, 1, 1ULL << 40);
  Fetch(r, 1, c.entries);
  EXPECT_EQ(center.OfType(1).size(), Retrieved(c.entries));
  EXPECT_EQ(center.Bytes(1), r.job->GetTotalBytesDownloaded());
  EXPECT_TRUE(kqtest::CompareCacheWithCenter(center, cache.path()).differ.empty());
}

TEST_F(RetrievalCenterFixtureTest, UnixApplianceFilesComeFromTheConfigurationOfTheCandidate) {
  Run& r = NewRun(true);
  tKQApplainceFilesInfo info;
  EXPECT_EQ(0u, r.job->LoadUnixApplianceFilesInfo(info));
  EXPECT_TRUE(info.empty());  // nothing downloaded yet
  kqtest::WriteCenterFilesInto(center, cache.path(), [](const CenterFile& f) {
    return f.path == "KQAppliance/KQApplianceConfig_Unix.xml";
  });
  ASSERT_EQ(0u, r.job->LoadUnixApplianceFilesInfo(info));  // candidate SP21: the old name
  ASSERT_EQ(1u, info.size());
  std::vector<const CenterFile*> unix;
  for (const CenterFile* f : center.OfType(kqtest::kCenterAppliance))
    if (f->osId == kqtest::kCenterUnixOs) unix.push_back(f);
  const tRetrievalEntry& entry = info[center.unixApplianceOs];
  ASSERT_EQ(unix.size(), entry.retrieved.size());
  for (size_t k = 0; k < unix.size(); ++k) {
    EXPECT_EQ(unix[k]->path, entry.retrieved[k].getstring(UpdatePatches::BinaryV11::kRelativePath));
    EXPECT_EQ(std::to_string(unix[k]->crc),
              entry.retrieved[k].getstring(UpdatePatches::BinaryV11::kChecksum));
  }
  r.policy.m_candidateVersion.Set(FullVersion::kSPMajor, 23);  // the platform-info file now
  info.clear();
  EXPECT_EQ(0u, r.job->LoadUnixApplianceFilesInfo(info));
  EXPECT_TRUE(info.empty());
  kqtest::WriteFile(cache / "KQAppliance/PlatformInfo_Unix.xml", "<broken");
  EXPECT_EQ(0x8000000Fu, r.job->LoadUnixApplianceFilesInfo(info));
}

}  // namespace
