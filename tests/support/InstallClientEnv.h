// The answers of the test install client (tests/installclient), for the tests that load it.
// Including this header also puts the client's folder on the test's LD_LIBRARY_PATH (see
// tests/CMakeLists.txt). The answers are environment variables, so they hold for the whole
// process: tests set them before each call and reset them in between.
#ifndef KQ_TESTS_SUPPORT_INSTALLCLIENTENV_H_
#define KQ_TESTS_SUPPORT_INSTALLCLIENTENV_H_

#include <cstdlib>
#include <string>

namespace kqtest {

struct InstallClientAnswers {
  int winResult = 0;
  std::string winOS;
  std::string winUpdates;  // names separated by ","
  int sqlResult = 0;
  std::string sqlName;
  std::string sqlVersion;
};

// Sets the answers for the object's life and clears them at the end.
class ScopedInstallClient {
 public:
  explicit ScopedInstallClient(const InstallClientAnswers& a) {
    ::setenv("KQ_TEST_WIN_RESULT", std::to_string(a.winResult).c_str(), 1);
    ::setenv("KQ_TEST_WIN_OS", a.winOS.c_str(), 1);
    ::setenv("KQ_TEST_WIN_UPDATES", a.winUpdates.c_str(), 1);
    ::setenv("KQ_TEST_SQL_RESULT", std::to_string(a.sqlResult).c_str(), 1);
    ::setenv("KQ_TEST_SQL_NAME", a.sqlName.c_str(), 1);
    ::setenv("KQ_TEST_SQL_VERSION", a.sqlVersion.c_str(), 1);
  }
  ~ScopedInstallClient() {
    for (const char* n : {"KQ_TEST_WIN_RESULT", "KQ_TEST_WIN_OS", "KQ_TEST_WIN_UPDATES",
                          "KQ_TEST_SQL_RESULT", "KQ_TEST_SQL_NAME", "KQ_TEST_SQL_VERSION"})
      ::unsetenv(n);
  }
  ScopedInstallClient(const ScopedInstallClient&) = delete;
  ScopedInstallClient& operator=(const ScopedInstallClient&) = delete;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_INSTALLCLIENTENV_H_
