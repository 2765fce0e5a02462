// Wave output over a backend sink. Each open device has a thread that hands
// queued buffers to the sink and keeps a ledger of where each buffer ends;
// a buffer is done when the sink has played past its end, not when it was
// written, so owners that count buffers in flight see what is audible.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "pelplat/winuser.h"
#include "wavecommon.h"

struct HWAVEOUT__ {
  std::mutex mutex;
  std::condition_variable wake;
  bool dirty = false;
  bool stopping = false;
  bool paused = false;

  std::unique_ptr<pelplat::wave::IPlaybackSink> sink;
  uint32_t frameBytes = 0;
  DWORD callbackType = CALLBACK_NULL;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;

  std::deque<WAVEHDR*> pending;  // not yet wholly handed to the sink
  uint32_t pendingOffset = 0;    // bytes of pending.front() already handed over
  struct Entry {
    WAVEHDR* header;
    uint64_t endFrame;
  };
  std::deque<Entry> ledger;  // handed over, waiting to be played
  uint64_t written = 0;      // frames since the open or the last reset

  std::thread worker;
};

namespace {

using pelplat::wave::CurrentBackend;

using Table = pelplat::wave::HandleTable<HWAVEOUT__>;
using pelplat::wave::MarkDone;

bool Known(HWAVEOUT device) { return Table::Get().Known(device); }

void Notify(HWAVEOUT device, UINT message, WAVEHDR* header) {
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

// Hands the sink what it takes now; the lock is held.
void Feed(HWAVEOUT device, std::vector<WAVEHDR*>* done) {
  while (!device->pending.empty()) {
    WAVEHDR* header = device->pending.front();
    const uint32_t totalFrames = header->dwBufferLength / device->frameBytes;
    const uint32_t doneFrames = device->pendingOffset / device->frameBytes;
    if (doneFrames < totalFrames) {
      const long taken = device->sink->Write(reinterpret_cast<uint8_t*>(header->lpData) + device->pendingOffset,
                                             totalFrames - doneFrames);
      if (taken < 0) {
        // A device that fails drops this buffer; its owner learns of it as
        // of a played one, the way a pulled device behaves.
        pelplat::wave::LogOnce("waveOut: the sound device refused data; buffers are dropped");
        device->pending.pop_front();
        device->pendingOffset = 0;
        MarkDone(header, done);
        continue;
      }
      device->pendingOffset += static_cast<uint32_t>(taken) * device->frameBytes;
      device->written += static_cast<uint64_t>(taken);
      if (static_cast<uint32_t>(taken) < totalFrames - doneFrames) return;  // full for now
    }
    device->pending.pop_front();
    device->pendingOffset = 0;
    device->ledger.push_back({header, device->written});
  }
}

void CollectPlayed(HWAVEOUT device, std::vector<WAVEHDR*>* done) {
  if (device->ledger.empty()) return;
  const uint64_t played = std::min(device->sink->Played(), device->written);
  while (!device->ledger.empty() && device->ledger.front().endFrame <= played) {
    MarkDone(device->ledger.front().header, done);
    device->ledger.pop_front();
  }
}

void Worker(HWAVEOUT device) {
  std::unique_lock<std::mutex> lock(device->mutex);
  while (!device->stopping) {
    device->dirty = false;
    std::vector<WAVEHDR*> done;
    if (!device->paused) Feed(device, &done);
    CollectPlayed(device, &done);
    const bool busy = !device->pending.empty() || !device->ledger.empty();
    if (!done.empty()) {
      lock.unlock();
      for (WAVEHDR* header : done) Notify(device, WOM_DONE, header);
      lock.lock();
      continue;
    }
    const int interval = device->sink->PollIntervalMs();
    auto ready = [device] { return device->dirty || device->stopping; };
    if (!busy || interval < 0) {
      device->wake.wait(lock, ready);
    } else {
      device->wake.wait_for(lock, std::chrono::milliseconds(interval), ready);
    }
  }
}

void Wake(HWAVEOUT device) {
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->dirty = true;
  }
  device->wake.notify_all();
}

}  // namespace

UINT waveOutGetNumDevs() { return CurrentBackend().OutputDeviceCount(); }

MMRESULT waveOutOpen(LPHWAVEOUT out, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
  if (out) *out = nullptr;
  pelplat::wave::IWaveBackend& backend = CurrentBackend();
  const DWORD type = flags & CALLBACK_TYPEMASK;
  uint32_t frameBytes = 0;
  const MMRESULT refused = pelplat::wave::CheckOpen(deviceId, backend.OutputDeviceCount(), format, type, true, &frameBytes);
  if (refused) return refused;
  if (!out) return MMSYSERR_INVALPARAM;

  auto device = std::make_shared<HWAVEOUT__>();
  HWAVEOUT raw = device.get();
  std::weak_ptr<HWAVEOUT__> link = device;
  MMRESULT error = MMSYSERR_NOERROR;
  device->sink = backend.OpenPlayback(*format, [link] {
    if (auto alive = link.lock()) Wake(alive.get());
  }, &error);
  if (!device->sink) return error ? error : MMSYSERR_NODRIVER;
  device->frameBytes = frameBytes;
  device->callbackType = type;
  device->callback = callback;
  device->instance = instance;
  try {
    device->worker = std::thread(Worker, raw);
  } catch (const std::system_error&) {
    return MMSYSERR_NOMEM;
  }
  Table::Get().Add(device);
  *out = raw;
  Notify(raw, WOM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  return pelplat::wave::PrepareFlags(header, size);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  if (!device) return MMSYSERR_INVALHANDLE;
  return pelplat::wave::UnprepareFlags(header, size);
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (const MMRESULT refused = pelplat::wave::CheckQueueable(header, size)) return refused;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    device->pending.push_back(header);
    device->dirty = true;
  }
  device->wake.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> lock(device->mutex);
  if (!device->paused) device->sink->Pause(true);
  device->paused = true;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT device) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->paused) device->sink->Pause(false);
    device->paused = false;
    device->dirty = true;
  }
  device->wake.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  std::vector<WAVEHDR*> done;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->sink->Drop();
    for (auto& entry : device->ledger) MarkDone(entry.header, &done);
    for (WAVEHDR* header : device->pending) MarkDone(header, &done);
    device->ledger.clear();
    device->pending.clear();
    device->pendingOffset = 0;
    device->written = 0;
    if (device->paused) device->sink->Pause(false);
    device->paused = false;
  }
  for (WAVEHDR* header : done) Notify(device, WOM_DONE, header);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!device->pending.empty() || !device->ledger.empty()) return WAVERR_STILLPLAYING;
    device->stopping = true;
  }
  const std::shared_ptr<HWAVEOUT__> keep = Table::Get().Take(device);
  device->wake.notify_all();
  if (device->worker.joinable()) device->worker.join();
  device->sink.reset();
  Notify(device, WOM_CLOSE, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT device, LPMMTIME time, UINT size) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  if (!time || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  uint64_t played;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    played = std::min(device->sink->Played(), device->written);
  }
  if (time->wType == TIME_BYTES) {
    time->u.cb = static_cast<DWORD>(played * device->frameBytes);
  } else {
    time->wType = TIME_SAMPLES;
    time->u.sample = static_cast<DWORD>(played);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT, DWORD) { return MMSYSERR_NOERROR; }
