// The stream encoder of the test host: the messages a server sends on a
// display's stream slot, written from the slot's description alone (never
// from the client's record code), so that a misreading on either side
// shows. Every builder returns one slot payload.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "testhost/DisplayEncoder.h"

namespace testhost {
namespace stream {

using Bytes = std::vector<uint8_t>;
using Guid = std::array<uint8_t, 16>;  // as it lies in memory

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// A GUID from its usual text parts, laid out as in memory.
Guid MakeGuid(uint32_t data1, uint16_t data2, uint16_t data3, const std::array<uint8_t, 8>& data4);
// The FOURCC family of subtypes (also the wave-format and video major types).
Guid FourccGuid(uint32_t fourcc);
Guid VideoMajorType();  // "vids"
Guid AudioMajorType();  // "auds"

// The whole picture as a baseline JPEG (TurboJPEG, 4:2:0).
Bytes JpegOf(const RgbImage& image, int quality = 90);

// Format description: head of 64 bytes, then the block.
struct FormatRecord {
  uint32_t flags = 0;
  uint32_t sampleSize = 0;
  Guid majorType{};
  Guid subtype{};
  Guid formatType{};
  Bytes block;
  Bytes Encode() const;  // size field = 64 + block
};

struct SampleInfo {
  uint32_t streamId = 0;
  uint32_t typeSpecificFlags = 0;
  uint32_t sampleFlags = 0;
  int32_t actual = 0;
  int64_t start = 0;
  int64_t stop = 0;
  Bytes Encode() const;  // 56 bytes
};

struct Segment {
  int64_t start = 0;
  int64_t stop = 0;
  double rate = 1.0;
  Bytes Encode() const;  // 24 bytes
};

struct WaveFormat {
  uint16_t formatTag = 1;
  uint16_t channels = 2;
  uint32_t samplesPerSec = 44100;
  uint32_t avgBytesPerSec = 176400;
  uint16_t blockAlign = 4;
  uint16_t bitsPerSample = 16;
  Bytes extra;
  Bytes Encode() const;  // 18 + extra bytes
};

// Coded messages.
Bytes Reserve(uint32_t id);
Bytes WindowRect(uint32_t id, const Rect& rect, uint32_t colourKey);
Bytes State(uint32_t id, uint32_t request);
Bytes Command(uint32_t id, uint32_t request);
Bytes Close(uint32_t id);
Bytes ViewUpdate(uint32_t id, uint32_t colourKey, const Rect& rect);
Bytes NewSegment(uint32_t id, const Segment& segment);
Bytes DirectShowSample(uint32_t id, const SampleInfo& info, const Bytes& data);
// A JPEG frame; a zero rectangle sends it to the stream of its id.
Bytes JpegFrame(uint32_t id, const Bytes& jpeg, const Rect& target = Rect(), int64_t timestamp = 0);
Bytes H264Frame(const Bytes& data, const Rect& target = Rect(), int64_t timestamp = 0);
Bytes PlayerData(uint32_t code, uint32_t id, uint32_t kind, const Bytes& payload);
Bytes Allocator(uint32_t id, int32_t buffers, int32_t bufferSize, int32_t align, int32_t prefix);
Bytes CreateFromFormat(uint32_t id, const FormatRecord& format, uint32_t colourKey);
Bytes CreateHardware(uint32_t id, const Guid& profile, uint32_t colourKey);
Bytes CreatePlayer(uint32_t id, uint32_t kind, uint32_t fourcc, int32_t width, int32_t height,
                   const Bytes& codecData);

// Flag-byte messages.
Bytes LegacyAudioFormat(uint32_t id, const WaveFormat& format);
Bytes LegacyData(uint32_t id, const Bytes& data);
Bytes LegacySample(const SampleInfo& info, const Bytes& data);
Bytes LegacyFormat(uint32_t id, const FormatRecord& format);
Bytes LegacyAllocator(uint32_t id, int32_t buffers, int32_t bufferSize, int32_t align,
                      int32_t prefix);
Bytes LegacySegment(uint32_t id, const Segment& segment);
// Types 4 state, 13 reserve, 14 close, 15 command.
Bytes LegacyControl(uint8_t type, uint8_t value, uint32_t id);

// Request codes of the state and command messages.
constexpr uint32_t kStop = 0x60000, kPause = 0x60100, kRun = 0x60200, kStateOne = 0x60300;
constexpr uint32_t kEndStream = 0x60400, kBeginFlush = 0x60500, kEndFlush = 0x60600;

}  // namespace stream
}  // namespace testhost
