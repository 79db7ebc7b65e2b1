// KQDBRowBase: the base of every row-schema class.
//
// A row-schema object carries one row of a record as typed values (KQDBDataTypeBase), in column
// order and by column name. It owns those values: the column-order list holds each exactly once
// (the map holds the same pointers) and the destructor deletes them. The class-wide data of a
// row-schema class (names, schema text, foreign keys) is filled once per process under lock().
#ifndef KQ_PLATFORM_DATABASE_KQDBROWBASE_H_
#define KQ_PLATFORM_DATABASE_KQDBROWBASE_H_

#pragma GCC visibility push(default)

#include <list>
#include <map>
#include <string>
#include <vector>

#include "Database/FXLockableResource.h"
#include "Database/KQDBDataType.h"

// Orders column names without regard to case: identifiers are case-insensitive.
struct KQDBNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

class KQDBRowBase {
 public:
  KQDBRowBase();
  KQDBRowBase(const KQDBRowBase&) = delete;

  // Class-wide set-up lock shared by all row-schema classes.
  virtual void lock();
  virtual void unLock();
  virtual ~KQDBRowBase();
  // "" when the index is out of range.
  virtual std::string getColumnName(int& index);
  virtual std::list<KQDBDataTypeBase*> getData();
  virtual int getSerialColNum() = 0;
  virtual std::string getTableName() = 0;
  virtual std::string getPrimaryWhere() = 0;
  virtual std::list<KQDBDataTypeBase*> getPrimaryData() = 0;
  virtual std::string getStructDef() { return std::string(); }
  virtual void setTableName(std::string name) = 0;
  // Null when the index is out of range.
  virtual const char* getColumnName_t2(int& index) const = 0;
  virtual void pushColumnName(const char* name) = 0;
  virtual int getHeaderType() { return -1; }
  virtual bool searchForeignKey(std::string) { return false; }
  virtual KQDBRowBase& operator=(const KQDBRowBase&) { return *this; }

  // The schema text with every letter x replaced by b.
  static std::string fillForTime(const std::string& schema);

  // The column values in schema order (owned by this object).
  const std::vector<KQDBDataTypeBase*>& columns() const { return m_columnOrder; }
  // The value of a column, by its name in any case; null when there is none.
  KQDBDataTypeBase* column(const std::string& name) const;
  const std::string& serialColumnName() const { return m_serialColumn; }
  const std::list<std::string>& keyNames() const { return m_keyNames; }

  static KQSimpleDBSem* s_semColumnVec;

 protected:
  // Adds a value owned by this object under its column name.
  void addColumn(const char* name, KQDBDataTypeBase* value);

  unsigned char m_flag = 0;
  std::map<std::string, KQDBDataTypeBase*, KQDBNameLess> m_columnMap;
  std::vector<KQDBDataTypeBase*> m_columnOrder;
  std::string m_serialColumn;
  std::list<std::string> m_keyNames;

 private:
  KQSimpleDBSem* m_ownSem;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_KQDBROWBASE_H_
