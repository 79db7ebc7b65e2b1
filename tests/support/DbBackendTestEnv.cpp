#include "DbBackendTestEnv.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>

#include "Database/DbBackend.h"
#include "Database/DbSession.h"

namespace kqtest {
namespace {

std::string PgBaseConnInfo() {
  const char* s = std::getenv("KQ_PG_CONNINFO");
  return s != nullptr ? s : "";
}

// Unquoted and lower case, so the same name in any case reaches it; unique across the
// processes of one test run.
std::string NewSchemaName() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  char buf[64];
  snprintf(buf, sizeof buf, "kqt_%d_%u_%08x", static_cast<int>(getpid()), counter++, rd());
  return buf;
}

}  // namespace

bool RunOnPgServer(const std::string& sql, std::string& err) {
  std::shared_ptr<kq::db::Backend> pg = kq::db::FindDbBackend("postgres");
  if (!pg) {
    err = "no postgres backend";
    return false;
  }
  kq::db::DbSettings settings;
  settings["sconnectionstring"] = PgBaseConnInfo();
  std::unique_ptr<kq::db::Connection> conn = pg->connect(settings, err);
  return conn && conn->execScript(sql, err);
}

BackendDatabase::BackendDatabase(ScopedConfig& config, const std::string& backend)
    : backend_(backend) {
  if (backend == "sqlite") {
    config.set("Database", "sBackend", "sqlite");
    config.set("Database", "sPath", config.root() + "/Hubnode.db");
    available_ = true;
    return;
  }
  if (backend != "postgres") {
    reason_ = "unknown backend " + backend;
    return;
  }
  baseConnInfo_ = PgBaseConnInfo();
  if (baseConnInfo_.empty()) {
    reason_ = "KQ_PG_CONNINFO is unset: PostgreSQL case skipped";
    return;
  }
  std::string schema = NewSchemaName();
  std::string err;
  if (!RunOnPgServer("CREATE SCHEMA " + schema, err)) {
    reason_ = "cannot create schema " + schema + " on the KQ_PG_CONNINFO server: " + err;
    return;
  }
  schema_ = schema;
  // A connection string alone selects the PostgreSQL backend.
  config.set("Database", "sConnectionString",
             baseConnInfo_ + " options='-c search_path=" + schema_ + "'");
  available_ = true;
}

BackendDatabase::~BackendDatabase() {
  kq::db::CloseThreadSessions();
  if (schema_.empty()) return;
  std::string err;
  if (!RunOnPgServer("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE", err))
    fprintf(stderr, "cannot drop test schema %s: %s\n", schema_.c_str(), err.c_str());
}

void DbBackendTest::SetUp() {
  config_.reset(new ScopedConfig());
  database_.reset(new BackendDatabase(*config_, GetParam()));
  if (!database_->available()) {
    if (GetParam() == "postgres" && PgBaseConnInfo().empty()) GTEST_SKIP() << database_->reason();
    FAIL() << database_->reason();
  }
}

void DbBackendTest::TearDown() {
  database_.reset();
  config_.reset();
}

std::string DbBackendParamName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

}  // namespace kqtest
