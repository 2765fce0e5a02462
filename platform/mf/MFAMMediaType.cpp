// Media types from DirectShow media types: the format block is read field
// by field at its documented offsets, every size it gives checked against
// the bytes the block has.
#include <cstddef>
#include <cstdint>

#include "pelplat/mfapi.h"
#include "pelplat/mferror.h"
#include "pelplat/strmif.h"

namespace {

// Layout of the format structures (offsets in bytes).
constexpr uint64_t kVideoInfoSize = 88;       // VIDEOINFOHEADER
constexpr uint64_t kVideoInfo2Size = 112;     // VIDEOINFOHEADER2
constexpr uint64_t kMpeg1InfoFixed = 96;      // MPEG1VIDEOINFO up to bSequenceHeader
constexpr uint64_t kMpeg2InfoFixed = 132;     // MPEG2VIDEOINFO up to dwSequenceHeader
constexpr uint64_t kAvgTimePerFrameAt = 40;   // both video headers
constexpr uint64_t kBmiAt1 = 48, kBmiAt2 = 72;  // BITMAPINFOHEADER
constexpr uint64_t kWaveFormatSize = 18;      // WAVEFORMATEX
constexpr uint64_t kHeAacInfoTail = 12;       // HEAACWAVEINFO after its WAVEFORMATEX
constexpr uint64_t kExtensibleTail = 22;      // WAVEFORMATEXTENSIBLE after its WAVEFORMATEX
constexpr uint16_t kWaveFormatAac = 0x1610;   // WAVE_FORMAT_MPEG_HEAAC
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// Little-endian fields of a block whose length was checked by the caller.
class Block {
 public:
  Block(const BYTE* data, uint64_t size) : data_(data), size_(data ? size : 0) {}
  uint64_t Size() const { return size_; }
  bool Has(uint64_t at, uint64_t n) const { return at <= size_ && n <= size_ - at; }
  uint16_t U16(uint64_t at) const { return static_cast<uint16_t>(data_[at] | (data_[at + 1] << 8)); }
  uint32_t U32(uint64_t at) const {
    return static_cast<uint32_t>(data_[at]) | (static_cast<uint32_t>(data_[at + 1]) << 8) |
           (static_cast<uint32_t>(data_[at + 2]) << 16) | (static_cast<uint32_t>(data_[at + 3]) << 24);
  }
  uint64_t U64(uint64_t at) const { return U32(at) | (static_cast<uint64_t>(U32(at + 4)) << 32); }
  GUID Guid(uint64_t at) const {
    GUID g{U32(at), U16(at + 4), U16(at + 6), {}};
    for (int i = 0; i < 8; ++i) g.Data4[i] = data_[at + 8 + i];
    return g;
  }
  const BYTE* At(uint64_t at) const { return data_ + at; }

 private:
  const BYTE* data_;
  uint64_t size_;
};

uint64_t Gcd(uint64_t a, uint64_t b) {
  while (b) {
    const uint64_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// The frame rate of an average frame duration (100 ns units), exact for the
// common rates whose durations are rounded.
bool FrameRateOf(uint64_t avgTimePerFrame, UINT32* numerator, UINT32* denominator) {
  static const struct {
    uint64_t duration;
    UINT32 numerator, denominator;
  } kCommon[] = {
      {166833, 60000, 1001}, {333667, 30000, 1001}, {417188, 24000, 1001}, {166667, 60, 1},
      {333333, 30, 1},       {200000, 50, 1},       {400000, 25, 1},       {416667, 24, 1},
  };
  if (avgTimePerFrame == 0) return false;
  for (const auto& c : kCommon)
    if (c.duration == avgTimePerFrame) {
      *numerator = c.numerator;
      *denominator = c.denominator;
      return true;
    }
  uint64_t num = 10000000, den = avgTimePerFrame;
  const uint64_t g = Gcd(num, den);
  num /= g;
  den /= g;
  if (den > UINT32_MAX) return false;
  *numerator = static_cast<UINT32>(num);
  *denominator = static_cast<UINT32>(den);
  return true;
}

HRESULT SetBlobIfAny(IMFMediaType* type, REFGUID key, const Block& block, uint64_t at, uint64_t size) {
  if (size == 0) return S_OK;
  if (size > UINT32_MAX) return E_INVALIDARG;
  return type->SetBlob(key, block.At(at), static_cast<UINT32>(size));
}

// VIDEOINFOHEADER or VIDEOINFOHEADER2 and what follows it: the picture size
// and rate; the bytes after the structure are the codec's own (MPEG
// formats put their sequence header there instead).
HRESULT InitVideo(IMFMediaType* type, const Block& block, uint64_t bmiAt) {
  const UINT32 width = block.U32(bmiAt + 4);
  const int32_t height = static_cast<int32_t>(block.U32(bmiAt + 8));
  const UINT32 rows = height < 0 ? 0u - static_cast<UINT32>(height) : static_cast<UINT32>(height);
  HRESULT hr = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, width, rows);
  UINT32 num = 0, den = 0;
  if (SUCCEEDED(hr) && FrameRateOf(block.U64(kAvgTimePerFrameAt), &num, &den))
    hr = MFSetAttributeSize(type, MF_MT_FRAME_RATE, num, den);
  return hr;
}

HRESULT InitVideoInfo(IMFMediaType* type, const Block& block, uint64_t fixedSize, uint64_t bmiAt) {
  HRESULT hr = InitVideo(type, block, bmiAt);
  if (SUCCEEDED(hr)) hr = SetBlobIfAny(type, MF_MT_USER_DATA, block, fixedSize, block.Size() - fixedSize);
  return hr;
}

// MPEG1VIDEOINFO and MPEG2VIDEOINFO: a video header, then cbSequenceHeader
// bytes of sequence header.
HRESULT InitMpegVideo(IMFMediaType* type, const Block& block, uint64_t headerSize, uint64_t bmiAt,
                      uint64_t fixedSize) {
  const uint64_t sequenceBytes = block.U32(headerSize + 4);
  HRESULT hr = InitVideo(type, block, bmiAt);
  if (SUCCEEDED(hr)) hr = SetBlobIfAny(type, MF_MT_MPEG_SEQUENCE_HEADER, block, fixedSize, sequenceBytes);
  return hr;
}

// WAVEFORMATEX and the cbSize bytes after it. The subtype comes from the
// format tag (or the sub-format of an extensible format).
HRESULT InitAudio(IMFMediaType* type, const Block& block) {
  const uint16_t tag = block.U16(0);
  const uint64_t extra = block.U16(16);
  const GUID subtype = tag == kWaveFormatExtensible ? block.Guid(kWaveFormatSize + 6) : FourccSubtype(tag);
  HRESULT hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, block.U16(2));
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, block.U32(4));
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, block.U32(8));
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, block.U16(12));
  if (SUCCEEDED(hr) && block.U16(14)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, block.U16(14));
  if (SUCCEEDED(hr) && tag == kWaveFormatAac) {
    // HEAACWAVEINFO: payload type, profile and level, then the
    // AudioSpecificConfig; the decoder takes all of it as user data.
    hr = type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, block.U16(kWaveFormatSize));
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, block.U16(kWaveFormatSize + 2));
  }
  if (SUCCEEDED(hr)) hr = SetBlobIfAny(type, MF_MT_USER_DATA, block, kWaveFormatSize, extra);
  return hr;
}

enum FormatKind { kVideo, kVideo2, kMpeg1, kMpeg2, kWave, kUnknown };

HRESULT CheckBlock(FormatKind kind, const Block& block) {
  switch (kind) {
    case kVideo:
      return block.Has(0, kVideoInfoSize) ? S_OK : E_INVALIDARG;
    case kVideo2:
      return block.Has(0, kVideoInfo2Size) ? S_OK : E_INVALIDARG;
    case kMpeg1:
    case kMpeg2: {
      const uint64_t fixed = kind == kMpeg1 ? kMpeg1InfoFixed : kMpeg2InfoFixed;
      const uint64_t header = kind == kMpeg1 ? kVideoInfoSize : kVideoInfo2Size;
      if (!block.Has(0, fixed)) return E_INVALIDARG;
      return block.Has(fixed, block.U32(header + 4)) ? S_OK : E_INVALIDARG;
    }
    case kWave: {
      if (!block.Has(0, kWaveFormatSize)) return E_INVALIDARG;
      const uint16_t tag = block.U16(0);
      const uint64_t extra = block.U16(16);
      if (!block.Has(kWaveFormatSize, extra)) return E_INVALIDARG;
      if (tag == kWaveFormatExtensible && extra < kExtensibleTail) return E_INVALIDARG;
      if (tag == kWaveFormatAac && extra < kHeAacInfoTail) return E_INVALIDARG;
      return S_OK;
    }
    default:
      return MF_E_INVALIDMEDIATYPE;
  }
}

}  // namespace

HRESULT MFInitMediaTypeFromAMMediaType(IMFMediaType* type, const AM_MEDIA_TYPE* amType) {
  if (!type || !amType) return E_POINTER;
  if (amType->cbFormat && !amType->pbFormat) return E_INVALIDARG;
  const Block block(amType->pbFormat, amType->cbFormat);
  const GUID& format = amType->formattype;
  FormatKind kind = kUnknown;
  if (format == FORMAT_VideoInfo)
    kind = kVideo;
  else if (format == FORMAT_VideoInfo2)
    kind = kVideo2;
  else if (format == FORMAT_MPEGVideo)
    kind = kMpeg1;
  else if (format == FORMAT_MPEG2Video)
    kind = kMpeg2;
  else if (format == FORMAT_WaveFormatEx)
    kind = kWave;
  if (kind == kUnknown) return MF_E_INVALIDMEDIATYPE;
  // A block that does not hold what it claims leaves the type untouched.
  HRESULT hr = CheckBlock(kind, block);
  if (FAILED(hr)) return hr;
  hr = type->SetGUID(MF_MT_MAJOR_TYPE, amType->majortype);
  if (SUCCEEDED(hr) && kind != kWave) hr = type->SetGUID(MF_MT_SUBTYPE, amType->subtype);
  if (FAILED(hr)) return hr;
  switch (kind) {
    case kVideo:
      return InitVideoInfo(type, block, kVideoInfoSize, kBmiAt1);
    case kVideo2:
      return InitVideoInfo(type, block, kVideoInfo2Size, kBmiAt2);
    case kMpeg1:
      return InitMpegVideo(type, block, kVideoInfoSize, kBmiAt1, kMpeg1InfoFixed);
    case kMpeg2:
      return InitMpegVideo(type, block, kVideoInfo2Size, kBmiAt2, kMpeg2InfoFixed);
    default:
      return InitAudio(type, block);
  }
}
