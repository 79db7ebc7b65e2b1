#include "KqDbTestEnv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "Database/DbSession.h"

namespace kqtest {
namespace {

std::string PgConnInfo() {
  const char* s = std::getenv("KQ_PG_CONNINFO");
  return s != nullptr ? s : "";
}

// Lower case and unquoted, unique across the processes of one test run.
std::string NewSchemaName() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  char buf[64];
  snprintf(buf, sizeof buf, "kqt_%d_%u_%08x", static_cast<int>(getpid()), counter++, rd());
  return buf;
}

// Skips the whole PostgreSQL run when no server is named: exit code 77, which CTest reports as
// skipped.
class PgRunEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!DbTestOnPostgres() || !PgConnInfo().empty()) return;
    printf("KQ_PG_CONNINFO is unset: the PostgreSQL cases are skipped\n");
    fflush(stdout);
    std::exit(kSkipExitCode);
  }
};

const bool g_pgEnvironment =
    ::testing::AddGlobalTestEnvironment(new PgRunEnvironment()) != nullptr;

}  // namespace

const std::string& DbTestBackend() {
  static const std::string backend = [] {
    const char* s = std::getenv("KQ_DB_TEST_BACKEND");
    return std::string(s != nullptr && *s != '\0' ? s : "sqlite");
  }();
  return backend;
}

bool RunOnPgServer(const std::string& sql, std::string& err) {
  std::shared_ptr<kq::db::Backend> pg = kq::db::FindDbBackend("postgres");
  if (!pg) {
    err = "no postgres backend";
    return false;
  }
  kq::db::DbSettings settings;
  settings["sconnectionstring"] = PgConnInfo();
  std::unique_ptr<kq::db::Connection> conn = pg->connect(settings, err);
  return conn && conn->execScript(sql, err);
}

ScopedDatabase::ScopedDatabase() {
  kq::db::CloseThreadSessions();
  if (!DbTestOnPostgres()) {
    dbPath_ = config_.root() + "/hubnode.db";
    config_.set("Database", "sPath", dbPath_);
    return;
  }
  std::string schema = NewSchemaName();
  std::string err;
  if (!RunOnPgServer("CREATE SCHEMA " + schema, err))
    throw std::runtime_error("cannot create test schema " + schema + ": " + err);
  schema_ = schema;
  config_.set("Database", "sConnectionString",
              PgConnInfo() + " options='-c search_path=" + schema_ + "'");
}

ScopedDatabase::~ScopedDatabase() {
  kq::db::CloseThreadSessions();
  if (schema_.empty()) return;
  std::string err;
  if (!RunOnPgServer("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE", err))
    fprintf(stderr, "cannot drop test schema %s: %s\n", schema_.c_str(), err.c_str());
}

std::vector<kq::db::Row> Sql(const std::string& sql, const std::vector<kq::db::Value>& args) {
  std::string err;
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  if (!session) throw std::runtime_error("no database: " + err);
  std::vector<kq::db::Row> rows;
  if (kq::db::ExecuteSql(*session, sql, args, &rows, err) == kq::db::kDbFailed)
    throw std::runtime_error("SQL failed: " + err + " in " + sql);
  return rows;
}

std::vector<std::string> TableColumns(const std::string& table) {
  std::vector<kq::db::Row> rows =
      DbTestOnPostgres()
          ? Sql("SELECT column_name FROM information_schema.columns WHERE table_schema = "
                "current_schema() AND table_name = lower($1) ORDER BY ordinal_position",
                {T(table)})
          : Sql("SELECT name FROM pragma_table_info($1)", {T(table)});
  std::vector<std::string> names;
  for (const kq::db::Row& r : rows) names.push_back(r[0].s);
  return names;
}

}  // namespace kqtest
