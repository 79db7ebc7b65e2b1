// The library's own sources (common/, platform/, include/), read from the source tree, for the
// suites that check rules over them or the README's tables against them.
#ifndef KQ_TESTS_SUPPORT_LIBRARYSOURCES_H_
#define KQ_TESTS_SUPPORT_LIBRARYSOURCES_H_

#include <string>
#include <vector>

namespace kqtest {

struct LibrarySource {
  std::string path;  // relative to the source folder, e.g. "platform/Logging/Logger.cpp"
  std::string text;  // the file's text as it stands
};

// Every .cpp and .h file of the library, read once.
const std::vector<LibrarySource>& LibrarySources();

// A file of the source tree by its path relative to the source folder ("README.md").
std::string SourceTreeFile(const std::string& relative);

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_LIBRARYSOURCES_H_
