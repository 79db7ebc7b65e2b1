// Name readers that list folders: update prefixes and service-pack folders,
// on real temporary trees.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "KqTestEnv.h"
#include "UpdateNames.h"
#include "Vocabulary.h"

namespace {

class UpdateFolders : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SetOSTypesInfo(); }
  void Dir(const std::string& rel) {
    std::string path = config_.root();
    for (size_t pos = 0; pos != std::string::npos;) {
      const size_t next = rel.find('/', pos);
      path += "/" + rel.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
      ::mkdir(path.c_str(), 0755);
      pos = next == std::string::npos ? next : next + 1;
    }
  }
  void File(const std::string& rel) { kqtest::WriteFile(config_.root() + "/" + rel, "x"); }
  std::string Path(const std::string& rel) const { return config_.root() + "/" + rel; }
  kqtest::ScopedConfig config_;
};

TEST_F(UpdateFolders, UnixUpdatePrefixFromTheFirstValidNameInBytewiseOrder) {
  for (const char* name : {"linux-x8664_ab_cd", "README", "aaa_bad", "hp_xy_zzzzzzzzz", "unix_abc_defghij"})
    File(std::string("u/") + name);
  std::string prefix = "kept";
  EXPECT_TRUE(GetUnixUpdatePrefix(Path("u").c_str(), prefix));
  EXPECT_EQ(prefix, "hp_xy_");

  Dir("empty");
  File("bad/nothing_valid");
  for (const char* folder : {"empty", "bad", "missing"}) {
    prefix = "kept";
    EXPECT_FALSE(GetUnixUpdatePrefix(Path(folder).c_str(), prefix));
    EXPECT_EQ(prefix, "kept");
  }
  EXPECT_FALSE(GetUnixUpdatePrefix(nullptr, prefix));
}

TEST_F(UpdateFolders, HighestServicePack) {
  for (const char* name : {"SP12", "SP9a", "SPx", "SP20"}) Dir(std::string("sp/") + name);
  File("sp/SP21b");  // files count as well
  File("sp/notes.txt");
  _SPVersion highest(3);
  EXPECT_TRUE(GetHighestSP(highest, Path("sp").c_str()));
  EXPECT_EQ(highest.GetMajor(), 21);
  EXPECT_EQ(highest.GetMinor(), 'b');

  Dir("none");
  EXPECT_TRUE(GetHighestSP(highest, Path("none").c_str()));
  EXPECT_EQ(highest, _SPVersion());

  highest = _SPVersion(3);
  EXPECT_FALSE(GetHighestSP(highest, Path("missing").c_str()));
  EXPECT_EQ(highest.GetMajor(), 3);
}

TEST_F(UpdateFolders, HighestServicePackReadsEveryNameAsWritten) {
  // Folder paths are rebuilt from the version's text, so the written form must survive.
  for (const char* name : {"SP00", "SPa", "SP5ab", "SP5a", "SP0", "SP99999999999"}) Dir(std::string("w/") + name);
  _SPVersion highest(3);
  ASSERT_TRUE(GetHighestSP(highest, Path("w").c_str()));
  EXPECT_EQ(highest.GetMajor(), 5);
  EXPECT_EQ(highest.GetMinorStr(), "ab");
  EXPECT_EQ(highest.ToStr(false), "5ab");

  Dir("lead/SP01");
  Dir("lead/SP1");  // the same version: the first in listing order stays
  ASSERT_TRUE(GetHighestSP(highest, Path("lead").c_str()));
  EXPECT_EQ(highest.GetMajor(), 1);
  EXPECT_EQ(highest.ToStr(true), "SP01");

  // Names that are no service pack count as nothing; a major too large for the version's
  // number is skipped with a log line.
  Dir("refused/SP0");
  Dir("refused/SP2147483648");
  highest = _SPVersion(3);
  ASSERT_TRUE(GetHighestSP(highest, Path("refused").c_str()));
  EXPECT_EQ(highest, _SPVersion());
  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("Service pack [SP2147483648] has a major number too large to be read, skipped"), std::string::npos);
  EXPECT_EQ(log.find("Service pack [SP0] has"), std::string::npos);
}

TEST_F(UpdateFolders, ServicePackNumberSkipsFoldersThatAreNoServicePack) {
  Dir("m/ServicePacks/SP0");
  Dir("m/ServicePacks/SP01");
  _SPVersion sp(7, 'z', 4711, 2);
  ASSERT_TRUE(getServicePackNumber(Path("m"), 3, sp));
  EXPECT_EQ(sp.GetMajor(), 1);
  EXPECT_EQ(sp.ToStr(true), "SP01");
  EXPECT_EQ(sp.GetTransId(), 4711);
  EXPECT_EQ(sp.GetRevId(), 2);

  Dir("n/ServicePacks/SP0");
  Dir("n/ServicePacks/SP1\\x");
  sp = _SPVersion(7, 'z', 4711, 2);
  EXPECT_FALSE(getServicePackNumber(Path("n"), 3, sp));
  EXPECT_EQ(sp.ToStr(true), "SP7z");
}

TEST_F(UpdateFolders, ServicePackNumberOfAMediaLocation) {
  // The update tree beside the media tree holds the service packs.
  File("c/KQUpdates/11.0.0/WinX64/ServicePacks/SP3");  // a file, not a folder
  Dir("c/KQUpdates/11.0.0/WinX64/ServicePacks/SP5a");
  Dir("c/KQUpdates/11.0.0/WinX64/ServicePacks/SP7");
  Dir("c/KQUpdates/11.0.0/Windows/ServicePacks/SP8");
  Dir("c/KQUpdates/11.0.0/ServicePacks/SP9");

  _SPVersion sp(1, 0, 4711, 2);
  EXPECT_TRUE(getServicePackNumber(Path("c/KQMedia/11.0.0/Windows/BinaryPayload"), 3, sp));
  EXPECT_EQ(sp.GetMajor(), 5);  // the first folder in order, not the highest
  EXPECT_EQ(sp.GetMinor(), 'a');
  EXPECT_EQ(sp.GetTransId(), 4711);
  EXPECT_TRUE(getServicePackNumber(Path("c/KQMedia/11.0.0/Windows/BinaryPayload32"), 1, sp));
  EXPECT_EQ(sp.GetMajor(), 8);
  // "KQMedia" is replaced by "KQUpdates" and nothing after it is lost.
  EXPECT_TRUE(getServicePackNumber(Path("c/KQMedia/11.0.0"), 16, sp));
  EXPECT_EQ(sp.GetMajor(), 9);
  // A location without "KQMedia" is used as it is.
  EXPECT_TRUE(getServicePackNumber(Path("c/KQUpdates/11.0.0/WinX64"), 3, sp));
  EXPECT_EQ(sp.GetMajor(), 5);

  sp = _SPVersion(1);
  EXPECT_FALSE(getServicePackNumber(Path("c/KQMedia/12.0.0/Windows"), 3, sp));
  EXPECT_FALSE(getServicePackNumber(Path("c/KQMedia"), 3, sp));  // too short to hold a release
  EXPECT_FALSE(getServicePackNumber("KQMedia", 3, sp));
  EXPECT_EQ(sp.GetMajor(), 1);
  const std::string log = kqtest::ReadFile(config_.logFile());
  EXPECT_NE(log.find("No Feature Release found " + Path("c//KQUpdates/12.0.0//WinX64/ServicePacks")),
            std::string::npos)
      << log;
}

}  // namespace
