// An open wave device of either direction: what output and input devices
// share is made, run and closed here, on the handle type of each front.
// The front keeps only what its direction does: which backend end it opens,
// one step of its thread, and how its queues must stand for a close.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "pelplat/winuser.h"
#include "wavecommon.h"

namespace pelplat {
namespace wave {

// The lock the device's thread and its callers share, the thread's wake-up
// and the owner's callback. A handle type derives from it.
struct WaveDevice {
  std::mutex mutex;
  std::condition_variable wake;
  bool dirty = false;
  bool stopping = false;

  uint32_t frameBytes = 0;
  DWORD callbackType = CALLBACK_NULL;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;

  std::thread worker;
};

// Marks the device changed and wakes its thread.
inline void Wake(WaveDevice* device) {
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->dirty = true;
  }
  device->wake.notify_all();
}

// Tells the owner, without any lock of ours held. Thread callbacks are
// refused at open by a front that does not take them.
template <class Handle>
void Notify(Handle* device, UINT message, WAVEHDR* header) {
  switch (device->callbackType) {
    case CALLBACK_THREAD:
      PostThreadMessageW(static_cast<DWORD>(device->callback), message, reinterpret_cast<WPARAM>(device),
                         reinterpret_cast<LPARAM>(header));
      break;
    case CALLBACK_FUNCTION:
      reinterpret_cast<WAVECALLBACK>(device->callback)(device, message, device->instance,
                                                       reinterpret_cast<DWORD_PTR>(header), 0);
      break;
    default:
      break;
  }
}

template <class Handle>
bool Known(Handle* device) {
  return HandleTable<Handle>::Get().Known(device);
}

// The device's thread. `step` runs under the lock, moves buffers along and
// puts the finished ones in its list; it answers how long to wait for the
// backend before the next round when nothing finished (below 0: until
// woken). Finished buffers go back with `doneMessage`, one round at a time,
// so a callback may queue the next buffer itself.
template <class Handle, class Step>
void RunDevice(Handle* device, UINT doneMessage, Step step) {
  std::unique_lock<std::mutex> lock(device->mutex);
  while (!device->stopping) {
    device->dirty = false;
    std::vector<WAVEHDR*> done;
    const int pollMs = step(&done);
    if (!done.empty()) {
      lock.unlock();
      for (WAVEHDR* header : done) Notify(device, doneMessage, header);
      lock.lock();
      continue;
    }
    auto ready = [device] { return device->dirty || device->stopping; };
    if (pollMs < 0) {
      device->wake.wait(lock, ready);
    } else {
      device->wake.wait_for(lock, std::chrono::milliseconds(pollMs), ready);
    }
  }
}

// What a front passes to OpenDevice.
struct OpenRequest {
  UINT deviceId;
  UINT deviceCount;
  const WAVEFORMATEX* format;
  DWORD_PTR callback;
  DWORD_PTR instance;
  DWORD flags;
  bool threadCallbacks;  // the front takes CALLBACK_THREAD
  UINT openMessage;
};

// Checks the request, opens the backend's end into the device's `end`
// with the backend's `open`, starts the device's thread on `work` and
// files the handle; the owner hears the open last.
template <class Handle, class End>
MMRESULT OpenDevice(Handle** out, IWaveBackend& backend, const OpenRequest& request,
                    std::unique_ptr<End> (IWaveBackend::*open)(const WAVEFORMATEX&, ProgressFn, MMRESULT*),
                    std::unique_ptr<End> Handle::*end, void (*work)(Handle*)) {
  if (out) *out = nullptr;
  const DWORD type = request.flags & CALLBACK_TYPEMASK;
  uint32_t frameBytes = 0;
  const MMRESULT refused =
      CheckOpen(request.deviceId, request.deviceCount, request.format, type, request.threadCallbacks, &frameBytes);
  if (refused) return refused;
  if (!out) return MMSYSERR_INVALPARAM;

  auto device = std::make_shared<Handle>();
  Handle* raw = device.get();
  std::weak_ptr<Handle> link = device;
  MMRESULT error = MMSYSERR_NOERROR;
  raw->*end = (backend.*open)(*request.format, [link] {
    if (auto alive = link.lock()) Wake(alive.get());
  }, &error);
  if (!(raw->*end)) {
    if (LastOpenFailure().empty()) SetOpenFailure("the device did not open");
    return error ? error : MMSYSERR_NODRIVER;
  }
  device->frameBytes = frameBytes;
  device->callbackType = type;
  device->callback = request.callback;
  device->instance = request.instance;
  try {
    device->worker = std::thread(work, raw);
  } catch (const std::system_error&) {
    SetOpenFailure("no thread for the device");
    return MMSYSERR_NOMEM;
  }
  HandleTable<Handle>::Get().Add(device);
  *out = raw;
  Notify(raw, request.openMessage, nullptr);
  return MMSYSERR_NOERROR;
}

// Closes the device once `halt` (run under its lock) has let it: a nonzero
// answer refuses the close. The thread ends, the backend's `end` goes, and
// the owner hears `closeMessage` last.
template <class Handle, class End, class Halt>
MMRESULT CloseDevice(Handle* device, std::unique_ptr<End> Handle::*end, UINT closeMessage, Halt halt) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (const MMRESULT refused = halt()) return refused;
    device->stopping = true;
  }
  const std::shared_ptr<Handle> keep = HandleTable<Handle>::Get().Take(device);
  device->wake.notify_all();
  if (device->worker.joinable()) device->worker.join();
  (device->*end).reset();
  Notify(device, closeMessage, nullptr);
  return MMSYSERR_NOERROR;
}

// Queues a prepared buffer with `queue` (run under the lock) and wakes the
// thread.
template <class Handle, class Queue>
MMRESULT QueueBuffer(Handle* device, WAVEHDR* header, UINT size, Queue queue) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (const MMRESULT refused = CheckQueueable(header, size)) return refused;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    queue();
    device->dirty = true;
  }
  device->wake.notify_all();
  return MMSYSERR_NOERROR;
}

}  // namespace wave
}  // namespace pelplat
