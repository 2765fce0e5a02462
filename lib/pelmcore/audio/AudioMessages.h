// Messages of the audio slot. Every one starts with u16 length of the rest,
// u8 command, u8 kind; the server's and the microphone's carry the tag
// "CMT " next, the playback reports do not.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace audiomsg {

constexpr uint8_t kServerKind = 0x1F;
constexpr uint8_t kQueueReportKind = 0x21;
constexpr uint8_t kPositionReportKind = 0x22;
constexpr uint32_t kHeaderBytes = 8;

enum Command : uint8_t {
  kFormat = 3,
  kPlaybackState = 4,
  kFlush = 5,
  kFlushAndClose = 6,
  kData = 7,
  kNoDevice = 9,
  kMicAnnounce = 20,
  kMicState = 21,
  kTimestampedData = 64,
  kPositionedData = 65,
  kPositionedTimestampedData = 66,
  kBufferPlan = 67,
};

// True when the payload is long enough for the header and carries the tag.
bool HasTag(const uint8_t* payload, uint32_t size);

struct Message {
  uint8_t command = 0;
  uint8_t kind = 0;
  const uint8_t* data = nullptr;
  uint32_t length = 0;  // the length field less 6; 0 for a field under 6
};
// False for a payload without header and tag, or whose length field
// promises more bytes than it holds.
bool Parse(const uint8_t* payload, uint32_t size, Message* out);

std::array<uint8_t, 9> NoDevice();
std::array<uint8_t, 12> QueueReport(uint32_t bytesInFlight);
std::array<uint8_t, 24> PositionReport(uint64_t writePosition, uint64_t playPosition);
std::array<uint8_t, 48> MicAnnouncement(uint32_t announcedValue, uint32_t bufferSize);
// Header and n captured bytes; empty when n does not fit the length field.
std::vector<uint8_t> MicData(const uint8_t* pcm, uint32_t n);

}  // namespace audiomsg
