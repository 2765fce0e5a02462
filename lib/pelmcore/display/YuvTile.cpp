#include "display/YuvTile.h"

#include <algorithm>
#include <cstring>

#include "sys/ByteReader.h"

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
