// Databases for the tests of the database layer, on every backend.
//
// A database test is a value-parameterised fixture over the backend name, instantiated for
// every backend with KQ_DB_BACKEND_TESTS(Suite):
//
//   class RecordTest : public kqtest::DbBackendTest {};
//   TEST_P(RecordTest, RoundTrip) { ... }
//   KQ_DB_BACKEND_TESTS(RecordTest);
//
// Each test gets a fresh, empty database of its backend, set as the configured one:
//   - "sqlite": a file in the test's configuration folder;
//   - "postgres": a schema of its own in the server database that $KQ_PG_CONNINFO names (a
//     libpq key=value string), made the connection's search_path and dropped at the end, so
//     that tests running at once never share a table. Without KQ_PG_CONNINFO these cases are
//     skipped, with a line that says so.
// Child processes made by fork inherit the configuration and so the same database.
#ifndef KQ_TESTS_SUPPORT_DBBACKENDTESTENV_H_
#define KQ_TESTS_SUPPORT_DBBACKENDTESTENV_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KqTestEnv.h"

namespace kqtest {

// A fresh database of one backend, configured in `config` for the object's life.
class BackendDatabase {
 public:
  BackendDatabase(ScopedConfig& config, const std::string& backend);
  ~BackendDatabase();
  BackendDatabase(const BackendDatabase&) = delete;
  BackendDatabase& operator=(const BackendDatabase&) = delete;

  // False when the backend cannot be used here (reason() says why).
  bool available() const { return available_; }
  const std::string& reason() const { return reason_; }
  const std::string& backend() const { return backend_; }
  // The server schema of a "postgres" database; empty otherwise.
  const std::string& schema() const { return schema_; }

 private:
  std::string backend_;
  std::string baseConnInfo_;
  std::string schema_;
  bool available_ = false;
  std::string reason_;
};

// Runs a script on the $KQ_PG_CONNINFO server outside the layer's sessions; false with err.
bool RunOnPgServer(const std::string& sql, std::string& err);

// The base of the database tests: a private configuration store and a fresh database of the
// backend named by the test parameter.
class DbBackendTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override;
  void TearDown() override;

  ScopedConfig& config() { return *config_; }
  BackendDatabase& database() { return *database_; }
  bool onPostgres() const { return GetParam() == "postgres"; }

 private:
  std::unique_ptr<ScopedConfig> config_;
  std::unique_ptr<BackendDatabase> database_;
};

std::string DbBackendParamName(const ::testing::TestParamInfo<std::string>& info);

}  // namespace kqtest

#define KQ_DB_BACKEND_TESTS(Suite)                                                         \
  INSTANTIATE_TEST_SUITE_P(Backends, Suite,                                                \
                           ::testing::Values(std::string("sqlite"), std::string("postgres")), \
                           ::kqtest::DbBackendParamName)

#endif  // KQ_TESTS_SUPPORT_DBBACKENDTESTENV_H_
