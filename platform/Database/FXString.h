// The database library's text holder: a procedure's text result is fetched into it, and
// ToString hands the caller its own copy.
#ifndef KQ_PLATFORM_DATABASE_FXSTRING_H_
#define KQ_PLATFORM_DATABASE_FXSTRING_H_

#pragma GCC visibility push(default)

#include <string>

class FXString {
 public:
  FXString() = default;
  // The text itself, for the library to fill.
  std::string& Text() { return m_text; }
  std::string ToString() const { return m_text; }

 private:
  std::string m_text;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_FXSTRING_H_
