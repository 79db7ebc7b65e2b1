#include "Database/DBtable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "Database/DbProcedures.h"
#include "Database/DbSession.h"
#include "Database/SqlFormat.h"
#include "Logging/EvDebug.h"

using kq::db::Row;
using kq::db::Statement;
using kq::db::Value;

int DBtable::b_newDBBase = 1;
FXCriticalSection DBtable::DBCriticalSection;

namespace {

thread_local std::string t_lastError;
thread_local std::string t_errorText;

void NoteFailure(const char* object, const std::string& message) {
  t_lastError = message;
  EvDebug().DebugLvl("DBtable", 2, "[%s] %s", object, message.c_str());
}

// The rows of a procedure that ran to its end, read like a statement.
class BufferedStatement : public Statement {
 public:
  explicit BufferedStatement(std::vector<Row> rows) : m_rows(std::move(rows)) {}
  bool bind(const std::vector<Value>&, std::string&) override { return true; }
  int step(std::string&) override {
    if (m_next >= m_rows.size()) return kq::db::kDbNoData;
    m_current = &m_rows[m_next++];
    return kq::db::kDbRow;
  }
  int columnCount() override { return m_current != nullptr ? static_cast<int>(m_current->size()) : 0; }
  bool isNull(int col) override { return cell(col).kind == Value::kNull; }
  bool getInt64(int col, long long& out) override {
    const Value& v = cell(col);
    switch (v.kind) {
      case Value::kNull: out = 0; return true;
      case Value::kInt: out = v.i; return true;
      case Value::kReal:
        if (v.d != std::floor(v.d) || std::fabs(v.d) > 9.2e18) return false;
        out = static_cast<long long>(v.d);
        return true;
      case Value::kText: return kq::db::ParseWholeInt64(v.s.c_str(), out);
    }
    return false;
  }
  bool getDouble(int col, double& out) override {
    const Value& v = cell(col);
    switch (v.kind) {
      case Value::kNull: out = 0; return true;
      case Value::kInt: out = static_cast<double>(v.i); return true;
      case Value::kReal: out = v.d; return true;
      case Value::kText: return kq::db::ParseWholeDouble(v.s.c_str(), out);
    }
    return false;
  }
  const char* getText(int col, size_t& length) override {
    const Value& v = cell(col);
    switch (v.kind) {
      case Value::kNull: length = 0; return nullptr;
      case Value::kText: length = v.s.size(); return v.s.c_str();
      case Value::kInt: m_scratch = std::to_string(v.i); break;
      case Value::kReal: {
        char buf[64];
        snprintf(buf, sizeof(buf), "%.17g", v.d);
        m_scratch = buf;
        break;
      }
    }
    length = m_scratch.size();
    return m_scratch.c_str();
  }
  Value getValue(int col) override { return cell(col); }
  void reset() override {
    m_next = 0;
    m_current = nullptr;
  }

 private:
  const Value& cell(int col) {
    static const Value kNullValue;
    if (m_current == nullptr || col < 0 || col >= static_cast<int>(m_current->size()))
      return kNullValue;
    return (*m_current)[col];
  }
  std::vector<Row> m_rows;
  size_t m_next = 0;
  const Row* m_current = nullptr;
  std::string m_scratch;
};

Value ToValue(const KQDBDataTypeBase* v) {
  if (v == nullptr || v->isNull()) return Value::Null();
  switch (v->getDataType()) {
    case 1: return Value::Int(static_cast<const KQDBPrimitiveType<int>*>(v)->getValue());
    case 2: return Value::Real(static_cast<const KQDBPrimitiveType<float>*>(v)->getValue());
    case 4: return Value::Int(static_cast<const KQDBPrimitiveType<long long>*>(v)->getValue());
    case 5: return Value::Text(v->toString(0));
    case 6: return Value::Text(static_cast<const KQDB_string*>(v)->getValue());
    default: return Value::Text(v->toString(0));
  }
}

// "YYYY-MM-DD[ HH:MM:SS[.fraction]]" (a T may separate date and time).
bool ParseDateTime(const char* text, KQTIMESTAMP_STRUCT& ts) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  if (sscanf(text, "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3) return false;
  const char* p = text + used;
  if (*p == ' ' || *p == 'T') {
    int used2 = 0;
    if (sscanf(p + 1, "%2d:%2d:%2d%n", &h, &mi, &s, &used2) != 3) return false;
    p += 1 + used2;
  }
  unsigned fraction = 0;
  if (*p == '.') {
    ++p;
    unsigned scale = 100000000;
    while (*p >= '0' && *p <= '9') {
      fraction += static_cast<unsigned>(*p - '0') * scale;
      scale /= 10;
      ++p;
    }
  }
  while (*p == ' ') ++p;
  if (*p != '\0' && *p != '+' && *p != 'Z') return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
  ts.year = static_cast<short>(y);
  ts.month = static_cast<unsigned short>(mo);
  ts.day = static_cast<unsigned short>(d);
  ts.hour = static_cast<unsigned short>(h);
  ts.minute = static_cast<unsigned short>(mi);
  ts.second = static_cast<unsigned short>(s);
  ts.fraction = fraction;
  return true;
}

}  // namespace

// The open query of a table: a statement lent by the session, or the rows of a procedure.
struct DBtable::Query {
  std::shared_ptr<kq::db::Session> session;
  Statement* lent = nullptr;
  std::unique_ptr<Statement> buffered;
  bool done = false;

  Statement* current() { return lent != nullptr ? lent : buffered.get(); }
  void finish() {
    if (lent != nullptr) session->release(lent);
    lent = nullptr;
    buffered.reset();
    done = true;
  }
  ~Query() { finish(); }
};

// ---- DBtran

DBtran::DBtran(bool) {}

DBtran::~DBtran() {
  if (m_open && m_session) m_session->rollback();
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  for (DBtable* table : m_objects) table->m_joined = nullptr;
}

int DBtran::startTran() {
  std::string err;
  if (m_open) {
    NoteFailure("DBtran", "the transaction is already started");
    return kq::db::kDbFailed;
  }
  m_session = kq::db::ThreadSession(err);
  if (!m_session || !m_session->begin(false, err)) {
    NoteFailure("DBtran", err);
    return kq::db::kDbFailed;
  }
  m_open = true;
  m_finished = false;
  return 0;
}

int DBtran::commitTran(bool rollbackInstead) {
  if (!m_open) {
    NoteFailure("DBtran", "no transaction is open");
    return kq::db::kDbFailed;
  }
  m_open = false;
  m_finished = true;
  if (rollbackInstead) {
    m_session->rollback();
    return 0;
  }
  std::string err;
  if (!m_session->commit(err)) {
    m_session->rollback();
    NoteFailure("DBtran", err);
    return kq::db::kDbFailed;
  }
  return 0;
}

void DBtran::addObject(DBtable* table) {
  if (table == nullptr) throw std::logic_error("a null record cannot join a transaction");
  if (m_finished) throw std::logic_error("the transaction is already finished");
  if (table->m_joined == this) return;
  if (table->m_joined != nullptr) table->m_joined->forget(table);
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  m_objects.push_back(table);
  table->m_joined = this;
}

size_t DBtran::objectCount() const {
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  return m_objects.size();
}

void DBtran::forget(DBtable* table) {
  std::lock_guard<std::mutex> lock(m_objectsMutex);
  auto it = std::find(m_objects.begin(), m_objects.end(), table);
  if (it != m_objects.end()) m_objects.erase(it);
  table->m_joined = nullptr;
}

// ---- DBtable

DBtable::DBtable(const char* objectName, int, DBtran* tran)
    : m_tran(tran), m_objectName(objectName != nullptr ? objectName : "") {}

DBtable::~DBtable() {
  if (m_joined != nullptr) m_joined->forget(this);
  endQuery();
  ClearBoundInputs();
}

void DBtable::bindColumns(const kqdb::ColumnDesc* columns, size_t count, void* row) {
  m_columns = columns;
  m_columnCount = count;
  m_row = row;
}

void DBtable::setOrderBy(const char* orderBy) { m_orderBy = orderBy != nullptr ? orderBy : ""; }

void DBtable::setTop(int top) { m_top = top > 0 ? top : 0; }

void DBtable::setWhere(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  kq::db::BoundText bound;
  std::string err;
  bool ok = kq::db::FormatBound(format, ap, bound, err);
  va_end(ap);
  m_whereFailed = !ok;
  if (!ok) {
    // The next query fails with this message rather than run without its condition.
    m_where.clear();
    m_error = "condition [" + std::string(format) + "]: " + err;
    m_whereParams.clear();
    return;
  }
  m_where = bound.sql;
  m_whereParams = std::move(bound.params);
}

std::string DBtable::buildSelect() const {
  std::string sql = "SELECT ";
  sql += m_columnList;
  sql += " FROM ";
  sql += m_objectName;
  if (!m_where.empty()) sql += " WHERE " + m_where;
  if (!m_orderBy.empty()) sql += " ORDER BY " + m_orderBy;
  if (m_top > 0) sql += " LIMIT " + std::to_string(m_top);
  return sql;
}

void DBtable::BindInput(KQDBDataTypeBase* value) {
  if (value != nullptr) m_boundInputs.push_back(value);
}

void DBtable::ClearBoundInputs() {
  for (KQDBDataTypeBase* v : m_boundInputs) delete v;
  m_boundInputs.clear();
}

void DBtable::valuesClauseCheck(unsigned long size) {
  m_sizeEstimate = size;
  if (size < (1ul << 26)) m_callText.reserve(size);
}

void DBtable::querySizeCheck(unsigned long size, bool) { valuesClauseCheck(size); }

void DBtable::CallDBsprintfWrapper(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  kq::db::BoundText bound;
  std::string err;
  bool ok = kq::db::FormatBound(format, ap, bound, err);
  va_end(ap);
  m_haveCallParams = true;
  m_inputsBound = 0;  // the call's values are these now
  if (!ok) {
    m_callText.clear();
    m_callParams.clear();
    m_error = "call text [" + std::string(format != nullptr ? format : "") + "]: " + err;
    m_haveCallParams = false;
    return;
  }
  m_callText = bound.text;
  m_callParams = std::move(bound.params);
}

const char* DBtable::getErrorStr(int code) {
  switch (code) {
    case 0: t_errorText = "Success"; break;
    case 100: t_errorText = "No data found"; break;
    case 1000: t_errorText = t_lastError.empty() ? "Database operation failed" : t_lastError; break;
    default: t_errorText = "Unknown database result code " + std::to_string(code); break;
  }
  return t_errorText.c_str();
}

int DBtable::fail(const std::string& message) {
  m_error = message;
  NoteFailure(m_objectName.c_str(), message);
  return kq::db::kDbFailed;
}

void DBtable::endQuery() { m_query.reset(); }

int DBtable::startQuery() {
  endQuery();
  if (m_whereFailed) return fail(m_error);
  std::string err;
  std::shared_ptr<kq::db::Session> session = kq::db::ThreadSession(err);
  if (!session) return fail(err);
  std::unique_ptr<Query> q(new Query());
  q->session = session;

  std::string sql;
  std::vector<Value> args;
  if (m_kind == 2 || m_kind == 3) {
    std::shared_ptr<const kq::db::Procedure> proc = kq::db::FindProcedure(m_objectName);
    bool wantBatch = m_kind == 3;
    if (!proc || (proc->kind == kq::db::Procedure::kBatch) != wantBatch) {
      return fail(std::string(wantBatch ? "no SQL batch named [" : "no stored procedure named [") +
                  m_objectName + "]");
    }
    if (m_kind == 2 && m_inputsBound) {
      for (KQDBDataTypeBase* v : m_boundInputs) args.push_back(ToValue(v));
    } else if (m_haveCallParams) {
      args = m_callParams;
    } else if (!m_error.empty() && m_kind == 3) {
      return fail(m_error);
    }
    bool streamable = proc->kind != kq::db::Procedure::kHost && proc->statements.size() == 1 &&
                      !proc->writes;
    if (!streamable) {
      std::vector<Row> rows;
      if (kq::db::RunProcedure(*session, *proc, args, rows, err) == kq::db::kDbFailed)
        return fail(err);
      q->buffered.reset(new BufferedStatement(std::move(rows)));
      m_query = std::move(q);
      return 0;
    }
    if (static_cast<int>(args.size()) != proc->argCount) {
      return fail("procedure " + proc->name + " takes " + std::to_string(proc->argCount) +
                  " arguments, " + std::to_string(args.size()) + " given");
    }
    sql = proc->statements[0];
  } else {
    sql = buildSelect();
    args = m_whereParams;
  }
  std::string dense;
  std::vector<Value> params;
  if (!kq::db::DensifyParameters(sql, args, dense, params, err)) return fail(err);
  q->lent = session->acquire(dense, err);
  if (q->lent == nullptr) return fail(err);
  if (!q->lent->bind(params, err)) return fail(err);
  m_query = std::move(q);
  return 0;
}

int DBtable::fetch() {
  if (!m_query) return fail("no query is open on [" + m_objectName + "]");
  if (m_query->done) return kq::db::kDbNoData;
  if (m_query->lent != nullptr && !m_query->session->isOpen()) {
    endQuery();
    return fail("the database connection is closed");
  }
  std::string err;
  int rc = m_query->current()->step(err);
  if (rc == kq::db::kDbRow) {
    rc = copyRow();
    if (rc != 0) endQuery();
    return rc;
  }
  if (rc == kq::db::kDbNoData) {
    m_query->finish();
    return rc;
  }
  endQuery();
  return fail(err);
}

int DBtable::copyRow() {
  Statement* st = m_query->current();
  int available = st->columnCount();
  if (available < static_cast<int>(m_columnCount)) {
    return fail("the result of [" + m_objectName + "] has " + std::to_string(available) +
                " columns, the record expects " + std::to_string(m_columnCount));
  }
  long long* indicators = m_connObj.getExtIndicatorArray();
  const std::vector<KQDBDataTypeBase*>* values = nullptr;
  if (m_rowSchema != nullptr && m_rowSchema->columns().size() == m_columnCount)
    values = &m_rowSchema->columns();
  char* row = static_cast<char*>(m_row);
  for (size_t i = 0; i < m_columnCount; ++i) {
    const kqdb::ColumnDesc& c = m_columns[i];
    int col = static_cast<int>(i);
    char* field = row + c.offset;
    bool null = false;
    long long indicator = -1;
    KQDBDataTypeBase* value = values != nullptr ? (*values)[i] : nullptr;
    switch (c.code) {
      case 'i':
      case 'b': {
        long long v = 0;
        if (!st->readInt64(col, v, null) && !null) {
          size_t len = 0;
          const char* t = st->getText(col, len);
          return fail("column [" + std::string(c.name) + "] of [" + m_objectName + "]: value [" +
                      std::string(t != nullptr ? t : "", len) + "] is not an integer");
        }
        if (c.code == 'i') {
          if (v < INT_MIN || v > INT_MAX) {
            return fail("column [" + std::string(c.name) + "] of [" + m_objectName +
                        "]: value [" + std::to_string(v) + "] does not fit 32 bits");
          }
          int x = static_cast<int>(v);
          std::memcpy(field, &x, sizeof(x));
          if (value != nullptr) static_cast<KQDBPrimitiveType<int>*>(value)->setValue(x);
          indicator = sizeof(int);
        } else {
          std::memcpy(field, &v, sizeof(v));
          if (value != nullptr) static_cast<KQDBPrimitiveType<long long>*>(value)->setValue(v);
          indicator = sizeof(long long);
        }
        break;
      }
      case 'f': {
        double d = 0;
        if (!st->readDouble(col, d, null) && !null) {
          return fail("column [" + std::string(c.name) + "] of [" + m_objectName +
                      "]: value is not a number");
        }
        float f = static_cast<float>(d);
        std::memcpy(field, &f, sizeof(f));
        if (value != nullptr) static_cast<KQDBPrimitiveType<float>*>(value)->setValue(f);
        indicator = sizeof(float);
        break;
      }
      case 't': {
        DB_DATETIME* dt = reinterpret_cast<DB_DATETIME*>(field);
        dt->clear();
        size_t len = 0;
        const char* t = st->getText(col, len);
        null = t == nullptr;
        if (!null) {
          long long epoch = 0;
          std::string text(t, len);
          bool ok = ParseDateTime(text.c_str(), dt->ts);
          if (!ok && st->getInt64(col, epoch)) {
            time_t tt = static_cast<time_t>(epoch);
            struct tm tmv;
            ok = gmtime_r(&tt, &tmv) != nullptr;
            if (ok) {
              dt->ts.year = static_cast<short>(tmv.tm_year + 1900);
              dt->ts.month = static_cast<unsigned short>(tmv.tm_mon + 1);
              dt->ts.day = static_cast<unsigned short>(tmv.tm_mday);
              dt->ts.hour = static_cast<unsigned short>(tmv.tm_hour);
              dt->ts.minute = static_cast<unsigned short>(tmv.tm_min);
              dt->ts.second = static_cast<unsigned short>(tmv.tm_sec);
            }
          }
          if (!ok) {
            return fail("column [" + std::string(c.name) + "] of [" + m_objectName +
                        "]: value [" + text + "] is not a date and time");
          }
          snprintf(dt->text, sizeof(dt->text), "%s", text.c_str());
          indicator = static_cast<long long>(sizeof(KQTIMESTAMP_STRUCT));
        }
        if (value != nullptr) static_cast<KQDB_datetime*>(value)->setValue(dt->ts);
        break;
      }
      default: {  // 's' or 'u'
        size_t len = 0;
        const char* t = st->getText(col, len);
        null = t == nullptr;
        if (c.heapText) {
          char*& p = *reinterpret_cast<char**>(field);
          delete[] p;
          p = nullptr;
          if (t != nullptr) {
            p = new char[len + 1];
            std::memcpy(p, t, len);
            p[len] = '\0';
          }
        } else if (c.size > 0) {
          size_t n = len < c.size - 1 ? len : c.size - 1;
          // A cut text ends before the character the cut falls into: half a UTF-8 sequence
          // would make the value one the server refuses when it is written back.
          if (n < len) {
            while (n > 0 && (static_cast<unsigned char>(t[n]) & 0xC0) == 0x80) --n;
          }
          if (n > 0) std::memcpy(field, t, n);
          field[n] = '\0';
        }
        if (value != nullptr) {
          static_cast<KQDB_string*>(value)->setValue(std::string(t != nullptr ? t : "", len));
        }
        if (t != nullptr) indicator = static_cast<long long>(len);
        break;
      }
    }
    if (null) indicator = -1;  // NULL of any type, numbers included
    if (value != nullptr && null) value->setInternalNull(true);
    if (indicators != nullptr) indicators[i] = indicator;
  }
  return 0;
}

int DBtable::openCursor() { return startQuery(); }

int DBtable::fetchCursor(bool) { return fetch(); }

int DBtable::closeCursor() {
  endQuery();
  return 0;
}

int DBtable::open() { return startQuery(); }

int DBtable::close() {
  endQuery();
  return 0;
}

int DBtable::fetchText(std::string& text) {
  int rc = fetch();
  if (rc == kq::db::kDbNoData) {
    text.clear();
    return 0;
  }
  if (rc != 0) return rc;
  Statement* st = m_query->current();
  if (st->columnCount() < 1) {
    text.clear();
    return 0;
  }
  size_t len = 0;
  const char* t = st->getText(0, len);
  text.assign(t != nullptr ? t : "", len);
  return 0;
}

int getOneRow(DBtable* table, bool, int, int) {
  if (table == nullptr) return kq::db::kDbFailed;
  int rc = table->startQuery();
  if (rc != 0) return rc;
  rc = table->fetch();
  table->endQuery();
  return rc;
}

int getNextRow(DBtable* table, int* count, int, int) {
  if (table == nullptr) return kq::db::kDbFailed;
  if (count == nullptr) return table->fail("getNextRow needs a row counter");
  if (*count == 0) {
    int rc = table->startQuery();
    if (rc != 0) return rc;
  }
  int rc = table->fetch();
  if (rc == 0) ++*count;
  return rc;
}
