#include "Messages/MessageTextScan.h"

#include <immintrin.h>

#include <cstring>

namespace kq {

namespace {

constexpr size_t kBlock = 128;

// Whether any of the kBlock bytes at p equals a byte of a or of b (each a byte in every lane).
__attribute__((target("avx2"))) inline bool BlockHasEither(const char* p, __m256i a, __m256i b) {
  const __m256i* q = reinterpret_cast<const __m256i*>(p);
  const __m256i v0 = _mm256_loadu_si256(q);
  const __m256i v1 = _mm256_loadu_si256(q + 1);
  const __m256i v2 = _mm256_loadu_si256(q + 2);
  const __m256i v3 = _mm256_loadu_si256(q + 3);
  const __m256i x = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v0, a), _mm256_cmpeq_epi8(v0, b)),
                                    _mm256_or_si256(_mm256_cmpeq_epi8(v1, a), _mm256_cmpeq_epi8(v1, b)));
  const __m256i y = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v2, a), _mm256_cmpeq_epi8(v2, b)),
                                    _mm256_or_si256(_mm256_cmpeq_epi8(v3, a), _mm256_cmpeq_epi8(v3, b)));
  const __m256i any = _mm256_or_si256(x, y);
  return !_mm256_testz_si256(any, any);
}

// The offset of the first whole block of text[0, size) that holds first or second; the offset
// of the part after the last whole block when none does.
__attribute__((target("avx2"))) size_t FirstBlockWithEither(const char* text, size_t size,
                                                            char first, char second) {
  const __m256i a = _mm256_set1_epi8(first);
  const __m256i b = _mm256_set1_epi8(second);
  size_t k = 0;
  for (; k + kBlock <= size; k += kBlock)
    if (BlockHasEither(text + k, a, b)) break;
  return k;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

}  // namespace

TwoBytesFound FindTwoBytes(const char* text, size_t size, char first, char second) {
  // Where neither byte occurs before from, the rest is searched for each byte on its own.
  const size_t from = HasAvx2() ? FirstBlockWithEither(text, size, first, second) : 0;
  TwoBytesFound found;
  if (from == size) return found;
  found.first = std::memchr(text + from, first, size - from) != nullptr;
  found.second = std::memchr(text + from, second, size - from) != nullptr;
  return found;
}

}  // namespace kq
