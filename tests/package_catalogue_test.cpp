// Loading the package and binary catalogues through the process-wide parsed-catalogue cache, and
// the binary-set and platform queries, against the generator's model.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <filesystem>
#include <fstream>

#include "Configuration/KQGlobalParam.h"
#include "MediaTestEnv.h"
#include "StringUtils.h"

namespace kqtest {
namespace {

namespace fs = std::filesystem;

size_t FileRecords(const std::vector<BinarySetRecord>& sets) {
  size_t n = 0;
  for (const BinarySetRecord& s : sets)
    for (const PackageFiles& p : s.packages) n += p.files.size();
  return n;
}

// Rewrites a file with other bytes of the same length and gives it back its modification time.
void ReplaceKeepingStamp(const std::string& path, const std::string& text) {
  struct stat before;
  ASSERT_EQ(0, stat(path.c_str(), &before));
  ASSERT_EQ(static_cast<size_t>(before.st_size), text.size());
  WriteTextFile(path, text);
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// A Windows package catalogue whose only entry is package id in binary set 3 with no
// dependencies; padded so that two of them have the same length.
std::string OnePackageCatalogue(unsigned id) {
  CatalogueModel m;
  m.details.push_back(PkgDetailsRecord{id, 3, kAbsent, true, {}, {}});
  return XmlText(PackageDetailsMessage(m), false);
}

bool HasPackage(KQPackageCache& c, unsigned id, int bs) {
  std::list<unsigned> deps;
  bool reboot = false;
  return c.GetDependentPackages(id, deps, reboot, bs);
}

class PackageCatalogueTest : public MediaTest {};

TEST_F(PackageCatalogueTest, GeneratedMediaHaveTheAgreedShape) {
  WriteBoth();
  EXPECT_EQ(300u, media.packages.size());
  size_t win = FileRecords(media.windows.binaryInfo.at(""));
  EXPECT_GE(win, 3000u);
  EXPECT_LE(win, 5000u);
  size_t systems = 0;
  for (const SectionRecord& s : media.unix.sections) {
    systems += s.entries.size();
    size_t n = FileRecords(media.unix.binaryInfo.at(s.name));
    EXPECT_GE(n, 3000u) << s.name;
    EXPECT_LE(n, 5000u) << s.name;
  }
  EXPECT_EQ(6u, media.unix.sections.size());
  EXPECT_EQ(13u, systems);
  EXPECT_NE(std::string::npos, winWritten.files.at("WinPackages.xml").find("\r\n"));
  EXPECT_EQ(std::string::npos, unixWritten.files.at("pkg.xml").find('\n'));
  // The same seed gives the same media; another seed other media.
  EXPECT_EQ(winWritten.files, WriteMedia(GenerateMedia().windows, config.root() + "/again").files);
  EXPECT_NE(winWritten.files.at("BinaryInfo.xml"),
            XmlText(BinaryInfoMessage(GenerateMedia(MediaOptions{2}).windows.binaryInfo.at("")), false));
  size_t large = FileRecords(GenerateMedia(LargeMediaOptions()).windows.binaryInfo.at(""));
  EXPECT_GE(large, 27000u);
  EXPECT_LE(large, 33000u);
}

TEST_F(PackageCatalogueTest, LoadsWindowsMediaWithItsBinaryCatalogue) {
  WriteBoth();
  auto c = Catalogue();
  ASSERT_TRUE(c->ReadWinPackageDetails());
  for (const PkgDetailsRecord& d : media.windows.details)
    EXPECT_TRUE(HasPackage(*c, static_cast<unsigned>(d.packageId), static_cast<int>(d.bsId)));
  EXPECT_TRUE(c->isBinarySetSupported(1));
  EXPECT_TRUE(c->isBinarySetSupported(3));
  EXPECT_FALSE(c->isBinarySetSupported(2));
  // The binary catalogue came with it: a file set can be computed from this object alone.
  std::vector<unsigned> ids{media.packages[0]};
  std::vector<UpdatePatches::BinaryV11> files;
  EXPECT_TRUE(c->ComputeKQMediaForRemoteActivity(ids, 3, 0, files, nullptr));
}

TEST_F(PackageCatalogueTest, UnixLoadTakesTheBinaryCatalogueOfTheOperatingSystemFolder) {
  WriteBoth();
  auto c = Catalogue();
  int os = GetOSIdFromName("linux-ppc64");  // its BinaryInfo.xml has CR-LF line ends
  ASSERT_TRUE(c->ReadUnixPackageDetails(os));
  std::vector<unsigned> ids{media.packages[40]};
  std::vector<UpdatePatches::BinaryV11> files;
  ASSERT_TRUE(c->ComputeKQMediaForRemoteActivity(ids, os, 32, files, nullptr));
  EXPECT_EQ("linux-ppc64/", files.front().getstring(kqcat::kBvRelativePath).substr(0, 12));

  // Any Unix system: the package catalogue only, and no proc name.
  auto any = Catalogue();
  ASSERT_TRUE(any->ReadUnixPackageDetails(0));
  EXPECT_TRUE(any->isBinarySetSupported(31));
  files.clear();
  EXPECT_FALSE(any->ComputeKQMediaForRemoteActivity(ids, os, 32, files, nullptr));
  EXPECT_NE(std::string::npos, Log().find("Error: Binary_Info section is not set"));
}

TEST_F(PackageCatalogueTest, FallsBackToThePatchFolderAndThenToBase) {
  media = GenerateMedia();
  // No media location: the Hubnode patch folder's package location of release 11.
  std::string patch = config.root() + "/patch";
  WriteMedia(media.windows, patch + "/KQMedia/11.0.0/Windows");
  ASSERT_TRUE(KQGlobalParam().set("HubnodePatchDirectory", patch + "\\"));
  KQPackageCache fromPatch(cacheRoot(), false, 1, false);
  ASSERT_TRUE(fromPatch.ReadWinPackageDetails());
  EXPECT_TRUE(fromPatch.isBinarySetSupported(3));

  // A media location without a catalogue: <cache>/Base/.
  WriteMedia(media.unix, cacheRoot() + "/Base");
  fs::create_directories(unixRoot());
  auto fromBase = Catalogue();
  ASSERT_TRUE(fromBase->ReadUnixPackageDetails(0));
  EXPECT_TRUE(fromBase->isBinarySetSupported(34));
  EXPECT_NE(std::string::npos, Log().find("does not exists"));

  // Nowhere at all.
  KQPackageCache nowhere(config.root() + "/nocache", false, 1, false);
  nowhere.setDvdLocation(config.root() + "/nomedia", true);
  EXPECT_FALSE(nowhere.ReadWinPackageDetails());
  EXPECT_NE(std::string::npos, Log().find("is not present."));
}

TEST_F(PackageCatalogueTest, ObjectsShareOneParseUntilTheFileChanges) {
  std::string dir = config.root() + "/one";
  std::string path = dir + "/WinPackages.xml";
  std::string a = OnePackageCatalogue(1111), b = OnePackageCatalogue(2222);
  ASSERT_EQ(a.size(), b.size());
  WriteTextFile(path, a);

  KQPackageCache first(false);
  first.setDvdLocation(dir, true);
  ASSERT_TRUE(first.getXMLDetails(path, false, true));
  EXPECT_TRUE(HasPackage(first, 1111, 3));

  // Same size and time: the second object gets the first one's parse, not the new bytes.
  ReplaceKeepingStamp(path, b);
  KQPackageCache second(false);
  ASSERT_TRUE(second.getXMLDetails(path, false, true));
  EXPECT_TRUE(HasPackage(second, 1111, 3));
  EXPECT_FALSE(HasPackage(second, 2222, 3));
  EXPECT_NE(std::string::npos, Log().find("Got existing XML details by ["));

  // Another path that lower-cases alike is the same entry.
  std::string upper = config.root() + "/ONE/WinPackages.xml";
  WriteTextFile(upper, b);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, upper.c_str(), times, 0));
  KQPackageCache third(false);
  ASSERT_TRUE(third.getXMLDetails(upper, false, true));
  EXPECT_TRUE(HasPackage(third, 1111, 3));

  // A changed modification time makes it parse again.
  struct timespec later[2] = {st.st_atim, {st.st_mtim.tv_sec + 5, st.st_mtim.tv_nsec}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), later, 0));
  KQPackageCache fourth(false);
  ASSERT_TRUE(fourth.getXMLDetails(path, false, true));
  EXPECT_TRUE(HasPackage(fourth, 2222, 3));
  EXPECT_FALSE(HasPackage(fourth, 1111, 3));

  // So does a changed size.
  WriteTextFile(path, OnePackageCatalogue(33333));
  KQPackageCache fifth(false);
  ASSERT_TRUE(fifth.getXMLDetails(path, false, true));
  EXPECT_TRUE(HasPackage(fifth, 33333, 3));
  // An object keeps what it loaded.
  EXPECT_TRUE(HasPackage(first, 1111, 3));
}

TEST_F(PackageCatalogueTest, ThreadsLoadAndClearTheSharedCacheTogether) {
  WriteBoth();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 15; ++round) {
        auto c = Catalogue();
        if (t == 0 && round % 3 == 0) c->clearCachedXML(true, true);
        bool ok = (t % 2 ? c->ReadUnixPackageDetails(GetOSIdFromName("aix-ppc")) : c->ReadWinPackageDetails()) &&
                  c->isBinarySetSupported(t % 2 ? 34 : 3);
        if (!ok) ++failures;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
}

TEST_F(PackageCatalogueTest, ClearingTheCacheParsesAgain) {
  std::string path = config.root() + "/c/WinPackages.xml";
  WriteTextFile(path, OnePackageCatalogue(1111));
  KQPackageCache first(false);
  ASSERT_TRUE(first.getXMLDetails(path, false, true));
  ReplaceKeepingStamp(path, OnePackageCatalogue(2222));

  EXPECT_TRUE(first.clearCachedXML(false, false));
  EXPECT_TRUE(first.getUnserializedXMLDetails(ToLowerCase(path.c_str()).c_str(), UA_XML_WIN_PACKAGES));
  EXPECT_TRUE(first.clearCachedXML(false, true));  // the binary map only
  EXPECT_TRUE(first.getUnserializedXMLDetails(ToLowerCase(path.c_str()).c_str(), UA_XML_WIN_PACKAGES));
  EXPECT_TRUE(first.clearCachedXML(true, false));
  EXPECT_FALSE(first.getUnserializedXMLDetails(ToLowerCase(path.c_str()).c_str(), UA_XML_WIN_PACKAGES));

  KQPackageCache second(false);
  ASSERT_TRUE(second.getXMLDetails(path, false, true));
  EXPECT_TRUE(HasPackage(second, 2222, 3));
  EXPECT_NE(std::string::npos, Log().find("Clearing the package XML cache"));
}

TEST_F(PackageCatalogueTest, MalformedCatalogueFailsAndKeepsTheEarlierOne) {
  WriteBoth();
  auto c = Catalogue();
  ASSERT_TRUE(c->ReadWinPackageDetails());
  std::string bad = config.root() + "/bad/WinPackages.xml";
  std::string text = winWritten.files.at("WinPackages.xml");
  WriteTextFile(bad, text.substr(0, text.size() / 2));
  EXPECT_FALSE(c->getXMLDetails(bad, false, true));
  EXPECT_TRUE(HasPackage(*c, static_cast<unsigned>(media.windows.details[0].packageId),
                         static_cast<int>(media.windows.details[0].bsId)));
  // The log quotes the text, cut short.
  std::string log = Log();
  size_t at = log.find("Failed to unserialize string [");
  ASSERT_NE(std::string::npos, at);
  size_t end = log.find('\n', at);
  EXPECT_LT(end - at, 1200u);
  EXPECT_FALSE(c->getUnserializedXMLDetails(ToLowerCase(bad.c_str()).c_str(), UA_XML_WIN_PACKAGES));

  // Another message class, an empty file and a missing file fail the same way.
  WriteTextFile(bad, winWritten.files.at("BinaryInfo.xml"));
  EXPECT_FALSE(c->getXMLDetails(bad, false, true));
  WriteTextFile(bad, "");
  EXPECT_FALSE(c->getXMLDetails(bad, false, true));
  EXPECT_FALSE(c->getXMLDetails(config.root() + "/none.xml", false, true));
  EXPECT_TRUE(c->isBinarySetSupported(3));
}

// A catalogue that only the plain reading takes (a comment inside a value, which our writer never
// makes) loads to the same records as the file without it; a failure quotes the file's text.
TEST_F(PackageCatalogueTest, CataloguesThatOnlyThePlainReadingTakesLoadAlike) {
  WriteBoth();
  const std::string text = winWritten.files.at("BinaryInfo.xml");
  const size_t end = text.find("</s>", text.find("id=\"25\""));  // a file's first value
  ASSERT_NE(std::string::npos, end);
  auto files = [&] {
    auto c = Catalogue();
    std::vector<UpdatePatches::BinaryV11> out;
    std::vector<unsigned> ids = media.packages;
    EXPECT_TRUE(c->ReadWinPackageDetails());
    EXPECT_TRUE(c->ComputeKQMediaForRemoteActivity(ids, 3, 0, out, nullptr));
    return out;
  };
  const std::vector<UpdatePatches::BinaryV11> usual = files();
  EXPECT_FALSE(usual.empty());
  WriteTextFile(winRoot() + "/BinaryInfo.xml", text.substr(0, end) + "<!--c--> " + text.substr(end));
  EXPECT_EQ(usual, files());

  const std::string bad = text.substr(0, end) + "<!--c-->";
  WriteTextFile(config.root() + "/bad/BinaryInfo.xml", bad);
  KQPackageCache c(false);
  EXPECT_FALSE(c.getXMLDetails(config.root() + "/bad/", true, true));
  EXPECT_NE(std::string::npos,
            Log().find("Failed to unserialize string [" + bad.substr(0, kMaxLoggedCatalogueText) + "]"));
}

TEST_F(PackageCatalogueTest, OversizedCatalogueIsRefusedUnread) {
  std::string path = config.root() + "/big/WinPackages.xml";
  WriteTextFile(path, OnePackageCatalogue(1));
  // Sparse: takes no room, and a 32-bit size would read as 1 byte.
  ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>((4ull << 30) + 1)));
  KQPackageCache c(false);
  EXPECT_FALSE(c.getXMLDetails(path, false, true));
  EXPECT_NE(std::string::npos, Log().find("Failed to read file [" + path + "] with error ["));
}

TEST_F(PackageCatalogueTest, UnknownOperatingSystemGivesNoProcName) {
  WriteBoth();
  auto c = Catalogue();
  // Package catalogue found; the binary catalogue is looked for at the media root, not under a
  // folder named from nothing.
  EXPECT_FALSE(c->ReadUnixPackageDetails(40));
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("No operating-system name for OS id [40]"));
  EXPECT_NE(std::string::npos, log.find("File [" + unixRoot() + "/BinaryInfo.xml] is not present."));
}

TEST_F(PackageCatalogueTest, ProcNameThatIsNotAFolderNameIsRefused) {
  WriteBoth();
  auto c = Catalogue();
  WriteTextFile(config.root() + "/media/evil/BinaryInfo.xml", unixWritten.files.at("aix-ppc/BinaryInfo.xml"));
  c->setProcName("../evil");
  EXPECT_FALSE(c->getXMLDetails(unixRoot() + "/", true, false));
  c->setProcName("aix-ppc");
  EXPECT_TRUE(c->getXMLDetails(unixRoot() + "/", true, false));
}

TEST_F(PackageCatalogueTest, TempFolder) {
  KQPackageCache c(config.root(), false, 1, true);
  char small[4];
  EXPECT_FALSE(c.getTempFolder(small, sizeof small));
  char buf[16];
  EXPECT_TRUE(c.getTempFolder(buf, sizeof buf));
  EXPECT_STREQ("/tmp", buf);
  EXPECT_TRUE(c.SetTempPath(std::string(kPackageCacheTempFolderSize - 1, 'a')));
  EXPECT_FALSE(c.SetTempPath(std::string(kPackageCacheTempFolderSize, 'b')));
  EXPECT_TRUE(c.SetTempPath("/var/tmp/x"));
  c.setDvdLocation("/w", true);
  c.setDvdLocation("/u", false);
  EXPECT_STREQ("/w", c.getDvdLocation(true));
  EXPECT_STREQ("/u", c.getDvdLocation(false));
  c.init(true);
  EXPECT_STREQ("/w", c.getDvdLocation(true));  // media locations survive init
  EXPECT_EQ("", c.getErrMsg());
}

// ---- Binary-set and platform queries ----

TEST_F(PackageCatalogueTest, BinarySetOfAUnixOperatingSystem) {
  WriteBoth();
  auto c = Catalogue();
  for (const SectionRecord& s : media.unix.sections) {
    for (const auto& [name, bs] : s.entries) {
      std::string upper = name;
      std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
      std::string section;
      EXPECT_EQ(bs, c->getBSInfoFromUnixOSName(upper, section)) << name;
      EXPECT_EQ(s.name, section);
    }
  }
  EXPECT_EQ(0, c->getBSIdFromUnixOSName("plan9"));
  auto none = std::make_unique<KQPackageCache>(config.root() + "/nocache", false, 1, true);
  none->setDvdLocation(config.root() + "/nomedia", false);
  EXPECT_EQ(-1, none->getBSIdFromUnixOSName("linux"));
}

TEST_F(PackageCatalogueTest, FoundOperatingSystemSetsTheProcName) {
  WriteBoth();
  auto c = Catalogue();
  EXPECT_EQ(32, c->getBSIdFromUnixOSName("Linux-PPC64-LE"));
  ASSERT_TRUE(c->getXMLDetails(unixRoot() + "/", true, false));
  std::vector<unsigned> ids{media.packages[9]};
  std::vector<UpdatePatches::BinaryV11> files;
  ASSERT_TRUE(c->ComputeKQMediaForRemoteActivity(ids, GetOSIdFromName("linux-ppc64"), 32, files, nullptr));
  EXPECT_EQ("linux-ppc64/", files.front().getstring(kqcat::kBvRelativePath).substr(0, 12));
}

TEST_F(PackageCatalogueTest, NamesUnderBinarySets) {
  WriteBoth();
  auto c = Catalogue();
  std::vector<int> valid;
  EXPECT_TRUE(c->getValidBSIDLst({31, 36, 99}, valid));
  EXPECT_TRUE(valid.empty());  // nothing loaded yet

  std::vector<std::string> names{"kept"};
  ASSERT_TRUE(c->getOSNamesUnderBSIDLst({36, 32, 99}, names, false));
  EXPECT_EQ((std::vector<std::string>{"kept", "linux-ppc64", "hp-ia64"}), names);
  names.clear();
  ASSERT_TRUE(c->getBSNamesUnderBSIDLst({31, 34}, names));
  EXPECT_EQ((std::vector<std::string>{"linux-x8664", "linux", "linux-x86", "aix-ppc", "aix-ppc-32"}), names);
  EXPECT_TRUE(c->getValidBSIDLst({31, 36, 99}, valid));
  EXPECT_EQ((std::vector<int>{31, 36}), valid);

  auto none = std::make_unique<KQPackageCache>(config.root() + "/nocache", false, 1, true);
  none->setDvdLocation(config.root() + "/nomedia", false);
  EXPECT_FALSE(none->getOSNamesUnderBSIDLst({31}, names, true));
  EXPECT_FALSE(none->getBSNamesUnderBSIDLst({31}, names));
}

TEST_F(PackageCatalogueTest, SectionNamesThatAreNotFolderNamesAreNeverFolders) {
  media = GenerateMedia();
  media.unix.sections[1].name = "../../etc";
  media.unix.sections[2].name = "a/b";
  WriteMedia(media.unix, unixRoot());
  auto c = Catalogue();
  std::vector<std::string> names;
  ASSERT_TRUE(c->getOSNamesUnderBSIDLst({31, 32, 33}, names, false));
  EXPECT_EQ((std::vector<std::string>{"linux-x8664"}), names);
  // The binary set of an entry is still found; only the name is never taken as a folder.
  const auto& [osName, expected] = media.unix.sections[1].entries.front();
  ASSERT_NE(0, expected);
  std::string section = "untouched";
  EXPECT_EQ(31, c->getBSInfoFromUnixOSName("linux", section));
  EXPECT_EQ("linux-x8664", section);
  EXPECT_EQ(expected, c->getBSInfoFromUnixOSName(osName, section));
  EXPECT_EQ("../../etc", section);
  EXPECT_NE(std::string::npos, Log().find("Section [../../etc] is not a folder name, not using it"));
}

TEST_F(PackageCatalogueTest, PackagesNotApplicableToABinarySet) {
  WriteBoth();
  auto c = Catalogue();
  ASSERT_TRUE(c->ReadWinPackageDetails());
  std::vector<unsigned long> ids, none;
  std::vector<unsigned long> expected;
  for (unsigned id : media.packages) {
    ids.push_back(id);
    if (!OracleDirect(media.windows, id, 1)) expected.push_back(id);
  }
  ids.push_back(ids.front());  // repetitions are kept
  if (!OracleDirect(media.windows, media.packages.front(), 1)) expected.push_back(ids.front());
  ASSERT_FALSE(expected.empty());
  std::vector<unsigned long> got{5};
  EXPECT_TRUE(c->RemovePackagesNotApplicableToPlatform(ids, got, 1));
  expected.insert(expected.begin(), 5);
  EXPECT_EQ(expected, got);
  got.clear();
  EXPECT_TRUE(c->RemovePackagesNotApplicableToPlatform(none, got, 1));
  EXPECT_TRUE(got.empty());
  // Without a catalogue every id is not applicable.
  KQPackageCache empty(false);
  EXPECT_TRUE(empty.RemovePackagesNotApplicableToPlatform({7, 8}, got, 3));
  EXPECT_EQ((std::vector<unsigned long>{7, 8}), got);
  EXPECT_FALSE(empty.isBinarySetSupported(3));
}

}  // namespace
}  // namespace kqtest
