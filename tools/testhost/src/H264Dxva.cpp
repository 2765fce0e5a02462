#include "testhost/H264Dxva.h"

#include <algorithm>
#include <cstring>

#include "testhost/Wire.h"

namespace testhost {
namespace dxva {

namespace {

// Bits of one NAL unit's payload, emulation-prevention bytes removed.
class Bits {
 public:
  explicit Bits(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      if (i >= 2 && data[i] == 3 && data[i - 1] == 0 && data[i - 2] == 0 && zeros_ >= 2) {
        zeros_ = 0;
        continue;
      }
      zeros_ = data[i] == 0 ? zeros_ + 1 : 0;
      rbsp_.push_back(data[i]);
    }
  }
  uint32_t U(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0 && zeros < 32 && ok_) ++zeros;
    return (uint32_t(1) << zeros) - 1 + U(zeros);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
  }
  // More than the stop bit and its zero padding left.
  bool MoreData() const {
    size_t last = rbsp_.size();
    while (last > 0 && rbsp_[last - 1] == 0) --last;
    if (last == 0) return false;
    const int trailing = __builtin_ctz(rbsp_[last - 1]);
    return pos_ < (last - 1) * 8 + (7 - trailing);
  }
  bool Ok() const { return ok_; }

 private:
  uint32_t Bit() {
    if (pos_ >= rbsp_.size() * 8) {
      ok_ = false;
      return 0;
    }
    const uint32_t b = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return b;
  }
  std::vector<uint8_t> rbsp_;
  size_t pos_ = 0;
  int zeros_ = 0;
  bool ok_ = true;
};

struct Nal {
  const uint8_t* data;  // from the header byte
  size_t size;
  int type() const { return data[0] & 0x1F; }
  int refIdc() const { return (data[0] >> 5) & 3; }
};

std::vector<Nal> SplitAnnexB(const Bytes& in) {
  std::vector<Nal> nals;
  size_t i = 0, start = 0;
  bool inside = false;
  while (i + 3 <= in.size()) {
    if (in[i] == 0 && in[i + 1] == 0 && in[i + 2] == 1) {
      if (inside) {
        size_t end = i;
        while (end > start && in[end - 1] == 0) --end;
        nals.push_back({&in[start], end - start});
      }
      i += 3;
      start = i;
      inside = true;
    } else {
      ++i;
    }
  }
  if (inside && start < in.size()) nals.push_back({&in[start], in.size() - start});
  return nals;
}

struct Sps {
  uint32_t chromaFormat = 1, bitDepthLuma = 0, bitDepthChroma = 0, log2MaxFrameNum = 0, pocType = 0,
           log2MaxPocLsb = 0, numRefFrames = 0, widthMbs = 0, heightMapUnits = 0;
  bool frameMbsOnly = true, mbAdaptive = false, direct8x8 = false, deltaPicOrderAlwaysZero = false;
};

struct Pps {
  bool entropy = false, bottomFieldPicOrder = false, weightedPred = false, deblockingControl = false,
       constrainedIntra = false, redundantPicCnt = false, transform8x8 = false;
  uint32_t weightedBipred = 0, refIdxL0 = 0, refIdxL1 = 0;
  int32_t picInitQp = 0, picInitQs = 0, chromaQpOffset = 0, secondChromaQpOffset = 0;
};

bool ReadSps(Bits b, Sps* s, std::string* error) {
  const uint32_t profile = b.U(8);
  b.U(16);  // constraint flags, level
  b.Ue();
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128) {
    s->chromaFormat = b.Ue();
    if (s->chromaFormat == 3) b.U(1);
    s->bitDepthLuma = b.Ue();
    s->bitDepthChroma = b.Ue();
    b.U(1);
    if (b.U(1)) {
      *error = "scaling matrices";
      return false;
    }
  }
  s->log2MaxFrameNum = b.Ue() + 4;
  s->pocType = b.Ue();
  if (s->pocType == 0) {
    s->log2MaxPocLsb = b.Ue() + 4;
  } else if (s->pocType == 1) {
    *error = "order count type 1";
    return false;
  }
  s->numRefFrames = b.Ue();
  b.U(1);
  s->widthMbs = b.Ue() + 1;
  s->heightMapUnits = b.Ue() + 1;
  s->frameMbsOnly = b.U(1);
  if (!s->frameMbsOnly) s->mbAdaptive = b.U(1);
  s->direct8x8 = b.U(1);
  if (s->chromaFormat != 1) *error = "not 4:2:0";
  return b.Ok() && s->chromaFormat == 1;
}

bool ReadPps(Bits b, Pps* p, std::string* error) {
  b.Ue();
  b.Ue();
  p->entropy = b.U(1);
  p->bottomFieldPicOrder = b.U(1);
  if (b.Ue() != 0) {
    *error = "slice groups";
    return false;
  }
  p->refIdxL0 = b.Ue();
  p->refIdxL1 = b.Ue();
  p->weightedPred = b.U(1);
  p->weightedBipred = b.U(2);
  p->picInitQp = b.Se();
  p->picInitQs = b.Se();
  p->chromaQpOffset = b.Se();
  p->deblockingControl = b.U(1);
  p->constrainedIntra = b.U(1);
  p->redundantPicCnt = b.U(1);
  p->secondChromaQpOffset = p->chromaQpOffset;
  if (b.MoreData()) {
    p->transform8x8 = b.U(1);
    if (b.U(1)) {
      *error = "scaling matrices";
      return false;
    }
    p->secondChromaQpOffset = b.Se();
  }
  return b.Ok();
}

struct SliceHead {
  uint32_t firstMb = 0, sliceType = 0, frameNum = 0, pocLsb = 0;
  int32_t deltaPocBottom = 0;
};

SliceHead ReadSliceHead(Bits b, const Nal& nal, const Sps& s, const Pps& p) {
  SliceHead h;
  h.firstMb = b.Ue();
  h.sliceType = b.Ue() % 5;
  b.Ue();
  h.frameNum = b.U(int(s.log2MaxFrameNum));
  if (nal.type() == 5) b.Ue();
  if (s.pocType == 0) {
    h.pocLsb = b.U(int(s.log2MaxPocLsb));
    if (p.bottomFieldPicOrder) h.deltaPocBottom = b.Se();
  }
  return h;
}

void Put16(Bytes& out, size_t at, uint32_t v) {
  out[at] = uint8_t(v);
  out[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

Bytes PictureParameters(const Sps& s, const Pps& p, uint8_t surface, bool intra, bool reference,
                        uint32_t frameNum, int32_t top, int32_t bottom) {
  Bytes pp(kH264PictureParametersSize, 0);
  Put16(pp, 0, s.widthMbs - 1);
  Put16(pp, 2, s.heightMapUnits * (s.frameMbsOnly ? 1 : 2) - 1);
  pp[4] = surface;
  pp[5] = uint8_t(s.numRefFrames);
  const uint32_t bits = (s.mbAdaptive ? 1u << 1 : 0) | (s.chromaFormat << 4) | (reference ? 1u << 6 : 0) |
                        (p.constrainedIntra ? 1u << 7 : 0) | (p.weightedPred ? 1u << 8 : 0) |
                        (p.weightedBipred << 9) | (1u << 11) | (s.frameMbsOnly ? 1u << 12 : 0) |
                        (p.transform8x8 ? 1u << 13 : 0) | (1u << 14) | (intra ? 1u << 15 : 0);
  Put16(pp, 6, bits);
  pp[8] = uint8_t(s.bitDepthLuma);
  pp[9] = uint8_t(s.bitDepthChroma);
  Put32(pp, 32, uint32_t(top));
  Put32(pp, 36, uint32_t(bottom));
  pp[168] = uint8_t(int8_t(p.picInitQs));
  pp[169] = uint8_t(int8_t(p.chromaQpOffset));
  pp[170] = uint8_t(int8_t(p.secondChromaQpOffset));
  pp[171] = 1;  // ContinuationFlag: the fields after it are filled
  pp[172] = uint8_t(int8_t(p.picInitQp));
  pp[173] = uint8_t(p.refIdxL0);
  pp[174] = uint8_t(p.refIdxL1);
  Put16(pp, 214, frameNum);
  pp[216] = uint8_t(s.log2MaxFrameNum - 4);
  pp[217] = uint8_t(s.pocType);
  pp[218] = uint8_t(s.pocType == 0 ? s.log2MaxPocLsb - 4 : 0);
  pp[219] = s.deltaPicOrderAlwaysZero;
  pp[220] = s.direct8x8;
  pp[221] = p.entropy;
  pp[222] = p.bottomFieldPicOrder;
  pp[225] = p.deblockingControl;
  pp[226] = p.redundantPicCnt;
  return pp;
}

}  // namespace

std::vector<H264Picture> H264ToDxva(const Bytes& annexB, uint32_t surfaces, const Rect& target,
                                    int32_t colourKey, std::string* error) {
  std::vector<H264Picture> out;
  Sps sps;
  Pps pps;
  bool haveSps = false, havePps = false;
  std::vector<Nal> slices;
  SliceHead head;
  Nal headNal{nullptr, 0};
  // Order count state: type 0 from the last reference picture, type 2 from the last picture.
  int32_t prevPocMsb = 0;
  uint32_t prevPocLsb = 0, prevFrameNum = 0;
  int64_t frameNumOffset = 0;
  uint32_t next = 0;

  auto flush = [&] {
    if (slices.empty()) return;
    const bool idr = headNal.type() == 5;
    const bool reference = headNal.refIdc() != 0;
    int32_t top = 0, bottom = 0;
    if (sps.pocType == 0) {
      const int32_t maxLsb = 1 << sps.log2MaxPocLsb;
      if (idr) prevPocMsb = 0, prevPocLsb = 0;
      int32_t msb = prevPocMsb;
      if (head.pocLsb < prevPocLsb && prevPocLsb - head.pocLsb >= uint32_t(maxLsb / 2))
        msb += maxLsb;
      else if (head.pocLsb > prevPocLsb && head.pocLsb - prevPocLsb > uint32_t(maxLsb / 2))
        msb -= maxLsb;
      top = msb + int32_t(head.pocLsb);
      bottom = top + head.deltaPocBottom;
      if (reference) prevPocMsb = msb, prevPocLsb = head.pocLsb;
    } else {
      if (idr)
        frameNumOffset = 0;
      else if (prevFrameNum > head.frameNum)
        frameNumOffset += int64_t(1) << sps.log2MaxFrameNum;
      top = idr ? 0 : int32_t(2 * (frameNumOffset + head.frameNum) - (reference ? 0 : 1));
      bottom = top;
      prevFrameNum = head.frameNum;
    }
    H264Picture picture;
    picture.surface = uint8_t(next++ % surfaces);
    picture.orderCount = std::min(top, bottom);
    Bytes slicesData, sliceControl;
    for (const Nal& n : slices) {
      const uint32_t at = uint32_t(slicesData.size());
      slicesData.insert(slicesData.end(), {0, 0, 1});
      slicesData.insert(slicesData.end(), n.data, n.data + n.size);
      wire::Append(sliceControl, at, 4);
      wire::Append(sliceControl, slicesData.size() - at, 4);
      wire::Append(sliceControl, 0, 2);
    }
    const bool intra = head.sliceType == 2 || head.sliceType == 4;
    picture.record = FrameRecord(
        target, colourKey,
        {{0, PictureParameters(sps, pps, picture.surface, intra, reference, head.frameNum, top, bottom)},
         {4, Bytes(6 * 16 + 2 * 64, 16)},
         {5, sliceControl},
         {6, slicesData}});
    out.push_back(std::move(picture));
    slices.clear();
  };

  for (const Nal& nal : SplitAnnexB(annexB)) {
    if (nal.size < 2) continue;
    Bits payload(nal.data + 1, nal.size - 1);
    switch (nal.type()) {
      case 7:
        flush();
        haveSps = ReadSps(payload, &sps, error);
        if (!haveSps) return {};
        break;
      case 8:
        flush();
        havePps = ReadPps(payload, &pps, error);
        if (!havePps) return {};
        break;
      case 1:
      case 5: {
        if (!haveSps || !havePps) break;
        const SliceHead h = ReadSliceHead(payload, nal, sps, pps);
        if (h.firstMb == 0) flush();
        if (slices.empty()) head = h, headNal = nal;
        slices.push_back(nal);
        break;
      }
      default:
        break;
    }
  }
  flush();
  return out;
}

}  // namespace dxva
}  // namespace testhost
