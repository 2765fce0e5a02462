// The exported functions: the format conversion with its bounds, the
// answers to null and state arguments, and the decoder mask.
#include <gtest/gtest.h>

#include <thread>

#include "FormatRecordToMediaType.h"
#include "Sorvid.h"
#include "SorvidTestSupport.h"
#include "pelplat/dshowreg.h"

namespace {

PELPLAT_FOURCC_GUID(MEDIASUBTYPE_H264, 'H', '2', '6', '4');

class SorvidExportsTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  void TearDown() override { CoUninitialize(); }
};

struct ConversionCase {
  const char* name;
  StreamFormatRecord record;
  HRESULT result;
  ULONG blockLength;  // of the media type, when the result is S_OK
};

StreamFormatRecord WithSize(StreamFormatRecord r, uint32_t size) {
  r.size = size;
  return r;
}
StreamFormatRecord WithU32(StreamFormatRecord r, size_t at, uint32_t v) {
  PutU32(r.block, at, v);
  return r;
}
StreamFormatRecord Audio(const GUID& formatType, size_t blockSize, uint16_t cbSize) {
  StreamFormatRecord r;
  r.majorType = MEDIATYPE_Audio;
  r.subtype = MEDIASUBTYPE_PCM;
  r.formatType = formatType;
  r.block.assign(blockSize, 0);
  if (blockSize >= 18) {
    PutU16(r.block, 0, 0x55);
    PutU16(r.block, 12, 4);
    PutU16(r.block, 16, cbSize);
  }
  r.size = static_cast<uint32_t>(64 + blockSize);
  return r;
}

TEST_F(SorvidExportsTest, FormatRecordsConvertWithinTheirBlocks) {
  const StreamFormatRecord vih = VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240);
  const ConversionCase cases[] = {
      {"video info: 48 + biSize", vih, S_OK, 88},
      {"video info: the size field beyond the block is refused", WithSize(vih, 64 + 200), E_FAIL, 0},
      {"video info: a larger block still copies 48 + biSize",
       VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 120, 320, 240), S_OK, 88},
      {"video info: biSize past the block", WithU32(vih, 48, 41), E_FAIL, 0},
      {"video info: biSize that wraps in 32 bits", WithU32(vih, 48, 0xFFFFFFF0u), E_FAIL, 0},
      {"video info: block shorter than its structure", VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 87, 1, 1),
       E_FAIL, 0},
      {"video info 2: size - 64", VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo2, 112, 320, 240, 24, 72), S_OK,
       112},
      {"video info 2: block shorter than its structure",
       VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo2, 111, 320, 240, 24, 72), E_FAIL, 0},
      {"mpeg-2 video: size - 64", VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, 140, 320, 240, 24, 72), S_OK,
       140},
      {"mpeg-2 video: too short", VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, 100, 320, 240, 24, 72),
       E_FAIL, 0},
      {"mpeg-1 video: too short", VideoRecord(MEDIASUBTYPE_MPEG1Payload, FORMAT_MPEGVideo, 95, 320, 240), E_FAIL, 0},
      {"size below the head", WithSize(vih, 63), E_FAIL, 0},
      {"size zero", WithSize(vih, 0), E_FAIL, 0},
      {"unknown format type", VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, GUID_NULL, 88, 1, 1), E_FAIL, 0},
      {"audio with a wave format", Audio(FORMAT_WaveFormatEx, 20, 2), S_OK, 20},
      {"audio: cbSize past the block", Audio(FORMAT_WaveFormatEx, 20, 3), E_FAIL, 0},
      {"audio: block shorter than a wave format", Audio(FORMAT_WaveFormatEx, 17, 0), E_FAIL, 0},
      {"audio with a video format", Audio(FORMAT_VideoInfo, 88, 0), E_FAIL, 0},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMediaType mt;
    EXPECT_EQ(FormatRecordToMediaType(&c.record, &mt), c.result);
    if (c.result == S_OK) {
      EXPECT_EQ(mt.cbFormat, c.blockLength);
    }
  }
  EXPECT_EQ(FormatRecordToMediaType(nullptr, nullptr), E_FAIL);
}

TEST_F(SorvidExportsTest, FlagsReachTheMediaTypeByFormatType) {
  StreamFormatRecord v2 = VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo2, 112, 320, 240, 24, 72);
  v2.flags = 3;
  v2.sampleSize = 77;
  CMediaType mt;
  ASSERT_EQ(FormatRecordToMediaType(&v2, &mt), S_OK);
  EXPECT_EQ(mt.bFixedSizeSamples, 2);
  EXPECT_EQ(mt.bTemporalCompression, 1);
  EXPECT_EQ(mt.lSampleSize, 77u);

  StreamFormatRecord vih = VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240);
  vih.sampleSize = 0;
  vih.flags = 1;
  ASSERT_EQ(FormatRecordToMediaType(&vih, &mt), S_OK);
  EXPECT_FALSE(mt.bFixedSizeSamples);
  EXPECT_TRUE(mt.bTemporalCompression);
}

TEST_F(SorvidExportsTest, NullAndStateArgumentsGetTheirAnswers) {
  const RECT rect{0, 0, 10, 10};
  const SegmentRecord segment;
  const BYTE data[4] = {};
  ALLOCATOR_PROPERTIES props{};
  EXPECT_EQ(SorvidInit(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(SorvidSetAllocator(nullptr, &props), E_POINTER);
  EXPECT_EQ(SorvidSelectAndRenderWindowless(nullptr, nullptr, 0, nullptr), E_POINTER);
  EXPECT_EQ(SorvidSelectAndRender(nullptr), E_POINTER);
  EXPECT_EQ(SorvidSetBuffer(nullptr, data, 4, nullptr), E_POINTER);
  EXPECT_EQ(SorvidSetState(nullptr, 3), E_POINTER);
  EXPECT_EQ(SorvidNewSegment(nullptr, &segment), E_POINTER);
  EXPECT_EQ(SorvidFilterEvent(nullptr, 1), E_POINTER);
  EXPECT_EQ(SorvidWindowRect(nullptr, &rect, 0, 0, 0), E_POINTER);
  EXPECT_EQ(SorvidUpdateWindowRectToScroll(nullptr, 0, 0), E_POINTER);
  EXPECT_EQ(SorvidOnParentPaint(nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(SorvidShowWindow(nullptr), E_POINTER);
  EXPECT_EQ(SorvidPlayFileWait(nullptr), E_POINTER);
  EXPECT_EQ(SorvidPlayFileWait(&props), S_OK);

  // A refused record leaves the handle alone and enters no apartment.
  StreamFormatRecord audio = VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240);
  audio.majorType = MEDIATYPE_Audio;
  void* untouched = &props;
  const ULONG depth = CoApartmentDepth();
  EXPECT_EQ(SorvidInit(&audio, &untouched), E_FAIL);
  EXPECT_EQ(untouched, &props);
  EXPECT_EQ(CoApartmentDepth(), depth);

  const StreamFormatRecord record = VideoRecord(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_VideoInfo, 88, 320, 240);
  void* player = nullptr;
  ASSERT_EQ(SorvidInit(&record, &player), S_OK);
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(CoApartmentDepth(), depth + 1);
  struct StateCase {
    uint32_t state;
    HRESULT result;
  };
  for (const StateCase& c : {StateCase{1, S_OK}, {4, S_OK}, {0xFFFFFFFF, S_OK}, {0, E_NOINTERFACE},
                             {2, E_NOINTERFACE}, {3, E_NOINTERFACE}}) {
    SCOPED_TRACE(c.state);
    EXPECT_EQ(SorvidSetState(player, c.state), c.result);
  }
  for (int event : {0, 4, -1}) EXPECT_EQ(SorvidFilterEvent(player, event), S_FALSE);
  for (int event : {1, 2, 3}) EXPECT_EQ(SorvidFilterEvent(player, event), S_OK);
  EXPECT_EQ(SorvidSetBuffer(player, data, 4, nullptr), E_NOINTERFACE);
  EXPECT_EQ(SorvidSetBuffer(player, nullptr, 4, nullptr), E_POINTER);
  EXPECT_EQ(SorvidNewSegment(player, nullptr), E_POINTER);
  EXPECT_EQ(SorvidNewSegment(player, &segment), E_NOINTERFACE);
  EXPECT_EQ(SorvidWindowRect(player, nullptr, 0, 0, 0), E_POINTER);
  EXPECT_EQ(SorvidWindowRect(player, &rect, 0, 0, 0), E_NOINTERFACE);
  EXPECT_EQ(SorvidOnParentPaint(player, nullptr, nullptr), E_NOINTERFACE);
  EXPECT_EQ(SorvidShowWindow(player), E_NOINTERFACE);
  EXPECT_EQ(SorvidUpdateWindowRectToScroll(player, 0, 0), S_OK);
  EXPECT_EQ(SorvidSetAllocator(player, nullptr), E_POINTER);
  EXPECT_EQ(SorvidSetAllocator(player, &props), S_OK);
  EXPECT_EQ(SorvidClose(player), S_OK);
  EXPECT_EQ(CoApartmentDepth(), depth);

  // A null handle still leaves the apartment once.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  EXPECT_EQ(SorvidClose(nullptr), S_OK);
  EXPECT_EQ(CoApartmentDepth(), depth);
}

TEST_F(SorvidExportsTest, DecoderMaskNamesWhatTheRegisteredDecodersAccept) {
  DsRegisterPlatformClasses();
  const auto registered = DsRegisteredFilters();
  DsFilterTemplate decoder;
  for (const auto& f : registered)
    if (f.clsid == CLSID_PelplatAvVideoDecoder) decoder = f;
  ASSERT_EQ(decoder.clsid, CLSID_PelplatAvVideoDecoder) << "libavcodec decodes none of the subtypes";

  uint32_t expected = 0;
  for (const GUID& s : DsAvDecoderSubtypes()) expected |= DsVideoDecoderBit(s);
  EXPECT_EQ(SorvidDetectDsVideoDecoders(), expected);
  // Debian's libavcodec decodes every one of them; "WMV3" and "WVC1" are
  // not registered.
  EXPECT_EQ(expected, 0x2u | 0x4 | 0x8 | 0x10 | 0x20 | 0x40 | 0x80 | 0x100 | 0x10000);

  ASSERT_TRUE(DsUnregisterFilter(CLSID_PelplatAvVideoDecoder));
  EXPECT_EQ(SorvidDetectDsVideoDecoders(), 0u);
  DsRegisterFilter(decoder);
  EXPECT_EQ(SorvidDetectDsVideoDecoders(), expected);
}

TEST_F(SorvidExportsTest, DecoderBitsFollowTheMaskTable) {
  struct BitCase {
    GUID subtype;
    uint32_t bit;
  };
  const BitCase cases[] = {
      {MEDIASUBTYPE_RGB24, 0x1},
      {MEDIASUBTYPE_MJPG, 0x2},
      {MEDIASUBTYPE_MPEG1Payload, 0x4},
      {MEDIASUBTYPE_MPEG2_VIDEO, 0x8},
      {MEDIASUBTYPE_H264, 0x10},
      {FourccSubtype(PELPLAT_FOURCC('h', '2', '6', '4')), 0x10},
      {FourccSubtype(PELPLAT_FOURCC('x', 'v', 'i', 'd')), 0x20},
      {FourccSubtype(PELPLAT_FOURCC('D', 'I', 'V', 'X')), 0x40},
      {FourccSubtype(PELPLAT_FOURCC('d', 'x', '5', '0')), 0x80},
      {FourccSubtype(PELPLAT_FOURCC('D', 'I', 'V', '3')), 0x100},
      {FourccSubtype(PELPLAT_FOURCC('W', 'M', 'V', '3')), 0x4000},
      {FourccSubtype(PELPLAT_FOURCC('W', 'V', 'C', '1')), 0x8000},
      {FourccSubtype(PELPLAT_FOURCC('A', 'V', 'C', '1')), 0x10000},
      {FourccSubtype(PELPLAT_FOURCC('w', 'm', 'v', '3')), 0},
      {MEDIASUBTYPE_RGB32, 0},
  };
  for (const BitCase& c : cases) EXPECT_EQ(DsVideoDecoderBit(c.subtype), c.bit);
}

}  // namespace

namespace {

TEST(SorvidProbe, AnswersOnAThreadOutsideEveryApartment) {
  uint32_t mask = 0;
  std::thread([&mask] { mask = SorvidDetectDsVideoDecoders(); }).join();
  EXPECT_NE(mask, 0u);
}

}  // namespace
