// Output of the row decoder: a block filled from its end towards its start,
// so that rows prepended one after another end up last row first.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

class JpegOutBuffer {
 public:
  JpegOutBuffer() = default;
  virtual ~JpegOutBuffer();

  // Makes a block of n bytes unless one exists; whether a block exists.
  bool Reserve(size_t n);
  // Empties the block; false without one.
  bool Clear();
  // Puts n bytes in front of what is there, growing the block as needed.
  bool PrependRow(const BYTE* bytes, size_t n);
  // Room for exactly n bytes that the caller writes in place (a block of n
  // bytes at least, kept when it is big enough; nothing is cleared, since
  // every byte is about to be written); null when memory runs out.
  BYTE* Place(size_t n);
  // The bytes written so far (equal to the reserved size once a whole
  // picture has been decoded into a fresh buffer).
  size_t GetSize() const { return used_; }
  const BYTE* GetData() const { return used_ ? cursor_ : nullptr; }

  JpegOutBuffer(const JpegOutBuffer&) = delete;
  JpegOutBuffer& operator=(const JpegOutBuffer&) = delete;

 private:
  bool Grow(size_t n);

  BYTE* block_ = nullptr;
  BYTE* cursor_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
};
