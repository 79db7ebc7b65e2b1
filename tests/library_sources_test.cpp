// Rules over the library's own sources (common/, platform/, include/), read from the source tree.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "LibrarySources.h"

namespace {

// The lines (1-based) that call `function` in a C or C++ text: the name on its own, then '(',
// outside comments and literals.
std::vector<int> LinesCalling(const std::string& function, const std::string& text) {
  std::vector<int> lines;
  int line = 1;
  char quote = 0;          // inside a literal opened by this character
  bool block = false, lineComment = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (c == '\n') ++line, lineComment = false;
    if (lineComment) continue;
    if (block) {
      if (c == '*' && next == '/') block = false, ++i;
    } else if (quote != 0) {
      if (c == '\\') ++i;
      else if (c == quote) quote = 0;
    } else if (c == '/' && (next == '/' || next == '*')) {
      (next == '/' ? lineComment : block) = true;
      ++i;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (text.compare(i, function.size(), function) == 0 &&
               (i == 0 || !(std::isalnum(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == '_'))) {
      size_t after = i + function.size();
      while (after < text.size() && (text[after] == ' ' || text[after] == '\t')) ++after;
      if (after < text.size() && text[after] == '(') lines.push_back(line);
    }
  }
  return lines;
}

TEST(LibrarySources, ErrorTextsUseTheThreadSafeForm) {
  EXPECT_EQ(LinesCalling("strerror", "a = strerror (e); b = strerror_r(e, x, n); my_strerror(e);\n"
                                     "// strerror(e)\n/* strerror(e) */ s = \"strerror(\\\"\";\n"
                                     "f = strerror(e);"),
            (std::vector<int>{1, 4}));

  // strerror() hands out a buffer that other threads may overwrite; PxErrnoText() is used.
  std::vector<std::string> found;
  for (const kqtest::LibrarySource& src : kqtest::LibrarySources())
    for (int line : LinesCalling("strerror", src.text)) found.push_back(src.path + ":" + std::to_string(line));
  EXPECT_GT(kqtest::LibrarySources().size(), 100u);
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

// The quoted includes of a source under platform/ that name no file of platform/, neither from
// the platform folder nor from the including file's own folder, as "file: name".
std::vector<std::string> IncludesReachingAbovePlatform(const std::vector<kqtest::LibrarySource>& sources) {
  std::set<std::string> platformFiles;
  for (const kqtest::LibrarySource& src : sources)
    if (src.path.rfind("platform/", 0) == 0) platformFiles.insert(src.path);
  static const std::regex include("^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"");
  std::vector<std::string> found;
  for (const kqtest::LibrarySource& src : sources) {
    if (src.path.rfind("platform/", 0) != 0) continue;
    const std::string folder = src.path.substr(0, src.path.rfind('/') + 1);
    size_t start = 0;
    while (start < src.text.size()) {
      size_t end = src.text.find('\n', start);
      if (end == std::string::npos) end = src.text.size();
      std::smatch m;
      const std::string line = src.text.substr(start, end - start);
      start = end + 1;
      if (!std::regex_search(line, m, include)) continue;
      const std::string name = m[1];
      if (!platformFiles.count("platform/" + name) && !platformFiles.count(folder + name))
        found.push_back(src.path + ": " + name);
    }
  }
  return found;
}

// The platform layer stands alone: a program using only the platform library includes its
// headers without the patch library's folders.
TEST(LibrarySources, PlatformIncludesNothingAboveIt) {
  const std::vector<kqtest::LibrarySource> sample = {
      {"platform/A/X.h", "#include \"A/Y.h\"\n  # include \"Z.h\"\n#include <string>\n"},
      {"platform/A/Y.h", "#include \"nPatchDownload/IPatchEvent.h\"\n"},
      {"platform/A/Z.h", ""},
      {"common/C.h", "#include \"nPatchDownload/IPatchEvent.h\"\n"}};
  EXPECT_EQ(IncludesReachingAbovePlatform(sample),
            (std::vector<std::string>{"platform/A/Y.h: nPatchDownload/IPatchEvent.h"}));

  EXPECT_EQ(IncludesReachingAbovePlatform(kqtest::LibrarySources()), std::vector<std::string>{});
}

}  // namespace
