// The one slot session port of the tests: it keeps what a processor sends
// on its slot, the client events it raises and the repaints its surface
// unlocks ask for, and answers the layout, parameters, audio clock and
// drawing switch a test sets. Sends may come from a processor's own
// threads; a test waits for them with WaitUntil.
//
// FakeSlotPortOf<Keeper> has windows: display 0 has the port's `keeper` as
// its surface (while withSurface) and the window kWindow. FakeSlotPort has
// none.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "display/SurfaceKeeper.h"
#include "session/AudioClockRecord.h"
#include "session/SlotSessionPort.h"

namespace testsupport {

// A repaint of a display's window.
struct Repaint {
  int x, y, width, height, display;
  bool operator==(const Repaint& o) const {
    return x == o.x && y == o.y && width == o.width && height == o.height && display == o.display;
  }
};

using RepaintList = std::vector<Repaint>;

// The keeper of a port without windows.
struct NoSurface {};

template <class Keeper>
class FakeSlotPortOf : public ISlotSessionPort, public IDisplaySurfaces {
 public:
  using Bytes = std::vector<uint8_t>;
  struct Event {
    uint32_t code;
    Bytes data;
  };
  static constexpr bool kWindows = !std::is_same<Keeper, NoSurface>::value;
  static constexpr uintptr_t kWindow = 0x5150;

  FakeSlotPortOf() = default;
  // With a width x height surface of `depth` bits.
  FakeSlotPortOf(int width, int height, int depth) { keeper.Create(width, height, depth, 0); }

  SendResult SendOnSlot(const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    {
      std::lock_guard<std::mutex> hold(mutex_);
      sent_.emplace_back(p, p + length);
      if (failSends > 0) {
        --failSends;
        return {kStatusNoConnection, 0};
      }
    }
    changed_.notify_all();
    return {kStatusOk, length};
  }
  // Kept on the caller's thread: the processors that raise them do so on
  // the thread that delivers.
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    events.push_back({code, Bytes(p, p + length)});
    return 0;
  }
  const CClientConnectionParameter* Parameters() override { return parameters; }
  bool AlignsContainers() override { return aligned; }
  AudioClockRecord* AudioClock() override { return &clock; }
  IDisplaySurfaces* Surfaces() override { return otherSurfaces ? otherSurfaces : windows ? this : nullptr; }
  uintptr_t WindowId(int display) override { return display == 0 ? kWindow : 0; }
  ISurfaceKeeper* Lock(int display) override {
    frameBuffer_.lock();
    ISurfaceKeeper* surface = withSurface && display == 0 ? SurfaceOf(&keeper) : nullptr;
    if (!surface) frameBuffer_.unlock();
    return surface;
  }
  void Unlock(ISurfaceKeeper* surface, int display) override {
    if (!surface) return;
    const RECT box = surface->TakeDamage();
    frameBuffer_.unlock();
    Record(box, display);
  }
  void Repaint(ISurfaceKeeper* surface, int display) override {
    if (surface) Record(surface->TakeDamage(), display);
  }
  uint32_t VideoDrawing() override { return drawing.load(); }
  // What only the display slot tells the windows is not kept.
  void SetVideoDrawing(int32_t, const uint8_t*) override {}
  void SetDesktopGeometry(int32_t, int32_t, int32_t, int32_t) override {}
  void ResizeDisplay(int, int, int, int) override {}
  void SetCursor(const uint8_t*, uint32_t, int) override {}
  void SetPointerPosition(int, int, int) override {}
  void PostText(const char*) override {}

  std::vector<Bytes> Sent() {
    std::lock_guard<std::mutex> hold(mutex_);
    return sent_;
  }
  // The records whose first bytes are `prefix`.
  std::vector<Bytes> SentWith(const Bytes& prefix) {
    std::vector<Bytes> out;
    for (auto& m : Sent())
      if (m.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), m.begin())) out.push_back(m);
    return out;
  }
  // Waits up to `bound` until `done` holds over what was sent.
  bool WaitUntil(const std::function<bool(const std::vector<Bytes>&)>& done,
                 std::chrono::seconds bound = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, bound, [&] { return done(sent_); });
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    sent_.clear();
  }
  RepaintList Repaints() {
    std::lock_guard<std::mutex> hold(mutex_);
    return repaints_;
  }
  void ClearRepaints() {
    std::lock_guard<std::mutex> hold(mutex_);
    repaints_.clear();
  }
  // The repaints since the port was made, kept or not.
  uint64_t RepaintCount() {
    std::lock_guard<std::mutex> hold(mutex_);
    return repaintCount_;
  }
  // Waits up to `bound` for n repaints in all.
  bool WaitRepaints(uint64_t n, std::chrono::seconds bound = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, bound, [&] { return repaintCount_ >= n; });
  }

  std::vector<Event> events;
  const CClientConnectionParameter* parameters = nullptr;
  bool aligned = true;
  int failSends = 0;  // the next sends answer "no connection"
  AudioClockRecord clock;
  bool windows = kWindows;  // false: the session has no windows
  bool withSurface = true;  // false: display 0 has no surface
  bool keepRepaints = true;  // false: only counted, for long runs
  std::atomic<uint32_t> drawing{1};
  Keeper keeper;
  // When set, the surfaces the port answers instead of its own.
  IDisplaySurfaces* otherSurfaces = nullptr;

 private:
  void Record(const RECT& box, int display) {
    if (box.left == -1) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      ++repaintCount_;
      if (keepRepaints)
        repaints_.push_back({int(box.left), int(box.top), int(box.right - box.left), int(box.bottom - box.top), display});
    }
    changed_.notify_all();
  }
  static ISurfaceKeeper* SurfaceOf(NoSurface*) { return nullptr; }
  static ISurfaceKeeper* SurfaceOf(ISurfaceKeeper* keeper) { return keeper; }

  std::mutex mutex_;
  std::recursive_mutex frameBuffer_;  // the session's frame-buffer lock nests
  std::condition_variable changed_;
  std::vector<Bytes> sent_;
  RepaintList repaints_;
  uint64_t repaintCount_ = 0;
};

using FakeSlotPort = FakeSlotPortOf<NoSurface>;

}  // namespace testsupport
