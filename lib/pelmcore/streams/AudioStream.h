// The audio stream kind: plays PCM through a wave output of its own, or
// converts a format the device refuses to 16-bit PCM first. It never
// drives the sync ring. With the session's sound off it takes its format
// and samples and plays nothing: no device is opened.
#pragma once

#include "audio/AudioStreamOutput.h"
#include "streams/Stream.h"

class CAudioStream : public virtual CStream {
 public:
  explicit CAudioStream(bool sound = true) : sound_(sound) {}

  // Takes an audio record whose format block is a wave format: E_FAIL for
  // another major type, -1 for another format type or a format nothing plays.
  int SetFormat(const StreamFormatRecord& record) override;
  int SetWaveFormat(const WaveFormatRecord& format) override;
  int ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext&) override;
  // 0 closes the device, 2 pauses, 3 plays.
  int SetState(int state) override;
  int NewSegment(const SegmentRecord&) override { return -1; }

  CAudioStreamOutput& Output() { return output_; }

 private:
  CAudioStreamOutput output_;
  const bool sound_;
};
