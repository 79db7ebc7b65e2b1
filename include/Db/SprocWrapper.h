// Procedure XML wrappers: one call of a procedure that answers with one XML text, as a string.
//
// CursorWrapper<X, X_t> owns a procedure record X (made on the given transaction, deleted by
// the destructor) and turns open, fetch text and close into one getXMLFromCursor call, with an
// XML declaration in front when asked. SprocWrapper<X, X_t> is the form the data manager uses.
// A wrapper and its record are used by one thread, for one call.
#ifndef KQ_INCLUDE_DB_SPROCWRAPPER_H_
#define KQ_INCLUDE_DB_SPROCWRAPPER_H_

#pragma GCC visibility push(default)

#include <string>

#include "Database/DBtable.h"
#include "Database/FXString.h"
#include "Logging/EvDebug.h"

template <class X, class X_t>
class CursorWrapper {
 public:
  CursorWrapper(const char* callerName, DBtran* tran)
      : m_record(nullptr), m_tran(tran), m_open(false), m_callerName(callerName) {
    m_record = new X(tran);
  }
  ~CursorWrapper() {
    if (m_open) closeCursor(nullptr);
    m_open = false;
    delete m_record;
    m_record = nullptr;
  }
  CursorWrapper(const CursorWrapper&) = delete;
  CursorWrapper& operator=(const CursorWrapper&) = delete;

  X* getCursor() { return m_record; }
  std::string& getErrorString() { return m_errorText; }

  // 0 with the text in out (left as it was when the text is empty), or -1 with the error text.
  int getXMLFromCursor(std::string& out, std::string* err, bool xml11, bool addHeader) {
    FXString text;
    int rc = m_record->open();
    if (rc != 0) {
      noteError(rc, err);
      m_record->close();
      return -1;
    }
    rc = m_record->fetchText(text.Text());
    if (rc != 0) {
      noteError(rc, err);
      m_record->close();
      return -1;
    }
    rc = m_record->close();
    if (rc != 0) {
      noteError(rc, err);
      return -1;
    }
    const std::string copy = text.ToString();
    if (!copy.empty()) {
      if (addHeader) {
        out = (xml11 ? "<?xml version='1.1' encoding='utf-8' ?>"
                     : "<?xml version='1.0' encoding='utf-8' ?>") +
              copy;
      } else {
        out = copy;
      }
    }
    return 0;
  }

  // 0 when nothing was open; else the close's code.
  int closeCursor(std::string* err) {
    if (!m_open) return 0;
    int rc = m_record->close();
    if (rc != 0) {
      m_errorText = DBtable::getErrorStr(rc);
      EvDebug().Debug(m_callerName, "Close Cursor on [%s] %s failed. Error [%s]",
                      m_record->getTableName(), kLabel, m_errorText.c_str());
      if (err != nullptr) *err = m_errorText;
    }
    m_open = false;
    return rc;
  }

 protected:
  static constexpr const char* kLabel = "SProcedure";

 private:
  void noteError(int rc, std::string* err) {
    m_errorText = DBtable::getErrorStr(rc);
    if (err != nullptr) *err = m_errorText;
  }

  long long m_word = 0;
  X* m_record;
  DBtran* m_tran;
  bool m_open;
  const char* m_callerName;
  std::string m_text;
  const char* m_label = kLabel;
  std::string m_errorText;
  long long m_word2 = 0;
};

template <class X, class X_t>
class SprocWrapper : public CursorWrapper<X, X_t> {
 public:
  SprocWrapper(const char* callerName, DBtran* tran) : CursorWrapper<X, X_t>(callerName, tran) {}
};

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_SPROCWRAPPER_H_
