#include "ChromaPairs.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pelplat_mf {

void JoinChromaPairs(const BYTE* u, const BYTE* v, BYTE* pairs, size_t count) {
  size_t i = 0;
#ifdef __SSE2__
  for (; i + 16 <= count; i += 16) {
    const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
    const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs + 2 * i), _mm_unpacklo_epi8(us, vs));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs + 2 * i + 16), _mm_unpackhi_epi8(us, vs));
  }
#endif
  for (; i < count; ++i) {
    pairs[2 * i] = u[i];
    pairs[2 * i + 1] = v[i];
  }
}

void SplitChromaPairs(const BYTE* pairs, BYTE* u, BYTE* v, size_t count) {
  size_t i = 0;
#ifdef __SSE2__
  const __m128i low = _mm_set1_epi16(0x00FF);
  for (; i + 16 <= count; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * i + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + i),
                     _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + i),
                     _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
#endif
  for (; i < count; ++i) {
    u[i] = pairs[2 * i];
    v[i] = pairs[2 * i + 1];
  }
}

}  // namespace pelplat_mf
