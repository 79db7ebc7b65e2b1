// Appliance patches of a retrieval job: the CheckFile step against a fetched configuration
// and the local files, the stale-file cleanup, the GetFile step with its checksum and space
// checks, the Unix configuration and repodata downloads and the commit, over a real database,
// real folders (a copy or download source on this machine) and, for space, small tmpfs mounts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "HubnodeFixture.h"
#include "KqDbTestEnv.h"
#include "PortableFiles/PxDirectory.h"
#include "PortableFiles/PxError.h"
#include "RetrievalCenterEnv.h"
#include "RetrievalPhaseEnv.h"

namespace {

using namespace nPatchDownload;
using kqtest::Sql;
using kqtest::TestRetrievalJob;
using UpdatePatches::BinaryV11;

unsigned int Win32(unsigned int code) {
  return static_cast<unsigned int>(FXErrorUtil::ErrorWin32(code, FX_CODE_LOCATION()).GetErrorCode());
}

uint32_t Crc(const std::string& bytes) {
  uint32_t reg = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    reg ^= b;
    for (int k = 0; k < 8; ++k) reg = (reg & 1) ? 0xEDB88320u ^ (reg >> 1) : reg >> 1;
  }
  return ~reg;
}

// data followed by four bytes that make the CRC-32 of the whole equal target.
std::string WithCrc(const std::string& data, uint32_t target) {
  uint32_t table[256];
  unsigned char byTop[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
    byTop[c >> 24] = static_cast<unsigned char>(i);
  }
  uint32_t reg = 0xFFFFFFFFu;
  for (unsigned char b : data) reg = (reg >> 8) ^ table[(reg ^ b) & 0xFF];
  unsigned char index[4];
  uint32_t want = ~target;
  for (int k = 3; k >= 0; --k) {
    index[k] = byTop[want >> 24];
    want = (want ^ table[index[k]]) << 8;
  }
  std::string out = data;
  for (int k = 0; k < 4; ++k) {
    out.push_back(static_cast<char>((reg ^ index[k]) & 0xFF));
    reg = (reg >> 8) ^ table[index[k]];
  }
  return out;
}

std::string Bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

BinaryV11 File(const std::string& path, const std::string& checksum) {
  BinaryV11 b;
  b.setstring(BinaryV11::kRelativePath, path);
  b.setstring(BinaryV11::kChecksum, checksum);
  b.setstring(BinaryV11::kFileName, path.substr(path.rfind('/') + 1));
  return b;
}

std::vector<std::string> Paths(const std::vector<BinaryV11>& files) {
  std::vector<std::string> out;
  for (const BinaryV11& f : files) out.push_back(f.getstring(BinaryV11::kRelativePath));
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// One sub-operating system of a Windows appliance configuration: its feature-release sections,
// each a list of (path below "KQAppliance", checksum text).
struct SubOS {
  std::string name;
  std::vector<std::vector<std::pair<std::string, std::string>>> frs;
};

CNMessageBase Section(const std::string& name, const std::vector<SubOS>& subs) {
  using namespace UpdatePatches;
  KQApplianceOSSection section;
  section.setstring(KQApplianceOSSection::kName, name);
  std::vector<CNMessageBase> subList;
  for (const SubOS& s : subs) {
    KQApplianceSubOS sub;
    sub.setstring(KQApplianceSubOS::kName, s.name);
    std::vector<CNMessageBase> frs;
    for (const auto& files : s.frs) {
      KQApplianceFRSection fr;
      std::vector<CNMessageBase> patches;
      for (const auto& f : files) patches.push_back(File(f.first, f.second));
      fr.setlistobject(KQApplianceFRSection::kPatchFiles, patches);
      frs.push_back(fr);
    }
    sub.setlistobject(KQApplianceSubOS::kFeatureReleases, frs);
    subList.push_back(sub);
  }
  section.setlistobject(KQApplianceOSSection::kSubOSSections, subList);
  return section;
}

void WriteWindowsConfig(const std::string& path, const std::vector<CNMessageBase>& sections) {
  UpdatePatches::KQApplianceOSPatches config;
  config.setlistobject(UpdatePatches::KQApplianceOSPatches::kOSSections, sections);
  kqfixture::WriteMessageFile(path, config);
}

std::string Dec(uint32_t crc) { return std::to_string(crc); }

// A small tmpfs mounted on a folder for the object's life.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, const std::string& size) : folder_(folder) {
    mkdir(folder.c_str(), 0755);
    if (geteuid() != 0) {
      reason_ = "mounting a small tmpfs needs root";
    } else if (mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      reason_ = "cannot mount a tmpfs here: " + PxErrnoText(errno);
    } else {
      mounted_ = true;
    }
  }
  ~SmallDisk() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool ok() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  unsigned long long FreeKB() const {
    uint64_t total = 0, free = 0;
    CPxDirectory::GetSpaceUsage(folder_, total, free);
    return free >> 10;
  }

 private:
  std::string folder_;
  std::string reason_;
  bool mounted_ = false;
};

class ApplianceTest : public kqtest::RetrievalPhaseTest {
 protected:
  ApplianceTest() : side(Side(3, policy.m_candidateVersion)) {}

  void Clients() {
    Sql("INSERT INTO APP_ApplianceOS VALUES (101, 'Windows 2022', 2, 0), "
        "(102, 'MSSQL 2019', 1, 0), (103, 'Linux 9', 3, 0)");
  }

  tRetrievalSide side;
};

TEST_F(ApplianceTest, TheCheckFileStepListsWhatIsMissingOrChangedAndCleansTheRest) {
  Clients();
  const std::string same = Bytes(3000, 1), changed = Bytes(2000, 2), sql = WithCrc(Bytes(500, 3), 31);
  ASSERT_EQ(31u, Crc(sql));
  char hex[16];
  snprintf(hex, sizeof hex, "0x%x", Crc(same));
  WriteWindowsConfig(
      source / "KQAppliance/KQApplianceConfig_Windows.xml",
      {Section("Windows",
               {{"Windows 2022",
                 {{{"Windows/same.msu", hex},
                   {"Windows/changed.msu", Dec(Crc(changed + "new"))},
                   {"Windows/missing.msu", "12345"}},
                  {{"Windows/missing.msu", "12345"}, {"../escape.msu", "1"}}}},
                {"Windows 2019", {{{"Windows/other.msu", "1"}}}}}),
       Section("MSSQL", {{"MSSQL 2019", {{{"MSSQL\\sql.exe", "0x1f"}}}}})});
  const std::string folder = cache / "KQAppliance";
  kqtest::WriteFile(folder + "/Windows/same.msu", same);
  kqtest::WriteFile(folder + "/Windows/changed.msu", changed);
  kqtest::WriteFile(folder + "/MSSQL/sql.exe", sql);
  kqtest::WriteFile(folder + "/stale.msu", "old");
  kqtest::WriteFile(folder + "/Windows/other.msu", "no client has it");
  const std::vector<std::string> keptAlways = {
      "KQApplianceMiniConfig_RC1_-_repoA.xml", "KQApplianceConfig_Unix.xml",
      "PlatformInfo_Unix.xml",                  "Unix/old.rpm",
      "Windows/Unix/deep.rpm",                  "MSSQL/KQApplianceMiniConfig_x.xml"};
  for (const std::string& f : keptAlways) kqtest::WriteFile(folder + "/" + f, "keep");
  kqtest::WriteFile(outside / "victim.msu", "not ours");
  ASSERT_EQ(0, symlink(outside.path().c_str(), (folder + "/ext").c_str()));
  ASSERT_EQ(0, symlink((outside / "victim.msu").c_str(), (folder + "/victim.msu").c_str()));

  TestRetrievalJob& job = Job(source.path(), false);
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));

  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(3, entries.begin()->first.osId);
  tKQApplainceFilesInfo& info = entries[side];
  // The changed and the missing file, the one listed twice once; "0x1f" matches a CRC of 31.
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Windows/changed.msu",
                                      "KQAppliance/Windows/missing.msu"}),
            Paths(info["Windows 2022"].pending));
  EXPECT_TRUE(info["MSSQL 2019"].pending.empty());
  EXPECT_EQ(0u, info.count("Windows 2019"));

  EXPECT_FALSE(Exists(folder + "/stale.msu"));
  EXPECT_FALSE(Exists(folder + "/Windows/other.msu"));
  for (const char* f : {"Windows/same.msu", "Windows/changed.msu", "MSSQL/sql.exe"})
    EXPECT_TRUE(Exists(folder + "/" + f)) << f;
  for (const std::string& f : keptAlways) EXPECT_TRUE(Exists(folder + "/" + f)) << f;
  // Links are neither followed nor removed.
  EXPECT_TRUE(Exists(folder + "/ext"));
  EXPECT_TRUE(Exists(folder + "/victim.msu"));
  EXPECT_EQ("not ours", kqtest::ReadFile(outside / "victim.msu"));
  EXPECT_FALSE(Exists(cache / "escape.msu"));

  // The fetched configuration is what the commit records.
  EXPECT_EQ(folder + "/KQApplianceConfig_Windows.xml", job.m_windowsApplianceConfigPath);
  ASSERT_EQ(0u, job.CommitAppliancePatches());
  EXPECT_EQ(2, Sql("SELECT COUNT(*) FROM PatchApplianceVersion")[0][0].i);
}

TEST_F(ApplianceTest, UnknownClientsOrNoConfigurationRemoveNothing) {
  const std::string folder = cache / "KQAppliance";
  kqtest::WriteFile(folder + "/Windows/kb.msu", "patch");
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {{{"Windows/kb.msu", "1"}}}}})});
  Sql("DROP TABLE APP_ApplianceOS");
  TestRetrievalJob& job = Job(source.path(), false);
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  EXPECT_TRUE(Logged("Cannot get appliance clients, skipping appliance patch download"));
  EXPECT_TRUE(Exists(folder + "/Windows/kb.msu"));
  EXPECT_TRUE(entries.empty());

  // No configuration on the source: no appliance patches, no error, nothing to commit.
  TestRetrievalJob& none = Job(outside.path(), false);
  ASSERT_EQ(0u, none.calculatePendingApplianceFiles(entries));
  EXPECT_TRUE(Logged("Cannot get Appliance configuration file."));
  EXPECT_TRUE(none.m_windowsApplianceConfigPath.empty());
  EXPECT_EQ(0u, none.CommitAppliancePatches());
  EXPECT_TRUE(Exists(folder + "/Windows/kb.msu"));

  // A configuration that does not decode ends the step with the reader's code.
  kqtest::WriteFile(source / "KQAppliance/KQApplianceConfig_Windows.xml", "<broken");
  Restart();
  TestRetrievalJob& broken = Job(source.path(), false);
  EXPECT_EQ(0x80000010u, broken.calculatePendingApplianceFiles(entries));
  EXPECT_TRUE(Logged("Error happens during checking for patch files"));
}

TEST_F(ApplianceTest, UnixFilesAreCheckedAgainstTheCacheRoot) {
  const std::string ok = Bytes(700, 4);
  kqtest::WriteFile(cache / "KQAppliance/Unix/Packages/ok.rpm", ok);
  TestRetrievalJob& job = Job(outside.path(), false);
  tRetrievalEntry& rhel = job.unixFiles["rhel-7.3"];
  rhel.retrieved = {File("KQAppliance/Unix/Packages/ok.rpm", "0" + [&] {
                      char oct[16];
                      snprintf(oct, sizeof oct, "%o", Crc(ok));
                      return std::string(oct);
                    }()),
                    File("KQAppliance/Unix/Packages/new.rpm", "7"),
                    File("KQAppliance/../../x.rpm", "7")};
  job.unixFiles["rhel-8"].retrieved = {File("KQAppliance/Unix/Packages/new.rpm", "7")};
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  const tRetrievalSide unix = Side(16, policy.m_candidateVersion);
  ASSERT_EQ(1u, entries.count(unix));
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Unix/Packages/new.rpm"}),
            Paths(entries[unix]["rhel-7.3"].pending));
  // Checked once, and pending for each system that lists it.
  EXPECT_EQ(Paths(entries[unix]["rhel-7.3"].pending), Paths(entries[unix]["rhel-8"].pending));
  EXPECT_EQ(1u, TimesLogged("File [" + (cache / "KQAppliance/Unix/Packages/new.rpm") +
                            "] does not exist"));
  EXPECT_EQ(3u, entries[unix]["rhel-7.3"].retrieved.size());
  EXPECT_TRUE(Logged("Skipping appliance file [KQAppliance/../../x.rpm]"));

  job.unixFilesResult = 0x80000018u;
  entries.clear();
  EXPECT_EQ(0x80000018u, job.calculatePendingApplianceFiles(entries));
  EXPECT_TRUE(entries.empty());
}

// The log lines written since `from` bytes of the log, without their time and thread heads.
std::vector<std::string> LinesSince(const std::string& log, size_t from) {
  std::vector<std::string> lines;
  size_t at = from;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    const size_t level = line.find(" L");
    const size_t text = level == std::string::npos ? std::string::npos : line.find(' ', level + 2);
    lines.push_back(text == std::string::npos ? line : line.substr(text + 1));
    at = end + 1;
  }
  return lines;
}

TEST_F(ApplianceTest, ChecksumsWorkedOutOnThePoolGiveWhatReadingInTurnGives) {
  Clients();
  const std::string folder = cache / "KQAppliance";
  std::vector<std::pair<std::string, std::string>> windows;
  tKQApplainceFilesInfo unixFiles;
  for (int i = 0; i < 40; ++i) {
    const std::string body = Bytes(1000 + 97 * i, 40 + i);
    const std::string name = "Windows/kb" + std::to_string(i) + ".msu";
    const std::string rpm = "KQAppliance/Unix/Packages/p" + std::to_string(i) + ".rpm";
    // Every third file is missing, every fifth changed; the rest match their listing.
    if (i % 3 != 0) {
      kqtest::WriteFile(folder + "/" + name, i % 5 == 0 ? body + "changed" : body);
      kqtest::WriteFile(cache / rpm, i % 5 == 0 ? body + "changed" : body);
    }
    windows.push_back({name, Dec(Crc(body))});
    unixFiles[i % 2 == 0 ? "rhel-7.3" : "rhel-8"].retrieved.push_back(File(rpm, Dec(Crc(body))));
  }
  // A folder where a file is listed cannot be read; a file listed twice is checked once (and is
  // pending for both systems that list it).
  ASSERT_EQ(0, mkdir((folder + "/Windows/folder.msu").c_str(), 0755));
  windows.push_back({"Windows/folder.msu", "1"});
  windows.push_back({"Windows/kb1.msu", windows[1].second});
  unixFiles["rhel-8"].retrieved.push_back(unixFiles["rhel-7.3"].retrieved[0]);
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {windows}}})});

  // Once reading each file in turn (no pools), once with the pools started.
  std::vector<std::string> lines[2];
  tApplianceEntries entries[2];
  for (int pooled = 0; pooled < 2; ++pooled) {
    TestRetrievalJob& job = Job(source.path(), false);
    job.unixFiles = unixFiles;
    if (pooled) {
      ASSERT_EQ(0u, job.initThreadPools());
    }
    const size_t from = Log().size();
    ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries[pooled]));
    lines[pooled] = LinesSince(Log(), from);
  }
  EXPECT_EQ(lines[0], lines[1]);
  ASSERT_EQ(entries[0].size(), entries[1].size());
  for (const auto& side : entries[0]) {
    for (const auto& os : side.second) {
      EXPECT_EQ(Paths(os.second.pending), Paths(entries[1][side.first][os.first].pending))
          << os.first;
    }
  }

  // What either way finds: the missing, the changed and the unreadable files, each once.
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i)
    if (i % 3 == 0 || i % 5 == 0)
      expected.push_back("KQAppliance/Windows/kb" + std::to_string(i) + ".msu");
  const size_t unixExpected = expected.size();
  expected.push_back("KQAppliance/Windows/folder.msu");
  EXPECT_EQ(expected, Paths(entries[1][side]["Windows 2022"].pending));
  tKQApplainceFilesInfo& unix = entries[1][Side(16, policy.m_candidateVersion)];
  EXPECT_EQ(unixExpected + 1, unix["rhel-7.3"].pending.size() + unix["rhel-8"].pending.size());
  EXPECT_TRUE(Logged("Cannot calculate the checksum for [KQAppliance/Windows/folder.msu]"));
}

TEST_F(ApplianceTest, AFileOfTwoSystemsIsPendingForBothAndFailsBoth) {
  Clients();
  Sql("INSERT INTO APP_ApplianceOS VALUES (104, 'Windows 2019', 2, 0)");
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {{{"Windows/shared.msu", "1"}}}},
                                          {"Windows 2019", {{{"Windows/shared.msu", "1"},
                                                             {"Windows/own.msu", "1"}}}}})});
  TestRetrievalJob& job = Job(source.path(), false);
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Windows/shared.msu"}),
            Paths(entries[side]["Windows 2022"].pending));
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Windows/shared.msu",
                                      "KQAppliance/Windows/own.msu"}),
            Paths(entries[side]["Windows 2019"].pending));

  // The file is missing on the source: every system that lists it fails.
  EXPECT_EQ(Win32(2), job.getOSAppliancePatches(entries));
  EXPECT_EQ(1u, job.m_failedApplianceOSes.count("Windows 2022"));
  EXPECT_EQ(1u, job.m_failedApplianceOSes.count("Windows 2019"));
}

// Two systems list one path with different checksums: each is judged by its own checksum, in
// the CheckFile step and in the GetFile step, whichever system comes first. A fetch that does
// not match the system that asked for it leaves the local file alone.
TEST_F(ApplianceTest, AFileListedWithTwoChecksumsIsJudgedForEachSystemByItsOwn) {
  Clients();
  Sql("INSERT INTO APP_ApplianceOS VALUES (104, 'Windows 2019', 2, 0)");
  const std::string one = Bytes(1500, 12), two = Bytes(1700, 13), twoNew = Bytes(1600, 14);
  const std::string folder = cache / "KQAppliance";
  kqtest::WriteFile(folder + "/Windows/one.msu", one);
  kqtest::WriteFile(folder + "/Windows/two.msu", two);
  kqtest::WriteFile(source / "KQAppliance/Windows/one.msu", one);
  kqtest::WriteFile(source / "KQAppliance/Windows/two.msu", twoNew);
  WriteWindowsConfig(
      source / "KQAppliance/KQApplianceConfig_Windows.xml",
      {Section("Windows", {{"Windows 2019", {{{"Windows/one.msu", Dec(Crc(one))},
                                              {"Windows/two.msu", Dec(Crc(twoNew))}}}},
                           {"Windows 2022", {{{"Windows/one.msu", Dec(Crc(one) ^ 1)},
                                              {"Windows/two.msu", Dec(Crc(two))}}}}})});
  TestRetrievalJob& job = Job(source.path(), false);
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Windows/two.msu"}),
            Paths(entries[side]["Windows 2019"].pending));
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Windows/one.msu"}),
            Paths(entries[side]["Windows 2022"].pending));

  // The source holds what Windows 2019 lists: it gets two.msu; Windows 2022 fails on one.msu,
  // which stays as Windows 2019 lists it.
  EXPECT_EQ(Win32(13), job.getOSAppliancePatches(entries));
  EXPECT_EQ((std::vector<std::string>{"KQAppliance/Windows/two.msu"}),
            Paths(entries[side]["Windows 2019"].retrieved));
  EXPECT_TRUE(entries[side]["Windows 2022"].retrieved.empty());
  EXPECT_EQ(0u, job.m_failedApplianceOSes.count("Windows 2019"));
  EXPECT_EQ(1u, job.m_failedApplianceOSes.count("Windows 2022"));
  EXPECT_EQ(one, kqtest::ReadFile(folder + "/Windows/one.msu"));
  EXPECT_EQ(twoNew, kqtest::ReadFile(folder + "/Windows/two.msu"));
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder + "/Windows"))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"one.msu", "two.msu"}), names);
}

// An event sink that, when the stale-file cleanup announces that it deletes `path`, first puts
// a folder (holding a file) in the file's place, as another program could meanwhile.
class FolderTakesItsPlace : public CPatchDebug {
 public:
  explicit FolderTakesItsPlace(std::string path) : path_(std::move(path)) {}
  void Debug(const char* function, const char* format, ...) override KQ_PRINTF(3, 4) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (std::string(text).find("[" + path_ + "] does not exist on download center") !=
        std::string::npos) {
      unlink(path_.c_str());
      kqtest::WriteFile(path_ + "/inside.msu", "kept");
    }
    CPatchDebug::Debug(function, "%s", text);
  }

 private:
  std::string path_;
};

TEST_F(ApplianceTest, AStaleFileThatBecameAFolderMeanwhileStays) {
  const std::string folder = cache / "KQAppliance";
  kqtest::WriteFile(folder + "/Windows/old.msu", "stale");
  kqtest::WriteFile(folder + "/Windows/older.msu", "stale");
  Job(outside.path(), false);
  FolderTakesItsPlace event(folder + "/Windows/old.msu");
  TestRetrievalJob racing(jobObject, event, *manager, policy, builder, checkPool, getPool, *media);
  racing.m_localCacheRoot = cache.path();
  EXPECT_EQ(0u, racing.cleanStaleLocalApplianceFiles({}, folder));
  EXPECT_EQ("kept", kqtest::ReadFile(folder + "/Windows/old.msu/inside.msu"));
  EXPECT_FALSE(Exists(folder + "/Windows/older.msu"));
}

// A job's media access that, once a fetched file has arrived under a new name and before the
// job checks it, runs `meanwhile` (another job's work in the same folders).
class WhileAFileArrives : public IMediaAccess {
 public:
  WhileAFileArrives(IMediaAccess& real, std::function<void()> meanwhile)
      : real_(real), meanwhile_(std::move(meanwhile)) {}
  unsigned int Open() override { return real_.Open(); }
  unsigned int Close() override { return real_.Close(); }
  unsigned int GetFile(const std::string& r, const std::string& l, int f) override {
    return Arrived(real_.GetFile(r, l, f), l);
  }
  unsigned int GetFileHeld(const std::string& r, const std::string& l, kq::ScopedFd& h) override {
    return Arrived(real_.GetFileHeld(r, l, h), l);
  }
  unsigned int GetFile(const std::string& r, const std::string& l) override {
    return real_.GetFile(r, l);
  }
  const CMediaConfiguration& GetMediaConfiguration() const override {
    return real_.GetMediaConfiguration();
  }
  std::string GetLastErrorString() const override { return real_.GetLastErrorString(); }

 private:
  unsigned int Arrived(unsigned int rc, const std::string& local) {
    if (rc == 0 && meanwhile_ && local.find("/.kqfetch-") != std::string::npos) {
      std::function<void()> once;
      once.swap(meanwhile_);
      once();
    }
    return rc;
  }
  IMediaAccess& real_;
  std::function<void()> meanwhile_;
};

TEST_F(ApplianceTest, TwoJobsWhoseCheckAndFetchOverlapBothSucceed) {
  Clients();
  const std::string kb = Bytes(5000, 10), listed = Dec(Crc(kb));
  kqtest::WriteFile(source / "KQAppliance/Windows/kb.msu", kb);
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {{{"Windows/kb.msu", listed}}}}})});
  TestRetrievalJob& second = Job(source.path(), false);
  tApplianceEntries firstEntries, secondEntries;
  // The second job checks and cleans the folder while the first job's file has just arrived.
  WhileAFileArrives overlapping(*media, [&] {
    EXPECT_EQ(0u, second.calculatePendingApplianceFiles(secondEntries));
  });
  TestRetrievalJob first(jobObject, *sink, *manager, policy, builder, checkPool, getPool,
                         overlapping);
  first.m_localCacheTemplate = second.m_localCacheTemplate;
  first.m_localCacheRoot = cache.path();
  ASSERT_EQ(0u, first.calculatePendingApplianceFiles(firstEntries));
  EXPECT_EQ(0u, first.getOSAppliancePatches(firstEntries));
  EXPECT_EQ(1u, first.GetNumFilesDownloaded());
  EXPECT_EQ(1u, secondEntries[side]["Windows 2022"].pending.size());
  EXPECT_EQ(0u, second.getOSAppliancePatches(secondEntries));
  const std::string windows = cache / "KQAppliance/Windows";
  EXPECT_EQ((std::map<std::string, std::string>{{windows + "/kb.msu", "file:" + kb}}),
            kqtest::TreeManifest(windows));
}

// A media access of another make, whose transfers cannot hand their lock on, still fetches.
class WithoutHeldTransfers : public WhileAFileArrives {
 public:
  using WhileAFileArrives::WhileAFileArrives;
  unsigned int GetFileHeld(const std::string& r, const std::string& l, kq::ScopedFd& h) override {
    return IMediaAccess::GetFileHeld(r, l, h);
  }
};

TEST_F(ApplianceTest, AMediaAccessThatCannotHandItsLockOnStillFetches) {
  Clients();
  const std::string kb = Bytes(5000, 10);
  kqtest::WriteFile(source / "KQAppliance/Windows/kb.msu", kb);
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {{{"Windows/kb.msu", Dec(Crc(kb))}}}}})});
  const TestRetrievalJob& made = Job(source.path(), false);
  WithoutHeldTransfers plain(*media, nullptr);
  TestRetrievalJob job(jobObject, *sink, *manager, policy, builder, checkPool, getPool, plain);
  job.m_localCacheTemplate = made.m_localCacheTemplate;
  job.m_localCacheRoot = cache.path();
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  EXPECT_EQ(0u, job.getOSAppliancePatches(entries));
  EXPECT_EQ(1u, job.GetNumFilesDownloaded());
  EXPECT_EQ(kb, kqtest::ReadFile(cache / "KQAppliance/Windows/kb.msu"));
}

TEST_F(ApplianceTest, LeftoversOfKilledFetchesGoEvenBelowUnixFoldersAndHeldOnesStay) {
  Clients();
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {{{"Windows/kb.msu", "1"}}}}})});
  const std::string folder = cache / "KQAppliance";
  // What killed fetches left: nobody holds these any more.
  const std::vector<std::string> dead = {"Unix/.kqfetch-0123456789abcdef",
                                         "Unix/repo/x.rpm.Ab12Cd.part",
                                         "Windows/.kqfetch-fedcba9876543210"};
  // What live fetches hold.
  const std::vector<std::string> live = {"Unix/.kqfetch-00000000000000ff",
                                         "Windows/kb.msu.Zz99Yy.part"};
  // Files of the Unix folder that are no leftovers.
  const std::vector<std::string> kept = {"Unix/old.rpm", "Unix/.kqfetch-short",
                                         "Unix/y.rpm.A.part"};
  for (const std::vector<std::string>* names : {&dead, &live, &kept})
    for (const std::string& name : *names) kqtest::WriteFile(folder + "/" + name, "x");
  std::vector<kq::ScopedFd> holders;
  for (const std::string& name : live) {
    holders.emplace_back(open((folder + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(0, flock(holders.back().get(), LOCK_EX | LOCK_NB));
  }

  tApplianceEntries entries;
  ASSERT_EQ(0u, Job(source.path(), false).calculatePendingApplianceFiles(entries));
  for (const std::string& name : dead) EXPECT_FALSE(Exists(folder + "/" + name)) << name;
  for (const std::vector<std::string>* names : {&live, &kept})
    for (const std::string& name : *names) EXPECT_TRUE(Exists(folder + "/" + name)) << name;
}

TEST_F(ApplianceTest, AnApplianceFolderThatIsALinkIsNeitherWrittenNorCleaned) {
  Clients();
  WriteWindowsConfig(source / "KQAppliance/KQApplianceConfig_Windows.xml",
                     {Section("Windows", {{"Windows 2022", {{{"Windows/kb.msu", "1"}}}}})});
  kqtest::WriteFile(outside / "Windows/stale.msu", "not ours");
  ASSERT_EQ(0, symlink(outside.path().c_str(), (cache / "KQAppliance").c_str()));
  TestRetrievalJob& job = Job(source.path(), false);
  tApplianceEntries entries;
  ASSERT_EQ(0u, job.calculatePendingApplianceFiles(entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(Logged("Appliance folder [" + (cache / "KQAppliance") + "] is not a folder of the "
                     "software cache"));
  EXPECT_FALSE(Exists(outside / "KQApplianceConfig_Windows.xml"));

  // Asked directly, the cleanup refuses the link, a folder behind one and a folder elsewhere.
  kqtest::WriteFile(cache / "real/KQAppliance/stale.msu", "x");
  ASSERT_EQ(0, symlink((cache / "real").c_str(), (cache / "KQMedia").c_str()));
  for (const std::string& folder : {cache / "KQAppliance", cache / "KQMedia/KQAppliance",
                                    outside / "Windows", cache.path()}) {
    EXPECT_EQ(0u, job.cleanStaleLocalApplianceFiles({}, folder));
    EXPECT_TRUE(Logged("Skipping the cleanup of appliance folder [" + folder + "]")) << folder;
  }
  EXPECT_EQ("not ours", kqtest::ReadFile(outside / "Windows/stale.msu"));
  EXPECT_EQ("x", kqtest::ReadFile(cache / "real/KQAppliance/stale.msu"));
  // The real folder is cleaned.
  EXPECT_EQ(0u, job.cleanStaleLocalApplianceFiles({}, cache / "real/KQAppliance"));
  EXPECT_FALSE(Exists(cache / "real/KQAppliance/stale.msu"));
}

TEST_F(ApplianceTest, TheGetFileStepKeepsTheFirstFailureAndFetchesEachPathOnce) {
  const std::string a = Bytes(4000, 5), b = Bytes(3000, 6), bad = Bytes(1000, 7);
  kqtest::WriteFile(source / "KQAppliance/Windows/a.msu", a);
  kqtest::WriteFile(source / "KQAppliance/Windows/b.msu", b);
  kqtest::WriteFile(source / "KQAppliance/Windows/bad.msu", bad);
  tApplianceEntries entries;
  entries[side]["MSSQL 2019"].pending = {File("KQAppliance/MSSQL/missing.exe", "1")};
  entries[side]["Windows 2019"].pending = {File("KQAppliance/Windows/a.msu", Dec(Crc(a)))};
  entries[side]["Windows 2022"].pending = {
      File("KQAppliance\\Windows\\a.msu", Dec(Crc(a))),
      File("KQAppliance/Windows/bad.msu", Dec(Crc(bad) ^ 1)),
      File("KQAppliance/../../escape.msu", "1"), File("KQAppliance/Windows/b.msu", Dec(Crc(b)))};

  TestRetrievalJob& job = Job(source.path(), false);
  EXPECT_EQ(Win32(2), job.getOSAppliancePatches(entries));
  EXPECT_EQ(a, kqtest::ReadFile(cache / "KQAppliance/Windows/a.msu"));
  EXPECT_EQ(b, kqtest::ReadFile(cache / "KQAppliance/Windows/b.msu"));
  EXPECT_FALSE(Exists(cache / "KQAppliance/Windows/bad.msu"));
  EXPECT_FALSE(Exists(cache / "escape.msu"));
  EXPECT_EQ(2u, job.GetNumFilesDownloaded());
  EXPECT_EQ(a.size() + b.size(), job.GetTotalBytesDownloaded());
  EXPECT_EQ(1u, entries[side]["Windows 2019"].retrieved.size());
  EXPECT_EQ((std::vector<std::string>{"KQAppliance\\Windows\\a.msu", "KQAppliance/Windows/b.msu"}),
            Paths(entries[side]["Windows 2022"].retrieved));
  EXPECT_EQ((std::set<std::string>{"MSSQL 2019", "Windows 2022"}), [&] {
    std::set<std::string> names;
    for (const auto& f : job.m_failedApplianceOSes) names.insert(f.first);
    return names;
  }());
  // The first failure raised the job error; the later ones did not replace it.
  int status = 0;
  std::queue<tErrorDetails> details;
  EXPECT_EQ(0x44000046, Error(status, &details));
  EXPECT_EQ(3, status);
  ASSERT_EQ(2u, details.size());
  EXPECT_EQ("KQAppliance/MSSQL/missing.exe", details.front().strValue);
  details.pop();
  EXPECT_EQ(cache / "KQAppliance/MSSQL/missing.exe", details.front().strValue);

  // A stop request ends the step before the next file.
  jobObject.RequestStop();
  Restart();
  TestRetrievalJob& stopped = Job(source.path(), false);
  EXPECT_EQ(0x8000001Au, stopped.getOSAppliancePatches(entries));
  EXPECT_EQ(0x44000061, Error(status));
  EXPECT_EQ(4, status);
  EXPECT_EQ(0u, stopped.GetNumFilesDownloaded());
}

TEST_F(ApplianceTest, ACopyJobFetchesFromTheSourceFolderOfEachApplianceType) {
  const std::string w = Bytes(900, 8), s = Bytes(800, 9);
  kqtest::WriteFile(source / "winsrc/Windows/w.msu", w);
  kqtest::WriteFile(source / "sqlsrc/MSSQL/s.exe", s);
  policy.m_applianceSources = {{2, "winsrc"}, {1, "sqlsrc"}};
  tApplianceEntries entries;
  entries[side]["MSSQL 2019"].pending = {File("KQAppliance/MSSQL/s.exe", Dec(Crc(s)))};
  entries[side]["Windows 2022"].pending = {File("KQAppliance/", "1"),
                                           File("Other/w.msu", Dec(Crc(w))),
                                           File("KQAppliance/Windows/w.msu", Dec(Crc(w)))};
  entries[side]["rhel-7.3"].pending = {File("KQAppliance/Unix/u.rpm", "1")};
  TestRetrievalJob& job = Job(source.path(), true);
  EXPECT_EQ(0u, job.getOSAppliancePatches(entries));
  EXPECT_EQ(w, kqtest::ReadFile(cache / "KQAppliance/Windows/w.msu"));
  EXPECT_EQ(s, kqtest::ReadFile(cache / "KQAppliance/MSSQL/s.exe"));
  EXPECT_EQ(2u, job.GetNumFilesDownloaded());
  EXPECT_TRUE(Logged("Skipping unknown appliance file [KQAppliance/], continuing"));
  EXPECT_TRUE(Logged("Skipping unknown appliance file [Other/w.msu], continuing"));
  EXPECT_TRUE(Logged("File [KQAppliance/Unix/u.rpm] exists but source folder of [rhel-7.3] is "
                     "empty, continuing"));
  EXPECT_TRUE(job.m_failedApplianceOSes.empty());
}

TEST_F(ApplianceTest, AFileNeedsFourTimesItsSizeFreeAfterItArrives) {
  const std::string mnt = cache / "small";
  SmallDisk disk(mnt, "8m");
  if (!disk.ok()) GTEST_SKIP() << disk.reason();
  const std::string big = Bytes(1 << 20, 10);
  kqtest::WriteFile(source / "KQAppliance/Windows/big.msu", big);
  ASSERT_EQ(0, mkdir((mnt + "/KQAppliance").c_str(), 0755));
  ASSERT_EQ(0, mkdir((mnt + "/KQAppliance/Windows").c_str(), 0755));
  // Leaves exactly freeAfterKB free once the 1 MiB file is in.
  auto fill = [&](unsigned long long freeAfterKB) {
    unlink((mnt + "/KQAppliance/Windows/big.msu").c_str());
    unlink((mnt + "/filler").c_str());
    kqtest::WriteFile(mnt + "/filler", std::string((disk.FreeKB() - freeAfterKB - 1024) << 10, 'f'));
  };
  tApplianceEntries entries;
  entries[side]["Windows 2022"].pending = {File("KQAppliance/Windows/big.msu", Dec(Crc(big)))};

  fill(4096);
  TestRetrievalJob& job = Job(source.path(), false, mnt);
  ASSERT_EQ(0u, job.getOSAppliancePatches(entries));
  EXPECT_EQ(4096u, disk.FreeKB());
  EXPECT_TRUE(Exists(mnt + "/KQAppliance/Windows/big.msu"));
  EXPECT_EQ(1u, job.GetNumFilesDownloaded());
  EXPECT_EQ(1u << 20, job.GetTotalBytesDownloaded());

  fill(4092);
  entries[side]["Windows 2022"].retrieved.clear();
  TestRetrievalJob& tight = Job(source.path(), false, mnt);
  EXPECT_EQ(0x8000001Du, tight.getOSAppliancePatches(entries));
  EXPECT_FALSE(Exists(mnt + "/KQAppliance/Windows/big.msu"));
  EXPECT_EQ(0u, tight.GetNumFilesDownloaded());
  EXPECT_TRUE(entries[side]["Windows 2022"].retrieved.empty());
  EXPECT_EQ(1u, tight.m_failedApplianceOSes.count("Windows 2022"));
  int status = 0;
  std::queue<tErrorDetails> details;
  EXPECT_EQ(0x44000012, Error(status, &details));
  EXPECT_EQ(2, status);
  ASSERT_EQ(3u, details.size());
  EXPECT_EQ(mnt + "/KQAppliance/Windows/big.msu", details.front().strValue);
  details.pop();
  EXPECT_EQ(4096, details.front().llValue);
  details.pop();
  EXPECT_EQ(4092, details.front().llValue);
}

TEST_F(ApplianceTest, ACopyJobThatFillsTheDiskReportsTheSourceSize) {
  const std::string mnt = cache / "tiny";
  SmallDisk disk(mnt, "256k");
  if (!disk.ok()) GTEST_SKIP() << disk.reason();
  const std::string big = Bytes(1 << 20, 11);
  kqtest::WriteFile(source / "win/Windows/big.msu", big);
  policy.m_applianceSources = {{2, "win"}};
  tApplianceEntries entries;
  entries[side]["Windows 2022"].pending = {File("KQAppliance/Windows/big.msu", Dec(Crc(big)))};
  TestRetrievalJob& job = Job(source.path(), true, mnt);
  EXPECT_EQ(Win32(112), job.getOSAppliancePatches(entries));
  EXPECT_FALSE(Exists(mnt + "/KQAppliance/Windows/big.msu"));
  int status = 0;
  std::queue<tErrorDetails> details;
  EXPECT_EQ(0x44000012, Error(status, &details));
  EXPECT_EQ(2, status);
  ASSERT_EQ(3u, details.size());
  details.pop();
  EXPECT_EQ(1 << 20, details.front().llValue);
  EXPECT_EQ(1u, job.m_failedApplianceOSes.count("Windows 2022"));
}

TEST_F(ApplianceTest, UnixConfigurationAndRepodataDownloads) {
  kqtest::WriteFile(source / "KQAppliance/KQApplianceConfig_Unix.xml", "old");
  kqtest::WriteFile(source / "KQAppliance/PlatformInfo_Unix.xml", "new");
  bool platformInfo = true;
  policy.m_candidateVersion = Version(22);
  ASSERT_EQ(0u, Job(source.path(), false).DownloadUnixApplianceConfigFiles(platformInfo));
  EXPECT_FALSE(platformInfo);
  EXPECT_EQ("old", kqtest::ReadFile(cache / "KQAppliance/KQApplianceConfig_Unix.xml"));
  EXPECT_FALSE(Exists(cache / "KQAppliance/PlatformInfo_Unix.xml"));
  policy.m_candidateVersion = Version(23);
  ASSERT_EQ(0u, Job(source.path(), false).DownloadUnixApplianceConfigFiles(platformInfo));
  EXPECT_TRUE(platformInfo);
  EXPECT_EQ("new", kqtest::ReadFile(cache / "KQAppliance/PlatformInfo_Unix.xml"));

  // A copy job reads below the Unix source folder; a missing file is the job's error.
  policy.m_applianceSources = {{0, "unixsrc"}};
  EXPECT_EQ(Win32(2), Job(source.path(), true).DownloadUnixApplianceConfigFiles(platformInfo));
  int status = 0;
  std::queue<tErrorDetails> details;
  EXPECT_EQ(0x44000046, Error(status, &details));
  EXPECT_EQ(2, status);
  EXPECT_EQ("unixsrc/KQAppliance/PlatformInfo_Unix.xml", details.front().strValue);

  kqtest::WriteFile(source / "unixsrc/KQAppliance/Unix/repoA.tar", "A");
  kqtest::WriteFile(source / "unixsrc/KQAppliance/Unix/repoB.tar", "B");
  kqtest::WriteFile(outside / "evil.tar", "E");
  TestRetrievalJob& job = Job(source.path(), true);
  ASSERT_EQ(0u, job.downloadAllRepodataFiles({"KQAppliance\\Unix\\repoA.tar",
                                              "KQAppliance/Unix/repoB.tar", "../evil.tar",
                                              "/etc/evil.tar"}));
  EXPECT_EQ("A", kqtest::ReadFile(cache / "KQAppliance/Unix/repoA.tar"));
  EXPECT_EQ("B", kqtest::ReadFile(cache / "KQAppliance/Unix/repoB.tar"));
  EXPECT_TRUE(Logged("Skipping repodata [../evil.tar]"));
  EXPECT_EQ("E", kqtest::ReadFile(outside / "evil.tar"));
  Restart();
  TestRetrievalJob& missing = Job(source.path(), true);
  EXPECT_EQ(Win32(2), missing.downloadAllRepodataFiles({"KQAppliance/Unix/a.tar",
                                                        "KQAppliance/Unix/repoA.tar"}));
  EXPECT_EQ(0x44000046, Error(status));
  EXPECT_TRUE(Logged("Failed to download repodata file [unixsrc/KQAppliance/Unix/a.tar]"));
}

TEST_F(ApplianceTest, FailedAppliancesAreListedOnce) {
  TestRetrievalJob& job = Job(outside.path(), false);
  tRetrievalEntry entry;
  entry.status = 5;
  job.addToFailedApplianceOS("Windows 2022", entry);
  entry.status = 6;
  job.addToFailedApplianceOS("Windows 2022", entry);
  EXPECT_EQ(5u, job.m_failedApplianceOSes["Windows 2022"].status);
  job.addToFailedAppliance(side);
  job.addToFailedAppliance(side);
  ASSERT_EQ(1u, job.m_failedApplianceSides.size());
  EXPECT_NE(nullptr, job.m_failedApplianceSides[side]);
  EXPECT_EQ(2, CSoftwareRetrieval::GetKQApplianceOSTypeByName("Windows 2022"));
  EXPECT_EQ(1, CSoftwareRetrieval::GetKQApplianceOSTypeByName("MSSQL 2019"));
  EXPECT_EQ(0, CSoftwareRetrieval::GetKQApplianceOSTypeByName("rhel-7.3"));
  EXPECT_EQ(16, CSoftwareRetrieval::getApplianceOSIdByName("RHEL-7.3"));
  EXPECT_EQ(0, CSoftwareRetrieval::getApplianceOSIdByName("rhel-8"));
}

// The appliance steps over a generated download center served on loopback http.
class ApplianceCenterTest : public kqtest::RetrievalCenterTest {};

TEST_F(ApplianceCenterTest, TheCenterAppliancePatchesLandOnceAndASecondRunFetchesNone) {
  kqtest::LoopbackServer& server = Serve("http");
  const std::vector<const kqtest::CenterFile*> appliance = center.OfType(kqtest::kCenterAppliance);
  ASSERT_FALSE(appliance.empty());
  {
    Run& r = NewRun();
    bool platformInfo = true;
    ASSERT_EQ(0u, r.job->DownloadUnixApplianceConfigFiles(platformInfo));
    EXPECT_FALSE(platformInfo);  // the candidate's service-pack major is below 23
    ASSERT_EQ(0u, r.job->downloadAllRepodataFiles({"KQAppliance/Unix/repodata.tar"}));
    tApplianceEntries entries;
    ASSERT_EQ(0u, r.job->calculatePendingApplianceFiles(entries));
    ASSERT_EQ(0u, r.job->getOSAppliancePatches(entries));
    EXPECT_EQ(appliance.size(), r.job->GetNumFilesDownloaded());
    EXPECT_EQ(center.Bytes(kqtest::kCenterAppliance), r.job->GetTotalBytesDownloaded());
    ASSERT_EQ(0u, r.job->CommitAppliancePatches());
  }
  const kqtest::CenterCacheState state = kqtest::CompareCacheWithCenter(center, cache.path());
  const std::set<std::string> equal(state.equal.begin(), state.equal.end());
  for (const kqtest::CenterFile* f : appliance) EXPECT_EQ(1u, equal.count(f->path)) << f->path;
  EXPECT_TRUE(state.differ.empty());
  EXPECT_TRUE(state.partial.empty());
  EXPECT_TRUE(state.other.empty());
  EXPECT_LT(0, Sql("SELECT COUNT(*) FROM PatchApplianceVersion")[0][0].i);
  for (const kqtest::CenterFile* f : appliance) EXPECT_EQ(1, server.CountRequests(f->path));

  Run& again = NewRun();
  tApplianceEntries entries;
  ASSERT_EQ(0u, again.job->calculatePendingApplianceFiles(entries));
  for (const auto& side : entries)
    for (const auto& os : side.second) EXPECT_TRUE(os.second.pending.empty()) << os.first;
  ASSERT_EQ(0u, again.job->getOSAppliancePatches(entries));
  EXPECT_EQ(0u, again.job->GetNumFilesDownloaded());
  for (const kqtest::CenterFile* f : appliance) EXPECT_EQ(1, server.CountRequests(f->path));
}

}  // namespace
