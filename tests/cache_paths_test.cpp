// Cache path builders on a Hubnode whose release table holds 16 "11.0.0",
// 15 "10.0.0" and 14 "9.0.0".
#include "CachePaths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KqCriticalSection.h"
#include "Vocabulary.h"

namespace {

class CachePaths : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetOSTypesInfo();
    SetUpdateTypesInfo();
    KqCriticalSectionLock lock(getHNReleaseInfoHN());
    ReleasesSupported[0] = {"11.0.0", 16};
    ReleasesSupported[1] = {"10.0.0", 15};
    ReleasesSupported[2] = {"9.0.0", 14};
  }
};

TEST_F(CachePaths, PackageLocation) {
  std::string path = "ignored";
  EXPECT_STREQ(GetPackageLocation(path, 0, PUSH_UPD_OS_WINDOWS, "/cache", false, nullptr),
               "/cache/KQMedia/11.0.0/Windows");
  GetPackageLocation(path, 0, PUSH_UPD_OS_WINDOWS, "/cache", true, "BinaryPayload");
  EXPECT_EQ(path, "/cache/KQMedia-Staging/11.0.0/BinaryPayload/Windows");
  path = "/root";
  GetPackageLocation(path, 16, PUSH_UPD_OS_UNIX, nullptr, false, nullptr);
  EXPECT_EQ(path, "/root/KQMedia/11.0.0/Unix");
  path.clear();
  GetPackageLocation(path, "10.0.0", static_cast<PushUpdOSType>(7), nullptr, false, nullptr);
  EXPECT_EQ(path, "/KQMedia/10.0.0");
  path.clear();
  GetSeedDir(path, 15, true);
  EXPECT_EQ(path, "/KQMedia/10.0.0/Unix");
  EXPECT_EQ(GetCacheReleaseFolder(14), "/KQMedia/9.0.0");
}

TEST_F(CachePaths, PackageLocationIntoABufferIsBounded) {
  const char* expected = "/c/KQMedia/11.0.0/Unix";
  char exact[23];  // the text and its terminator
  EXPECT_EQ(GetPackageLocation(exact, sizeof(exact), 0, "11.0.0", PUSH_UPD_OS_UNIX, "/c", false,
                               nullptr),
            exact);
  EXPECT_STREQ(exact, expected);

  // One byte short: nothing is written past the buffer, and no cut path (which
  // could name a parent folder) comes back.
  char buffer[32];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetPackageLocation(buffer, 22, 0, "11.0.0", PUSH_UPD_OS_UNIX, "/c", false, nullptr),
            nullptr);
  EXPECT_EQ(buffer[0], '\0');
  for (size_t i = 22; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], 'x');
  EXPECT_EQ(GetPackageLocation(nullptr, 10, 0, "11.0.0", PUSH_UPD_OS_UNIX, "/c", false, nullptr),
            nullptr);

  // The unsized form assumes 4096 bytes and always hands back its buffer.
  std::vector<char> page(kPackageLocationBufferSize + 16, 'x');
  EXPECT_EQ(GetPackageLocation(page.data(), 0, "11.0.0", PUSH_UPD_OS_UNIX, "/c", false, nullptr),
            page.data());
  EXPECT_STREQ(page.data(), expected);
  const std::string fits(kPackageLocationBufferSize - 1 - std::strlen("/KQMedia/11.0.0/Unix"), 'b');
  EXPECT_EQ(GetPackageLocation(page.data(), 0, "11.0.0", PUSH_UPD_OS_UNIX, fits.c_str(), false,
                               nullptr),
            page.data());
  EXPECT_EQ(std::strlen(page.data()), kPackageLocationBufferSize - 1);
  const std::string tooLong = fits + "b";
  EXPECT_EQ(GetPackageLocation(page.data(), 0, "11.0.0", PUSH_UPD_OS_UNIX, tooLong.c_str(), false,
                               nullptr),
            page.data());
  EXPECT_STREQ(page.data(), "");
  EXPECT_EQ(page[kPackageLocationBufferSize], 'x');
}

TEST_F(CachePaths, LooseUpdateFolders) {
  EXPECT_EQ(GetLooseUpdateFolder(15, 16, false, false), "Updates");
  EXPECT_EQ(GetLooseUpdateFolder(16, 16, false, false), "/KQMedia/11.0.0/Unix/linux-x8664/LooseUpdates");
  EXPECT_EQ(GetLooseUpdateFolder(16, 1, true, false),
            "/KQMedia-Staging/11.0.0/Windows/BinaryPayload32/LooseUpdates");
  EXPECT_EQ(GetLooseUpdateFolder(16, 3, false, true), "/KQMedia/11.0.0/Windows");
  EXPECT_EQ(GetLooseUpdateFolder(16, 16, false, true), "/KQMedia/11.0.0/Unix/linux-x8664");
  EXPECT_EQ(GetLooseUpdateFolderNew(16, false), "/linux-x8664/LooseUpdates");
  EXPECT_EQ(GetLooseUpdateFolderNew(16, true), "/linux-x8664");
  EXPECT_EQ(GetLooseUpdateFolderNew(1, false), "/BinaryPayload32/LooseUpdates");
  EXPECT_EQ(GetLooseUpdateFolderNew(3, true), "/");
  // An OS id outside the table adds no component at all.
  EXPECT_EQ(GetLooseUpdateFolder(16, 40, false, false), "");
  EXPECT_EQ(GetLooseUpdateFolderNew(40, false), "");
}

TEST_F(CachePaths, UpdateTree) {
  std::string path;
  EXPECT_TRUE(FindPathForOS(15, 16, 1, path));
  EXPECT_EQ(path, "/KQUpdates/10.0.0/Unix/Updates/linux-x8664");
  path.clear();
  EXPECT_TRUE(FindPathForOS(15, 16, 0, path));
  EXPECT_EQ(path, "/KQUpdates/10.0.0/Unix/ServicePacks");
  path.clear();
  EXPECT_TRUE(FindPathForOS(15, 3, 1, path));
  EXPECT_EQ(path, "/KQUpdates/10.0.0/WinX64/Updates");
  path = "/c";
  EXPECT_TRUE(FindNewPathForOS(15, 16, 1, path));
  EXPECT_EQ(path, "/c/KQUpdates/10.0.0/linux-x8664/Updates");

  path = "/old";
  EXPECT_TRUE(FindPathForMainOS(15, 9, path));
  EXPECT_EQ(path, "/KQUpdates/10.0.0/Unix");
  EXPECT_TRUE(FindNewPathForMainOS(15, 9, path));
  EXPECT_EQ(path, "/KQUpdates/10.0.0/linux");

  path.clear();
  EXPECT_TRUE(FindInstallUpdPathForOS(15, 16, path));
  EXPECT_EQ(path, "/KQUpdates/10.0.0/linux-x8664");
  path.clear();
  EXPECT_TRUE(FindInstallUpdPathForOS(16, 16, path));
  EXPECT_EQ(path, "/KQMedia/11.0.0/Unix/linux-x8664/LooseUpdates");

  path = "/sp";
  EXPECT_TRUE(FindNewSPPathForOS(16, _SPVersion(12, 'a'), path));
  EXPECT_EQ(path, "/sp/SP12a");
  path.clear();
  EXPECT_TRUE(FindSPPathForOS(16, _SPVersion(20), path));
  EXPECT_EQ(path, "/SP20/Updates/linux-x8664");
  path.clear();
  EXPECT_TRUE(FindSPPathForOS(3, _SPVersion(20), path));
  EXPECT_EQ(path, "/SP20/Updates");
}

TEST_F(CachePaths, UpdateTreeRefusals) {
  const std::string before = "/keep";
  for (int os : {0, 5, 35, 40, -1}) {
    SCOPED_TRACE(os);
    std::string path = before;
    EXPECT_FALSE(FindPathForMainOS(15, os, path));
    EXPECT_FALSE(FindNewPathForMainOS(15, os, path));
    EXPECT_FALSE(FindNewPathForOS(15, os, 1, path));
    EXPECT_FALSE(FindPathForOS(15, os, 1, path));
    EXPECT_FALSE(FindInstallUpdPathForOS(16, os, path));
    EXPECT_FALSE(FindNewSPPathForOS(os, _SPVersion(1), path));
    EXPECT_FALSE(FindSPPathForOS(os, _SPVersion(1), path));
    EXPECT_EQ(path, before);
  }
  // An update type without a row has no folder name.
  std::string path = before;
  EXPECT_FALSE(FindPathForOS(15, 16, 2, path));
  EXPECT_FALSE(FindNewPathForOS(15, 16, -1, path));
  EXPECT_EQ(path, before);
}

TEST_F(CachePaths, PackageFolders) {
  std::string path;
  FindPkgPathForOS(path, 3, 16);
  EXPECT_EQ(path, "/KQMedia/11.0.0/Unix");  // every id but 1 gets the Unix family
  path.clear();
  EXPECT_TRUE(FindPkgPath(0, 3, path, true, true));
  EXPECT_EQ(path, "/KQMedia/11.0.0/Windows/WinX64/");
  path.clear();
  EXPECT_TRUE(FindPkgPath(16, 16, path, true, true));
  EXPECT_EQ(path, "/KQMedia/11.0.0/Unix");
  path.clear();
  FindMiscPkgPath(path, 4);
  EXPECT_EQ(path, "/AdditionalPackages//");
  path.clear();
  FindMiscPkgPath(path, 16);
  EXPECT_EQ(path, "/AdditionalPackages/Unix");
  EXPECT_EQ(GetBinaryPayloadNameForOS(1), "BinaryPayload32");
  EXPECT_EQ(GetBinaryPayloadNameForOS(3), "BinaryPayload");
  EXPECT_EQ(GetBinaryPayloadNameForOS(2), "Windows64");
  EXPECT_EQ(GetBinaryPayloadNameForOS(16), "linux-x8664");
  EXPECT_EQ(GetBinaryPayloadNameForOS(40), "");
}

TEST_F(CachePaths, OldStyleNamesAndPathReaders) {
  EXPECT_FALSE(Use900DirNames("7.0.0"));
  EXPECT_FALSE(Use900DirNames("/x/8.0.0/y"));
  EXPECT_FALSE(Use900DirNames("/x/8.0.0"));
  EXPECT_TRUE(Use900DirNames("9.0.0"));
  EXPECT_TRUE(Use900DirNames("7.0.01"));
  EXPECT_TRUE(Use900DirNames("x//7.0.0"));
  EXPECT_TRUE(Use900DirNames("x/"));  // a final '/' is not read past
  EXPECT_TRUE(Use900DirNames(nullptr));
  EXPECT_EQ(GetWin32Prefix(nullptr), "Win32");
  EXPECT_EQ(GetWin32Prefix("8.0.0"), "win");
  EXPECT_EQ(GetWinIA64Prefix("11.0.0", false), "WinIA64");
  EXPECT_EQ(GetWinIA64Prefix("7.0.0", true), "win64");
  EXPECT_EQ(GetWinX64Prefix("/c/7.0.0", false), "winx64");
  EXPECT_EQ(ExtractUnixFlavor("/c/KQMedia/11.0.0/Unix/aix-ppc/LooseUpdates"), "aix-ppc");
  EXPECT_EQ(ExtractUnixFlavor("/c/KQMedia/11.0.0/Unix/aix-ppc"), "aix-ppc");
  EXPECT_EQ(ExtractUnixFlavor("/c/Unix/"), "nounix");
  EXPECT_EQ(ExtractUnixFlavor("/c/unix/aix"), "nounix");
  EXPECT_EQ(ExtractUnixFlavor(nullptr), "nounix");
}

}  // namespace
