// Copies into memory that is written once and read back much later, if at
// all (the tile-cache rings): the stores bypass the processor's caches, so a
// store neither reads its line first nor pushes out lines that are in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// count bytes from `from` to `to`; the regions do not overlap. Streams when
// `to` is 16-byte aligned and count a multiple of 16, copies plainly
// otherwise.
inline void StreamingCopy(void* to, const void* from, size_t count) {
#if defined(__SSE2__)
  if ((reinterpret_cast<uintptr_t>(to) & 15) == 0 && (count & 15) == 0) {
    auto* out = static_cast<__m128i*>(to);
    const auto* in = static_cast<const __m128i*>(from);
    for (size_t i = 0; i < count / 16; ++i) _mm_stream_si128(out + i, _mm_loadu_si128(in + i));
    return;
  }
#endif
  std::memcpy(to, from, count);
}

// Orders streamed stores before the stores that follow, as plain stores
// are ordered; called once the batch of streamed stores is done.
inline void StreamingCopyDone() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}
