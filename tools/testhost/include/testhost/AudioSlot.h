// The host's side of the audio slot: the messages the host sends (format,
// playback state, flushes, data in its four forms, buffer plan, microphone
// state) and readers for what the client sends back (playback reports, the
// no-device message, the microphone's announcement and data). Written
// byte by byte here, apart from the client's own code.
#pragma once

#include <cstdint>
#include <vector>

namespace testhost {
namespace audio {

using Bytes = std::vector<uint8_t>;

// Any message: length of what follows, command, kind 0x1F, "CMT ", data.
Bytes Message(uint8_t command, const Bytes& data);

Bytes PcmFormat(uint16_t channels, uint32_t samplesPerSecond, uint16_t bitsPerSample);
// The Ogg pages that carry the three Vorbis header packets.
Bytes VorbisFormat(const Bytes& headerPages);
Bytes PlaybackState(uint32_t state);  // 0 close, 2 pause, 3 play
Bytes Flush();
Bytes FlushAndClose();
Bytes Data(const Bytes& bytes);
Bytes TimestampedData(uint64_t timestamp, const Bytes& bytes);
Bytes PositionedData(uint64_t framePosition, const Bytes& bytes);
Bytes PositionedTimestampedData(uint64_t framePosition, uint64_t timestamp, const Bytes& bytes);
Bytes BufferPlan(uint32_t durationClass, uint32_t bufferBytes);
Bytes MicrophoneState(uint32_t state);  // 0 stop and close, 2 stop sending, 3 send
// The microphone's data carries no format of its own: the client always
// captures 16-bit mono PCM at 22.05 kHz.
constexpr uint32_t kMicRate = 22050;
constexpr uint16_t kMicChannels = 1;
constexpr uint16_t kMicBits = 16;

// A 16-bit sine of `frames` frames, the same sample in every channel, with
// 10 ms fades at both ends so that a real speaker does not click.
Bytes Tone(uint32_t frames, uint16_t channels, uint32_t samplesPerSecond, double hz);

// What the client sent on the slot.
struct Upstream {
  enum Kind { kUnknown, kQueueReport, kPositionReport, kNoDevice, kAnnouncement, kMicData };
  Kind kind = kUnknown;
  uint32_t queuedKib = 0;       // queue report
  uint64_t writePosition = 0;   // position report
  uint64_t playPosition = 0;    // position report
  uint32_t announced = 0;       // announcement: the device's value
  uint32_t bufferBytes = 0;     // announcement: capture buffer size
  Bytes pcm;                    // microphone data
};
Upstream ReadUpstream(const Bytes& message);

}  // namespace audio
}  // namespace testhost
