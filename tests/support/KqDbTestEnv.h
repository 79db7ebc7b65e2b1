// Test helpers for the database layer: a private database for one test, and seeding.
//
// The database tests run on every backend from one set of sources: CMake registers each test
// executable that uses these helpers twice, once as it is (SQLite) and once with
// KQ_DB_TEST_BACKEND=postgres and the label "postgres". On PostgreSQL each test gets a schema
// of its own in the server database that $KQ_PG_CONNINFO names (a libpq key=value string),
// made its connections' search_path and dropped at the end, so that tests running at once
// never share a table; without KQ_PG_CONNINFO the PostgreSQL run says so and ends with
// kSkipExitCode, which CTest reports as skipped.
#ifndef KQ_TESTS_SUPPORT_KQDBTESTENV_H_
#define KQ_TESTS_SUPPORT_KQDBTESTENV_H_

#include <string>
#include <vector>

#include "Database/DbBackend.h"
#include "KqTestEnv.h"

namespace kqtest {

const int kSkipExitCode = 77;

// "sqlite" or "postgres": the backend this run of the tests is for.
const std::string& DbTestBackend();
inline bool DbTestOnPostgres() { return DbTestBackend() == "postgres"; }

// A private configuration store naming a fresh, empty database of the run's backend: a file
// for SQLite ("Database"/"sPath"), a new schema for PostgreSQL ("Database"/"sConnectionString"
// alone, which selects the backend). The calling thread's database sessions are closed when
// the object dies. Child processes made by fork inherit the store and so the same database.
class ScopedDatabase {
 public:
  ScopedDatabase();
  ~ScopedDatabase();
  ScopedDatabase(const ScopedDatabase&) = delete;
  ScopedDatabase& operator=(const ScopedDatabase&) = delete;

  // The database file (SQLite); empty on PostgreSQL.
  const std::string& dbPath() const { return dbPath_; }
  // The server schema (PostgreSQL); empty on SQLite.
  const std::string& schema() const { return schema_; }
  ScopedConfig& config() { return config_; }

 private:
  ScopedConfig config_;
  std::string dbPath_;
  std::string schema_;
};

// Runs one statement ($n placeholders) on the calling thread's session; throws on failure.
std::vector<kq::db::Row> Sql(const std::string& sql, const std::vector<kq::db::Value>& args = {});

// The column names of a table of the configured database, in order.
std::vector<std::string> TableColumns(const std::string& table);

// Runs a script on the $KQ_PG_CONNINFO server on a connection of its own; false with err.
bool RunOnPgServer(const std::string& sql, std::string& err);

inline kq::db::Value I(long long v) { return kq::db::Value::Int(v); }
inline kq::db::Value T(const std::string& v) { return kq::db::Value::Text(v); }
inline kq::db::Value N() { return kq::db::Value::Null(); }

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_KQDBTESTENV_H_
