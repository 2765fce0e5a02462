// Bounded little-endian reader over a byte range that it does not own.
//
// Every get checks the bytes left. A get that does not fit marks the reader
// bad, consumes nothing and yields zero (or a zero-filled copy), so a parser
// reads a whole record field by field and tests Ok() once where it ends.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteReader {
 public:
  ByteReader(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}

  uint8_t U8() {
    const uint8_t* p = Take(1);
    return p ? p[0] : 0;
  }
  uint16_t U16() {
    const uint8_t* p = Take(2);
    return p ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
  }
  uint32_t U32() {
    const uint8_t* p = Take(4);
    return p ? (static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24))
             : 0;
  }
  uint64_t U64() {
    const uint8_t* p = Take(8);
    uint64_t v = 0;
    if (p) {
      for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    }
    return v;
  }
  int16_t I16() { return static_cast<int16_t>(U16()); }
  int32_t I32() { return static_cast<int32_t>(U32()); }

  // Copies n bytes; on failure the destination is zero-filled.
  bool Bytes(void* out, size_t n);
  // The next n bytes in place, or null (and bad) when fewer are left.
  const uint8_t* Take(size_t n) {
    if (!ok_ || n > size_ - pos_) {
      ok_ = false;
      return nullptr;
    }
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  void Skip(size_t n) { Take(n); }

  bool Ok() const { return ok_; }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};
