#include <gtest/gtest.h>

#include <QImage>
#include <memory>
#include <vector>

#include "stream_port.h"
#include "pelplat/d3d9model.h"
#include "session/HelloProbes.h"
#include "streams/DXVAStream.h"
#include "streams/StreamKindFactory.h"
#include "sys/ByteReader.h"
#include "testhost/DxvaRecords.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace hd = testhost::dxva;

constexpr int32_t kNoKey = -1;
constexpr uint32_t kSliceControl = 5;
constexpr uint32_t kBitstream = 6;

GUID ToGuid(const hd::Guid& g) {
  ByteReader in(g.data(), g.size());
  GUID out;
  ReadGuid(in, &out);
  return out;
}

// The format record the slot builds from a create message.
StreamFormatRecord FormatOf(const hd::Guid& profile, const hd::Description& d) {
  const Bytes message = hd::CreateMessage(1, profile, 0, d);
  StreamFormatRecord r;
  r.size = 248;
  r.majorType = ToGuid(profile);
  r.block.assign(message.begin(), message.begin() + 184);
  return r;
}

// The grey a flat NV12 luma becomes after the device's conversion.
int Grey(int luma) { return std::min(255, std::max(0, (298 * (luma - 16) + 128) >> 8)); }

class DxvaStream : public ::testing::Test {
 protected:
  void SetUp() override { Configure([](D3D9ModelAdapter&) {}); }
  void TearDown() override {
    stream.reset();
    D3D9ModelConfigure(D3D9ModelAdapter());
  }

  template <typename F>
  void Configure(F change) {
    D3D9ModelAdapter adapter;
    adapter.vendorId = 0x10DE;
    adapter.profiles = {DXVA2_ModeH264_E, DXVA2_ModeVC1_D};
    adapter.patternDecoder = true;  // pictures are flat: the pattern shows which surface is drawn
    change(adapter);
    D3D9ModelConfigure(adapter);
  }
  template <typename F>
  void Change(F change) {
    D3D9ModelAdapter adapter = D3D9ModelCurrent();
    change(adapter);
    D3D9ModelConfigure(adapter);
  }

  int Open(const hd::Guid& profile, hd::Description d = hd::Description()) {
    HRESULT status = E_FAIL;
    stream = std::make_unique<CDXVAStream>(port, reinterpret_cast<HWND>(StreamPort::kWindow), &status, 0);
    EXPECT_EQ(status, S_OK);
    return stream->SetFormat(FormatOf(profile, d));
  }
  int Send(const Bytes& record) {
    return stream->ProcessSample(record.data(), uint32_t(record.size()), StreamSampleContext());
  }
  int SendH264(uint8_t surface, int32_t key, uint8_t luma, uint8_t numRefFrames = 0) {
    return Send(hd::FrameRecord(video, kNoKey,
                                {{0, hd::H264PictureParameters(surface, numRefFrames, false, key, key)},
                                 {kSliceControl, Bytes(10, 0)},
                                 {kBitstream, Bytes(16, luma)}}));
  }
  Bytes Vc1Frame(uint16_t decoded, uint16_t deblocked, bool deblock, uint8_t luma) {
    return hd::FrameRecord(video, kNoKey,
                           {{0, hd::Vc1PictureParameters(decoded, deblocked, deblock)}, {kBitstream, Bytes(8, luma)}});
  }
  // The grey at (x, y) of display 0, or -1 while nothing was drawn there.
  int Shown(int x = 0, int y = 0) {
    const QRgb pixel = port->keeper.GetImage()->pixel(x, y);
    return qRed(pixel) == qGreen(pixel) && qGreen(pixel) == qBlue(pixel) && qRed(pixel) != kUntouched ? qRed(pixel)
                                                                                                     : -1;
  }
  size_t Draws() { return port->Repaints().size(); }

  static constexpr int kUntouched = 0;  // the surface starts black; test lumas stay above 16
  std::shared_ptr<StreamPort> port = MakeStreamPort();
  std::unique_ptr<CDXVAStream> stream;
  hd::Rect video{0, 0, 32, 16};
};

TEST_F(DxvaStream, AFormatRecordNeedsItsWhole248Bytes) {
  struct Case {
    uint32_t size;
    size_t block;
    int result;
  } cases[] = {{247, 183, E_INVALIDARG}, {248, 183, E_INVALIDARG}, {248, 184, 0}, {300, 236, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    HRESULT status = E_FAIL;
    CDXVAStream s(port, nullptr, &status, 0);
    StreamFormatRecord r = FormatOf(hd::H264ProfileE(), hd::Description());
    r.size = c.size;
    r.block.resize(c.block);
    EXPECT_EQ(s.SetFormat(r), c.result);
  }
}

TEST_F(DxvaStream, ARecordForTheOtherVendorsProfileIsTranslated) {
  const GUID intelH264 = kIntelH264VldProfile, intelVc1 = kIntelVc1VldProfile;
  struct Case {
    GUID requested;
    uint32_t recordVendor, adapterVendor;
    GUID used;
  } cases[] = {
      {intelH264, 0x8086, 0x10DE, DXVA2_ModeH264_E},   {intelVc1, 0x8086, 0x10DE, DXVA2_ModeVC1_D},
      {DXVA2_ModeH264_E, 0x10DE, 0x8086, intelH264},   {DXVA2_ModeVC1_D, 0x10DE, 0x8086, intelVc1},
      {intelH264, 0x8086, 0x8086, intelH264},          {DXVA2_ModeH264_E, 0x10DE, 0x1002, DXVA2_ModeH264_E},
      {DXVA2_ModeVC1_C, 0x8086, 0x10DE, DXVA2_ModeVC1_C},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.recordVendor << " on " << c.adapterVendor);
    EXPECT_EQ(CDXVAStream::TranslateProfile(c.requested, c.recordVendor, c.adapterVendor), c.used);
  }
  hd::Description d;
  d.vendor = 0x8086;
  ASSERT_EQ(Open(hd::IntelH264Profile(), d), 0);
  EXPECT_EQ(D3D9ModelStatistics().lastDecoderProfile, DXVA2_ModeH264_E);
}

TEST_F(DxvaStream, TheProbeAnnouncesListedProfilesAndTheOtherVendorsAlias) {
  const GUID unknown{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  struct Case {
    uint32_t vendor;
    std::vector<GUID> profiles;
    uint32_t mask;
  } cases[] = {
      {0x10DE, {DXVA2_ModeH264_E, DXVA2_ModeVC1_D}, 0x200 | 0x800000 | 0x20000000 | 0x10000000},
      {0x1002, {DXVA2_ModeH264_E, DXVA2_ModeVC1_D}, 0x200 | 0x800000},
      {0x8086, {kIntelH264VldProfile}, 0x20000000 | 0x200},
      {0x8086, {kIntelVc1VldProfile, DXVA2_ModeVC1_C}, 0x10000000 | 0x800000 | 0x400000},
      {0x10DE, {DXVA2_ModeH264_F, DXVA2_ModeVC1_D2010, unknown}, 0x400 | 0x1000000},
      {0x10DE, {}, 0},
  };
  RegisterDxvaStreamKind();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.mask);
    Configure([&](D3D9ModelAdapter& a) {
      a.vendorId = c.vendor;
      a.profiles = c.profiles;
    });
    HRESULT status = E_FAIL;
    CDXVAStream probe(GetDesktopWindow(), &status, 0);
    ASSERT_EQ(status, S_OK);
    EXPECT_EQ(probe.ProbeProfiles(), c.mask);
    EXPECT_EQ(ProbeDxvaProfiles(), c.mask);  // what the hello announces
  }
  // The program's own adapter announces the one profile it decodes (no
  // vendor: no alias); nothing when Direct3D is missing.
  D3D9ModelConfigure(D3D9ModelAdapter());
  EXPECT_EQ(ProbeDxvaProfiles(), 0x200u);
  Configure([](D3D9ModelAdapter& a) { a.failDirect3D = true; });
  EXPECT_EQ(ProbeDxvaProfiles(), 0u);
  Configure([](D3D9ModelAdapter& a) { a.createDeviceResult = D3DERR_NOTAVAILABLE; });
  EXPECT_EQ(ProbeDxvaProfiles(), 0u);
}

TEST_F(DxvaStream, TheRegisteredKindIsThisStream) {
  RegisterDxvaStreamKind();
  StreamKindArgs args;
  args.port = port;
  std::unique_ptr<CStream> made = CRegisteredStreamKinds().Make(StreamKind::kDxva, args);
  ASSERT_NE(dynamic_cast<CDXVAStream*>(made.get()), nullptr);
  EXPECT_EQ(made->SetFormat(FormatOf(hd::Vc1ProfileD(), hd::Description())), 0);
}

TEST_F(DxvaStream, PicturesWaitForTheReorderDepthAndLeaveSmallestKeyFirst) {
  ASSERT_EQ(Open(hd::H264ProfileE()), 0);  // 8 surfaces, depth 3
  const struct {
    uint8_t surface;
    int32_t key;
    uint8_t luma;
    int shown;
  } frames[] = {{0, 0, 40, -1}, {1, 6, 60, -1}, {2, 2, 80, -1}, {3, 4, 100, Grey(40)}, {4, 8, 120, Grey(80)},
                {5, 10, 140, Grey(100)}};
  for (const auto& f : frames) {
    SCOPED_TRACE(int(f.key));
    EXPECT_EQ(SendH264(f.surface, f.key, f.luma), 0);
    EXPECT_EQ(Shown(), f.shown);
  }
  EXPECT_EQ(Draws(), 3u);
}

TEST_F(DxvaStream, OrderCountsRestartingAtAnIdrGoOnFromKeyZero) {
  ASSERT_EQ(Open(hd::H264ProfileE()), 0);
  const int32_t keys[] = {0, 2, 4, 6, 0, 2, 4, 6, 8};
  std::vector<int> shown;
  for (int i = 0; i < 9; ++i) {
    SendH264(uint8_t(i % 8), keys[i], uint8_t(30 + 20 * i));
    shown.push_back(Shown());
  }
  // Decode-order lumas 30, 50, ...; the first sequence shows all four
  // pictures before the second begins.
  EXPECT_EQ(shown, (std::vector<int>{-1, -1, -1, Grey(30), Grey(50), Grey(70), Grey(90), Grey(110), Grey(130)}));
}

TEST_F(DxvaStream, KeysRestartingAboveZeroStillLeaveTheQueue) {
  ASSERT_EQ(Open(hd::H264ProfileE()), 0);
  const int32_t keys[] = {10, 12, 14, 16, 2, 4, 6, 8, 18};
  std::vector<int> shown;
  for (int i = 0; i < 9; ++i) {
    SendH264(uint8_t(i % 8), keys[i], uint8_t(30 + 20 * i));
    shown.push_back(Shown());
  }
  // Past the depth without a later key or a key 0, the smallest key goes.
  EXPECT_EQ(shown, (std::vector<int>{-1, -1, -1, Grey(30), Grey(50), Grey(70), Grey(90), Grey(110), Grey(130)}));
}

TEST_F(DxvaStream, TheReorderDepthLeavesOneEntryFree) {
  struct Case {
    uint32_t surfaces;
    uint8_t numRefFrames;
    int firstShown;  // 1-based frame that shows the first picture
  } cases[] = {{8, 0, 4}, {8, 5, 6}, {4, 16, 4}, {2, 16, 2}, {1, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.surfaces << " surfaces, " << int(c.numRefFrames) << " references");
    port = MakeStreamPort();
    hd::Description d;
    d.backBuffers = c.surfaces - 1;
    ASSERT_EQ(Open(hd::H264ProfileE(), d), 0);
    int first = 0;
    for (int frame = 1; frame <= 8 && !first; ++frame) {
      SendH264(uint8_t((frame - 1) % c.surfaces), 2 * frame, 50, c.numRefFrames);
      if (Shown() != -1) first = frame;
    }
    EXPECT_EQ(first, c.firstShown);
  }
}

TEST_F(DxvaStream, AVc1FrameInTwoRecordsIsShownOnceAfterTheSecond) {
  ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
  EXPECT_EQ(Send(hd::FrameRecord(video, kNoKey, {{0, hd::Vc1PictureParameters(1, 1, false)}})), 0);
  EXPECT_EQ(Draws(), 0u);
  EXPECT_EQ(Send(hd::FrameRecord(video, kNoKey, {{kSliceControl, Bytes(10, 0)}, {kBitstream, Bytes(8, 90)}})), 0);
  EXPECT_EQ(Draws(), 1u);
  EXPECT_EQ(Shown(), Grey(90));
  const D3D9ModelStats stats = D3D9ModelStatistics();
  EXPECT_EQ(stats.beginFrameCalls, 1);
  EXPECT_EQ(stats.endFrameCalls, 1);
  // The rest of a picture whose parameters never came is refused.
  EXPECT_EQ(Send(hd::FrameRecord(video, kNoKey, {{kBitstream, Bytes(8, 90)}})), E_INVALIDARG);
  EXPECT_EQ(Draws(), 1u);
}

TEST_F(DxvaStream, AVc1DeblockedSurfaceIsOpenedEndedAndShownOnlyWhenDeblocking) {
  ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
  ASSERT_EQ(Send(Vc1Frame(2, 2, false, 200)), 0);  // surface 2 holds an older picture
  ASSERT_EQ(Shown(), Grey(200));
  // Deblocking off: surface 1 is decoded and shown, though another index is named.
  ASSERT_EQ(Send(Vc1Frame(1, 2, false, 60)), 0);
  EXPECT_EQ(Shown(), Grey(60));
  // Deblocking on: both are opened and the deblocked one is shown.
  ASSERT_EQ(Send(Vc1Frame(3, 4, true, 120)), 0);
  EXPECT_EQ(Shown(), Grey(120));
  const D3D9ModelStats stats = D3D9ModelStatistics();
  EXPECT_EQ(stats.beginFrameCalls, 4);
  EXPECT_EQ(stats.endFrameCalls, 4);
  EXPECT_EQ(stats.endFramesWithoutFrame, 0);
}

TEST_F(DxvaStream, FiveBeginFrameFailuresAreRetriedAndASixthEndsTheFrame) {
  struct Case {
    int failures;
    int result;
    size_t draws;
  } cases[] = {{5, 0, 1}, {6, E_FAIL, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures);
    port = MakeStreamPort();
    ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
    Change([&](D3D9ModelAdapter& a) { a.beginFrameFailures = c.failures; });
    EXPECT_EQ(Send(Vc1Frame(0, 0, false, 80)), c.result);
    EXPECT_EQ(Draws(), c.draws);
    EXPECT_EQ(D3D9ModelStatistics().beginFrameCalls, 6);
    EXPECT_EQ(D3D9ModelStatistics().executeCalls, int(c.draws));
  }
}

TEST_F(DxvaStream, AFrameWhoseExecuteFailsIsNotShown) {
  ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
  Change([](D3D9ModelAdapter& a) { a.executeFailures = 1; });
  EXPECT_EQ(Send(Vc1Frame(0, 0, false, 80)), 0);
  EXPECT_EQ(Draws(), 0u);
  EXPECT_EQ(D3D9ModelStatistics().endFrameCalls, 1);
}

TEST_F(DxvaStream, ADeviceChangeRecreatesTheDecoder) {
  ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
  ASSERT_EQ(Send(Vc1Frame(0, 0, false, 50)), 0);
  D3D9ModelChangeDevice();
  ASSERT_EQ(Send(Vc1Frame(1, 1, false, 150)), 0);
  EXPECT_EQ(Shown(), Grey(150));
  D3D9ModelStats stats = D3D9ModelStatistics();
  EXPECT_EQ(stats.decodersCreated, 2);
  EXPECT_EQ(stats.decodersAlive, 1);
  EXPECT_EQ(stats.lastDecoderProfile, DXVA2_ModeVC1_D);

  // A re-creation that fails reports its error, then the stream has no decoder.
  Change([](D3D9ModelAdapter& a) { a.createDecoderResult = E_OUTOFMEMORY; });
  D3D9ModelChangeDevice();
  EXPECT_EQ(Send(Vc1Frame(0, 0, false, 50)), E_OUTOFMEMORY);
  EXPECT_EQ(Send(Vc1Frame(0, 0, false, 50)), CDXVAStream::kNoDecoder);
  EXPECT_EQ(D3D9ModelStatistics().decodersAlive, 0);
}

TEST_F(DxvaStream, AfterCloseSamplesAreRefusedAndNothingIsDrawn) {
  ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
  EXPECT_EQ(stream->Close(), 0);
  EXPECT_EQ(Send(Vc1Frame(0, 0, false, 50)), CDXVAStream::kNoDecoder);
  EXPECT_EQ(Draws(), 0u);
  EXPECT_EQ(D3D9ModelStatistics().decodersAlive, 0);
  EXPECT_EQ(stream->ProcessSample(nullptr, 10, StreamSampleContext()), E_INVALIDARG);
}

TEST_F(DxvaStream, BadRecordsAreRefusedBeforeAnythingIsSubmitted) {
  Configure([](D3D9ModelAdapter& a) { a.bufferSize = 64; });
  const Bytes slice(10, 0);
  Bytes fiveRecords = hd::FrameRecord(video, kNoKey, {{0, hd::Vc1PictureParameters(0, 0, false)}, {5, slice},
                                                      {6, slice}, {6, slice}, {6, slice}});
  Bytes cut = Vc1Frame(0, 0, false, 50);
  cut.resize(cut.size() - 6);  // the last buffer's contents end past the record
  struct Case {
    const char* what;
    hd::Guid profile;
    Bytes record;
    int result;
    int begins;  // BeginFrame calls
  } cases[] = {
      {"H.264 parameters of 39 bytes", hd::H264ProfileE(),
       hd::FrameRecord(video, kNoKey, {{0, hd::H264PictureParameters(0, 0, false, 0, 0, 39)}}), E_ABORT, 0},
      {"H.264 parameters of 40 bytes", hd::H264ProfileE(),
       hd::FrameRecord(video, kNoKey, {{0, hd::H264PictureParameters(0, 0, false, 0, 0, 40)}}), 0, 1},
      {"H.264 surface past the count", hd::H264ProfileE(),
       hd::FrameRecord(video, kNoKey, {{0, hd::H264PictureParameters(8, 0, false, 0, 0)}}), E_ABORT, 0},
      {"H.264 without parameters", hd::H264ProfileE(), hd::FrameRecord(video, kNoKey, {{6, slice}}), E_ABORT, 0},
      {"VC-1 parameters of 43 bytes", hd::Vc1ProfileD(),
       hd::FrameRecord(video, kNoKey, {{0, Bytes(43, 0)}, {6, slice}}), E_INVALIDARG, 0},
      {"VC-1 surface past the count", hd::Vc1ProfileD(), Vc1Frame(8, 8, false, 50), E_INVALIDARG, 0},
      {"VC-1 deblocked surface past the count", hd::Vc1ProfileD(), Vc1Frame(0, 300, true, 50), E_INVALIDARG, 0},
      {"five buffer records", hd::Vc1ProfileD(), fiveRecords, E_INVALIDARG, 0},
      {"contents past the record", hd::Vc1ProfileD(), cut, E_INVALIDARG, 0},
      {"a buffer larger than the decoder's", hd::Vc1ProfileD(),
       hd::FrameRecord(video, kNoKey, {{0, hd::Vc1PictureParameters(0, 0, false)}, {5, Bytes(65, 7)}}),
       E_INVALIDARG, 1},
      {"an unknown buffer type", hd::Vc1ProfileD(),
       hd::FrameRecord(video, kNoKey, {{0, hd::Vc1PictureParameters(0, 0, false)}, {77, slice}}), E_INVALIDARG, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port = MakeStreamPort();
    ASSERT_EQ(Open(c.profile), 0);
    Change([](D3D9ModelAdapter&) {});  // counts from here
    EXPECT_EQ(Send(c.record), c.result);
    const D3D9ModelStats stats = D3D9ModelStatistics();
    EXPECT_EQ(stats.beginFrameCalls, c.begins);
    EXPECT_EQ(stats.endFrameCalls, c.begins);  // every opened frame is ended
    EXPECT_EQ(Draws(), 0u);
  }
}

TEST_F(DxvaStream, PaddedReadBackRowsAreCopiedRowByRow) {
  hd::Description d;
  d.width = 20;  // 80 bytes a row in a surface with a wider pitch
  d.height = 6;
  video = {4, 2, 24, 8};
  ASSERT_EQ(Open(hd::Vc1ProfileD(), d), 0);
  ASSERT_EQ(Send(Vc1Frame(0, 0, false, 235)), 0);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const bool inside = x >= 4 && x < 24 && y >= 2 && y < 8;
      ASSERT_EQ(Shown(x, y), inside ? 255 : -1) << x << "," << y;
    }
  EXPECT_EQ(port->Repaints(), (std::vector<Repaint>{{4, 2, 20, 6, 0}}));
}

TEST_F(DxvaStream, AnotherRectangleIsDrawnScaled) {
  video = {0, 0, 64, 48};
  ASSERT_EQ(Open(hd::Vc1ProfileD()), 0);
  // Keyed on the desktop's black, as a scaled picture is always keyed.
  ASSERT_EQ(Send(hd::FrameRecord(video, 0, {{0, hd::Vc1PictureParameters(0, 0, false)}, {kBitstream, {150}}})), 0);
  EXPECT_EQ(Shown(0, 0), Grey(150));
  EXPECT_EQ(Shown(63, 47), Grey(150));
  EXPECT_EQ(port->Repaints(), (std::vector<Repaint>{{0, 0, 64, 48, 0}}));
}

TEST_F(DxvaStream, AStreamWithoutDirect3DRefusesItsFormat) {
  Configure([](D3D9ModelAdapter& a) { a.failDirect3D = true; });
  HRESULT status = S_OK;
  stream = std::make_unique<CDXVAStream>(port, nullptr, &status, 0);
  EXPECT_EQ(status, E_ABORT);
  EXPECT_EQ(stream->SetFormat(FormatOf(hd::H264ProfileE(), hd::Description())), CDXVAStream::kNoDecoder);
  Configure([](D3D9ModelAdapter& a) { a.profiles = {DXVA2_ModeVC1_D}; });
  EXPECT_EQ(Open(hd::H264ProfileE()), E_NOINTERFACE);
  hd::Description d;
  d.bitstreamRaw = 9;
  EXPECT_EQ(Open(hd::Vc1ProfileD(), d), CDXVAStream::kNoConfiguration);
  d = hd::Description();
  d.format = 21;
  EXPECT_EQ(Open(hd::Vc1ProfileD(), d), E_NOINTERFACE);
}

}  // namespace
