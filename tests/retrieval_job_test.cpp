// Whole retrieval jobs over a generated download center: download jobs over loopback http and
// ftp and a copy job fill an empty cache until it equals the manifest; a second run fetches
// nothing but configuration files; a stopped run and a run whose transfers fail leave every
// cache file equal to the manifest or absent, with no transfer leftovers, and report the
// sides they failed.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "KqDbTestEnv.h"
#include "RetrievalCenterEnv.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using namespace nPatchDownload;
using kqtest::CenterCacheState;
using kqtest::CenterFile;
using kqtest::CenterJobResult;

class RetrievalJobTest : public kqtest::RetrievalCenterTest {
 protected:
  CenterCacheState State() { return kqtest::CompareCacheWithCenter(center, cache.path()); }

  // Every file in the cache equals the manifest or is absent; nothing else is there.
  void ExpectEqualOrAbsent() {
    CenterCacheState s = State();
    EXPECT_TRUE(s.differ.empty()) << s.differ.front();
    EXPECT_TRUE(s.partial.empty()) << s.partial.front();
    EXPECT_TRUE(s.other.empty()) << s.other.front();
    EXPECT_TRUE(kqtest::ListFilesBelow(base / "Temp/CopySoftware").empty());
  }

  // The manifest files a whole run brings: all but the Unix configuration of the other name.
  std::set<std::string> NotFetchedBy(const CenterJobResult& r) {
    return {r.platformInfoUsed ? "KQAppliance/KQApplianceConfig_Unix.xml"
                               : "KQAppliance/PlatformInfo_Unix.xml"};
  }

  size_t DataFiles() const {
    size_t n = 0;
    for (const CenterFile& f : center.files) n += f.type != kqtest::kCenterConfig ? 1 : 0;
    return n;
  }
  unsigned long long DataBytes() const {
    return center.Bytes(1) + center.Bytes(2) + center.Bytes(3) + center.Bytes(101);
  }

  // The four sides of the center, each in the map.
  void ExpectAllSides(const tSideFolderMap& map) {
    EXPECT_EQ(4u, map.size());
    for (const auto& side : map) EXPECT_NE(nullptr, side.second);
  }

  int SpecificError(int* status = nullptr) {
    int id = 0;
    KQJobStatus st{};
    std::queue<tErrorDetails> details;
    sink.GetErrorDetails(id, st, details);
    if (status != nullptr) *status = static_cast<int>(st);
    return id;
  }

  std::set<std::string> CommittedApplianceVersions() {
    std::set<std::string> out;
    for (const kq::db::Row& row : kqtest::Sql("SELECT OSNameVersion FROM PatchApplianceVersion"))
      out.insert(row.at(0).s);
    return out;
  }

  // Paths the server was asked for since request number `from` (http and ftp logs alike).
  std::vector<std::string> RequestedSince(size_t from) {
    std::vector<std::string> paths;
    const std::vector<std::string> lines = server->Requests();
    for (size_t k = from; k < lines.size(); ++k) {
      const size_t first = lines[k].find(' '), last = lines[k].rfind(' ');
      if (first != std::string::npos && last > first)
        paths.push_back(lines[k].substr(first + 1, last - first - 1));
    }
    return paths;
  }

  // A whole first run into the empty cache: everything arrives.
  CenterJobResult ExpectFullRun(Run& run) {
    CenterJobResult r = kqtest::RunCenterJob(*run.job);
    EXPECT_EQ(0u, r.code) << std::hex << r.initialize << " " << r.unixConfig << " " << r.repodata
                          << " " << r.pending << " " << r.getFile << " " << r.result;
    CenterCacheState s = State();
    const std::set<std::string> absent = NotFetchedBy(r);
    EXPECT_EQ(std::vector<std::string>(absent.begin(), absent.end()), s.missing);
    ExpectEqualOrAbsent();
    EXPECT_EQ(DataFiles(), r.files);
    EXPECT_EQ(DataBytes(), r.bytes);
    ExpectAllSides(r.succeededPackages);
    ExpectAllSides(r.succeededPacks);
    ExpectAllSides(r.succeededUpdates);
    EXPECT_TRUE(r.failedPackages.empty() && r.failedPacks.empty() && r.failedUpdates.empty());
    EXPECT_TRUE(r.failedApplianceOSes.empty());
    for (const auto& status : run.job->m_sideStatus) EXPECT_EQ(0u, status.second);
    return r;
  }
};

TEST_F(RetrievalJobTest, ADownloadJobFillsTheCacheAndTheNextRunFetchesOnlyConfiguration) {
  Serve("http");
  CenterJobResult first = ExpectFullRun(NewRun());
  EXPECT_FALSE(first.platformInfoUsed);  // candidate SP21
  EXPECT_EQ((std::set<std::string>{"MSSQL 2019", "Windows Server 2019", "Windows Server 2022"}),
            CommittedApplianceVersions());
  EXPECT_FALSE(sink.IsSpecificErrorSet());

  const size_t before = server->Requests().size();
  Run& second = NewRun();
  CenterJobResult again = kqtest::RunCenterJob(*second.job);
  EXPECT_EQ(0u, again.code);
  EXPECT_EQ(0u, again.files);
  EXPECT_EQ(0u, again.bytes);
  EXPECT_TRUE(second.job->Fetched().empty());
  std::set<std::string> configuration;
  for (const std::string& path : RequestedSince(before)) {
    const CenterFile* f = center.Find(path);
    if (f == nullptr) continue;  // the source check at Initialize
    EXPECT_EQ(kqtest::kCenterConfig, f->type) << path;
    configuration.insert(path);
  }
  EXPECT_TRUE(configuration.count("KQAppliance/KQApplianceConfig_Windows.xml"));
  EXPECT_TRUE(configuration.count("KQAppliance/KQApplianceConfig_Unix.xml"));
  EXPECT_TRUE(configuration.count(center.MediaFolder(0) + "/UpdatesInfo.xml"));
  ExpectAllSides(again.succeededPackages);
  ExpectAllSides(again.succeededUpdates);
  ExpectEqualOrAbsent();
}

TEST_F(RetrievalJobTest, AnFtpDownloadJobFillsTheCache) {
  Serve("ftp");
  ExpectFullRun(NewRun());
  EXPECT_GT(server->CountRequests(center.OfType(1).front()->path), 0);
}

TEST_F(RetrievalJobTest, ACopyJobFillsTheCacheFromAnotherCache) {
  Run& run = NewRun(true);
  CenterJobResult r = kqtest::RunCenterJob(*run.job);
  EXPECT_EQ(0u, r.code);
  // The copy source names no folder for Unix appliance files: they are left out, logged.
  std::set<std::string> absent = NotFetchedBy(r);
  unsigned long long unixBytes = 0;
  for (const CenterFile* f : center.OfType(kqtest::kCenterAppliance))
    if (f->osId == kqtest::kCenterUnixOs) {
      absent.insert(f->path);
      unixBytes += f->size;
    }
  const CenterCacheState s = State();
  EXPECT_EQ(std::vector<std::string>(absent.begin(), absent.end()), s.missing);
  EXPECT_TRUE(Logged("exists but source folder of [rhel-7.3] is empty, continuing"));
  ExpectEqualOrAbsent();
  EXPECT_EQ(DataBytes() - unixBytes, r.bytes);
  ExpectAllSides(r.succeededPackages);
  ExpectAllSides(r.succeededPacks);
  ExpectAllSides(r.succeededUpdates);
  // A copy job runs the post-retrieval step of packs and updates once per version.
  std::map<std::string, int> calls = run.job->Calls();
  EXPECT_EQ(2, calls["PostGetFileOperation/3"]);
  EXPECT_EQ(2, calls["PostGetFileOperation/2"]);
  EXPECT_EQ(4, calls["PostGetFileOperation/1"]);
  EXPECT_EQ(2, calls["AdjustSucceededUpdatesForCopy/2"]);
}

TEST_F(RetrievalJobTest, AStoppedRunReportsTheInterruptionAndTheNextFetchesOnlyTheRest) {
  Serve("http");
  Run& stopped = NewRun(false, 2);
  stopped.job->stopAfterFiles = 40;
  CenterJobResult r = kqtest::RunCenterJob(*stopped.job);
  EXPECT_EQ(0x8000001Au, r.getFile);
  EXPECT_EQ(0x8000001Au, r.code);
  int status = 0;
  EXPECT_EQ(0x44000061, SpecificError(&status));
  EXPECT_EQ(4, status);
  const std::vector<std::string> early = stopped.job->Fetched();
  EXPECT_GE(early.size(), 40u);
  EXPECT_LT(early.size(), 50u);
  ExpectEqualOrAbsent();

  Run& rest = NewRun();
  CenterJobResult after = kqtest::RunCenterJob(*rest.job);
  EXPECT_EQ(0u, after.code);
  const std::vector<std::string> late = rest.job->Fetched();  // appliance files aside
  EXPECT_EQ(DataFiles() - center.OfType(kqtest::kCenterAppliance).size(),
            early.size() + late.size());
  std::set<std::string> both(early.begin(), early.end());
  for (const std::string& path : late) EXPECT_TRUE(both.insert(path).second) << path << " twice";
  const CenterCacheState s = State();
  EXPECT_EQ(1u, s.missing.size());
  ExpectEqualOrAbsent();
}

// One transfer fault on one file of the Unix side of the older feature release's updates: the
// side fails in every patch type, the others succeed, and the file is absent.
struct TransferFault {
  const char* mode;
};

class RetrievalJobFaultTest : public RetrievalJobTest,
                              public ::testing::WithParamInterface<TransferFault> {};

TEST_P(RetrievalJobFaultTest, AFailedTransferFailsItsSideAndLeavesNoTrace) {
  kqtest::LoopbackServer& http = Serve("http");
  const std::vector<const CenterFile*> files = center.Of(kqtest::kCenterUpdate, kqtest::kCenterUnixOs, 1);
  const CenterFile* target = files[files.size() / 2];
  http.SetFaults({{target->path, GetParam().mode}});
  Run& run = NewRun();
  CenterJobResult r = kqtest::RunCenterJob(*run.job);
  EXPECT_EQ(0u, r.pending);
  EXPECT_EQ(0u, r.result);

  tRetrievalSide side;
  side.osId = kqtest::kCenterUnixOs;
  side.mediaVersion = center.Version(1);
  EXPECT_EQ(0x8000001Fu, r.updates[side].status);
  EXPECT_EQ(0x8000001Fu, run.job->m_sideStatus[side]);
  EXPECT_EQ(files.size() - 1, r.updates[side].retrieved.size());
  for (const tSideFolderMap* failed : {&r.failedPackages, &r.failedPacks, &r.failedUpdates}) {
    ASSERT_EQ(1u, failed->size());
    EXPECT_EQ(kqtest::kCenterUnixOs, failed->begin()->first.osId);
  }
  EXPECT_EQ(3u, r.succeededUpdates.size());
  EXPECT_EQ(0u, r.succeededUpdates.count(side));
  int status = 0;
  EXPECT_EQ(0x44000046, SpecificError(&status));
  EXPECT_EQ(2, status);
  EXPECT_EQ(std::vector<std::string>{target->path},
            [&] {
              std::vector<std::string> m = State().missing;
              m.erase(std::remove(m.begin(), m.end(), *NotFetchedBy(r).begin()), m.end());
              return m;
            }());
  ExpectEqualOrAbsent();
}

INSTANTIATE_TEST_SUITE_P(Modes, RetrievalJobFaultTest,
                         ::testing::Values(TransferFault{"drop"}, TransferFault{"404"},
                                           TransferFault{"500"}, TransferFault{"truncated"},
                                           TransferFault{"corrupt"}),
                         [](const ::testing::TestParamInfo<TransferFault>& info) {
                           std::string n = info.param.mode;
                           return n == "404" || n == "500" ? "Status" + n : n;
                         });

TEST_F(RetrievalJobTest, AFailedAppliancePatchFailsItsApplianceSystem) {
  kqtest::LoopbackServer& http = Serve("http");
  const CenterFile* target = nullptr;
  for (const CenterFile* f : center.OfType(kqtest::kCenterAppliance))
    if (f->applianceOs == "MSSQL 2019") target = f;
  ASSERT_NE(nullptr, target);
  http.SetFaults({{target->path, "404"}});
  Run& run = NewRun();
  CenterJobResult r = kqtest::RunCenterJob(*run.job);
  EXPECT_NE(0u, r.getFile);
  EXPECT_EQ(1u, r.failedApplianceOSes.count("MSSQL 2019"));
  EXPECT_EQ(1u, r.failedApplianceOSes.size());
  int status = 0;
  EXPECT_EQ(0x44000046, SpecificError(&status));
  EXPECT_EQ(3, status);
  EXPECT_FALSE(kqtest::ListFilesBelow(cache.path()).empty());
  EXPECT_FALSE(CPatchInstallCommon::IsFileExisted(cache / target->path));
  ExpectEqualOrAbsent();
  EXPECT_TRUE(CommittedApplianceVersions().empty());  // a failed run commits nothing
}

// A cache on a small file system of its own, mounted by the test (root only).
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& path, const std::string& size) : path_(path) {
    const std::string options = "size=" + size;
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) error_ = strerror(errno);
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string error_;
};

TEST_F(RetrievalJobTest, ACacheWithoutRoomForItsSidesFailsTheCheck) {
  ScopedTmpfs small(cache.path(), "2m");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs for the cache: " << small.error();
  Serve("http");
  Run& run = NewRun();
  CenterJobResult r = kqtest::RunCenterJob(*run.job);
  EXPECT_EQ(0x8000001Du, r.pending);
  EXPECT_EQ(0x8000001Du, r.code);
  EXPECT_TRUE(Logged("Not enough space left, the job will fail"));
  EXPECT_TRUE(run.job->Fetched().empty());
  ExpectEqualOrAbsent();
}

TEST_F(RetrievalJobTest, AppliancePatchesStopWhenTheCacheRunsShortOfFourTimesAFile) {
  ScopedTmpfs small(cache.path(), "320k");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs for the cache: " << small.error();
  db.config().set("MediaAccess", "nFreeSpaceReserveMB", "0");  // smaller than any reserve
  Serve("http");
  Run& run = NewRun();
  run.job->packages.clear();  // appliance patches alone
  run.job->updates.clear();
  run.job->maintenanceReleases.clear();
  CenterJobResult r = kqtest::RunCenterJob(*run.job);
  EXPECT_EQ(0x8000001Du, r.getFile);
  int status = 0;
  EXPECT_EQ(0x44000012, SpecificError(&status));
  EXPECT_EQ(2, status);
  EXPECT_EQ(1u, r.failedApplianceOSes.size());
  EXPECT_GT(r.files, 0u);
  ExpectEqualOrAbsent();
}

}  // namespace
