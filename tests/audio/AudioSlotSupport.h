// The recording session port and a packet maker for the audio slot's tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "session/AudioClockRecord.h"
#include "support/FakeSlotPort.h"
#include "transport/PacketHeader.h"
#include "transport/PacketPool.h"
#include "session/SlotDataProcessor.h"

using Bytes = std::vector<uint8_t>;

using FakeAudioPort = testsupport::FakeSlotPort;

// Attaches the processor at slot 2 with a new recording port; answers it
// (owned by the processor).
inline FakeAudioPort* AttachFakePort(CSlotDataProcessor& processor) {
  auto owned = std::make_unique<FakeAudioPort>();
  FakeAudioPort* port = owned.get();
  processor.AttachPort(2, std::move(owned));
  return port;
}

// A server message: header with `length` (default: the real one) and data.
inline Bytes AudioMessage(uint8_t command, const Bytes& data, int length = -1, uint8_t kind = 0x1F) {
  Bytes m;
  const uint16_t rest = static_cast<uint16_t>(length >= 0 ? length : int(data.size()) + 6);
  m.push_back(static_cast<uint8_t>(rest));
  m.push_back(static_cast<uint8_t>(rest >> 8));
  m.push_back(command);
  m.push_back(kind);
  for (char c : {'C', 'M', 'T', ' '}) m.push_back(static_cast<uint8_t>(c));
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

inline void PutLe(Bytes* b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline Bytes Le32(uint32_t v) {
  Bytes b;
  PutLe(&b, v, 4);
  return b;
}
inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes WaveFormatBytes(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes b;
  PutLe(&b, tag, 2);
  PutLe(&b, channels, 2);
  PutLe(&b, rate, 4);
  PutLe(&b, uint64_t(rate) * channels * bits / 8, 4);
  PutLe(&b, uint64_t(channels) * bits / 8, 2);
  PutLe(&b, bits, 2);
  PutLe(&b, 0, 2);
  return b;
}

// Hands one payload to the processor as the session core would; returns the
// processor's answer (the buffer is released here when it was refused).
inline bool Deliver(CSlotDataProcessor& p, const Bytes& payload) {
  PacketBuffer* buffer = CPacketPool::Global().Acquire(payload.size(), 0);
  PacketHeader h;
  h.length = static_cast<uint32_t>(payload.size());
  h.kind = PacketHeader::kSlotDataKind;
  h.Write(buffer->data, PacketHeader::kSize);
  if (!payload.empty()) memcpy(buffer->Payload(), payload.data(), payload.size());
  buffer->filled = static_cast<uint32_t>(PacketHeader::kSize + payload.size());
  const bool kept = p.OnPacket(buffer) != 0;
  if (!kept) CPacketPool::Release(buffer);
  return kept;
}

inline uint32_t ReadLe32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
inline uint64_t ReadLe64(const Bytes& b, size_t at) {
  return ReadLe32(b, at) | uint64_t(ReadLe32(b, at + 4)) << 32;
}
