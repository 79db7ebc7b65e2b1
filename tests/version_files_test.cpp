// Version, timestamp, checksum and ".description" files: LF and CR-LF line
// ends, over-long lines, binary junk, missing keys and files.
#include "VersionFiles.h"

#include <gtest/gtest.h>

#include <string>

#include "KqTestEnv.h"
#include "SmallTextFile.h"

namespace {

class VersionFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = config_.root() + "/" + name;
    kqtest::WriteFile(path, text);
    return path;
  }
  std::string Log() const { return kqtest::ReadFile(config_.logFile()); }
  kqtest::ScopedConfig config_;
};

const std::string kJunk("\x01\x02\xff\xfe\0\0\x7f junk \x80\r\n", 16);

TEST_F(VersionFiles, AttributeByKeyPrefix) {
  const std::string path = Write("version.txt", "Other=1\nVersionInfo=x\nVersion=11.0\n");
  std::string value = "stale";
  EXPECT_TRUE(ReadAttrFromFile(path, "Version", value, 7));
  EXPECT_EQ(value, "nfo=x");  // prefix match, one separator skipped
  EXPECT_FALSE(ReadAttrFromFile(path, "VERSION", value, 7));
  EXPECT_EQ(value, "");  // cleared once the file was read
  EXPECT_TRUE(ReadAttrFromFile(path, "Other", value, 7));
  EXPECT_EQ(value, "1");
}

TEST_F(VersionFiles, AttributeLineEndsJunkAndLongLines) {
  const std::string longValue(200000, 'v');
  const std::string path = Write("v", kJunk + "UnixTime=1700000000\r\n" + "Long=" + longValue +
                                          "\r\nKeyOnly\r\nLast=no line end");
  std::string value;
  EXPECT_TRUE(ReadAttrFromFile(path, "UnixTime", value, 0));
  EXPECT_EQ(value, "1700000000");  // no carriage return in the value
  EXPECT_TRUE(ReadAttrFromFile(path, "Long", value, 0));
  EXPECT_EQ(value, longValue);
  value = "stale";
  EXPECT_TRUE(ReadAttrFromFile(path, "KeyOnly", value, 0));
  EXPECT_EQ(value, "");  // a line that is just the key
  EXPECT_TRUE(ReadAttrFromFile(path, "Last", value, 0));
  EXPECT_EQ(value, "no line end");
}

TEST_F(VersionFiles, AttributeFromMissingOrUnreadableFiles) {
  std::string value = "kept";
  const std::string missing = config_.root() + "/missing";
  EXPECT_FALSE(ReadAttrFromFile(missing, "Version", value, 42));
  EXPECT_EQ(value, "kept");
  EXPECT_NE(Log().find("J42 Cannot access file [" + missing + "] with errorno [2]"), std::string::npos)
      << Log();
  EXPECT_FALSE(ReadAttrFromFile(config_.root(), "Version", value, 42));  // a folder
  EXPECT_EQ(value, "kept");

  // Files are read into memory only up to a cap.
  const std::string huge = Write("huge", std::string(kqtext::kMaxSmallTextFileBytes + 1, 'a'));
  EXPECT_FALSE(ReadAttrFromFile(huge, "a", value, 0));
  EXPECT_EQ(value, "kept");
}

TEST_F(VersionFiles, DescriptionFileJoinedWithoutLineEnds) {
  std::string contents = "kept";
  EXPECT_TRUE(ReadFileInString(Write("a.xml.description", "123\r\n456\n789"), contents, 0));
  EXPECT_EQ(contents, "123456789");
  EXPECT_TRUE(ReadFileInString(Write("empty.description", ""), contents, 0));
  EXPECT_EQ(contents, "");
  contents = "kept";
  const std::string missing = config_.root() + "/none.description";
  EXPECT_FALSE(ReadFileInString(missing, contents, 5));
  EXPECT_EQ(contents, "kept");
  EXPECT_NE(Log().find("Failed to open description file " + missing), std::string::npos);
  EXPECT_FALSE(ReadFileInString(config_.root(), contents, 5));
  EXPECT_EQ(contents, "kept");
}

TEST_F(VersionFiles, ServicePackVersionWithReleaseAndBuild) {
  const std::string text =
      "ServicePack=SP20\nSPTranID=4711\nCumulativeUpdateName=CU5\nRevisionNumber=3\n"
      "VERSION=11.0\nBUILD=BUILD80\n";
  for (const std::string& file : {text, [&] {
         std::string crlf;
         for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return crlf;
       }()}) {
    const std::string path = Write("sp.txt", file);
    _SPVersion sp;
    ASSERT_TRUE(SetSPVersionFromVersionFile(sp, path, 0, true));
    EXPECT_EQ(sp.GetMajor(), 20);
    EXPECT_EQ(sp.GetTransId(), 4711);
    EXPECT_EQ(sp.GetRevId(), 3);
    EXPECT_EQ(sp.GetCUName(), "CU5");
    EXPECT_EQ(sp.GetRelease(), 11);
    EXPECT_EQ(sp.GetBuild(), 80);

    ASSERT_TRUE(SetSPVersionFromVersionFile(sp, path, 0, false));
    EXPECT_EQ(sp.GetRelease(), 0);
    EXPECT_EQ(sp.GetBuild(), 0);
    EXPECT_EQ(sp.GetTransId(), 4711);
  }
  EXPECT_NE(Log().find("Skipping version and build setting for old download"), std::string::npos);
}

TEST_F(VersionFiles, ServicePackVersionFallsBackToVersionLine) {
  _SPVersion sp;
  EXPECT_TRUE(SetSPVersionFromVersionFile(
      sp, Write("a", "ServicePack=SP20\nSPTranID=4711\nVersion=11.80.0\n"), 0, true));
  EXPECT_EQ(sp.GetRelease(), 11);
  EXPECT_EQ(sp.GetBuild(), 80);
  EXPECT_EQ(sp.GetRevId(), 0);
  EXPECT_EQ(sp.GetCUName(), "");

  EXPECT_TRUE(SetSPVersionFromVersionFile(sp, Write("b", "ServicePack=SP20\nSPTranID=1\nVersion=11\n"),
                                          0, true));
  EXPECT_EQ(sp.GetRelease(), 0);
  EXPECT_EQ(sp.GetBuild(), 0);

  // No version line: false, the service pack as read.
  EXPECT_FALSE(SetSPVersionFromVersionFile(sp, Write("c", "ServicePack=SP21\nSPTranID=2\n"), 0, true));
  EXPECT_EQ(sp.GetMajor(), 21);
  EXPECT_NE(Log().find("Failed to read version from version file at path ["), std::string::npos);

  // A number too large for the field reads as none rather than wrapping.
  EXPECT_TRUE(SetSPVersionFromVersionFile(
      sp, Write("d", "ServicePack=SP22\nSPTranID=99999999999999999999\nVersion=11.80.0\n"), 0, true));
  EXPECT_EQ(sp.GetTransId(), 0);
}

TEST_F(VersionFiles, ServicePackVersionMissingKeysOrFile) {
  _SPVersion sp(20, 'a', 4711, 3);
  EXPECT_FALSE(SetSPVersionFromVersionFile(sp, Write("a", kJunk + "SPTranID=1\nVersion=11.0.0\n"), 9, true));
  EXPECT_EQ(sp, _SPVersion());  // never a half-read version
  EXPECT_NE(Log().find("Failed to read the Feature Release and SPTranID from "), std::string::npos);

  sp = _SPVersion(20);
  EXPECT_FALSE(SetSPVersionFromVersionFile(sp, Write("b", "ServicePack=SP20\n"), 9, true));
  EXPECT_EQ(sp, _SPVersion());

  sp = _SPVersion(20);
  const std::string missing = config_.root() + "/missing";
  EXPECT_FALSE(SetSPVersionFromVersionFile(sp, missing, 9, true));
  EXPECT_EQ(sp.GetMajor(), 20);
  EXPECT_NE(Log().find("File " + missing + " is not present."), std::string::npos);
}

TEST_F(VersionFiles, TimestampLines) {
  std::string message = "prior";
  EXPECT_EQ(ExtractTimestamp(Write("t1", "UnixTime=4711\nReducedPackage=1\n").c_str(), &message), 4711);
  EXPECT_EQ(message, "-reduced-");

  message = "prior";
  EXPECT_EQ(ExtractTimestamp(Write("t2", "unixtime = 42\r\n").c_str(), &message), 42);
  EXPECT_EQ(message, "prior");  // untouched after a plain read

  // Later lines replace earlier ones; a line far longer than any buffer and
  // binary junk before the timestamp do not stop the reading.
  const std::string t3 = Write("t3", "UnixTime=1\n" + std::string(5000, 'z') + "\n" + kJunk +
                                         "UNIXTIME=1700000000\r\nreducedpackage=1");
  EXPECT_EQ(ExtractTimestamp(t3.c_str(), &message), 1700000000);
  EXPECT_EQ(message, "-reduced-");
  EXPECT_EQ(ExtractTimestamp(t3.c_str(), nullptr), 1700000000);

  const std::string t4 = Write("t4", "ReducedPackage=1\nUnixTime\nUnixTime: 5\n");
  EXPECT_EQ(ExtractTimestamp(t4.c_str(), &message), 0);
  EXPECT_EQ(message, "2 Warning: couldn't find the \"UnixTime=\" line in [" + t4 + "]; defaulting to zero");
}

TEST_F(VersionFiles, TimestampFileMissingOrUnreadable) {
  std::string message;
  const std::string missing = config_.root() + "/timestamp.txt";
  EXPECT_EQ(ExtractTimestamp(missing.c_str(), &message), 0);
  EXPECT_EQ(message, "0 There is no timestamp file at [" + missing + "]");
  EXPECT_EQ(ExtractTimestamp(config_.root().c_str(), &message), 0);
  EXPECT_EQ(message, "1 Could not open the timestamp file at [" + config_.root() + "], though it exists");
  EXPECT_EQ(ExtractTimestamp(nullptr, &message), 0);
  EXPECT_EQ(message.compare(0, 2, "0 "), 0);
}

TEST_F(VersionFiles, ChecksumFiles) {
  EXPECT_EQ(getChecksumFromFile(Write("c1", "0x1f2e3d4c more text\nsecond")), "0x1f2e3d4c");
  EXPECT_EQ(getChecksumFromFile(Write("c2", "\r\n  12345\r\n")), "12345");
  EXPECT_EQ(getChecksumFromFile(Write("c3", "")), "0");
  EXPECT_EQ(getChecksumFromFile(Write("c4", " \n\t\r\n")), "0");
  EXPECT_EQ(getChecksumFromFile(config_.root() + "/missing"), "0");
  EXPECT_NE(Log().find("Failed to access the file [" + config_.root() + "/missing] to read checksum"),
            std::string::npos);
}

}  // namespace
