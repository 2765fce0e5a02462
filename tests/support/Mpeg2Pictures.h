// Pictures of an MPEG-2 elementary stream, one sample each: a new sample
// starts at a sequence header, or at a GOP or picture start once the
// sample holds a picture.
#pragma once

#include <cstdint>
#include <vector>

inline std::vector<std::vector<uint8_t>> SplitMpeg2Pictures(const std::vector<uint8_t>& s) {
  std::vector<std::vector<uint8_t>> pictures;
  size_t start = 0;
  bool hasPicture = false;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    const uint8_t code = s[i + 3];
    const bool begins = code == 0xB3 || ((code == 0xB8 || code == 0x00) && hasPicture);
    if (begins && i > start) {
      pictures.emplace_back(s.begin() + start, s.begin() + i);
      start = i;
      hasPicture = false;
    }
    if (code == 0x00) hasPicture = true;
  }
  pictures.emplace_back(s.begin() + start, s.end());
  return pictures;
}
