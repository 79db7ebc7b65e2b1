// Bounded string copies for fixed-size character buffers.
//
// Both copy into `dest`, whose whole size is `destSize` bytes, and always leave it terminated.
// They return 0 on success and an errno value otherwise:
//   EINVAL  dest is null or destSize is 0 (nothing written), or src is null (dest emptied);
//   ERANGE  the text does not fit (dest emptied, so no truncated text is ever taken for whole).
// The array forms take the size from the array itself.
#ifndef KQ_PLATFORM_CONCURRENCY_KQSAFESTRING_H_
#define KQ_PLATFORM_CONCURRENCY_KQSAFESTRING_H_

#pragma GCC visibility push(default)

#include <cstddef>

// Copies all of src.
int strcpy_s(char* dest, std::size_t destSize, const char* src);
// Copies at most `count` characters of src (fewer when src ends first).
int strncpy_s(char* dest, std::size_t destSize, const char* src, std::size_t count);

template <std::size_t N>
inline int strcpy_s(char (&dest)[N], const char* src) {
  return strcpy_s(dest, N, src);
}
template <std::size_t N>
inline int strncpy_s(char (&dest)[N], const char* src, std::size_t count) {
  return strncpy_s(dest, N, src, count);
}

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONCURRENCY_KQSAFESTRING_H_
