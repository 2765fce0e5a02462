// A session port for the stream slot with a real Qt surface of 64 x 48
// pixels at 24 bits: it records dirty rectangles and lets a test set the
// settings, the drawing switch and the audio clock.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "session/AudioClockRecord.h"
#include "streams/StreamSessionPort.h"

struct DirtyRect {
  int x, y, width, height, display;
  bool operator==(const DirtyRect& o) const {
    return x == o.x && y == o.y && width == o.width && height == o.height && display == o.display;
  }
};

class FakeStreamPort : public StreamSessionPort {
 public:
  FakeStreamPort() { keeper.Create(64, 48, 24, 0); }

  bool ReadSettings(StreamSlotSettings* out) override {
    *out = settings;
    return hasParameters;
  }
  bool HasSystemApi() override { return systemApi; }
  ISurfaceKeeper* LockFrameBuffer(int display) override {
    frameBuffer.lock();
    if (!withSurface || display != 0) {
      frameBuffer.unlock();
      return nullptr;
    }
    return &keeper;
  }
  void UnlockFrameBuffer(ISurfaceKeeper*) override { frameBuffer.unlock(); }
  void InvalidateRect(int x, int y, int width, int height, int display) override {
    std::lock_guard<std::mutex> hold(lock);
    dirty.push_back({x, y, width, height, display});
  }
  uint32_t VideoDrawingSwitch() override { return drawing.load(); }
  const AudioClockRecord* AudioClock() override { return systemApi ? &clock : nullptr; }
  UINT_PTR GetDisplayWindowId(int display) override { return display == 0 ? kWindow : 0; }

  std::vector<DirtyRect> Dirty() {
    std::lock_guard<std::mutex> hold(lock);
    return dirty;
  }

  static constexpr UINT_PTR kWindow = 0x5150;
  StreamSlotSettings settings;
  bool hasParameters = true;
  bool systemApi = true;
  bool withSurface = true;
  std::atomic<uint32_t> drawing{1};
  AudioClockRecord clock;
  CQtDoubleBufferSurfaceKeeper keeper;

 private:
  std::mutex frameBuffer;
  std::mutex lock;
  std::vector<DirtyRect> dirty;
};

