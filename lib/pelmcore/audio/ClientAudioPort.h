// The audio slot's view of a real session: sends on the slot the processor
// is attached at, the system API's audio clock and the connection
// parameters' thread priority. The client owns the processor that owns the
// port and outlives it, so the port keeps a plain pointer; the dispatch
// thread reads it while the connection thread attaches and detaches.
#pragma once

#include <atomic>
#include <cstdint>

#include "audio/AudioSessionPort.h"

class ClientAudioPort : public IAudioSessionPort {
 public:
  void OnAttach(uint16_t slot, CGenericClient* client) override;
  bool Attached() override { return client_.load() != nullptr; }
  SendResult SendOnSlot(const uint8_t* data, uint32_t length) override;
  AudioClockRecord* ClockRecord() override;
  bool ThreadPriority(int* value) override;

 private:
  std::atomic<CGenericClient*> client_{nullptr};
  std::atomic<uint16_t> slot_{0xFFFF};
};

// Makes the audio slot's processor, talking to its session through a
// ClientAudioPort.
void RegisterAudioProcessorMaker();
