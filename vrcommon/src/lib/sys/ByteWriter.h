// Bounded little-endian writer into a byte range that it does not own.
//
// A put that does not fit marks the writer bad and writes nothing, so a
// builder writes a whole record and tests Ok() once at the end.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteWriter {
 public:
  ByteWriter(void* data, size_t capacity)
      : data_(static_cast<uint8_t*>(data)), capacity_(data ? capacity : 0) {}

  void U8(uint8_t v) {
    if (uint8_t* p = Room(1)) p[0] = v;
  }
  void U16(uint16_t v) {
    if (uint8_t* p = Room(2)) {
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>(v >> 8);
    }
  }
  void U32(uint32_t v) {
    if (uint8_t* p = Room(4)) {
      for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
  }
  void U64(uint64_t v) {
    if (uint8_t* p = Room(8)) {
      for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
  }
  void I16(int16_t v) { U16(static_cast<uint16_t>(v)); }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Bytes(const void* source, size_t n);
  void Zeros(size_t n);

  bool Ok() const { return ok_; }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return capacity_ - pos_; }

 private:
  uint8_t* Room(size_t n) {
    if (!ok_ || n > capacity_ - pos_) {
      ok_ = false;
      return nullptr;
    }
    uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }

  uint8_t* data_;
  size_t capacity_;
  size_t pos_ = 0;
  bool ok_ = true;
};
