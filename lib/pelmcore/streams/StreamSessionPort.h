// What the stream slot needs of its session: the two connection settings it
// reads at attach, the display surfaces under the frame-buffer lock, the
// dirty-rectangle report, the audio clock, the video drawing switch and the
// window of display 0. Nothing is sent on the stream slot.
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"

class ISurfaceKeeper;
struct AudioClockRecord;

struct StreamSlotSettings {
  uint32_t audioVideoSync = 0;  // from "useAudioVideoSynch"
  int32_t dataSlicerMode = 0;   // 1 or 2 turn the worker pool on
  bool sound = true;            // from "useSound"
};

class StreamSessionPort {
 public:
  virtual ~StreamSessionPort() = default;
  // False when the session client has no connection parameters.
  virtual bool ReadSettings(StreamSlotSettings* settings) = 0;
  virtual bool HasSystemApi() = 0;
  // The display's surface with the frame-buffer lock held, or null with the
  // lock released again (no system API, no surface).
  virtual ISurfaceKeeper* LockFrameBuffer(int display) = 0;
  virtual void UnlockFrameBuffer(ISurfaceKeeper* surface) = 0;
  virtual void InvalidateRect(int x, int y, int width, int height, int display) = 0;
  // 0 while the display slot has video drawing off (and without a system API).
  virtual uint32_t VideoDrawingSwitch() = 0;
  // Null without a system API.
  virtual const AudioClockRecord* AudioClock() = 0;
  virtual UINT_PTR GetDisplayWindowId(int display) = 0;
  // Sends a client event to the server as a control message; -1 when it
  // cannot (no session, or a port that does not send).
  virtual int SendClientEvent(uint32_t /*code*/, const void* /*data*/, uint32_t /*length*/) { return -1; }
};
