// The stream slot's packet entry: a fresh processor on a real surface per
// input, each packet prepared as a worker would and then dispatched. The
// stream kinds are the program's own, registered as it registers them: the
// decoded kinds, the DirectShow stream over the video filter library, the
// player stream over the Media Foundation model and the DXVA stream.
// Input: one setup byte (bit 0 audio/video sync with a running clock,
// bit 1 clock mode 2, bit 2 video drawing off, bit 3 a stand-in kind that
// accepts every format instead), then packets of u16 length and bytes, the
// last one taking what is left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzPackets.h"
#include "stream_port.h"
#include "streams/AvsSlotDataProcessor.h"
#include "streams/DSStream.h"
#include "streams/DXVAStream.h"
#include "streams/DecodedStreamKinds.h"
#include "streams/VlcStream.h"

namespace {

// A stream of any kind that takes every format and reads what it is given.
class SinkStream : public CStream, public IPlayerStream {
 public:
  int SetWaveFormat(const WaveFormatRecord& f) override { return Touch(f.extra.data(), f.extra.size()); }
  int SetFormat(const StreamFormatRecord& r) override { return Touch(r.block.data(), r.block.size()); }
  int ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext& c) override {
    if (c.sampleInfo) sum_ += uint32_t(c.sampleInfo->actual);
    return Touch(data, length);
  }
  int SetState(int) override { return 0; }
  int NewSegment(const SegmentRecord&) override { return 0; }
  int OnUpdateView(const uint8_t* message, uint32_t length) override { return Touch(message, length); }
  int CreateDecoder(const uint8_t* message, uint32_t length) override { return Touch(message, length); }

 private:
  // Reads every byte, so that a range beyond the message shows.
  int Touch(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) sum_ += data[i];
    return 0;
  }
  uint32_t sum_ = 0;
};

class SinkKinds : public StreamKindFactory {
 public:
  std::unique_ptr<CStream> Make(StreamKind, const StreamKindArgs&) override {
    return std::unique_ptr<CStream>(new SinkStream);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const bool registered = [] {
    RegisterDecodedStreamKinds();
    RegisterDirectShowStreams();
    RegisterMediaFoundationStreams();
    RegisterDxvaStreamKind();
    return true;
  }();
  (void)registered;
  const uint8_t setup = data[0];
  CClientConnectionParameter parameters;
  parameters.useSound = 1;
  parameters.useAudioVideoSynch = setup & 1;
  auto port = MakeStreamPort();
  port->parameters = &parameters;
  port->drawing = (setup & 4) ? 0 : 1;
  if (setup & 1) port->clock.StorePosition(1000);
  port->clock.SetMode((setup & 2) ? AudioClockRecord::kBufferPlan : AudioClockRecord::kPcmFormat);
  CAvsSlotDataProcessor processor(0);
  if (setup & 8) processor.SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(new SinkKinds));
  processor.AttachPort(3, port);
  ForEachFuzzPacket(data, size, 1, [&](const std::vector<uint8_t>& bytes, size_t at) {
    // The packet as the pool holds it: a buffer the preparation may replace.
    std::unique_ptr<uint8_t[]> packet(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), packet.get());
    uint32_t length = uint32_t(bytes.size());
    bool preDecoded = false;
    processor.PrepareMessage(packet, length, preDecoded);
    processor.ProcessMessage(packet.get(), length, preDecoded);
    // The clock moves on with every packet.
    if (setup & 1) port->clock.StorePosition(1000 + at);
  });
  return 0;
}
