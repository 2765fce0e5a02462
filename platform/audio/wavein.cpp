// Wave input over a backend source. Each open device has a thread that fills
// the queued buffers in order and returns each full one with WIM_DATA; the
// callback runs without any lock of ours held, so it may queue the next
// buffer itself.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "pelplat/utf16.h"
#include "wavecommon.h"

struct HWAVEIN__ {
  std::mutex mutex;
  std::condition_variable wake;
  bool dirty = false;
  bool stopping = false;
  bool started = false;

  std::unique_ptr<pelplat::wave::ICaptureSource> source;
  uint32_t frameBytes = 0;
  DWORD callbackType = CALLBACK_NULL;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  std::deque<WAVEHDR*> queued;

  std::thread worker;
};

namespace {

using pelplat::wave::CurrentBackend;

using Table = pelplat::wave::HandleTable<HWAVEIN__>;
using pelplat::wave::MarkDone;

bool Known(HWAVEIN device) { return Table::Get().Known(device); }

void Notify(HWAVEIN device, UINT message, WAVEHDR* header) {
  if (device->callbackType != CALLBACK_FUNCTION) return;
  reinterpret_cast<WAVECALLBACK>(device->callback)(device, message, device->instance,
                                                   reinterpret_cast<DWORD_PTR>(header), 0);
}

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
        pelplat::wave::LogOnce("waveIn: the capture device failed");
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
  std::unique_lock<std::mutex> lock(device->mutex);
  while (!device->stopping) {
    device->dirty = false;
    std::vector<WAVEHDR*> done;
    const bool progressed = Fill(device, &done);
    if (!done.empty()) {
      lock.unlock();
      for (WAVEHDR* header : done) Notify(device, WIM_DATA, header);
      lock.lock();
    }
    if (progressed) continue;
    auto ready = [device] { return device->dirty || device->stopping; };
    const int interval = device->source->PollIntervalMs();
    if (!device->started || device->queued.empty() || interval < 0) {
      device->wake.wait(lock, ready);
    } else {
      device->wake.wait_for(lock, std::chrono::milliseconds(interval), ready);
    }
  }
}

void Wake(HWAVEIN device) {
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->dirty = true;
  }
  device->wake.notify_all();
}

}  // namespace

UINT waveInGetNumDevs() { return CurrentBackend().InputDeviceCount(); }

MMRESULT waveInGetDevCapsW(UINT_PTR deviceId, WAVEINCAPSW* caps, UINT size) {
  if (!caps || size < sizeof(WAVEINCAPSW)) return MMSYSERR_INVALPARAM;
  pelplat::wave::IWaveBackend& backend = CurrentBackend();
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
  if (out) *out = nullptr;
  pelplat::wave::IWaveBackend& backend = CurrentBackend();
  const DWORD type = flags & CALLBACK_TYPEMASK;
  uint32_t frameBytes = 0;
  const MMRESULT refused = pelplat::wave::CheckOpen(deviceId, backend.InputDeviceCount(), format, type, false, &frameBytes);
  if (refused) return refused;
  if (!out) return MMSYSERR_INVALPARAM;

  auto device = std::make_shared<HWAVEIN__>();
  HWAVEIN raw = device.get();
  std::weak_ptr<HWAVEIN__> link = device;
  MMRESULT error = MMSYSERR_NOERROR;
  device->source = backend.OpenCapture(*format, [link] {
    if (auto alive = link.lock()) Wake(alive.get());
  }, &error);
  if (!device->source) {
    if (pelplat::wave::LastOpenFailure().empty()) pelplat::wave::SetOpenFailure("the device did not open");
    return error ? error : MMSYSERR_NODRIVER;
  }
  device->frameBytes = frameBytes;
  device->callbackType = type;
  device->callback = callback;
  device->instance = instance;
  try {
    device->worker = std::thread(Worker, raw);
  } catch (const std::system_error&) {
    pelplat::wave::SetOpenFailure("no thread for the device");
    return MMSYSERR_NOMEM;
  }
  Table::Get().Add(device);
  *out = raw;
  Notify(raw, WIM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  return pelplat::wave::PrepareFlags(header, size);
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT size) {
  if (!device) return MMSYSERR_INVALHANDLE;
  return pelplat::wave::UnprepareFlags(header, size);
}

MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size) {
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (const MMRESULT refused = pelplat::wave::CheckQueueable(header, size)) return refused;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    device->queued.push_back(header);
    device->dirty = true;
  }
  device->wake.notify_all();
  return MMSYSERR_NOERROR;
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
  if (!Known(device)) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!device->queued.empty()) return WAVERR_STILLPLAYING;
    if (device->started) device->source->Stop();
    device->started = false;
    device->stopping = true;
  }
  const std::shared_ptr<HWAVEIN__> keep = Table::Get().Take(device);
  device->wake.notify_all();
  if (device->worker.joinable()) device->worker.join();
  device->source.reset();
  Notify(device, WIM_CLOSE, nullptr);
  return MMSYSERR_NOERROR;
}
