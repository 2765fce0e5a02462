#include "testhost/AudioSlot.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "testhost/Wire.h"

namespace testhost {
namespace audio {

namespace {

constexpr uint8_t kServerKind = 0x1F;

enum : uint8_t {
  kFormatCommand = 3,
  kStateCommand = 4,
  kFlushCommand = 5,
  kFlushCloseCommand = 6,
  kDataCommand = 7,
  kNoDeviceCommand = 9,
  kAnnounceCommand = 20,
  kMicStateCommand = 21,
  kTimestampedCommand = 64,
  kPositionedCommand = 65,
  kPositionedTimestampedCommand = 66,
  kPlanCommand = 67,
};

bool Tagged(const Bytes& m) { return m.size() >= 8 && memcmp(&m[4], "CMT ", 4) == 0 && m[3] == kServerKind; }

}  // namespace

Bytes Message(uint8_t command, const Bytes& data) {
  Bytes m;
  wire::Append(m, data.size() + 6, 2);
  m.push_back(command);
  m.push_back(kServerKind);
  wire::AppendBytes(m, "CMT ", 4);
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

Bytes PcmFormat(uint16_t channels, uint32_t samplesPerSecond, uint16_t bitsPerSample) {
  const uint32_t blockAlign = uint32_t(channels) * bitsPerSample / 8;
  Bytes d;
  wire::Append(d, 1, 2);  // PCM
  wire::Append(d, channels, 2);
  wire::Append(d, samplesPerSecond, 4);
  wire::Append(d, uint64_t(samplesPerSecond) * blockAlign, 4);
  wire::Append(d, blockAlign, 2);
  wire::Append(d, bitsPerSample, 2);
  wire::Append(d, 0, 2);
  return Message(kFormatCommand, d);
}

Bytes VorbisFormat(const Bytes& headerPages) { return Message(kFormatCommand, headerPages); }

Bytes PlaybackState(uint32_t state) {
  Bytes d;
  wire::Append(d, state, 4);
  return Message(kStateCommand, d);
}

Bytes Flush() { return Message(kFlushCommand, {}); }
Bytes FlushAndClose() { return Message(kFlushCloseCommand, {}); }
Bytes Data(const Bytes& bytes) { return Message(kDataCommand, bytes); }

Bytes TimestampedData(uint64_t timestamp, const Bytes& bytes) {
  Bytes d;
  wire::Append(d, timestamp, 8);
  d.insert(d.end(), bytes.begin(), bytes.end());
  return Message(kTimestampedCommand, d);
}

Bytes PositionedData(uint64_t framePosition, const Bytes& bytes) {
  Bytes d;
  wire::Append(d, framePosition, 8);
  d.insert(d.end(), bytes.begin(), bytes.end());
  return Message(kPositionedCommand, d);
}

Bytes PositionedTimestampedData(uint64_t framePosition, uint64_t timestamp, const Bytes& bytes) {
  Bytes d;
  wire::Append(d, framePosition, 8);
  wire::Append(d, timestamp, 8);
  d.insert(d.end(), bytes.begin(), bytes.end());
  return Message(kPositionedTimestampedCommand, d);
}

Bytes BufferPlan(uint32_t durationClass, uint32_t bufferBytes) {
  Bytes d;
  wire::Append(d, durationClass, 4);
  wire::Append(d, bufferBytes, 4);
  wire::Append(d, 0, 4);
  return Message(kPlanCommand, d);
}

Bytes MicrophoneState(uint32_t state) {
  Bytes d;
  wire::Append(d, state, 4);
  return Message(kMicStateCommand, d);
}

Bytes Tone(uint32_t frames, uint16_t channels, uint32_t samplesPerSecond, double hz) {
  constexpr double kAmplitude = 10000;
  const uint32_t fade = std::max<uint32_t>(1, samplesPerSecond / 100);
  Bytes out;
  out.reserve(size_t(frames) * channels * 2);
  for (uint32_t i = 0; i < frames; ++i) {
    const double edge = std::min({1.0, double(i) / fade, double(frames - 1 - i) / fade});
    const auto sample = static_cast<int16_t>(kAmplitude * edge * std::sin(6.283185307179586 * hz * i / samplesPerSecond));
    for (uint16_t c = 0; c < channels; ++c) wire::Append(out, static_cast<uint16_t>(sample), 2);
  }
  return out;
}

Upstream ReadUpstream(const Bytes& m) {
  Upstream u;
  if (m.size() < 4) return u;
  // The no-device message's length field says 6 for its 7 bytes that follow.
  if (Tagged(m) && m[2] == kNoDeviceCommand && m.size() == 9 && wire::Read(m, 0, 2) == 6) {
    u.kind = Upstream::kNoDevice;
    return u;
  }
  if (wire::Read(m, 0, 2) + 2 != m.size()) return u;
  if (m.size() == 12 && m[2] == 0 && m[3] == 0x21) {
    u.kind = Upstream::kQueueReport;
    u.queuedKib = static_cast<uint32_t>(wire::Read(m, 4, 4));
  } else if (m.size() == 24 && m[2] == 0 && m[3] == 0x22) {
    u.kind = Upstream::kPositionReport;
    u.writePosition = wire::Read(m, 8, 8);
    u.playPosition = wire::Read(m, 16, 8);
  } else if (Tagged(m) && m[2] == kAnnounceCommand && m.size() == 48) {
    u.kind = Upstream::kAnnouncement;
    u.announced = static_cast<uint32_t>(wire::Read(m, 12, 4));
    u.bufferBytes = static_cast<uint32_t>(wire::Read(m, 28, 4));
  } else if (Tagged(m) && m[2] == kDataCommand) {
    u.kind = Upstream::kMicData;
    u.pcm.assign(m.begin() + 8, m.end());
  }
  return u;
}

}  // namespace audio
}  // namespace testhost
