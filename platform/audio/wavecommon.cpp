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

void LogOnce(const std::string& text) {
  static std::mutex mutex;
  static std::set<std::string>* seen = new std::set<std::string>;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!seen->insert(text).second) return;
  }
  OutputDebugStringA(text.c_str());
}

}  // namespace wave
}  // namespace pelplat
