// The player stream as a host sends it: the creation record with codec
// data and the data records, made from an H.264 byte stream (an x264 clip
// in Annex B form) either as it is or as an AVC configuration record with
// length-prefixed units.
#pragma once

#include <cstdint>
#include <vector>

#include "testhost/StreamEncoder.h"

namespace testhost {
namespace stream {

// A data record (0x50500): media type 1, the colour key as COLORREF, the
// target rectangle, flag bit 0 = flush first, the two time stamps
// (microseconds) and one compressed frame.
Bytes PlayerFrame(uint32_t id, const Bytes& payload, uint32_t colorref, const Rect& target, uint8_t flags = 0,
                  int64_t firstTime = 0, int64_t secondTime = 0);

struct PlayerClip {
  uint32_t fourcc = 0;   // "H264" for Annex B, "avc1" for length-prefixed units
  Bytes codecData;       // parameter sets, or the configuration record
  std::vector<Bytes> frames;
};

// Splits an Annex B stream into pictures (a picture begins at an access
// unit delimiter, or at an SPS or a slice whose first byte of slice data
// starts a new picture when there are no delimiters); empty when the bytes
// hold no SPS and PPS.
PlayerClip PlayerClipOf(const Bytes& annexB, bool avcc);

// The creation message (0x80300) for the clip.
Bytes CreatePlayerFor(uint32_t id, const PlayerClip& clip, int32_t width, int32_t height);

}  // namespace stream
}  // namespace testhost
