// String, path-text and list utilities: the edge cases that break naive versions.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "UpdateUtils.h"

namespace {

TEST(PathText, SeparatorsAndTrailingCharacters) {
  std::string p = "a\\b/c\\";
  UnixPath(p);
  EXPECT_EQ(p, "a/b/c/");
  WinPath(p);
  EXPECT_EQ(p, "a\\b\\c\\");
  char buf[] = "x\\y";
  UnixPath(buf);
  EXPECT_STREQ(buf, "x/y");
  WinPath(buf);
  EXPECT_STREQ(buf, "x\\y");
  UnixPath(static_cast<char*>(nullptr));  // ignored

  std::string s = "a//";
  StripTrailingBackslash(s);
  EXPECT_EQ(s, "a/");
  s = "a \t\r \n \n";
  StripTrailingWhitespace(s);
  EXPECT_EQ(s, "a \t\r");  // tabs and carriage returns stay
  s = "x/ /\n";
  StripTrailingChars(s, '/');
  EXPECT_EQ(s, "x");
  s = "";
  StripTrailingChars(s, '/');
  StripTrailingBackslash(s);
  EXPECT_EQ(s, "");
}

TEST(PathText, SpecialCharactersFromAStartIndex) {
  std::string s = "a:b%c";
  replaceSpecialChars(s, 0, '_');
  EXPECT_EQ(s, "a_b_c");
  s = "/:*?\"<>|%x";
  replaceSpecialChars(s, 0, '-');
  EXPECT_EQ(s, "---------x");
  s = "a:b:c";
  replaceSpecialChars(s, 2, '_');
  EXPECT_EQ(s, "a:b_c");
  replaceSpecialChars(s, 99, '_');
  EXPECT_EQ(s, "a:b_c");
  s = std::string("a\0:", 3);  // an embedded zero byte is not special
  replaceSpecialChars(s, 0, '_');
  EXPECT_EQ(s, std::string("a\0_", 3));
}

TEST(CaseAndSearch, LowerCaseAndCaseBlindSearch) {
  EXPECT_EQ(ToLowerCase("SeTuP.EXE"), "setup.exe");
  EXPECT_EQ(ToLowerCase(nullptr), "");
  EXPECT_EQ(StrIStr("Setup.EXE", ".exe"), 5u);
  EXPECT_EQ(StrIStr(nullptr, ".exe"), 0xFFFFFFFFu);
  EXPECT_EQ(StrIStr("Setup.EXE", nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(StrIStr("Setup.EXE", ".msi"), 0xFFFFFFFFu);
  EXPECT_EQ(StrIStr("abc", ""), 0u);
}

TEST(CaseAndSearch, PrefixAndSuffix) {
  EXPECT_TRUE(StartsWith("SP11_0", "sp", true));
  EXPECT_FALSE(StartsWith("SP11_0", "sp", false));
  EXPECT_TRUE(StartsWith("x", "", false));
  EXPECT_FALSE(StartsWith("x", "xy", false));
  EXPECT_FALSE(StartsWith("x", nullptr, false));
  EXPECT_TRUE(EndsWith("pkg.XML", ".xml", true));
  EXPECT_FALSE(EndsWith("pkg.XML", ".xml", false));
  EXPECT_FALSE(EndsWith("ml", ".xml", true));  // suffix longer than the text
  EXPECT_TRUE(EndsWith("", "", false));
  EXPECT_FALSE(EndsWith("a", nullptr, true));
}

TEST(Truncate, CutsWholeItemsAndAlwaysEnds) {
  std::string s = "a,b,c";
  EXPECT_TRUE(TruncatePatchString(s, 3));
  EXPECT_EQ(s, "a,b,...");
  s = "a,b";
  TruncatePatchString(s, 3);
  EXPECT_EQ(s, "a,b");  // short enough: unchanged
  s = "abcdef";  // no comma at all
  TruncatePatchString(s, 3);
  EXPECT_EQ(s, "abc,...");
  s = "abcdef,g";  // cut at the comma, then still too long with no comma left
  TruncatePatchString(s, 3);
  EXPECT_EQ(s, "abc,...");
  s = "x,y";
  TruncatePatchString(s, -1);
  EXPECT_EQ(s, ",...");
}

TEST(Truncate, EraseAndErrorTexts) {
  std::string s = "a-b-c";
  EraseCharFromString(s, '-');
  EXPECT_EQ(s, "abc");
  EraseCharFromString(s, '-');
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(GetErrorCodeAsString(ENOENT), "No such file or directory");
  EXPECT_FALSE(GetErrorCodeAsString(123456).empty());
}

TEST(ListText, ValuesToText) {
  EXPECT_EQ(ListToString({4, 5}), "4,5,");
  EXPECT_EQ(ListToString({}), "");
  EXPECT_EQ(ListToString({4294967295u, 2147483648u}), "4294967295,2147483648,");
  EXPECT_EQ(VectorToString({1, 2}, ";"), "1;2;");
  EXPECT_EQ(VectorToString({4000000000u}, ""), "4000000000");
  EXPECT_EQ(VectorToString({}, ","), "");
}

TEST(ListText, SplittersLeaveTheCallersTextAlone) {
  std::string text = "1,,2";
  std::list<int> ints = {7};
  StringToList(text, ints, ",");
  EXPECT_EQ(ints, (std::list<int>{7, 1, 2}));  // appended
  EXPECT_EQ(text, "1,,2");
  EXPECT_EQ(std::strlen(text.c_str()), 4u);

  std::vector<std::string> words;
  StringToVector(",a;b,,c;", words, ",;");
  EXPECT_EQ(words, (std::vector<std::string>{"a", "b", "c"}));
  words.clear();
  StringToVector("whole text", words, nullptr);
  EXPECT_EQ(words, (std::vector<std::string>{"whole text"}));
  words.clear();
  StringToVector("", words, ",");
  EXPECT_TRUE(words.empty());
}

TEST(ListText, NumberReadersSaturateInsteadOfOverflowing) {
  std::list<int> ints;
  StringToList("99999999999999999999,-99999999999999999999, 12abc,abc,+7,-3", ints, ",");
  EXPECT_EQ(ints, (std::list<int>{INT_MAX, INT_MIN, 12, 0, 7, -3}));
  std::vector<unsigned> u;
  StringToVector("4294967295 4294967296000 2147483648 -1 8", u, " ");
  EXPECT_EQ(u, (std::vector<unsigned>{4294967295u, 4294967295u, 2147483648u, 4294967295u, 8u}));
}

TEST(ListText, TokensAndListSearches) {
  std::vector<std::string> tokens = {"stale"};
  GetTokens("a, b(c)\td\ne  ", tokens);
  EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_TRUE(FindInList("x86 (Linux)", std::vector<std::string>{"Linux"}));
  EXPECT_FALSE(FindInList("x86 (linux)", std::vector<std::string>{"Linux"}));
  EXPECT_FALSE(FindInList("Linux64", std::vector<std::string>{"Linux"}));
  EXPECT_TRUE(FindInListWithCommaAndSpace("b", "a, b,c"));
  EXPECT_FALSE(FindInListWithCommaAndSpace("b,", "a, b,c"));
  EXPECT_FALSE(FindInListWithCommaAndSpace("", "a,,b"));

  char one[] = "Alpha";
  std::list<char*> names = {nullptr, one};
  EXPECT_TRUE(FindInList("ALPHA", names));
  EXPECT_FALSE(FindInList(nullptr, names));
  std::list<int> li = {1, 2};
  EXPECT_TRUE(FindInList(2, li));
  EXPECT_FALSE(FindInList(3, std::vector<int>{1, 2}));
}

TEST(ListText, RecordListsAndTheirRelease) {
  auto* p1 = new PInfo{1, strdup("SQL")};
  auto* p2 = new PInfo{2, nullptr};
  std::vector<PInfo*> packages = {p2, p1};
  EXPECT_TRUE(FindInList("sql", packages));
  EXPECT_FALSE(FindInList("other", packages));

  auto* app = new AppInfo{5, {p1, p2}};
  std::vector<AppInfo*> apps = {app};
  AppInfo* found = reinterpret_cast<AppInfo*>(0x1);
  EXPECT_FALSE(FindInList(6, apps, found));
  EXPECT_EQ(found, reinterpret_cast<AppInfo*>(0x1));  // untouched
  EXPECT_TRUE(FindInList(5, apps, found));
  EXPECT_EQ(found, app);

  FreeElementsInList(apps);  // frees the names and the record
  EXPECT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0], nullptr);
  EXPECT_EQ(p1->name, nullptr);
  EXPECT_FALSE(FindInList(5, apps, found));  // a released entry is never found again
  FreeElementsInList(apps);                  // and is not released twice
  FreeElementsInList(packages);              // names already gone: nothing freed twice
  delete p1;
  delete p2;
}

TEST(ListText, RemoveExtraFilesKeepsOrderAndDuplicates) {
  std::list<std::string> names = {"c", "a", "x", "a", "b"};
  std::list<std::string> wanted = {"a", "b", "c"};
  EXPECT_TRUE(RemoveExtraFilesFromList(names, wanted));
  EXPECT_EQ(names, (std::list<std::string>{"c", "a", "a", "b"}));
}

// Splitters must not share hidden state: many threads splitting at once each get their own result.
TEST(ListText, SplittersRunSafelyOnManyThreads) {
  std::vector<std::thread> threads;
  std::vector<int> bad(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &bad] {
      const std::string text = std::to_string(t) + "," + std::to_string(t * 10) + ";" + std::to_string(t * 100);
      for (int i = 0; i < 2000; ++i) {
        std::vector<unsigned> out;
        StringToVector(text, out, ",;");
        std::vector<std::string> tokens;
        GetTokens("p" + std::to_string(t) + " q" + std::to_string(t), tokens);
        if (out != std::vector<unsigned>{unsigned(t), unsigned(t * 10), unsigned(t * 100)} || tokens.size() != 2 ||
            tokens[1] != "q" + std::to_string(t)) {
          ++bad[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, std::vector<int>(8, 0));
}

}  // namespace
