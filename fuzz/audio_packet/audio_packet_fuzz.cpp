// The audio slot's packet entry with a sound device that never opens, so
// every command runs without the device's close waits. Input: packets of u16
// length and bytes (the last takes what is left); a packet's first byte is
// the command, its second is added to the length field, the rest is data.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "session/AudioClockRecord.h"
#include "session/SlotSessionPort.h"
#include "audio/AudioSlotDataProcessor.h"
#include "pelplat/wavebackend.h"
#include "transport/PacketHeader.h"
#include "transport/PacketPool.h"

namespace {

class QuietPort : public ISlotSessionPort {
 public:
  SendResult SendOnSlot(const void*, uint32_t length) override { return {kStatusOk, length}; }
  int SendClientEvent(uint32_t, const void*, uint32_t) override { return 0; }
  const CClientConnectionParameter* Parameters() override { return nullptr; }
  bool AlignsContainers() override { return true; }
  AudioClockRecord* AudioClock() override { return &clock; }
  IDisplaySurfaces* Surfaces() override { return nullptr; }
  AudioClockRecord clock;
};

pelplat::wave::VirtualWaveBackend& Backend() {
  static auto* backend = [] {
    auto* b = new pelplat::wave::VirtualWaveBackend;
    b->FailOpens(true);
    pelplat::wave::SetBackend(b);
    return b;
  }();
  return *backend;
}

// Each packet in a buffer of its own size, so that a read beyond it shows.
bool Deliver(CAudioSlotDataProcessor& p, const uint8_t* bytes, size_t n) {
  const uint8_t command = n > 0 ? bytes[0] : 0;
  const uint8_t delta = n > 1 ? bytes[1] : 0;
  const size_t data = n > 2 ? n - 2 : 0;
  const size_t payload = 8 + data;
  PacketBuffer* buffer = CPacketPool::Global().Acquire(payload, 0);
  if (!buffer) return false;
  PacketHeader h;
  h.length = static_cast<uint32_t>(payload);
  h.Write(buffer->data, PacketHeader::kSize);
  uint8_t* out = buffer->Payload();
  const uint16_t length = static_cast<uint16_t>(data + 6 + delta);
  out[0] = static_cast<uint8_t>(length);
  out[1] = static_cast<uint8_t>(length >> 8);
  out[2] = command;
  out[3] = 0x1F;
  out[4] = 'C';
  out[5] = 'M';
  out[6] = 'T';
  out[7] = ' ';
  for (size_t i = 0; i < data; ++i) out[8 + i] = bytes[2 + i];
  buffer->filled = static_cast<uint32_t>(PacketHeader::kSize + payload);
  if (p.OnPacket(buffer)) return true;
  CPacketPool::Release(buffer);
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Backend();
  CAudioSlotDataProcessor processor;
  processor.AttachPort(2, std::make_unique<QuietPort>());
  uint32_t delivered = 0;
  size_t at = 0;
  while (at < size) {
    size_t length = size - at;
    if (length >= 2) {
      const size_t stated = data[at] | size_t(data[at + 1]) << 8;
      at += 2;
      length = std::min(stated, size - at);
    }
    delivered += Deliver(processor, data + at, length);
    at += length;
  }
  // The dispatch thread has run every accepted packet before the next input.
  processor.WaitProcessed(delivered, 10000);
  return 0;
}
