// Little-endian appends and reads for the test host's own record builders.
// The host writes every record by hand, so that tests check the client's
// writers and parsers against an independent implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testhost {
namespace wire {

inline void Append(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void AppendBytes(std::vector<uint8_t>& out, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + size);
}

// The text in a field of `bytes` bytes, zero-filled behind it (cut to fit).
inline void AppendText(std::vector<uint8_t>& out, const std::string& text, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

// UTF-16LE characters in a field of `chars` characters, zero-filled behind.
inline void AppendWide(std::vector<uint8_t>& out, const std::u16string& text, size_t chars) {
  for (size_t i = 0; i < chars; ++i) Append(out, i < text.size() ? text[i] : 0, 2);
}

// Reads `bytes` bytes at `offset`; 0 when they are not all there.
inline uint64_t Read(const std::vector<uint8_t>& in, size_t offset, int bytes) {
  if (offset > in.size() || in.size() - offset < static_cast<size_t>(bytes)) return 0;
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[offset + i];
  return v;
}

// A NUL-terminated text in a field, without the terminator.
inline std::string ReadText(const std::vector<uint8_t>& in, size_t offset, size_t bytes) {
  std::string s;
  for (size_t i = 0; i < bytes && offset + i < in.size() && in[offset + i]; ++i)
    s.push_back(static_cast<char>(in[offset + i]));
  return s;
}

inline std::u16string ReadWide(const std::vector<uint8_t>& in, size_t offset, size_t chars) {
  std::u16string s;
  for (size_t i = 0; i < chars; ++i) {
    const char16_t c = static_cast<char16_t>(Read(in, offset + 2 * i, 2));
    if (!c) break;
    s.push_back(c);
  }
  return s;
}

}  // namespace wire
}  // namespace testhost
