// Wave output over a backend sink. Each open device has a thread that hands
// queued buffers to the sink and keeps a ledger of where each buffer ends;
// a buffer is done when the sink has played past its end, not when it was
// written, so owners that count buffers in flight see what is audible.
#include <algorithm>
#include <deque>
#include <vector>

#include "wavedevice.h"

struct HWAVEOUT__ : pelplat::wave::WaveDevice {
  bool paused = false;
  std::unique_ptr<pelplat::wave::IPlaybackSink> sink;

  std::deque<WAVEHDR*> pending;  // not yet wholly handed to the sink
  uint32_t pendingOffset = 0;    // bytes of pending.front() already handed over
  struct Entry {
    WAVEHDR* header;
    uint64_t endFrame;
  };
  std::deque<Entry> ledger;  // handed over, waiting to be played
  uint64_t written = 0;      // frames since the open or the last reset
};

namespace {

using namespace pelplat::wave;

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
        LogOnce("waveOut: the sound device refused data; buffers are dropped");
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
  RunDevice(device, WOM_DONE, [device](std::vector<WAVEHDR*>* done) {
    if (!device->paused) Feed(device, done);
    CollectPlayed(device, done);
    const bool busy = !device->pending.empty() || !device->ledger.empty();
    return busy ? device->sink->PollIntervalMs() : -1;
  });
}

}  // namespace

UINT waveOutGetNumDevs() { return CurrentBackend().OutputDeviceCount(); }

MMRESULT waveOutOpen(LPHWAVEOUT out, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
  IWaveBackend& backend = CurrentBackend();
  const OpenRequest request{deviceId, backend.OutputDeviceCount(), format, callback, instance, flags, true, WOM_OPEN};
  return OpenDevice(out, backend, request, &IWaveBackend::OpenPlayback, &HWAVEOUT__::sink, Worker);
}

MMRESULT waveOutWrite(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  return QueueBuffer(device, header, size, [device, header] { device->pending.push_back(header); });
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
  auto halt = [device]() -> MMRESULT {
    return device->pending.empty() && device->ledger.empty() ? MMSYSERR_NOERROR : WAVERR_STILLPLAYING;
  };
  return CloseDevice(device, &HWAVEOUT__::sink, WOM_CLOSE, halt);
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
