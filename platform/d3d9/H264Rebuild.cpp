#include "H264Rebuild.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr size_t kParamsSize = 228;  // up to slice_group_change_rate_minus1
constexpr size_t kMatricesSize = 6 * 16 + 2 * 64;

class BitWriter {
 public:
  void U(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Ue(uint32_t v) {
    const uint64_t x = uint64_t(v) + 1;
    int bits = 0;
    while ((x >> bits) > 1) ++bits;
    U(0, bits);
    for (int i = bits; i >= 0; --i) Bit(uint32_t(x >> i) & 1);
  }
  void Se(int32_t v) { Ue(v > 0 ? uint32_t(2 * v - 1) : uint32_t(-2 * int64_t(v))); }
  // The stop bit, the padding, and the NAL with its start code and
  // emulation prevention.
  void AppendNal(uint8_t header, std::vector<uint8_t>& out) {
    Bit(1);
    while (count_ % 8) Bit(0);
    out.insert(out.end(), {0, 0, 0, 1, header});
    int zeros = 0;
    for (uint8_t b : bytes_) {
      if (zeros >= 2 && b <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(b);
      zeros = b == 0 ? zeros + 1 : 0;
    }
  }

 private:
  void Bit(uint32_t b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= uint8_t(0x80 >> (count_ % 8));
    ++count_;
  }
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

uint32_t U16(const uint8_t* p) { return p[0] | p[1] << 8; }

// The scaling lists, or nothing when they are all flat (16).
bool WriteScalingLists(BitWriter& w, const uint8_t* matrices, size_t size, int lists) {
  if (!matrices || size < kMatricesSize ||
      std::all_of(matrices, matrices + kMatricesSize, [](uint8_t v) { return v == 16; })) {
    w.U(0, 1);
    return false;
  }
  w.U(1, 1);
  for (int i = 0; i < lists; ++i) {
    const uint8_t* list = i < 6 ? matrices + 16 * i : matrices + 96 + 64 * (i - 6);
    const int count = i < 6 ? 16 : 64;
    w.U(1, 1);  // present; the entries as deltas in scan order
    int last = 8;
    for (int j = 0; j < count; ++j) {
      int delta = int(list[j]) - last;
      if (delta > 127) delta -= 256;
      if (delta < -128) delta += 256;
      w.Se(delta);
      last = list[j];
    }
  }
  return true;
}

// The first slice's pic_parameter_set_id.
uint32_t SlicePpsId(const uint8_t* slices, size_t size) {
  for (size_t i = 0; i + 4 < size; ++i) {
    if (slices[i] != 0 || slices[i + 1] != 0 || slices[i + 2] != 1) continue;
    const int type = slices[i + 3] & 0x1F;
    if (type != 1 && type != 5) continue;
    uint64_t bits = 0;
    int have = 0;
    size_t at = i + 4;
    auto bit = [&]() -> uint32_t {
      if (have == 0) {
        if (at >= size) return 1;
        bits = slices[at++];
        have = 8;
      }
      --have;
      return (bits >> have) & 1;
    };
    auto ue = [&]() {
      int zeros = 0;
      while (bit() == 0 && zeros < 31) ++zeros;
      uint32_t v = 0;
      for (int k = 0; k < zeros; ++k) v = v << 1 | bit();
      return (1u << zeros) - 1 + v;
    };
    ue();
    ue();
    return ue();
  }
  return 0;
}

}  // namespace

struct H264Rebuild::Codec {
  AVCodecContext* context = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  ~Codec() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
  }
};

H264Rebuild::H264Rebuild() = default;
H264Rebuild::~H264Rebuild() = default;

bool H264Rebuild::Decode(const uint8_t* pp, size_t ppSize, const uint8_t* matrices, size_t matricesSize,
                         const uint8_t* slices, size_t slicesSize, uint32_t surfaceCount, const Output& output) {
  if (!pp || ppSize < kParamsSize || !slices || slicesSize == 0 || surfaceCount == 0) return false;
  const uint32_t bitFields = U16(pp + 6);
  const uint32_t chromaFormat = (bitFields >> 4) & 3;
  const bool frameMbsOnly = bitFields & (1u << 12);
  const bool mbaff = bitFields & (1u << 1);
  const uint32_t pocType = pp[217];
  // Type 1 order counts need offsets the picture parameters do not carry;
  // slice groups need their map;
  // only 8-bit 4:2:0 lands in an NV12 surface.
  if (pocType == 1 || pp[223] != 0 || chromaFormat != 1 || pp[8] != 0 || pp[9] != 0) return false;
  const uint32_t numRefFrames = pp[5];
  // The client's queue shows a picture once more than this many wait.
  const uint32_t reorder = std::min(surfaceCount - 1, std::max(3u, numRefFrames));

  std::vector<uint8_t> packet;
  BitWriter sps;
  sps.U(100, 8);  // High: every tool of 4:2:0 8-bit
  sps.U(0, 8);
  sps.U(51, 8);
  sps.Ue(0);
  sps.Ue(chromaFormat);
  sps.Ue(pp[8]);
  sps.Ue(pp[9]);
  sps.U(0, 1);
  WriteScalingLists(sps, matrices, matricesSize, 8);
  sps.Ue(pp[216]);
  sps.Ue(pocType);
  if (pocType == 0) sps.Ue(pp[218]);
  sps.Ue(numRefFrames);
  sps.U(0, 1);
  sps.Ue(U16(pp + 0));
  const uint32_t heightMbs = U16(pp + 2) + 1;
  sps.Ue(frameMbsOnly ? heightMbs - 1 : heightMbs / 2 - 1);
  sps.U(frameMbsOnly, 1);
  if (!frameMbsOnly) sps.U(mbaff, 1);
  sps.U(pp[220], 1);
  sps.U(0, 1);  // no cropping
  sps.U(1, 1);  // VUI: only the reorder limit
  sps.U(0, 5);  // aspect ratio, overscan, video signal, chroma location, timing
  sps.U(0, 3);  // HRD parameters, picture structure
  sps.U(1, 1);
  sps.U(1, 1);
  sps.Ue(0);
  sps.Ue(0);
  sps.Ue(16);
  sps.Ue(16);
  sps.Ue(reorder);
  sps.Ue(std::max(reorder, numRefFrames));
  sps.AppendNal(0x67, packet);

  BitWriter pps;
  pps.Ue(SlicePpsId(slices, slicesSize));
  pps.Ue(0);
  pps.U(pp[221], 1);
  pps.U(pp[222], 1);
  pps.Ue(0);
  pps.Ue(pp[173]);
  pps.Ue(pp[174]);
  pps.U((bitFields >> 8) & 1, 1);
  pps.U((bitFields >> 9) & 3, 2);
  pps.Se(int8_t(pp[172]));
  pps.Se(int8_t(pp[168]));
  pps.Se(int8_t(pp[169]));
  pps.U(pp[225], 1);
  pps.U((bitFields >> 7) & 1, 1);
  pps.U(pp[226], 1);
  pps.U((bitFields >> 13) & 1, 1);
  pps.U(0, 1);
  pps.Se(int8_t(pp[170]));
  pps.AppendNal(0x68, packet);
  packet.insert(packet.end(), slices, slices + slicesSize);

  if (!codec_) {
    auto codec = std::make_unique<Codec>();
    const AVCodec* h264 = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!h264) return false;
    codec->context = avcodec_alloc_context3(h264);
    codec->packet = av_packet_alloc();
    codec->frame = av_frame_alloc();
    if (!codec->context || !codec->packet || !codec->frame) return false;
    codec->context->thread_count = 1;
    if (avcodec_open2(codec->context, h264, nullptr) < 0) return false;
    codec_ = std::move(codec);
  }
  packet.resize(packet.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  codec_->packet->data = packet.data();
  codec_->packet->size = int(packet.size() - AV_INPUT_BUFFER_PADDING_SIZE);
  codec_->packet->pts = pp[4] & 0x7F;
  const int sent = avcodec_send_packet(codec_->context, codec_->packet);
  av_packet_unref(codec_->packet);
  if (sent < 0) return false;
  while (avcodec_receive_frame(codec_->context, codec_->frame) == 0) {
    output(int(codec_->frame->pts), codec_->frame);
    av_frame_unref(codec_->frame);
  }
  return true;
}
