// The 12-byte header in front of every framed packet of the host protocol,
// in both directions. Little-endian; read and written field by field.
#pragma once

#include <cstddef>
#include <cstdint>

struct PacketHeader {
  static constexpr size_t kSize = 12;
  static constexpr uint16_t kControlSlot = 0xFAFA;
  static constexpr uint16_t kNoSlot = 0xFFFF;
  static constexpr uint16_t kSlotDataKind = 2;
  static constexpr uint8_t kNoIndex = 0xAA;        // index byte: no display or stream index
  static constexpr uint8_t kRemapSubKind = 0x10;   // sub-kind that permits the stream remap

  uint32_t length = 0;  // payload bytes after the header
  uint16_t kind = 0;
  uint16_t slot = 0;
  uint8_t subKind = 0;
  uint8_t index = 0;
  uint16_t reserved = 0;

  // False when fewer than kSize bytes are given.
  static bool Read(const uint8_t* bytes, size_t size, PacketHeader* out);
  // Writes kSize bytes; false when the room is smaller.
  bool Write(uint8_t* out, size_t room) const;

  // The display or stream index the index byte names (0xAA names none: 0).
  uint8_t IndexNumber() const { return index == kNoIndex ? 0 : (index & 0x0F); }
};
