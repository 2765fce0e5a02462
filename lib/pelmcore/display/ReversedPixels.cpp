#include "display/ReversedPixels.h"

#include "display/CpuFeatures.h"

#ifdef PELLUM_HAVE_SSSE3_PATH
#include <immintrin.h>
#endif

namespace {

void ReverseScalar(BYTE* out, const BYTE* in, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, in += 3, out += 3) {
    const BYTE first = in[0];
    out[0] = in[2];
    out[1] = in[1];
    out[2] = first;
  }
}

#ifdef PELLUM_HAVE_SSSE3_PATH
// Sixteen pixels (48 bytes, three vectors) a step: output vector k takes
// its bytes from input vectors k - 1 to k + 1, one shuffle each.
struct ReverseMasks {
  alignas(16) signed char mask[3][3][16];
  ReverseMasks() {
    for (int k = 0; k < 3; ++k)
      for (int q = 0; q < 3; ++q)
        for (int j = 0; j < 16; ++j) {
          const int at = 16 * k + j;
          const int from = 3 * (at / 3) + 2 - at % 3;
          mask[k][q][j] = from / 16 == q ? (signed char)(from % 16) : -128;
        }
  }
};

__attribute__((target("ssse3"))) size_t ReverseSsse3(BYTE* out, const BYTE* in, size_t pixels) {
  static const ReverseMasks masks;
  size_t done = 0;
  for (; done + 16 <= pixels; done += 16) {
    __m128i v[3];
    for (int q = 0; q < 3; ++q)
      v[q] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done * 3 + 16 * q));
    for (int k = 0; k < 3; ++k) {
      __m128i o = _mm_setzero_si128();
      for (int q = 0; q < 3; ++q)
        if (q >= k - 1 && q <= k + 1)
          o = _mm_or_si128(o, _mm_shuffle_epi8(v[q], _mm_load_si128(reinterpret_cast<const __m128i*>(
                                                          masks.mask[k][q]))));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done * 3 + 16 * k), o);
    }
  }
  return done;
}

#endif

}  // namespace

void ReverseThreeBytePixels(BYTE* out, const BYTE* in, size_t pixels) {
  size_t done = 0;
#ifdef PELLUM_HAVE_SSSE3_PATH
  if (HasSsse3()) done = ReverseSsse3(out, in, pixels);
#endif
  ReverseScalar(out + done * 3, in + done * 3, pixels - done);
}
