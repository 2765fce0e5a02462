// The hardware-decoded stream on the Direct3D 9 / DXVA2 model: one stream
// on a real surface per adapter, kept across inputs (its device is costly
// to make) and closed after each, so that every input starts without a
// decoder; its format record is made from the first packet as the slot
// makes it from a create message, every further packet a frame record. Input: one setup byte (bits 0-1 the profile: the
// packet's own, DXVA2_ModeH264_E, DXVA2_ModeVC1_D, Intel's H.264; bit 2 an
// Intel adapter instead of an NVIDIA one; bit 3 a device change after the
// first frame), then packets of u16 length and bytes, the last one taking
// what is left.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzPackets.h"
#include "stream_port.h"
#include "pelplat/d3d9model.h"
#include "streams/DXVAStream.h"
#include "sys/ByteReader.h"

namespace {

// Pictures larger than this only make the input slow.
constexpr uint64_t kMaxPixels = 64 * 64;

StreamFormatRecord RecordOf(const std::vector<uint8_t>& message, int profile) {
  StreamFormatRecord r;
  r.size = CDXVAStream::kFormatRecordSize;
  ByteReader in(message.data(), message.size());
  in.Skip(16);
  ReadGuid(in, &r.majorType);
  const GUID chosen[] = {r.majorType, DXVA2_ModeH264_E, DXVA2_ModeVC1_D, kIntelH264VldProfile};
  r.majorType = chosen[profile & 3];
  r.block.assign(message.begin(), message.begin() + std::min<size_t>(message.size(), 184));
  return r;
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  ByteReader in(b.data(), b.size());
  in.Skip(at);
  return in.U32();
}

// The stream of the adapter of that vendor, made the first time.
CDXVAStream& StreamFor(bool intel) {
  struct Kept {
    std::shared_ptr<StreamPort> port = MakeStreamPort();
    HRESULT status = E_FAIL;
    std::unique_ptr<CDXVAStream> stream;
  };
  static Kept kept[2];
  Kept& k = kept[intel];
  if (!k.stream) {
    D3D9ModelAdapter adapter;
    adapter.vendorId = intel ? CDXVAStream::kVendorIntel : CDXVAStream::kVendorNvidia;
    adapter.profiles = {DXVA2_ModeH264_E, DXVA2_ModeVC1_D, DXVA2_ModeVC1_C, kIntelH264VldProfile};
    adapter.bufferSize = 4096;
    adapter.bitstreamBufferSize = 16384;
    D3D9ModelConfigure(adapter);
    k.stream = std::make_unique<CDXVAStream>(k.port, reinterpret_cast<HWND>(StreamPort::kWindow), &k.status, 0);
  }
  return *k.stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CDXVAStream& stream = StreamFor(data[0] & 4);
  bool formatted = false;
  int frames = 0;
  ForEachFuzzPacket(data, size, 1, [&](const std::vector<uint8_t>& packet, size_t) {
    if (!formatted) {
      formatted = true;
      if (uint64_t(U32At(packet, 44)) * U32At(packet, 48) <= kMaxPixels) stream.SetFormat(RecordOf(packet, data[0]));
      return;
    }
    stream.ProcessSample(packet.data(), uint32_t(packet.size()), StreamSampleContext());
    if (++frames == 1 && (data[0] & 8)) D3D9ModelChangeDevice();
  });
  stream.Close();
  return 0;
}
