// The JPEG payloads of the display stream and of the picture streams,
// decoded with libjpeg-turbo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "pelplat/wintypes.h"

class JpegOutBuffer;

// The failure value of the tile decoders, also the display stream's "cannot
// take this command" value.
constexpr uint32_t kJpegTileFailure = 0x0FFFFFFF;

// The whole picture as 3-byte pixels (R, G, B as the library delivers them;
// one byte for greyscale pictures), last row first. 0 or -1.
int DecodeJpegToRgb(const BYTE* data, size_t length, int* width, int* height, int scaleNumerator,
                    int scaleDenominator, JpegOutBuffer* out);
// The same picture at full size, written straight into the block that
// place gives for it (width x height pixels of the given byte count,
// rows last first); a null block refuses the picture. 0 or -1.
int DecodeJpegToRgbAt(const BYTE* data, size_t length, int* width, int* height,
                      const std::function<BYTE*(int width, int height, int components)>& place);

// A 16-pixel-wide 4:2:0 YCbCr picture carrying two display tiles in each
// macroblock: *units receives two 192-byte tiles per 16 rows. The units are
// allocated here and released by the caller with std::free. 0 or
// kJpegTileFailure; any other geometry is refused.
uint32_t DecodeJpegToTileUnits(const BYTE* data, size_t length, int* width, int* height,
                               BYTE** units);

// The same kind of picture converted to 3-byte tiles (blue first): per 8
// rows the left tile, then the right one. Released with std::free.
uint32_t DecodeJpegToBgrTiles(const BYTE* data, size_t length, int* width, int* height,
                              BYTE** tiles);

// The undecoded sample planes of such a picture: Y (width x height), then
// Cb and Cr (width/2 x height/2 each). Planes read again into the same
// record reuse its bytes when they are large enough.
struct JpegRawPlanes {
  int width = 0;
  int height = 0;
  std::unique_ptr<BYTE[]> bytes;
  size_t capacity = 0;

  const BYTE* Y() const { return bytes.get(); }
  const BYTE* Cb() const { return bytes.get() + size_t(width) * height; }
  const BYTE* Cr() const { return Cb() + size_t(width) * height / 4; }
};

uint32_t ReadJpegRawPlanes(const BYTE* data, size_t length, JpegRawPlanes* planes);
// 384 bytes per 16 rows into units.
void PackPlaneUnits(const JpegRawPlanes& planes, BYTE* units);
// 384 bytes per 8 rows into tiles.
void PackBgrTiles(const JpegRawPlanes& planes, BYTE* tiles);
// The two tiles of rows 8 * band to 8 * band + 7 (band below height / 8),
// 192 bytes each.
void PackBgrTilePair(const JpegRawPlanes& planes, int band, BYTE* left, BYTE* right);
