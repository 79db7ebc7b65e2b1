// The message library: fields by index and tag, value semantics, stable addresses, the XML
// text round trip and the refusal of bad text.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "KqTestEnv.h"
#include "MessageFile.h"
#include "Messages/EVGui.h"
#include "Messages/MessageTextScan.h"
#include "Messages/TMMsg.h"
#include "Messages/UpdatePatches.h"

namespace {

using UpdatePatches::BinaryV11;
using UpdatePatches::CacheOpReq;
using UpdatePatches::File;
using UpdatePatches::FilesForOS;
using UpdatePatches::FilesForRel;

File MakeFile(const std::string& name, const std::string& checksum) {
  File f;
  f.setstring(File::kName, name);
  f.setstring(File::kChecksum, checksum);
  return f;
}

// A request with every kind of field, nested three levels deep.
CacheOpReq MakeRequest() {
  CacheOpReq req;
  req.setstring(CacheOpReq::kErrorText, "none");
  req.setint64(CacheOpReq::kOperationCode, 9);
  CNMessageBase* client = req.getObjectAccessor(CacheOpReq::kRemClientInfo);
  client->setstring(UpdatePatches::RemClientInfo::kCachePath, "/cache/root");
  client->setint64(UpdatePatches::RemClientInfo::kOSId, 12);
  std::vector<CNMessageBase>* rels = req.getlistobject(CacheOpReq::kReleases);
  FilesForRel rel;
  rel.setint64(FilesForRel::kReleaseId, 16);
  rel.getObjectAccessor(FilesForRel::kSPVersion)->setint64(UpdatePatches::SPVersion::kMajor, 4);
  FilesForOS os;
  os.setint64(FilesForOS::kOSId, 3);
  os.setlistint(FilesForOS::kPackageIds, {1, -2, 2147483647, -2147483647 - 1});
  os.getlistobject(FilesForOS::kSPFiles)->push_back(MakeFile("a/b.txt", "891568578"));
  os.getlistobject(FilesForOS::kSPFiles)->push_back(MakeFile("c.txt", "0"));
  BinaryV11 bin;
  bin.setstring(BinaryV11::kChecksum, "0xcadbbe3d");
  bin.setstring(BinaryV11::kRelativePath, "BinaryPayload/x.dll");
  os.getlistobject(FilesForOS::kMediaFiles)->push_back(bin);
  rel.getlistobject(FilesForRel::kOSList)->push_back(os);
  rels->push_back(rel);
  req.setliststring(CacheOpReq::kObsoleteSPFolders, {"SP10", "", "SP 11 <old> & \"x\""});
  req.setpstringobject(40, 41, "secret", Annotation::PasswordEncryptStandard);
  return req;
}

std::string Serialize(const CNMessageBase& m) {
  std::string xml;
  EXPECT_EQ(0, m.serialize(xml));
  return xml;
}

std::string WithoutLineBreaks(std::string text) {
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }),
             text.end());
  return text;
}

TEST(MessageFields, StringsIntsAndListsByIndexAndTag) {
  File f = MakeFile("n", "c");
  EXPECT_EQ("n", f.getstring(1, 1));
  EXPECT_EQ("c", f.getstring(2, 5));
  EXPECT_EQ("c", f.getstringByRef(File::kChecksum));
  EXPECT_TRUE(f.isSet(2));
  EXPECT_FALSE(f.isSet(5));  // isSet takes the index, not the tag
  EXPECT_EQ("", f.getstring(3, 3));
  EXPECT_EQ(0, f.getint64(1));  // a string field does not read as a number

  f.setint64(1, 1, 77);  // another kind under the same tag replaces the field
  EXPECT_EQ(77, f.getint64(1));
  EXPECT_EQ("", f.getstring(1, 1));
  EXPECT_EQ(2u, f.fields().size());

  f.unset(1);
  EXPECT_FALSE(f.isSet(1));
  EXPECT_EQ(0, f.getint64(1));
}

TEST(MessageFields, ConstReadsOfMissingFieldsCreateNothing) {
  const FilesForOS os;
  EXPECT_TRUE(os.getlistobject(FilesForOS::kMediaFiles)->empty());
  EXPECT_TRUE(os.getlistint(FilesForOS::kPackageIds)->empty());
  EXPECT_EQ(nullptr, os.getObjectAccessor(4, 4));
  EXPECT_TRUE(os.fields().empty());
}

TEST(MessageFields, ListAndObjectAddressesStayWhileFieldsAreAdded) {
  CacheOpReq req;
  std::vector<CNMessageBase>* rels = req.getlistobject(7, 10, 0, 0, false);
  CNMessageBase* client = req.getObjectAccessor(true, false, 5, 8, 0, 0, 23, 74);
  std::vector<int>* ints = req.getlistint(50, 50);
  for (int k = 100; k < 300; ++k) req.setint64(k, k, k);
  rels->push_back(FilesForRel());
  client->setstring(2, 5, "/c");
  ints->push_back(4);
  EXPECT_EQ(rels, req.getlistobject(7, 10, 0, 0, false));
  EXPECT_EQ(client, req.getObjectAccessor(true, true, 5, 8, 0, 0, 23, 74));
  EXPECT_EQ(1u, req.getlistobject(7, 10)->size());
  EXPECT_EQ("/c", req.getObjectAccessor(5, 8)->getstring(2, 5));
  EXPECT_EQ(74, client->getMessageId());
  EXPECT_EQ(std::vector<int>{4}, *req.getlistint(50, 50));
}

TEST(MessageFields, CopiesAreDeepAndSettersCopyFromTheSameMessage) {
  CacheOpReq a = MakeRequest();
  CacheOpReq b(a);
  EXPECT_EQ(a, b);
  b.getlistobject(CacheOpReq::kReleases)->clear();
  b.getObjectAccessor(CacheOpReq::kRemClientInfo)->setstring(2, 5, "/other");
  EXPECT_EQ(1u, a.getlistobject(CacheOpReq::kReleases)->size());
  EXPECT_EQ("/cache/root", a.getObjectAccessor(5, 8)->getstring(2, 5));
  EXPECT_NE(a, b);

  // Setting a field from a value that lives in the same message.
  a.setlistobject(30, 30, a.getlistobject(CacheOpReq::kReleases));
  a.setObjectAccessor(a.getObjectAccessor(CacheOpReq::kRemClientInfo), 31, 31);
  a.setstring(32, 32, a.getstringByRef(CacheOpReq::kErrorText));
  EXPECT_EQ(*a.getlistobject(7, 10), *a.getlistobject(30, 30));
  EXPECT_EQ(*a.getObjectAccessor(5, 8), *a.getObjectAccessor(31, 31));
  EXPECT_EQ("none", a.getstring(32, 32));
  a.setObjectAccessor(nullptr, 31, 31);
  EXPECT_FALSE(a.isSet(31));
}

TEST(MessageFields, TypedClassesCarryTheirIds) {
  EXPECT_EQ(23, File().getSubsystem());
  EXPECT_EQ(83, File().getMessageId());
  EXPECT_EQ(25, BinaryV11().getMessageId());
  EXPECT_EQ(48, FilesForRel().getMessageId());
  EXPECT_EQ(26, FilesForOS().getMessageId());
  EXPECT_EQ(152, UpdatePatches::SPVersion().getMessageId());
  EXPECT_EQ(181, UpdatePatches::FullVersion().getMessageId());
  EXPECT_EQ(13, EVGui::GetFTPServicePackInfoResp().getSubsystem());
  EXPECT_EQ(557, EVGui::GetFTPServicePackInfoResp().getMessageId());
  EXPECT_EQ(12, TMMsg::JobOption().getSubsystem());
  EXPECT_EQ(262, TMMsg::JobOption().getMessageId());
  EXPECT_EQ(19, BinaryV11::kRelativePath.tag);
  EXPECT_EQ(152, FilesForRel::kSPVersion.id);

  UpdatePatches::RegisterSubsystem();
  UpdatePatches::RegisterSubsystem();  // twice is harmless
  EVGui::RegisterSubsystem();
  EXPECT_STREQ("File", KqMessageClassName(23, 83));
  EXPECT_STREQ("CacheSyncRsp", KqMessageClassName(23, UpdatePatches::CacheSyncRsp::kMessageId));
  EXPECT_STREQ("SPCUInfo", KqMessageClassName(13, 1001));
  EXPECT_EQ(nullptr, KqMessageClassName(99, 1));
}

TEST(MessageXmlRoundTrip, NestedListsAndEveryKind) {
  CacheOpReq req = MakeRequest();
  std::string xml = Serialize(req);
  CacheOpReq back;
  ASSERT_EQ(0, back.unserialize(xml));
  EXPECT_EQ(req, back);
  EXPECT_EQ("secret", back.getpstringobject(40, 41));
  EXPECT_EQ(1, back.getpstringEncryptType(40, 41));
  const CNMessageBase& os = (*back.getlistobject(7, 10))[0].getlistobject(2, 2)->at(0);
  EXPECT_EQ("a/b.txt", os.getlistobject(4, 4)->at(0).getstring(1, 1));
  EXPECT_EQ(Serialize(req), Serialize(back));
}

// The writer's own texts, also their line-break-free form that the file loaders make, read in
// place to the message the copying reading gives, and never need that reading.
TEST(MessageXmlRoundTrip, InPlaceReadingOfWrittenTexts) {
  std::string nasty = "a\r\nb &amp; <c> ]]> \x01";
  nasty += std::string("\0z", 2);
  CacheOpReq req = MakeRequest();
  req.setstring(60, 61, nasty);
  req.setliststring(62, 62, {"", " ", nasty});
  File empty;
  for (const CNMessageBase* m : {static_cast<const CNMessageBase*>(&req),
                                 static_cast<const CNMessageBase*>(&empty)}) {
    std::string text = WithoutLineBreaks(Serialize(*m));
    CNMessageBase copied(m->getSubsystem(), m->getMessageId());
    ASSERT_EQ(kMsgOk, XMLDecoder::unSerialize(copied, text));
    CNMessageBase inPlace(m->getSubsystem(), m->getMessageId());
    ASSERT_EQ(kMsgOk, XMLDecoder::unSerializeInPlace(inPlace, &text[0], text.size()));
    EXPECT_EQ(*m, inPlace);
    EXPECT_EQ(copied, inPlace);
  }
  // No text, and a text of another class, are refused like by the copying reading.
  File f = MakeFile("keep", "me");
  EXPECT_EQ(kMsgErrSyntax, XMLDecoder::unSerializeInPlace(f, nullptr, 0));
  EXPECT_EQ(kMsgErrStructure, XMLDecoder::unSerializeInPlace(f, nullptr, 3));
  std::string other = Serialize(req);
  EXPECT_EQ(kMsgErrClass, XMLDecoder::unSerializeInPlace(f, &other[0], other.size()));
  EXPECT_EQ(MakeFile("keep", "me"), f);
}

TEST(MessageXmlRoundTrip, EmptyMessagesListsAndValues) {
  File empty;
  File back = MakeFile("x", "y");
  ASSERT_EQ(0, XMLDecoder::unSerialize(back, Serialize(empty)));
  EXPECT_TRUE(back.fields().empty());

  FilesForOS os;
  os.getlistobject(FilesForOS::kMediaFiles);
  os.getlistint(FilesForOS::kPackageIds);
  os.getliststring(9, 9)->push_back("");
  os.setstring(10, 10, "");
  os.getObjectAccessor(true, true, 11, 11, 0, 0, 23, 83);
  FilesForOS osBack;
  ASSERT_EQ(0, osBack.unserialize(Serialize(os)));
  EXPECT_EQ(os, osBack);
  EXPECT_TRUE(osBack.isSet(7));
  EXPECT_TRUE(osBack.getlistobject(7, 7)->empty());
  EXPECT_EQ(std::vector<std::string>{""}, *osBack.getliststring(9, 9));
}

TEST(MessageXmlRoundTrip, LineBreaksControlBytesAndMarkupSurviveLineBreakRemoval) {
  std::string nasty = "line1\r\nline2\n\ttab \x01\x1f\x7f end  ";
  nasty += std::string("\0mid", 4);
  const std::vector<std::string> values = {"a\r\nb", "  ", " lead", "<tag attr=\"v\">&amp;</tag>",
                                           "]]>", "\xc3\xa9t\xc3\xa9", nasty, "\n"};
  File f;
  std::vector<std::string> list;
  for (size_t k = 0; k < values.size(); ++k) {
    f.setstring(static_cast<int>(k + 1), static_cast<int>(k + 1), values[k]);
    list.push_back(values[k]);
  }
  f.setliststring(50, 50, list);
  f.setpstringobject(51, 51, "p\r\nw", Annotation::PasswordEncryptStandard);
  std::string xml = Serialize(f);
  EXPECT_EQ(std::string::npos, xml.find('\n'));
  EXPECT_EQ(std::string::npos, xml.find('\r'));
  File back;
  ASSERT_EQ(0, back.unserialize(WithoutLineBreaks(xml)));
  EXPECT_EQ(f, back);
  for (size_t k = 0; k < values.size(); ++k)
    EXPECT_EQ(values[k], back.getstring(static_cast<int>(k + 1), static_cast<int>(k + 1)));
}

// The one-pass search for two bytes answers as two plain searches would: for every length around
// its block size, every start alignment, either byte, both or neither at every place, and filler
// that holds NULs and bytes one off from the ones searched for; nothing outside the text counts.
TEST(MessageTextScan, FindsEachByteWhereverItStands) {
  auto plain = [](const std::string& t, char c) { return t.find(c) != std::string::npos; };
  std::string filler;
  for (int k = 0; k < 400; ++k) filler += "ab\0%'\x0c\x0e<x>\xff"[k % 10];
  for (size_t align = 0; align < 3; ++align) {
    for (size_t size : {0, 1, 63, 64, 65, 127, 128, 129, 191, 200, 257}) {
      std::vector<std::string> texts = {filler.substr(0, size)};
      for (size_t at = 0; at < size; ++at) {
        for (char c : {'&', '\r'}) {
          texts.push_back(texts[0]);
          texts.back()[at] = c;
        }
        // The other byte at every later place, in the same block or any after it.
        for (size_t then = at + 1; then < size; then += 7) {
          texts.push_back(texts[0]);
          texts.back()[at] = '&';
          texts.back()[then] = '\r';
          texts.push_back(texts[0]);
          texts.back()[at] = '\r';
          texts.back()[then] = '&';
        }
      }
      for (const std::string& text : texts) {
        // Both bytes just before and just after the text, which must not be seen.
        std::string shifted = std::string(align, '&') + text + std::string(80, '\r') + "&";
        const kq::TwoBytesFound found = kq::FindTwoBytes(shifted.data() + align, size, '&', '\r');
        ASSERT_EQ(plain(text, '&'), found.first) << "size " << size << " align " << align;
        ASSERT_EQ(plain(text, '\r'), found.second) << "size " << size << " align " << align;
      }
    }
  }
}

TEST(MessageXmlRoundTrip, UnknownFieldsAndClassesSurvive) {
  // A peer's text with fields and nested classes that no class table here names.
  const std::string peer =
      "<m s=\"23\" id=\"83\">\n"
      "  <s i=\"1\" t=\"1\">known</s>\n"
      "  <i i=\"9\" t=\"77\">-5</i>\n"
      "  <o i=\"10\" t=\"78\" s=\"55\" id=\"4\"><ls i=\"1\" t=\"1\"><v>q</v></ls></o>\n"
      "  <lo i=\"11\" t=\"79\"><m s=\"7\" id=\"7\"><li i=\"2\" t=\"2\"> 1  2 </li></m></lo>\n"
      "</m>\n";
  File f;
  ASSERT_EQ(0, f.unserialize(peer));
  EXPECT_EQ("known", f.getstring(File::kName));
  EXPECT_EQ(-5, f.getint64(77));
  f.setstring(File::kChecksum, "1");
  File back;
  ASSERT_EQ(0, back.unserialize(Serialize(f)));
  EXPECT_EQ(f, back);
  EXPECT_EQ("q", back.getObjectAccessor(10, 78)->getliststring(1, 1)->at(0));
  EXPECT_EQ(55, back.getObjectAccessor(10, 78)->getSubsystem());
  EXPECT_EQ((std::vector<int>{1, 2}), *back.getlistobject(11, 79)->at(0).getlistint(2, 2));
}

TEST(MessageXmlRoundTrip, CrLfTextParsesLikeLfText) {
  const std::string lf =
      "<m s=\"23\" id=\"43\">\n <lo i=\"1\" t=\"1\">\n  <m s=\"23\" id=\"83\">\n"
      "   <s i=\"1\" t=\"1\">setup.exe</s>\n   <s i=\"2\" t=\"5\">12</s>\n  </m>\n </lo>\n</m>\n";
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  UpdatePatches::InstallFiles a;
  UpdatePatches::InstallFiles b;
  UpdatePatches::InstallFiles c;
  ASSERT_EQ(0, a.unserialize(lf));
  ASSERT_EQ(0, b.unserialize(crlf));
  ASSERT_EQ(0, c.unserialize(WithoutLineBreaks(crlf)));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ("setup.exe", a.getlistobject(1, 1)->at(0).getstring(1, 1));
}

// Texts no writer of ours makes, but well-formed: comments, processing instructions and CDATA
// around values, blanks around numbers, references. Each reads to the same message whatever
// else the text holds (line ends, references elsewhere), or is refused the same way.
TEST(MessageXmlRoundTrip, UnusualButWellFormedTextsReadTheSameEverywhere) {
  struct Case {
    std::string fields;  // inside <m s="23" id="83">
    int rc;
    std::string name;  // File::kName when read
    long long number;  // field 3/3 when read
  };
  const std::vector<Case> cases = {
      {"<s i=\"1\" t=\"1\"><![CDATA[a<b]]></s>", kMsgOk, "a<b", 0},
      {"<s i=\"1\" t=\"1\">a<!--c--> </s>", kMsgOk, "a", 0},
      {"<s i=\"1\" t=\"1\"><!--c-->a</s>", kMsgOk, "a", 0},
      {"<s i=\"1\" t=\"1\">a<!--c-->b</s>", kMsgErrStructure, "", 0},
      {"<s i=\"1\" t=\"1\">a<?p x?>b</s>", kMsgErrStructure, "", 0},
      {"<s i=\"1\" t=\"1\">a<![CDATA[b]]></s>", kMsgErrStructure, "", 0},
      {"<s i=\"1\" t=\"1\"> </s>", kMsgOk, " ", 0},
      {"<s i=\"1\" t=\"1\">&#32;<!--c--> </s>", kMsgOk, " ", 0},
      {"<s i=\"1\" t=\"1\">a &amp; b</s>", kMsgOk, "a & b", 0},
      {" <!--c--> <s i=\"1\" t=\"1\">a</s> ", kMsgOk, "a", 0},
      {"<s i=\"1\" t=\"1\">a</s>x<!--c-->", kMsgErrStructure, "", 0},
      {"<i i=\"3\" t=\"3\"> +42 </i>", kMsgOk, "", 42},
      {"<i i=\"3\" t=\"3\"><![CDATA[-7]]></i>", kMsgOk, "", -7},
      {"<i i=\"3\" t=\"3\">007</i>", kMsgOk, "", 7},
      {"<i i=\"3\" t=\"3\">-0</i>", kMsgOk, "", 0},
      {"<i i=\"3\" t=\"3\">9223372036854775807</i>", kMsgOk, "", 9223372036854775807LL},
      {"<i i=\"3\" t=\"3\">-9223372036854775808</i>", kMsgOk, "", -9223372036854775807LL - 1},
      {"<i i=\"3\" t=\"3\">9223372036854775808</i>", kMsgErrNumber, "", 0},
      {"<i i=\"3\" t=\"3\">-</i>", kMsgErrNumber, "", 0},
      {"<i i=\"3\" t=\"3\">1<!--c-->2</i>", kMsgErrStructure, "", 0},
      {"<i i=\" 3\" t=\"+3\">5</i>", kMsgOk, "", 5},
      {"<i i=\"03\" t=\"003\">5</i>", kMsgOk, "", 5},
      {"<i i=\"3\" t=\"2147483648\">5</i>", kMsgErrNumber, "", 0},
      {"<lo i=\"4\" t=\"4\"> <!--c--> </lo>", kMsgOk, "", 0},
      {"<lo i=\"4\" t=\"4\">x<m s=\"1\" id=\"1\"/></lo>", kMsgErrStructure, "", 0},
      {"<ls i=\"4\" t=\"4\">x</ls>", kMsgErrStructure, "", 0},
      {"<li i=\"4\" t=\"4\">1<!--c--> 2</li>", kMsgErrStructure, "", 0},
  };
  for (const Case& c : cases) {
    const std::string text = "<m s=\"23\" id=\"83\">" + c.fields + "</m>";
    // The same text with a reference and with CR LF line ends in places that change nothing.
    const std::string variants[] = {
        text,
        "<m s=\"23\" id=\"83\"><s i=\"90\" t=\"90\">&lt;</s>" + c.fields + "</m>",
        "<m s=\"23\" id=\"83\">\r\n" + c.fields + "\r\n</m>\r\n",
    };
    for (const std::string& v : variants) {
      File m;
      KqXMLContextInfo info;
      EXPECT_EQ(c.rc, XMLDecoder::unSerialize(m, v, &info)) << v;
      EXPECT_EQ(c.rc, info.result) << v;
      // Read in place, the text gives the same answer, or is handed back untouched for the
      // copying reading.
      File inPlace = MakeFile("keep", "me");
      const File before = inPlace;
      std::string buffer = v;
      const int rc = XMLDecoder::unSerializeInPlace(inPlace, &buffer[0], buffer.size());
      if (rc != kMsgOk) {
        EXPECT_EQ(before, inPlace) << v;
      }
      if (rc != kMsgRetryWithText) {
        EXPECT_EQ(c.rc, rc) << v;
        if (rc == kMsgOk) {
          EXPECT_EQ(m, inPlace) << v;
        }
      }
      if (c.rc != kMsgOk) continue;
      EXPECT_EQ(c.name, m.getstring(File::kName)) << v;
      EXPECT_EQ(c.number, m.getint64(3)) << v;
    }
  }
}

// A syntax error is placed where the plain parse finds it, whatever the options the text needs.
TEST(MessageXmlMalformed, SyntaxErrorOffsetsDoNotDependOnTheText) {
  const std::string bad = "<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\"><![CDATA[abc</s></m>";
  KqXMLContextInfo plain;
  KqXMLContextInfo withCr;
  File m;
  EXPECT_EQ(kMsgErrSyntax, XMLDecoder::unSerialize(m, bad, &plain));
  EXPECT_EQ(kMsgErrSyntax, XMLDecoder::unSerialize(m, bad + "\r", &withCr));
  EXPECT_EQ(plain.offset, withCr.offset);
  EXPECT_EQ(plain.error, withCr.error);
}

// Every bad text gives a non-zero result, no exception, and leaves the target as it was.
TEST(MessageXmlMalformed, RefusedAndNothingHalfFilled) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"", kMsgErrSyntax},
      {"not xml at all", kMsgErrSyntax},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a</s>", kMsgErrSyntax},  // truncated
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a</x></m>", kMsgErrSyntax},
      {"<m s=\"23\" id=\"83\"/><m s=\"23\" id=\"83\"/>", kMsgErrSyntax},
      {"<message s=\"23\" id=\"83\"/>", kMsgErrStructure},
      {"<m s=\"23\"/>", kMsgErrStructure},
      {"<m s=\"23\" id=\"84\"/>", kMsgErrClass},
      {"<m s=\"13\" id=\"83\"/>", kMsgErrClass},
      {"<m s=\"23\" id=\"eighty\"/>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><s t=\"1\">a</s></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><s i=\"x\" t=\"1\">a</s></m>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><q i=\"1\" t=\"1\">a</q></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a<b/></s></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\">stray<s i=\"1\" t=\"1\">a</s></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a</s><s i=\"2\" t=\"1\">b</s></m>",
       kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><i i=\"1\" t=\"1\">12x</i></m>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><i i=\"1\" t=\"1\"></i></m>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><i i=\"1\" t=\"1\">99999999999999999999</i></m>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><li i=\"1\" t=\"1\">1 2 x</li></m>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><li i=\"1\" t=\"1\">4294967296</li></m>", kMsgErrNumber},
      {"<m s=\"23\" id=\"83\"><ls i=\"1\" t=\"1\"><w>a</w></ls></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><lo i=\"1\" t=\"1\"><m s=\"23\"/></lo></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><lo i=\"1\" t=\"1\"><s i=\"1\" t=\"1\"/></lo></m>",
       kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><o i=\"1\" t=\"1\" s=\"23\">x</o></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\" x=\"1\">abc</s></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\" x=\"1\">zz</s></m>", kMsgErrStructure},
      {"<m s=\"23\" id=\"83\"><ps i=\"1\" t=\"1\" e=\"one\">a</ps></m>", kMsgErrNumber},
      // References to no character: read, they would cut the text ("a&#0;b" as "a").
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a&#0;b</s></m>", kMsgErrSyntax},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a&#x000;b</s></m>", kMsgErrSyntax},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">a&#4294967296;b</s></m>", kMsgErrSyntax},
      {"<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\" e=\"a&#0;\">ab</s></m>", kMsgErrSyntax},
  };
  for (const auto& c : cases) {
    File target = MakeFile("keep", "me");
    const File before = target;
    KqXMLContextInfo info;
    int rc = XMLDecoder::unSerialize(target, c.first, &info);
    EXPECT_EQ(c.second, rc) << c.first;
    EXPECT_EQ(rc, info.result) << c.first;
    EXPECT_FALSE(info.error.empty()) << c.first;
    EXPECT_EQ(before, target) << c.first;
  }
  EXPECT_NE(0, XMLDecoder::unSerialize(static_cast<CNMessageBase*>(nullptr), "<m/>"));
}

// A field's index or tag may occur once per message, in whatever order the fields come; the
// fields of a nested message are its own.
TEST(MessageXmlMalformed, RepeatedIndexOrTagInAnyOrder) {
  auto message = [](const std::vector<std::pair<int, int>>& fields) {
    std::string xml = "<m s=\"23\" id=\"83\">";
    for (const auto& f : fields) {
      xml += "<i i=\"" + std::to_string(f.first) + "\" t=\"" + std::to_string(f.second) + "\">7</i>";
    }
    return xml + "</m>";
  };
  const std::vector<std::pair<std::vector<std::pair<int, int>>, int>> cases = {
      {{{1, 1}, {2, 2}, {3, 3}}, kMsgOk},
      {{{3, 3}, {1, 1}, {2, 2}}, kMsgOk},
      {{{1, 9}, {2, 8}, {3, 7}}, kMsgOk},
      {{{1, 1}, {2, 2}, {2, 5}}, kMsgErrStructure},  // index again, in rising order
      {{{1, 1}, {2, 2}, {3, 2}}, kMsgErrStructure},  // tag again
      {{{5, 5}, {1, 1}, {3, 3}, {1, 9}}, kMsgErrStructure},
      {{{5, 5}, {1, 1}, {3, 3}, {9, 3}}, kMsgErrStructure},
      {{{5, 5}, {1, 1}, {3, 3}, {9, 5}}, kMsgErrStructure},  // the first field's, after disorder
  };
  for (const auto& c : cases) {
    const std::string xml = message(c.first);
    File target;
    EXPECT_EQ(c.second, XMLDecoder::unSerialize(target, xml)) << xml;
  }
  File nested;
  EXPECT_EQ(kMsgOk, XMLDecoder::unSerialize(nested,
                                            "<m s=\"23\" id=\"83\"><i i=\"1\" t=\"1\">1</i>"
                                            "<o i=\"2\" t=\"2\" s=\"7\" id=\"7\"><i i=\"1\" t=\"1\">2</i>"
                                            "</o></m>"));
}

TEST(MessageXmlMalformed, NestingDepthIsBounded) {
  auto nested = [](int levels, bool viaList) {
    std::string open;
    std::string close;
    for (int k = 0; k < levels; ++k) {
      if (viaList) {
        open += "<lo i=\"1\" t=\"1\"><m s=\"1\" id=\"1\">";
        close += "</m></lo>";
      } else {
        open += "<o i=\"1\" t=\"1\" s=\"1\" id=\"1\">";
        close += "</o>";
      }
    }
    return "<m s=\"23\" id=\"83\">" + open + close + "</m>";
  };
  for (bool viaList : {false, true}) {
    File ok;
    EXPECT_EQ(0, ok.unserialize(nested(kMaxMessageDepth - 1, viaList)));
    File deep = MakeFile("keep", "me");
    EXPECT_EQ(kMsgErrDepth, deep.unserialize(nested(kMaxMessageDepth, viaList)));
    EXPECT_EQ("keep", deep.getstring(1, 1));
    EXPECT_EQ(kMsgErrDepth, deep.unserialize(nested(100000, viaList)));
  }

  // The writer refuses what the reader would refuse.
  File root;
  CNMessageBase* at = &root;
  for (int k = 0; k < kMaxMessageDepth + 1; ++k) at = at->getObjectAccessor(true, true, 1, 1, 0, 0, 1, 1);
  std::string xml = "unchanged";
  EXPECT_EQ(kMsgErrDepth, root.serialize(xml));
  EXPECT_EQ("unchanged", xml);
}

TEST(MessageXmlMalformed, NoEntityOrDoctypeExpansion) {
  const std::string text =
      "<!DOCTYPE m [<!ENTITY big \"EXPANDED\"><!ENTITY ext SYSTEM \"file:///etc/passwd\">]>"
      "<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">&big;&ext;</s></m>";
  File f;
  if (f.unserialize(text) == 0) {
    EXPECT_EQ(std::string::npos, f.getstring(1, 1).find("EXPANDED"));
    EXPECT_EQ(std::string::npos, f.getstring(1, 1).find("root:"));
  }
}

// The file load of the readers: CR-LF files read like LF files; missing, unreadable and bad
// files fail with their log line and leave the message alone.
TEST(MessageFileLoad, ReadsLikeTheReadersAndReportsEachFailure) {
  kqtest::ScopedConfig cfg;
  CacheOpReq req = MakeRequest();
  std::string xml = Serialize(req);
  std::string crlf;
  for (char c : xml) {
    crlf += c;
    if (c == '>') crlf += "\r\n";
  }
  kqtest::WriteFile(cfg.root() + "/req.xml", crlf);
  EvDebug log;
  CacheOpReq loaded;
  ASSERT_TRUE(KqLoadMessageFile(cfg.root() + "/req.xml", loaded, log, "Reader"));
  EXPECT_EQ(req, loaded);

  kqtest::WriteFile(cfg.root() + "/bad.xml", "<m s=\"23\" id=\"1001\"><s i=\"1\"");
  for (const std::string& path : {cfg.root() + "/missing.xml", cfg.root(), cfg.root() + "/bad.xml",
                                   cfg.root() + "/req.xml"}) {
    File other = MakeFile("keep", "me");
    const File before = other;
    EXPECT_FALSE(KqLoadMessageFile(path, other, log, "Reader")) << path;
    EXPECT_EQ(before, other) << path;
  }
  std::string text = kqtest::ReadFile(cfg.logFile());
  EXPECT_NE(std::string::npos, text.find(" Reader Input XML file [" + cfg.root() + "/missing.xml] does not exist"));
  EXPECT_NE(std::string::npos, text.find(" Reader Failed to read file [" + cfg.root() + "], error [21:"));
  EXPECT_NE(std::string::npos, text.find("Failed to unserialize XML file [" + cfg.root() + "/bad.xml] with error code [1]"));
  EXPECT_NE(std::string::npos, text.find("Failed to unserialize XML file [" + cfg.root() + "/req.xml] with error code [5]"));
}

TEST(MessageFileLoad, AFileBeyondItsKindsCapIsRefusedUnread) {
  // The files read without a cap of their own are kilobytes. A document of empty unknown
  // elements decodes into a tree many times its size: one of 16 MiB and a little is refused for
  // its size before anything is parsed.
  kqtest::ScopedConfig cfg;
  std::string xml = "<m s=\"23\" id=\"83\">";
  while (xml.size() <= (16u << 20)) xml += "<a/><a/><a/><a/><a/><a/><a/><a/>";
  xml += "</m>";
  const std::string path = cfg.root() + "/unknown.xml";
  kqtest::WriteFile(path, xml);
  EvDebug log;
  File kept = MakeFile("keep", "me");
  EXPECT_FALSE(KqLoadMessageFile(path, kept, log, "Reader"));
  EXPECT_EQ(MakeFile("keep", "me"), kept);
  EXPECT_NE(std::string::npos,
            kqtest::ReadFile(cfg.logFile())
                .find("Failed to read file [" + path + "], error [27:[" + path +
                      "] is larger than "));
  // A caller whose kind of file is larger gives its own cap, and the document is read (and
  // refused for what it holds).
  EXPECT_FALSE(KqLoadMessageFile(path, kept, log, "Reader", 32u << 20));
  EXPECT_NE(std::string::npos, kqtest::ReadFile(cfg.logFile()).find("with error code [2]"));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
TEST(MessageXmlMalformed, ManyChildrenUnderAnAddressSpaceLimitFailWithoutAborting) {
  GTEST_SKIP() << "the sanitizer reserves more address space than any limit leaves";
}
#else
// The address space the process maps now, in bytes (0 when unknown).
unsigned long long MappedBytes() {
  unsigned long long pages = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (std::fscanf(f, "%llu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
}

TEST(MessageXmlMalformed, ManyChildrenUnderAnAddressSpaceLimitFailWithoutAborting) {
  // Three documents of millions of children: empty unknown elements, distinct fields closed
  // by an unknown one, and a list of unknown elements. Each is decoded in children whose
  // address space is capped at a range of sizes above what they map already: wherever memory
  // runs out (the parse, the stack of children, the fields of the message, the threads reading
  // a list), the result is a failure, never an abort.
  std::string unknown = "<m s=\"23\" id=\"83\">";
  for (int k = 0; k < (4 << 20); ++k) unknown += "<a/>";
  unknown += "</m>";
  std::string fields = "<m s=\"23\" id=\"83\">";
  for (int k = 0; k < (2 << 20); ++k) {
    const std::string n = std::to_string(k);
    fields += "<s i=\"" + n + "\" t=\"" + n + "\"/>";
  }
  fields += "<a/></m>";
  std::string list = "<m s=\"23\" id=\"83\"><lo i=\"1\" t=\"1\">";
  for (int k = 0; k < (4 << 20); ++k) list += "<a/>";
  list += "</lo></m>";
  int outOfMemory = 0;
  for (const std::string* xml : {&unknown, &fields, &list}) {
    for (unsigned long long budgetMiB : {64, 384, 512, 640, 768, 1536}) {
      SCOPED_TRACE(std::to_string(xml->size()) + " bytes, " + std::to_string(budgetMiB) + " MiB");
      std::fflush(stdout);
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        const rlim_t limit = MappedBytes() + (budgetMiB << 20);
        struct rlimit rl = {limit, limit};
        if (::setrlimit(RLIMIT_AS, &rl) != 0) _exit(100);
        try {
          File message;
          KqXMLContextInfo context;
          const int rc = XMLDecoder::unSerialize(message, *xml, &context);
          _exit(rc == context.result && message.fields().empty() ? rc : 101);
        } catch (...) {
          _exit(102);  // what would have ended a process without a handler
        }
      }
      int status = 0;
      ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
      const int rc = WEXITSTATUS(status);
      EXPECT_NE(102, rc) << "an exception escaped the reader";
      EXPECT_TRUE(rc == kMsgErrStructure || rc == kMsgErrMemory) << rc;
      if (rc == kMsgErrMemory) ++outOfMemory;
    }
  }
  EXPECT_GT(outOfMemory, 0) << "no limit was tight enough to matter";

  // The loader's own read of the file runs out of memory the same way.
  kqtest::ScopedConfig cfg;
  const std::string path = cfg.root() + "/unknown.xml";
  kqtest::WriteFile(path, unknown);
  for (unsigned long long budgetMiB : {0, 8, 48, 1024}) {
    SCOPED_TRACE(std::to_string(budgetMiB) + " MiB");
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::malloc_trim(0);  // free memory the heap kept would hold the text under any limit
      const rlim_t limit = MappedBytes() + (budgetMiB << 20);
      struct rlimit rl = {limit, limit};
      if (::setrlimit(RLIMIT_AS, &rl) != 0) _exit(100);
      try {
        EvDebug log;
        File message;
        _exit(KqLoadMessageFile(path, message, log, "Reader", 32u << 20) ? 1 : 0);
      } catch (...) {
        _exit(102);
      }
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "102: an exception escaped the loader";
  }
}
#endif

}  // namespace
