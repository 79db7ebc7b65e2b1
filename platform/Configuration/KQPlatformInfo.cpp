#include "Configuration/KQPlatformInfo.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "Configuration/IniStore.h"
#include "Configuration/KQPI.h"

using kqconfig::IniStore;

bool KqParseConfigNumber(const std::string& text, long long& value) {
  size_t b = text.find_first_not_of(" \t");
  size_t e = text.find_last_not_of(" \t\r");
  if (b == std::string::npos) return false;
  std::string t = text.substr(b, e - b + 1);
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 0);
  if (errno == ERANGE || end == t.c_str() || *end != '\0') {
    // Values above LLONG_MAX that still fit 64 bits unsigned (flags written as hex).
    errno = 0;
    end = nullptr;
    if (t[0] == '-') return false;
    unsigned long long u = std::strtoull(t.c_str(), &end, 0);
    if (errno == ERANGE || end == t.c_str() || *end != '\0') return false;
    v = static_cast<long long>(u);
  }
  value = v;
  return true;
}

namespace {

template <class T>
bool GetBounded(const KQPlatformInfo& pi, const std::string& section, const std::string& name,
                T& out, long long lo, long long hi) {
  long long v = 0;
  if (!pi.getNumber(section, name, v)) return false;
  if (v < lo || v > hi) return false;
  out = static_cast<T>(v);
  return true;
}

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : key) {
    if (c == '\\' || c == '/') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

}  // namespace

std::string KQPlatformInfo::storePath() { return IniStore::DefaultPath(); }

bool KQPlatformInfo::getString(const std::string& section, const std::string& name,
                               std::string& value) const {
  return IniStore::Default().get(section, name, value);
}

bool KQPlatformInfo::getNumber(const std::string& section, const std::string& name,
                               long long& value) const {
  std::string text;
  if (!getString(section, name, text)) return false;
  return KqParseConfigNumber(text, value);
}

bool KQPlatformInfo::getNumber(const std::string& section, const std::string& name,
                               unsigned long& value) const {
  long long v = 0;
  if (!getNumber(section, name, v)) return false;
  value = static_cast<unsigned long>(v);  // hex flags may use all 64 bits
  return true;
}

bool KQPlatformInfo::getNumber(const std::string& section, const std::string& name,
                               long& value) const {
  return GetBounded(*this, section, name, value, LONG_MIN, LONG_MAX);
}

bool KQPlatformInfo::getNumber(const std::string& section, const std::string& name,
                               int& value) const {
  return GetBounded(*this, section, name, value, INT_MIN, INT_MAX);
}

bool KQPlatformInfo::getNumber(const std::string& section, const std::string& name,
                               unsigned int& value) const {
  return GetBounded(*this, section, name, value, INT_MIN, UINT_MAX);
}

bool KQPlatformInfo::setString(const std::string& section, const std::string& name,
                               const std::string& value) {
  return IniStore::Default().set(section, name, value);
}

bool KQPlatformInfo::setNumber(const std::string& section, const std::string& name,
                               long long value) {
  return setString(section, name, std::to_string(value));
}

bool KQPlatformInfo::deleteValue(const std::string& section, const std::string& name) {
  return IniStore::Default().erase(section, name);
}

bool KQPlatformInfo::getRegValues(const std::string& section,
                                  std::map<std::string, std::string>& values) const {
  auto data = IniStore::Default().snapshot();
  const auto* s = data->findSection(section);
  if (!s) return false;
  for (const auto& kv : s->values) values[kv.first] = kv.second;
  return true;
}

bool KQPlatformInfo::getRegStringFromAbsPath(const std::string& absKey, const std::string& name,
                                             std::string& value) const {
  std::vector<std::string> parts = SplitKey(absKey);
  if (parts.size() < 4) return false;
  if (parts[3] != KQPI_Focus::getFocus()) return false;
  std::string section;
  for (size_t i = 4; i < parts.size(); ++i) {
    if (!section.empty()) section += '\\';
    section += parts[i];
  }
  return getString(section, name, value);
}

int KQPlatformInfo::getKQPlatformType() const {
  int type = 0;
  return getNumber("", "nPlatformType", type) ? type : 0;
}
