// Test helpers for the database layer: a private database file for one test, and seeding.
#ifndef KQ_TESTS_SUPPORT_KQDBTESTENV_H_
#define KQ_TESTS_SUPPORT_KQDBTESTENV_H_

#include <string>
#include <vector>

#include "Database/DbBackend.h"
#include "KqTestEnv.h"

namespace kqtest {

// A private configuration store whose "Database"/"sPath" names a fresh database file; the
// calling thread's database sessions are closed when the object dies.
class ScopedDatabase {
 public:
  ScopedDatabase();
  ~ScopedDatabase();
  ScopedDatabase(const ScopedDatabase&) = delete;
  ScopedDatabase& operator=(const ScopedDatabase&) = delete;

  const std::string& dbPath() const { return dbPath_; }
  ScopedConfig& config() { return config_; }

 private:
  ScopedConfig config_;
  std::string dbPath_;
};

// Runs one statement ($n placeholders) on the calling thread's session; throws on failure.
std::vector<kq::db::Row> Sql(const std::string& sql, const std::vector<kq::db::Value>& args = {});

inline kq::db::Value I(long long v) { return kq::db::Value::Int(v); }
inline kq::db::Value T(const std::string& v) { return kq::db::Value::Text(v); }
inline kq::db::Value N() { return kq::db::Value::Null(); }

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_KQDBTESTENV_H_
