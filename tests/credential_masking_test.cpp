// Masking of the client-authentication password in job-option XML.
#include <gtest/gtest.h>

#include <string>

#include "KqTestEnv.h"
#include "Messages/TMMsg.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using nPatchDownload::CPatchInstallCommon;

// A job option with other settings around the password, laid out for a download or copy job
// (options -> 3/3 -> 12/12 -> 5/8) or for a push job (options -> 12/12 -> 7/7).
std::string JobOptionXml(bool downloadLayout, const std::string& password,
                         bool protectedField = true) {
  TMMsg::JobOption option;
  option.setstring(1, 1, "job name\r\nwith a break");
  option.setint64(2, 2, 4711);
  CNMessageBase* options = option.getObjectAccessor(TMMsg::JobOption::kOptions);
  options->setstring(1, 1, "keep me");
  CNMessageBase* auth = nullptr;
  if (downloadLayout) {
    CNMessageBase* a = options->getObjectAccessor(true, true, 3, 3, 0, 0, 12, 374);
    a->setint64(1, 1, 1);
    CNMessageBase* b = a->getObjectAccessor(true, true, 12, 12, 0, 0, 12, 348);
    b->setliststring(2, 2, {"srv1", "srv2"});
    auth = b->getObjectAccessor(true, true, 5, 8, 0, 0, 20, 0);
  } else {
    CNMessageBase* a = options->getObjectAccessor(true, true, 12, 12, 0, 0, 12, 161);
    a->setstring(3, 3, "push setting");
    auth = a->getObjectAccessor(true, true, 7, 7, 0, 0, 20, 0);
  }
  auth->setstring(1, 1, "domain\\user");
  if (protectedField) {
    auth->setpstringobject(2, 5, password, Annotation::PasswordEncryptStandard);
  } else {
    auth->setstring(2, 5, password);
  }
  auth->setint64(3, 6, 0);
  std::string xml;
  EXPECT_EQ(0, option.serialize(xml));
  return xml;
}

const CNMessageBase* AuthSection(const TMMsg::JobOption& option, bool downloadLayout) {
  const CNMessageBase* s = option.getObjectAccessor(3, 3);
  if (downloadLayout) {
    s = s->getObjectAccessor(3, 3)->getObjectAccessor(12, 12)->getObjectAccessor(5, 8);
  } else {
    s = s->getObjectAccessor(12, 12)->getObjectAccessor(7, 7);
  }
  return s;
}

TEST(CredentialMasking, PasswordIsBlankedAndEverythingElseKept) {
  kqtest::ScopedConfig cfg;
  for (bool download : {true, false}) {
    std::string original = JobOptionXml(download, "S3cr3t<&>");
    std::string xml = original;
    ASSERT_EQ(0, CPatchInstallCommon::DoXMLHide(xml, download));
    EXPECT_EQ(std::string::npos, xml.find("S3cr3t"));
    TMMsg::JobOption before;
    TMMsg::JobOption after;
    ASSERT_EQ(0, before.unserialize(original));
    ASSERT_EQ(0, after.unserialize(xml));
    EXPECT_EQ("", AuthSection(after, download)->getpstringobject(2, 5));
    EXPECT_EQ(1, AuthSection(after, download)->getpstringEncryptType(2, 5));
    // Only the password changed.
    const_cast<CNMessageBase*>(AuthSection(before, download))
        ->setpstringobject(2, 5, "", Annotation::PasswordEncryptStandard);
    EXPECT_EQ(before, after);
    // Masking again finds nothing to mask and leaves the text alone.
    std::string again = xml;
    ASSERT_EQ(0, CPatchInstallCommon::DoXMLHide(again, download));
    EXPECT_EQ(xml, again);
  }
  std::string log = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(std::string::npos, log.find(" DoXMLHide Masking input GUI XML for download/copy"));
  EXPECT_NE(std::string::npos, log.find(" DoXMLHide Masking input GUI XML for push"));
  EXPECT_NE(std::string::npos, log.find("No item found for masking for push job"));
}

TEST(CredentialMasking, APasswordSentAsPlainTextIsMaskedToo) {
  kqtest::ScopedConfig cfg;
  for (bool download : {true, false}) {
    std::string xml = JobOptionXml(download, "PlainS3cret", false);
    ASSERT_NE(std::string::npos, xml.find("PlainS3cret"));
    ASSERT_EQ(0, CPatchInstallCommon::DoXMLHide(xml, download));
    EXPECT_EQ(std::string::npos, xml.find("PlainS3cret"));
    TMMsg::JobOption after;
    ASSERT_EQ(0, after.unserialize(xml));
    EXPECT_EQ("", AuthSection(after, download)->getpstringobject(2, 5));
    EXPECT_EQ("", AuthSection(after, download)->getstring(2, 5));
    EXPECT_EQ("domain\\user", AuthSection(after, download)->getstring(1, 1));
  }
}

TEST(CredentialMasking, NothingToMaskLeavesTheTextByteForByte) {
  kqtest::ScopedConfig cfg;
  for (bool download : {true, false}) {
    // Empty password.
    std::string xml = JobOptionXml(download, "");
    std::string same = xml;
    EXPECT_EQ(0, CPatchInstallCommon::DoXMLHide(same, download));
    EXPECT_EQ(xml, same);
    // The other job kind's layout has no client-authentication section for this flag.
    xml = JobOptionXml(!download, "pw");
    same = xml;
    EXPECT_EQ(0, CPatchInstallCommon::DoXMLHide(same, download));
    EXPECT_EQ(xml, same);
  }
  // A job option without any sections.
  std::string bare;
  ASSERT_EQ(0, TMMsg::JobOption().serialize(bare));
  std::string same = bare;
  EXPECT_EQ(0, CPatchInstallCommon::DoXMLHide(same, true));
  EXPECT_EQ(bare, same);
  std::string log = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(std::string::npos, log.find("No Client auth section found for download/copy job."));
  EXPECT_NE(std::string::npos, log.find("No Client auth job section found for push job."));
}

TEST(CredentialMasking, BadXmlReturnsTheDecoderCodeAndKeepsTheText) {
  kqtest::ScopedConfig cfg;
  // Text that does not decode as a job option.
  for (const std::string& text :
       {std::string(), std::string("<m s=\"12\" id=\"262\">"), std::string("<m s=\"23\" id=\"83\"/>")}) {
    std::string xml = text;
    EXPECT_NE(0, CPatchInstallCommon::DoXMLHide(xml, true)) << text;
    EXPECT_EQ(text, xml);
  }
  // A section where a nested message was expected is no section.
  const std::string textSection = "<m s=\"12\" id=\"262\"><s i=\"3\" t=\"3\">text</s></m>";
  std::string xml = textSection;
  EXPECT_EQ(0, CPatchInstallCommon::DoXMLHide(xml, true));
  EXPECT_EQ(textSection, xml);
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile())
                                   .find("Failed to unserialize input GUI xml with error code [1]"));
}

}  // namespace
