// Rectangle arithmetic for coordinates that may come from a server: spans
// and moved edges are worked out in 64 bits, and a moved edge that leaves
// the LONG range stops at its end instead of wrapping round.
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"

inline int64_t RectSpan(LONG from, LONG to) { return int64_t{to} - from; }

inline LONG SaturatedLong(int64_t v) {
  return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : static_cast<LONG>(v);
}
