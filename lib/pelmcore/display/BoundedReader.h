// Reads untrusted bytes without ever passing their end: a get that does not
// fit marks the reader bad and yields zero (or null), and the parser checks
// Ok() once where its record ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"

namespace display {

class BoundedReader {
 public:
  BoundedReader(const BYTE* data, size_t length) : data_(data), length_(data ? length : 0) {}

  bool Ok() const { return ok_; }
  size_t Remaining() const { return length_ - position_; }
  size_t Position() const { return position_; }

  uint8_t U8() {
    const BYTE* p = Bytes(1);
    return p ? p[0] : 0;
  }
  uint32_t U32() {
    const BYTE* p = Bytes(4);
    return p ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24
             : 0;
  }
  // The next n bytes, or null (and the reader bad) when fewer remain.
  const BYTE* Bytes(size_t n) {
    if (!ok_ || n > Remaining()) {
      ok_ = false;
      return nullptr;
    }
    const BYTE* p = data_ + position_;
    position_ += n;
    return p;
  }

 private:
  const BYTE* data_;
  size_t length_;
  size_t position_ = 0;
  bool ok_ = true;
};

}  // namespace display
