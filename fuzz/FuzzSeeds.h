// What the seed writers of the packet-entry fuzz targets share: an input is
// a setup byte, then each packet behind its u16 length (FuzzPackets.h reads
// it back).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

inline void WriteSeed(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Packets longer than a u16 length are left out.
inline std::vector<uint8_t> SeedInput(uint8_t setup, const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<uint8_t> out{setup};
  for (const std::vector<uint8_t>& p : packets) {
    if (p.size() > 0xFFFF) continue;
    out.push_back(uint8_t(p.size()));
    out.push_back(uint8_t(p.size() >> 8));
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}
