// A clip for multimedia redirection: an MP4 (or any container libavformat
// reads) with an H.264 video stream and an AAC audio stream, demuxed into
// the samples a server sends, with their times in 100-ns units, and the
// media types that announce them. Video samples are Annex B (start codes);
// the SPS and PPS go in the media type's sequence header. Audio samples
// are raw AAC frames; the AudioSpecificConfig goes in the media type.
#pragma once

#include <string>
#include <vector>

#include "testhost/TsmfMessages.h"

namespace testhost {
namespace tsmf {

struct ClipStream {
  bool video = false;
  MediaType type;
  // In decoding order; times start at 0 for the clip's earliest sample.
  std::vector<DataSample> samples;
  // Each sample's decoding time (100-ns units, on the samples' scale): the
  // order in which samples of both streams go out.
  std::vector<int64_t> decodeTimes;
  int width = 0, height = 0;         // video
  int channels = 0, sampleRate = 0;  // audio
};

struct Clip {
  std::vector<ClipStream> streams;  // the video stream first, then the audio
};

// False with the reason when the file cannot be read or holds neither an
// H.264 nor an AAC stream.
bool ReadClip(const std::string& path, Clip* clip, std::string* error);

// avcC extradata (ISO/IEC 14496-15) to an Annex B sequence header (its SPS
// and PPS, each behind 00 00 00 01) and the NAL length size. Extradata that
// is Annex B already is kept with a length size of 0. False when the
// record runs past its end.
bool AvcConfigToAnnexB(const Bytes& extradata, Bytes* sequenceHeader, int* lengthSize);
// One length-prefixed access unit to Annex B; false when a length runs past
// the end.
bool LengthPrefixedToAnnexB(const Bytes& unit, int lengthSize, Bytes* out);

}  // namespace tsmf
}  // namespace testhost
