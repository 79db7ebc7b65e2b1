// The vocabulary tables: operating systems, update types, the client's
// release filler, the release lookups and the package-id tests.
#include "Vocabulary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KqCriticalSection.h"
#include "KqTestEnv.h"

namespace {

class OSTable : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SetOSTypesInfo(); }
};

TEST_F(OSTable, RowsAndOldStyleNames) {
  EXPECT_EQ(GetOSIdFromName("Windows"), 1);
  EXPECT_EQ(GetOSIdFromName("windows"), -1);  // case matters
  EXPECT_EQ(GetOSIdFromName("linux-arm64"), 34);
  EXPECT_STREQ(GetOSNameFromId(16), "linux-x8664");
  EXPECT_EQ(GetOSNameFromId(35), nullptr);
  EXPECT_EQ(GetOSNameFromId(-1), nullptr);
  EXPECT_EQ(OSTypesInfo[2].name, "Windows64");
  EXPECT_EQ(sFolders900[2], "WinIA64");
  EXPECT_EQ(sPrefixes900[4], "nw");
  EXPECT_EQ(sFolders900[34], "");
  EXPECT_EQ(sPrefixes900[0], "");
  int flagged = 0;
  for (int i = 0; i < KQ_NUM_OS_TYPES; ++i) {
    EXPECT_EQ(OSTypesInfo[i].id, i);
    flagged += OSTypesInfo[i].isNewOS;
  }
  EXPECT_EQ(flagged, 15);
}

TEST_F(OSTable, NameSearches) {
  EXPECT_EQ(GetOsIdFromBSName("linux-x8664-glibc"), 9);  // "linux" comes first
  EXPECT_EQ(GetOsIdFromBSName("Windows64 build"), 1);
  EXPECT_EQ(GetOsIdFromBSName("Unknown"), -1);  // row 0 is never matched
  EXPECT_TRUE(isOSShortNameInList("win"));
  EXPECT_TRUE(isOSShortNameInList("Win32"));
  EXPECT_TRUE(isOSShortNameInList("linux-arm64"));
  EXPECT_FALSE(isOSShortNameInList("unix"));
  EXPECT_FALSE(isOSShortNameInList("Unix"));
  EXPECT_FALSE(isOSShortNameInList("Unknown"));
  EXPECT_FALSE(isOSShortNameInList(""));  // rows without a prefix do not match empty
  EXPECT_FALSE(isOSShortNameInList(nullptr));
}

TEST_F(OSTable, SmallLookups) {
  EXPECT_FALSE(IsUnix(4));
  EXPECT_TRUE(IsUnix(5));
  EXPECT_TRUE(isUnixBsId(5));
  EXPECT_EQ(GetMainOsName(1), "Windows");
  EXPECT_EQ(GetMainOsName(3), "Unix");
  EXPECT_EQ(GetCPUFolderName(2), "WinIA64");
  EXPECT_EQ(GetCPUFolderName(4), "");
  EXPECT_EQ(GetNumOSForRelease(0), 35);
  EXPECT_EQ(GetNumOSForRelease(1), 14);
  EXPECT_EQ(GetNumOSForRelease(14), 14);
  EXPECT_EQ(GetNumOSForRelease(15), 35);
  EXPECT_EQ(GetNumOSForRelease(-1), 14);
  EXPECT_TRUE(FindOsInList(3, {1, 3}));
  EXPECT_FALSE(FindOsInList(2, {}));
  EXPECT_EQ(GetApptypeForOS(1, 9), 29);
  EXPECT_EQ(GetApptypeForOS(1, 6), 19);
  EXPECT_EQ(GetApptypeForOS(1, 13), 64);
  EXPECT_EQ(GetApptypeForOS(1, 14), 1);
  EXPECT_EQ(GetApptypeForOS(2, 9), 2);
}

TEST_F(OSTable, RefillingWhileOthersReadChangesNothing) {
  // The fill is already done here; many threads calling it again must not
  // rewrite rows that others read.
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 1000; ++i) {
        SetOSTypesInfo();
        seen[t] += GetOSIdFromName("linux-x8664") == 16;
      }
    });
  for (std::thread& th : threads) th.join();
  for (int count : seen) EXPECT_EQ(count, 1000);
}

TEST(UpdateTypes, FilledOnceFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([] { SetUpdateTypesInfo(); });
  for (std::thread& th : threads) th.join();
  EXPECT_STREQ(GetUtypeNameFromId(0), "ServicePacks");
  EXPECT_STREQ(GetUtypeNameFromId(1), "Updates");
  EXPECT_EQ(GetUtypeNameFromId(2), nullptr);
  EXPECT_EQ(GetUtypeIdFromName("Updates"), 1);
  EXPECT_EQ(GetUtypeIdFromName("updates"), -1);
}

TEST(PackageIds, Ranges) {
  EXPECT_FALSE(IsThirdPartyPackage(5999));
  EXPECT_TRUE(IsThirdPartyPackage(6000));
  EXPECT_TRUE(IsThirdPartyPackage(7000));
  EXPECT_FALSE(IsThirdPartyPackage(7001));
  EXPECT_FALSE(IsDBRelatedPackage(800));
  EXPECT_TRUE(IsDBRelatedPackage(801));
  EXPECT_TRUE(IsDBRelatedPackage(899));
  EXPECT_FALSE(IsDBRelatedPackage(900));
}

TEST(PackageIds, SIMPackageIdText) {
  int value = -7;
  EXPECT_TRUE(IsSIMPkgIDValid("42", value));
  EXPECT_EQ(value, 42);
  EXPECT_FALSE(IsSIMPkgIDValid("0", value));
  EXPECT_EQ(value, 0);
  value = -7;
  EXPECT_FALSE(IsSIMPkgIDValid("", value));
  EXPECT_EQ(value, 0);
  value = -7;
  EXPECT_FALSE(IsSIMPkgIDValid("4a", value));
  EXPECT_FALSE(IsSIMPkgIDValid("-4", value));
  EXPECT_FALSE(IsSIMPkgIDValid(nullptr, value));
  EXPECT_EQ(value, -7);
  // A number that does not fit an int is not a package id (no wrap to a
  // small or negative value).
  EXPECT_FALSE(IsSIMPkgIDValid("4294967338", value));
  EXPECT_FALSE(IsSIMPkgIDValid("99999999999999999999999", value));
  EXPECT_EQ(value, -7);
  EXPECT_TRUE(IsSIMPkgIDValid("2147483647", value));
  EXPECT_EQ(value, 2147483647);
  // Bytes above 127 are not digits.
  EXPECT_FALSE(IsSIMPkgIDValid("4\xb2", value));
}

// The release table is process-wide; each case starts from empty rows.
class ClientReleases : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    KqCriticalSectionLock lock(getHNReleaseInfoHN());
    for (QU_ReleaseInfo& row : ReleasesSupported) row = QU_ReleaseInfo();
  }
  static void ExpectRows(const char* n0, int i0, const char* n1, int i1, const char* n2, int i2) {
    EXPECT_EQ(GetNameFromIndex(0), n0);
    EXPECT_EQ(GetRelIdFromIndex(0), i0);
    EXPECT_EQ(GetNameFromIndex(1), n1);
    EXPECT_EQ(GetRelIdFromIndex(1), i1);
    EXPECT_EQ(GetNameFromIndex(2), n2);
    EXPECT_EQ(GetRelIdFromIndex(2), i2);
  }
  kqtest::ScopedConfig config_;
};

TEST_F(ClientReleases, FromProductVersion) {
  config_.set("", "sProductVersion", "11.20.5");
  SetReleasesSupportedOnClient();
  ExpectRows("11.0.0", 16, "10.0.0", 15, "9.0.0", 14);
  EXPECT_EQ(GetRelNameFromId(15), "10.0.0");
  EXPECT_EQ(GetRelNameFromId(17), "");
  EXPECT_EQ(GetRelIdFromName("9.0.0"), 14);
  EXPECT_EQ(GetRelIdFromName("9.0"), -1);
  EXPECT_EQ(GetIndexForRelId(14), 2);
  EXPECT_EQ(GetIndexForRelId(13), -1);
  EXPECT_EQ(GetRelIdFromIndex(3), 0);
  EXPECT_EQ(GetNameFromIndex(-1), "");
  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("RelId 16,RelName 11.0.0"), std::string::npos) << log;

  // Filled: a later product version changes nothing.
  config_.set("", "sProductVersion", "12.1");
  SetReleasesSupportedOnClient();
  EXPECT_EQ(GetRelIdFromIndex(0), 16);
}

TEST_F(ClientReleases, DefaultsWhenTheVersionCannotBeRead) {
  SetReleasesSupportedOnClient();  // no product version at all
  ExpectRows("11.0.0", 16, "10.0.0", 15, "9.0.0", 14);
}

TEST_F(ClientReleases, DefaultsWhenTheVersionIsNotANumber) {
  for (const char* version : {"abc.1", "1x.2", "99999999999.0", "-3.1", " 11.0"}) {
    Clear();
    config_.set("", "sProductVersion", version);
    SetReleasesSupportedOnClient();
    SCOPED_TRACE(version);
    ExpectRows("11.0.0", 16, "10.0.0", 15, "9.0.0", 14);
  }
}

TEST_F(ClientReleases, LockIsReentrantForLookups) {
  config_.set("", "sProductVersion", "7.2");
  KqCriticalSectionLock hold(getHNReleaseInfoHN());
  SetReleasesSupportedOnClient();
  ExpectRows("7.0.0", 12, "6.0.0", 11, "5.0.0", 10);
}

}  // namespace
