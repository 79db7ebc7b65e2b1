#include "StringUtils.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "PortableFiles/PxError.h"
#include "PortableFiles/PxString.h"

namespace {

// Non-empty pieces of `text` between any of the delimiter characters. A null delimiter set
// leaves the text whole.
std::vector<std::string> SplitAtAny(const std::string& text, const char* delimiters) {
  std::vector<std::string> parts;
  const std::string delims = delimiters ? delimiters : "";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = delims.empty() ? std::string::npos : text.find_first_of(delims, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) parts.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return parts;
}

// atoi's reading (leading white space, optional sign, decimal digits, stop at the first other
// character, no digit gives 0), saturated to [lo, hi] instead of overflowing.
long long ReadDecimal(const std::string& token, long long lo, long long hi) {
  size_t i = 0;
  while (i < token.size() && (token[i] == ' ' || (token[i] >= '\t' && token[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  long long value = 0;  // accumulated as a negative number when negative, so LLONG_MIN fits
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    const int digit = token[i] - '0';
    value = negative ? value * 10 - digit : value * 10 + digit;
    if (value > hi) return hi;
    if (value < lo) return lo;
  }
  return value;
}

bool CharsEqual(const char* a, const char* b, size_t n, bool ignoreCase) {
  return (ignoreCase ? strncasecmp(a, b, n) : strncmp(a, b, n)) == 0;
}

void StripTrailingIf(std::string& text, bool (*drop)(char, char), char extra) {
  size_t n = text.size();
  while (n > 0 && drop(text[n - 1], extra)) --n;
  text.resize(n);
}

}  // namespace

void UnixPath(std::string& path) { std::replace(path.begin(), path.end(), '\\', '/'); }
void WinPath(std::string& path) { std::replace(path.begin(), path.end(), '/', '\\'); }

void UnixPath(char* path) {
  for (; path && *path; ++path) {
    if (*path == '\\') *path = '/';
  }
}

void WinPath(char* path) {
  for (; path && *path; ++path) {
    if (*path == '/') *path = '\\';
  }
}

std::string ToLowerCase(const char* text) {
  if (text == nullptr) return std::string();
  CPxString s(text);
  return s.ToLower().str();
}

unsigned StrIStr(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return 0xFFFFFFFFu;
  CPxString hay(text), needle(pattern);
  hay.ToLower();
  needle.ToLower();
  const size_t at = hay.Find(needle);
  if (at == CPxString::npos || at >= 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return static_cast<unsigned>(at);
}

bool StartsWith(const std::string& text, const char* prefix, bool ignoreCase) {
  if (prefix == nullptr) return false;
  const size_t n = std::strlen(prefix);
  if (n > text.size()) return false;
  return CharsEqual(text.c_str(), prefix, n, ignoreCase);
}

bool EndsWith(const std::string& text, const char* suffix, bool ignoreCase) {
  if (suffix == nullptr) return false;
  const size_t n = std::strlen(suffix);
  if (n > text.size()) return false;
  return CharsEqual(text.c_str() + text.size() - n, suffix, n, ignoreCase);
}

void StripTrailingBackslash(std::string& path) {
  if (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
}

void StripTrailingWhitespace(std::string& text) {
  StripTrailingIf(text, [](char c, char) { return c == ' ' || c == '\n'; }, 0);
}

void StripTrailingChars(std::string& text, char c) {
  StripTrailingIf(text, [](char ch, char extra) { return ch == ' ' || ch == '\n' || ch == extra; }, c);
}

void replaceSpecialChars(std::string& text, unsigned start, char replacement) {
  static const char kSpecial[] = "/:*?\"<>|%";
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] != '\0' && std::strchr(kSpecial, text[i]) != nullptr) text[i] = replacement;
  }
}

bool TruncatePatchString(std::string& text, int limit) {
  const size_t max = limit < 0 ? 0 : static_cast<size_t>(limit);
  if (text.size() <= max) return true;
  while (text.size() > max) {
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos) {
      text.resize(max);  // no item boundary left: cut at the limit
      break;
    }
    text.resize(comma);
  }
  text += ",...";
  return true;
}

void EraseCharFromString(std::string& text, char c) {
  text.erase(std::remove(text.begin(), text.end(), c), text.end());
}

std::string GetErrorCodeAsString(int code) {
  std::string text = PxErrnoText(code);
  while (!text.empty() && std::strchr(" \t\r\n\v\f", text.back()) != nullptr) text.pop_back();
  return text;
}

std::string ListToString(const std::list<unsigned>& values) {
  std::string out;
  for (unsigned v : values) out += std::to_string(v) + ",";
  return out;
}

std::string VectorToString(const std::vector<unsigned>& values, const std::string& separator) {
  std::string out;
  for (unsigned v : values) out += std::to_string(v) + separator;
  return out;
}

void StringToList(const std::string& text, std::list<int>& out, const char* delimiters) {
  for (const std::string& token : SplitAtAny(text, delimiters)) {
    out.push_back(static_cast<int>(ReadDecimal(token, INT_MIN, INT_MAX)));
  }
}

void StringToVector(const std::string& text, std::vector<unsigned>& out, const char* delimiters) {
  for (const std::string& token : SplitAtAny(text, delimiters)) {
    out.push_back(static_cast<unsigned>(ReadDecimal(token, INT_MIN, UINT_MAX)));
  }
}

void StringToVector(const std::string& text, std::vector<std::string>& out, const char* delimiters) {
  for (std::string& token : SplitAtAny(text, delimiters)) out.push_back(std::move(token));
}

void GetTokens(const std::string& text, std::vector<std::string>& tokens) {
  tokens = SplitAtAny(text, " ,()\t\n");
}

bool FindInList(const std::string& text, const std::vector<std::string>& list) {
  std::vector<std::string> tokens;
  GetTokens(text, tokens);
  for (const std::string& t : tokens) {
    if (std::find(list.begin(), list.end(), t) != list.end()) return true;
  }
  return false;
}

bool FindInListWithCommaAndSpace(const std::string& name, const std::string& list) {
  const std::vector<std::string> tokens = SplitAtAny(list, ", ");
  return std::find(tokens.begin(), tokens.end(), name) != tokens.end();
}

bool FindInList(const char* text, std::list<char*>& list) {
  if (text == nullptr) return false;
  for (const char* e : list) {
    if (e != nullptr && strcasecmp(e, text) == 0) return true;
  }
  return false;
}

bool FindInList(const char* name, std::vector<PInfo*>& list) {
  if (name == nullptr) return false;
  for (const PInfo* p : list) {
    if (p != nullptr && p->name != nullptr && strcasecmp(p->name, name) == 0) return true;
  }
  return false;
}

bool FindInList(int value, std::list<int>& list) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool FindInList(int value, const std::vector<int>& list) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool FindInList(int id, std::vector<AppInfo*>& list, AppInfo*& found) {
  for (AppInfo* a : list) {
    if (a != nullptr && a->id == id) {
      found = a;
      return true;
    }
  }
  return false;
}

void FreeElementsInList(std::vector<PInfo*>& list) {
  for (PInfo* p : list) {
    if (p == nullptr) continue;
    std::free(p->name);
    p->name = nullptr;
  }
}

void FreeElementsInList(std::vector<AppInfo*>& list) {
  for (AppInfo*& a : list) {
    if (a == nullptr) continue;
    FreeElementsInList(a->packages);
    delete a;
    a = nullptr;
  }
}

bool RemoveExtraFilesFromList(std::list<std::string>& names, std::list<std::string>& wanted) {
  const std::unordered_set<std::string> keep(wanted.begin(), wanted.end());
  names.remove_if([&keep](const std::string& n) { return keep.count(n) == 0; });
  return true;
}
