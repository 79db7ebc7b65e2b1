// Install maps and their ".description" files, on a generated cache.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CacheTestEnv.h"
#include "Unprivileged.h"

namespace kqtest {
namespace {

namespace fs = std::filesystem;
using UpdatePatches::File;

class InstallMapsTest : public CacheTreeTest {};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kLimitAddressSpace = false;  // the sanitizers reserve more than any limit leaves
#else
constexpr bool kLimitAddressSpace = true;
#endif

const UpdateRecord& UpdateWith(const UpdatesOSRecord& r, DescriptionStyle style) {
  for (const UpdateRecord& u : r.area.updates)
    if (u.map.description == style && u.folder[0] != '.') return u;
  throw std::runtime_error("no update with that description style");
}

TEST_F(InstallMapsTest, FourLoadersDecodeTheirMapAndListItWithItsDescription) {
  KQUpdateCache cache(21, false);
  for (int os : {1, 3, 16, 22}) {
    SCOPED_TRACE(os);
    const bool unixForm = os > 4;
    const std::string osRel = UpdatesOSRel(model(), os);
    const UpdatesOSRecord& r = os15(os);

    UpdatePatches::SingleUpdate update;
    std::vector<File> files;
    ASSERT_TRUE(cache.LoadSingleUpdateInstallMap(path(osRel + "/Updates"), os, "U0002", &update, &files));
    EXPECT_EQ(update.getstring(UpdatePatches::SingleUpdate::kName), "U0002");
    EXPECT_EQ(update.getlistobject(UpdatePatches::SingleUpdate::kBinarySets)->size(), r.area.updates[1].sets.size());
    EXPECT_EQ(AsList(files), OracleMapEntries(manifest(), osRel + "/Updates/U0002/Config/UpdateFileInstallMap.xml",
                                              "Config/UpdateFileInstallMap.xml", unixForm));

    UpdatePatches::CumulativeUpdatePack pack;
    files.clear();
    ASSERT_TRUE(cache.LoadCumulativeUpdatePackInstallMap(path(osRel), os, "CU3", &pack, &files));
    EXPECT_EQ(pack.getlistobject(UpdatePatches::CumulativeUpdatePack::kUpdates)->size(), r.area.packs[0].updates.size());
    EXPECT_EQ(AsList(files), OracleMapEntries(manifest(), osRel + "/CU3/Config/CumulativeUpdatePackInstallMap.xml",
                                              "Config/CumulativeUpdatePackInstallMap.xml", unixForm));

    // SP10 is the highest by number, although "SP9" sorts after it by name.
    UpdatePatches::ServicePack sp;
    _SPVersion highest;
    files.clear();
    ASSERT_TRUE(cache.LoadSPInstallMap(path(osRel + "/ServicePacks"), os, highest, &sp, &files));
    EXPECT_EQ(highest.GetMajor(), 10);
    EXPECT_EQ(sp.getlistobject(UpdatePatches::ServicePack::kUpdates)->size(), 6u);
    EXPECT_EQ(AsList(files), OracleMapEntries(manifest(), osRel + "/ServicePacks/SP10/Config/ServicePackFileInstallMap.xml",
                                              "Config/ServicePackFileInstallMap.xml", unixForm));

    files.clear();
    ASSERT_TRUE(cache.GetInstallFilesCheckSumList(path(osRel), os, &files));
    EXPECT_EQ(AsList(files), OracleInstaller(manifest(), osRel, r.area.installer, unixForm));
  }
}

TEST_F(InstallMapsTest, DescriptionLinesAreJoinedAndItsOwnChecksumFollowsTheOperatingSystem) {
  KQUpdateCache cache(22, false);
  const std::string updates = UpdatesOSRel(model(), 16) + "/Updates";
  for (DescriptionStyle style : {DescriptionStyle::kCrLf, DescriptionStyle::kMultiLine}) {
    const UpdateRecord& u = UpdateWith(os15(16), style);
    const std::string desc = updates + "/" + u.folder + "/Config/UpdateFileInstallMap.xml.description";
    // Asked for with a Windows and a Unix client id: same map text, two forms of the
    // description's own checksum.
    for (int os : {3, 16}) {
      UpdatePatches::SingleUpdate map;
      std::vector<File> files;
      ASSERT_TRUE(cache.LoadSingleUpdateInstallMap(path(updates), os, u.folder, &map, &files));
      ASSERT_EQ(files.size(), 2u);
      EXPECT_EQ(files[0].getstring(File::kChecksum), manifest().DescriptionText(desc));
      EXPECT_EQ(files[0].getstring(File::kChecksum).find_first_of("\r\n"), std::string::npos);
      EXPECT_EQ(files[1].getstring(File::kName), "Config/UpdateFileInstallMap.xml.description");
      EXPECT_EQ(files[1].getstring(File::kChecksum), manifest().ChecksumOf(desc, os > 4));
    }
  }
}

TEST_F(InstallMapsTest, MissingOrEmptyFeatureReleaseFolderLoadsNothing) {
  KQUpdateCache cache(23, false);
  const std::string empty = Scratch("sp-empty");
  fs::create_directories(empty + "/Other");
  WriteFile(empty + "/notes.txt", "x");
  for (const std::string& folder : {empty, Scratch("sp-missing")}) {
    UpdatePatches::ServicePack sp;
    _SPVersion highest(7);
    std::vector<File> files;
    EXPECT_TRUE(cache.LoadSPInstallMap(folder, 3, highest, &sp, &files));
    EXPECT_EQ(highest.GetMajor(), 0);
    EXPECT_TRUE(files.empty());
  }
}

TEST_F(InstallMapsTest, BrokenMissingOrUndescribedMapsFail) {
  KQUpdateCache cache(24, false);
  const std::string area = Scratch("broken");
  // A map that decodes but whose description is missing.
  CacheManifest out;
  out.root = area;
  UpdateRecord u;
  u.folder = u.name = "UX";
  u.map.description = DescriptionStyle::kMissing;
  WriteUpdate(out, "Updates", u, false);
  UpdateRecord bad = u;
  bad.folder = bad.name = "UB";
  bad.map.description = DescriptionStyle::kOneLine;
  bad.map.broken = true;
  WriteUpdate(out, "Updates", bad, false);
  UpdatePatches::SingleUpdate map;
  std::vector<File> files;
  EXPECT_FALSE(cache.LoadSingleUpdateInstallMap(area + "/Updates", 1, "UX", &map, &files));
  EXPECT_FALSE(cache.LoadSingleUpdateInstallMap(area + "/Updates", 1, "UB", &map, &files));
  EXPECT_FALSE(cache.LoadSingleUpdateInstallMap(area + "/Updates", 1, "UZ", &map, &files));
  EXPECT_TRUE(files.empty());
  EXPECT_NE(Log().find("Failed to unserialize update install xml for update [UB]"), std::string::npos);

  // An installer folder without its map fails; a missing one gives nothing.
  EXPECT_FALSE(cache.GetInstallFilesCheckSumList(area + "/Updates", 1, &files));
  EXPECT_TRUE(cache.GetInstallFilesCheckSumList(area + "/none", 1, &files));
  EXPECT_TRUE(files.empty());

  // Unit names that are not one folder name are refused before any path is built.
  for (const char* name : {"..", "../Updates/UX", "", "a/b"})
    EXPECT_FALSE(cache.LoadSingleUpdateInstallMap(area + "/Updates", 1, name, &map, &files)) << name;
  EXPECT_FALSE(cache.LoadSingleUpdateInstallMap(area + "/Updates", 1, "UX", nullptr, &files));
}

TEST_F(InstallMapsTest, UnreadableMapFailsWithoutEntries) {
  CacheManifest out = ScratchCache("unreadable");
  const std::string area = out.root;
  UpdateRecord u;
  u.folder = u.name = "UR";
  WriteUpdate(out, "Updates", u, true);
  ::chmod((area + "/Updates/UR/Config/UpdateFileInstallMap.xml").c_str(), 0);
  GiveTreeToUnprivileged(area);
  int rc = RunUnprivileged([&] {
    KQUpdateCache cache(25, false);
    UpdatePatches::SingleUpdate map;
    std::vector<File> files;
    bool ok = cache.LoadSingleUpdateInstallMap(area + "/Updates", 16, "UR", &map, &files);
    return ok ? 1 : files.empty() ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

TEST_F(InstallMapsTest, InstallerNamesThatLeaveTheFolderAreLeftOut) {
  CacheManifest out = ScratchCache("installer");
  const std::string area = out.root;
  InstallerRecord r;
  r.entries = {{"setup.exe", "1"}, {"../outside.exe", "2"}, {"/etc/passwd", "3"}, {"sub\\ok.cfg", "4"}};
  WriteInstaller(out, "OS", r, false);
  KQUpdateCache cache(26, false);
  std::vector<File> files;
  ASSERT_TRUE(cache.GetInstallFilesCheckSumList(area + "/OS", 1, &files));
  EXPECT_EQ(AsList(files), OracleInstaller(out, "OS", r, false));
  EXPECT_EQ(files.size(), 4u);
}

// Maps come inside downloaded packages and may be anything: 256 MiB of empty unknown elements,
// a smaller text that does not decode, a FIFO. Each load fails in a child held to 2 GiB of
// address space (and 20 s), the child lives, and no line it logs is longer than a few KB.
TEST_F(InstallMapsTest, HugeUndecodableOrNonRegularMapsFailWithShortLines) {
  CacheManifest out = ScratchCache("hostile");
  InstallerRecord r;
  r.entries = {{"setup.exe", "1"}};
  const char* const kAreas[] = {"huge", "broken", "fifo"};
  for (const char* area : kAreas) WriteInstaller(out, area, r, false);
  std::string elements = "<m s=\"23\" id=\"43\">";
  while (elements.size() < (4u << 20)) elements += "<a/>";
  const std::string huge = out.root + "/huge/InstallFileCheckSum.xml";
  WriteFile(huge, elements + elements);  // the rest is a hole
  ASSERT_EQ(0, ::truncate(huge.c_str(), 256ll << 20));
  WriteFile(out.root + "/broken/InstallFileCheckSum.xml", elements);
  const std::string fifo = out.root + "/fifo/InstallFileCheckSum.xml";
  ASSERT_EQ(0, ::unlink(fifo.c_str()));
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));

  const size_t logged = Log().size();
  for (const char* area : kAreas) {
    const std::string folder = out.root + "/" + area;
    const int rc = RunInChild(
        [] {
          ::alarm(20);
          const struct rlimit limit = {2ull << 30, 2ull << 30};
          return !kLimitAddressSpace || ::setrlimit(RLIMIT_AS, &limit) == 0;
        },
        100,
        [&] {
          try {
            KQUpdateCache cache(27, false);
            std::vector<File> files;
            return cache.GetInstallFilesCheckSumList(folder, 1, &files) ? 1 : files.empty() ? 0 : 2;
          } catch (...) {
            return 102;  // what would have ended a process without a handler
          }
        });
    EXPECT_EQ(rc, 0) << area;
  }
  const std::string log = Log().substr(logged);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 4096u);
  EXPECT_NE(log.find("is larger than 33554432 bytes"), std::string::npos);
  EXPECT_NE(log.find("Failed to unserialize string [<m s=\"23\" id=\"43\"><a/>"), std::string::npos);
  EXPECT_NE(log.find("] (" + std::to_string(elements.size()) + " bytes)"), std::string::npos);
  EXPECT_NE(log.find("is not a regular file"), std::string::npos);
}

// An installer map just under the cap whose names are DEL bytes, which the writer spells in six
// bytes each: at level 10, with 400 MiB of address space to spare, it loads whole and the line
// that shows it stays short.
TEST_F(InstallMapsTest, LargeMapLoggedAtLevelTenLoadsWithAShortLine) {
  if (!kLimitAddressSpace) GTEST_SKIP() << "the sanitizers reserve more than any limit leaves";
  CacheManifest out = ScratchCache("del");
  InstallerRecord r;
  r.entries = {{"setup.exe", "1"}};
  WriteInstaller(out, "OS", r, false);
  const std::string entry =
      "<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">" + std::string(4096, '\x7f') + "</s><s i=\"2\" t=\"5\">1</s></m>";
  const size_t entries = (31u << 20) / entry.size();
  std::string map = "<m s=\"23\" id=\"43\"><lo i=\"1\" t=\"1\">";
  for (size_t i = 0; i < entries; ++i) map += entry;
  WriteFile(out.root + "/OS/InstallFileCheckSum.xml", map + "</lo></m>");
  std::string().swap(map);

  const size_t logged = Log().size();
  const int rc = RunInChild(
      [] {
        ::alarm(60);
        return LimitAddressSpaceTo(400ull << 20);
      },
      100,
      [&] {
        try {
          KQUpdateCache cache(28, false);
          UpdatePatches::InstallFiles loaded;
          std::vector<File> files;
          if (!cache.LoadInstallFileChecksum(out.root + "/OS", 1, &loaded, &files)) return 1;
          return loaded.getlistobject(UpdatePatches::InstallFiles::kFiles)->size() == entries &&
                         files.size() == 2
                     ? 0
                     : 2;
        } catch (...) {
          return 102;  // what would have ended a process without a handler
        }
      });
  EXPECT_EQ(rc, 0);
  const std::string log = Log().substr(logged);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 4096u);
  EXPECT_NE(log.find("InstallFiles XML is: [<m s=\"23\" id=\"43\">"), std::string::npos);
  EXPECT_NE(log.find(std::to_string(entries) + " entries"), std::string::npos);
}

}  // namespace
}  // namespace kqtest
