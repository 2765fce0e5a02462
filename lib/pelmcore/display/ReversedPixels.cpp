#include "display/ReversedPixels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PELLUM_HAVE_SSSE3_PATH 1
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
// Five pixels (15 bytes) per shuffle; the sixteenth byte written is
// rewritten by the next step, so only whole steps that stay inside both
// buffers run here and the last pixels go the scalar way.
__attribute__((target("ssse3"))) size_t ReverseSsse3(BYTE* out, const BYTE* in, size_t pixels) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  size_t done = 0;
  // Sixteen bytes are read and written from pixel done on: 5 pixels + 1.
  while (done + 6 <= pixels) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done * 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done * 3), _mm_shuffle_epi8(v, order));
    done += 5;
  }
  return done;
}

bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
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
