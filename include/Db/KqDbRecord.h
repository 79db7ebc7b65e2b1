// The record pattern of the Hubnode database objects.
//
// Every table, stored procedure and SQL batch that the library uses is a record made from one
// compact column list. For a record X the header under include/Db/ writes
//
//   #define X_COLUMNS(C) C(id, i, 0) C(release, s, 129) C(buildNum, i, 0)
//   KQDB_TABLE(X, "objectName", "include/Db/Tbl/", "1.17.58.4", "id", false,
//              KQDB_LIST("id"), KQDB_NO_FOREIGN_KEYS)
//
// and gets three classes:
//   X_t   the row struct, one field per column: i int, b long long, f float, t DB_DATETIME,
//         s with a size N char[N], s with size 0 or u a heap text (char*, array new, null at
//         start, freed by the destructor; copies are deep);
//   X_t2  the row-schema class (KQDBRowBase) with its class-wide data;
//   X     the record (a DBtable), which the caller makes on its stack, sets up, fetches with
//         getOneRow / getNextRow / the cursor calls, and reads through getDataPtr().
// A record owns its row struct and its row-schema object; values it binds belong to the table.
#ifndef KQ_INCLUDE_DB_KQDBRECORD_H_
#define KQ_INCLUDE_DB_KQDBRECORD_H_

#pragma GCC visibility push(default)

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "Database/DBtable.h"
#include "Logging/EvDebug.h"

namespace kqdb {

// Row-struct field type of a column's type code and size.
template <char Code, int N> struct Field;
template <int N> struct Field<'i', N> { using type = int; };
template <int N> struct Field<'b', N> { using type = long long; };
template <int N> struct Field<'f', N> { using type = float; };
template <int N> struct Field<'t', N> { using type = DB_DATETIME; };
template <int N> struct Field<'s', N> { using type = char[N]; };
template <> struct Field<'s', 0> { using type = char*; };
template <int N> struct Field<'u', N> { using type = char*; };

constexpr bool IsHeapText(char code, int n) { return code == 'u' || (code == 's' && n == 0); }

inline void InitField(int& f) { f = 0; }
inline void InitField(long long& f) { f = 0; }
inline void InitField(float& f) { f = 0; }
inline void InitField(DB_DATETIME& f) { f.clear(); }
inline void InitField(char*& f) { f = nullptr; }
template <size_t N> inline void InitField(char (&f)[N]) { f[0] = '\0'; }

inline void FreeField(char*& f) {
  delete[] f;
  f = nullptr;
}
template <class T> inline void FreeField(T&) {}

template <class T> inline void CopyField(T& to, const T& from) { to = from; }
template <size_t N> inline void CopyField(char (&to)[N], const char (&from)[N]) {
  std::memcpy(to, from, N);
}
inline void CopyField(char*& to, char* const& from) {
  delete[] to;
  to = nullptr;
  if (from != nullptr) {
    size_t n = std::strlen(from);
    to = new char[n + 1];
    std::memcpy(to, from, n + 1);
  }
}

// The value object of a column (KQDBRowBase owns it).
inline KQDBDataTypeBase* NewValue(const ColumnDesc& c) {
  switch (c.code) {
    case 'i': return new KQDBPrimitiveType<int>();
    case 'b': return new KQDBPrimitiveType<long long>();
    case 'f': return new KQDBPrimitiveType<float>();
    case 't': return new KQDB_datetime();
    default: return new KQDB_string();
  }
}

struct ForeignKey {
  const char* table;      // the referenced table
  const char* column;     // this table's column
  const char* refColumn;  // the referenced column
};

// "i|s129|s|" from the columns.
inline std::string SchemaText(const ColumnDesc* cols, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += cols[i].code;
    if (cols[i].code == 's' && !cols[i].heapText) s += std::to_string(cols[i].size);
    s += '|';
  }
  return s;
}

inline std::string JoinNames(const ColumnDesc* cols, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ", ";
    s += cols[i].name;
  }
  return s;
}

template <class Info> const char* ColumnList() {
  static const std::string list = JoinNames(Info::columns, Info::columnCount);
  return list.c_str();
}

template <class Info> const std::string& Schema() {
  static const std::string text = SchemaText(Info::columns, Info::columnCount);
  return text;
}

// Procedure argument type -> its value object.
template <class A> struct ValueFor;
template <> struct ValueFor<int> { using type = KQDBPrimitiveType<int>; };
template <> struct ValueFor<long long> { using type = KQDBPrimitiveType<long long>; };
template <> struct ValueFor<const char*> { using type = KQDB_string; };

// What an argument adds to the legacy size estimate.
inline unsigned long ArgSize(int) { return 12; }
inline unsigned long ArgSize(long long) { return 22; }
inline unsigned long ArgSize(const char* s) { return s != nullptr ? std::strlen(s) : 0; }

// The row-schema class of a record (X_t2 derives from RowSchema<X_info>); its static members
// are the class-wide data, filled once per process by the first object.
template <class Info>
class RowSchema : public KQDBRowBase {
 public:
  RowSchema() {
    m_flag = 1;
    for (size_t i = 0; i < Info::columnCount; ++i)
      addColumn(Info::columns[i].name, NewValue(Info::columns[i]));
    if (s_isInitialized.load(std::memory_order_acquire) != 1) {
      lock();
      if (s_isInitialized.load(std::memory_order_relaxed) != 1) {
        setTableName(Info::className);
        m_type = Info::kind;
        structSchema = fillForTime(kqdb::Schema<Info>());
        for (const ForeignKey* fk = Info::foreignKeys; fk->table != nullptr; ++fk)
          m_foreignKeyMap[fk->table][fk->column] = fk->refColumn;
        for (size_t i = 0; i < Info::columnCount; ++i) pushColumnName(Info::columns[i].name);
        s_isInitialized.store(1, std::memory_order_release);
      }
      unLock();
    }
    for (const char* const* k = Info::keys; *k != nullptr; ++k) m_keyNames.push_back(*k);
    if (Info::serial) m_serialColumn = "id";
  }

  int getSerialColNum() override {
    if (m_serialColumn.empty()) return -1;
    for (size_t i = 0; i < m_staticColumnVec.size(); ++i)
      if (m_staticColumnVec[i] == m_serialColumn) return static_cast<int>(i);
    return -1;
  }
  std::string getTableName() override { return m_name; }
  std::string getPrimaryWhere() override {
    std::string where;
    for (auto it = m_keyNames.begin(); it != m_keyNames.end(); ++it) {
      where += *it + " = ?";
      if (std::next(it) != m_keyNames.end()) where += "AND ";
    }
    return where;
  }
  std::list<KQDBDataTypeBase*> getPrimaryData() override {
    std::list<KQDBDataTypeBase*> data;
    for (const std::string& k : m_keyNames) data.push_back(column(k));
    return data;
  }
  std::string getStructDef() override { return structSchema; }
  void setTableName(std::string name) override { m_name = name; }
  const char* getColumnName_t2(int& index) const override {
    if (index < 0 || static_cast<size_t>(index) >= m_staticColumnVec.size()) return nullptr;
    return m_staticColumnVec[index].c_str();
  }
  void pushColumnName(const char* name) override { m_staticColumnVec.push_back(name); }
  int getHeaderType() override { return m_type; }
  std::map<std::string, std::map<std::string, std::string>> getForeignKeyMap() {
    return m_foreignKeyMap;
  }

  static inline std::string m_name;
  static inline int m_type = 0;
  static inline std::string structSchema;
  static inline std::vector<std::string> m_staticColumnVec;
  static inline std::map<std::string, std::map<std::string, std::string>> m_foreignKeyMap;
  static inline std::atomic<unsigned char> s_isInitialized{0};
};

// The common part of every record.
template <class Info, class SchemaClass>
class Record : public DBtable {
 public:
  using Row = typename Info::Row;
  using InfoType = Info;

  explicit Record(DBtran* tran, int flags = 0) : DBtable(Info::object, flags, tran), m_row() {
    m_kind = Info::kind;
    m_columnList = ColumnList<Info>();
    m_description = std::string(Info::kind == 1   ? "Table "
                                : Info::kind == 2 ? "Procedure "
                                                  : "Cursor ") +
                    Info::className;
    if constexpr (Info::kind == 1) {
      m_version = Info::version;
      m_identityColumn = Info::serial ? "id" : "";
      m_identityField = Info::serial ? static_cast<void*>(&m_row) : nullptr;
      m_identityWord3 = 0;
      setOrderBy(Info::order);
    }
    dataBindClearFirstTime();
    if (Info::indicators) setExtIndicatorArray(m_indicators);
    m_rowSchema = DBtable::b_newDBBase == 1 ? new SchemaClass() : nullptr;
    if constexpr (Info::kind == 2) {
      size_t n = strnlen(Info::signature, sizeof(m_signature) - 1);
      std::memcpy(m_signature, Info::signature, n);
      m_signature[n] = '\0';
    }
    FXCriticalSectionGuard guard(DBtable::DBCriticalSection);
    if (tran != nullptr) {
      try {
        tran->addObject(this);
      } catch (...) {
        log_error(Info::header, __LINE__, "%s Constructor [0x%08llx], caught an exception",
                  Info::className,
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(this)));
      }
    }
  }

  ~Record() override {
    if constexpr (Info::kind == 1) dataBindClear();
    delete m_rowSchema;
    m_rowSchema = nullptr;
  }

  Row* getDataPtr() { return &m_row; }
  SchemaClass* getRowSchemaObject() { return static_cast<SchemaClass*>(m_rowSchema); }
  const long long* getIndicators() const { return m_indicators; }

  void dataBindClearFirstTime() { bindColumns(Info::columns, Info::columnCount, &m_row); }
  void dataBindClear() { endQuery(); }

 protected:
  Row m_row;
  long long m_indicators[Info::columnCount > 0 ? Info::columnCount : 1] = {0};
};

template <class Info, class SchemaClass>
class TableRecord : public Record<Info, SchemaClass> {
 public:
  explicit TableRecord(DBtran* tran, int flags = 0) : Record<Info, SchemaClass>(tran, flags) {}
};

template <class Info, class SchemaClass, class Signature> class ProcRecord;

// A stored procedure taking arguments of the types A... in order.
template <class Info, class SchemaClass, class... A>
class ProcRecord<Info, SchemaClass, void(A...)> : public Record<Info, SchemaClass> {
 public:
  explicit ProcRecord(DBtran* tran) : Record<Info, SchemaClass>(tran) {}

  // New base: one value object per argument, bound in order. Legacy base: the size estimate,
  // then the call text; its values are still bound, never spliced into SQL.
  void setValues(A... args) {
    if (DBtable::b_newDBBase != 0) {
      setKQDBValues(new typename ValueFor<A>::type(args)...);
      this->m_inputsBound = 1;
    } else if constexpr (sizeof...(A) > 0) {
      unsigned long estimate = std::strlen(Info::format) + (0ul + ... + ArgSize(args));
      this->valuesClauseCheck(estimate);
      this->CallDBsprintfWrapper(Info::format, args...);
    }
  }

  // Takes ownership of the values.
  void setKQDBValues(typename ValueFor<A>::type*... values) {
    this->ClearBoundInputs();
    (this->BindInput(values), ...);
  }
};

// An SQL batch taking one integer.
template <class Info, class SchemaClass>
class CursorRecord : public Record<Info, SchemaClass> {
 public:
  explicit CursorRecord(DBtran* tran) : Record<Info, SchemaClass>(tran) {}
  static const char* sqlText() { return Info::sql; }

  void setValues(int id) {
    this->querySizeCheck((std::strlen(Info::sql) + 12) * 2, false);
    this->CallDBsprintfWrapper(Info::sql, id);
  }
};

}  // namespace kqdb

// ---- generators (see the top of this file)

#define KQDB_FIELD_DECL(name, code, n) ::kqdb::Field<(#code)[0], n>::type name;
#define KQDB_FIELD_INIT(name, code, n) ::kqdb::InitField(name);
#define KQDB_FIELD_FREE(name, code, n) ::kqdb::FreeField(name);
#define KQDB_FIELD_COPY(name, code, n) ::kqdb::CopyField(name, o.name);
#define KQDB_COLUMN_DESC(name, code, n) \
  {#name, (#code)[0], ::kqdb::IsHeapText((#code)[0], n), sizeof(Row::name), offsetof(Row, name)},

// Lists travel through the generators in parentheses and are opened where they are used.
#define KQDB_UNPAREN(...) __VA_ARGS__
#define KQDB_LIST(...) ({__VA_ARGS__, nullptr})
#define KQDB_NO_KEYS ({nullptr})
#define KQDB_FOREIGN_KEYS(...) ({__VA_ARGS__, {nullptr, nullptr, nullptr}})
#define KQDB_NO_FOREIGN_KEYS ({{nullptr, nullptr, nullptr}})

#define KQDB_ROW_STRUCT(X)                         \
  struct X##_t {                                   \
    X##_COLUMNS(KQDB_FIELD_DECL)                   \
    X##_t() { X##_COLUMNS(KQDB_FIELD_INIT) }       \
    ~X##_t() { X##_COLUMNS(KQDB_FIELD_FREE) }      \
    X##_t(const X##_t& o) : X##_t() { *this = o; } \
    X##_t& operator=(const X##_t& o) {             \
      if (this != &o) {                            \
        X##_COLUMNS(KQDB_FIELD_COPY)               \
      }                                            \
      return *this;                                \
    }                                              \
  };

#define KQDB_INFO_COMMON(X, objectName, headerDir, kindValue)                                 \
  using Row = X##_t;                                                                          \
  static constexpr const char* className = #X;                                                \
  static constexpr const char* object = objectName;                                           \
  static constexpr const char* header = headerDir objectName;                                 \
  static constexpr int kind = kindValue;                                                      \
  static constexpr ::kqdb::ColumnDesc columns[] = {                                           \
      X##_COLUMNS(KQDB_COLUMN_DESC){nullptr, 0, false, 0, 0}};                                \
  static constexpr size_t columnCount = sizeof(columns) / sizeof(columns[0]) - 1;

// A table record: its row struct, info, row-schema class (the record class follows, made
// with KQDB_TABLE_CLASS or written out when its constructor differs).
#define KQDB_TABLE_PARTS(X, objectName, headerDir, versionText, defaultOrder, hasSerial, KEYS, \
                         FKEYS)                                                              \
  KQDB_ROW_STRUCT(X)                                                                         \
  struct X##_info {                                                                          \
    KQDB_INFO_COMMON(X, objectName, headerDir, 1)                                            \
    static constexpr const char* version = versionText;                                      \
    static constexpr const char* order = defaultOrder;                                       \
    static constexpr bool serial = hasSerial;                                                \
    static constexpr bool indicators = true;                                                 \
    static constexpr const char* keys[] = KQDB_UNPAREN KEYS;                                 \
    static constexpr ::kqdb::ForeignKey foreignKeys[] = KQDB_UNPAREN FKEYS;                  \
  };                                                                                         \
  class X##_t2 : public ::kqdb::RowSchema<X##_info> {};

#define KQDB_TABLE_CLASS(X)                                            \
  class X : public ::kqdb::TableRecord<X##_info, X##_t2> {             \
   public:                                                             \
    explicit X(DBtran* tran = nullptr) : TableRecord(tran) {}          \
  };

#define KQDB_TABLE(X, objectName, headerDir, versionText, defaultOrder, hasSerial, KEYS, FKEYS) \
  KQDB_TABLE_PARTS(X, objectName, headerDir, versionText, defaultOrder, hasSerial, KEYS, FKEYS) \
  KQDB_TABLE_CLASS(X)

#define KQDB_NO_KEY_INFO                                                  \
  static constexpr bool serial = false;                                   \
  static constexpr const char* keys[] = {nullptr};                        \
  static constexpr ::kqdb::ForeignKey foreignKeys[] = {{nullptr, nullptr, nullptr}};

// A stored-procedure record; ARGS is the parenthesised argument type list.
#define KQDB_PROC(X, objectName, signatureText, callFormat, withIndicators, ARGS)      \
  KQDB_ROW_STRUCT(X)                                                                   \
  struct X##_info {                                                                    \
    KQDB_INFO_COMMON(X, objectName, "include/Db/Proc/", 2)                             \
    static constexpr const char* signature = signatureText;                            \
    static constexpr const char* format = callFormat;                                  \
    static constexpr bool indicators = withIndicators;                                 \
    KQDB_NO_KEY_INFO                                                                   \
  };                                                                                   \
  class X##_t2 : public ::kqdb::RowSchema<X##_info> {};                                \
  class X : public ::kqdb::ProcRecord<X##_info, X##_t2, void ARGS> {                   \
   public:                                                                             \
    explicit X(DBtran* tran = nullptr) : ProcRecord(tran) {}                           \
  };

// An SQL batch record; the object name is the class name.
#define KQDB_CURSOR(X, sqlTextValue)                                 \
  KQDB_ROW_STRUCT(X)                                                 \
  struct X##_info {                                                  \
    KQDB_INFO_COMMON(X, #X, "include/Db/Cursor/", 3)                 \
    static constexpr const char* sql = sqlTextValue;                 \
    static constexpr bool indicators = true;                         \
    KQDB_NO_KEY_INFO                                                 \
  };                                                                 \
  class X##_t2 : public ::kqdb::RowSchema<X##_info> {};              \
  class X : public ::kqdb::CursorRecord<X##_info, X##_t2> {          \
   public:                                                           \
    explicit X(DBtran* tran = nullptr) : CursorRecord(tran) {}       \
  };

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_KQDBRECORD_H_
