// 8x8 YCbCr 4:2:0 blocks of the display stream turned into 3-byte tiles,
// and the byte run-length code of compressed blocks.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

// 64 luma bytes, then 16 Cb and 16 Cr bytes, one per 2x2 pixel group.
constexpr size_t kYuvBlockBytes = 96;
// 8 rows of 8 pixels of 3 bytes: blue, green, red.
constexpr size_t kBgrTileBytes = 192;

// Luma in 2x2-group order: four bytes per group (top left, top right,
// bottom left, bottom right), groups row by row.
void YuvBlockToBgr(BYTE* tile, const BYTE* block);
// Luma as 8 rows of 8 pixels.
void YuvRasterBlockToBgr(BYTE* tile, const BYTE* block);

// 16 pixels of one luma row whose chroma samples each cover two
// neighbouring pixels (8 Cb, 8 Cr bytes): the first 8 pixels go to first,
// the other 8 to second, 3 bytes a pixel, blue first. Computes what the
// block converters compute, with vector instructions where the processor
// has them.
void YuvRowToBgr(BYTE* first, BYTE* second, const BYTE* luma, const BYTE* cb, const BYTE* cr);
// Two such rows over the same chroma samples, the second lumaStride bytes
// after the first: 48 bytes (both rows) to first and to second, written
// as 16-byte stores at the offsets a reader of 16-byte vectors loads.
void YuvRowPairToBgr(BYTE* first, BYTE* second, const BYTE* luma, size_t lumaStride,
                     const BYTE* cb, const BYTE* cr);

// Decodes runs (control byte c < 0: the next byte 1 - c times) and literals
// (c >= 0: the next c + 1 bytes) until outputLength bytes are made; a run
// that passes the end is cut there. False when the coded bytes end first.
bool RunLengthDecode(BYTE* destination, const BYTE* coded, size_t codedLength,
                     size_t outputLength);
