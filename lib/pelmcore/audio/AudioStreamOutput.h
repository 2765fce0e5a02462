// The output side of the audio stream kind: its own wave output (no clock
// record: this stream never drives the sync ring) and, for a format the
// device does not take, a conversion to 16-bit PCM. The stream kind owns one
// and hands it its format, samples and states.
#pragma once

#include <cstdint>
#include <memory>

#include "pelplat/msacm.h"

class CWaveOut;

class CAudioStreamOutput {
 public:
  CAudioStreamOutput();
  ~CAudioStreamOutput();

  // 0 when the stream can play (directly or converted); E_OUTOFMEMORY
  // without a wave output, -1 when neither the device nor a conversion
  // takes the format.
  int32_t SetWaveFormat(const WAVEFORMATEX* format);
  // Plays one sample (converted when needed). A conversion that fails ends
  // the stream: compressed bytes never reach a device opened for PCM.
  void ProcessSample(const uint8_t* data, uint32_t length);
  int32_t SetState(uint32_t state);

  bool IsOpen() const { return open_; }
  bool Converting() const { return conversion_ != nullptr; }
  CWaveOut* WaveOut() { return waveOut_.get(); }

  // 16-bit PCM of the source's rate and channel count.
  static WAVEFORMATEX ConversionTarget(const WAVEFORMATEX& source);

  CAudioStreamOutput(const CAudioStreamOutput&) = delete;
  CAudioStreamOutput& operator=(const CAudioStreamOutput&) = delete;

 private:
  void EndConversion();

  std::unique_ptr<CWaveOut> waveOut_;
  HACMSTREAM conversion_ = nullptr;
  bool open_ = false;
};
