// Sessions: the calling thread's connection to the configured database.
//
// Each thread has its own connection per database (backend and location), opened on first use
// and reused; a database is given its schema the first time this process opens it. A session
// keeps its prepared statements for reuse: acquire() lends one out (a second borrower of the
// same text gets another), release() takes it back. A session is shared (shared_ptr) between
// the thread's cache and the records that hold a statement of it; CloseThreadSessions() closes
// the thread's sessions, after which a statement still lent out fails with 1000.
//
// Configuration ("Database" section): "sBackend" ("postgres" when only "sConnectionString" is
// set, else "sqlite" when absent) and the backend's own values (see DbBackend.h).
#ifndef KQ_PLATFORM_DATABASE_DBSESSION_H_
#define KQ_PLATFORM_DATABASE_DBSESSION_H_

#pragma GCC visibility push(default)

#include <sys/types.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Database/DbBackend.h"

namespace kq {
namespace db {

class Session {
 public:
  Session(std::unique_ptr<Connection> conn, std::string key);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool isOpen() const { return m_open; }
  // False in a child made by fork: such a session is left to the parent.
  bool ownedByThisProcess() const;
  const std::string& key() const { return m_key; }
  Connection& connection() { return *m_conn; }

  // A prepared statement of sql (portable dialect); null with err when it does not compile or
  // the session is closed.
  Statement* acquire(const std::string& sql, std::string& err);
  void release(Statement* stmt);

  // Transactions; nesting is refused (false with err). A transaction begun without write takes
  // the write lock in lockForWrite, which every writer inside a transaction calls first.
  bool begin(bool write, std::string& err);
  bool lockForWrite(std::string& err);
  bool commit(std::string& err);
  void rollback();
  bool inTransaction() const { return m_inTransaction; }

  void close();

 private:
  std::unique_ptr<Connection> m_conn;
  std::string m_key;
  pid_t m_pid;
  bool m_open = true;
  bool m_inTransaction = false;
  bool m_writeLocked = false;
  std::unordered_map<std::string, std::vector<std::unique_ptr<Statement>>> m_free;
  std::unordered_map<Statement*, std::pair<std::string, std::unique_ptr<Statement>>> m_lent;
  size_t m_freeCount = 0;
};

// The calling thread's session on the configured database; null with err when the database
// cannot be opened or given its schema, or while the configuration store is refused (err names
// the store).
std::shared_ptr<Session> ThreadSession(std::string& err);
// Closes the calling thread's sessions.
void CloseThreadSessions();

// Runs one portable statement with its arguments ($n placeholders). Fills rows when given.
// Returns 0 when rows were read, 100 when none, 1000 on failure (err).
int ExecuteSql(Session& session, const std::string& sql, const std::vector<Value>& args,
               std::vector<Row>* rows, std::string& err);

// The configuration value of the "Database" section (lower-cased names).
DbSettings ReadDbSettings();

}  // namespace db
}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_DBSESSION_H_
