#include "PortableFiles/PxError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// strerror_r comes in two flavours; overloads pick the right one at compile time.
[[maybe_unused]] const char* ErrnoResult(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* ErrnoResult(const char* msg, const char*) { return msg; }

}  // namespace

std::string PxErrnoText(int err) {
  char buf[256] = {0};
  const char* msg = ErrnoResult(strerror_r(err, buf, sizeof(buf)), buf);
  if (msg == nullptr || *msg == '\0') return "Unknown error " + std::to_string(err);
  return msg;
}

std::string FXCodeLocation::AsString() const {
  if (file_ == nullptr) return "";
  std::string s = std::string(file_) + ":" + std::to_string(line_);
  if (function_ != nullptr && *function_ != '\0') s += std::string(" (") + function_ + ")";
  return s;
}

CPxError CPxError::FromErrno(int err, const std::string& what, const FXCodeLocation& where) {
  if (err == 0) err = EIO;  // a failure must never read as success
  return CPxError(err, what.empty() ? PxErrnoText(err) : what + ": " + PxErrnoText(err), where);
}

CPxError FXErrorUtil::ErrorHResult(uint32_t code, const FXCodeLocation& where, const char* text) {
  if (code == 0) return CPxError();
  char fallback[32];
  if (text == nullptr) {
    std::snprintf(fallback, sizeof(fallback), "Error 0x%08x", code);
    text = fallback;
  }
  return CPxError(static_cast<int>(code), text, where);
}

CPxError FXErrorUtil::ErrorWin32(uint32_t code, const FXCodeLocation& where, const char* text) {
  if (code == 0) return CPxError();
  return ErrorHResult(0x80070000u | (code & 0xFFFFu), where, text);
}

CPxError FXErrorUtil::ErrorErrno(int err, const FXCodeLocation& where, const char* text) {
  return CPxError::FromErrno(err, text ? text : "", where);
}
