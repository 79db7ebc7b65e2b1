// DBtable: the table object of the database layer, and DBtran, its transaction.
//
// Every record (a table, a stored procedure or an SQL batch of the Hubnode database) is a
// DBtable. A record describes its columns once (bindColumns: name, type code, place in its row
// struct); the table runs the query on the calling thread's connection and copies each fetched
// row into the row struct, and into the row-schema values when the record has a row-schema
// object. Result columns are mapped by position.
//
// Result codes: 0 a row was read, 100 no (more) rows, 1000 any failure at all (no database,
// prepare, execute, fetch, a value that does not convert); getErrorStr(1000) then gives the
// backend's own message. Every value reaches the database as a bound parameter: the conditions
// of setWhere, the inputs of BindInput and the values of CallDBsprintfWrapper alike.
//
// Texts: an sN column is cut to N-1 bytes plus the terminator; an s or u column is a heap text
// (array new) owned by the row struct, a null pointer for SQL NULL, freed on the next fetch.
// Values handed to BindInput belong to the table, which deletes them.
#ifndef KQ_PLATFORM_DATABASE_DBTABLE_H_
#define KQ_PLATFORM_DATABASE_DBTABLE_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Database/DbBackend.h"
#include "Database/FXLockableResource.h"
#include "Database/KQDBDataType.h"
#include "Database/KQDBRowBase.h"

namespace kq {
namespace db {
class Session;
}  // namespace db
}  // namespace kq

namespace kqdb {
// One column of a record: its name, type code ('i', 'b', 'f', 't', 's', 'u'), the size of its
// row-struct field and the field's offset in the row struct. A fixed text is 's' with size > 0
// and a char array; a heap text is 's' or 'u' with a char* field.
struct ColumnDesc {
  const char* name;
  char code;
  bool heapText;
  size_t size;
  size_t offset;
};
}  // namespace kqdb

class DBtable;

// The connection object of a table: keeps the record's indicator array, which each fetch fills
// with -1 for a NULL column and otherwise the value's length in bytes.
class KQSimpleDBConnObject {
 public:
  void setExtIndicatorArray(void* indicators) { m_indicators = static_cast<long long*>(indicators); }
  long long* getExtIndicatorArray() const { return m_indicators; }

 private:
  long long* m_indicators = nullptr;
};

// A transaction on the calling thread's connection. Records that join it run inside it. It
// starts without the write lock, so that other writers go on while it only reads; its first
// write (a procedure that changes data) takes the lock and holds it to the end. A joined
// record leaves the transaction when it is destroyed, and a transaction destroyed first lets
// go of the records still joined.
class DBtran {
 public:
  explicit DBtran(bool = false);
  ~DBtran();  // rolls back a transaction still open
  DBtran(const DBtran&) = delete;
  DBtran& operator=(const DBtran&) = delete;

  int startTran();                             // 0, or 1000
  int commitTran(bool rollbackInstead = false);  // 0, or 1000
  // Joins a record. Throws std::logic_error for a null record or a finished transaction.
  void addObject(DBtable* table);
  size_t objectCount() const;

 private:
  friend class DBtable;
  void forget(DBtable* table);

  std::shared_ptr<kq::db::Session> m_session;
  bool m_open = false;
  bool m_finished = false;
  mutable std::mutex m_objectsMutex;
  std::vector<DBtable*> m_objects;
};

class DBtable {
 public:
  // objectName: the table, procedure or batch; flags: not used by this layer.
  DBtable(const char* objectName, int flags, DBtran* tran);
  virtual ~DBtable();
  DBtable(const DBtable&) = delete;
  DBtable& operator=(const DBtable&) = delete;

  // Query set-up (tables).
  void setOrderBy(const char* orderBy);
  void setWhere(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void setTop(int top);
  void setIsolationType(unsigned type) { m_isolation = type; }
  unsigned getIsolationType() const { return m_isolation; }

  // Cursor over the rows: open 0 or 1000, fetch 0/100/1000, close 0.
  int openCursor();
  int fetchCursor(bool next = true);
  int closeCursor();

  // A procedure's text result (the first column of its first row): open, fetch, close.
  virtual int open();
  virtual int close();
  virtual int fetchText(std::string& text);

  // The text of a result code: for 1000 the backend's message of the last failure on this
  // thread.
  static const char* getErrorStr(int code);
  // This table's last failure message (empty when none).
  const std::string& lastError() const { return m_error; }

  // Procedure inputs (new base): BindInput takes ownership.
  void BindInput(KQDBDataTypeBase* value);
  void ClearBoundInputs();
  const std::vector<KQDBDataTypeBase*>& getBoundInputs() const { return m_boundInputs; }

  // Legacy call text: printed for logs, and its values bound as the call's arguments.
  void CallDBsprintfWrapper(const char* format, ...);
  void valuesClauseCheck(unsigned long size);
  void querySizeCheck(unsigned long size, bool);
  const std::string& getCallText() const { return m_callText; }
  unsigned long getSizeEstimate() const { return m_sizeEstimate; }
  int getInputsBound() const { return m_inputsBound; }

  const char* getTableName() const { return m_objectName.c_str(); }
  void setExtIndicatorArray(void* indicators) {
    if (b_newDBBase) m_connObj.setExtIndicatorArray(indicators);
  }
  KQSimpleDBConnObject& getConnObject() { return m_connObj; }

  int getKind() const { return m_kind; }
  const std::string& getDescription() const { return m_description; }
  const char* getColumnList() const { return m_columnList; }
  const char* getVersion() const { return m_version; }
  const char* getSignature() const { return m_signature; }
  const char* getIdentityColumn() const { return m_identityColumn; }
  void* getIdentityField() const { return m_identityField; }
  KQDBRowBase* getRowSchema() const { return m_rowSchema; }
  DBtran* getTransaction() const { return m_tran; }
  const std::string& getOrderBy() const { return m_orderBy; }

  // The SQL of the next table query (as it is prepared; values appear as $n).
  std::string buildSelect() const;

  // 1 selects the new base (inputs through BindInput and row-schema objects).
  static int b_newDBBase;
  static FXCriticalSection DBCriticalSection;

  friend int getOneRow(DBtable*, bool, int, int);
  friend int getNextRow(DBtable*, int*, int, int);

 protected:
  // The record's columns and its row struct; called once by the record's constructor.
  void bindColumns(const kqdb::ColumnDesc* columns, size_t count, void* row);
  // Ends the open query and its statement.
  void endQuery();

  // Fields that records set.
  std::string m_description;
  int m_kind = 0;
  const char* m_columnList = "";
  const char* m_identityColumn = nullptr;
  void* m_identityField = nullptr;
  int m_identityWord3 = 0;
  const char* m_version = nullptr;
  char m_signature[21] = {0};
  KQDBRowBase* m_rowSchema = nullptr;
  DBtran* m_tran = nullptr;
  int m_inputsBound = 0;

 private:
  friend class DBtran;
  DBtran* m_joined = nullptr;  // the transaction this record joined, while it lives

 private:
  struct Query;

  int startQuery();
  int fetch();
  int copyRow();
  int fail(const std::string& message);

  std::string m_objectName;
  std::string m_where;
  bool m_whereFailed = false;
  std::vector<kq::db::Value> m_whereParams;
  std::string m_orderBy;
  int m_top = 0;
  unsigned m_isolation = 0;
  std::vector<KQDBDataTypeBase*> m_boundInputs;
  std::string m_callText;
  std::vector<kq::db::Value> m_callParams;
  bool m_haveCallParams = false;
  unsigned long m_sizeEstimate = 0;
  KQSimpleDBConnObject m_connObj;
  const kqdb::ColumnDesc* m_columns = nullptr;
  size_t m_columnCount = 0;
  void* m_row = nullptr;
  std::unique_ptr<Query> m_query;
  std::string m_error;
};

// One row: 0 a row, 100 none, 1000 failure. The query runs afresh at each call.
int getOneRow(DBtable* table, bool, int, int);
// Runs the query when *count is 0, then one row per call (0, and *count grows by one), then
// 100; 1000 on failure.
int getNextRow(DBtable* table, int* count, int, int);

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_DBTABLE_H_
