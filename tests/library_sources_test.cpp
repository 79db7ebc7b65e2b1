// Rules over the library's own sources (common/, platform/, include/), read from the source tree.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The text of a C or C++ source with its comments and the contents of its literals blanked; line
// breaks stay, so that a position keeps its line number.
std::string CodeOnly(const std::string& text) {
  std::string out = text;
  enum { kCode, kLine, kBlock, kString, kChar } state = kCode;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    switch (state) {
      case kCode:
        if (c == '/' && (next == '/' || next == '*')) {
          state = next == '/' ? kLine : kBlock;
          out[i] = out[i + 1] = ' ';
          ++i;
        } else if (c == '"' || c == '\'') {
          state = c == '"' ? kString : kChar;
        }
        break;
      case kLine:
        if (c == '\n') state = kCode;
        else out[i] = ' ';
        break;
      case kBlock:
        if (c == '*' && next == '/') {
          state = kCode;
          out[i] = out[i + 1] = ' ';
          ++i;
        } else if (c != '\n') {
          out[i] = ' ';
        }
        break;
      case kString:
      case kChar:
        if (c == (state == kString ? '"' : '\'')) {
          state = kCode;
        } else if (c != '\n') {
          out[i] = ' ';
          if (c == '\\' && next != '\0' && next != '\n') out[++i] = ' ';
        }
        break;
    }
  }
  return out;
}

// "file:line" of every call of `function` (the name alone, followed by '(') in the code.
std::vector<std::string> CallsOf(const std::string& function, const std::string& code,
                                 const std::string& file) {
  std::vector<std::string> found;
  for (size_t at = code.find(function); at != std::string::npos;
       at = code.find(function, at + 1)) {
    const bool startsName = at == 0 || !(std::isalnum(static_cast<unsigned char>(code[at - 1])) ||
                                         code[at - 1] == '_');
    size_t after = at + function.size();
    while (after < code.size() && std::isspace(static_cast<unsigned char>(code[after]))) ++after;
    if (startsName && after < code.size() && code[after] == '(')
      found.push_back(file + ":" + std::to_string(1 + std::count(code.begin(), code.begin() + at, '\n')));
  }
  return found;
}

TEST(LibrarySources, ScannerSeesCallsOnlyInCode) {
  const std::string code = CodeOnly(
      "a = strerror (e); b = strerror_r(e, x, n); c = my_strerror(e);\n"
      "// strerror(e)\n/* strerror(e) */ d = \"strerror(\\\"\"; f = strerror(e);");
  EXPECT_EQ(CallsOf("strerror", code, "t"), (std::vector<std::string>{"t:1", "t:3"}));
}

TEST(LibrarySources, ErrorTextsUseTheThreadSafeForm) {
  // strerror() hands out a buffer that other threads may overwrite; PxErrnoText() is used.
  std::vector<std::string> found;
  size_t files = 0;
  for (const char* top : {"common", "platform", "include"}) {
    const fs::path dir = fs::path(KQ_SOURCE_DIR) / top;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".c" && ext != ".hpp"))
        continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      ++files;
      for (const std::string& call :
           CallsOf("strerror", CodeOnly(text.str()), entry.path().string()))
        found.push_back(call);
    }
  }
  EXPECT_GT(files, 100u);
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

}  // namespace
