#include "PortableFiles/PxString.h"

#include <cstdio>
#include <cstring>

CPxString& CPxString::ToLower() {
  for (char& c : s_) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return *this;
}

size_t CPxString::Find(const char* what, size_t from) const {
  if (what == nullptr) return npos;
  return s_.find(what, from);
}

std::string CPxString::ToText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%g", v);
  return buf;
}

std::string CPxString::Substitute(const char* pattern, const std::vector<std::string>& texts) {
  std::string out;
  if (pattern == nullptr) return out;
  const size_t n = std::strlen(pattern);
  out.reserve(n + 16 * texts.size());
  for (size_t i = 0; i < n;) {
    if (pattern[i] == '{' && i + 1 < n && pattern[i + 1] == '{') {
      out += '{';
      i += 2;
      continue;
    }
    if (pattern[i] == '{') {
      size_t j = i + 1;
      size_t index = 0;
      bool digits = false;
      while (j < n && pattern[j] >= '0' && pattern[j] <= '9' && index < 100000) {
        index = index * 10 + static_cast<size_t>(pattern[j] - '0');
        digits = true;
        ++j;
      }
      if (digits && j < n && pattern[j] == '}' && index >= 1 && index <= texts.size()) {
        out += texts[index - 1];
        i = j + 1;
        continue;
      }
    }
    out += pattern[i++];
  }
  return out;
}
