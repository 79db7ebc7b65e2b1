// The media file set of a package list, against the generator's model of the media it wrote.
#include <algorithm>
#include <filesystem>

#include "MediaTestEnv.h"

namespace kqtest {
namespace {

class PackageMediaTest : public MediaTest {
 protected:
  // Runs ComputeKQMedia and compares its result, files and completed list with the oracle.
  void ExpectMedia(const std::string& mediaRoot, const CatalogueModel& model, const WrittenMedia& w,
                   MediaQuery q, bool mediaIsRoot = false) {
    SCOPED_TRACE("os " + std::to_string(q.osId) + " bs " + std::to_string(q.bsId));
    if (q.osId > 4) q.procName = GetOSNameFromId(q.osId);
    q.rootChecks = mediaIsRoot;
    MediaExpectation want = OracleMedia(model, w, q);
    ASSERT_TRUE(want.ok) << "every query here has a media file set";
    ASSERT_GT(want.files.size(), 3u);
    std::vector<unsigned> ids = q.pkgIds;
    std::vector<UpdatePatches::BinaryV11> files;
    bool ok = ComputeKQMedia(mediaRoot, q.osId, q.bsId, 42, ids, files, mediaIsRoot);
    ASSERT_TRUE(ok);
    EXPECT_EQ(want.pkgIds, ids);
    EXPECT_EQ(want.files, AsExpected(files));
  }
  static std::vector<unsigned> Some(const GeneratedMedia& g) {
    return {g.packages[250], g.packages[120], g.duplicateDependent, g.oemUser, g.skipped.at(0),
            g.packages[3]};
  }
};

TEST_F(PackageMediaTest, WindowsBinarySetsMatchTheModel) {
  WriteBoth();
  for (int os : kWindowsBinarySets) {
    ExpectMedia(winRoot(), media.windows, winWritten, MediaQuery({}, os, 0));
    ExpectMedia(winRoot(), media.windows, winWritten, MediaQuery(Some(media), os, 0));
  }
  // The files of a package list are a subset of the whole set, and the dependencies come back.
  unsigned top = 0;
  for (const PkgDetailsRecord& d : media.windows.details)
    if (d.bsId == 3 && d.dependencies.size() >= 3) top = static_cast<unsigned>(d.packageId);
  ASSERT_NE(0u, top);
  std::vector<unsigned> ids{top}, all;
  std::vector<UpdatePatches::BinaryV11> files, allFiles;
  ASSERT_TRUE(ComputeKQMedia(winRoot(), 3, 0, 1, ids, files, false));
  ASSERT_TRUE(ComputeKQMedia(winRoot(), 3, 0, 1, all, allFiles, false));
  EXPECT_GT(ids.size(), 3u);
  EXPECT_EQ(top, ids.front());
  EXPECT_LT(files.size(), allFiles.size());
  // The same paths (a file that several packages ship may come from another package).
  std::set<std::string> every;
  for (const ExpectedFile& f : AsExpected(allFiles)) every.insert(f.relativePath);
  for (const ExpectedFile& f : AsExpected(files)) EXPECT_TRUE(every.count(f.relativePath)) << f.relativePath;
}

TEST_F(PackageMediaTest, UnixSectionsMatchTheModel) {
  WriteBoth();
  for (const UnixSectionShape& s : UnixSectionShapes()) {
    int os = GetOSIdFromName(s.folder);
    ASSERT_GT(os, 4);
    if (s.bsId != kLoopBinarySet) ExpectMedia(unixRoot(), media.unix, unixWritten, MediaQuery({}, os, s.bsId));
    ExpectMedia(unixRoot(), media.unix, unixWritten, MediaQuery(Some(media), os, s.bsId));
  }
}

TEST_F(PackageMediaTest, UnixFileSetEndsWithTheRootFilesUnprefixed) {
  WriteBoth();
  std::vector<unsigned> ids{media.packages[10]};
  std::vector<UpdatePatches::BinaryV11> files;
  int os = GetOSIdFromName("linux-x8664");
  ASSERT_TRUE(ComputeKQMedia(unixRoot(), os, 31, 1, ids, files, false));
  std::vector<ExpectedFile> got = AsExpected(files);
  ASSERT_GE(got.size(), 8u);
  std::vector<std::string> tail;
  for (size_t i = got.size() - 7; i < got.size(); ++i) tail.push_back(got[i].relativePath);
  EXPECT_EQ((std::vector<std::string>{"pkg.xml.description", "pkg.xml", "install.sh", "README.txt",
                                      "cvpkgadd", "detect", "OEMInfo.xml"}),
            tail);
  EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const ExpectedFile& f) {
    return f.relativePath == "linux-x8664/BinaryInfo.xml" && f.name == "linux-x8664/BinaryInfo.xml";
  }));
}

TEST_F(PackageMediaTest, LoopsFailOnlyWhenReached) {
  WriteBoth();
  int os = GetOSIdFromName("hp-ia64");
  for (unsigned loop : {media.selfLoop, media.cycleA}) {
    std::vector<unsigned> ids{media.packages[5], loop};
    std::vector<UpdatePatches::BinaryV11> files;
    EXPECT_FALSE(ComputeKQMedia(unixRoot(), os, kLoopBinarySet, 1, ids, files, false));
    EXPECT_TRUE(files.empty());
  }
  // The whole binary set holds the loops; every other binary set of the medium is clean.
  std::vector<unsigned> all;
  std::vector<UpdatePatches::BinaryV11> files;
  EXPECT_FALSE(ComputeKQMedia(unixRoot(), os, kLoopBinarySet, 1, all, files, false));
  EXPECT_NE(std::string::npos, Log().find("Error in calculating the dependecies for all packages list."));
}

TEST_F(PackageMediaTest, UnixBinarySetZeroCountsEveryBinarySet) {
  WriteBoth();
  // Only the loop-free part: a list whose closure is clean in every binary set.
  ExpectMedia(unixRoot(), media.unix, unixWritten,
              MediaQuery({media.packages[200], media.packages[30]}, GetOSIdFromName("aix-ppc"), 0));
}

TEST_F(PackageMediaTest, OemFilesFollowTheConfiguredOem) {
  WriteBoth();
  config.set("", "nCurrentOEMId", "5");
  MediaQuery q({media.oemUser}, 3, 0);
  q.oemId = "5";
  ExpectMedia(winRoot(), media.windows, winWritten, q);

  std::vector<unsigned> ids{media.oemUser};
  std::vector<UpdatePatches::BinaryV11> files;
  ASSERT_TRUE(ComputeKQMedia(winRoot(), 3, 0, 1, ids, files, false));
  std::vector<std::string> paths;
  for (const ExpectedFile& f : AsExpected(files)) paths.push_back(f.relativePath);
  auto has = [&](const char* p) { return std::find(paths.begin(), paths.end(), p) != paths.end(); };
  EXPECT_TRUE(has("ThirdParty\\OEM\\5\\logo.bmp"));
  EXPECT_TRUE(has("ThirdParty\\OEM\\1\\logo.bmp"));
  EXPECT_TRUE(has("ThirdParty\\OEM\\5\\brand\\branding.dll"));
  EXPECT_TRUE(has("ThirdParty\\Common\\oem.txt"));
  EXPECT_FALSE(has("ThirdParty\\OEM\\7\\logo.bmp"));
}

TEST_F(PackageMediaTest, WithoutAnOemEveryOemFileIsKept) {
  WriteBoth();
  ExpectMedia(winRoot(), media.windows, winWritten, MediaQuery({media.oemUser}, 1, 0));
}

TEST_F(PackageMediaTest, RootedAtMediaKeepsOemFilesPresentThere) {
  media = GenerateMedia();
  media.windows.payload["ThirdParty/OEM/7/logo.bmp"] = "seven";
  winWritten = WriteMedia(media.windows, winRoot());
  config.set("", "nCurrentOEMId", "5");
  MediaQuery q({media.oemUser}, 3, 0);
  q.oemId = "5";
  ExpectMedia(winRoot(), media.windows, winWritten, q, true);
}

TEST_F(PackageMediaTest, RootedAtUnixMediaLooksInTheOperatingSystemFolder) {
  media = GenerateMedia();
  // Present below the OS folder only; the same path straight under the media root is a decoy.
  media.unix.payload["linux-x8664/ThirdParty/OEM/7/logo.bmp"] = "seven";
  media.unix.payload["ThirdParty/OEM/5/logo.bmp"] = "misplaced";
  unixWritten = WriteMedia(media.unix, unixRoot());
  config.set("", "nCurrentOEMId", "5");
  const int os = GetOSIdFromName("linux-x8664");
  MediaQuery q({media.oemUser}, os, 0);
  q.oemId = "5";
  ExpectMedia(unixRoot(), media.unix, unixWritten, q, true);

  std::vector<unsigned> ids{media.oemUser};
  std::vector<UpdatePatches::BinaryV11> files;
  ASSERT_TRUE(ComputeKQMedia(unixRoot(), os, 0, 1, ids, files, true));
  std::set<std::string> paths;
  for (const ExpectedFile& f : AsExpected(files)) paths.insert(f.relativePath);
  EXPECT_TRUE(paths.count("linux-x8664/ThirdParty\\OEM\\7\\logo.bmp"));
  EXPECT_FALSE(paths.count("linux-x8664/ThirdParty\\OEM\\5\\logo.bmp"));
}

TEST_F(PackageMediaTest, IgnoringSkipDownloadTakesSkippedPackagesIn) {
  WriteBoth();
  config.set("", "nPlatformType", "1");
  config.set("UpdateFlags", "nIgnoreSkipDownload", "1");
  MediaQuery q({}, 3, 0);
  q.filtering = false;
  ExpectMedia(winRoot(), media.windows, winWritten, q);
  // Without the platform bit the value does not count.
  config.set("", "nPlatformType", "2");
  ExpectMedia(winRoot(), media.windows, winWritten, MediaQuery({media.skipped.at(0), media.packages[7]}, 3, 0));
}

TEST_F(PackageMediaTest, MssqlAndPathlessRecordsNeverLeave) {
  WriteBoth();
  std::vector<unsigned> ids;
  std::vector<UpdatePatches::BinaryV11> files;
  ASSERT_TRUE(ComputeKQMedia(winRoot(), 3, 0, 1, ids, files, false));
  bool sawTp6000 = false;
  for (const ExpectedFile& f : AsExpected(files)) {
    EXPECT_EQ(std::string::npos, f.relativePath.find("MSSQL"));
    EXPECT_FALSE(f.relativePath.empty());
    EXPECT_NE("orphan.dat", f.name);
    sawTp6000 = sawTp6000 || f.relativePath.find("TP6000") != std::string::npos;
  }
  EXPECT_TRUE(sawTp6000 || std::none_of(media.windows.details.begin(), media.windows.details.end(),
                                        [](const PkgDetailsRecord& d) {
                                          return std::count(d.thirdPartyDependencies.begin(),
                                                            d.thirdPartyDependencies.end(), 6000);
                                        }));
  EXPECT_NE(std::string::npos, Log().find("Skipping binary info entries which has no source patch set"));
}

TEST_F(PackageMediaTest, RecordsLeavingTheMediaAreDropped) {
  media = GenerateMedia();
  unsigned victim = media.packages[0];
  for (BinarySetRecord& set : media.windows.binaryInfo[""]) {
    for (PackageFiles& p : set.packages) {
      if (p.id != victim) continue;
      p.files.push_back(MediaFileRecord{"1", "passwd", "..\\..\\etc\\passwd", true});
      p.files.push_back(MediaFileRecord{"2", "abs", "\\etc\\shadow", true});
      p.files.push_back(MediaFileRecord{"3", "abs2", "/etc/hosts", true});
      p.files.push_back(MediaFileRecord{"4", "mid", "BinaryPayload\\a\\..\\..\\x", true});
    }
  }
  media.unix.rootFiles.push_back(RootFileRecord{"../../escape.sh", "9", 2});
  winWritten = WriteMedia(media.windows, winRoot());
  unixWritten = WriteMedia(media.unix, unixRoot());
  ExpectMedia(winRoot(), media.windows, winWritten, MediaQuery({victim}, 3, 0));
  ExpectMedia(unixRoot(), media.unix, unixWritten, MediaQuery(Some(media), GetOSIdFromName("sol-sparc"), 35));
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("leaves the media"));
  EXPECT_EQ(std::string::npos, log.find("escape.sh\" ")) << "root file listed";
}

TEST_F(PackageMediaTest, MissingDescriptionFileFails) {
  WriteBoth();
  std::filesystem::remove(winRoot() + "/BinaryInfo.xml.description");
  std::vector<unsigned> ids{media.packages[0]};
  std::vector<UpdatePatches::BinaryV11> files;
  EXPECT_FALSE(ComputeKQMedia(winRoot(), 3, 0, 1, ids, files, false));
  EXPECT_NE(std::string::npos, Log().find("Failed to read description file ["));
}

TEST_F(PackageMediaTest, UnknownOperatingSystemFailsCleanly) {
  WriteBoth();
  std::vector<unsigned> ids{media.packages[0]};
  std::vector<UpdatePatches::BinaryV11> files;
  EXPECT_FALSE(ComputeKQMedia(unixRoot(), 40, 31, 1, ids, files, false));
  EXPECT_TRUE(files.empty());
  EXPECT_NE(std::string::npos, Log().find("No operating-system name for OS id [40]"));
}

TEST_F(PackageMediaTest, EmptySelectionAndMissingBinarySectionFail) {
  WriteBoth();
  // A binary set the medium does not have selects no file.
  std::vector<unsigned> ids{media.packages[0]};
  std::vector<UpdatePatches::BinaryV11> files;
  auto cache = Catalogue();
  ASSERT_TRUE(cache->ReadWinPackageDetails());
  EXPECT_FALSE(cache->ComputeKQMediaForRemoteActivity(ids, 2, 0, files, nullptr));
  EXPECT_NE(std::string::npos, Log().find("Error: No files retrieved from BinaryInfo.xml file"));
  // Package catalogue only: no binary section.
  auto unixOnly = Catalogue();
  ASSERT_TRUE(unixOnly->ReadUnixPackageDetails(0));
  EXPECT_FALSE(unixOnly->ComputeKQMediaForRemoteActivity(ids, 16, 31, files, nullptr));
  EXPECT_NE(std::string::npos, Log().find("Error: Binary_Info section is not set"));
}

TEST(BinaryV11Order, ComparesRelativePathsBytewise) {
  UpdatePatches::BinaryV11 a, b;
  a.setstring(kqcat::kBvRelativePath, "A\\b");
  b.setstring(kqcat::kBvRelativePath, "a\\b");
  EXPECT_TRUE(isBinaryV11LessThan(a, b));
  EXPECT_FALSE(isBinaryV11LessThan(b, a));
  b.setstring(kqcat::kBvRelativePath, std::string("A\\b") + char(0xE4));
  EXPECT_TRUE(isBinaryV11LessThan(a, b));
  EXPECT_FALSE(isBinaryV11LessThan(a, a));
}

}  // namespace
}  // namespace kqtest
