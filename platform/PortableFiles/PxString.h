// Byte string of the portable layer, with numbered-placeholder formatting.
//
//   CPxString name = CPxString::Format("{1}/P{2}_J{3}.lock", folder, pid, jobId);
//   name += "_lock";                     // appending a null const char* appends nothing
//   name.ToLower();                      // ASCII lower-case, in place
//   size_t at = name.Find(".lock");      // CPxString::npos when absent
//
// A CPxString owns its bytes (a std::string underneath) and is a plain value type.
#ifndef KQ_PLATFORM_PORTABLEFILES_PXSTRING_H_
#define KQ_PLATFORM_PORTABLEFILES_PXSTRING_H_

#pragma GCC visibility push(default)

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

class CPxString {
 public:
  static constexpr size_t npos = std::string::npos;

  CPxString() = default;
  CPxString(const char* text) : s_(text ? text : "") {}  // NOLINT: implicit by design
  CPxString(const std::string& text) : s_(text) {}        // NOLINT
  CPxString(std::string&& text) : s_(std::move(text)) {}  // NOLINT

  // Replaces "{1}", "{2}", ... by the text of the first, second, ... argument. Arguments may be
  // texts (const char*, null giving ""; std::string; CPxString), single characters, integers
  // (signed and unsigned printed in decimal, bool as 0 or 1) or floating-point numbers ("%g").
  // "{{" gives a literal "{"; a placeholder without a matching argument stays as written.
  template <typename... Args>
  static CPxString Format(const char* pattern, const Args&... args) {
    std::vector<std::string> texts;
    texts.reserve(sizeof...(Args));
    (texts.push_back(ToText(args)), ...);
    return CPxString(Substitute(pattern, texts));
  }

  const char* c_str() const { return s_.c_str(); }
  const std::string& str() const { return s_; }
  operator const std::string&() const { return s_; }  // NOLINT: lets CPxString pass as std::string
  size_t Length() const { return s_.size(); }
  bool IsEmpty() const { return s_.empty(); }

  // Lower-cases the ASCII letters in place (other bytes unchanged); returns *this.
  CPxString& ToLower();
  // Index of the first occurrence of `what` at or after `from`; npos when absent or when
  // `what` is null. An empty `what` is found at `from` (when from <= Length()).
  size_t Find(const char* what, size_t from = 0) const;
  size_t Find(const CPxString& what, size_t from = 0) const { return Find(what.c_str(), from); }

  CPxString& operator+=(const char* text) {
    if (text) s_ += text;
    return *this;
  }
  CPxString& operator+=(const std::string& text) {
    s_ += text;
    return *this;
  }
  CPxString& operator+=(const CPxString& text) {
    s_ += text.s_;
    return *this;
  }
  friend CPxString operator+(CPxString a, const CPxString& b) { return a += b; }
  friend bool operator==(const CPxString& a, const CPxString& b) { return a.s_ == b.s_; }
  friend bool operator!=(const CPxString& a, const CPxString& b) { return a.s_ != b.s_; }
  friend bool operator<(const CPxString& a, const CPxString& b) { return a.s_ < b.s_; }

 private:
  static std::string Substitute(const char* pattern, const std::vector<std::string>& texts);

  static std::string ToText(const char* v) { return v ? v : ""; }
  static std::string ToText(char* v) { return v ? v : ""; }
  static std::string ToText(const std::string& v) { return v; }
  static std::string ToText(const CPxString& v) { return v.s_; }
  static std::string ToText(char v) { return std::string(1, v); }
  static std::string ToText(bool v) { return v ? "1" : "0"; }
  static std::string ToText(double v);
  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  static std::string ToText(T v) {
    if constexpr (std::is_signed_v<T>) {
      return std::to_string(static_cast<long long>(v));
    } else {
      return std::to_string(static_cast<unsigned long long>(v));
    }
  }

  std::string s_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_PXSTRING_H_
