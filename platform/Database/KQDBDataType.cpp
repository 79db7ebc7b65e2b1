#include "Database/KQDBDataType.h"

#include <cstdio>

const char KQDB_int_format[] = "%d";
const char KQDB___int64_format[] = "%lld";
const char KQDB_float_format[] = "%f";

bool KQDB_datetime::setData(const void* source, size_t offset, size_t length, bool) {
  if (source == nullptr || offset > sizeof(m_value) || length > sizeof(m_value) - offset) return false;
  std::memcpy(reinterpret_cast<char*>(&m_value) + offset, source, length);
  m_state = false;
  return true;
}

void KQDB_datetime::setString() const {
  char buf[64];
  snprintf(buf, sizeof(buf), "%04d-%02u-%02u %02u:%02u:%02u", m_value.year, m_value.month,
           m_value.day, m_value.hour, m_value.minute, m_value.second);
  m_text = buf;
}

std::string KQDB_datetime::toString(int) const {
  setString();
  return m_text;
}

bool KQDB_string::setData(const void* source, size_t offset, size_t length, bool) {
  if ((source == nullptr && length > 0) || offset > m_value.size()) return false;
  if (length == 0) {
    m_value.erase(offset);
  } else {
    m_value.replace(offset, std::string::npos, static_cast<const char*>(source), length);
  }
  m_state = false;
  return true;
}
