// The operating-system registry of the patch jobs and the retrieval-side order.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KqTestEnv.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/RetrievalSide.h"

namespace {

using nPatchDownload::CPatchInstallCommon;
using nPatchDownload::tRetrievalSide;

TEST(OSRegistry, BuildsOnceFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> names(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &names] { names[t] = CPatchInstallCommon::GetUpdateOSNameFromID(16, false); });
  for (std::thread& th : threads) th.join();
  for (const std::string& name : names) EXPECT_EQ(name, "linux-x8664");

  std::map<int, std::string> all;
  CPatchInstallCommon::GetAllSupportedOSesMap(all);
  const std::map<int, std::string> expected = {
      {1, "Windows"},      {3, "WinX64"},     {14, "aix-ppc"},     {15, "linux-x86"},
      {16, "linux-x8664"}, {17, "linux-ppc64"}, {18, "linux-s390"}, {20, "hp-ia64"},
      {22, "sol-sparc"},   {23, "sol-x8664"},  {25, "fbsd-x86"},    {26, "fbsd-x8664"},
      {27, "dwn-x8664"},   {32, "linux-ppc64-le"}, {34, "linux-arm64"}};
  EXPECT_EQ(all, expected);
  EXPECT_EQ(CPatchInstallCommon::GetChecksumBufferSize(), 8192u);
}

TEST(OSRegistry, NamesFromIds) {
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(1, true), "BinaryPayload32");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(3, true), "BinaryPayload");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(0, true), "BinaryPayload");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(16, true), "linux-x8664");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(16, false), "linux-x8664");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(1, false), "Windows");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(2, false), "unknown");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(99, false), "unknown");
  EXPECT_STREQ(CPatchInstallCommon::GetUpdateOSNameFromID(0xFFFFFFFFu, false), "unknown");
}

TEST(OSRegistry, IdsFromNames) {
  const unsigned kNone = 0xFFFFFFFFu;
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("wInX64", false), 3u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("WinX64", true), 3u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("winx64", true), kNone);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("WIN32", true), kNone);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("win32", false), 1u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("binarypayload32", true), 1u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("BINARYPAYLOAD", true), 3u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("BinaryPayload32", false), kNone);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("Windows", true), 1u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("Windows", false), 1u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("Linux-x8664", false), kNone);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("linux-x8664", false), 16u);
  EXPECT_EQ(CPatchInstallCommon::GetUpdateOSIDFromName("win", false), kNone);  // short names are not keys
}

TEST(OSRegistry, IdTests) {
  EXPECT_FALSE(CPatchInstallCommon::IsOSIdSupported(35));
  EXPECT_FALSE(CPatchInstallCommon::IsOSIdSupported(-1));
  EXPECT_FALSE(CPatchInstallCommon::IsOSIdSupported(2));
  EXPECT_FALSE(CPatchInstallCommon::IsOSIdSupported(1 << 30));
  EXPECT_TRUE(CPatchInstallCommon::IsOSIdSupported(34));
  EXPECT_FALSE(CPatchInstallCommon::IsUnix(5));
  EXPECT_TRUE(CPatchInstallCommon::IsUnix(6));
  EXPECT_TRUE(CPatchInstallCommon::IsWindows(0));
  EXPECT_FALSE(CPatchInstallCommon::IsValidUpdateOSId(0));
  EXPECT_FALSE(CPatchInstallCommon::IsValidUpdateOSId(35));
  EXPECT_TRUE(CPatchInstallCommon::IsValidUpdateOSId(1));
  EXPECT_TRUE(CPatchInstallCommon::IsValidUpdateOSId(34));
  EXPECT_EQ(CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(3), 0);
  EXPECT_EQ(CPatchInstallCommon::ConvertSimReleaseIdToReleaseNum(16), 11);
  EXPECT_EQ(CPatchInstallCommon::ConvertReleaseNumToSimReleaseId(11), 16);
}

TEST(OSRegistry, FindStringIC) {
  EXPECT_EQ(CPatchInstallCommon::FindStringIC("Linux-X8664", "x86"), 6);
  EXPECT_EQ(CPatchInstallCommon::FindStringIC("linux-x8664", "X86"), 6);
  EXPECT_EQ(CPatchInstallCommon::FindStringIC("abc", ""), 0);
  EXPECT_EQ(CPatchInstallCommon::FindStringIC("", ""), 0);
  EXPECT_EQ(CPatchInstallCommon::FindStringIC("abc", "abcd"), -1);
  EXPECT_EQ(CPatchInstallCommon::FindStringIC("abc", "x"), -1);
}

TEST(OSRegistry, FolderNamesAndIdLists) {
  std::vector<std::pair<int, std::string>> folders = {{99, "stale"}};
  CPatchInstallCommon::GetBinaryFolderNames(true, folders);
  EXPECT_EQ(folders, (std::vector<std::pair<int, std::string>>{{1, "BinaryPayload32"}, {3, "BinaryPayload"}}));
  CPatchInstallCommon::GetBinaryFolderNames(false, folders);
  std::vector<int> unixIds;
  for (const auto& folder : folders) unixIds.push_back(folder.first);
  EXPECT_EQ(unixIds, (std::vector<int>{14, 15, 16, 17, 18, 20, 22, 23, 25, 26, 27, 32, 34}));
  EXPECT_EQ(folders.front().second, "aix-ppc");

  std::set<int> ids = {99};
  CPatchInstallCommon::GetSupportedOSIds(ids, true, true);
  EXPECT_EQ(ids.size(), 15u);
  CPatchInstallCommon::GetSupportedOSIds(ids, false, true);
  EXPECT_EQ(ids, (std::set<int>{1, 3}));
  CPatchInstallCommon::GetSupportedOSIds(ids, false, false);
  EXPECT_EQ(ids.size(), 13u);
  EXPECT_EQ(*ids.begin(), 14);
}

TEST(OSRegistry, FilterOutUnsupportedIds) {
  kqtest::ScopedConfig config;
  // Neighbouring unsupported ids, and ones at both ends: erasing while walking
  // must neither skip an id nor step past the end.
  std::set<int> ids = {-5, 0, 1, 2, 4, 5, 14, 16, 19, 21, 34, 35, 1000};
  CPatchInstallCommon::FilterOutUnsupportedOSIds(ids);
  EXPECT_EQ(ids, (std::set<int>{1, 14, 16, 34}));
  std::set<int> none = {2, 4};
  CPatchInstallCommon::FilterOutUnsupportedOSIds(none);
  EXPECT_TRUE(none.empty());
  const std::string log = kqtest::ReadFile(config.logFile());
  EXPECT_NE(log.find("Original input Os Ids are [-5 ,0 ,1 ,2 ,4 ,5 ,14 ,16 ,19 ,21 ,34 ,35 ,1000]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Remove OS Id [19] which is no longer supported"), std::string::npos);
  EXPECT_NE(log.find("Final Os Ids are [1 ,14 ,16 ,34]"), std::string::npos);
  EXPECT_NE(log.find("Final Os Ids are []"), std::string::npos);
}

TEST(OSRegistry, ApplianceTypes) {
  EXPECT_EQ(CPatchInstallCommon::GetKQApplianceOSType("Windows"), UpdatePatches::KQ_APPLIANCE_OS_WINDOWS);
  EXPECT_EQ(CPatchInstallCommon::GetKQApplianceOSType("Unix"), UpdatePatches::KQ_APPLIANCE_OS_UNIX);
  EXPECT_EQ(CPatchInstallCommon::GetKQApplianceOSType("MSSQL"), UpdatePatches::KQ_APPLIANCE_OS_MSSQL);
  EXPECT_EQ(CPatchInstallCommon::GetKQApplianceOSType("windows"), UpdatePatches::KQ_APPLIANCE_OS_UNKNOWN);
  EXPECT_EQ(CPatchInstallCommon::GetKQApplianceOSName(UpdatePatches::KQ_APPLIANCE_OS_MSSQL), "MSSQL");
  EXPECT_EQ(CPatchInstallCommon::GetKQApplianceOSName(UpdatePatches::KQ_APPLIANCE_OS_UNKNOWN), "");
}

tRetrievalSide Side(int os, int major, int upNumber = 0) {
  tRetrievalSide side;
  side.osId = os;
  side.mediaVersion = FullVersion(_SPVersion(major), _UPVersion(upNumber));
  return side;
}

TEST(RetrievalSide, OrderedByVersionThenOSId) {
  EXPECT_TRUE(Side(3, 20) < Side(16, 20));
  EXPECT_FALSE(Side(16, 20) < Side(3, 20));
  EXPECT_TRUE(Side(16, 19) < Side(3, 20));  // any version difference outweighs the id
  EXPECT_TRUE(Side(16, 20, 1) < Side(3, 20, 2));  // the update pack counts too

  // The id set takes no part: two sides that differ only in it are one key.
  std::set<tRetrievalSide> sides;
  tRetrievalSide a = Side(16, 20);
  a.ids = {1, 2};
  tRetrievalSide b = Side(16, 20);
  b.ids = {7};
  sides.insert(a);
  EXPECT_FALSE(sides.insert(b).second);
  EXPECT_EQ(sides.begin()->ids, (std::set<int>{1, 2}));
}

TEST(RetrievalSide, SidesAsText) {
  std::map<tRetrievalSide, KQInstallCommonUtils::IFolderStruct*> sides;
  std::string text = "stale";
  CPatchInstallCommon::ConvertOSIdsToString(sides, text);
  EXPECT_EQ(text, "");

  sides[Side(16, 20)] = nullptr;
  CPatchInstallCommon::ConvertOSIdsToString(sides, text);
  const std::string first = Side(16, 20).mediaVersion.formatted_str(FullVersion::kFormatSide);
  EXPECT_EQ(text, first + ":linux-x8664");

  sides[Side(1, 20)] = nullptr;
  sides[Side(2, 21)] = nullptr;
  CPatchInstallCommon::ConvertOSIdsToString(sides, text);
  const std::string second = Side(2, 21).mediaVersion.formatted_str(FullVersion::kFormatSide);
  EXPECT_EQ(text, first + ":Windows, " + first + ":linux-x8664, " + second + ":unknown");
}

}  // namespace
