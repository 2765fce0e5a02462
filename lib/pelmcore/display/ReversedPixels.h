// Three-byte pixels with their bytes reversed (c0 c1 c2 becomes c2 c1 c0):
// how the display stream's 3-byte colours become tile pixels.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

// out and in do not overlap; both hold pixels x 3 bytes.
void ReverseThreeBytePixels(BYTE* out, const BYTE* in, size_t pixels);
