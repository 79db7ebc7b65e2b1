// Typed column values of the database layer.
//
// A KQDBDataTypeBase is one value that the database layer binds as a procedure argument or fills
// from a result column: an int, a float, a 64-bit integer, a date-time or a text, with a null
// flag. Values made from a C value are "set by the program" (updated status 1) and not NULL; a
// default-constructed value is NULL. Who owns a value: the row-schema object owns its column
// values; values handed to DBtable::BindInput belong to the table from then on.
#ifndef KQ_PLATFORM_DATABASE_KQDBDATATYPE_H_
#define KQ_PLATFORM_DATABASE_KQDBDATATYPE_H_

#pragma GCC visibility push(default)

#include <cstdio>
#include <cstring>
#include <string>

enum UpdatedStatus { KQDB_NOT_UPDATED = 0, KQDB_UPDATED = 1 };

// Layout of the ODBC timestamp: all fields zero at construction.
struct KQTIMESTAMP_STRUCT {
  short year = 0;
  unsigned short month = 0;
  unsigned short day = 0;
  unsigned short hour = 0;
  unsigned short minute = 0;
  unsigned short second = 0;
  unsigned int fraction = 0;  // nanoseconds
};

// The row-struct field of a date-time column: the timestamp and its text form.
struct DB_DATETIME {
  KQTIMESTAMP_STRUCT ts;
  char text[40];
  char zone[12];
  DB_DATETIME() { clear(); }
  void clear() {
    ts = KQTIMESTAMP_STRUCT();
    text[0] = '\0';
    zone[0] = '\0';
  }
};

extern const char KQDB_int_format[];
extern const char KQDB___int64_format[];
extern const char KQDB_float_format[];

class KQDBDataTypeBase {
 public:
  KQDBDataTypeBase() = default;
  KQDBDataTypeBase(const KQDBDataTypeBase&) = default;
  KQDBDataTypeBase& operator=(const KQDBDataTypeBase&) = default;

  virtual bool setData(const void* source, size_t offset, size_t length, bool flag) = 0;
  virtual void clearMemoryOnNULL() {}
  virtual void setString() const = 0;
  virtual const std::string& getStr() const { return m_text; }
  virtual ~KQDBDataTypeBase() = default;
  virtual int getDataType() const = 0;
  virtual std::string toString(int) const = 0;

  bool isNull() const { return m_isNull; }
  void setInternalNull(bool null) {
    if (null == m_isNull) return;
    m_state = false;
    m_isNull = null;
    if (null) clearMemoryOnNULL();
  }
  UpdatedStatus getUpdated() const { return m_updated; }
  void setUpdated(UpdatedStatus status) { m_updated = status; }
  bool getState() const { return m_state; }

 protected:
  void markSet() {
    m_isNull = false;
    m_updated = KQDB_UPDATED;
  }

  bool m_isNull = true;
  UpdatedStatus m_updated = KQDB_NOT_UPDATED;
  bool m_flag = false;
  mutable std::string m_text;  // the text form, written by setString()
  std::string m_text2;
  bool m_state = false;
  long long m_word = 0;
};

namespace kqdb {
template <class T> struct PrimitiveTraits;
template <> struct PrimitiveTraits<int> {
  static constexpr const char* format = KQDB_int_format;
  static constexpr int id = 1;
};
template <> struct PrimitiveTraits<float> {
  static constexpr const char* format = KQDB_float_format;
  static constexpr int id = 2;
};
template <> struct PrimitiveTraits<long long> {
  static constexpr const char* format = KQDB___int64_format;
  static constexpr int id = 4;
};
template <class T> inline T PrintArg(T v) { return v; }
inline double PrintArg(float v) { return v; }
}  // namespace kqdb

// A number value (int, float or 64-bit integer) with its printf format and type id.
template <class T, const char* Format = kqdb::PrimitiveTraits<T>::format,
          int TypeId = kqdb::PrimitiveTraits<T>::id>
class KQDBPrimitiveType : public KQDBDataTypeBase {
 public:
  KQDBPrimitiveType() = default;
  explicit KQDBPrimitiveType(T v) : m_value(v) { markSet(); }

  // Copies length bytes into the value, offset bytes in. A copy that would run past the value
  // is refused (false) and changes nothing.
  bool setData(const void* source, size_t offset, size_t length, bool) override {
    if (source == nullptr || offset > sizeof(T) || length > sizeof(T) - offset) return false;
    std::memcpy(reinterpret_cast<char*>(&m_value) + offset, source, length);
    m_state = false;
    return true;
  }
  void setString() const override {
    char buf[100];
    snprintf(buf, sizeof(buf), Format, kqdb::PrintArg(m_value));
    m_text = buf;
  }
  int getDataType() const override { return TypeId; }
  std::string toString(int) const override {
    setString();
    return m_text;
  }
  static const char* getFormatString() { return Format; }

  T getValue() const { return m_value; }
  void setValue(T v) {
    m_value = v;
    m_isNull = false;
    m_state = false;
  }

 private:
  T m_value = T();
};

// A value whose storage is a composite (a timestamp or a string).
template <class T, int TypeId>
class KQDBCompositeType : public KQDBDataTypeBase {
 public:
  KQDBCompositeType() = default;
  explicit KQDBCompositeType(const T& v) : m_value(v) { markSet(); }

  int getDataType() const override { return TypeId; }
  const T& getValue() const { return m_value; }
  void setValue(const T& v) {
    m_value = v;
    m_isNull = false;
    m_state = false;
  }

 protected:
  T m_value = T();
};

class KQDB_datetime : public KQDBCompositeType<KQTIMESTAMP_STRUCT, 5> {
 public:
  KQDB_datetime() = default;
  explicit KQDB_datetime(const KQTIMESTAMP_STRUCT& v) : KQDBCompositeType(v) {}
  bool setData(const void* source, size_t offset, size_t length, bool) override;
  void setString() const override;
  std::string toString(int) const override;
};

class KQDB_string : public KQDBCompositeType<std::string, 6> {
 public:
  KQDB_string() = default;
  explicit KQDB_string(const std::string& v) : KQDBCompositeType(v) {}
  // A null pointer makes a NULL value.
  explicit KQDB_string(const char* v) {
    if (v != nullptr) {
      m_value = v;
      markSet();
    }
  }
  void clearMemoryOnNULL() override { m_value.clear(); }
  bool setData(const void* source, size_t offset, size_t length, bool) override;
  void setString() const override { m_text = m_value; }
  std::string toString(int) const override { return m_value; }
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_KQDBDATATYPE_H_
