// The ALSA backend: non-blocking PCMs polled by the device threads. What has
// been played is what was written less the delay ALSA reports, so a buffer
// is done when it has left the speaker, not the application.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdarg>

#include "wavecommon.h"

namespace pelplat {
namespace wave {

namespace {

constexpr unsigned kLatencyUs = 200000;
constexpr int kPollMs = 10;

// ALSA writes its own complaints to stderr; one line of ours per failing
// device says enough.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

void InstallQuietHandler() {
  static const bool installed = [] {
    snd_lib_error_set_handler(QuietAlsa);
    return true;
  }();
  (void)installed;
}

snd_pcm_format_t AlsaFormat(const WAVEFORMATEX& format) {
  return format.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
}

// Keeps ALSA's reason for the open's caller. Playback is logged here; the
// microphone names its device and this reason in its own line.
void Refuse(snd_pcm_stream_t stream, const std::string& what, int rc) {
  SetOpenFailure(snd_strerror(rc));
  if (stream == SND_PCM_STREAM_PLAYBACK) ReportOnce("sound playback: " + what + ": " + snd_strerror(rc));
}

// Opens and configures a PCM; null when it cannot.
snd_pcm_t* OpenPcm(const std::string& name, snd_pcm_stream_t stream, const WAVEFORMATEX& format,
                   MMRESULT* error) {
  InstallQuietHandler();
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (rc < 0) {
    Refuse(stream, "cannot open ALSA device \"" + name + "\"", rc);
    *error = MMSYSERR_NODRIVER;
    return nullptr;
  }
  rc = snd_pcm_set_params(pcm, AlsaFormat(format), SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                          format.nSamplesPerSec, 1, kLatencyUs);
  if (rc >= 0 && stream == SND_PCM_STREAM_PLAYBACK) {
    // Start with the first frame: a last buffer shorter than ALSA's start
    // threshold would otherwise never play and never come back.
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    rc = snd_pcm_sw_params_current(pcm, sw);
    if (rc >= 0) rc = snd_pcm_sw_params_set_start_threshold(pcm, sw, 1);
    if (rc >= 0) rc = snd_pcm_sw_params(pcm, sw);
  }
  if (rc < 0) {
    Refuse(stream, "ALSA device \"" + name + "\" refuses the format", rc);
    snd_pcm_close(pcm);
    *error = WAVERR_BADFORMAT;
    return nullptr;
  }
  return pcm;
}

class AlsaSink : public IPlaybackSink {
 public:
  explicit AlsaSink(snd_pcm_t* pcm) : pcm_(pcm) {}
  ~AlsaSink() override {
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }

  long Write(const uint8_t* data, uint32_t frames) override {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, data, frames);
      if (n >= 0) {
        written_ += static_cast<uint64_t>(n);
        return static_cast<long>(n);
      }
      if (n == -EAGAIN) return 0;
      if (n == -EPIPE) played_ = written_;  // an underrun played everything
      if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return -1;
    }
    return 0;
  }

  uint64_t Played() override {
    snd_pcm_sframes_t delay = 0;
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state == SND_PCM_STATE_XRUN) {
      played_ = written_;
    } else if (snd_pcm_delay(pcm_, &delay) == 0) {
      const uint64_t behind = delay > 0 ? static_cast<uint64_t>(delay) : 0;
      const uint64_t played = written_ > behind ? written_ - behind : 0;
      played_ = std::max(played_, played);
    }
    return played_;
  }

  void Pause(bool paused) override {
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING || snd_pcm_state(pcm_) == SND_PCM_STATE_PAUSED) {
      snd_pcm_pause(pcm_, paused ? 1 : 0);
    }
  }

  void Drop() override {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
    written_ = 0;
    played_ = 0;
  }

  int PollIntervalMs() override { return kPollMs; }

 private:
  snd_pcm_t* pcm_;
  uint64_t written_ = 0;
  uint64_t played_ = 0;
};

class AlsaSource : public ICaptureSource {
 public:
  explicit AlsaSource(snd_pcm_t* pcm) : pcm_(pcm) {}
  ~AlsaSource() override {
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }

  bool Start() override {
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED && snd_pcm_prepare(pcm_) < 0) return false;
    const int rc = snd_pcm_start(pcm_);
    if (rc < 0) LogOnce(std::string("waveIn: ALSA capture does not start: ") + snd_strerror(rc));
    return rc >= 0;
  }

  void Stop() override {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  long Read(uint8_t* data, uint32_t frames) override {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const snd_pcm_sframes_t n = snd_pcm_readi(pcm_, data, frames);
      if (n >= 0) return static_cast<long>(n);
      if (n == -EAGAIN) return 0;
      if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return -1;
      if (snd_pcm_start(pcm_) < 0) return -1;
    }
    return 0;
  }

  int PollIntervalMs() override { return kPollMs; }

 private:
  snd_pcm_t* pcm_;
};

class AlsaWaveBackend : public IWaveBackend {
 public:
  // One device each way: the named PCM. Whether it opens is known only
  // when it is opened, which the callers are built to handle.
  UINT OutputDeviceCount() override { return 1; }
  UINT InputDeviceCount() override { return 1; }

  std::unique_ptr<IPlaybackSink> OpenPlayback(const WAVEFORMATEX& format, ProgressFn, MMRESULT* error) override {
    snd_pcm_t* pcm = OpenPcm(AlsaPlaybackName(), SND_PCM_STREAM_PLAYBACK, format, error);
    if (!pcm) return nullptr;
    return std::make_unique<AlsaSink>(pcm);
  }

  std::unique_ptr<ICaptureSource> OpenCapture(const WAVEFORMATEX& format, ProgressFn, MMRESULT* error) override {
    snd_pcm_t* pcm = OpenPcm(AlsaCaptureName(), SND_PCM_STREAM_CAPTURE, format, error);
    if (!pcm) return nullptr;
    return std::make_unique<AlsaSource>(pcm);
  }

  std::string InputName() override { return AlsaCaptureName(); }
};

}  // namespace

IWaveBackend& AlsaBackend() {
  static AlsaWaveBackend* backend = new AlsaWaveBackend;
  return *backend;
}

}  // namespace wave
}  // namespace pelplat
