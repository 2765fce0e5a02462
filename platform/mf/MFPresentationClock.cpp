// The presentation clock: presentation time runs with the system's
// monotonic time while the clock runs, stands while it is paused and is 0
// once stopped. Every state change is told to the clock state sinks, outside
// the clock's lock, in the order the changes were made.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/mfsession.h"

namespace pelplat_mf {

using pelplat::ComObject;
using pelplat::Ref;
namespace {

MFTIME SystemTime() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

// The clock answers as IMFPresentationClock and as IMFClock; both share one
// count.
class PresentationClock : public ComObject<IMFPresentationClock, IMFClock> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IMFClock) return pelplat::Hand<IMFClock>(this, object);
    return Answer(riid, object, IID_IMFPresentationClock);
  }

  HRESULT GetClockCharacteristics(DWORD* characteristics) override {
    if (!characteristics) return E_POINTER;
    *characteristics = 0x2;  // MFCLOCK_CHARACTERISTICS_FLAG_ALWAYS_RUNNING
    return S_OK;
  }
  HRESULT GetState(DWORD, MFCLOCK_STATE* state) override {
    if (!state) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *state = state_;
    return S_OK;
  }
  HRESULT GetTime(MFTIME* time) override {
    if (!time) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *time = TimeAt(SystemTime());
    return S_OK;
  }
  HRESULT Start(LONGLONG startOffset) override {
    return Change([&](MFTIME now, Notice* notice) {
      const bool resume = startOffset == PRESENTATION_CURRENT_POSITION;
      const MFTIME from = resume ? TimeAt(now) : startOffset;
      // Resuming a paused clock is a restart; anything else a start.
      notice->kind = resume && state_ == MFCLOCK_STATE_PAUSED ? Notice::kRestart : Notice::kStart;
      notice->offset = startOffset;
      state_ = MFCLOCK_STATE_RUNNING;
      base_ = from;
      since_ = now;
      return S_OK;
    });
  }
  HRESULT Stop() override {
    return Change([&](MFTIME, Notice* notice) {
      if (state_ == MFCLOCK_STATE_STOPPED) return MF_E_CLOCK_STATE_ALREADY_SET;
      notice->kind = Notice::kStop;
      state_ = MFCLOCK_STATE_STOPPED;
      base_ = 0;
      return S_OK;
    });
  }
  HRESULT Pause() override {
    return Change([&](MFTIME now, Notice* notice) {
      if (state_ == MFCLOCK_STATE_PAUSED) return MF_E_CLOCK_STATE_ALREADY_SET;
      if (state_ != MFCLOCK_STATE_RUNNING) return MF_E_INVALIDREQUEST;
      notice->kind = Notice::kPause;
      base_ = TimeAt(now);
      state_ = MFCLOCK_STATE_PAUSED;
      return S_OK;
    });
  }
  HRESULT AddClockStateSink(IMFClockStateSink* sink) override {
    if (!sink) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (FindSink(sink) != sinks_.end()) return E_INVALIDARG;
    sinks_.push_back(Ref<IMFClockStateSink>::Share(sink));
    return S_OK;
  }
  HRESULT RemoveClockStateSink(IMFClockStateSink* sink) override {
    if (!sink) return E_POINTER;
    Ref<IMFClockStateSink> gone;  // released outside the lock
    {
      std::lock_guard<std::mutex> hold(lock_);
      const auto it = FindSink(sink);
      if (it == sinks_.end()) return S_OK;
      gone = std::move(*it);
      sinks_.erase(it);
    }
    return S_OK;
  }

 private:
  struct Notice {
    enum Kind { kStart, kRestart, kStop, kPause } kind = kStart;
    LONGLONG offset = 0;
  };

  ~PresentationClock() override = default;

  // Under lock_.
  std::vector<Ref<IMFClockStateSink>>::iterator FindSink(IMFClockStateSink* sink) {
    return std::find_if(sinks_.begin(), sinks_.end(),
                        [sink](const Ref<IMFClockStateSink>& held) { return held.get() == sink; });
  }

  // The presentation time at system time `now` (lock held).
  MFTIME TimeAt(MFTIME now) const { return state_ == MFCLOCK_STATE_RUNNING ? base_ + (now - since_) : base_; }

  // Applies a change under the lock and tells the sinks afterwards; the
  // notify lock keeps the notices of two changes from crossing.
  template <class Apply>
  HRESULT Change(Apply apply) {
    std::lock_guard<std::mutex> order(notifyLock_);
    Notice notice;
    std::vector<Ref<IMFClockStateSink>> sinks;
    MFTIME now = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      now = SystemTime();
      const HRESULT hr = apply(now, &notice);
      if (FAILED(hr)) return hr;
      sinks = sinks_;
    }
    // Each sink is let go of as soon as it has been told.
    for (Ref<IMFClockStateSink>& sink : sinks) {
      switch (notice.kind) {
        case Notice::kStart:
          sink->OnClockStart(now, notice.offset);
          break;
        case Notice::kRestart:
          sink->OnClockRestart(now);
          break;
        case Notice::kStop:
          sink->OnClockStop(now);
          break;
        case Notice::kPause:
          sink->OnClockPause(now);
          break;
      }
      sink.reset();
    }
    return S_OK;
  }

  std::mutex notifyLock_;
  std::mutex lock_;
  MFCLOCK_STATE state_ = MFCLOCK_STATE_INVALID;
  MFTIME base_ = 0;   // presentation time at since_ (or where it stands)
  MFTIME since_ = 0;  // system time of the last start
  std::vector<Ref<IMFClockStateSink>> sinks_;
};

}  // namespace
}  // namespace pelplat_mf

HRESULT MFCreatePresentationClock(IMFPresentationClock** clock) {
  if (!clock) return E_POINTER;
  *clock = new (std::nothrow) pelplat_mf::PresentationClock();
  return *clock ? S_OK : E_OUTOFMEMORY;
}
