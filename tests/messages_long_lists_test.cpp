// Long lists of messages in large texts, which the reader reads in ranges on several threads:
// the messages, and the answer to a bad text, are those of the reading of a short text, which
// takes one thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CatalogueFixture.h"
#include "Messages/UpdatePatches.h"

namespace {

using UpdatePatches::HotfixList;

// Texts of at least this size with lists of at least kLongList elements are read on several
// threads; the texts below are well above both.
constexpr size_t kLargeText = 1 << 20;
constexpr int kLongList = 6000;

// The usual element of the list (about 330 bytes): strings, a number, a hexadecimal value with
// a NUL byte, lists of each kind and a nested message.
std::string Element(int k) {
  const std::string n = std::to_string(k);
  return "<m s=\"23\" id=\"1007\"><s i=\"1\" t=\"1\">T" + n + ".zip &amp; more</s>"
         "<i i=\"2\" t=\"5\">" + std::to_string(k % 40 - 20) + "</i>"
         "<s i=\"4\" t=\"10\" x=\"1\">00" + (k % 2 ? "ff" : "41") + "</s>"
         "<ps i=\"5\" t=\"12\" e=\"1\">secret " + n + "</ps>"
         "<li i=\"6\" t=\"15\">1 -2 " + n + "</li>"
         "<ls i=\"7\" t=\"16\"><v>a" + n + "</v><v/></ls>"
         "<lo i=\"8\" t=\"17\"><m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">BinaryPayload\\Packages\\" +
         n + "\\lib.so</s></m></lo>"
         "<o i=\"9\" t=\"18\" s=\"23\" id=\"152\"><i i=\"1\" t=\"1\">" + n + "</i></o></m>";
}

// count elements; element k is special(k) where that is not empty.
template <typename Special>
std::string Elements(int count, Special special) {
  std::string text;
  for (int k = 0; k < count; ++k) {
    const std::string s = special(k);
    text += s.empty() ? Element(k) : s;
  }
  return text;
}

std::string NoSpecial(int) { return std::string(); }

// A hotfix list of count elements; element k is special(k) where that is not empty.
template <typename Special>
std::string ListText(int count, Special special) {
  return "<m s=\"23\" id=\"45\"><lo i=\"1\" t=\"1\">" + Elements(count, special) + "</lo></m>";
}

// The answer to a text: the result, the context filled, and the message, which starts as a
// marker so that it shows whether a failure left it untouched.
struct Answer {
  int rc;
  KqXMLContextInfo context;
  HotfixList message;
};

HotfixList Marker() {
  HotfixList m;
  m.setstring(90, 90, "untouched");
  return m;
}

Answer Read(const std::string& text) {
  Answer a{0, {}, Marker()};
  a.rc = XMLDecoder::unSerialize(a.message, text, &a.context);
  return a;
}

Answer ReadInPlace(std::string text) {
  Answer a{0, {}, Marker()};
  a.rc = XMLDecoder::unSerializeInPlace(a.message, &text[0], text.size(), &a.context);
  return a;
}

void ExpectSameAnswer(const Answer& expected, const Answer& got, const std::string& where) {
  EXPECT_EQ(expected.rc, got.rc) << where;
  EXPECT_EQ(expected.context.result, got.context.result) << where;
  EXPECT_EQ(expected.context.error, got.context.error) << where;
  EXPECT_EQ(expected.context.offset, got.context.offset) << where;
  EXPECT_TRUE(expected.message == got.message) << where;
}

TEST(MessageLongLists, ReadBackAsWritten) {
  // The catalogue generator's texts, written by the writer.
  const UpdatePatches::BinaryInfo catalogue = kqfixture::MakeCatalogue(3 * kLargeText);
  std::string xml;
  ASSERT_EQ(0, XMLEncoder::serialize(catalogue, xml));
  ASSERT_GT(xml.size(), 2 * kLargeText);
  UpdatePatches::BinaryInfo read;
  ASSERT_EQ(kMsgOk, XMLDecoder::unSerialize(read, xml));
  EXPECT_TRUE(catalogue == read);
  UpdatePatches::BinaryInfo inPlace;
  std::string buffer = xml;
  ASSERT_EQ(kMsgOk, XMLDecoder::unSerializeInPlace(inPlace, &buffer[0], buffer.size()));
  EXPECT_TRUE(catalogue == inPlace);

  // Every kind of field, hexadecimal values, one element far larger than the others (a long
  // list of its own, read within its range), and blanks, comments and blank CDATA sections
  // (nodes of the list that are no elements) between the elements.
  const int big = 1234;
  auto special = [&](int k) {
    if (k == big) {
      std::string e = "<m s=\"23\" id=\"1007\"><lo i=\"8\" t=\"17\">";
      for (int j = 0; j < 3000; ++j)
        e += "<m s=\"23\" id=\"83\"><s i=\"1\" t=\"1\">f" + std::to_string(j) + "</s></m>";
      return e + "</lo></m>";
    }
    if (k % 1000 == 7) return " <!-- " + std::to_string(k) + " -->\t" + Element(k) + " ";
    if (k % 100 == 50) return "<![CDATA[ ]]>" + Element(k);
    return std::string();
  };
  const std::string text = ListText(kLongList, special);
  ASSERT_GT(text.size(), kLargeText);
  const Answer a = Read(text);
  ASSERT_EQ(kMsgOk, a.rc) << a.context.error;
  const std::vector<CNMessageBase>& list = *a.message.getlistobject(HotfixList::kEntries);
  ASSERT_EQ(static_cast<size_t>(kLongList), list.size());
  EXPECT_EQ(3000u, list[big].getlistobject(8, 17)->size());
  EXPECT_EQ("f2999", list[big].getlistobject(8, 17)->back().getstring(1, 1));
  for (int k : {0, 1, 7, 50, 1233, 1235, 4007, 5950, kLongList - 1}) {
    const CNMessageBase& e = list[k];
    EXPECT_EQ(1007, e.getMessageId());
    EXPECT_EQ("T" + std::to_string(k) + ".zip & more", e.getstring(1, 1));
    EXPECT_EQ(k % 40 - 20, e.getint64(5));
    EXPECT_EQ(std::string(1, '\0') + (k % 2 ? "\xff" : "A"), e.getstring(4, 10));
    EXPECT_EQ("secret " + std::to_string(k), e.getpstringobject(5, 12));
    EXPECT_EQ((std::vector<int>{1, -2, k}), *e.getlistint(6, 15));
    EXPECT_EQ((std::vector<std::string>{"a" + std::to_string(k), ""}), *e.getliststring(7, 16));
    ASSERT_NE(nullptr, e.getObjectAccessor(9, 18));
    EXPECT_EQ(k, e.getObjectAccessor(9, 18)->getint64(1));
  }
  // Written again, the messages give the text without the blanks and comments.
  std::string again;
  ASSERT_EQ(0, XMLEncoder::serialize(a.message, again));
  auto plain = [&](int k) { return k == big ? special(k) : std::string(); };
  EXPECT_EQ(ListText(kLongList, plain), again);
  // In place, the same messages.
  const Answer b = ReadInPlace(text);
  ASSERT_EQ(kMsgOk, b.rc);
  EXPECT_TRUE(a.message == b.message);
}

// Faults of one element, each with the answer the reading of a short list gives.
struct Fault {
  const char* what;
  std::string element;
};

std::vector<Fault> Faults() {
  std::string deep = "<m s=\"23\" id=\"1007\">";
  for (int k = 0; k < kMaxMessageDepth; ++k) deep += "<o i=\"9\" t=\"18\" s=\"23\" id=\"152\">";
  for (int k = 0; k < kMaxMessageDepth; ++k) deep += "</o>";
  deep += "</m>";
  return {
      {"bad number", "<m s=\"23\" id=\"1007\"><i i=\"2\" t=\"5\">12x</i></m>"},
      {"unknown field", "<m s=\"23\" id=\"1007\"><zz i=\"3\" t=\"3\"/></m>"},
      {"bad hexadecimal", "<m s=\"23\" id=\"1007\"><s i=\"4\" t=\"10\" x=\"1\">0g</s></m>"},
      {"repeated tag", "<m s=\"23\" id=\"1007\"><s i=\"1\" t=\"1\"/><s i=\"2\" t=\"1\"/></m>"},
      {"no class", "<m s=\"23\"><s i=\"1\" t=\"1\"/></m>"},
      {"text between elements", "stray text"},
      {"other element", "<v/>"},
      {"too deep", deep},
  };
}

// The answer of the short list [usual, fault, usual], read on one thread.
Answer ShortListAnswer(const std::string& fault) {
  const std::string text = ListText(3, [&](int k) { return k == 1 ? fault : std::string(); });
  EXPECT_LT(text.size(), kLargeText);
  return Read(text);
}

TEST(MessageLongLists, FirstFailureInDocumentOrderWins) {
  const std::vector<Fault> faults = Faults();
  std::vector<Answer> expected;
  for (const Fault& f : faults) {
    expected.push_back(ShortListAnswer(f.element));
    ASSERT_NE(kMsgOk, expected.back().rc) << f.what;
    ASSERT_EQ("untouched", expected.back().message.getstring(90, 90));
  }
  // Faults at the ends, in the middle, and on both sides of where ranges are likely cut.
  const std::vector<int> places = {0, 1, 63, 64, 511, 512, 2999, 3000, kLongList - 1};
  for (size_t f = 0; f < faults.size(); ++f) {
    for (int at : places) {
      const std::string text = ListText(kLongList, [&](int k) {
        return k == at ? faults[f].element : std::string();
      });
      const std::string where = std::string(faults[f].what) + " at " + std::to_string(at);
      ExpectSameAnswer(expected[f], Read(text), where);
      const Answer inPlace = ReadInPlace(text);
      if (at == 0 && faults[f].element == "stray text") {
        // Text first in the list is stored as the list's own value, which only the plain
        // reading takes together with elements.
        EXPECT_EQ(kMsgRetryWithText, inPlace.rc);
        EXPECT_EQ("untouched", inPlace.message.getstring(90, 90));
        continue;
      }
      ExpectSameAnswer(expected[f], inPlace, where + ", in place");
    }
  }
  // Two faults: the earlier one is reported, wherever the later one lies; also when the later
  // one is found first (the first element of the next range, read while the earlier fault's
  // range is still being read).
  const std::vector<std::pair<int, int>> pairs = {
      {5, 5990}, {5990, 5}, {3000, 3001}, {3001, 3000}, {127, 128}, {128, 127},
      {1023, 1024}, {1024, 1023}, {2047, 2048}, {4095, 4096}};
  for (const auto& p : pairs) {
    const size_t first = 0;  // bad number at p.first
    const size_t second = 1; // unknown field at p.second
    const std::string text = ListText(kLongList, [&](int k) {
      if (k == p.first) return faults[first].element;
      if (k == p.second) return faults[second].element;
      return std::string();
    });
    const size_t wins = p.first < p.second ? first : second;
    const std::string where = std::to_string(p.first) + " and " + std::to_string(p.second);
    ExpectSameAnswer(expected[wins], Read(text), where);
    ExpectSameAnswer(expected[wins], ReadInPlace(text), where + ", in place");
  }
}

// A value that only the plain reading takes (a comment inside it) makes the in-place reading
// hand the text back, unless a fault comes before it; the copying reading then reads it the
// plain way and reports the fault wherever it lies.
TEST(MessageLongLists, TextsForThePlainReadingAndFaultsInEitherOrder) {
  const std::string mixed = "<m s=\"23\" id=\"1007\"><s i=\"1\" t=\"1\">a<!--c-->b</s></m>";
  const Fault fault = Faults()[0];
  const Answer faultAnswer = ShortListAnswer(fault.element);
  const Answer mixedAnswer = ShortListAnswer(mixed);
  ASSERT_EQ(kMsgErrStructure, mixedAnswer.rc);  // read the plain way: text mixed with a comment
  for (const auto& p : std::vector<std::pair<int, int>>{{100, 5000}, {5000, 100}, {2999, 3000}}) {
    const int mixedAt = p.first;
    const int faultAt = p.second;
    const std::string text = ListText(kLongList, [&](int k) {
      if (k == mixedAt) return mixed;
      if (k == faultAt) return fault.element;
      return std::string();
    });
    const std::string where = std::to_string(mixedAt) + " and " + std::to_string(faultAt);
    const Answer inPlace = ReadInPlace(text);
    if (mixedAt < faultAt) {
      EXPECT_EQ(kMsgRetryWithText, inPlace.rc) << where;
      EXPECT_EQ(kMsgRetryWithText, inPlace.context.result) << where;
      EXPECT_EQ("untouched", inPlace.message.getstring(90, 90)) << where;
      ExpectSameAnswer(mixedAnswer, Read(text), where);
    } else {
      ExpectSameAnswer(faultAnswer, inPlace, where);
      ExpectSameAnswer(faultAnswer, Read(text), where);
    }
  }
  // Without a fault, the plain reading of a value that it takes reads the list whole.
  const std::string leading = "<m s=\"23\" id=\"1007\"><s i=\"1\" t=\"1\">ab<!--c--> </s></m>";
  const std::string text = ListText(kLongList, [&](int k) {
    return k == 4321 ? leading : std::string();
  });
  EXPECT_EQ(kMsgRetryWithText, ReadInPlace(text).rc);
  const Answer a = Read(text);
  ASSERT_EQ(kMsgOk, a.rc) << a.context.error;
  EXPECT_EQ(kMsgOk, a.context.result);
  EXPECT_EQ("", a.context.error);
  const std::vector<CNMessageBase>& list = *a.message.getlistobject(HotfixList::kEntries);
  ASSERT_EQ(static_cast<size_t>(kLongList), list.size());
  EXPECT_EQ("ab", list[4321].getstring(1, 1));
  EXPECT_EQ("T4322.zip & more", list[4322].getstring(1, 1));
}

// One large text with several lists, among them long ones and a long one nested in an element
// of a short one: each is read whole, and a fault in any of them gives the answer of a short
// list holding that fault; with faults in two lists, the earlier one's.
TEST(MessageLongLists, SeveralListsInOneText) {
  // lists[i] goes into object list field i + 1.
  auto text = [](const std::vector<std::string>& lists) {
    std::string t = "<m s=\"23\" id=\"45\">";
    for (size_t i = 0; i < lists.size(); ++i) {
      const std::string field = std::to_string(i + 1);
      t += "<lo i=\"" + field + "\" t=\"" + field + "\">" + lists[i] + "</lo>";
    }
    return t + "</m>";
  };
  auto nesting = [](const std::string& inner) {
    return "<m s=\"23\" id=\"1007\"><lo i=\"8\" t=\"17\">" + inner + "</lo></m>" + Element(1);
  };
  const std::string longList = Elements(kLongList, NoSpecial);
  const std::string nested = nesting(Elements(2000, NoSpecial));
  const std::string whole = text({longList, Elements(10, NoSpecial), longList, nested});
  ASSERT_GT(whole.size(), kLargeText);
  for (int round = 0; round < 3; ++round) {
    const Answer a = round == 2 ? ReadInPlace(whole) : Read(whole);
    ASSERT_EQ(kMsgOk, a.rc) << a.context.error;
    EXPECT_EQ("", a.context.error);
    const std::vector<size_t> sizes = {kLongList, 10, kLongList, 2};
    for (size_t i = 0; i < sizes.size(); ++i) {
      const int f = static_cast<int>(i + 1);
      const std::vector<CNMessageBase>* list = a.message.getlistobject(f, f);
      ASSERT_NE(nullptr, list) << f;
      ASSERT_EQ(sizes[i], list->size()) << f;
      EXPECT_EQ("T" + std::to_string(sizes[i] - 1) + ".zip & more", list->back().getstring(1, 1));
    }
    const std::vector<CNMessageBase>* inner = (*a.message.getlistobject(4, 4))[0].getlistobject(8, 17);
    ASSERT_NE(nullptr, inner);
    ASSERT_EQ(2000u, inner->size());
    EXPECT_EQ("T1999.zip & more", (*inner)[1999].getstring(1, 1));
  }

  const std::vector<Fault> faults = Faults();
  const Answer first = ShortListAnswer(faults[0].element);
  const Answer second = ShortListAnswer(faults[1].element);
  auto faulty = [&](size_t f, int at) {
    return Elements(kLongList, [&](int k) { return k == at ? faults[f].element : std::string(); });
  };
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"first list", {faulty(0, 3000), longList}},
      {"second list", {longList, faulty(0, 10)}},
      {"both lists", {faulty(0, kLongList - 1), faulty(1, 0)}},
      {"nested list", {longList, nesting(Elements(2000, [&](int k) {
                         return k == 1500 ? faults[0].element : std::string();
                       }))}},
      {"nested list, then the next", {nested, faulty(1, 5)}},
  };
  for (const auto& c : cases) {
    const Answer& expected = c.first == "nested list, then the next" ? second : first;
    ExpectSameAnswer(expected, Read(text(c.second)), c.first);
    ExpectSameAnswer(expected, ReadInPlace(text(c.second)), c.first + ", in place");
  }

  // A large text without a long list is read whole too.
  const std::string padding = "<s i=\"90\" t=\"90\">" + std::string(kLargeText, 'x') + "</s>";
  std::string noLong = text({Elements(500, NoSpecial)});
  noLong.insert(noLong.size() - 4, padding);
  const Answer a = Read(noLong);
  ASSERT_EQ(kMsgOk, a.rc) << a.context.error;
  EXPECT_EQ(500u, a.message.getlistobject(1, 1)->size());
  EXPECT_EQ(kLargeText, a.message.getstring(90, 90).size());
}

}  // namespace
