// Wave input over a backend source. Each open device has a thread that fills
// the queued buffers in order and returns each full one with WIM_DATA; the
// callback runs without any lock of ours held, so it may queue the next
// buffer itself.
#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "pelplat/utf16.h"
#include "wavedevice.h"

struct HWAVEIN__ : pelplat::wave::WaveDevice {
  bool started = false;
  std::unique_ptr<pelplat::wave::ICaptureSource> source;
  std::deque<WAVEHDR*> queued;
};

namespace {

using namespace pelplat::wave;

// Fills the front buffers from what the source has; the lock is held.
// Returns false when the source had nothing or failed.
bool Fill(HWAVEIN device, std::vector<WAVEHDR*>* done) {
  while (device->started && !device->queued.empty()) {
    WAVEHDR* header = device->queued.front();
    const uint32_t room = (header->dwBufferLength - header->dwBytesRecorded) / device->frameBytes;
    if (room > 0) {
      const long got = device->source->Read(reinterpret_cast<uint8_t*>(header->lpData) + header->dwBytesRecorded,
                                            room);
      if (got < 0) {
        LogOnce("waveIn: the capture device failed");
        return false;
      }
      if (got == 0) return false;
      header->dwBytesRecorded += static_cast<DWORD>(got) * device->frameBytes;
      if (static_cast<uint32_t>(got) < room) continue;
    }
    device->queued.pop_front();
    MarkDone(header, done);
    return true;  // one buffer per round, so the callback can queue the next
  }
  return false;
}

void Worker(HWAVEIN device) {
  RunDevice(device, WIM_DATA, [device](std::vector<WAVEHDR*>* done) {
    Fill(device, done);
    return device->started && !device->queued.empty() ? device->source->PollIntervalMs() : -1;
  });
}

}  // namespace

UINT waveInGetNumDevs() { return CurrentBackend().InputDeviceCount(); }

MMRESULT waveInGetDevCapsW(UINT_PTR deviceId, WAVEINCAPSW* caps, UINT size) {
  if (!caps || size < sizeof(WAVEINCAPSW)) return MMSYSERR_INVALPARAM;
  IWaveBackend& backend = CurrentBackend();
  if (deviceId != WAVE_MAPPER && deviceId >= backend.InputDeviceCount()) return MMSYSERR_BADDEVICEID;
  memset(caps, 0, sizeof(*caps));
  const std::u16string name = Utf8ToUtf16(backend.InputName());
  const size_t n = std::min<size_t>(name.size(), 31);
  std::copy(name.begin(), name.begin() + static_cast<long>(n), caps->szPname);
  caps->dwFormats = WAVE_FORMAT_1M16 | WAVE_FORMAT_2M16 | WAVE_FORMAT_4M16;
  caps->wChannels = 2;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInOpen(LPHWAVEIN out, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags) {
  IWaveBackend& backend = CurrentBackend();
  const OpenRequest request{deviceId, backend.InputDeviceCount(), format, callback, instance, flags, false, WIM_OPEN};
  return OpenDevice(out, backend, request, &IWaveBackend::OpenCapture, &HWAVEIN__::source, Worker);
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
  return QueueBuffer(device, header, size, [device, header] {
    header->dwBytesRecorded = 0;
    device->queued.push_back(header);
  });
}

MMRESULT waveInStart(HWAVEIN device) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!device->started && !device->source->Start()) return MMSYSERR_ERROR;
    device->started = true;
    device->dirty = true;
  }
  device->wake.notify_all();
  return MMSYSERR_NOERROR;
}

namespace {

// Stops capture; the buffer being filled comes back with what it holds and
// with `all` every other queued one too.
MMRESULT StopCapture(HWAVEIN device, bool all) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  std::vector<WAVEHDR*> done;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->started) device->source->Stop();
    device->started = false;
    while (!device->queued.empty()) {
      WAVEHDR* header = device->queued.front();
      if (!all && header->dwBytesRecorded == 0) break;
      device->queued.pop_front();
      MarkDone(header, &done);
      if (!all) break;
    }
  }
  for (WAVEHDR* header : done) Notify(device, WIM_DATA, header);
  return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT waveInStop(HWAVEIN device) { return StopCapture(device, false); }

MMRESULT waveInReset(HWAVEIN device) { return StopCapture(device, true); }

MMRESULT waveInClose(HWAVEIN device) {
  auto halt = [device]() -> MMRESULT {
    if (!device->queued.empty()) return WAVERR_STILLPLAYING;
    if (device->started) device->source->Stop();
    device->started = false;
    return MMSYSERR_NOERROR;
  };
  return CloseDevice(device, &HWAVEIN__::source, WIM_CLOSE, halt);
}
