#include "Database/DbSession.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "Configuration/IniStore.h"
#include "Configuration/KQPlatformInfo.h"
#include "Database/DbProcedures.h"
#include "Logging/EvDebug.h"

namespace kq {
namespace db {
namespace {

const size_t kMaxFreeStatements = 256;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct BackendRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Backend>> backends;
};

BackendRegistry& Backends() {
  static BackendRegistry* reg = [] {
    BackendRegistry* r = new BackendRegistry();
    r->backends["sqlite"] = MakeSqliteBackend();
    r->backends["postgres"] = MakePgBackend();
    return r;
  }();
  return *reg;
}

// Databases that this process has given their schema.
std::mutex g_schemaMutex;
std::set<std::string> g_schemaDone;

bool EnsureSchema(Session& session, std::string& err) {
  std::lock_guard<std::mutex> lock(g_schemaMutex);
  if (g_schemaDone.count(session.key()) != 0) return true;
  // Every statement is "IF NOT EXISTS": processes that start together create it once.
  if (!session.begin(true, err)) return false;
  if (!session.connection().execScript(SchemaScript(), err)) {
    session.rollback();
    return false;
  }
  if (!session.commit(err)) {
    session.rollback();
    return false;
  }
  g_schemaDone.insert(session.key());
  return true;
}

using SessionMap = std::map<std::string, std::shared_ptr<Session>>;

// The thread's sessions. They are closed when the thread ends; static objects destroyed after
// that (on the main thread) find no sessions rather than a destroyed map.
thread_local SessionMap* t_sessions = nullptr;
thread_local bool t_sessionsEnded = false;
struct SessionReaper {
  void touch() {}
  ~SessionReaper() {
    delete t_sessions;
    t_sessions = nullptr;
    t_sessionsEnded = true;
  }
};
thread_local SessionReaper t_reaper;

SessionMap* ThreadSessions() {
  if (t_sessionsEnded) return nullptr;
  t_reaper.touch();
  if (t_sessions == nullptr) t_sessions = new SessionMap();
  return t_sessions;
}

}  // namespace

void RegisterDbBackend(const std::string& name, std::shared_ptr<Backend> backend) {
  BackendRegistry& r = Backends();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.backends[Lower(name)] = std::move(backend);
}

std::shared_ptr<Backend> FindDbBackend(const std::string& name) {
  BackendRegistry& r = Backends();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.backends.find(Lower(name));
  return it == r.backends.end() ? nullptr : it->second;
}

bool ParseWholeInt64(const char* text, long long& out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool ParseWholeDouble(const char* text, double& out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  double v = strtod(text, &end);
  if (*end != '\0') return false;
  out = v;
  return true;
}

std::string GetSetting(const DbSettings& settings, const char* name) {
  auto it = settings.find(name);
  return it == settings.end() ? std::string() : it->second;
}

long BusyTimeoutMs(const DbSettings& settings) {
  long long v = 0;
  std::string t = GetSetting(settings, "nbusytimeoutms");
  if (!t.empty() && KqParseConfigNumber(t, v) && v >= 0 && v < 3600000) return static_cast<long>(v);
  return 30000;
}

std::string RewriteParameters(const std::string& sql,
                              const std::function<std::string(long)>& replace) {
  std::string out;
  out.reserve(sql.size());
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    size_t end = i + 1;
    if (c == '\'' || c == '"') {
      // To the closing quote; a doubled quote stands for one inside.
      while (end < sql.size() && !(sql[end] == c && (end + 1 == sql.size() || sql[end + 1] != c)))
        end += sql[end] == c ? 2 : 1;
      end = end < sql.size() ? end + 1 : sql.size();
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      end = sql.find('\n', i);
      if (end == std::string::npos) end = sql.size();
    } else if (c == '$' && end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end]))) {
      long n = 0;
      while (end < sql.size() && std::isdigit(static_cast<unsigned char>(sql[end])) && n < 100000)
        n = n * 10 + (sql[end++] - '0');
      out += replace(n);
      i = end;
      continue;
    }
    out.append(sql, i, end - i);
    i = end;
  }
  return out;
}

namespace {

// A statement's dense form: its text and, in new order, the argument numbers it uses.
struct DenseForm {
  std::string sql;
  std::vector<long> order;
  long highest = 0;
};

// The dense forms of the statements this thread ran lately (the same few texts run again and
// again); emptied when it grows beyond a few hundred.
thread_local std::unordered_map<std::string, DenseForm> t_denseForms;
constexpr size_t kMaxDenseForms = 512;

}  // namespace

bool DensifyParameters(const std::string& sql, const std::vector<Value>& args, std::string& outSql,
                       std::vector<Value>& outArgs, std::string& err) {
  outArgs.clear();
  auto known = t_denseForms.find(sql);
  if (known != t_denseForms.end() && static_cast<size_t>(known->second.highest) <= args.size()) {
    outSql = known->second.sql;
    outArgs.reserve(known->second.order.size());
    for (long n : known->second.order) outArgs.push_back(args[n - 1]);
    return true;
  }
  std::map<long, size_t> seen;  // argument number -> new number
  DenseForm form;
  bool ok = true;
  outSql = RewriteParameters(sql, [&](long n) {
    if (n < 1 || static_cast<size_t>(n) > args.size()) {
      if (ok) {
        err = "parameter $" + std::to_string(n) + " has no argument (" +
              std::to_string(args.size()) + " given)";
      }
      ok = false;
      return std::string();
    }
    auto it = seen.find(n);
    if (it == seen.end()) {
      outArgs.push_back(args[n - 1]);
      form.order.push_back(n);
      form.highest = std::max(form.highest, n);
      it = seen.emplace(n, outArgs.size()).first;
    }
    return "$" + std::to_string(it->second);
  });
  if (ok) {
    if (t_denseForms.size() >= kMaxDenseForms) t_denseForms.clear();
    form.sql = outSql;
    t_denseForms[sql] = std::move(form);
  }
  return ok;
}

Session::Session(std::unique_ptr<Connection> conn, std::string key)
    : m_conn(std::move(conn)), m_key(std::move(key)), m_pid(getpid()) {}

Session::~Session() {
  if (getpid() != m_pid) {
    // Inherited through fork: the parent still owns the handles; leave them alone.
    for (auto& e : m_free)
      for (auto& s : e.second) (void)s.release();
    for (auto& e : m_lent) (void)e.second.second.release();
    (void)m_conn.release();
    return;
  }
  m_free.clear();
  m_lent.clear();
  if (m_inTransaction) m_conn->rollback();
  m_conn.reset();
}

namespace {

// This process's id, asked of the kernel once and again in each child that fork makes (every
// query checks its session's owner).
pid_t ProcessId() {
  static std::atomic<pid_t> pid{0};
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { pid.store(getpid()); }); });
  pid_t p = pid.load(std::memory_order_relaxed);
  if (p == 0) {
    p = getpid();
    pid.store(p);
  }
  return p;
}

}  // namespace

bool Session::ownedByThisProcess() const { return m_pid == ProcessId(); }

Statement* Session::acquire(const std::string& sql, std::string& err) {
  if (!m_open) {
    err = "the database connection is closed";
    return nullptr;
  }
  std::unique_ptr<Statement> stmt;
  auto it = m_free.find(sql);
  if (it != m_free.end() && !it->second.empty()) {
    stmt = std::move(it->second.back());
    it->second.pop_back();
    --m_freeCount;
  } else {
    stmt = m_conn->prepare(sql, err);
    if (!stmt) return nullptr;
  }
  Statement* raw = stmt.get();
  m_lent.emplace(raw, std::make_pair(sql, std::move(stmt)));
  return raw;
}

void Session::release(Statement* stmt) {
  auto it = m_lent.find(stmt);
  if (it == m_lent.end()) return;
  std::pair<std::string, std::unique_ptr<Statement>> entry = std::move(it->second);
  m_lent.erase(it);
  if (!m_open) return;
  entry.second->reset();
  if (m_freeCount >= kMaxFreeStatements) {
    m_free.clear();
    m_freeCount = 0;
  }
  m_free[entry.first].push_back(std::move(entry.second));
  ++m_freeCount;
}

bool Session::begin(bool write, std::string& err) {
  if (!m_open) {
    err = "the database connection is closed";
    return false;
  }
  if (m_inTransaction) {
    err = "a transaction is already open on this connection";
    return false;
  }
  if (!m_conn->begin(write, err)) return false;
  m_inTransaction = true;
  m_writeLocked = write;
  return true;
}

bool Session::lockForWrite(std::string& err) {
  if (!m_inTransaction || m_writeLocked) return true;
  if (!m_conn->lockForWrite(err)) return false;
  m_writeLocked = true;
  return true;
}

bool Session::commit(std::string& err) {
  if (!m_inTransaction) {
    err = "no transaction is open";
    return false;
  }
  if (!m_conn->commit(err)) return false;
  m_inTransaction = false;
  return true;
}

void Session::rollback() {
  if (!m_inTransaction) return;
  m_conn->rollback();
  m_inTransaction = false;
}

void Session::close() {
  if (!m_open) return;
  rollback();
  m_free.clear();
  m_freeCount = 0;
  m_open = false;
}

namespace {

DbSettings SettingsOf(const kqconfig::IniData& data) {
  DbSettings settings;
  if (const kqconfig::IniData::Section* s = data.findSection("Database"))
    for (const auto& e : s->values) settings[Lower(e.first)] = e.second;
  return settings;
}

// The session key found last on this thread and the configuration it was found from. While
// the store is unchanged (the same snapshot) the key is reused, not worked out again; and for
// a few milliseconds after the store was last looked at, while this process wrote to no store
// and the store's path is the same, the key is used without looking (a lookup costs a file
// status call, a query only a little more).
thread_local std::shared_ptr<const kqconfig::IniData> t_keyConfig;
thread_local std::string t_key;
thread_local std::string t_keyPath;
thread_local unsigned long long t_keyGeneration = 0;
thread_local std::chrono::steady_clock::time_point t_keyChecked;
constexpr std::chrono::milliseconds kKeyRecheck(5);

// The calling thread's open session of this process under the key; null when none.
std::shared_ptr<Session> OpenSession(const std::string& key) {
  SessionMap* map = ThreadSessions();
  if (map == nullptr) return nullptr;
  auto it = map->find(key);
  if (it != map->end() && it->second->isOpen() && it->second->ownedByThisProcess())
    return it->second;
  return nullptr;
}

}  // namespace

DbSettings ReadDbSettings() { return SettingsOf(*kqconfig::IniStore::Default().snapshot()); }

std::shared_ptr<Session> ThreadSession(std::string& err) {
  const unsigned long long generation = kqconfig::IniStore::Generation();
  const std::string path = kqconfig::IniStore::DefaultPath();
  const auto now = std::chrono::steady_clock::now();
  if (!t_key.empty() && generation == t_keyGeneration && path == t_keyPath &&
      now - t_keyChecked < kKeyRecheck) {
    if (std::shared_ptr<Session> s = OpenSession(t_key)) return s;
  }
  std::shared_ptr<const kqconfig::IniData> config = kqconfig::IniStore::Default().snapshot();
  if (config == t_keyConfig && !t_key.empty()) {
    t_keyPath = path;
    t_keyGeneration = generation;
    t_keyChecked = now;
    if (std::shared_ptr<Session> s = OpenSession(t_key)) return s;
  }
  if (!config->refused.empty()) {
    // The store names the database: none other is opened in its place (nor made).
    err = "cannot open the database: " + config->refused;
    EvDebug().DebugLvl("Database", 0, "%s", err.c_str());
    return nullptr;
  }
  DbSettings settings = SettingsOf(*config);
  // A connection string alone selects the PostgreSQL server it names.
  std::string backendName = settings.count("sbackend")             ? settings["sbackend"]
                            : settings.count("sconnectionstring") ? "postgres"
                                                                  : "sqlite";
  std::shared_ptr<Backend> backend = FindDbBackend(backendName);
  if (!backend) {
    err = "no database backend named [" + backendName + "]";
    return nullptr;
  }
  std::string key = Lower(backendName) + "|" + backend->location(settings);
  t_keyConfig = config;
  t_key = key;
  t_keyPath = path;
  t_keyGeneration = generation;
  t_keyChecked = now;
  SessionMap* map = ThreadSessions();
  if (map == nullptr) {
    err = "the thread's database connections are already closed";
    return nullptr;
  }
  SessionMap& sessions = *map;
  auto it = sessions.find(key);
  if (it != sessions.end()) {
    if (it->second->isOpen() && it->second->ownedByThisProcess()) return it->second;
    sessions.erase(it);
  }
  std::unique_ptr<Connection> conn = backend->connect(settings, err);
  if (!conn) return nullptr;
  auto session = std::make_shared<Session>(std::move(conn), key);
  if (!EnsureSchema(*session, err)) {
    err = "cannot create the database schema: " + err;
    return nullptr;
  }
  sessions[key] = session;
  return session;
}

void CloseThreadSessions() {
  SessionMap* sessions = ThreadSessions();
  if (sessions == nullptr) return;
  for (auto& e : *sessions) e.second->close();
  sessions->clear();
}

int ExecuteSql(Session& session, const std::string& sql, const std::vector<Value>& args,
               std::vector<Row>* rows, std::string& err) {
  std::string dense;
  std::vector<Value> params;
  if (!DensifyParameters(sql, args, dense, params, err)) return kDbFailed;
  Statement* stmt = session.acquire(dense, err);
  if (stmt == nullptr) return kDbFailed;
  int rc = stmt->bind(params, err) ? kDbRow : kDbFailed;
  bool any = false;
  while (rc == kDbRow) {
    rc = stmt->step(err);
    if (rc == kDbRow) {
      any = true;
      if (rows != nullptr) {
        Row row;
        int n = stmt->columnCount();
        row.reserve(n);
        for (int c = 0; c < n; ++c) row.push_back(stmt->getValue(c));
        rows->push_back(std::move(row));
      }
    }
  }
  session.release(stmt);
  if (rc == kDbFailed) return kDbFailed;
  return any ? kDbRow : kDbNoData;
}

}  // namespace db
}  // namespace kq
