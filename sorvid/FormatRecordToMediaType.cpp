#include "FormatRecordToMediaType.h"

#include <cstring>
#include <vector>

namespace {

uint32_t ReadU32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// The smallest block each video format type needs (its fixed part).
uint64_t MinimumBlock(const GUID& formatType) {
  if (formatType == FORMAT_VideoInfo) return sizeof(VIDEOINFOHEADER);
  if (formatType == FORMAT_VideoInfo2) return sizeof(VIDEOINFOHEADER2);
  if (formatType == FORMAT_MPEGVideo) return offsetof(MPEG1VIDEOINFO, bSequenceHeader);
  if (formatType == FORMAT_MPEG2Video) return offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
  return 0;
}

HRESULT CopyBlock(CMediaType* type, const uint8_t* block, uint64_t length, HRESULT onFailure) {
  if (length == 0) {
    type->ResetFormatBuffer();
    return S_OK;
  }
  return type->SetFormat(block, static_cast<ULONG>(length)) ? S_OK : onFailure;
}

}  // namespace

HRESULT FormatRecordToMediaType(const StreamFormatRecord* record, CMediaType* type) {
  if (!record || !type) return E_FAIL;
  if (record->size < StreamFormatRecord::kHeadSize) return E_FAIL;
  const uint64_t blockLength = uint64_t{record->size} - StreamFormatRecord::kHeadSize;
  if (record->block.size() < blockLength) return E_FAIL;
  const uint8_t* block = record->block.data();

  if (record->majorType == MEDIATYPE_Audio) {
    if (record->formatType != FORMAT_WaveFormatEx || blockLength < sizeof(WAVEFORMATEX)) return E_FAIL;
    const uint64_t extra = static_cast<uint16_t>(block[16] | (block[17] << 8));
    if (sizeof(WAVEFORMATEX) + extra > blockLength) return E_FAIL;
    std::vector<uint8_t> wave(block, block + sizeof(WAVEFORMATEX) + extra);
    AM_MEDIA_TYPE built{};
    const HRESULT hr = CreateAudioMediaType(reinterpret_cast<const WAVEFORMATEX*>(wave.data()), &built, TRUE);
    if (SUCCEEDED(hr)) type->Set(built);
    FreeMediaType(built);
    return hr;
  }
  if (record->majorType != MEDIATYPE_Video) return E_FAIL;
  const uint64_t minimum = MinimumBlock(record->formatType);
  if (minimum == 0 || blockLength < minimum) return E_FAIL;

  FreeMediaType(*type);
  type->InitMediaType();
  type->majortype = record->majorType;
  type->subtype = record->subtype;
  type->formattype = record->formatType;
  if (record->formatType == FORMAT_VideoInfo) {
    type->SetSampleSize(record->sampleSize);
    type->bTemporalCompression = (record->flags & StreamFormatRecord::kTemporalCompression) ? TRUE : FALSE;
    type->bFixedSizeSamples = (record->flags & StreamFormatRecord::kFixedSizeSamples) ? TRUE : FALSE;
    type->pUnk = nullptr;
    // The block is the header and the picture header its biSize counts.
    const uint64_t biSize = ReadU32(block + VIDEOINFOHEADER_BMI_OFFSET);
    const uint64_t length = VIDEOINFOHEADER_BMI_OFFSET + biSize;
    if (biSize < sizeof(BITMAPINFOHEADER) || length > blockLength) return E_FAIL;
    return CopyBlock(type, block, length, E_FAIL);
  }
  if (record->formatType == FORMAT_VideoInfo2) {
    type->bFixedSizeSamples = record->flags & StreamFormatRecord::kFixedSizeSamples;
    type->bTemporalCompression = record->flags & StreamFormatRecord::kTemporalCompression;
    type->lSampleSize = record->sampleSize;
  } else {
    type->bFixedSizeSamples = FALSE;
    type->bTemporalCompression = FALSE;
  }
  return CopyBlock(type, block, blockLength, E_OUTOFMEMORY);
}

uint32_t DsVideoDecoderBit(const GUID& subtype) {
  struct Entry {
    uint32_t bit;
    const GUID* guid;
    uint32_t fourcc1, fourcc2;
  };
  static const Entry kTable[] = {
      {0x1, &MEDIASUBTYPE_RGB24, 0, 0},
      {0x2, nullptr, PELPLAT_FOURCC('M', 'J', 'P', 'G'), 0},
      {0x4, &MEDIASUBTYPE_MPEG1Payload, 0, 0},
      {0x8, &MEDIASUBTYPE_MPEG2_VIDEO, 0, 0},
      {0x10, nullptr, PELPLAT_FOURCC('H', '2', '6', '4'), PELPLAT_FOURCC('h', '2', '6', '4')},
      {0x20, nullptr, PELPLAT_FOURCC('X', 'V', 'I', 'D'), PELPLAT_FOURCC('x', 'v', 'i', 'd')},
      {0x40, nullptr, PELPLAT_FOURCC('D', 'I', 'V', 'X'), PELPLAT_FOURCC('d', 'i', 'v', 'x')},
      {0x80, nullptr, PELPLAT_FOURCC('D', 'X', '5', '0'), PELPLAT_FOURCC('d', 'x', '5', '0')},
      {0x100, nullptr, PELPLAT_FOURCC('D', 'I', 'V', '3'), PELPLAT_FOURCC('d', 'i', 'v', '3')},
      {0x4000, nullptr, PELPLAT_FOURCC('W', 'M', 'V', '3'), 0},
      {0x8000, nullptr, PELPLAT_FOURCC('W', 'V', 'C', '1'), 0},
      {0x10000, nullptr, PELPLAT_FOURCC('a', 'v', 'c', '1'), PELPLAT_FOURCC('A', 'V', 'C', '1')},
  };
  for (const Entry& e : kTable) {
    if (e.guid && *e.guid == subtype) return e.bit;
    if (e.fourcc1 && FourccSubtype(e.fourcc1) == subtype) return e.bit;
    if (e.fourcc2 && FourccSubtype(e.fourcc2) == subtype) return e.bit;
  }
  return 0;
}
