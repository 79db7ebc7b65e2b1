// Media version files, update-name versions, the string splitters and the installed
// transaction ids of CPatchInstallCommon.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KqTestEnv.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"

using nPatchDownload::CPatchInstallCommon;

namespace {

class MediaVersionFileTest : public ::testing::Test {
 protected:
  bool Read(const std::string& text, FullVersion& v) {
    std::string path = cfg_.root() + "/version.txt";
    kqtest::WriteFile(path, text);
    return CPatchInstallCommon::GetMediaVersionFromFile(path, v);
  }
  kqtest::ScopedConfig cfg_;
};

TEST_F(MediaVersionFileTest, ReadsAllFiveKeysAndStopsWhenComplete) {
  FullVersion v;
  ASSERT_TRUE(Read("Version=11.0.0\nServicePack=SP20\nSPTranID=1234\nRevisionNumber=3\n"
                   "BUILD=BUILD80\nSPTranID=999\nVersion=12.0.0\n",
                   v));
  EXPECT_EQ(11, v.Get(FullVersion::kRelease));
  EXPECT_EQ(80, v.Get(FullVersion::kBuild));
  EXPECT_EQ(20, v.Get(FullVersion::kSPMajor));
  EXPECT_EQ(1234, v.Get(FullVersion::kTransactionId));
  EXPECT_EQ(3, v.GetSPVersion().GetRevId());
}

TEST_F(MediaVersionFileTest, BuildFromTheVersionLineWhenNoBuildLine) {
  FullVersion v;
  ASSERT_TRUE(Read("ServicePack=SP20\nVersion=11.42.7\nSPTranID=5\n", v));
  EXPECT_EQ(11, v.Get(FullVersion::kRelease));
  EXPECT_EQ(42, v.Get(FullVersion::kBuild));
  EXPECT_EQ(5, v.Get(FullVersion::kTransactionId));
  EXPECT_EQ(0, v.GetSPVersion().GetRevId());
}

TEST_F(MediaVersionFileTest, CompleteBeforeTheVersionLineLeavesReleaseZero) {
  FullVersion v;
  ASSERT_TRUE(Read("ServicePack=SP20\nSPTranID=7\nRevisionNumber=2\nBUILD=BUILD80\nVersion=11.0.0\n", v));
  EXPECT_EQ(0, v.Get(FullVersion::kRelease));
  EXPECT_EQ(80, v.Get(FullVersion::kBuild));
}

TEST_F(MediaVersionFileTest, TransactionIdZeroIsValidAndMissingIsNot) {
  FullVersion v;
  EXPECT_TRUE(Read("ServicePack=SP20\nSPTranID=0\n", v));
  EXPECT_EQ(0, v.Get(FullVersion::kTransactionId));

  FullVersion untouched;
  untouched.Set(FullVersion::kRelease, 77);
  EXPECT_FALSE(Read("ServicePack=SP20\nVersion=11.0.0\n", untouched));
  EXPECT_EQ(77, untouched.Get(FullVersion::kRelease));
  EXPECT_FALSE(Read("SPTranID=4\n", untouched));
  EXPECT_FALSE(CPatchInstallCommon::GetMediaVersionFromFile(cfg_.root() + "/missing", untouched));
  EXPECT_EQ(77, untouched.Get(FullVersion::kRelease));
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg_.logFile()).find("Invalid Feature Release [] or transaction Id [-1]"));
}

TEST_F(MediaVersionFileTest, KeysAnywhereInAnyCaseAndNumbersInBaseZero) {
  FullVersion v;
  ASSERT_TRUE(Read("media version=011.3.1\nthe servicepack=SP20\nsptranid=0x10\n", v));
  EXPECT_EQ(9, v.Get(FullVersion::kRelease));  // "011" is octal
  EXPECT_EQ(3, v.Get(FullVersion::kBuild));
  EXPECT_EQ(16, v.Get(FullVersion::kTransactionId));

  ASSERT_TRUE(Read("Version=abc.5\nServicePack=SP20\nSPTranID=1\n", v));
  EXPECT_EQ(0, v.Get(FullVersion::kRelease));
  EXPECT_EQ(5, v.Get(FullVersion::kBuild));
}

TEST_F(MediaVersionFileTest, ReleaseIsSearchedAfterTheKey) {
  // A "." before the key must not shift the release and build texts.
  FullVersion v;
  ASSERT_TRUE(Read("path.to Version=12.34.5\nServicePack=SP20\nSPTranID=1\n", v));
  EXPECT_EQ(12, v.Get(FullVersion::kRelease));
  EXPECT_EQ(34, v.Get(FullVersion::kBuild));
  // No "." at all after the key: the release is the rest of the line, the build empty.
  ASSERT_TRUE(Read("a.b.c Version=13\nServicePack=SP20\nSPTranID=1\n", v));
  EXPECT_EQ(13, v.Get(FullVersion::kRelease));
  EXPECT_EQ(0, v.Get(FullVersion::kBuild));
}

TEST_F(MediaVersionFileTest, CarriageReturnsAreNoPartOfValues) {
  FullVersion v;
  ASSERT_TRUE(Read("Version=11.0.0\r\nServicePack=SP20\r\nSPTranID=12\r\nRevisionNumber=3\r\n"
                   "BUILD=BUILD80\r\n",
                   v));
  EXPECT_EQ(20, v.Get(FullVersion::kSPMajor));
  EXPECT_EQ(80, v.Get(FullVersion::kBuild));
  std::string log = kqtest::ReadFile(cfg_.logFile());
  EXPECT_NE(std::string::npos, log.find("Feature Release [SP20]"));
  EXPECT_EQ(std::string::npos, log.find('\r'));
}

TEST_F(MediaVersionFileTest, JunkAndLongLinesDoNotHurt) {
  std::string junk(100000, 'x');
  junk += "\n";
  junk += std::string("\0\x01\xff\xfe", 4) + "\n";
  FullVersion v;
  ASSERT_TRUE(Read(junk + "ServicePack=SP20\nRevisionNumber=99999999999999999999\nSPTranID=4\n" + junk, v));
  // An overflowing number is read without throwing; its value is whatever fits.
  EXPECT_EQ(20, v.Get(FullVersion::kSPMajor));
}

TEST(SPVersionFromStringTest, ReleaseAndBuildFromUpdateNames) {
  FullVersion v;
  v.Set(FullVersion::kSPMajor, 20);
  ASSERT_EQ(0u, CPatchInstallCommon::GetSPVersionFromString("11.0.0B80-SP20_HotFix", v));
  EXPECT_EQ(11, v.Get(FullVersion::kRelease));
  EXPECT_EQ(80, v.Get(FullVersion::kBuild));
  EXPECT_EQ(20, v.Get(FullVersion::kSPMajor));  // nothing else changes

  ASSERT_EQ(0u, CPatchInstallCommon::GetSPVersionFromString("10.0B0x1F", v));  // no "-SP"
  EXPECT_EQ(10, v.Get(FullVersion::kRelease));
  EXPECT_EQ(31, v.Get(FullVersion::kBuild));

  ASSERT_EQ(0u, CPatchInstallCommon::GetSPVersionFromString("9.1.2-SP3", v));  // no "B"
  EXPECT_EQ(9, v.Get(FullVersion::kRelease));
  EXPECT_EQ(9, v.Get(FullVersion::kBuild));  // "9.1.2" read up to its first non-digit
}

TEST(SPVersionFromStringTest, NamesWithoutReleaseOrBuildAreRefused) {
  FullVersion v;
  v.Set(FullVersion::kRelease, 5);
  v.Set(FullVersion::kBuild, 6);
  for (const char* name : {"11B80-SP20", ".0B80-SP2", "11.0B-SP20", "11.0-SP20B5", "", "B"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(nPatchDownload::KQ_PATCH_E_INVALIDARG,
              CPatchInstallCommon::GetSPVersionFromString(name, v));
    EXPECT_EQ(5, v.Get(FullVersion::kRelease));
    EXPECT_EQ(6, v.Get(FullVersion::kBuild));
  }
}

TEST(SplitStringTest, ByDelimiter) {
  std::vector<std::string> parts = {"stale"};
  CPatchInstallCommon::SplitStringByDelimiter("a,,b,", ",", parts);
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), parts);
  CPatchInstallCommon::SplitStringByDelimiter("", ",", parts);
  EXPECT_TRUE(parts.empty());
  CPatchInstallCommon::SplitStringByDelimiter("abc", ",", parts);
  EXPECT_EQ((std::vector<std::string>{"abc"}), parts);
  CPatchInstallCommon::SplitStringByDelimiter("a::b:c::", "::", parts);
  EXPECT_EQ((std::vector<std::string>{"a", "b:c"}), parts);
  // An empty delimiter gives the whole text as one part, and ends.
  CPatchInstallCommon::SplitStringByDelimiter("a,b", "", parts);
  EXPECT_EQ((std::vector<std::string>{"a,b"}), parts);
  CPatchInstallCommon::SplitStringByDelimiter("", "", parts);
  EXPECT_TRUE(parts.empty());
}

TEST(SplitStringTest, ToVectorAtAnyCharacterOfTheSet) {
  std::vector<std::string> parts = {"stale"};
  CPatchInstallCommon::SplitStringToVector("x:y;z", ":;,", parts);
  EXPECT_EQ((std::vector<std::string>{"x", "y", "z"}), parts);
  CPatchInstallCommon::SplitStringToVector("x,;y,", ":;,", parts);
  EXPECT_EQ((std::vector<std::string>{"x", "", "y"}), parts);
  CPatchInstallCommon::SplitStringToVector("x:y", "", parts);
  EXPECT_EQ((std::vector<std::string>{"x:y"}), parts);
  CPatchInstallCommon::SplitStringToVector("", "", parts);
  EXPECT_TRUE(parts.empty());
}

TEST(HighestTransactionIdTest, RaisesToTheHighestUsableValue) {
  kqtest::ScopedConfig cfg;
  unsigned long long highest = 0;
  EXPECT_EQ(nPatchDownload::KQ_PATCH_E_CONFIG_MISSING,
            CPatchInstallCommon::GetHighestTransactionIdInstalled(highest));
  EXPECT_EQ(0u, highest);

  cfg.set("UpdateBinTran", "a", "a_17");
  cfg.set("UpdateBinTran", "b", "b_0x20");
  cfg.set("UpdateBinTran", "c", "c");
  cfg.set("UpdateBinTran", "d", "d_");
  cfg.set("UpdateBinTran", "e", "e_xyz");
  ASSERT_EQ(0u, CPatchInstallCommon::GetHighestTransactionIdInstalled(highest));
  EXPECT_EQ(32u, highest);

  highest = 100;  // the operation only raises
  ASSERT_EQ(0u, CPatchInstallCommon::GetHighestTransactionIdInstalled(highest));
  EXPECT_EQ(100u, highest);
}

}  // namespace
