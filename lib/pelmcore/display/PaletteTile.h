// 8x8 tiles by palette index: each pixel takes the colour its index names.
#pragma once

#include "pelplat/wintypes.h"

// palette: 16 colours of bytesPerPixel bytes, packed. indices: the 64
// indices of the index width, least significant bits first (width 0: every
// pixel colour 0). Other widths, and 4-byte pixels, leave the tile as it is.
// Uses vector instructions where the processor has them.
void ExpandPaletteTile(BYTE* tile, const BYTE* palette, int bytesPerPixel, const BYTE* indices,
                       int width);
// The same, a pixel at a time.
void ExpandPaletteTileScalar(BYTE* tile, const BYTE* palette, int bytesPerPixel,
                             const BYTE* indices, int width);
