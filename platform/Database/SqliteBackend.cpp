// The built-in SQLite backend: one database file, shared by the threads (one connection each)
// and processes that use it, in WAL mode with a busy timeout.
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "Configuration/KQPlatformInfo.h"
#include "Configuration/StateFolders.h"
#include "Database/DbBackend.h"
#include "Logging/EvDebug.h"
#include "PortableFiles/PxError.h"
#include "PortableFiles/ScopedFd.h"
#include "PortableFiles/TrustedFolder.h"

namespace kq {
namespace db {
namespace {

// "$12" becomes "?12".
std::string ToSqliteParameters(const std::string& sql) {
  return RewriteParameters(sql, [](long n) { return "?" + std::to_string(n); });
}

// The database file's default folder, as Configuration/StateFolders.h places it.
const char kStateKind[] = "Database";

class SqliteStatement : public Statement {
 public:
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
  ~SqliteStatement() override { sqlite3_finalize(m_stmt); }

  bool bind(const std::vector<Value>& params, std::string& err) override {
    int expected = sqlite3_bind_parameter_count(m_stmt);
    if (expected != static_cast<int>(params.size())) {
      err = "statement takes " + std::to_string(expected) + " parameters, " +
            std::to_string(params.size()) + " given";
      return false;
    }
    for (int i = 0; i < expected; ++i) {
      const Value& v = params[i];
      int rc = SQLITE_OK;
      switch (v.kind) {
        case Value::kNull: rc = sqlite3_bind_null(m_stmt, i + 1); break;
        case Value::kInt: rc = sqlite3_bind_int64(m_stmt, i + 1, v.i); break;
        case Value::kReal: rc = sqlite3_bind_double(m_stmt, i + 1, v.d); break;
        case Value::kText:
          rc = sqlite3_bind_text64(m_stmt, i + 1, v.s.data(), v.s.size(), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
          break;
      }
      if (rc != SQLITE_OK) {
        err = sqlite3_errmsg(m_db);
        return false;
      }
    }
    return true;
  }

  int step(std::string& err) override {
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return kDbRow;
    if (rc == SQLITE_DONE) return kDbNoData;
    err = sqlite3_errmsg(m_db);
    return kDbFailed;
  }

  int columnCount() override { return sqlite3_column_count(m_stmt); }
  bool isNull(int col) override { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }

  bool readInt64(int col, long long& out, bool& null) override {
    int type = sqlite3_column_type(m_stmt, col);
    null = type == SQLITE_NULL;
    if (type == SQLITE_INTEGER) {
      out = sqlite3_column_int64(m_stmt, col);
      return true;
    }
    return getInt64(col, out);
  }

  bool getInt64(int col, long long& out) override {
    switch (sqlite3_column_type(m_stmt, col)) {
      case SQLITE_INTEGER: out = sqlite3_column_int64(m_stmt, col); return true;
      case SQLITE_NULL: out = 0; return true;
      case SQLITE_FLOAT: {
        double d = sqlite3_column_double(m_stmt, col);
        if (d != std::floor(d) || d < -9.2e18 || d > 9.2e18) return false;
        out = static_cast<long long>(d);
        return true;
      }
      case SQLITE_TEXT: {
        const char* t = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, col));
        return ParseWholeInt64(t, out);
      }
      default: return false;
    }
  }

  bool getDouble(int col, double& out) override {
    switch (sqlite3_column_type(m_stmt, col)) {
      case SQLITE_INTEGER:
      case SQLITE_FLOAT: out = sqlite3_column_double(m_stmt, col); return true;
      case SQLITE_NULL: out = 0; return true;
      case SQLITE_TEXT: {
        const char* t = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, col));
        return ParseWholeDouble(t, out);
      }
      default: return false;
    }
  }

  const char* getText(int col, size_t& length) override {
    const unsigned char* t = sqlite3_column_text(m_stmt, col);
    length = t == nullptr ? 0 : static_cast<size_t>(sqlite3_column_bytes(m_stmt, col));
    return reinterpret_cast<const char*>(t);
  }

  Value getValue(int col) override {
    switch (sqlite3_column_type(m_stmt, col)) {
      case SQLITE_INTEGER: return Value::Int(sqlite3_column_int64(m_stmt, col));
      case SQLITE_FLOAT: return Value::Real(sqlite3_column_double(m_stmt, col));
      case SQLITE_NULL: return Value::Null();
      default: {
        size_t length = 0;
        const char* t = getText(col, length);
        return Value::Text(std::string(t != nullptr ? t : "", length));
      }
    }
  }

  void reset() override {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt;
};

// One connection, and the descriptor of the checked folder through which SQLite reached the
// database file: its journal files are named through the same descriptor, so it is closed only
// after the connection.
class SqliteConnection : public Connection {
 public:
  SqliteConnection(sqlite3* db, int folderFd) : m_db(db), m_folderFd(folderFd) {}
  ~SqliteConnection() override {
    // Every statement is finalized by now. Were one left, the engine would close the file later
    // and could delete its journal files through the descriptor's number, by then another file's:
    // the descriptor is then kept open.
    if (sqlite3_close(m_db) == SQLITE_OK) {
      ::close(m_folderFd);
    } else {
      sqlite3_close_v2(m_db);
    }
  }

  std::unique_ptr<Statement> prepare(const std::string& sql, std::string& err) override {
    std::string text = ToSqliteParameters(sql);
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v3(m_db, text.c_str(), static_cast<int>(text.size()) + 1,
                                SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
    if (rc != SQLITE_OK) {
      err = sqlite3_errmsg(m_db);
      sqlite3_finalize(stmt);
      return nullptr;
    }
    if (stmt == nullptr) {
      err = "empty statement";
      return nullptr;
    }
    while (tail != nullptr && (*tail == ' ' || *tail == '\n' || *tail == '\t' || *tail == ';'))
      ++tail;
    if (tail != nullptr && *tail != '\0') {
      sqlite3_finalize(stmt);
      err = "more than one statement in one call";
      return nullptr;
    }
    return std::unique_ptr<Statement>(new SqliteStatement(m_db, stmt));
  }

  bool execScript(const std::string& sql, std::string& err) override {
    char* msg = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK) return true;
    err = msg != nullptr ? msg : sqlite3_errmsg(m_db);
    sqlite3_free(msg);
    return false;
  }

  bool begin(bool write, std::string& err) override {
    return execScript(write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED", err);
  }
  // A deferred transaction takes the write lock by itself with its first write statement.
  bool lockForWrite(std::string&) override { return true; }
  bool commit(std::string& err) override { return execScript("COMMIT", err); }
  void rollback() override {
    std::string ignored;
    if (!sqlite3_get_autocommit(m_db)) execScript("ROLLBACK", ignored);
  }

 private:
  sqlite3* m_db;
  int m_folderFd;
};

// The name of the file system layer the database files are opened through: the platform's own
// in every respect but one. The platform's turns a name into an absolute one by resolving every
// symbolic link on the way, and so would turn "/proc/self/fd/<n>/<file>" back into the path of
// the folder, walked again; this one takes an absolute name as it is given.
const char kVfsName[] = "kq-unix";

// The layer's absolute name of a file: the name itself; a relative one cannot be opened.
int FullPathnameAsGiven(sqlite3_vfs*, const char* name, int outSize, char* out) {
  const size_t length = std::strlen(name);
  if (name[0] != '/' || length >= static_cast<size_t>(outSize)) return SQLITE_CANTOPEN;
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

// Registers the layer above once per process; false when the platform has none to forward to.
bool RegisterVfs() {
  static sqlite3_vfs vfs;
  static bool registered = false;
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_vfs* platform = sqlite3_vfs_find(nullptr);
    if (platform == nullptr) return;
    vfs = *platform;
    vfs.pNext = nullptr;
    vfs.zName = kVfsName;
    vfs.xFullPathname = FullPathnameAsGiven;
    registered = sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
  });
  return registered;
}

// Opens the folder of the database file, the default one and one the configuration names alike,
// checked at every level from "/" and made when missing (Configuration/StateFolders.h): another
// user must not be able to make any level of it first, swap one for a link or write into it. A
// relative "sPath" would land below whatever folder the process runs in, and is refused. The
// folder's descriptor, or -1 with err.
int OpenFolder(const std::string& path, bool isDefault, std::string& err) {
  if (isDefault) {
    std::string folder;
    const int fd = kq::OpenStateFolder(kStateKind, folder, err);
    if (fd < 0) err = "refusing " + kq::DescribeRefusal("folder of the database file", folder, err);
    return fd;
  }
  if (path[0] != '/') {
    err = "refusing the database file [" + path + "]: \"Database\"/\"sPath\" is not absolute";
    return -1;
  }
  const size_t slash = path.rfind('/');
  const int fd = kq::OpenConfiguredFolder(slash == 0 ? "/" : path.substr(0, slash), err);
  if (fd < 0) err = "cannot open database file [" + path + "]: " + err;
  return fd;
}

// The database file `name` in the folder open at folderFd (`path` in messages). A new one is made
// by us, private to this user (the engine gives its journal files the same mode), and said in
// the log; an existing one must be a regular file of this user or root, and is left as it is.
bool CheckFile(int folderFd, const std::string& name, const std::string& path, std::string& err) {
  const int create = O_RDWR | O_CREAT | O_EXCL;
  kq::ScopedFd fd(kq::OpenOwnFileAt(folderFd, name, create, 0600, true, path, err));
  if (fd.valid()) {
    EvDebug().DebugLvl("Database", 1, "Created the database file [%s]", path.c_str());
    return true;
  }
  if (errno == EEXIST) fd.reset(kq::OpenOwnFileAt(folderFd, name, O_RDONLY, 0, true, path, err));
  if (fd.valid()) {
    err.clear();  // the first open's "exists" is no failure
    return true;
  }
  err = "refusing the database file: " + err;
  return false;
}

class SqliteBackend : public Backend {
 public:
  const char* name() const override { return "sqlite"; }

  std::string location(const DbSettings& settings) const override {
    std::string path = GetSetting(settings, "spath");
    if (!path.empty()) return path;
    return kq::DefaultStateFolder(kStateKind) + "/Hubnode.db";
  }

  // SQLite opens the file through the descriptor of the folder checked, never through its path
  // again: a level swapped after the check changes nothing.
  std::unique_ptr<Connection> connect(const DbSettings& settings, std::string& err) override {
    std::string path = location(settings);
    const std::string name = path.substr(path.rfind('/') + 1);
    kq::ScopedFd folder(OpenFolder(path, GetSetting(settings, "spath").empty(), err));
    if (!folder.valid() || !CheckFile(folder.get(), name, path, err)) {
      EvDebug().DebugLvl("Database", 0, "%s", err.c_str());
      kq::ReportRefusal("Database", err);  // the log may be refused as well
      return nullptr;
    }
    if (!RegisterVfs()) {
      err = "cannot open database file [" + path + "]: the engine has no file system layer";
      return nullptr;
    }
    long timeoutMs = BusyTimeoutMs(settings);
    sqlite3* db = nullptr;
    const std::string through = kq::PathThroughFd(folder.get(), name);
    int rc = sqlite3_open_v2(through.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             kVfsName);
    if (rc != SQLITE_OK) {
      err = "cannot open database file [" + path + "]: " +
            (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
      // The engine reaches the file through /proc/self/fd, and says only that it cannot open it.
      if (::access("/proc/self/fd", F_OK) != 0)
        err += " (it is opened through /proc/self/fd: /proc must be mounted)";
      sqlite3_close_v2(db);
      return nullptr;
    }
    sqlite3_busy_timeout(db, static_cast<int>(timeoutMs));
    std::unique_ptr<SqliteConnection> conn(new SqliteConnection(db, folder.release()));
    // Switching a new file to WAL takes a lock that the busy handler does not wait for: when
    // several processes open a new database together, the switch is tried again until the
    // busy timeout has passed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (conn->execScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", err)) break;
      int code = sqlite3_errcode(db) & 0xFF;
      if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) ||
          std::chrono::steady_clock::now() >= deadline) {
        err = "cannot set up database file [" + path + "]: " + err;
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return conn;
  }
};

}  // namespace

std::shared_ptr<Backend> MakeSqliteBackend() { return std::make_shared<SqliteBackend>(); }

}  // namespace db
}  // namespace kq
