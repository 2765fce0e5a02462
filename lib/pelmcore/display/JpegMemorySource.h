// A libjpeg source manager over a memory range. The bytes are copied in
// pieces of at most 4096; after the last byte it keeps answering with an
// end-of-image marker, so a truncated picture ends instead of stalling.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "pelplat/wintypes.h"

// Installs the source on a created decompressor; its storage comes from the
// decompressor's permanent pool and goes with it.
void JpegMemorySource(j_decompress_ptr info, const BYTE* data, size_t length);
