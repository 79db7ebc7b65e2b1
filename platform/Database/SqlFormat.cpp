#include "Database/SqlFormat.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kq {
namespace db {
namespace {

template <class T>
std::string Print(const std::string& spec, T v) {
  char buf[128];
  int n = snprintf(buf, sizeof(buf), spec.c_str(), v);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(buf)) return std::string(buf, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  snprintf(&big[0], big.size(), spec.c_str(), v);
  big.resize(n);
  return big;
}

template <class T>
std::string Print(const std::string& spec, int width, int prec, bool hasWidth, bool hasPrec, T v) {
  char buf[256];
  int n;
  if (hasWidth && hasPrec) n = snprintf(buf, sizeof(buf), spec.c_str(), width, prec, v);
  else if (hasWidth) n = snprintf(buf, sizeof(buf), spec.c_str(), width, v);
  else if (hasPrec) n = snprintf(buf, sizeof(buf), spec.c_str(), prec, v);
  else return Print(spec, v);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n) < sizeof(buf) ? n : sizeof(buf) - 1);
}

// "( 1, 3)" -> {1, 3}; false for anything else.
bool ParseIntList(const char* s, std::vector<long long>& out) {
  out.clear();
  const char* p = s;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p++ != '(') return false;
  for (;;) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    char* end = nullptr;
    long long v = strtoll(p, &end, 10);
    if (end == p) return false;
    out.push_back(v);
    p = end;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p != ')') return false;
    ++p;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    return *p == '\0';
  }
}

bool EndsWithKeywordIn(const std::string& sql) {
  size_t e = sql.find_last_not_of(" \t\r\n");
  if (e == std::string::npos || e < 1) return false;
  if (std::tolower(static_cast<unsigned char>(sql[e])) != 'n' ||
      std::tolower(static_cast<unsigned char>(sql[e - 1])) != 'i')
    return false;
  return e < 2 || !(std::isalnum(static_cast<unsigned char>(sql[e - 2])) || sql[e - 2] == '_');
}

}  // namespace

bool FormatBound(const char* format, va_list args, BoundText& out, std::string& err) {
  out = BoundText();
  if (format == nullptr) return true;
  bool inQuote = false;  // inside a single-quoted literal of the SQL being built
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      // A run of plain text goes over whole.
      const char* run = p;
      for (; *p != '\0' && *p != '%'; ++p)
        if (*p == '\'') inQuote = !inQuote;
      out.sql.append(run, p);
      out.text.append(run, p);
      continue;
    }
    if (p[1] == '%') {
      out.sql += '%';
      out.text += '%';
      p += 2;
      continue;
    }
    // %[flags][width][.precision][length]conversion
    const char* start = p++;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
    bool hasWidth = false, hasPrec = false;
    int width = 0, prec = 0;
    if (*p == '*') {
      hasWidth = true;
      width = va_arg(args, int);
      ++p;
    } else {
      while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    }
    // The precision of a text, given literally or by argument: how much of the value is bound.
    long textPrec = -1;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        hasPrec = true;
        prec = va_arg(args, int);
        textPrec = prec;
        ++p;
      } else {
        textPrec = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
          if (textPrec < 1000000000L) textPrec = textPrec * 10 + (*p - '0');
          ++p;
        }
      }
    }
    std::string length;
    while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) length += *p++;
    char conv = *p;
    if (conv == '\0') {
      err = "format text ends inside a conversion";
      return false;
    }
    ++p;
    std::string spec(start, p);
    Value value;
    std::string printed;
    bool intList = false;
    std::vector<long long> list;
    switch (conv) {
      case 'd':
      case 'i': {
        long long v;
        if (length == "l") v = va_arg(args, long);
        else if (length == "ll" || length == "q") v = va_arg(args, long long);
        else if (length == "j") v = va_arg(args, intmax_t);
        else if (length == "z" || length == "t") v = va_arg(args, ptrdiff_t);
        else v = va_arg(args, int);
        if (length == "h") v = static_cast<short>(v);
        if (length == "hh") v = static_cast<signed char>(v);
        std::string s(start, p - 1 - length.size());
        printed = Print(s + "ll" + conv, hasWidth ? width : 0, hasPrec ? prec : 0, hasWidth,
                        hasPrec, v);
        value = Value::Int(v);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        if (length == "l") v = va_arg(args, unsigned long);
        else if (length == "ll" || length == "q") v = va_arg(args, unsigned long long);
        else if (length == "j") v = va_arg(args, uintmax_t);
        else if (length == "z" || length == "t") v = va_arg(args, size_t);
        else v = va_arg(args, unsigned int);
        if (length == "h") v = static_cast<unsigned short>(v);
        if (length == "hh") v = static_cast<unsigned char>(v);
        std::string s(start, p - 1 - length.size());
        printed = Print(s + "ll" + conv, hasWidth ? width : 0, hasPrec ? prec : 0, hasWidth,
                        hasPrec, v);
        value = Value::Int(static_cast<long long>(v));
        break;
      }
      case 'c': {
        int v = va_arg(args, int);
        printed = std::string(1, static_cast<char>(v));
        value = Value::Text(printed);
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double v = length == "L" ? static_cast<double>(va_arg(args, long double))
                                 : va_arg(args, double);
        std::string s(start, p - 1 - length.size());
        printed = Print(s + conv, hasWidth ? width : 0, hasPrec ? prec : 0, hasWidth, hasPrec, v);
        value = Value::Real(v);
        break;
      }
      case 's': {
        const char* v = va_arg(args, const char*);
        if (v == nullptr) {
          printed = "(null)";
          value = Value::Null();
        } else {
          printed = Print(spec, hasWidth ? width : 0, hasPrec ? prec : 0, hasWidth, hasPrec, v);
          value = Value::Text(textPrec >= 0 ? std::string(v, strnlen(v, static_cast<size_t>(textPrec)))
                                            : std::string(v));
          intList = !inQuote && EndsWithKeywordIn(out.sql) && ParseIntList(v, list);
        }
        // Outside a literal a text would be part of the statement: only a value list may stand
        // there.
        if (!inQuote && !intList) {
          err = "%s outside quotes must be a list of integers after IN";
          return false;
        }
        break;
      }
      default:
        err = std::string("format conversion %") + conv + " cannot be bound";
        return false;
    }
    out.text += printed;
    if (intList) {
      out.sql += '(';
      for (size_t i = 0; i < list.size(); ++i) {
        out.params.push_back(Value::Int(list[i]));
        out.sql += (i ? ", $" : "$") + std::to_string(out.params.size());
      }
      out.sql += ')';
      continue;
    }
    if (inQuote) {
      // Inside a literal: the value is text there.
      if (value.kind == Value::kInt || value.kind == Value::kReal) value = Value::Text(printed);
      out.params.push_back(value);
      std::string ph = "$" + std::to_string(out.params.size());
      if (!out.sql.empty() && out.sql.back() == '\'' && *p == '\'') {
        out.sql.pop_back();  // '%s' -> $n
        out.sql += ph;
        out.text += '\'';
        ++p;
        inQuote = false;
      } else {
        out.sql += "' || " + ph + " || '";
      }
      continue;
    }
    out.params.push_back(value);
    out.sql += "$" + std::to_string(out.params.size());
  }
  return true;
}

}  // namespace db
}  // namespace kq
