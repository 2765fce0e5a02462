// The stream slot's view of a real session: the client's connection
// parameters and its system API. Made at attach; the client outlives the
// processors it holds, so the port keeps a plain pointer.
#pragma once

#include "streams/StreamSessionPort.h"

class CGenericClient;

class ClientStreamPort : public StreamSessionPort {
 public:
  explicit ClientStreamPort(CGenericClient* client) : client_(client) {}

  bool ReadSettings(StreamSlotSettings* settings) override;
  bool HasSystemApi() override;
  ISurfaceKeeper* LockFrameBuffer(int display) override;
  void UnlockFrameBuffer(ISurfaceKeeper* surface) override;
  void InvalidateRect(int x, int y, int width, int height, int display) override;
  uint32_t VideoDrawingSwitch() override;
  const AudioClockRecord* AudioClock() override;
  UINT_PTR GetDisplayWindowId(int display) override;
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override;

 private:
  CGenericClient* client_;
};

// Makes each display's stream slot processor, talking to its session
// through a ClientStreamPort.
void RegisterAvsProcessorMaker();
