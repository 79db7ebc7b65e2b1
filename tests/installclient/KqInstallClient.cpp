// A stand-in for the install-client library of a Windows appliance, loaded at run time by the
// install-aware appliance configuration reader. Its answers come from environment variables,
// read on every call (see tests/support/InstallClientEnv.h):
//   KQ_TEST_WIN_RESULT, KQ_TEST_WIN_OS, KQ_TEST_WIN_UPDATES (names separated by ",")
//   KQ_TEST_SQL_RESULT, KQ_TEST_SQL_NAME, KQ_TEST_SQL_VERSION
// A missing result variable answers 0.
#include <cstdlib>
#include <list>
#include <string>

namespace {

std::string Text(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

int Answer(const char* name) { return std::atoi(Text(name).c_str()); }

}  // namespace

extern "C" __attribute__((visibility("default"))) int GetWinOSVersion(
    std::string& clientOSName, std::list<std::string>& installedUpdates) {
  clientOSName = Text("KQ_TEST_WIN_OS");
  const std::string updates = Text("KQ_TEST_WIN_UPDATES");
  size_t start = 0;
  while (start < updates.size()) {
    size_t comma = updates.find(',', start);
    if (comma == std::string::npos) comma = updates.size();
    if (comma > start) installedUpdates.push_back(updates.substr(start, comma - start));
    start = comma + 1;
  }
  return Answer("KQ_TEST_WIN_RESULT");
}

extern "C" __attribute__((visibility("default"))) int GetSQLVersion(std::string& sqlName,
                                                                    std::string& sqlVersion) {
  sqlName = Text("KQ_TEST_SQL_NAME");
  sqlVersion = Text("KQ_TEST_SQL_VERSION");
  return Answer("KQ_TEST_SQL_RESULT");
}
