// The packet framing the packet-entry fuzz targets share: after the setup
// bytes, packets of a u16 length and their bytes, the last one taking what
// is left. Each packet is handed over in a buffer of its own size, so that
// a read beyond it shows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

template <class Handle>
void ForEachFuzzPacket(const uint8_t* data, size_t size, size_t at, Handle handle) {
  while (at < size) {
    size_t length = size - at;
    if (length >= 2) {
      const size_t stated = data[at] | size_t(data[at + 1]) << 8;
      at += 2;
      length = std::min(stated, size - at);
    }
    const std::vector<uint8_t> packet(data + at, data + at + length);
    at += length;
    handle(packet, at);
  }
}
