// The PostgreSQL backend: one server database shared by many processes, over libpq.
//
// Each Connection owns one PGconn (shared with its statements through PgLink). Statements are
// prepared on the server under a name unique to the connection; their parameters are sent as
// text with the type left to the server, which infers it from the statement. Where the server
// cannot infer a type ("SELECT $1 || 'x'"), the statement is prepared at its first bind with the
// types of the bound values. A result is read whole, so that several statements of one
// connection can be open at once, as the layer expects. A connection that broke is reset before
// its next use outside a transaction; its statements are then prepared again.
#include <libpq-fe.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Database/DbBackend.h"

namespace kq {
namespace db {
namespace {

// Type oids of the server's built-in types that results are mapped by.
enum : Oid {
  kBoolOid = 16,
  kInt8Oid = 20,
  kInt2Oid = 21,
  kInt4Oid = 23,
  kTextOid = 25,
  kOidOid = 26,
  kFloat4Oid = 700,
  kFloat8Oid = 701,
  kNumericOid = 1700,
};

// SQLSTATEs of statements whose parameter types the server cannot infer on its own.
bool IsUntypedParameterError(const char* state) {
  return state != nullptr && (strcmp(state, "42P18") == 0 || strcmp(state, "42725") == 0);
}

// libpq's messages end in a newline and may run over several lines; we log one line.
std::string OneLine(const char* msg) {
  std::string out = msg != nullptr ? msg : "";
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  for (char& c : out)
    if (c == '\n' || c == '\t') c = ' ';
  return out.empty() ? std::string("unknown PostgreSQL error") : out;
}

// The server's own message of a failed result, with its SQLSTATE.
std::string ResultError(const PGresult* res, PGconn* conn) {
  if (res == nullptr) return OneLine(PQerrorMessage(conn));
  const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
  const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
  if (primary == nullptr) return OneLine(PQresultErrorMessage(res));
  std::string out = OneLine(primary);
  if (state != nullptr) out += std::string(" (SQLSTATE ") + state + ")";
  return out;
}

bool ResultOk(const PGresult* res) {
  ExecStatusType st = PQresultStatus(res);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

// The statement's parameter count: its highest "$n" (the layer numbers them densely).
int CountParameters(const std::string& sql) {
  long highest = 0;
  RewriteParameters(sql, [&highest](long n) {
    if (n > highest) highest = n;
    return std::string();
  });
  return static_cast<int>(highest);
}

std::string RealText(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[32];
  snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

void IgnoreNotice(void*, const char*) {}

// The server connection shared by a Connection and its statements. `generation` grows each
// time the connection is reset: statements prepared before then are gone from the server.
//
// A child made by fork shares the socket with its parent: it never talks over it, and dropping
// the link there closes only the child's copy of the socket, so the parent's session goes on.
struct PgLink {
  PGconn* conn = nullptr;
  pid_t owner = getpid();
  unsigned long generation = 1;
  unsigned long nextStatement = 0;
  bool inTransaction = false;  // between begin() and commit() or rollback()
  std::string setupSql;        // what each connect runs before the session is used
  bool ready = false;          // the set-up ran on the current connection

  ~PgLink() {
    if (conn == nullptr) return;
    if (!ours() && PQsocket(conn) >= 0) close(PQsocket(conn));  // no goodbye for the parent's
    PQfinish(conn);
  }

  bool ours() const { return getpid() == owner; }
  bool usable() const { return ours() && ready && PQstatus(conn) == CONNECTION_OK; }

  // Runs the set-up on a connection just made, the first one and each reset: the server's
  // defaults (date style, encoding, lock wait) must never show through. Until it succeeds the
  // session is not used.
  bool setUp(std::string& err) {
    ready = false;
    PGresult* res = nullptr;
    if (PQsetClientEncoding(conn, "UTF8") == 0) res = PQexec(conn, setupSql.c_str());
    ready = res != nullptr && ResultOk(res);
    if (!ready) err = "cannot set up the PostgreSQL connection: " + ResultError(res, conn);
    PQclear(res);
    return ready;
  }

  // Resets a broken connection unless a transaction was open on it (its work is lost: that
  // must fail until the caller rolls back).
  bool ensureAlive(std::string& err) {
    if (usable()) return true;
    if (!ours()) {
      err = "the PostgreSQL connection belongs to the process that opened it";
      return false;
    }
    if (!inTransaction) {
      PQreset(conn);
      if (PQstatus(conn) == CONNECTION_OK) {
        ++generation;
        return setUp(err);
      }
    }
    err = "the PostgreSQL connection is broken: " + OneLine(PQerrorMessage(conn));
    return false;
  }

  // Runs a command text without parameters (possibly several statements).
  bool exec(const char* sql, std::string& err, PGresult** keep = nullptr) {
    if (!ensureAlive(err)) return false;
    PGresult* res = PQexec(conn, sql);
    bool ok = res != nullptr && ResultOk(res);
    if (!ok) err = ResultError(res, conn);
    if (keep != nullptr && ok) {
      *keep = res;
    } else {
      PQclear(res);
    }
    return ok;
  }
};

class PgStatement : public Statement {
 public:
  PgStatement(std::shared_ptr<PgLink> link, std::string sql)
      : m_link(std::move(link)), m_sql(std::move(sql)), m_paramCount(CountParameters(m_sql)) {
    m_values.resize(m_paramCount);
    m_isNull.assign(m_paramCount, true);
    m_pointers.assign(m_paramCount, nullptr);
  }

  ~PgStatement() override {
    clearResult();
    deallocate();
  }

  // Prepares with server-inferred types; a statement whose types the server cannot infer
  // waits for its first bind.
  // Inside a transaction the attempt runs under a savepoint: a failed prepare would otherwise
  // abort the caller's transaction.
  bool prepareUntyped(std::string& err) {
    bool guarded = m_link->inTransaction;
    if (guarded && !m_link->exec("SAVEPOINT kq_prepare", err)) return false;
    std::string state;
    bool ok = serverPrepare(nullptr, err, &state);
    if (!ok && IsUntypedParameterError(state.c_str())) {
      m_typedByValues = true;
      ok = true;
    }
    if (guarded) {
      std::string ignored;
      m_link->exec(ok && !m_typedByValues ? "RELEASE SAVEPOINT kq_prepare"
                                          : "ROLLBACK TO SAVEPOINT kq_prepare",
                   ignored);
    }
    return ok;
  }

  bool bind(const std::vector<Value>& params, std::string& err) override {
    if (static_cast<int>(params.size()) != m_paramCount) {
      err = "statement takes " + std::to_string(m_paramCount) + " parameters, " +
            std::to_string(params.size()) + " given";
      return false;
    }
    clearResult();
    for (int i = 0; i < m_paramCount; ++i) {
      const Value& v = params[i];
      m_isNull[i] = v.kind == Value::kNull;
      switch (v.kind) {
        case Value::kNull:
          m_values[i].clear();
          break;
        case Value::kInt:
          m_values[i] = std::to_string(v.i);
          break;
        case Value::kReal:
          m_values[i] = RealText(v.d);
          break;
        case Value::kText:
          if (v.s.find('\0') != std::string::npos) {
            err = "a text parameter holds a zero byte, which PostgreSQL texts cannot hold";
            return false;
          }
          m_values[i] = v.s;
          break;
      }
    }
    if (m_typedByValues) {
      std::vector<Oid> types(m_paramCount, 0);
      for (int i = 0; i < m_paramCount; ++i) {
        switch (params[i].kind) {
          case Value::kNull:
            types[i] = kTextOid;
            break;  // nothing else says what it is
          case Value::kInt:
            types[i] = kInt8Oid;
            break;
          case Value::kReal:
            types[i] = kFloat8Oid;
            break;
          case Value::kText:
            types[i] = kTextOid;
            break;
        }
      }
      if (types != m_types || !prepared()) {
        deallocate();
        m_types = types;
        if (!serverPrepare(m_types.data(), err, nullptr)) return false;
      }
    }
    return true;
  }

  int step(std::string& err) override {
    if (m_result == nullptr) {
      if (!execute(err)) return kDbFailed;
      m_row = 0;
    } else if (m_row < m_rowCount) {
      ++m_row;
    }
    return m_row < m_rowCount ? kDbRow : kDbNoData;
  }

  int columnCount() override { return m_result == nullptr ? 0 : PQnfields(m_result); }

  bool isNull(int col) override { return !valid(col) || PQgetisnull(m_result, m_row, col); }

  bool getInt64(int col, long long& out) override {
    if (!valid(col)) return false;
    if (PQgetisnull(m_result, m_row, col)) {
      out = 0;
      return true;
    }
    const char* t = PQgetvalue(m_result, m_row, col);
    switch (PQftype(m_result, col)) {
      case kBoolOid:
        out = t[0] == 't' ? 1 : 0;
        return true;
      case kFloat4Oid:
      case kFloat8Oid:
      case kNumericOid: {
        double d = 0;
        if (!ParseWholeDouble(t, d) || d != std::floor(d) || d < -9.2e18 || d > 9.2e18) return false;
        out = static_cast<long long>(d);
        return true;
      }
      default:
        return ParseWholeInt64(t, out);
    }
  }

  bool getDouble(int col, double& out) override {
    if (!valid(col)) return false;
    if (PQgetisnull(m_result, m_row, col)) {
      out = 0;
      return true;
    }
    const char* t = PQgetvalue(m_result, m_row, col);
    if (PQftype(m_result, col) == kBoolOid) {
      out = t[0] == 't' ? 1 : 0;
      return true;
    }
    return ParseWholeDouble(t, out);
  }

  const char* getText(int col, size_t& length) override {
    if (!valid(col) || PQgetisnull(m_result, m_row, col)) {
      length = 0;
      return nullptr;
    }
    length = static_cast<size_t>(PQgetlength(m_result, m_row, col));
    return PQgetvalue(m_result, m_row, col);
  }

  Value getValue(int col) override {
    if (!valid(col) || PQgetisnull(m_result, m_row, col)) return Value::Null();
    const char* t = PQgetvalue(m_result, m_row, col);
    switch (PQftype(m_result, col)) {
      case kInt2Oid:
      case kInt4Oid:
      case kInt8Oid:
      case kOidOid: {
        long long v = 0;
        if (ParseWholeInt64(t, v)) return Value::Int(v);
        break;
      }
      case kBoolOid:
        return Value::Int(t[0] == 't' ? 1 : 0);
      case kFloat4Oid:
      case kFloat8Oid:
      case kNumericOid: {
        double d = 0;
        if (ParseWholeDouble(t, d)) return Value::Real(d);
        break;
      }
      default:
        break;
    }
    return Value::Text(std::string(t, static_cast<size_t>(PQgetlength(m_result, m_row, col))));
  }

  void reset() override {
    clearResult();
    for (int i = 0; i < m_paramCount; ++i) {
      m_isNull[i] = true;
      m_values[i].clear();
    }
  }

 private:
  bool prepared() const { return !m_name.empty() && m_generation == m_link->generation; }

  bool valid(int col) const {
    return m_result != nullptr && m_row < m_rowCount && col >= 0 && col < PQnfields(m_result);
  }

  void clearResult() {
    if (m_result != nullptr) PQclear(m_result);
    m_result = nullptr;
    m_row = 0;
    m_rowCount = 0;
  }

  bool serverPrepare(const Oid* types, std::string& err, std::string* state) {
    if (!m_link->ensureAlive(err)) return false;
    std::string name = "kq" + std::to_string(++m_link->nextStatement);
    PGresult* res = PQprepare(m_link->conn, name.c_str(), m_sql.c_str(), m_paramCount, types);
    bool ok = res != nullptr && ResultOk(res);
    if (!ok) {
      err = ResultError(res, m_link->conn);
      if (state != nullptr) {
        const char* s = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        *state = s != nullptr ? s : "";
      }
    } else {
      m_name = name;
      m_generation = m_link->generation;
    }
    PQclear(res);
    return ok;
  }

  // Drops the server's copy while the connection is usable; a copy left behind (a broken
  // connection, an aborted transaction) goes with the connection, and its name is never reused.
  void deallocate() {
    if (!prepared()) {
      m_name.clear();
      return;
    }
    PGconn* conn = m_link->conn;
    if (m_link->usable() && PQtransactionStatus(conn) != PQTRANS_INERROR) {
      std::string sql = "DEALLOCATE " + m_name;
      PQclear(PQexec(conn, sql.c_str()));
    }
    m_name.clear();
  }

  bool execute(std::string& err) {
    if (!m_link->ensureAlive(err)) return false;
    if (!prepared()) {
      if (m_typedByValues && m_types.empty()) {
        err = "statement was not bound";
        return false;
      }
      if (!serverPrepare(m_typedByValues ? m_types.data() : nullptr, err, nullptr)) return false;
    }
    for (int i = 0; i < m_paramCount; ++i)
      m_pointers[i] = m_isNull[i] ? nullptr : m_values[i].c_str();
    PGresult* res = PQexecPrepared(m_link->conn, m_name.c_str(), m_paramCount, m_pointers.data(),
                                   nullptr, nullptr, 0);
    if (res == nullptr || !ResultOk(res)) {
      err = ResultError(res, m_link->conn);
      PQclear(res);
      return false;
    }
    m_result = res;
    m_rowCount = PQntuples(res);
    return true;
  }

  std::shared_ptr<PgLink> m_link;
  std::string m_sql;
  int m_paramCount;
  std::string m_name;  // the server-side name; empty when not prepared
  unsigned long m_generation = 0;
  bool m_typedByValues = false;  // prepared with the bound values' types
  std::vector<Oid> m_types;
  std::vector<std::string> m_values;
  std::vector<bool> m_isNull;
  std::vector<const char*> m_pointers;
  PGresult* m_result = nullptr;
  int m_row = 0;
  int m_rowCount = 0;
};

// A write transaction takes the schema's advisory lock, so that writers queue as they do on the
// embedded backend (and concurrent "IF NOT EXISTS" schema set-ups cannot collide): at once, or
// before the first write of a transaction begun for reading.
const char kWriteLock[] = "SELECT pg_advisory_xact_lock(19281, hashtext(current_schema()))";
const char kBeginWrite[] = "BEGIN; SELECT pg_advisory_xact_lock(19281, hashtext(current_schema()))";

class PgConnection : public Connection {
 public:
  explicit PgConnection(std::shared_ptr<PgLink> link) : m_link(std::move(link)) {}
  ~PgConnection() override { rollback(); }

  std::unique_ptr<Statement> prepare(const std::string& sql, std::string& err) override {
    std::unique_ptr<PgStatement> stmt(new PgStatement(m_link, sql));
    if (!stmt->prepareUntyped(err)) return nullptr;
    return stmt;
  }

  bool execScript(const std::string& sql, std::string& err) override {
    return m_link->exec(sql.c_str(), err);
  }

  bool begin(bool write, std::string& err) override {
    if (m_link->inTransaction) {
      err = "a transaction is already open on this connection";
      return false;
    }
    if (!m_link->exec(write ? kBeginWrite : "BEGIN", err)) {
      if (m_link->usable() && PQtransactionStatus(m_link->conn) != PQTRANS_IDLE) {
        std::string ignored;
        m_link->exec("ROLLBACK", ignored);
      }
      return false;
    }
    m_link->inTransaction = true;
    return true;
  }

  bool lockForWrite(std::string& err) override {
    if (!m_link->inTransaction) {
      err = "no transaction is open";
      return false;
    }
    return m_link->exec(kWriteLock, err);
  }

  bool commit(std::string& err) override {
    if (!m_link->inTransaction) {
      err = "no transaction is open";
      return false;
    }
    PGresult* res = nullptr;
    if (!m_link->exec("COMMIT", err, &res)) {
      rollback();
      return false;
    }
    m_link->inTransaction = false;
    // The server answers COMMIT of a transaction that failed earlier with ROLLBACK.
    bool committed = strcmp(PQcmdStatus(res), "COMMIT") == 0;
    PQclear(res);
    if (!committed) err = "the transaction was rolled back after an earlier error";
    return committed;
  }

  void rollback() override {
    if (!m_link->inTransaction) return;
    m_link->inTransaction = false;
    if (!m_link->usable() || PQtransactionStatus(m_link->conn) == PQTRANS_IDLE) return;
    std::string ignored;
    m_link->exec("ROLLBACK", ignored);
  }

 private:
  std::shared_ptr<PgLink> m_link;
};

class PgBackend : public Backend {
 public:
  const char* name() const override { return "postgres"; }

  std::string location(const DbSettings& settings) const override {
    return GetSetting(settings, "sconnectionstring");
  }

  std::unique_ptr<Connection> connect(const DbSettings& settings, std::string& err) override {
    auto link = std::make_shared<PgLink>();
    link->conn = PQconnectdb(location(settings).c_str());
    if (link->conn == nullptr) {
      err = "cannot connect to PostgreSQL: out of memory";
      return nullptr;
    }
    if (PQstatus(link->conn) != CONNECTION_OK) {
      err = "cannot connect to PostgreSQL: " + OneLine(PQerrorMessage(link->conn));
      return nullptr;
    }
    // "already exists, skipping" and similar notices are expected; they are not errors.
    PQsetNoticeProcessor(link->conn, IgnoreNotice, nullptr);
    // Texts travel as UTF-8, and date-times come back as "YYYY-MM-DD HH:MM:SS[.f]" whatever
    // the server's defaults. A wait for a lock (a writer's queue, a row) ends like the embedded
    // backend's busy wait.
    link->setupSql =
        "SET DateStyle = ISO; SET lock_timeout = " + std::to_string(BusyTimeoutMs(settings));
    if (!link->setUp(err)) return nullptr;
    return std::unique_ptr<Connection>(new PgConnection(std::move(link)));
  }
};

}  // namespace

std::shared_ptr<Backend> MakePgBackend() { return std::make_shared<PgBackend>(); }

}  // namespace db
}  // namespace kq
