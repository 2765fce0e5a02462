// The records of the "MSVCEXT " slot: the 8-byte VCHANNEL_HEADER in front of
// every slot message and the 8-byte CHANNEL_PDU_HEADER in front of every
// chunk the clipboard and multimedia channels send.
#pragma once

#include <cstddef>
#include <cstdint>

namespace virtchan {

// Message codes: the two letters in memory order.
constexpr uint16_t kChannelData = 0x4357;     // "WC"
constexpr uint16_t kChannelOpen = 0x434F;     // "OC"
constexpr uint16_t kChannelClose = 0x4343;    // "CC"
constexpr uint16_t kCapabilities = 0x4353;    // "SC"

constexpr size_t kHeaderSize = 8;
constexpr size_t kChannelCount = 14;
constexpr uint16_t kReplyIndex = 0x8000;

// The capability exchange.
constexpr uint16_t kCapabilityMagic = 0xCA01;
constexpr size_t kCapabilityRequestSize = 12;
constexpr size_t kCapabilityReplyPayload = 16;

// Channel groups.
constexpr uint32_t kDeviceGroup = 0x007;
constexpr uint32_t kClipboardGroup = 0x070;
constexpr uint32_t kMultimediaGroup = 0x100;
constexpr uint32_t kDefaultClientGroups = 0x11;

// The open message: u32 not read, u32 server channel id, name of at most 16
// UTF-16 units.
constexpr size_t kOpenNameOffset = 8;
constexpr size_t kOpenNameUnits = 16;

// CHANNEL_PDU_HEADER.
constexpr size_t kPduHeaderSize = 8;
constexpr uint32_t kFlagFirst = 0x01;
constexpr uint32_t kFlagLast = 0x02;
constexpr uint32_t kFlagShowProtocol = 0x10;
constexpr uint32_t kMultimediaChunk = 1592;
constexpr uint32_t kClipboardChunk = 1500;

struct ChannelHeader {
  uint16_t code = 0;
  uint16_t index = 0;
  uint32_t length = 0;
};

void WriteChannelHeader(uint8_t out[kHeaderSize], const ChannelHeader& header);
// False when fewer than 8 bytes are there.
bool ReadChannelHeader(const uint8_t* data, size_t size, ChannelHeader* header);

// The flags of chunk `offset` of a PDU of `total` bytes cut at `limit`.
uint32_t ChunkFlags(uint64_t offset, uint64_t chunk, uint64_t total);

}  // namespace virtchan
