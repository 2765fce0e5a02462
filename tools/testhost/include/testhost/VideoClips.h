// Video clips for the stream slot: made with the ffmpeg command line at
// test time, cut into the samples a server sends (one H.264 access unit or
// one JPEG picture each), with the format records that announce them.
#pragma once

#include <string>
#include <vector>

#include "testhost/StreamEncoder.h"

namespace testhost {
namespace stream {

// The format records the server creates an H.264 or MJPEG stream with
// (null major and format types, the FOURCC subtype, no block).
FormatRecord H264Format();
FormatRecord MjpegFormat();

// Cuts an Annex B stream into its access units, with or without
// delimiters; the bytes before the first slice join the first unit.
std::vector<Bytes> SplitAccessUnits(const Bytes& annexB);
// Cuts a stream of concatenated JPEG pictures at each start-of-image marker.
std::vector<Bytes> SplitJpegPictures(const Bytes& stream);

// Runs ffmpeg (quietly, argument list, no shell) with `arguments` after
// "-y -loglevel error"; true when it exited with 0.
bool RunFfmpeg(const std::vector<std::string>& arguments);
// The frames of lavfi's testsrc (w x h, 25 per second) as a clip file:
// "h264" (x264, yuv420p, no B-frames, one delimiter per access unit),
// "h264-noaud" (the same without delimiters) or "mjpeg"; "rgb24" gives the
// source frames as the encoders take them (through 4:2:0 sampling), packed.
bool MakeTestClip(const std::string& kind, int width, int height, int frames,
                  const std::string& path);
bool ReadFileBytes(const std::string& path, Bytes* bytes);

// The messages that play a clip's samples into the rectangle: "h264" as
// "NSP-h264" frames (the dispatcher's own stream); "mjpeg" as a stream of
// its own under `id`: reserved, created from the MJPEG record, given the
// rectangle with colour key 0 (black), run, then one JPEG frame a sample;
// with flagBytes the reserve, creation (type 10), run state and samples
// (type 7 with a sample record) go as flag-byte messages.
std::vector<Bytes> ClipMessages(const std::string& kind, const std::vector<Bytes>& samples,
                                const Rect& rect, uint32_t id = 1, bool flagBytes = false);
// H.264 units as a stream of its own under `id`: reserved, created from the
// H.264 record, given the rectangle and colour key, run, then one
// DirectShow sample a unit.
std::vector<Bytes> H264StreamMessages(const std::vector<Bytes>& units, const Rect& rect, uint32_t id,
                                      uint32_t colourKey);
// A clip file cut into samples by its kind ("h264" or "mjpeg").
bool ReadClipSamples(const std::string& kind, const std::string& path, std::vector<Bytes>* samples);

}  // namespace stream
}  // namespace testhost
