// The Windows appliance configuration readers on a generated appliance folder: the plain reader
// (sub-operating systems of the Tessara) and the install-aware one, which asks the test install
// client (tests/installclient) what this machine has installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ApplianceTreeGenerator.h"
#include "CacheFileListsLoadXml.h"
#include "InstallClientEnv.h"
#include "KqTestEnv.h"
#include "Logging/EvDebug.h"
#include "nPatchDownload/CPatchDataManager.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CSoftwareRetrieval.h"
#include "nPatchDownload/PatchResultCodes.h"

namespace {

using nPatchDownload::CSoftwareRetrieval;
using nPatchDownload::tApplianceCandidates;
using nPatchDownload::tRetrievalSide;
using kqtest::ApplianceManifest;
using UpdatePatches::BinaryV11;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The candidate files of one appliance OS as "path checksum" lines.
std::vector<std::string> Pending(const tApplianceCandidates& c, const tRetrievalSide& side,
                                 const std::string& os) {
  std::vector<std::string> out;
  auto s = c.find(side);
  if (s == c.end()) return out;
  auto e = s->second.find(os);
  if (e == s->second.end()) return out;
  for (const CNMessageBase& b : e->second.pending)
    out.push_back(b.getstring(BinaryV11::kRelativePath) + " " + b.getstring(BinaryV11::kChecksum));
  return out;
}

bool ClientMapped() {
  return kqtest::ReadFile("/proc/self/maps").find("KqInstallClient.dll") != std::string::npos;
}

class ApplianceConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // ctest runs each test in a process of its own; run together, only the first loads.
    loads_ = ClientMapped() ? 0u : 1u;
    tree_ = kqtest::WriteApplianceTree(cfg_.root() + "/cache", 7, 60);
    config_ = tree_.folder + "/" + kqtest::kWindowsApplianceConfig;
    version_ = FullVersion(_SPVersion(20, 0, 4711, 3));
    side_.osId = 3;
    side_.mediaVersion = version_;
  }
  // "KQAppliance/<path> <checksum>" of the patch with that 5/14 in the manifest.
  std::string Line(const std::string& name) const {
    for (const auto& sec : tree_.windows)
      for (const auto& so : sec.subOSes)
        for (const auto& fr : so.frs)
          for (const auto& p : fr.patches)
            if (p.name == name && p.hasName) return "KQAppliance/" + p.path + " " + p.checksum;
    ADD_FAILURE() << "no patch " << name;
    return "";
  }
  unsigned Read(const std::set<std::string>& win, const std::set<std::string>& sql,
                bool installAware, const std::string& path = "") {
    return CSoftwareRetrieval::getPatchFilesList(path.empty() ? config_ : path, win, sql,
                                                 candidates_, version_, log_, installAware);
  }
  std::string Log() const { return kqtest::ReadFile(cfg_.logFile()); }

  kqtest::ScopedConfig cfg_;
  ApplianceManifest tree_;
  std::string config_;
  FullVersion version_;
  tRetrievalSide side_;
  tApplianceCandidates candidates_;
  EvDebug log_;
  size_t loads_ = 1;  // how often "KqInstallClient is loaded" is expected in this test
};

TEST_F(ApplianceConfigTest, PlainReaderListsEveryPatchOfTheTessarasSubOSes) {
  ASSERT_EQ(0u, Read(tree_.tessaraWindows, tree_.tessaraSQL, false));
  ASSERT_EQ(1u, candidates_.size());
  EXPECT_EQ(3, candidates_.begin()->first.osId);
  EXPECT_EQ(0, FullVersion::Compare(3, version_, candidates_.begin()->first.mediaVersion));
  // The patch shared by two feature-release sections is listed twice; the hex checksum as written.
  EXPECT_EQ((std::vector<std::string>{Line("KB5001001"), Line("KB5001002"), Line("KB5001003"),
                                      Line("KB5001003"), Line("KB5001004")}),
            Pending(candidates_, side_, "Windows Server 2019"));
  EXPECT_EQ(0u, Line("KB5001002").find("KQAppliance/Windows/2019/KB5001002.msu 0x"));
  // The unnamed patch is listed by the plain reader; the one whose path leaves the folder is not.
  const auto w22 = Pending(candidates_, side_, "Windows Server 2022");
  ASSERT_EQ(3u, w22.size());
  EXPECT_EQ(Line("KB5002001"), w22[0]);
  EXPECT_EQ(Line("KB5002002"), w22[1]);
  EXPECT_EQ(0u, w22[2].find("KQAppliance/Windows/2022/Unnamed.msu "));
  EXPECT_EQ(1u, Count(Log(), "[../../escape.msu]"));
  EXPECT_EQ((std::vector<std::string>{Line("15.0.2000.5"), Line("15.0.4153.1"), Line("15.0.4236.7")}),
            Pending(candidates_, side_, "SQL Server 2019"));
  EXPECT_EQ(std::vector<std::string>{Line("14.0.3381.3")},
            Pending(candidates_, side_, "SQL Server 2017"));
  EXPECT_EQ(4u, candidates_.begin()->second.size());
  const std::string log = Log();
  EXPECT_EQ(1u, Count(log, "SubOS [Windows Server 2016] is not installed in current Tessara"));
  EXPECT_EQ(1u, Count(log, " OS name is not set, continuing"));
  EXPECT_EQ(1u, Count(log, "Empty subOS section, continuing"));
  EXPECT_EQ(1u, Count(log, "SubOS name is not set, continuing"));
  EXPECT_EQ(1u, Count(log, "feature release section is not set, continuing"));
  EXPECT_EQ(1u, Count(log, "patchFile section is empty"));

  // A second read appends again: nothing is deduplicated across calls either.
  ASSERT_EQ(0u, Read({"Windows Server 2019"}, {}, false));
  EXPECT_EQ(10u, Pending(candidates_, side_, "Windows Server 2019").size());
}

TEST_F(ApplianceConfigTest, PlainReaderMatchesTheWindowsSectionInAnyCaseAndOnlyThatName) {
  auto sections = tree_.windows;
  sections[0].name = "wINDOWS";
  sections[1].name = "WindowsX";  // not the Windows section: its names come from the SQL set
  kqtest::WriteFile(cfg_.root() + "/case.xml",
                    kqtest::MessageText(kqtest::WindowsApplianceMessage(sections)));
  ASSERT_EQ(0u, Read({"Windows Server 2019"}, {"SQL Server 2017"}, false, cfg_.root() + "/case.xml"));
  EXPECT_EQ(5u, Pending(candidates_, side_, "Windows Server 2019").size());
  EXPECT_EQ(std::vector<std::string>{Line("14.0.3381.3")},
            Pending(candidates_, side_, "SQL Server 2017"));
  EXPECT_EQ(2u, candidates_.begin()->second.size());
}

TEST_F(ApplianceConfigTest, ConfigurationWithoutSectionsYieldsNothing) {
  for (bool emptyList : {false, true}) {
    UpdatePatches::KQApplianceOSPatches m;
    if (emptyList) m.getlistobject(UpdatePatches::KQApplianceOSPatches::kOSSections);
    kqtest::WriteFile(cfg_.root() + "/none.xml", kqtest::MessageText(m));
    EXPECT_EQ(0u, Read(tree_.tessaraWindows, tree_.tessaraSQL, false, cfg_.root() + "/none.xml"));
    EXPECT_TRUE(candidates_.empty());
  }
  EXPECT_EQ(2u, Count(Log(), "Empty section in OSPatches"));
}

// The configuration readers and the data manager load their files through one loader, with a
// job's event sink or a plain log, each under its own size cap.
TEST_F(ApplianceConfigTest, OneLoaderForEverySinkUnderTheCallersCap) {
  using nPatchDownload::loadXMLFromFile;
  EvDebug log;
  nPatchDownload::CPatchDebug events;
  UpdatePatches::KQApplianceOSPatches plain, viaEvents;
  ASSERT_TRUE(loadXMLFromFile(config_, plain, log, nPatchDownload::kMaxConfigFileBytes));
  ASSERT_TRUE(loadXMLFromFile(config_, viaEvents, events, nPatchDownload::kMaxCatalogueFileBytes));
  EXPECT_TRUE(plain == viaEvents);

  // Above the configuration cap, below the catalogue cap (zero bytes after the root element):
  // refused unread under the first, read under the second.
  const std::string huge = cfg_.root() + "/huge.xml";
  kqtest::WriteFile(huge, kqtest::ReadFile(config_));
  ASSERT_EQ(0, ::truncate(huge.c_str(), (64LL << 20) + 1));
  UpdatePatches::KQApplianceOSPatches refused, read;
  EXPECT_FALSE(loadXMLFromFile(huge, refused, log, nPatchDownload::kMaxConfigFileBytes));
  EXPECT_TRUE(loadXMLFromFile(huge, read, events, nPatchDownload::kMaxCatalogueFileBytes));
  EXPECT_TRUE(read == plain);
  EXPECT_EQ(1u, Count(Log(), "Failed to read file [" + huge +
                                 "], error [27:[67108865] bytes, more than the [67108864] allowed]"));
}

TEST_F(ApplianceConfigTest, UnreadableConfigurationsFailWithTheFileError) {
  const std::string root = cfg_.root();
  kqtest::WriteFile(root + "/bad.xml", "<m s=\"23\" id=\"175\"><lo i=\"3\" t=\"6\">");
  // A well-formed message of another class (the Unix configuration) is no Windows configuration.
  kqtest::WriteFile(root + "/unix.xml", kqtest::ReadFile(tree_.folder + "/KQApplianceConfig_Unix.xml"));
  // Above the size cap: refused without being read (a sparse file, so it costs no disk).
  kqtest::WriteFile(root + "/huge.xml", kqtest::ReadFile(config_));
  ASSERT_EQ(0, ::truncate((root + "/huge.xml").c_str(), (64LL << 20) + 1));
  for (const char* name : {"missing.xml", "bad.xml", "unix.xml", "huge.xml"}) {
    EXPECT_EQ(nPatchDownload::KQ_PATCH_E_FILE_IO,
              Read(tree_.tessaraWindows, tree_.tessaraSQL, false, root + "/" + name)) << name;
    EXPECT_EQ(nPatchDownload::KQ_PATCH_E_FILE_IO,
              Read(tree_.tessaraWindows, tree_.tessaraSQL, true, root + "/" + name)) << name;
  }
  EXPECT_TRUE(candidates_.empty());
  const std::string log = Log();
  EXPECT_EQ(2u, Count(log, "Input XML file [" + root + "/missing.xml] does not exist"));
  EXPECT_EQ(4u, Count(log, "Failed to unserialize XML file ["));
  EXPECT_EQ(2u, Count(log, "Failed to read file [" + root + "/huge.xml], error [27:"));
  EXPECT_EQ(8u, Count(log, "Failed to load appliance config file ["));
  // Nothing was asked of the install client for a configuration that could not be read.
  EXPECT_EQ(0u, Count(log, "KqInstallClient is loaded"));
}

// ---- Install-aware ----

TEST_F(ApplianceConfigTest, InstalledWindowsUpdatesAndOtherWindowsSubOSesAreLeftOut) {
  kqtest::ScopedInstallClient client({0, "Windows Server 2019", "KB5001001,KB5001003", 0, "", ""});
  ASSERT_EQ(0u, Read({"any name"}, {}, true));
  EXPECT_EQ((std::vector<std::string>{Line("KB5001002"), Line("KB5001004")}),
            Pending(candidates_, side_, "Windows Server 2019"));
  EXPECT_EQ(1u, candidates_.begin()->second.size());  // no other sub-OS, no SQL Server
  const std::string log = Log();
  EXPECT_EQ(loads_, Count(log, "KqInstallClient is loaded"));
  EXPECT_EQ(1u, Count(log, "[MSSQL] is skipped as SQL update is not required"));
  // Both "Windows Server 2022" sub-OS sections (one without feature releases) are passed over.
  EXPECT_EQ(2u, Count(log, "Windows SubOS name [Windows Server 2022] doesn't match client OS "
                           "[Windows Server 2019], continuing"));

  // On Windows Server 2022: the patch without a name and the one leaving the folder are skipped.
  candidates_.clear();
  kqtest::ScopedInstallClient other({0, "Windows Server 2022", "", 0, "", ""});
  ASSERT_EQ(0u, Read({"any name"}, {}, true));
  EXPECT_EQ((std::vector<std::string>{Line("KB5002001"), Line("KB5002002")}),
            Pending(candidates_, side_, "Windows Server 2022"));
  EXPECT_EQ(1u, Count(Log(), "Patch name is not set, continuing"));
  EXPECT_EQ(loads_, Count(Log(), "KqInstallClient is loaded"));  // loaded once per process
}

TEST_F(ApplianceConfigTest, SqlPatchesNoNewerThanTheInstalledVersionAreLeftOut) {
  for (int answer : {0, 1}) {  // "no update required" still filters by the installed version
    candidates_.clear();
    kqtest::ScopedInstallClient client({0, "", "", answer, "SQL Server 2019", "15.0.4153.1"});
    ASSERT_EQ(0u, Read({}, {"SQL Server 2019"}, true)) << answer;
    EXPECT_EQ(std::vector<std::string>{Line("15.0.4236.7")},
              Pending(candidates_, side_, "SQL Server 2019")) << answer;
    EXPECT_EQ(1u, candidates_.begin()->second.size());
  }
  EXPECT_EQ(2u, Count(Log(), "[Windows] is skipped as WinOS update is not required"));
  EXPECT_EQ(1u, Count(Log(), "SQL update is NOT required"));
}

TEST_F(ApplianceConfigTest, InstallAwareReaderMatchesSectionNamesExactly) {
  // A "windows" section is not the Windows section here: no sub-OS or installed-update filter.
  auto sections = tree_.windows;
  sections[0].name = "windows";
  kqtest::WriteFile(cfg_.root() + "/case.xml",
                    kqtest::MessageText(kqtest::WindowsApplianceMessage(sections)));
  kqtest::ScopedInstallClient client({1, "Windows Server 2019", "KB5001001", 0, "", ""});
  ASSERT_EQ(0u, Read({"w"}, {"SQL Server 2017"}, true, cfg_.root() + "/case.xml"));
  EXPECT_EQ((std::vector<std::string>{Line("KB5001001"), Line("KB5001002"), Line("KB5001003"),
                                      Line("KB5001003"), Line("KB5001004")}),
            Pending(candidates_, side_, "Windows Server 2019"));
  EXPECT_EQ(1u, Pending(candidates_, side_, "Windows Server 2016").size());
  EXPECT_EQ(2u, Pending(candidates_, side_, "Windows Server 2022").size());
  EXPECT_EQ(0u, Pending(candidates_, side_, "SQL Server 2019").size());  // SQL name is ""
}

TEST_F(ApplianceConfigTest, WindowsNeedingNothingAndNoSqlNamesEndsTheCall) {
  kqtest::ScopedInstallClient client({1, "Windows Server 2019", "", 0, "", ""});
  EXPECT_EQ(0u, Read({"Windows Server 2019"}, {}, true));
  EXPECT_TRUE(candidates_.empty());
  EXPECT_EQ(1u, Count(Log(), "OS update is NOT required"));
  EXPECT_EQ(1u, Count(Log(), "No need to get installed update info of SQL & Win OS."));
}

TEST_F(ApplianceConfigTest, AFailingAnswerIsReturned) {
  {
    kqtest::ScopedInstallClient client({7, "", "", 0, "", ""});
    EXPECT_EQ(7u, Read({"Windows Server 2019"}, {"SQL Server 2019"}, true));
  }
  {
    kqtest::ScopedInstallClient client({0, "Windows Server 2019", "", -3, "", ""});
    EXPECT_EQ(static_cast<unsigned>(-3), Read({"Windows Server 2019"}, {"SQL Server 2019"}, true));
  }
  EXPECT_TRUE(candidates_.empty());
  EXPECT_EQ(1u, Count(Log(), "Failed to get Windows OS update info"));
  EXPECT_EQ(1u, Count(Log(), "Failed to get SQL update info"));
}

TEST_F(ApplianceConfigTest, EmptyNameSetsLoadNothing) {
  if (loads_ == 0) GTEST_SKIP() << "the client was loaded by an earlier test of this process";
  kqtest::ScopedInstallClient client({0, "Windows Server 2019", "", 0, "", ""});
  EXPECT_EQ(0u, Read({}, {}, true));
  EXPECT_TRUE(candidates_.empty());
  EXPECT_FALSE(ClientMapped());
  EXPECT_EQ(1u, Count(Log(), "Install option is not enabled for SQL & Win OS."));
  // The first call that needs the client loads it then.
  EXPECT_EQ(0u, Read({"x"}, {}, true));
  EXPECT_TRUE(ClientMapped());
  EXPECT_EQ(1u, Count(Log(), "KqInstallClient is loaded"));
}

TEST_F(ApplianceConfigTest, JobsStartingTogetherLoadTheClientOnce) {
  kqtest::ScopedInstallClient client({0, "Windows Server 2019", "KB5001004", 0, "", ""});
  constexpr int kThreads = 8;
  std::vector<tApplianceCandidates> results(kThreads);
  std::vector<unsigned> codes(kThreads, 99);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      EvDebug log;
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      codes[i] = CSoftwareRetrieval::getPatchFilesList(config_, {"w"}, {}, results[i], version_,
                                                       log, true);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(0u, codes[i]);
    EXPECT_EQ((std::vector<std::string>{Line("KB5001001"), Line("KB5001002"), Line("KB5001003"),
                                        Line("KB5001003")}),
              Pending(results[i], side_, "Windows Server 2019"));
  }
  EXPECT_EQ(loads_, Count(Log(), "KqInstallClient is loaded"));
}

}  // namespace
