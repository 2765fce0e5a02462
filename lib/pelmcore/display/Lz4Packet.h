// Display packets that arrive compressed: a 16-byte header {u32 11, u32
// compressed length Z, u32 decompressed length O, u32 tail length T}, one
// LZ4 block of Z bytes and T raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"

constexpr uint32_t kLz4PacketType = 11;
constexpr size_t kLz4PacketHeaderBytes = 16;

// The O + T bytes of a well-formed compressed packet in a block from
// std::malloc that the caller frees, or null: another type, lengths that do
// not add up, O above maxOutput, or a block that does not decompress to
// exactly O bytes. A null answer means the packet is decoded as it stands.
BYTE* UnwrapLz4Packet(const BYTE* data, size_t length, uint64_t maxOutput, size_t* outLength);
