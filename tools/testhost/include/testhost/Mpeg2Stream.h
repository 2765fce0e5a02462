// An MPEG-2 elementary stream played as a stream of the DirectShow kind:
// the stream's pictures, and the messages that create the stream, give it
// its allocator, rectangle and run state, and deliver each picture.
#pragma once

#include <vector>

#include "testhost/StreamEncoder.h"

namespace testhost {
namespace stream {

// One sample per picture: a new one starts at a sequence header, or at a
// GOP or picture start once the sample holds a picture.
std::vector<Bytes> Mpeg2Pictures(const Bytes& elementary);

// The picture size from the first sequence header; false without one.
bool Mpeg2PictureSize(const Bytes& elementary, int* width, int* height);

// Reserve, create (MPEG-2 video in a VIDEOINFOHEADER), allocator, window
// rectangle, run, a new segment and one sample per picture, 40 ms apart.
std::vector<Bytes> Mpeg2StreamMessages(uint32_t id, const Bytes& elementary, const Rect& rect, uint32_t colourKey);

}  // namespace stream
}  // namespace testhost
