// Error value of the portable file layer, and where an error was raised.
//
// Every CPx* operation that can fail returns a CPxError by value. A CPxError holds a code
// (0 means success), a text that says what went wrong, and the code location that raised it.
// Codes are either an errno value (operating-system failures, positive), or a 32-bit result
// code of the form 0x8000xxxx (raised by our own code through FXErrorUtil::ErrorHResult),
// which reads back as a negative int from GetErrorCode().
#ifndef KQ_PLATFORM_PORTABLEFILES_PXERROR_H_
#define KQ_PLATFORM_PORTABLEFILES_PXERROR_H_

#pragma GCC visibility push(default)

#include <cstdint>
#include <string>

// Source location of an error: file, line and function. Build it with FX_CODE_LOCATION().
class FXCodeLocation {
 public:
  FXCodeLocation() = default;
  FXCodeLocation(const char* file, int line, const char* function = nullptr)
      : file_(file), line_(line), function_(function) {}

  const char* GetFile() const { return file_ ? file_ : ""; }
  int GetLine() const { return line_; }
  const char* GetFunction() const { return function_ ? function_ : ""; }
  // "file:line (function)", or "" for an unknown location.
  std::string AsString() const;

 private:
  const char* file_ = nullptr;  // static storage (__FILE__)
  int line_ = 0;
  const char* function_ = nullptr;  // static storage (__func__)
};

#define FX_CODE_LOCATION() FXCodeLocation(__FILE__, __LINE__, __func__)

// A value type: copy and assign freely. A default-constructed CPxError is success.
class CPxError {
 public:
  CPxError() = default;
  CPxError(int code, std::string text, const FXCodeLocation& where = FXCodeLocation())
      : code_(code), text_(std::move(text)), where_(where) {}

  static CPxError Success() { return CPxError(); }
  // An operating-system failure: code = err, text = "<what>: <strerror(err)>".
  static CPxError FromErrno(int err, const std::string& what, const FXCodeLocation& where);

  bool IsError() const { return code_ != 0; }
  int GetErrorCode() const { return code_; }
  // The error text ("" for success).
  const std::string& AsString() const { return text_; }
  const char* c_str() const { return text_.c_str(); }
  const FXCodeLocation& GetLocation() const { return where_; }

 private:
  int code_ = 0;
  std::string text_;
  FXCodeLocation where_;
};

// Thread-safe text of an errno value (strerror_r), e.g. 2 -> "No such file or directory".
std::string PxErrnoText(int err);

// Builders for CPxError values raised by our own code.
class FXErrorUtil {
 public:
  // A 32-bit result code (0x8000xxxx), e.g.
  //   return FXErrorUtil::ErrorHResult(0x80000008, FX_CODE_LOCATION(), "Invalid input param detected.");
  // A code of 0 gives success.
  static CPxError ErrorHResult(uint32_t code, const FXCodeLocation& where, const char* text = nullptr);
  // An error number of the other operating-system family (112 = disk full), mapped into the
  // result-code space as 0x8007xxxx so that it can never read as success or as an errno value.
  static CPxError ErrorWin32(uint32_t code, const FXCodeLocation& where, const char* text = nullptr);
  // An errno value, with its strerror text.
  static CPxError ErrorErrno(int err, const FXCodeLocation& where, const char* text = nullptr);
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PORTABLEFILES_PXERROR_H_
