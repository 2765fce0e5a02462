// Builds expected NDR bytes field by field, independently of the codec: the
// golden vectors are written with it from the published structure layouts.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

class NdrBytes {
 public:
  NdrBytes& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) body_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  NdrBytes& U16(uint16_t v) {
    body_.push_back(static_cast<uint8_t>(v));
    body_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  NdrBytes& Bytes(std::initializer_list<uint8_t> b) {
    body_.insert(body_.end(), b.begin(), b.end());
    return *this;
  }
  NdrBytes& Bytes(const std::vector<uint8_t>& b) {
    body_.insert(body_.end(), b.begin(), b.end());
    return *this;
  }
  NdrBytes& Fill(size_t n, uint8_t value) {
    body_.insert(body_.end(), n, value);
    return *this;
  }
  // Zero padding up to a multiple of n.
  NdrBytes& Align(size_t n) {
    while (body_.size() % n) body_.push_back(0);
    return *this;
  }
  // A narrow string: maximum, offset 0, actual (both with the terminator).
  NdrBytes& StrA(const std::string& s) {
    Align(4).U32(s.size() + 1).U32(0).U32(s.size() + 1);
    for (char c : s) body_.push_back(static_cast<uint8_t>(c));
    body_.push_back(0);
    return *this;
  }
  NdrBytes& StrW(const std::u16string& s) {
    Align(4).U32(s.size() + 1).U32(0).U32(s.size() + 1);
    for (char16_t c : s) U16(c);
    return U16(0);
  }
  size_t Size() const { return body_.size(); }

  // The body behind the type serialization headers, padded to 8.
  std::vector<uint8_t> Pickle() const {
    std::vector<uint8_t> body = body_;
    while (body.size() % 8) body.push_back(0);
    std::vector<uint8_t> out = {0x01, 0x10, 0x08, 0x00, 0xCC, 0xCC, 0xCC, 0xCC};
    const uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    out.insert(out.end(), 4, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

 private:
  std::vector<uint8_t> body_;
};
