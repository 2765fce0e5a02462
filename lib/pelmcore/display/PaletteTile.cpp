#include "display/PaletteTile.h"

#include <cstdint>
#include <cstring>

#include "display/CpuFeatures.h"

#ifdef PELLUM_HAVE_SSSE3_PATH
#include <immintrin.h>
#endif

namespace {

constexpr int kPixels = 64;
constexpr int kColours = 16;

// Index i of the 64-pixel tile at the given width, least significant first.
inline unsigned IndexAt(const BYTE* indices, int width, int i) {
  switch (width) {
    case 1: return (indices[i >> 3] >> (i & 7)) & 1;
    case 2: return (indices[i >> 2] >> (2 * (i & 3))) & 3;
    case 3: {
      const BYTE* p = indices + (i >> 3) * 3;
      const uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
      return (bits >> (3 * (i & 7))) & 7;
    }
    case 4: return (indices[i >> 1] >> (4 * (i & 1))) & 0xF;
    default: return 0;
  }
}

// The pixel size is a template argument so that each pixel is one store of
// a colour word (the last pixel of a 3-byte tile exactly 3 bytes, so that
// nothing past the tile changes).
template <int B, int Width>
void Expand(BYTE* tile, const uint32_t* words, const BYTE* indices) {
  for (int i = 0; i < kPixels; ++i) {
    const uint32_t colour = words[IndexAt(indices, Width, i)];
    BYTE* out = tile + i * B;
    if (B == 3 && i + 1 < kPixels)
      std::memcpy(out, &colour, 4);
    else
      std::memcpy(out, &colour, B);
  }
}

template <int B>
void ExpandScalar(BYTE* tile, const BYTE* palette, const BYTE* indices, int width) {
  uint32_t words[kColours];
  for (int i = 0; i < kColours; ++i) {
    const BYTE* p = palette + i * B;
    uint32_t w = 0;
    for (int j = 0; j < B; ++j) w |= uint32_t(p[j]) << (8 * j);
    words[i] = w;
  }
  switch (width) {
    case 0: Expand<B, 0>(tile, words, indices); break;
    case 1: Expand<B, 1>(tile, words, indices); break;
    case 2: Expand<B, 2>(tile, words, indices); break;
    case 3: Expand<B, 3>(tile, words, indices); break;
    case 4: Expand<B, 4>(tile, words, indices); break;
    default: break;
  }
}

#ifdef PELLUM_HAVE_SSSE3_PATH
// Sixteen pixels a step. Bit k of pixel j's index is bit w*j + k of the
// step's 2w index bytes: a byte shuffle brings each pixel its byte, a mask
// and a compare turn the bit into bit k of the index. The indices then
// pick each colour byte from a 16-entry table with one more shuffle.
struct Masks {
  alignas(16) signed char byteOf[5][4][16];
  alignas(16) signed char bitOf[5][4][16];
  alignas(16) signed char interleave[3][3][16];
  // Colour byte c of entry i, gathered from vector q of the packed palette.
  alignas(16) signed char gather[4][3][3][16];
  Masks() {
    for (int b = 1; b <= 3; ++b)
      for (int c = 0; c < 3; ++c)
        for (int q = 0; q < 3; ++q)
          for (int i = 0; i < 16; ++i) {
            const int at = i * b + c;
            gather[b][c][q][i] = c < b && at / 16 == q ? (signed char)(at % 16) : -128;
          }
    for (int w = 1; w <= 4; ++w)
      for (int k = 0; k < w; ++k)
        for (int j = 0; j < 16; ++j) {
          const int bit = w * j + k;
          byteOf[w][k][j] = (signed char)(bit >> 3);
          bitOf[w][k][j] = (signed char)(1 << (bit & 7));
        }
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 16; ++j)
          interleave[v][c][j] = (16 * v + j) % 3 == c ? (signed char)((16 * v + j) / 3) : -128;
  }
};

inline __m128i Load(const signed char* p) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

// Bytes offset.. of the index block held in lo (and hi beyond 16 bytes).
template <int Offset>
__attribute__((target("ssse3"))) inline __m128i BytesAt(__m128i lo, __m128i hi) {
  if constexpr (Offset == 0)
    return lo;
  else if constexpr (Offset < 16)
    return _mm_alignr_epi8(hi, lo, Offset);
  else
    return _mm_srli_si128(hi, Offset - 16);
}

// The 16 indices of step S (0 to 3) of a tile of width W.
template <int W, int S>
__attribute__((target("ssse3"))) inline __m128i StepIndices(__m128i lo, __m128i hi,
                                                            const Masks& masks) {
  const __m128i bytes = BytesAt<2 * W * S>(lo, hi);
  __m128i index = _mm_setzero_si128();
  for (int k = 0; k < W; ++k) {
    const __m128i bit = Load(masks.bitOf[W][k]);
    const __m128i spread = _mm_and_si128(_mm_shuffle_epi8(bytes, Load(masks.byteOf[W][k])), bit);
    index = _mm_or_si128(index, _mm_and_si128(_mm_cmpeq_epi8(spread, bit), _mm_set1_epi8(char(1 << k))));
  }
  return index;
}

__attribute__((target("ssse3"))) inline void PutStep(BYTE* out, int b, const __m128i* table,
                                                    __m128i index, const Masks& masks) {
  if (b == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(table[0], index));
  } else if (b == 2) {
    const __m128i low = _mm_shuffle_epi8(table[0], index);
    const __m128i high = _mm_shuffle_epi8(table[1], index);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(low, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(low, high));
  } else {
    const __m128i channel[3] = {_mm_shuffle_epi8(table[0], index), _mm_shuffle_epi8(table[1], index),
                                _mm_shuffle_epi8(table[2], index)};
    for (int v = 0; v < 3; ++v) {
      __m128i o = _mm_setzero_si128();
      for (int c = 0; c < 3; ++c)
        o = _mm_or_si128(o, _mm_shuffle_epi8(channel[c], Load(masks.interleave[v][c])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * v), o);
    }
  }
}

// The 8W index bytes are read with loads of exactly their size.
template <int W>
__attribute__((target("ssse3"))) void ExpandWidth(BYTE* tile, int b, const __m128i* table,
                                                  const BYTE* indices, const Masks& masks) {
  __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
  if constexpr (W == 1) {
    lo = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(indices));
  } else if constexpr (W == 2) {
    lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indices));
  } else if constexpr (W == 3) {
    lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indices));
    hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(indices + 16));
  } else if constexpr (W == 4) {
    lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indices));
    hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(indices + 16));
  }
  const int step = 16 * b;
  if constexpr (W == 0) {
    for (int s = 0; s < 4; ++s) PutStep(tile + s * step, b, table, _mm_setzero_si128(), masks);
  } else {
    PutStep(tile, b, table, StepIndices<W, 0>(lo, hi, masks), masks);
    PutStep(tile + step, b, table, StepIndices<W, 1>(lo, hi, masks), masks);
    PutStep(tile + 2 * step, b, table, StepIndices<W, 2>(lo, hi, masks), masks);
    PutStep(tile + 3 * step, b, table, StepIndices<W, 3>(lo, hi, masks), masks);
  }
}

__attribute__((target("ssse3"))) void ExpandSsse3(BYTE* tile, const BYTE* palette, int b,
                                                 const BYTE* indices, int width) {
  static const Masks masks;
  // Colour byte c of every palette entry, by index: the 16 b bytes of the
  // palette are read as b vectors and gathered with shuffles.
  __m128i packed[3] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  for (int q = 0; q < b; ++q)
    packed[q] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(palette + 16 * q));
  __m128i table[3];
  for (int c = 0; c < 3; ++c) {
    table[c] = _mm_setzero_si128();
    for (int q = 0; q < b; ++q)
      table[c] = _mm_or_si128(table[c], _mm_shuffle_epi8(packed[q], Load(masks.gather[b][c][q])));
  }
  switch (width) {
    case 0: ExpandWidth<0>(tile, b, table, indices, masks); break;
    case 1: ExpandWidth<1>(tile, b, table, indices, masks); break;
    case 2: ExpandWidth<2>(tile, b, table, indices, masks); break;
    case 3: ExpandWidth<3>(tile, b, table, indices, masks); break;
    case 4: ExpandWidth<4>(tile, b, table, indices, masks); break;
    default: break;
  }
}

#endif

}  // namespace

void ExpandPaletteTileScalar(BYTE* tile, const BYTE* palette, int bytesPerPixel,
                             const BYTE* indices, int width) {
  switch (bytesPerPixel) {
    case 1: ExpandScalar<1>(tile, palette, indices, width); break;
    case 2: ExpandScalar<2>(tile, palette, indices, width); break;
    case 3: ExpandScalar<3>(tile, palette, indices, width); break;
    default: break;  // 4-byte tiles are never expanded
  }
}

void ExpandPaletteTile(BYTE* tile, const BYTE* palette, int bytesPerPixel, const BYTE* indices,
                       int width) {
#ifdef PELLUM_HAVE_SSSE3_PATH
  if (HasSsse3() && bytesPerPixel >= 1 && bytesPerPixel <= 3 && width >= 0 && width <= 4)
    return ExpandSsse3(tile, palette, bytesPerPixel, indices, width);
#endif
  ExpandPaletteTileScalar(tile, palette, bytesPerPixel, indices, width);
}
