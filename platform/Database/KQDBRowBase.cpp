#include "Database/KQDBRowBase.h"

#include <strings.h>

#include <memory>

// Lives for the whole process (still reachable at exit); row-schema objects may be made by
// other static objects' destructors.
KQSimpleDBSem* KQDBRowBase::s_semColumnVec = new KQSimpleDBSem(1);

bool KQDBNameLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

KQDBRowBase::KQDBRowBase() : m_ownSem(new KQSimpleDBSem(1)) {}

KQDBRowBase::~KQDBRowBase() {
  for (KQDBDataTypeBase* v : m_columnOrder) delete v;
  m_columnOrder.clear();
  m_columnMap.clear();
  delete m_ownSem;
}

void KQDBRowBase::lock() { s_semColumnVec->wait(); }

void KQDBRowBase::unLock() { s_semColumnVec->release(1); }

std::string KQDBRowBase::getColumnName(int& index) {
  const char* name = getColumnName_t2(index);
  return name != nullptr ? std::string(name) : std::string();
}

std::list<KQDBDataTypeBase*> KQDBRowBase::getData() {
  return std::list<KQDBDataTypeBase*>(m_columnOrder.begin(), m_columnOrder.end());
}

std::string KQDBRowBase::fillForTime(const std::string& schema) {
  std::string out = schema;
  for (char& c : out) {
    if (c == 'x') c = 'b';
  }
  return out;
}

KQDBDataTypeBase* KQDBRowBase::column(const std::string& name) const {
  auto it = m_columnMap.find(name);
  return it == m_columnMap.end() ? nullptr : it->second;
}

void KQDBRowBase::addColumn(const char* name, KQDBDataTypeBase* value) {
  std::unique_ptr<KQDBDataTypeBase> owned(value);
  m_columnOrder.reserve(m_columnOrder.size() + 1);
  m_columnOrder.push_back(owned.release());
  m_columnMap[name] = value;
}
