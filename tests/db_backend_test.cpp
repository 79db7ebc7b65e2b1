// The backend interface as the layer relies on it; then what only the PostgreSQL backend has to
// take care of (a failed transaction, a dropped connection).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "Database/DbSession.h"
#include "KqDbTestEnv.h"

namespace {

using kq::db::Row;
using kq::db::Statement;
using kq::db::Value;

class BackendContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    session_ = kq::db::ThreadSession(err);
    ASSERT_TRUE(session_) << err;
    ASSERT_TRUE(session_->connection().execScript(
        "CREATE TABLE Sample (Id INTEGER NOT NULL PRIMARY KEY, Big BIGINT, Name TEXT, "
        "Amount DOUBLE PRECISION, Stamp TIMESTAMP)",
        err))
        << err;
  }
  void TearDown() override { session_.reset(); }

  int Exec(const std::string& sql, const std::vector<Value>& args, std::vector<Row>* rows) {
    return kq::db::ExecuteSql(*session_, sql, args, rows, err_);
  }

  kqtest::ScopedDatabase db_;
  std::shared_ptr<kq::db::Session> session_;
  std::string err_;
};

TEST_F(BackendContractTest, ValuesRoundTripThroughBoundParameters) {
  const long long big = std::numeric_limits<long long>::max();
  const std::string hostile = "it's'); DROP TABLE Sample; --";
  ASSERT_NE(Exec("INSERT INTO Sample (Id, Big, Name, Amount, Stamp) VALUES ($1, $2, $3, $4, $5)",
                 {Value::Int(1), Value::Int(big), Value::Text(hostile), Value::Real(2.5),
                  Value::Text("2024-02-29 23:59:58.25")},
                 nullptr),
            kq::db::kDbFailed)
      << err_;
  ASSERT_NE(Exec("INSERT INTO Sample (Id, Big, Name, Amount) VALUES ($1, $2, $3, $4)",
                 {Value::Int(2), Value::Int(-big - 1), Value::Null(), Value::Null()}, nullptr),
            kq::db::kDbFailed)
      << err_;

  std::vector<Row> rows;
  // Identifiers in any case reach the same table and columns.
  ASSERT_EQ(Exec("select ID, big, NAME, amount, STAMP from sample order by id", {}, &rows), 0)
      << err_;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], Value::Int(1));
  EXPECT_EQ(rows[0][1], Value::Int(big));
  EXPECT_EQ(rows[0][2], Value::Text(hostile));
  EXPECT_EQ(rows[0][3], Value::Real(2.5));
  EXPECT_EQ(rows[0][4], Value::Text("2024-02-29 23:59:58.25"));  // the form records parse
  EXPECT_EQ(rows[1][1], Value::Int(-big - 1));
  EXPECT_EQ(rows[1][2].kind, Value::kNull);
  EXPECT_EQ(rows[1][3].kind, Value::kNull);

  // A condition on a text parameter matches the text exactly, nothing more.
  rows.clear();
  EXPECT_EQ(
      Exec("SELECT COUNT(*) FROM Sample WHERE Name = $1", {Value::Text("x' OR '1'='1")}, &rows), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], Value::Int(0));
}

TEST_F(BackendContractTest, ColumnGettersConvertOrRefuse) {
  std::string err;
  Statement* st = session_->acquire(
      "SELECT CAST(NULL AS TEXT), CAST('12' AS TEXT), CAST('1x' AS TEXT), CAST(7.0 AS DOUBLE "
      "PRECISION), CAST(7.5 AS DOUBLE PRECISION)",
      err);
  ASSERT_NE(st, nullptr) << err;
  ASSERT_TRUE(st->bind({}, err)) << err;
  ASSERT_EQ(st->step(err), kq::db::kDbRow) << err;
  size_t len = 99;
  EXPECT_TRUE(st->isNull(0));
  EXPECT_EQ(st->getText(0, len), nullptr);  // a NULL text is a null pointer
  EXPECT_EQ(len, 0u);
  long long i = 0;
  double d = 0;
  EXPECT_TRUE(st->getInt64(1, i));
  EXPECT_EQ(i, 12);
  EXPECT_FALSE(st->getInt64(2, i));
  EXPECT_FALSE(st->getDouble(2, d));
  EXPECT_TRUE(st->getInt64(3, i));
  EXPECT_EQ(i, 7);
  EXPECT_FALSE(st->getInt64(4, i));  // a fraction is not an integer
  EXPECT_TRUE(st->getDouble(4, d));
  EXPECT_EQ(d, 7.5);
  EXPECT_EQ(st->step(err), kq::db::kDbNoData);
  session_->release(st);
}

TEST_F(BackendContractTest, StatementsOfOneConnectionInterleave) {
  for (int id = 1; id <= 3; ++id)
    ASSERT_NE(Exec("INSERT INTO Sample (Id, Name) VALUES ($1, $2)",
                   {Value::Int(id), Value::Text("n" + std::to_string(id))}, nullptr),
              kq::db::kDbFailed)
        << err_;
  std::string err;
  Statement* outer = session_->acquire("SELECT Id FROM Sample ORDER BY Id", err);
  ASSERT_NE(outer, nullptr) << err;
  ASSERT_TRUE(outer->bind({}, err));
  std::vector<long long> seen;
  while (outer->step(err) == kq::db::kDbRow) {
    long long id = 0;
    ASSERT_TRUE(outer->getInt64(0, id));
    seen.push_back(id);
    // A second statement runs to its end while the first is half read.
    std::vector<Row> rows;
    ASSERT_EQ(Exec("SELECT Name FROM Sample WHERE Id = $1", {Value::Int(id)}, &rows), 0) << err_;
    EXPECT_EQ(rows[0][0], Value::Text("n" + std::to_string(id)));
  }
  session_->release(outer);
  EXPECT_EQ(seen, (std::vector<long long>{1, 2, 3}));
}

TEST_F(BackendContractTest, FailuresAreReportedWithTheBackendMessage) {
  std::string err;
  EXPECT_EQ(session_->acquire("SELECT * FROM NoSuchTable", err), nullptr);
  for (char& c : err) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(err.find("nosuchtable"), std::string::npos) << err;  // either backend names it
  ASSERT_NE(Exec("INSERT INTO Sample (Id) VALUES ($1)", {Value::Int(1)}, nullptr),
            kq::db::kDbFailed);
  EXPECT_EQ(Exec("INSERT INTO Sample (Id) VALUES ($1)", {Value::Int(1)}, nullptr),
            kq::db::kDbFailed);  // the key is taken
  EXPECT_FALSE(err_.empty());
  EXPECT_EQ(Exec("SELECT $1", {}, nullptr), kq::db::kDbFailed);  // a placeholder without a value
  // The connection stays usable after failures.
  std::vector<Row> rows;
  EXPECT_EQ(Exec("SELECT COUNT(*) FROM Sample", {}, &rows), 0) << err_;
}

TEST_F(BackendContractTest, RolledBackWritesAreGoneCommittedOnesStay) {
  std::string err;
  ASSERT_TRUE(session_->begin(true, err)) << err;
  ASSERT_NE(Exec("INSERT INTO Sample (Id) VALUES ($1)", {Value::Int(1)}, nullptr),
            kq::db::kDbFailed);
  session_->rollback();
  ASSERT_TRUE(session_->begin(true, err)) << err;
  ASSERT_NE(Exec("INSERT INTO Sample (Id) VALUES ($1)", {Value::Int(2)}, nullptr),
            kq::db::kDbFailed);
  ASSERT_TRUE(session_->commit(err)) << err;
  std::vector<Row> rows;
  ASSERT_EQ(Exec("SELECT Id FROM Sample", {}, &rows), 0) << err_;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], Value::Int(2));
}

TEST_F(BackendContractTest, ParameterWhoseTypeOnlyItsValueGives) {
  // Nothing around "$1 || ..." fixes $1's type; each call's value does.
  std::vector<Row> rows;
  ASSERT_EQ(Exec("SELECT $1 || 'x'", {Value::Text("ab")}, &rows), 0) << err_;
  EXPECT_EQ(rows[0][0], Value::Text("abx"));
  rows.clear();
  ASSERT_EQ(Exec("SELECT $1 || 'x'", {Value::Int(5)}, &rows), 0) << err_;
  EXPECT_EQ(rows[0][0], Value::Text("5x"));
  rows.clear();
  ASSERT_EQ(Exec("SELECT COALESCE($1 || 'x', 'none')", {Value::Null()}, &rows), 0) << err_;
  EXPECT_EQ(rows[0][0], Value::Text("none"));
  // Inside a transaction, working that out does not spoil the transaction.
  std::string err;
  ASSERT_TRUE(session_->begin(true, err)) << err;
  ASSERT_NE(Exec("INSERT INTO Sample (Id) VALUES ($1)", {Value::Int(9)}, nullptr),
            kq::db::kDbFailed);
  rows.clear();
  ASSERT_EQ(Exec("SELECT $1 || '-' || Id FROM Sample", {Value::Text("id")}, &rows), 0) << err_;
  EXPECT_EQ(rows[0][0], Value::Text("id-9"));
  ASSERT_TRUE(session_->commit(err)) << err;
}

TEST(RewriteParameters, OnlyPlaceholdersOutsideLiteralsAndCommentsChange) {
  auto mark = [](long n) { return "<" + std::to_string(n) + ">"; };
  EXPECT_EQ(kq::db::RewriteParameters("a = $1 AND b = $12", mark), "a = <1> AND b = <12>");
  EXPECT_EQ(kq::db::RewriteParameters("'it''s $1' || $2 || \"$3\"", mark),
            "'it''s $1' || <2> || \"$3\"");
  EXPECT_EQ(kq::db::RewriteParameters("$1 -- $2\n$3", mark), "<1> -- $2\n<3>");
  EXPECT_EQ(kq::db::RewriteParameters("'open $1", mark), "'open $1");
  EXPECT_EQ(kq::db::RewriteParameters("cost $ 5, $x", mark), "cost $ 5, $x");
}

// ---- PostgreSQL only

class PgBackendTest : public BackendContractTest {
 protected:
  void SetUp() override {
    if (!kqtest::DbTestOnPostgres()) GTEST_SKIP() << "PostgreSQL only";
    BackendContractTest::SetUp();
  }
};

TEST_F(PgBackendTest, CommitAfterAFailedStatementReportsTheRollback) {
  std::string err;
  ASSERT_TRUE(session_->begin(true, err)) << err;
  ASSERT_NE(Exec("INSERT INTO Sample (Id) VALUES ($1)", {Value::Int(1)}, nullptr),
            kq::db::kDbFailed);
  EXPECT_EQ(Exec("SELECT 1 / 0", {}, nullptr), kq::db::kDbFailed);
  EXPECT_FALSE(session_->commit(err));  // the server rolled it back: never a success
  EXPECT_NE(err.find("rolled back"), std::string::npos) << err;
  session_->rollback();
  std::vector<Row> rows;
  EXPECT_EQ(Exec("SELECT Id FROM Sample", {}, &rows), kq::db::kDbNoData) << err_;
}

TEST_F(PgBackendTest, DroppedConnectionIsOpenedAgainOutsideATransaction) {
  std::vector<Row> rows;
  const std::string pidSql = "SELECT pg_backend_pid() + 0 * $1";
  ASSERT_EQ(Exec(pidSql, {Value::Int(0)}, &rows), 0) << err_;
  long long pid = rows[0][0].i;
  std::string err;
  ASSERT_TRUE(
      kqtest::RunOnPgServer("SELECT pg_terminate_backend(" + std::to_string(pid) + ")", err))
      << err;
  // The call that meets the dropped connection fails; the next one runs on a new connection,
  // with its statement prepared again.
  rows.clear();
  EXPECT_EQ(Exec(pidSql, {Value::Int(0)}, &rows), kq::db::kDbFailed);
  rows.clear();
  ASSERT_EQ(Exec(pidSql, {Value::Int(0)}, &rows), 0) << err_;
  EXPECT_NE(rows[0][0].i, pid);

  // Inside a transaction the loss is reported until the caller rolls back.
  ASSERT_TRUE(session_->begin(true, err)) << err;
  ASSERT_TRUE(kqtest::RunOnPgServer(
      "SELECT pg_terminate_backend(" + std::to_string(rows[0][0].i) + ")", err))
      << err;
  EXPECT_EQ(Exec(pidSql, {Value::Int(0)}, nullptr), kq::db::kDbFailed);
  EXPECT_EQ(Exec(pidSql, {Value::Int(0)}, nullptr), kq::db::kDbFailed);
  EXPECT_FALSE(session_->commit(err));
  session_->rollback();
  rows.clear();
  EXPECT_EQ(Exec(pidSql, {Value::Int(0)}, &rows), 0) << err_;
}

TEST_F(PgBackendTest, AChildThatDropsAnInheritedConnectionLeavesItToTheParent) {
  std::string err;
  kq::db::DbSettings settings = kq::db::ReadDbSettings();
  std::unique_ptr<kq::db::Connection> conn =
      kq::db::FindDbBackend("postgres")->connect(settings, err);
  ASSERT_TRUE(conn) << err;
  std::unique_ptr<Statement> st = conn->prepare("SELECT COUNT(*) FROM Sample", err);
  ASSERT_TRUE(st) << err;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Neither a statement nor the connection says anything over the parent's socket.
    std::string childErr;
    bool refused = st->bind({}, childErr) && st->step(childErr) == kq::db::kDbFailed;
    st.reset();
    conn.reset();
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child used the connection";
  ASSERT_TRUE(st->bind({}, err)) << err;
  EXPECT_EQ(st->step(err), kq::db::kDbRow) << err;
}

TEST_F(PgBackendTest, AWriterWaitsForAnotherOnlyUpToTheBusyTimeout) {
  kq::db::DbSettings settings = kq::db::ReadDbSettings();
  settings["nbusytimeoutms"] = "200";
  std::shared_ptr<kq::db::Backend> pg = kq::db::FindDbBackend("postgres");
  std::string err;
  std::unique_ptr<kq::db::Connection> first = pg->connect(settings, err);
  std::unique_ptr<kq::db::Connection> second = pg->connect(settings, err);
  ASSERT_TRUE(first && second) << err;
  ASSERT_TRUE(first->begin(true, err)) << err;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(second->begin(true, err));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_NE(err.find("lock"), std::string::npos) << err;
  ASSERT_TRUE(first->commit(err)) << err;
  ASSERT_TRUE(second->begin(true, err)) << err;  // free again
  EXPECT_TRUE(second->commit(err)) << err;
}

// A session the server dropped (a restart, an administrator) is opened again with the set-up of
// the first connect. The server's defaults here differ from ours on purpose: a reconnect that
// fell back to them would change dates and texts, and wait for locks without end.
TEST_F(PgBackendTest, AReconnectedSessionKeepsItsSetUp) {
  kq::db::DbSettings settings = kq::db::ReadDbSettings();
  settings["nbusytimeoutms"] = "500";
  std::string& info = settings["sconnectionstring"];
  const size_t options = info.find("options='");
  ASSERT_NE(options, std::string::npos) << info;
  info.insert(options + 9, "-c DateStyle=SQL,DMY -c client_encoding=LATIN1 -c lock_timeout=0 ");
  std::shared_ptr<kq::db::Backend> pg = kq::db::FindDbBackend("postgres");
  std::string err;
  std::unique_ptr<kq::db::Connection> session = pg->connect(settings, err);
  ASSERT_TRUE(session) << err;
  auto ask = [&session](const std::string& sql) {
    std::string e;
    std::unique_ptr<Statement> st = session->prepare(sql, e);
    if (!st || !st->bind({}, e) || st->step(e) != kq::db::kDbRow) return "failed: " + e;
    size_t n = 0;
    const char* text = st->getText(0, n);
    return std::string(text, n);
  };
  const char* const kSetUp[] = {"SHOW DateStyle", "SHOW client_encoding", "SHOW lock_timeout"};
  std::vector<std::string> first;
  for (const char* q : kSetUp) first.push_back(ask(q));
  EXPECT_EQ(first, (std::vector<std::string>{"ISO, DMY", "UTF8", "500ms"}));

  const std::string pid = ask("SELECT pg_backend_pid()::text");
  ASSERT_TRUE(kqtest::RunOnPgServer("SELECT pg_terminate_backend(" + pid + ")", err)) << err;
  std::string now = ask("SELECT pg_backend_pid()::text");  // meets the dropped connection
  if (now.rfind("failed", 0) == 0) now = ask("SELECT pg_backend_pid()::text");
  ASSERT_NE(now, pid);
  ASSERT_EQ(now.find("failed"), std::string::npos) << now;
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(ask(kSetUp[i]), first[i]) << kSetUp[i];

  // Another connection holds the writers' lock (for 10 s at most, should the wait not end).
  std::unique_ptr<kq::db::Connection> holder = pg->connect(settings, err);
  ASSERT_TRUE(holder) << err;
  ASSERT_TRUE(holder->execScript("SET idle_in_transaction_session_timeout = 10000", err)) << err;
  ASSERT_TRUE(holder->begin(true, err)) << err;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(session->begin(true, err));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(err.find("lock"), std::string::npos) << err;
  session->rollback();
  holder->rollback();
}

TEST_F(PgBackendTest, TextWithAZeroByteIsRefused) {
  EXPECT_EQ(Exec("INSERT INTO Sample (Id, Name) VALUES ($1, $2)",
                 {Value::Int(1), Value::Text(std::string("a\0b", 3))}, nullptr),
            kq::db::kDbFailed);
  EXPECT_NE(err_.find("zero byte"), std::string::npos) << err_;
}

}  // namespace
