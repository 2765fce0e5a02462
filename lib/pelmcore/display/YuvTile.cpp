#include "display/YuvTile.h"

#include <algorithm>
#include <cstring>

#include "sys/ByteReader.h"

#include "display/CpuFeatures.h"

#ifdef PELLUM_HAVE_SSSE3_PATH
#include <immintrin.h>
#endif

namespace {

BYTE Clamp(int v) { return BYTE(unsigned(v) <= 255 ? v : v < 0 ? 0 : 255); }

// Integer BT.601, video range: the chroma terms of one 2x2 group.
struct ChromaTerms {
  int blue, green, red;
  ChromaTerms(int u, int v)
      : blue(516 * (u - 128) + 128),
        green(-100 * (u - 128) - 208 * (v - 128) + 128),
        red(409 * (v - 128) + 128) {}
};

// Byte 0 blue, byte 1 green, byte 2 red.
inline void PutPixel(BYTE* out, int y, const ChromaTerms& t) {
  const int c = 298 * (y - 16);
  out[0] = Clamp((c + t.blue) >> 8);
  out[1] = Clamp((c + t.green) >> 8);
  out[2] = Clamp((c + t.red) >> 8);
}

constexpr int kCb = 64;
constexpr int kCr = 80;

// The four pixels of group k, whose luma lies at the given offsets.
inline void PutGroup(BYTE* tile, const BYTE* block, int k, const int luma[4]) {
  const ChromaTerms terms(block[kCb + k], block[kCr + k]);
  const int row = 2 * (k / 4);
  const int column = 2 * (k % 4);
  BYTE* top = tile + (row * 8 + column) * 3;
  BYTE* bottom = top + 8 * 3;
  PutPixel(top, block[luma[0]], terms);
  PutPixel(top + 3, block[luma[1]], terms);
  PutPixel(bottom, block[luma[2]], terms);
  PutPixel(bottom + 3, block[luma[3]], terms);
}

}  // namespace

void YuvBlockToBgr(BYTE* tile, const BYTE* block) {
  for (int k = 0; k < 16; ++k) {
    const int luma[4] = {4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3};
    PutGroup(tile, block, k, luma);
  }
}

void YuvRasterBlockToBgr(BYTE* tile, const BYTE* block) {
  for (int k = 0; k < 16; ++k) {
    const int first = 2 * (k / 4) * 8 + 2 * (k % 4);
    const int luma[4] = {first, first + 1, first + 8, first + 9};
    PutGroup(tile, block, k, luma);
  }
}

namespace {

void YuvRowToBgrScalar(BYTE* first, BYTE* second, const BYTE* luma, const BYTE* cb,
                       const BYTE* cr) {
  for (int c = 0; c < 16; ++c) {
    const ChromaTerms terms(cb[c / 2], cr[c / 2]);
    PutPixel((c < 8 ? first : second) + (c % 8) * 3, luma[c], terms);
  }
}

#ifdef PELLUM_HAVE_SSSE3_PATH
// The same sums in 32-bit lanes (pmaddwd of a pixel's two terms against
// their factors), shifted, and narrowed with saturation, which is the clamp.
// Output vector k holds bytes 16k to 16k + 15 of the row's 48: the first
// 8 pixels, then the other 8.
__attribute__((target("ssse3"))) inline void RowVectorsSsse3(__m128i out[3], const BYTE* luma,
                                                            const BYTE* cb, const BYTE* cr) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma));
  __m128i u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb));
  __m128i v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr));
  u8 = _mm_unpacklo_epi8(u8, u8);
  v8 = _mm_unpacklo_epi8(v8, v8);
  const __m128i sixteen = _mm_set1_epi16(16), half = _mm_set1_epi16(128);
  const __m128i y[2] = {_mm_sub_epi16(_mm_unpacklo_epi8(y8, zero), sixteen),
                        _mm_sub_epi16(_mm_unpackhi_epi8(y8, zero), sixteen)};
  const __m128i u[2] = {_mm_sub_epi16(_mm_unpacklo_epi8(u8, zero), half),
                        _mm_sub_epi16(_mm_unpackhi_epi8(u8, zero), half)};
  const __m128i v[2] = {_mm_sub_epi16(_mm_unpacklo_epi8(v8, zero), half),
                        _mm_sub_epi16(_mm_unpackhi_epi8(v8, zero), half)};
  const __m128i one = _mm_set1_epi16(1);
  const __m128i blueFactors = _mm_setr_epi16(298, 516, 298, 516, 298, 516, 298, 516);
  const __m128i greenFactors = _mm_setr_epi16(298, -100, 298, -100, 298, -100, 298, -100);
  const __m128i greenV = _mm_setr_epi16(-208, 128, -208, 128, -208, 128, -208, 128);
  const __m128i redFactors = _mm_setr_epi16(298, 409, 298, 409, 298, 409, 298, 409);
  const __m128i rounding = _mm_set1_epi32(128);
  __m128i blue16[2], green16[2], red16[2];
  for (int h = 0; h < 2; ++h) {
    __m128i b[2], g[2], r[2];
    for (int q = 0; q < 2; ++q) {
      const __m128i yu = q ? _mm_unpackhi_epi16(y[h], u[h]) : _mm_unpacklo_epi16(y[h], u[h]);
      const __m128i yv = q ? _mm_unpackhi_epi16(y[h], v[h]) : _mm_unpacklo_epi16(y[h], v[h]);
      const __m128i v1 = q ? _mm_unpackhi_epi16(v[h], one) : _mm_unpacklo_epi16(v[h], one);
      b[q] = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yu, blueFactors), rounding), 8);
      g[q] = _mm_srai_epi32(
          _mm_add_epi32(_mm_madd_epi16(yu, greenFactors), _mm_madd_epi16(v1, greenV)), 8);
      r[q] = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yv, redFactors), rounding), 8);
    }
    blue16[h] = _mm_packs_epi32(b[0], b[1]);
    green16[h] = _mm_packs_epi32(g[0], g[1]);
    red16[h] = _mm_packs_epi32(r[0], r[1]);
  }
  const __m128i channels[3] = {_mm_packus_epi16(blue16[0], blue16[1]),
                               _mm_packus_epi16(green16[0], green16[1]),
                               _mm_packus_epi16(red16[0], red16[1])};
  // Byte j of output vector k is channel (16k + j) % 3 of pixel (16k + j) / 3.
  struct Interleave {
    alignas(16) signed char mask[3][3][16];
    Interleave() {
      for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
          for (int j = 0; j < 16; ++j)
            mask[k][c][j] = (16 * k + j) % 3 == c ? (signed char)((16 * k + j) / 3) : -128;
    }
  };
  static const Interleave interleave;
  for (int k = 0; k < 3; ++k) {
    out[k] = zero;
    for (int c = 0; c < 3; ++c)
      out[k] = _mm_or_si128(out[k], _mm_shuffle_epi8(channels[c], _mm_load_si128(
                                        reinterpret_cast<const __m128i*>(interleave.mask[k][c]))));
  }
}

__attribute__((target("ssse3"))) void YuvRowToBgrSsse3(BYTE* first, BYTE* second,
                                                       const BYTE* luma, const BYTE* cb,
                                                       const BYTE* cr) {
  __m128i out[3];
  RowVectorsSsse3(out, luma, cb, cr);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(first), out[0]);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(first + 16), out[1]);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(second), _mm_srli_si128(out[1], 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 8), out[2]);
}

__attribute__((target("ssse3"))) void YuvRowPairToBgrSsse3(BYTE* first, BYTE* second,
                                                           const BYTE* luma, size_t lumaStride,
                                                           const BYTE* cb, const BYTE* cr) {
  __m128i a[3], b[3];
  RowVectorsSsse3(a, luma, cb, cr);
  RowVectorsSsse3(b, luma + lumaStride, cb, cr);
  // first: bytes 0-23 of both rows; second: bytes 24-47 of both rows.
  auto* f = reinterpret_cast<__m128i*>(first);
  auto* s = reinterpret_cast<__m128i*>(second);
  _mm_storeu_si128(f, a[0]);
  _mm_storeu_si128(f + 1, _mm_unpacklo_epi64(a[1], b[0]));
  _mm_storeu_si128(f + 2, _mm_alignr_epi8(b[1], b[0], 8));
  _mm_storeu_si128(s, _mm_alignr_epi8(a[2], a[1], 8));
  _mm_storeu_si128(s + 1, _mm_unpackhi_epi64(a[2], b[1]));
  _mm_storeu_si128(s + 2, b[2]);
}

#endif

}  // namespace

void YuvRowToBgr(BYTE* first, BYTE* second, const BYTE* luma, const BYTE* cb, const BYTE* cr) {
#ifdef PELLUM_HAVE_SSSE3_PATH
  if (HasSsse3()) return YuvRowToBgrSsse3(first, second, luma, cb, cr);
#endif
  YuvRowToBgrScalar(first, second, luma, cb, cr);
}

void YuvRowPairToBgr(BYTE* first, BYTE* second, const BYTE* luma, size_t lumaStride,
                     const BYTE* cb, const BYTE* cr) {
#ifdef PELLUM_HAVE_SSSE3_PATH
  if (HasSsse3()) return YuvRowPairToBgrSsse3(first, second, luma, lumaStride, cb, cr);
#endif
  YuvRowToBgrScalar(first, second, luma, cb, cr);
  YuvRowToBgrScalar(first + 24, second + 24, luma + lumaStride, cb, cr);
}

bool RunLengthDecode(BYTE* destination, const BYTE* coded, size_t codedLength,
                     size_t outputLength) {
  ByteReader reader(coded, codedLength);
  size_t made = 0;
  while (made < outputLength) {
    const int control = static_cast<signed char>(reader.U8());
    if (control < 0) {
      const BYTE value = reader.U8();
      if (!reader.Ok()) return false;
      const size_t count = std::min(size_t(1 - control), outputLength - made);
      std::memset(destination + made, value, count);
      made += count;
    } else {
      // A literal cut at the end of the output needs only the bytes it keeps.
      const size_t count = std::min(size_t(control) + 1, outputLength - made);
      const BYTE* literal = reader.Take(count);
      if (!reader.Ok()) return false;
      std::memcpy(destination + made, literal, count);
      made += count;
    }
  }
  return true;
}
