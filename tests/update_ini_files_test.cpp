// Configuration files of updates, update packs and cumulative update packs: the three kinds,
// CR-LF endings, long lines, junk, and records of the wrong class.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "KqTestEnv.h"
#include "Unprivileged.h"
#include "Versions/FullVersion.h"
#include "nPatchDownload/CPatchDebug.h"
#include "nPatchDownload/CPatchInstallCommon.h"
#include "nPatchDownload/PatchResultCodes.h"
#include "nPatchDownload/SupportedUpdatesInCopy.h"

using namespace nPatchDownload;

namespace {

class UpdateIniTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text, const std::string& name = "update.ini") {
    std::string path = cfg_.root() + "/" + name;
    kqtest::WriteFile(path, text);
    return path;
  }
  unsigned int Read(const std::string& text, tSupportedUpdatesInCopyBase& record) {
    return CPatchInstallCommon::ReadConfigurationFromIniFile(Write(text), record, event_);
  }
  std::string Log() const { return kqtest::ReadFile(cfg_.logFile()); }

  kqtest::ScopedConfig cfg_;
  CPatchDebug event_;
};

const char kHotfixCrLf[] =
    "; a Windows-style hotfix\r\n"
    "  [NAME]=linux-x8664_SP20_HotFix-9  \r\n"
    "[updatetype]=UPDATE\r\n"
    "[IsHotFix]=yes\r\n"
    "[TransactionID]=0x20\r\n"
    "[ServicePackHotFix]=SP20\r\n"
    "[MaxMediaTransactionID]=5000\r\n"
    "[VERSION]=11.0.0(BUILD80)\r\n"
    "[REQUIRES]=SP20-HotFix-7, SP20-HotFix-8;sp20b-hotfix-9:SP20-HotFix,SP20-HotFix-10x\r\n"
    "junk [NAME]=not-at-start\r\n";

TEST_F(UpdateIniTest, WindowsHotfixWithCrLf) {
  tSupportedUpdatesInCopy record;
  record.secondText = "caller's";
  ASSERT_EQ(0u, Read(kHotfixCrLf, record));
  EXPECT_EQ("linux-x8664_SP20_HotFix-9", record.name);
  EXPECT_EQ(16, record.osId);
  EXPECT_EQ(tSupportedUpdatesInCopyBase::kUpdate, record.updateType);
  EXPECT_TRUE(record.isHotfix);
  EXPECT_EQ(32, record.transactionId);
  EXPECT_EQ(5000u, record.maxMediaTransactionId);
  EXPECT_EQ(11, record.version.Get(FullVersion::kRelease));
  EXPECT_EQ(80, record.version.Get(FullVersion::kBuild));
  EXPECT_EQ(20, record.version.Get(FullVersion::kSPMajor));
  EXPECT_EQ(5000, record.version.Get(FullVersion::kTransactionId));
  EXPECT_EQ((std::set<std::string>{"linux-x8664_SP20_SP20-HotFix-7",
                                   "linux-x8664_SP20_sp20b-hotfix-9"}),
            record.requiredHotfixes);
  EXPECT_EQ("", record.secondText);  // the whole base part starts from its start values
}

TEST_F(UpdateIniTest, UnixUpdatePackWithLongBuild) {
  tSupportedUpdatesInCopy record;
  ASSERT_EQ(0u, Read("name=fbsd-x86_thing_WinX64\nTYPE=updatepack\nversion=10.0.0(BUILD1234)\n"
                     "[REQUIRES]=SP20-HotFix-7\n",
                     record));
  EXPECT_EQ(25, record.osId);  // from the part before the first "_"
  EXPECT_EQ(tSupportedUpdatesInCopyBase::kUpdatePack, record.updateType);
  EXPECT_EQ(10, record.version.Get(FullVersion::kRelease));
  EXPECT_EQ(1234, record.version.Get(FullVersion::kBuild));  // the whole digit run
  EXPECT_EQ(-1, record.version.Get(FullVersion::kSPMajor));
  EXPECT_TRUE(record.requiredHotfixes.empty());  // not a hotfix: the list is not used
  EXPECT_NE(std::string::npos, Log().find("is not a hotfix, skipping required HF"));
}

TEST_F(UpdateIniTest, OperatingSystemFromTheFirstOrLastPartOfTheName) {
  tSupportedUpdatesInCopyBase record;
  ASSERT_EQ(0u, Read("[NAME]=Foo_Bar_WinX64\n", record));
  EXPECT_EQ(3, record.osId);
  ASSERT_EQ(0u, Read("[NAME]=Foo_Bar_Baz\n", record));
  EXPECT_EQ(-1, record.osId);  // 0xFFFFFFFF: unknown, still accepted
  ASSERT_EQ(0u, Read("[NAME]=Windows\n", record));
  EXPECT_EQ(1, record.osId);
}

TEST_F(UpdateIniTest, CumulativeUpdatePack) {
  tSupportedCUPackInCopy record;
  ASSERT_EQ(0u, Read("[NAME]=CU_linux-x8664\n[UPDATETYPE]=UPDATEPACK\n[ActiveSP]=SP20\n"
                     "[MaxMediaTransactionID]=0x100\n[CUVersion]=3\n[CUFriendlyName]=Pack Three\n"
                     "[CUTransactionID]=7777\n[VERSION]=11.0.0(BUILD80)\n",
                     record));
  EXPECT_EQ(tSupportedUpdatesInCopyBase::kCUPack, record.updateType);
  EXPECT_EQ(16, record.osId);
  EXPECT_EQ(3, record.version.Get(FullVersion::kUPNumber));
  EXPECT_EQ(7777, record.version.Get(FullVersion::kUPTransactionId));
  EXPECT_EQ("Pack Three", record.version.GetStr(FullVersion::kUPFriendlyName));
  EXPECT_EQ(256, record.version.Get(FullVersion::kTransactionId));
  EXPECT_EQ(20, record.version.Get(FullVersion::kSPMajor));
  EXPECT_EQ(11, record.version.Get(FullVersion::kRelease));
  EXPECT_EQ(3, record.pack.getint64(UpdatePatches::UpdatePack::kNumber));
  EXPECT_EQ(7777, record.pack.getint64(UpdatePatches::UpdatePack::kField2));
  EXPECT_EQ("Pack Three", record.pack.getstring(UpdatePatches::UpdatePack::kField5));

  // The same record read again for a file without a pack: nothing of the pack stays.
  ASSERT_EQ(0u, Read("[NAME]=CU_linux-x8664\n[UPDATETYPE]=UPDATEPACK\n", record));
  EXPECT_FALSE(record.pack.isSet(UpdatePatches::UpdatePack::kNumber));
  EXPECT_FALSE(record.pack.isSet(UpdatePatches::UpdatePack::kField5));
  EXPECT_EQ(tSupportedUpdatesInCopyBase::kUpdatePack, record.updateType);

  // Pack number 0 leaves the type as the file set it.
  tSupportedCUPackInCopy zero;
  ASSERT_EQ(0u, Read("[NAME]=CU_x\n[UPDATETYPE]=UPDATE\n[CUVersion]=0\n", zero));
  EXPECT_EQ(tSupportedUpdatesInCopyBase::kUpdate, zero.updateType);
}

TEST_F(UpdateIniTest, FlagsThatDoNotFitTheRecordClass) {
  tSupportedUpdatesInCopyBase base;
  std::string hotfix = Write("[NAME]=a_b\n[IsHotFix]=Yes\n", "hotfix.ini");
  EXPECT_EQ(KQ_PATCH_E_DESCRIPTOR_FLAGS,
            CPatchInstallCommon::ReadConfigurationFromIniFile(hotfix, base, event_));
  EXPECT_NE(std::string::npos,
            Log().find("Update file [" + hotfix + "] has IsHotfix set but cannot cast"));
  EXPECT_EQ(0u, Read("[NAME]=a_b\n[IsHotFix]=no\n", base));

  std::string cu = Write("[NAME]=a_b\n[CUVersion]=2\n", "cu.ini");
  tSupportedUpdatesInCopy updates;
  EXPECT_EQ(KQ_PATCH_E_DESCRIPTOR_FLAGS,
            CPatchInstallCommon::ReadConfigurationFromIniFile(cu, updates, event_));
  EXPECT_NE(std::string::npos, Log().find("Update file [" + cu + "] has CU number set but"));
}

TEST_F(UpdateIniTest, MissingUnnamedAndMisnamedFiles) {
  tSupportedUpdatesInCopy record;
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, CPatchInstallCommon::ReadConfigurationFromIniFile(
                                          cfg_.root() + "/missing.ini", record, event_));
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, Read("[UPDATETYPE]=UPDATE\n", record));
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, Read("[NAME]=NoUnderscore\n[IsHotFix]=Yes\n", record));
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, Read("", record));
  EXPECT_EQ(0u, Read("[NAME]=x\n[UPDATETYPE]=SOMETHING\nTYPE=OTHER\n", record));
  EXPECT_EQ(0, record.updateType);
  EXPECT_NE(std::string::npos, Log().find("Unknown Windows update type [SOMETHING]"));
  EXPECT_NE(std::string::npos, Log().find("Unknown Unix update type [OTHER]"));
}

TEST_F(UpdateIniTest, VersionValuesThatDoNotParseAreRefused) {
  tSupportedUpdatesInCopyBase record;
  for (const char* value : {"garbage", "x11.0.0(BUILD80)", "", " ", ".0(BUILD80)",
                            "11.0.0(BUILD99999999999)"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, Read(std::string("[NAME]=a\n[VERSION]=") + value + "\n", record));
  }
  // A value that begins with a number is read; a build that is not given is 0.
  struct Case {
    const char* value;
    int release, build;
  } read[] = {{"11.0.0", 11, 0}, {"11.0.0(BUILD)", 11, 0}, {"12", 12, 0},
              {"11.0.0(Build 85)", 11, 85}, {"10.5.0(BUILD80", 10, 80}, {"11(BUILD1234)", 11, 1234}};
  for (const Case& c : read) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ(0u, Read(std::string("[NAME]=a\n[VERSION]=") + c.value + "\n", record));
    EXPECT_EQ(c.release, record.version.Get(FullVersion::kRelease));
    EXPECT_EQ(c.build, record.version.Get(FullVersion::kBuild));
  }
  EXPECT_EQ(KQ_PATCH_E_INVALID_INPUT, Read("[NAME]=a\n[CUVersion]=abc\n", record));
  ASSERT_EQ(0u, Read("[NAME]=a\nVERSION= 9.1(build007)\n", record));
  EXPECT_EQ(9, record.version.Get(FullVersion::kRelease));
  EXPECT_EQ(7, record.version.Get(FullVersion::kBuild));
}

TEST_F(UpdateIniTest, HostileRequiresLineAndLongLines) {
  tSupportedUpdatesInCopy record;
  std::string huge = "SP" + std::string(200000, '1') + "-HotFix-" + std::string(200000, '2');
  std::string text = "[NAME]=linux-x8664_SP20_HF\n[IsHotFix]=Yes\n[REQUIRES]=" + huge +
                     ",SP20-HotFix-1\n" + std::string(300000, 'j') + "\n" +
                     std::string("\0\x01\xff[NAME]=x\n", 10);
  ASSERT_EQ(0u, Read(text, record));
  EXPECT_EQ((std::set<std::string>{"linux-x8664_SP20_SP20-HotFix-1"}), record.requiredHotfixes);
}

TEST_F(UpdateIniTest, RereadingResetsTheRecord) {
  tSupportedUpdatesInCopy record;
  ASSERT_EQ(0u, Read(kHotfixCrLf, record));
  tSupportedUpdatesInCopy again = record;
  ASSERT_EQ(0u, Read(kHotfixCrLf, again));
  EXPECT_EQ(record.name, again.name);
  EXPECT_TRUE(record.version == again.version);
  EXPECT_EQ(record.requiredHotfixes, again.requiredHotfixes);

  // A second hotfix file read into the same record keeps nothing of the first.
  ASSERT_EQ(0u, Read("[NAME]=Windows_SP21_HF\n[IsHotFix]=Yes\n[REQUIRES]=SP21-HotFix-2\n", record));
  EXPECT_EQ(1, record.osId);
  EXPECT_EQ(0u, record.maxMediaTransactionId);
  EXPECT_EQ(0, record.version.Get(FullVersion::kBuild));
  EXPECT_EQ((std::set<std::string>{"Windows_SP21_SP21-HotFix-2"}), record.requiredHotfixes);
}

TEST_F(UpdateIniTest, ReadOnlyFilesAreRead) {
  std::string path = Write("[NAME]=Windows_x\n");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0444));
  kqtest::GiveTreeToUnprivileged(cfg_.root());
  int rc = kqtest::RunUnprivileged([&]() {
    CPatchDebug event;
    tSupportedUpdatesInCopyBase record;
    unsigned int r = CPatchInstallCommon::ReadConfigurationFromIniFile(path, record, event);
    return r == 0 && record.name == "Windows_x" ? 0 : 1;
  });
  EXPECT_EQ(0, rc);
}

}  // namespace
