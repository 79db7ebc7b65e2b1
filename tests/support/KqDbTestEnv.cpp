#include "KqDbTestEnv.h"

#include <stdexcept>

#include "Database/DbSession.h"

namespace kqtest {

ScopedDatabase::ScopedDatabase() : dbPath_(config_.root() + "/hubnode.db") {
  kq::db::CloseThreadSessions();
  config_.set("Database", "sPath", dbPath_);
}

ScopedDatabase::~ScopedDatabase() { kq::db::CloseThreadSessions(); }

std::vector<kq::db::Row> Sql(const std::string& sql, const std::vector<kq::db::Value>& args) {
  std::string err;
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  if (!session) throw std::runtime_error("no database: " + err);
  std::vector<kq::db::Row> rows;
  if (kq::db::ExecuteSql(*session, sql, args, &rows, err) == kq::db::kDbFailed)
    throw std::runtime_error("SQL failed: " + err + " in " + sql);
  return rows;
}

}  // namespace kqtest
