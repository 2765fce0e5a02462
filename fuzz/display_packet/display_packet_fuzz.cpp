// The display slot's packet entry: a fresh processor on a real surface per
// input, fed a series of packets, then the surface painted as a window
// paints it. Input: one setup byte (bits 0-1 pick the display's depth: 16,
// 24, 8, 32), then packets of u16 length and bytes, the last taking the rest.
#include <QImage>
#include <QPainter>
#include <cstddef>
#include <cstdint>

#include "FuzzPackets.h"
#include "op2_test_support.h"

namespace {

// Surfaces of a size that keeps every input fast; larger modes are
// refused as a system without the memory would refuse them.
class FuzzDisplayApi : public FakeDisplayApi {
 public:
  int ResizeDisplay(int width, int height, int depth, int display) override {
    if (int64_t(width) * height > (int64_t(1) << 20)) return 0;
    return FakeDisplayApi::ResizeDisplay(width, height, depth, display);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  FuzzDisplayApi api;
  TestOp2Processor processor(&api);
  // A session cache of 256 KiB keeps the default caches unallocated.
  Bytes block(Op2Decoder::kDisplayBlockBytes, 0);
  block[Op2Decoder::kDisplayBlockCacheSize + 2] = 0x04;
  processor.OnServerDisplayBlock(block.data());
  // The surface the handshake makes from the hello; the stream's first
  // mode order sets the decoder's size.
  static const int kDepths[4] = {16, 24, 8, 32};
  api.keeper.Create(320, 200, kDepths[data[0] & 3], 0);
  ForEachFuzzPacket(data, size, 1, [&](const Bytes& packet, size_t) { processor.Packet(packet); });
  // Whatever depth the packets left the surface in must paint.
  if (const QImage* image = api.keeper.GetImage()) {
    QImage window(image->size(), QImage::Format_RGB32);
    QPainter painter(&window);
    painter.drawImage(0, 0, *image);
  }
  return 0;
}
