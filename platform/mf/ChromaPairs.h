// NV12's interleaved chroma pairs against the two planes of planar 4:2:0:
// the decoder transform joins libavcodec's planes into pairs, the colour
// converter splits them again for libswscale's fast path.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

namespace pelplat_mf {

// count pairs: pairs[2i] = u[i], pairs[2i + 1] = v[i]. No overlap.
void JoinChromaPairs(const BYTE* u, const BYTE* v, BYTE* pairs, size_t count);
// The reverse: u[i] = pairs[2i], v[i] = pairs[2i + 1].
void SplitChromaPairs(const BYTE* pairs, BYTE* u, BYTE* v, size_t count);

}  // namespace pelplat_mf
