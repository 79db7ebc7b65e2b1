#include "Concurrency/KqSafeString.h"

#include <cerrno>
#include <cstring>

namespace {

// Copies exactly `len` bytes of src and a terminator when they fit.
int CopyBounded(char* dest, std::size_t destSize, const char* src, std::size_t len) {
  if (len >= destSize) {
    dest[0] = '\0';
    return ERANGE;
  }
  std::memmove(dest, src, len);
  dest[len] = '\0';
  return 0;
}

}  // namespace

int strcpy_s(char* dest, std::size_t destSize, const char* src) {
  if (dest == nullptr || destSize == 0) return EINVAL;
  if (src == nullptr) {
    dest[0] = '\0';
    return EINVAL;
  }
  // Look no further than one byte past what fits: src need not be short.
  return CopyBounded(dest, destSize, src, strnlen(src, destSize));
}

int strncpy_s(char* dest, std::size_t destSize, const char* src, std::size_t count) {
  if (dest == nullptr || destSize == 0) return EINVAL;
  if (src == nullptr) {
    dest[0] = '\0';
    return EINVAL;
  }
  std::size_t limit = count < destSize ? count : destSize;
  return CopyBounded(dest, destSize, src, strnlen(src, limit));
}
