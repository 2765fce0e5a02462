#include "display/JpegOutBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

JpegOutBuffer::~JpegOutBuffer() { std::free(block_); }

bool JpegOutBuffer::Reserve(size_t n) {
  if (n && !block_) {
    block_ = static_cast<BYTE*>(std::malloc(n));
    if (block_) {
      capacity_ = n;
      used_ = 0;
      cursor_ = block_ + n;
    }
  }
  return block_ != nullptr;
}

bool JpegOutBuffer::Clear() {
  if (!block_) return false;
  std::memset(block_, 0, capacity_);
  used_ = 0;
  cursor_ = block_ + capacity_;
  return true;
}

bool JpegOutBuffer::Grow(size_t n) {
  BYTE* grown = static_cast<BYTE*>(std::malloc(n));
  if (!grown) return false;
  std::memcpy(grown + n - used_, cursor_, used_);
  std::free(block_);
  block_ = grown;
  capacity_ = n;
  cursor_ = block_ + n - used_;
  return true;
}

bool JpegOutBuffer::PrependRow(const BYTE* bytes, size_t n) {
  if (!block_ || !bytes || !n) return false;
  if (n > capacity_ - used_) {
    if (n > SIZE_MAX - used_ || !Grow(used_ + n)) return false;
  }
  cursor_ -= n;
  std::memcpy(cursor_, bytes, n);
  used_ += n;
  return true;
}

BYTE* JpegOutBuffer::Place(size_t n) {
  if (!n) return nullptr;
  if (n > capacity_) {
    BYTE* grown = static_cast<BYTE*>(std::malloc(n));
    if (!grown) return nullptr;
    std::free(block_);
    block_ = grown;
    capacity_ = n;
  }
  used_ = n;
  cursor_ = block_ + capacity_ - n;
  return cursor_;
}
