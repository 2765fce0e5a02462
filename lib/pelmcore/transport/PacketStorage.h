// Record and replay of a session's packets. The only storage records nothing
// and replays nothing; the connection still goes through the interface in
// record and replay mode.
#pragma once

#include <cstdint>
#include <string>

#include "pelplat/wintypes.h"

namespace bps {

enum Direction { kSent = 1, kReceived = 2 };
// Kind of a replayed item that is a packet.
constexpr int kReplayPacket = 2;

class IBasePacketStorage {
 public:
  virtual ~IBasePacketStorage() = default;
  // One packet, header included; direction kSent or kReceived.
  virtual int Record(int direction, const uint8_t* packet, uint32_t length, const char* trace) = 0;
  // The next replayed packet; the buffer goes back through FreeReplayed.
  virtual bool ReadNext(int* kind, uint8_t** buffer, uint32_t* length) = 0;
  virtual void FreeReplayed(uint8_t* buffer) = 0;
  virtual int ReplayedCount() = 0;
  virtual int AvailableCount() = 0;
  virtual int QueryA() = 0;
  virtual int QueryB() = 0;
  virtual int QueryC() = 0;
  virtual int QueryD() = 0;
};

class EmptyPacketStorage : public IBasePacketStorage {
 public:
  EmptyPacketStorage(const std::u16string& fileName, bool recording)
      : fileName_(fileName), recording_(recording) {}
  int Record(int, const uint8_t*, uint32_t, const char*) override { return 0; }
  bool ReadNext(int*, uint8_t**, uint32_t*) override { return false; }
  void FreeReplayed(uint8_t*) override {}
  int ReplayedCount() override { return 0; }
  int AvailableCount() override { return 0; }
  int QueryA() override { return 0; }
  int QueryB() override { return 0; }
  int QueryC() override { return 0; }
  int QueryD() override { return 0; }

  const std::u16string& FileName() const { return fileName_; }
  bool Recording() const { return recording_; }

 private:
  std::u16string fileName_;
  bool recording_;
};

}  // namespace bps
