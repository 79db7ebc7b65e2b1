// The database backend interface.
//
// The database layer (DBtable and friends) speaks to a database only through these three
// classes, so that one backend can replace another: SQLite is built in; another backend
// registers itself with RegisterDbBackend under the name that "Database"/"sBackend" selects.
//
// SQL handed to a backend is portable: parameters are written $1, $2, ... (each number used
// in a statement is bound; the layer renumbers them densely per statement), identifiers are
// unquoted (so case-insensitive on every backend), and a text of several statements is only
// ever given to execScript. Result codes are those of the layer: 0 a row, 100 no (more)
// rows, 1000 a failure with the backend's own message in err.
#ifndef KQ_PLATFORM_DATABASE_DBBACKEND_H_
#define KQ_PLATFORM_DATABASE_DBBACKEND_H_

#pragma GCC visibility push(default)

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kq {
namespace db {

enum : int { kDbRow = 0, kDbNoData = 100, kDbFailed = 1000 };

// One parameter or result value.
struct Value {
  enum Kind { kNull, kInt, kReal, kText };
  Kind kind = kNull;
  long long i = 0;
  double d = 0;
  std::string s;

  static Value Null() { return Value(); }
  static Value Int(long long v) {
    Value r;
    r.kind = kInt;
    r.i = v;
    return r;
  }
  static Value Real(double v) {
    Value r;
    r.kind = kReal;
    r.d = v;
    return r;
  }
  static Value Text(std::string v) {
    Value r;
    r.kind = kText;
    r.s = std::move(v);
    return r;
  }
  bool operator==(const Value& o) const {
    return kind == o.kind && i == o.i && d == o.d && s == o.s;
  }
};

using Row = std::vector<Value>;

// One compiled statement; used by one thread at a time.
class Statement {
 public:
  virtual ~Statement() = default;
  // Binds $1..$n in order; the count must match the statement's parameters.
  virtual bool bind(const std::vector<Value>& params, std::string& err) = 0;
  // Runs or continues the statement: kDbRow, kDbNoData, or kDbFailed with err.
  virtual int step(std::string& err) = 0;
  virtual int columnCount() = 0;
  // Column accessors for the current row (0-based). The getters return false when the value
  // cannot be read as that type (a text that is not a number, a fraction for an integer).
  virtual bool isNull(int col) = 0;
  virtual bool getInt64(int col, long long& out) = 0;
  virtual bool getDouble(int col, double& out) = 0;
  // Null for SQL NULL; valid until the next step or reset.
  virtual const char* getText(int col, size_t& length) = 0;
  // The column as the backend holds it.
  virtual Value getValue(int col) = 0;
  // isNull and getInt64 / getDouble in one call (a backend may answer both at once).
  virtual bool readInt64(int col, long long& out, bool& null) {
    null = isNull(col);
    return getInt64(col, out);
  }
  virtual bool readDouble(int col, double& out, bool& null) {
    null = isNull(col);
    return getDouble(col, out);
  }
  // Back to the state after prepare (bindings cleared).
  virtual void reset() = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;
  virtual std::unique_ptr<Statement> prepare(const std::string& sql, std::string& err) = 0;
  // Runs a script of statements without parameters (the schema).
  virtual bool execScript(const std::string& sql, std::string& err) = 0;
  // A transaction; write=true takes the write lock at once, otherwise at its first write.
  virtual bool begin(bool write, std::string& err) = 0;
  // Takes the write lock inside a transaction begun without it, before its first write.
  virtual bool lockForWrite(std::string& err) = 0;
  virtual bool commit(std::string& err) = 0;
  virtual void rollback() = 0;
};

// Values of the "Database" configuration section, names in lower case.
using DbSettings = std::map<std::string, std::string>;

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;
  // Where the settings point (a file, a server): connections to equal locations are shared.
  virtual std::string location(const DbSettings& settings) const = 0;
  virtual std::unique_ptr<Connection> connect(const DbSettings& settings, std::string& err) = 0;
};

// Makes a backend selectable by name (case-insensitive); replaces one of the same name.
void RegisterDbBackend(const std::string& name, std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> FindDbBackend(const std::string& name);

// The built-in SQLite backend ("sqlite"): settings "spath" (the database file; default
// "Hubnode.db" in the default state folder "Database" of Configuration/StateFolders.h, that is
// "Base"/"dHOME" + "/Database", else a folder private to the user) and
// "nbusytimeoutms" (default 30000).
std::shared_ptr<Backend> MakeSqliteBackend();

// The PostgreSQL backend ("postgres"): setting "sconnectionstring", a libpq connection string
// (e.g. "host=db.example port=5432 dbname=hubnode user=kq"; libpq's PG* environment variables
// fill in what it leaves out); "nbusytimeoutms" bounds every wait for a lock.
std::shared_ptr<Backend> MakePgBackend();

// A whole decimal integer or number of a result text; false on an empty text, trailing junk or
// an integer that overflows. Every backend reads texts of numeric columns through these.
bool ParseWholeInt64(const char* text, long long& out);
bool ParseWholeDouble(const char* text, double& out);

// A backend setting's value; empty when absent.
std::string GetSetting(const DbSettings& settings, const char* name);
// How long a backend waits for another connection's lock: "nbusytimeoutms", default 30000.
long BusyTimeoutMs(const DbSettings& settings);

// The statement with each "$n" placeholder outside string literals, quoted identifiers and "--"
// comments replaced by replace(n), everything else as it stands.
std::string RewriteParameters(const std::string& sql,
                              const std::function<std::string(long)>& replace);

// "$3" placeholders of a portable statement renumbered densely in order of first use, with the
// matching parameters picked from args; a placeholder beyond args is an error.
bool DensifyParameters(const std::string& sql, const std::vector<Value>& args, std::string& outSql,
                       std::vector<Value>& outArgs, std::string& err);

}  // namespace db
}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_DBBACKEND_H_
