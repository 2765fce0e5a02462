// A libjpeg source manager over a memory range, read where it lies; after
// the last byte it keeps answering with an end-of-image marker, so a
// truncated picture ends instead of stalling.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "pelplat/wintypes.h"

// Installs the source on a created decompressor, or points the one it has
// at a new range; its storage comes from the decompressor's permanent pool
// and goes with it.
void JpegMemorySource(j_decompress_ptr info, const BYTE* data, size_t length);
