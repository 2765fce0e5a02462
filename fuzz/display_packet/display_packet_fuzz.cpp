// The display slot's packet entry: a fresh processor on a real surface per
// input, fed a series of packets. Input: one setup byte (bit 0: a 24-bit
// display, else 16-bit), then packets of u16 length and bytes, the last
// one taking what is left.
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
  api.keeper.Create(320, 200, (data[0] & 1) ? 24 : 16, 0);
  ForEachFuzzPacket(data, size, 1, [&](const Bytes& packet, size_t) { processor.Packet(packet); });
  return 0;
}
