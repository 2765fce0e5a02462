#include "wavecommon.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>

#include "pelplat/debugout.h"

namespace pelplat {
namespace wave {

namespace {

std::atomic<IWaveBackend*> installed{nullptr};
thread_local std::string openFailure;

struct Names {
  std::mutex mutex;
  std::string playback;
  std::string capture;
};

Names& DeviceNames() {
  static Names* names = new Names;
  return *names;
}

std::string NameFrom(const std::string& set, const char* variable) {
  if (!set.empty()) return set;
  const char* env = getenv(variable);
  if (env && *env) return env;
  return "default";
}

}  // namespace

void SetBackend(IWaveBackend* backend) { installed.store(backend); }

IWaveBackend& CurrentBackend() {
  IWaveBackend* backend = installed.load();
  return backend ? *backend : AlsaBackend();
}

void SetAlsaDeviceNames(const std::string& playback, const std::string& capture) {
  Names& names = DeviceNames();
  std::lock_guard<std::mutex> lock(names.mutex);
  names.playback = playback;
  names.capture = capture;
}

std::string AlsaPlaybackName() {
  Names& names = DeviceNames();
  std::lock_guard<std::mutex> lock(names.mutex);
  return NameFrom(names.playback, "PELLUM_AUDIO_PLAYBACK");
}

std::string AlsaCaptureName() {
  Names& names = DeviceNames();
  std::lock_guard<std::mutex> lock(names.mutex);
  return NameFrom(names.capture, "PELLUM_AUDIO_CAPTURE");
}

uint32_t PcmFrameBytes(const WAVEFORMATEX& format) {
  if (format.wFormatTag != WAVE_FORMAT_PCM) return 0;
  if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) return 0;
  if (format.nChannels == 0 || format.nChannels > 8) return 0;
  if (format.nSamplesPerSec < 1000 || format.nSamplesPerSec > 384000) return 0;
  return static_cast<uint32_t>(format.nChannels) * format.wBitsPerSample / 8;
}

void SetOpenFailure(const std::string& reason) { openFailure = reason; }

std::string LastOpenFailure() { return openFailure; }

namespace {

bool FirstTime(const std::string& text) {
  static std::mutex mutex;
  static std::set<std::string>* seen = new std::set<std::string>;
  std::lock_guard<std::mutex> lock(mutex);
  return seen->insert(text).second;
}

}  // namespace

void LogOnce(const std::string& text) {
  if (FirstTime(text)) OutputDebugStringA((text + "\n").c_str());
}

void ReportOnce(const std::string& text) {
  if (FirstTime(text)) ReportErrorToUser(text);
}

namespace {

MMRESULT CheckOpenArguments(UINT deviceId, UINT deviceCount, const WAVEFORMATEX* format, DWORD callbackType,
                            bool threadCallbacks, uint32_t* frameBytes) {
  if (!format) return MMSYSERR_INVALPARAM;
  if (deviceId != WAVE_MAPPER && deviceId >= deviceCount) return MMSYSERR_BADDEVICEID;
  if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION &&
      !(threadCallbacks && callbackType == CALLBACK_THREAD))
    return MMSYSERR_INVALFLAG;
  *frameBytes = PcmFrameBytes(*format);
  return *frameBytes ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

}  // namespace

MMRESULT CheckOpen(UINT deviceId, UINT deviceCount, const WAVEFORMATEX* format, DWORD callbackType,
                   bool threadCallbacks, uint32_t* frameBytes) {
  SetOpenFailure("");
  const MMRESULT refused = CheckOpenArguments(deviceId, deviceCount, format, callbackType, threadCallbacks, frameBytes);
  if (refused) SetOpenFailure("the device, format or callback is not one it takes");
  return refused;
}

MMRESULT PrepareFlags(WAVEHDR* header, UINT size) {
  if (!header || size < sizeof(WAVEHDR) || !header->lpData) return MMSYSERR_INVALPARAM;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareFlags(WAVEHDR* header, UINT size) {
  if (!header || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT CheckQueueable(const WAVEHDR* header, UINT size) {
  if (!header || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  return MMSYSERR_NOERROR;
}

void MarkDone(WAVEHDR* header, std::vector<WAVEHDR*>* done) {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  done->push_back(header);
}

}  // namespace wave
}  // namespace pelplat
