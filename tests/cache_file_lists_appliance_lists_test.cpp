// Appliance file lists on a generated appliance folder: what the Hubnode says a remote cache must
// hold (Unix with and without the remote cache's mini configuration, Windows and MSSQL), checked
// against the generator's manifest and the files' real CRCs, and a remote cache's own list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ApplianceTreeGenerator.h"
#include "CacheFileListsAppliance.h"
#include "KQUpdateCache.h"
#include "KqTestEnv.h"

namespace {

using kqtest::ApplianceManifest;
using kqtest::UnixOSRecord;
using UpdatePatches::File;
using UpdatePatches::KQApplianceMainOSType;
typedef std::map<KQApplianceMainOSType, std::vector<File>> FilesByType;
typedef std::vector<std::pair<std::string, std::string>> Pairs;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

Pairs AsPairs(const std::vector<File>& files) {
  Pairs out;
  for (const File& f : files) out.emplace_back(f.getstring(File::kName), f.getstring(File::kChecksum));
  return out;
}

std::string Backslashed(std::string s) {
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

UpdatePatches::KQApplianceOSInfoList Infos(const std::vector<std::pair<std::string, int>>& list) {
  UpdatePatches::KQApplianceOSInfoList m;
  auto* l = m.getlistobject(UpdatePatches::KQApplianceOSInfoList::kList);
  for (const auto& [name, type] : list) {
    UpdatePatches::KQApplianceOSInfo i;
    if (!name.empty()) i.setstring(UpdatePatches::KQApplianceOSInfo::kName, name);
    i.setint64(UpdatePatches::KQApplianceOSInfo::kType, type);
    l->push_back(i);
  }
  return m;
}

class ApplianceListsTest : public ::testing::Test {
 protected:
  void SetUp() override { tree_ = kqtest::WriteApplianceTree(cfg_.root() + "/cache"); }

  // The Unix list the manifest says a configuration's entries give, then its two CRC entries.
  Pairs ExpectedUnix(const std::vector<UnixOSRecord>& entries, const std::string& config,
                     const std::string& archive) const {
    Pairs out;
    for (const UnixOSRecord& e : entries) {
      if (e.name.empty() || !e.hasBinaries) continue;
      for (const auto& b : e.binaries)
        if (!b.path.empty() && b.present) out.emplace_back(Backslashed("KQAppliance/" + b.path), b.listed);
    }
    out.emplace_back(Backslashed("KQAppliance/" + config),
                     kqtest::WindowsChecksum(tree_.files.at(config)));
    out.emplace_back(Backslashed("KQAppliance/" + archive),
                     kqtest::WindowsChecksum(tree_.files.at(archive)));
    return out;
  }
  // A Windows list: each patch file of the sub-OS with the CRC of its bytes, then the
  // configuration itself.
  Pairs ExpectedWindows(const std::string& subOS) const {
    Pairs out;
    for (const auto& sec : tree_.windows)
      for (const auto& so : sec.subOSes)
        if (so.hasName && so.name == subOS && so.hasFRs)
          for (const auto& fr : so.frs)
            for (const auto& p : fr.patches)
              if (p.safe) out.emplace_back("KQAppliance/" + p.path, kqtest::WindowsChecksum(tree_.files.at(p.path)));
    out.emplace_back("KQAppliance/KQApplianceConfig_Windows.xml",
                     kqtest::WindowsChecksum(tree_.files.at(kqtest::kWindowsApplianceConfig)));
    return out;
  }
  bool Extract(const std::vector<std::pair<std::string, int>>& infos, const std::string& rc,
               FilesByType& out) {
    return ExtractAppliancePatchesFromCache(tree_.folder, Infos(infos), FullVersion(_SPVersion(20)),
                                            rc, out);
  }
  std::string Log() const { return kqtest::ReadFile(cfg_.logFile()); }

  kqtest::ScopedConfig cfg_;
  ApplianceManifest tree_;
};

TEST_F(ApplianceListsTest, UnixListOfARemoteCacheWithItsMiniConfiguration) {
  FilesByType out;
  ASSERT_TRUE(Extract({{"RHEL8", 0}, {"SLES15", 0}}, "RC1", out));
  ASSERT_EQ(1u, out.size());
  const Pairs got = AsPairs(out[UpdatePatches::KQ_APPLIANCE_OS_UNIX]);
  EXPECT_EQ(ExpectedUnix(tree_.mini, "KQApplianceMiniConfig_RC1_-_repoA.xml", "Unix/repoA.tar"), got);
  // The slice names an absent rpm (left out) and two checksums that are no numbers (kept).
  EXPECT_EQ(tree_.mini[0].binaries.size() - 1 + 2, got.size());
  EXPECT_EQ(Pairs({{"KQAppliance\\Unix\\Packages\\junk-1.0.rpm", "12ab"},
                   {"KQAppliance\\Unix\\Packages\\sign-1.0.rpm", "-5"}}),
            Pairs(got.begin() + 30, got.begin() + 32));
  EXPECT_EQ(1u, Count(Log(), "Found mini config file path [" + tree_.folder +
                                 "/KQApplianceMiniConfig_RC1_-_repoA.xml] and repodata path [" +
                                 tree_.folder + "/Unix/repoA.tar] for Remote Cache [RC1]"));
  EXPECT_EQ(1u, Count(Log(), "Skipping file [KQApplianceMiniConfig_RC1_-_.xml]"));
  // The second Unix entry is not listed again.
  EXPECT_EQ(1u, Count(Log(), "Skipping calculating of unsupported Appliance OS type [0]"));
}

TEST_F(ApplianceListsTest, UnixListOfAnotherRemoteCacheUsesTheMainConfiguration) {
  FilesByType out;
  ASSERT_TRUE(Extract({{"RHEL9", 0}}, "RC9", out));
  const Pairs got = AsPairs(out[UpdatePatches::KQ_APPLIANCE_OS_UNIX]);
  EXPECT_EQ(ExpectedUnix(tree_.unix, kqtest::kUnixApplianceConfig, "Unix/repodata.tar"), got);
  EXPECT_GT(got.size(), 2500u);
  std::map<std::string, std::string> byName(got.begin(), got.end());
  EXPECT_EQ("26", byName.at("KQAppliance\\Unix\\Packages\\hex-1.0.rpm"));
  EXPECT_EQ("12ab", byName.at("KQAppliance\\Unix\\Packages\\junk-1.0.rpm"));
  EXPECT_EQ("-5", byName.at("KQAppliance\\Unix\\Packages\\sign-1.0.rpm"));
  EXPECT_EQ(1u, Count(Log(), "Checksum [12ab] of file [KQAppliance\\Unix\\Packages\\junk-1.0.rpm] is not a number"));
  EXPECT_EQ(1u, Count(Log(), "Not found mini config file path for Remote Cache [RC9]"));
}

TEST_F(ApplianceListsTest, AnEntryThatCannotBeStatedDoesNotHideTheMiniConfiguration) {
  // Sorted before the real one: a dangling link and a folder with a mini-configuration name.
  ASSERT_EQ(0, ::symlink("/nonexistent/x", (tree_.folder + "/KQApplianceMiniConfig_RC1_-_a.xml").c_str()));
  ASSERT_EQ(0, ::mkdir((tree_.folder + "/KQApplianceMiniConfig_RC1_-_b.xml").c_str(), 0755));
  FilesByType out;
  ASSERT_TRUE(Extract({{"RHEL8", 0}}, "RC1", out));
  EXPECT_EQ(ExpectedUnix(tree_.mini, "KQApplianceMiniConfig_RC1_-_repoA.xml", "Unix/repoA.tar"),
            AsPairs(out[UpdatePatches::KQ_APPLIANCE_OS_UNIX]));
  EXPECT_EQ(1u, Count(Log(), "Cannot stat on [" + tree_.folder + "/KQApplianceMiniConfig_RC1_-_a.xml]"));
}

TEST_F(ApplianceListsTest, WindowsAndSqlEntriesEachListTheWindowsConfiguration) {
  FilesByType out;
  ASSERT_TRUE(Extract({{"Windows Server 2019", 2}, {"SQL Server 2019", 1}, {"Windows Server 2022", 2},
                       {"", 2}, {"Other", 3}},
                      "RC1", out));
  ASSERT_EQ(2u, out.size());
  Pairs windows = ExpectedWindows("Windows Server 2019");
  const Pairs w22 = ExpectedWindows("Windows Server 2022");
  windows.insert(windows.end(), w22.begin(), w22.end());
  // Checksums are the files' CRCs in decimal, also the one the configuration writes in hex.
  EXPECT_EQ(windows, AsPairs(out[UpdatePatches::KQ_APPLIANCE_OS_WINDOWS]));
  EXPECT_EQ(ExpectedWindows("SQL Server 2019"), AsPairs(out[UpdatePatches::KQ_APPLIANCE_OS_MSSQL]));
  EXPECT_EQ(1u, Count(Log(), "Ignoring invalid OS info node"));
  EXPECT_EQ(1u, Count(Log(), "Skipping calculating of unsupported Appliance OS type [3]"));
}

TEST_F(ApplianceListsTest, MissingFilesListNothingAndBrokenConfigurationsFail) {
  FilesByType out;
  // No archive: nothing for Unix; no Windows configuration: nothing for Windows.
  ASSERT_EQ(0, ::unlink((tree_.folder + "/Unix/repodata.tar").c_str()));
  ASSERT_EQ(0, ::unlink((tree_.folder + "/" + kqtest::kWindowsApplianceConfig).c_str()));
  ASSERT_TRUE(Extract({{"RHEL8", 0}, {"Windows Server 2019", 2}}, "RC9", out));
  EXPECT_TRUE(out[UpdatePatches::KQ_APPLIANCE_OS_UNIX].empty());
  EXPECT_TRUE(out[UpdatePatches::KQ_APPLIANCE_OS_WINDOWS].empty());

  // A configuration that does not decode, or is larger than a configuration can be, fails the
  // whole call; the entries after it are not looked at. The text is logged in brief.
  const std::string config = tree_.folder + "/" + kqtest::kUnixApplianceConfig;
  kqtest::WriteFile(tree_.folder + "/Unix/repodata.tar", "x");
  const std::string broken = "<m s=\"23\" id=\"187\"><lo" + std::string(1 << 20, '\x7f');
  for (bool huge : {false, true}) {
    kqtest::WriteFile(config, broken);
    if (huge) {
      ASSERT_EQ(0, ::truncate(config.c_str(), (64LL << 20) + 1));
    }
    out.clear();
    EXPECT_FALSE(Extract({{"RHEL8", 0}, {"SQL Server 2019", 1}}, "RC9", out)) << huge;
    EXPECT_TRUE(out.empty());
  }
  EXPECT_EQ(2u, Count(Log(), "Failed to caluclate all OS patch files for [RHEL8]"));
  EXPECT_EQ(1u, Count(Log(), "Unable to load appliance config file [" + config + "]"));
  EXPECT_EQ(1u, Count(Log(), "] (" + std::to_string(broken.size()) + " bytes) with error code ["));
  std::istringstream lines(Log());
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 4096u);
}

TEST_F(ApplianceListsTest, RemoteCacheListsWhatItHolds) {
  KQUpdateCache cache(42, false);
  UpdatePatches::ApplianceFilesInfo info;
  ASSERT_TRUE(cache.CalculateCheckSumForApplianceFiles(tree_.folder, "KQAppliance/", info));
  std::map<std::string, std::string> expected;
  for (const auto& [rel, bytes] : tree_.files) expected["KQAppliance/" + rel] = kqtest::WindowsChecksum(bytes);
  const auto* files = info.getlistobject(UpdatePatches::ApplianceFilesInfo::kFiles);
  std::map<std::string, std::string> got;
  for (const CNMessageBase& f : *files) got[f.getstring(File::kName)] = f.getstring(File::kChecksum);
  EXPECT_EQ(expected.size(), files->size());
  EXPECT_EQ(expected, got);

  // An empty or missing folder: true, and the answer is left alone.
  const std::string empty = cfg_.root() + "/empty";
  ASSERT_EQ(0, ::mkdir(empty.c_str(), 0755));
  UpdatePatches::ApplianceFilesInfo none;
  EXPECT_TRUE(cache.CalculateCheckSumForApplianceFiles(empty, "KQAppliance/", none));
  EXPECT_TRUE(cache.CalculateCheckSumForApplianceFiles(cfg_.root() + "/missing", "", none));
  EXPECT_FALSE(none.isSet(UpdatePatches::ApplianceFilesInfo::kFiles));
}

// The configuration reader: every step logs, a FIFO or a file larger than a configuration can
// be is refused without waiting or allocating, and the text ends at the file's first zero byte.
TEST_F(ApplianceListsTest, ConfigurationReaderStepsAndTheTextUpToTheFirstZeroByte) {
  const std::string path = cfg_.root() + "/config.xml";
  kqtest::WriteFile(path, std::string("<m s=\"23\"/>\0tail after the zero", 30));
  std::string content = "before";
  ASSERT_EQ(0, loadKQApplianceConfigFile(path, content));
  EXPECT_EQ("<m s=\"23\"/>", content);
  EXPECT_EQ(1u, Count(Log(), "Current file [" + path + "] size is [30] [30]"));

  const std::string fifo = cfg_.root() + "/fifo.xml";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string huge = cfg_.root() + "/huge.xml";
  kqtest::WriteFile(huge, "x");
  ASSERT_EQ(0, ::truncate(huge.c_str(), (64LL << 20) + 1));
  for (const std::string& bad : {cfg_.root() + "/missing.xml", fifo, huge}) {
    content = "kept";
    EXPECT_EQ(1, loadKQApplianceConfigFile(bad, content)) << bad;
    EXPECT_EQ("kept", content) << bad;
  }
  const std::string log = Log();
  EXPECT_EQ(1u, Count(log, "Cannot to open file [" + cfg_.root() + "/missing.xml] with error [2:"));
  EXPECT_EQ(1u, Count(log, "Cannot to open file [" + fifo + "] with error [22:"));
  EXPECT_EQ(1u, Count(log, "Current file [" + huge + "] size is [67108865] [67108865]"));
  EXPECT_EQ(1u, Count(log, "Failed to allocate memory for reading XML file."));
}

}  // namespace
