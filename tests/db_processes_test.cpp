// Several processes writing and reading one database at once: no row may be lost, no id handed
// out twice, and every process reads back what it wrote.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Database/DbProcedures.h"
#include "Database/DbSession.h"
#include "KqDbTestEnv.h"

namespace {

using kq::db::Row;
using kq::db::Value;

const int kProcesses = 8;
const int kRowsEach = 40;

int Call(const char* name, const std::vector<Value>& args, std::vector<Row>& rows,
         std::string& err) {
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  if (!session) return kq::db::kDbFailed;
  std::shared_ptr<const kq::db::Procedure> proc = kq::db::FindProcedure(name);
  if (!proc) {
    err = std::string("no procedure ") + name;
    return kq::db::kDbFailed;
  }
  return kq::db::RunProcedure(*session, *proc, args, rows, err);
}

// One writer: records its own service-pack versions (ids handed out by the database) and
// synchronisation states, and reads each back at once. Returns an error text, empty when fine.
std::string Writer(int k) {
  std::vector<Row> rows;
  std::string err;
  for (int i = 0; i < kRowsEach; ++i) {
    std::vector<Value> version = {Value::Int(100 + k),   Value::Int(i), Value::Int(0),
                                  Value::Int(0),         Value::Int(0), Value::Int(0),
                                  Value::Text("it's v"), Value::Int(0), Value::Int(0)};
    if (Call("SimGetSPVersionId", version, rows, err) != 0 || rows.size() != 1)
      return "SimGetSPVersionId: " + err;
    if (Call("PatchUpdateUAStatus",
             {Value::Int(k), Value::Int(i), Value::Int(k * 1000 + i), Value::Int(1)}, rows,
             err) == kq::db::kDbFailed)
      return "PatchUpdateUAStatus: " + err;
    if (Call("PatchGetUAStatus", {Value::Int(k), Value::Int(i)}, rows, err) != 0 ||
        rows.size() != 1 || rows[0][0].i != k * 1000 + i)
      return "PatchGetUAStatus did not read back its row: " + err;
  }
  return std::string();
}

class DbProcessesTest : public ::testing::Test {
 protected:
  kqtest::ScopedDatabase db;
};

TEST_F(DbProcessesTest, EightWritersLoseNoRow) {
  std::vector<pid_t> children;
  for (int k = 0; k < kProcesses; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string failure = Writer(k);
      if (!failure.empty()) fprintf(stderr, "writer %d: %s\n", k, failure.c_str());
      kq::db::CloseThreadSessions();
      _exit(failure.empty() ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
  }

  std::shared_ptr<kq::db::Session> session;
  std::string err;
  session = kq::db::ThreadSession(err);
  ASSERT_TRUE(session) << err;
  std::vector<Row> rows;
  ASSERT_EQ(kq::db::ExecuteSql(*session, "SELECT id, Release, Build, VersionText FROM simSPVersion",
                               {}, &rows, err),
            0)
      << err;
  EXPECT_EQ(rows.size(), static_cast<size_t>(kProcesses * kRowsEach));
  std::set<long long> ids;
  std::set<std::pair<long long, long long>> versions;
  for (const Row& r : rows) {
    ids.insert(r[0].i);
    versions.insert({r[1].i, r[2].i});
    EXPECT_EQ(r[3].s, "it's v");
  }
  EXPECT_EQ(ids.size(), rows.size());
  EXPECT_EQ(versions.size(), rows.size());

  rows.clear();
  ASSERT_EQ(kq::db::ExecuteSql(*session, "SELECT jobId, clientId, status FROM PatchUAStatus", {},
                               &rows, err),
            0)
      << err;
  EXPECT_EQ(rows.size(), static_cast<size_t>(kProcesses * kRowsEach));
  for (const Row& r : rows) EXPECT_EQ(r[2].i, r[0].i * 1000 + r[1].i);
}

}  // namespace
