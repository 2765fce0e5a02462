// Media types from DirectShow media types: the documented format blocks
// (VIDEOINFOHEADER, VIDEOINFOHEADER2, MPEG2VIDEOINFO, WAVEFORMATEX with the
// HEAACWAVEINFO tail), their attributes, and blocks that do not hold what
// they claim.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mf/av_clip.h"
#include "pelplat/mfidl.h"
#include "pelplat/objbase.h"
#include "pelplat/strmif.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Little-endian record writer.
struct Rec {
  Bytes b;
  Rec& U16(uint32_t v) { return Put(v, 2); }
  Rec& U32(uint32_t v) { return Put(v, 4); }
  Rec& U64(uint64_t v) { return Put(v, 8); }
  Rec& Zero(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
  Rec& Raw(const Bytes& r) {
    b.insert(b.end(), r.begin(), r.end());
    return *this;
  }
  Rec& Put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
};

// VIDEOINFOHEADER (88 bytes) or VIDEOINFOHEADER2 (112): rectangles, bit
// rates, AvgTimePerFrame, [interlace .. reserved], BITMAPINFOHEADER.
Bytes VideoHeader(bool two, int32_t width, int32_t height, uint64_t avgTimePerFrame, uint32_t fourcc) {
  Rec r;
  r.U32(0).U32(0).U32(width).U32(static_cast<uint32_t>(height < 0 ? -height : height));  // rcSource
  r.Zero(16);                                                                            // rcTarget
  r.U32(4000000).U32(0).U64(avgTimePerFrame);
  if (two) r.U32(0).U32(0).U32(16).U32(9).U32(0).U32(0);
  r.U32(40).U32(static_cast<uint32_t>(width)).U32(static_cast<uint32_t>(height)).U16(1).U16(24).U32(fourcc);
  r.U32(0).U32(0).U32(0).U32(0).U32(0);
  return r.b;
}

// WAVEFORMATEX and its cbSize extra bytes.
Bytes Wave(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes, uint16_t align, uint16_t bits,
           const Bytes& extra) {
  Rec r;
  r.U16(tag).U16(channels).U32(rate).U32(avgBytes).U16(align).U16(bits).U16(static_cast<uint16_t>(extra.size()));
  return r.Raw(extra).b;
}

// HEAACWAVEINFO after its WAVEFORMATEX: payload type, profile-level,
// structure type, reserved; then AudioSpecificConfig. 0x12 0x10 is AAC-LC,
// 44.1 kHz, two channels (object type 2, frequency index 4, channels 2).
const Bytes kAacTail = Rec().U16(0).U16(0x29).U16(0).U16(0).U32(0).Raw({0x12, 0x10}).b;

// H.264 SPS and PPS as an MPEG2VIDEOINFO carries them (length-prefixed).
const Bytes kAvcSequence = {0x00, 0x0A, 0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0x88,
                            0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80};

Bytes Mpeg2Video(int32_t width, int32_t height, uint64_t avgTimePerFrame, const Bytes& sequence,
                 uint32_t claimedSequence) {
  Rec r;
  r.Raw(VideoHeader(true, width, height, avgTimePerFrame, PELPLAT_FOURCC('a', 'v', 'c', '1')));
  r.U32(0).U32(claimedSequence).U32(66).U32(30).U32(4);
  return r.Raw(sequence).b;
}

struct Expect {
  GUID major, subtype;
  std::vector<std::pair<GUID, uint64_t>> u64;  // MF_MT_FRAME_SIZE, MF_MT_FRAME_RATE
  std::vector<std::pair<GUID, uint32_t>> u32;
  std::vector<std::pair<GUID, Bytes>> blobs;
  std::vector<GUID> absent;
};

struct Case {
  const char* name;
  GUID major, subtype, formatType;
  Bytes block;
  Expect expect;
  // Every shorter block is refused (the structure has no open tail).
  bool minimal;
};

uint64_t Pair(uint32_t hi, uint32_t lo) { return (static_cast<uint64_t>(hi) << 32) | lo; }

std::vector<Case> Cases() {
  const GUID h264 = MFVideoFormat_H264, wmv3 = MFVideoFormat_WMV3;
  const Bytes wmvPrivate = {0x4F, 0xF1, 0x08, 0x01};
  std::vector<Case> cases;
  cases.push_back({"VIDEOINFOHEADER, 29.97 fps, codec bytes after it",
                   MEDIATYPE_Video,
                   wmv3,
                   FORMAT_VideoInfo,
                   Rec().Raw(VideoHeader(false, 640, 480, 333667, PELPLAT_FOURCC('W', 'M', 'V', '3'))).Raw(wmvPrivate).b,
                   {MFMediaType_Video,
                    wmv3,
                    {{MF_MT_FRAME_SIZE, Pair(640, 480)}, {MF_MT_FRAME_RATE, Pair(30000, 1001)}},
                    {},
                    {{MF_MT_USER_DATA, wmvPrivate}},
                    {MF_MT_AUDIO_NUM_CHANNELS}},
                   false});
  cases.push_back({"VIDEOINFOHEADER2, bottom-up height, 25 fps",
                   MEDIATYPE_Video,
                   h264,
                   FORMAT_VideoInfo2,
                   VideoHeader(true, 1920, -1080, 400000, PELPLAT_FOURCC('H', '2', '6', '4')),
                   {MFMediaType_Video,
                    h264,
                    {{MF_MT_FRAME_SIZE, Pair(1920, 1080)}, {MF_MT_FRAME_RATE, Pair(25, 1)}},
                    {},
                    {},
                    {MF_MT_USER_DATA}},
                   true});
  cases.push_back({"MPEG2VIDEOINFO with an H.264 sequence header, an uncommon rate",
                   MEDIATYPE_Video,
                   h264,
                   FORMAT_MPEG2Video,
                   Mpeg2Video(320, 240, 3000000, kAvcSequence, static_cast<uint32_t>(kAvcSequence.size())),
                   {MFMediaType_Video,
                    h264,
                    {{MF_MT_FRAME_SIZE, Pair(320, 240)}, {MF_MT_FRAME_RATE, Pair(10, 3)}},
                    {},
                    {{MF_MT_MPEG_SEQUENCE_HEADER, kAvcSequence}},
                    {MF_MT_USER_DATA}},
                   true});
  cases.push_back({"MPEG2VIDEOINFO without a frame duration or sequence header",
                   MEDIATYPE_Video,
                   MEDIASUBTYPE_MPEG2_VIDEO,
                   FORMAT_MPEG2Video,
                   Mpeg2Video(720, 576, 0, {}, 0),
                   {MFMediaType_Video,
                    MEDIASUBTYPE_MPEG2_VIDEO,
                    {{MF_MT_FRAME_SIZE, Pair(720, 576)}},
                    {},
                    {},
                    {MF_MT_FRAME_RATE, MF_MT_MPEG_SEQUENCE_HEADER}},
                   true});
  cases.push_back({"PCM",
                   MEDIATYPE_Audio,
                   MEDIASUBTYPE_PCM,
                   FORMAT_WaveFormatEx,
                   Wave(1, 2, 44100, 176400, 4, 16, {}),
                   {MFMediaType_Audio,
                    MFAudioFormat_PCM,
                    {},
                    {{MF_MT_AUDIO_NUM_CHANNELS, 2},
                     {MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100},
                     {MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 176400},
                     {MF_MT_AUDIO_BLOCK_ALIGNMENT, 4},
                     {MF_MT_AUDIO_BITS_PER_SAMPLE, 16}},
                    {},
                    {MF_MT_USER_DATA, MF_MT_FRAME_SIZE}},
                   true});
  cases.push_back({"AAC: HEAACWAVEINFO and AudioSpecificConfig",
                   MEDIATYPE_Audio,
                   MFAudioFormat_AAC,
                   FORMAT_WaveFormatEx,
                   Wave(0x1610, 2, 44100, 16000, 1, 16, kAacTail),
                   {MFMediaType_Audio,
                    MFAudioFormat_AAC,
                    {},
                    {{MF_MT_AUDIO_NUM_CHANNELS, 2},
                     {MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100},
                     {MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 16000},
                     {MF_MT_AAC_PAYLOAD_TYPE, 0},
                     {MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x29}},
                    {{MF_MT_USER_DATA, kAacTail}},
                    {}},
                   true});
  const Bytes wmaExtra = {0x00, 0x88, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00};
  cases.push_back({"another tag: its extra bytes as user data",
                   MEDIATYPE_Audio,
                   MFAudioFormat_WMAudioV8,
                   FORMAT_WaveFormatEx,
                   Wave(0x0161, 1, 22050, 2500, 742, 0, wmaExtra),
                   {MFMediaType_Audio,
                    MFAudioFormat_WMAudioV8,
                    {},
                    {{MF_MT_AUDIO_NUM_CHANNELS, 1}, {MF_MT_AUDIO_BLOCK_ALIGNMENT, 742}},
                    {{MF_MT_USER_DATA, wmaExtra}},
                    {MF_MT_AUDIO_BITS_PER_SAMPLE}},
                   true});
  // The largest extra part a WAVEFORMATEX can announce.
  const Bytes most(0xFFFF, 0x5A);
  cases.push_back({"the largest cbSize", MEDIATYPE_Audio, MFAudioFormat_MP3, FORMAT_WaveFormatEx,
                   Wave(0x0055, 2, 48000, 16000, 1, 0, most),
                   {MFMediaType_Audio, MFAudioFormat_MP3, {}, {{MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000}},
                    {{MF_MT_USER_DATA, most}}, {}},
                   true});
  return cases;
}

IMFMediaType* Convert(const Case& c, const Bytes& block, HRESULT* hr) {
  IMFMediaType* type = nullptr;
  MFCreateMediaType(&type);
  // An exactly sized copy, so any read past the block is caught.
  std::vector<BYTE> exact(block.begin(), block.end());
  AM_MEDIA_TYPE am{};
  am.majortype = c.major;
  am.subtype = c.subtype;
  am.formattype = c.formatType;
  am.cbFormat = static_cast<ULONG>(exact.size());
  am.pbFormat = exact.empty() ? nullptr : exact.data();
  *hr = MFInitMediaTypeFromAMMediaType(type, &am);
  return type;
}

TEST(MfAmMediaType, FormatBlocksBecomeMediaTypeAttributes) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    HRESULT hr = E_FAIL;
    IMFMediaType* type = Convert(c, c.block, &hr);
    ASSERT_EQ(hr, S_OK);
    GUID g{};
    EXPECT_EQ(type->GetGUID(MF_MT_MAJOR_TYPE, &g), S_OK);
    EXPECT_EQ(g, c.expect.major);
    EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &g), S_OK);
    EXPECT_EQ(g, c.expect.subtype);
    for (const auto& [key, want] : c.expect.u64) {
      UINT64 v = 0;
      EXPECT_EQ(type->GetUINT64(key, &v), S_OK);
      EXPECT_EQ(v, want);
    }
    for (const auto& [key, want] : c.expect.u32) {
      UINT32 v = 0;
      EXPECT_EQ(type->GetUINT32(key, &v), S_OK);
      EXPECT_EQ(v, want);
    }
    for (const auto& [key, want] : c.expect.blobs) {
      UINT32 size = 0;
      ASSERT_EQ(type->GetBlobSize(key, &size), S_OK);
      Bytes got(size);
      EXPECT_EQ(type->GetBlob(key, got.data(), size, &size), S_OK);
      EXPECT_EQ(got, want);
    }
    for (const GUID& key : c.expect.absent) {
      UINT32 size = 0;
      EXPECT_EQ(type->GetBlobSize(key, &size), MF_E_ATTRIBUTENOTFOUND);
      UINT64 v = 0;
      EXPECT_NE(type->GetUINT64(key, &v), S_OK);
    }
    type->Release();
  }
}

// Every cut of a block that has no open tail is refused, and the media
// type is left as it was.
TEST(MfAmMediaType, EveryShorterBlockIsRefusedCleanly) {
  for (const Case& c : Cases()) {
    if (!c.minimal) continue;
    SCOPED_TRACE(c.name);
    const size_t step = c.block.size() > 4096 ? 4099 : 1;
    for (size_t n = 0; n < c.block.size(); n += step) {
      HRESULT hr = S_OK;
      IMFMediaType* type = Convert(c, Bytes(c.block.begin(), c.block.begin() + n), &hr);
      EXPECT_EQ(hr, E_INVALIDARG) << n << " bytes";
      UINT32 count = 1;
      type->GetCount(&count);
      EXPECT_EQ(count, 0u) << n << " bytes";
      type->Release();
    }
  }
}

// Sizes inside a block that reach past it, or that would wrap in 32-bit
// arithmetic.
TEST(MfAmMediaType, SizesThatReachPastTheBlockAreRefused) {
  const Case base = Cases()[2];  // MPEG2VIDEOINFO
  struct Bad {
    const char* name;
    Bytes block;
    GUID formatType;
  } bad[] = {
      {"sequence header longer than the block", Mpeg2Video(320, 240, 0, kAvcSequence, 19), FORMAT_MPEG2Video},
      {"sequence header length near 2^32", Mpeg2Video(320, 240, 0, kAvcSequence, 0xFFFFFFF0u), FORMAT_MPEG2Video},
      {"cbSize beyond the block", Rec().Raw(Wave(1, 2, 8000, 32000, 4, 16, {})).b, FORMAT_WaveFormatEx},
      {"AAC without its HEAACWAVEINFO tail", Wave(0x1610, 2, 44100, 0, 1, 16, {0, 0, 0, 0}), FORMAT_WaveFormatEx},
      {"extensible format without its tail", Wave(0xFFFE, 2, 44100, 0, 4, 16, Bytes(21, 0)), FORMAT_WaveFormatEx},
  };
  bad[2].block[16] = 2;  // cbSize 2, nothing after the structure
  for (const Bad& b : bad) {
    Case c = base;
    c.formatType = b.formatType;
    HRESULT hr = S_OK;
    IMFMediaType* type = Convert(c, b.block, &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << b.name;
    type->Release();
  }
}

TEST(MfAmMediaType, UnknownFormatTypesAndMissingArguments) {
  Case c = Cases()[0];
  c.formatType = GUID_NULL;
  HRESULT hr = S_OK;
  IMFMediaType* type = Convert(c, c.block, &hr);
  EXPECT_EQ(hr, MF_E_INVALIDMEDIATYPE);
  UINT32 count = 1;
  type->GetCount(&count);
  EXPECT_EQ(count, 0u);
  AM_MEDIA_TYPE am{};
  am.formattype = FORMAT_VideoInfo;
  am.cbFormat = 88;  // and no block
  EXPECT_EQ(MFInitMediaTypeFromAMMediaType(type, &am), E_INVALIDARG);
  EXPECT_EQ(MFInitMediaTypeFromAMMediaType(type, nullptr), E_POINTER);
  EXPECT_EQ(MFInitMediaTypeFromAMMediaType(nullptr, &am), E_POINTER);
  type->Release();
}

// An extensible format names its subtype in SubFormat.
TEST(MfAmMediaType, ExtensibleFormatTakesItsSubFormat) {
  Case c = Cases()[4];
  const Bytes tail = Rec().U16(24).U32(3).Raw(Bytes{0x03, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}).b;
  c.block = Wave(0xFFFE, 2, 48000, 384000, 8, 32, tail);
  HRESULT hr = E_FAIL;
  IMFMediaType* type = Convert(c, c.block, &hr);
  ASSERT_EQ(hr, S_OK);
  GUID g{};
  type->GetGUID(MF_MT_SUBTYPE, &g);
  EXPECT_EQ(g, MFAudioFormat_Float);
  type->Release();
}

// The media type made from a real clip's format block drives the
// platform's decoder: the WMV2 codec bytes that follow the
// VIDEOINFOHEADER reach it as user data, and it decodes the clip as ffmpeg
// does.
TEST(MfAmMediaTypeDecode, CodecBytesAfterTheVideoHeaderReachTheDecoder) {
  ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  constexpr int kWidth = 64, kHeight = 48;
  AvClip clip;
  ASSERT_TRUE(clip.Make(kWidth, kHeight, 8, "-c:v wmv2 -pix_fmt yuv420p", "avi"));
  ASSERT_FALSE(clip.extradata.empty());
  const GUID wmv2 = FourccSubtype(PELPLAT_FOURCC('W', 'M', 'V', '2'));
  Case c{"wmv2", MEDIATYPE_Video, wmv2, FORMAT_VideoInfo, {}, {}, false};
  c.block = Rec().Raw(VideoHeader(false, kWidth, kHeight, 400000, PELPLAT_FOURCC('W', 'M', 'V', '2'))).Raw(clip.extradata).b;
  HRESULT hr = E_FAIL;
  IMFMediaType* type = Convert(c, c.block, &hr);
  ASSERT_EQ(hr, S_OK);

  MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, wmv2};
  CLSID* ids = nullptr;
  UINT32 count = 0;
  ASSERT_EQ(MFTEnum(MFT_CATEGORY_VIDEO_DECODER, 0, &input, nullptr, nullptr, &ids, &count), S_OK);
  ASSERT_GE(count, 1u);
  IMFTransform* decoder = nullptr;
  CoCreateInstance(ids[0], nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, reinterpret_cast<void**>(&decoder));
  CoTaskMemFree(ids);
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->SetInputType(0, type, 0), S_OK);
  type->Release();

  std::vector<Bytes> pictures;
  // One output call; a format change takes the NV12 type offered.
  auto takeOutput = [&]() {
    for (;;) {
      MFT_OUTPUT_STREAM_INFO info{};
      decoder->GetOutputStreamInfo(0, &info);
      IMFSample* out = nullptr;
      IMFMediaBuffer* buffer = nullptr;
      MFCreateSample(&out);
      MFCreateMemoryBuffer(info.cbSize ? info.cbSize : 1, &buffer);
      out->AddBuffer(buffer);
      MFT_OUTPUT_DATA_BUFFER data{0, out, 0, nullptr};
      DWORD status = 0;
      const HRESULT result = decoder->ProcessOutput(0, 1, &data, &status);
      if (result == S_OK) {
        BYTE* bytes = nullptr;
        DWORD length = 0;
        buffer->Lock(&bytes, nullptr, &length);
        pictures.emplace_back(bytes, bytes + length);
        buffer->Unlock();
      }
      buffer->Release();
      out->Release();
      if (result != MF_E_TRANSFORM_STREAM_CHANGE) return result;
      IMFMediaType* nv12 = nullptr;
      EXPECT_EQ(decoder->GetOutputAvailableType(0, 0, &nv12), S_OK);
      EXPECT_EQ(decoder->SetOutputType(0, nv12, 0), S_OK);
      nv12->Release();
    }
  };
  IMFMediaType* output = nullptr;
  if (decoder->GetOutputAvailableType(0, 0, &output) == S_OK) {
    decoder->SetOutputType(0, output, 0);
    output->Release();
  }
  for (size_t i = 0; i < clip.packets.size(); ++i) {
    takeOutput();
    IMFSample* in = nullptr;
    IMFMediaBuffer* buffer = nullptr;
    MFCreateSample(&in);
    MFCreateMemoryBuffer(static_cast<DWORD>(clip.packets[i].size()), &buffer);
    BYTE* bytes = nullptr;
    buffer->Lock(&bytes, nullptr, nullptr);
    std::copy(clip.packets[i].begin(), clip.packets[i].end(), bytes);
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(clip.packets[i].size()));
    in->AddBuffer(buffer);
    buffer->Release();
    in->SetSampleTime(static_cast<LONGLONG>(i) * 400000);
    EXPECT_EQ(decoder->ProcessInput(0, in, 0), S_OK) << i;
    in->Release();
  }
  decoder->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
  while (takeOutput() == S_OK) {
  }
  decoder->Release();
  ASSERT_EQ(pictures.size(), clip.nv12Frames.size());
  for (size_t i = 0; i < pictures.size(); ++i) {
    ASSERT_EQ(pictures[i].size(), clip.nv12Frames[i].size()) << i;
    EXPECT_GE(AvClip::Psnr(pictures[i].data(), clip.nv12Frames[i].data(), pictures[i].size()), 40.0) << "picture " << i;
  }
  CoUninitialize();
  MFShutdown();
}

}  // namespace
