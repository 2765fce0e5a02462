// The drawing stream kinds on a real 64 x 48 surface: arbitrary samples
// through the MJPEG stream or the software H.264 stream with the project's
// decoder library. One stream of each kind and surface depth is made the
// first time and kept, with its library and decoder: each input takes the
// second buffer into use as a new stream does, and ends with a stop (the
// decoder opens again at the next frame) and a close.
// Input: one setup byte (bit 0 H.264, else MJPEG; bits 1-2 surface depth
// 24, 16, 32, 24; bit 3 MJPEG samples are pixels whose u16 width and u16
// height lead the packet), the rectangle as four i16 (left, top, right,
// bottom), then packets of u16 length and bytes, the last one taking what
// is left; a packet of length 0 moves the rectangle one pixel right.
// The seeds were made with:
//   ffmpeg -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 3 -c:v libx264
//     -pix_fmt yuv420p -bf 0 -x264-params aud=1 -f h264 seed.h264
//   ffmpeg -f lavfi -i testsrc=size=32x24:rate=25 -frames:v 2 -c:v mjpeg
//     -pix_fmt yuvj420p -f mjpeg seed.mjpeg
// each cut into samples and framed as above.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzPackets.h"
#include "decoded_test_support.h"
#include "pelplat/debugout.h"
#include "streams/DH264Stream.h"
#include "streams/DJStream.h"
#include "streams/MediaTypeGuids.h"

namespace {

int16_t I16(const uint8_t* p) { return int16_t(p[0] | p[1] << 8); }

struct KeptStream {
  std::shared_ptr<SurfacePort> port;
  std::unique_ptr<CStream> stream;
};

// The stream of that kind on a surface of that depth, made the first time;
// null when it refuses its format.
KeptStream* StreamFor(bool h264, int depth) {
  static KeptStream kept[2][33];
  static bool made[2][33];
  KeptStream& k = kept[h264][depth];
  if (made[h264][depth]) return k.stream ? &k : nullptr;
  made[h264][depth] = true;
  k.port = std::make_shared<SurfacePort>(64, 48, depth);
  StreamFormatRecord record;
  if (h264) {
    record.subtype = mediaguid::kSubtypeH264;
    k.stream.reset(new CDH264Stream(k.port, 0));
  } else {
    record.subtype = mediaguid::kSubtypeMjpg;
    k.stream.reset(new CDJStream(k.port, 0));
  }
  if (k.stream->SetFormat(record) != 0) k.stream.reset();
  return k.stream ? &k : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  static const bool quiet = [] {
    SetDebugOutputSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  const uint8_t setup = data[0];
  static const int kDepths[] = {24, 16, 32, 24};
  KeptStream* kept = StreamFor(setup & 1, kDepths[(setup >> 1) & 3]);
  if (!kept) return 0;
  CStream* stream = kept->stream.get();
  kept->port->keeper.SyncBuffers();
  RECT rect{I16(data + 1), I16(data + 3), I16(data + 5), I16(data + 7)};
  stream->DSSetWindowRect(&rect, 0, 0, 0, 0);
  const bool pixels = !(setup & 1) && (setup & 8);
  ForEachFuzzPacket(data, size, 9, [&](const std::vector<uint8_t>& packet, size_t) {
    if (packet.empty()) {
      ++rect.left;
      ++rect.right;
      stream->DSSetWindowRect(&rect, 0, 0, 0, 0);
      return;
    }
    StreamSampleContext context;
    if (pixels && packet.size() >= 4) {
      context.preDecoded = 1;
      context.width = packet[0] | packet[1] << 8;
      context.height = packet[2] | packet[3] << 8;
    }
    stream->ProcessSample(packet.data(), uint32_t(packet.size()), context);
  });
  stream->SetState(0);
  stream->Close();
  return 0;
}
