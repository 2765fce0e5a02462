// The seam behind wave output and input: a backend turns an open device into
// a sink or source of PCM frames with a clock of its own. ALSA serves by
// default; tests where timing matters install the virtual-clock backend.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pelplat/mmsystem.h"

namespace pelplat {
namespace wave {

// Called by a backend whenever its clock moved or data arrived, so that the
// device thread looks again before its poll interval ends.
using ProgressFn = std::function<void()>;

// One open playback device. Calls come from the device's own thread only.
class IPlaybackSink {
 public:
  virtual ~IPlaybackSink() = default;
  // Frames taken now (0 when the device is full); negative when it failed.
  virtual long Write(const uint8_t* data, uint32_t frames) = 0;
  // Frames the device has played since it was opened or last dropped.
  virtual uint64_t Played() = 0;
  virtual void Pause(bool paused) = 0;
  // Discards what is buffered; the played count starts again at 0.
  virtual void Drop() = 0;
  // How long the device thread may sleep before it must look again; -1 when
  // the backend reports every change through its progress callback.
  virtual int PollIntervalMs() = 0;
};

// One open capture device. Calls come from the device's own thread only.
class ICaptureSource {
 public:
  virtual ~ICaptureSource() = default;
  virtual bool Start() = 0;
  virtual void Stop() = 0;
  // Frames read now (0 when none are ready); negative when it failed.
  virtual long Read(uint8_t* data, uint32_t frames) = 0;
  virtual int PollIntervalMs() = 0;
};

class IWaveBackend {
 public:
  virtual ~IWaveBackend() = default;
  virtual UINT OutputDeviceCount() = 0;
  virtual UINT InputDeviceCount() = 0;
  // Null with the reason in *error when the device cannot open.
  virtual std::unique_ptr<IPlaybackSink> OpenPlayback(const WAVEFORMATEX& format, ProgressFn progress,
                                                      MMRESULT* error) = 0;
  virtual std::unique_ptr<ICaptureSource> OpenCapture(const WAVEFORMATEX& format, ProgressFn progress,
                                                      MMRESULT* error) = 0;
  virtual std::string InputName() = 0;
};

// Why the last failed open on this thread failed, as the device put it
// (ALSA's own words); empty after an open that worked. The device's owner
// names the device and this reason in a line of its own.
std::string LastOpenFailure();

// Installs a backend for devices opened from now on (null: ALSA again). The
// caller keeps it alive until every device it opened has closed.
void SetBackend(IWaveBackend* backend);

// ALSA device names: what is set here, else the environment
// (PELLUM_AUDIO_PLAYBACK, PELLUM_AUDIO_CAPTURE), else "default".
void SetAlsaDeviceNames(const std::string& playback, const std::string& capture);
std::string AlsaPlaybackName();
std::string AlsaCaptureName();

// A backend whose clock moves only when told: playback counts frames as
// played when Advance says so, capture delivers only the bytes fed to it.
class VirtualWaveBackend : public IWaveBackend {
 public:
  VirtualWaveBackend();
  ~VirtualWaveBackend() override;

  // Plays up to `frames` more frames on every open, unpaused sink.
  void Advance(uint64_t frames);
  // Bytes the next capture reads return (appended).
  void FeedCapture(const uint8_t* data, size_t size);
  // Fed bytes no capture has read yet.
  size_t CaptureBacklog();
  // Makes the next opens fail (true) or succeed.
  void FailOpens(bool fail);
  // Makes sink writes fail (true) or succeed.
  void FailWrites(bool fail);
  // Whether a sink counts what it takes as played at once, the clock then
  // never holding a buffer back (off by default). For runs that only want
  // every buffer done, such as fuzzing.
  void PlayAsWritten(bool on);
  // Whether written bytes are kept for BytesWritten (on by default).
  void KeepBytes(bool keep);
  // Frames written to all sinks so far, and their bytes (kept for checks).
  uint64_t FramesWritten();
  std::string BytesWritten();
  int OpenSinks();

  UINT OutputDeviceCount() override { return outputs_; }
  UINT InputDeviceCount() override { return inputs_; }
  void SetDeviceCounts(UINT outputs, UINT inputs) {
    outputs_ = outputs;
    inputs_ = inputs;
  }
  std::unique_ptr<IPlaybackSink> OpenPlayback(const WAVEFORMATEX& format, ProgressFn progress,
                                              MMRESULT* error) override;
  std::unique_ptr<ICaptureSource> OpenCapture(const WAVEFORMATEX& format, ProgressFn progress,
                                              MMRESULT* error) override;
  std::string InputName() override { return "virtual"; }

  struct State;

 private:
  std::shared_ptr<State> state_;
  UINT outputs_ = 1;
  UINT inputs_ = 1;
};

}  // namespace wave
}  // namespace pelplat
