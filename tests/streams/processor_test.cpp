// The stream slot processor against a fake session port with a real Qt
// surface: its table, every coded message at its length bounds, the
// flag-byte rules, JPEG frames drawn into the surface, and the bounds it
// keeps on lengths the sender declares.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <QImage>
#include <cstring>
#include <functional>

#include "pelplat/debugout.h"
#include "stream_test_support.h"
#include "testhost/Wire.h"

namespace {

class StreamSlot : public ::testing::Test {
 protected:
  void SetUp() override {
    port = MakeStreamPort();
    parameters.useSound = 1;
    port->parameters = &parameters;
    kinds = new FakeKinds(&log);
    processor.reset(new CAvsSlotDataProcessor(0));
    processor->SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(kinds));
    processor->AttachPort(3, port);
  }
  void Send(const Bytes& message) { processor->OnSlotData(message.data(), uint32_t(message.size())); }
  // A stream of the drawing kind under id.
  void MakeStream(uint32_t id) {
    kinds->makes.insert(StreamKind::kDJ);
    kinds->accepts.insert(StreamKind::kDJ);
    Send(hs::Reserve(id));
    Send(hs::CreateFromFormat(id, SmallFormat(), 0));
    ASSERT_NE(processor->FindStream(id), nullptr);
  }

  StreamLog log;
  CClientConnectionParameter parameters;
  std::shared_ptr<StreamPort> port;
  FakeKinds* kinds = nullptr;
  std::unique_ptr<CAvsSlotDataProcessor> processor;
};

Bytes Resized(Bytes message, size_t length) {
  message.resize(length, 0);
  return message;
}

const hs::Rect kNoRect;

}  // namespace

TEST_F(StreamSlot, IdZeroAndTheEleventhIdFindNoRoom) {
  // Reserving id 0 changes nothing: a lookup for 0 finds a free entry.
  Send(hs::Reserve(0));
  EXPECT_TRUE(processor->HasEntry(0));
  for (uint32_t id = 1; id <= 10; ++id) Send(hs::Reserve(id));
  for (uint32_t id = 1; id <= 10; ++id) EXPECT_TRUE(processor->HasEntry(id)) << id;
  EXPECT_FALSE(processor->HasEntry(0));
  EXPECT_EQ(processor->AddStreamEntry(11, nullptr), -1);
  Send(hs::Reserve(11));
  EXPECT_FALSE(processor->HasEntry(11));
  // Messages for the id without an entry are ignored.
  kinds->makes.insert(StreamKind::kDJ);
  kinds->accepts.insert(StreamKind::kDJ);
  Send(hs::CreateFromFormat(11, SmallFormat(), 0));
  EXPECT_EQ(processor->FindStream(11), nullptr);
  EXPECT_FALSE(log.Contains("make dj"));
  // Reserved entries hold no stream; operations on them answer -1.
  EXPECT_EQ(processor->FindStream(4), nullptr);
  EXPECT_EQ(processor->SendStreamData(4, nullptr, 0, StreamSampleContext()), -1);
  EXPECT_EQ(processor->CloseStream(4), 0);
  EXPECT_FALSE(processor->HasEntry(4));
  EXPECT_EQ(processor->CloseStream(4), -1);
}

TEST_F(StreamSlot, EveryCodedMessageIsCheckedAgainstItsLength) {
  const hs::Rect rect{1, 2, 33, 22};
  hs::FormatRecord format;
  format.block = Bytes(4, 1);
  const struct {
    const char* name;
    Bytes message;
    size_t least;
    bool exact;
    const char* effect;  // a log line, or "reserve" for a new entry
  } cases[] = {
      {"0x30000 reserve", hs::Reserve(9), 88, false, "reserve"},
      {"0x30100 window", hs::WindowRect(7, rect, 0x00FF00), 48, true, "dj.DSSetWindowRect 33 20816 65280"},
      {"0x30200 state", hs::State(7, hs::kRun), 16, false, "dj.SetState 3"},
      {"0x30300 command", hs::Command(7, hs::kBeginFlush), 16, false, "dj.FilterEvent 2"},
      {"0x40200 close", hs::Close(7), 12, false, "dj.Close"},
      {"0x40300 view", hs::ViewUpdate(7, 1, rect), 56, true, "dj.OnUpdateView 56"},
      {"0x50000 segment", hs::NewSegment(7, hs::Segment{77, 88, 1.0}), 36, false, "dj.NewSegment 77"},
      {"0x50100 sample", hs::DirectShowSample(7, hs::SampleInfo(), Bytes{5}), 53, false, "dj.ProcessSample"},
      {"0x50200 jpeg", hs::JpegFrame(7, Bytes(8, 1)), 64, false, "dj.ProcessSample"},
      {"0x50300 h264", hs::H264Frame(Bytes(8, 1), rect), 64, false, "h264.ProcessSample"},
      {"0x50400 player data", hs::PlayerData(0x50400, 7, 1, {}), 76, false, "dj.ProcessSample"},
      {"0x50500 player data", hs::PlayerData(0x50500, 7, 1, Bytes(4, 2)), 80, false, "dj.ProcessSample"},
      {"0x80000 allocator", hs::Allocator(7, 6, 4096, 1, 0), 28, false, "dj.SetAllocator 6"},
      {"0x80100 create", hs::CreateFromFormat(7, format, 0), 92, false, "dj.SetFormat 68"},
      {"0x80200 hardware", hs::CreateHardware(7, hs::FourccGuid(1), 0), 184, false, "dj.SetFormat 248"},
      {"0x80300 player", hs::CreatePlayer(7, 1, 0x34363248, 640, 480, Bytes(4, 3)), 68, false,
       "player.CreateDecoder"},
  };
  for (const auto& c : cases) {
    for (int delta : {-1, 0, 4}) {
      const size_t length = c.least + delta;
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(length));
      SetUp();
      MakeStream(7);
      kinds->makes.insert({StreamKind::kDH264, StreamKind::kDxva, StreamKind::kPlayer});
      kinds->accepts.insert({StreamKind::kDxva, StreamKind::kPlayer});
      ASSERT_GE(c.message.size(), c.least);
      const Bytes message = Resized(c.message, length);
      const size_t before = log.Lines().size();
      Send(message);
      const std::vector<std::string> lines = log.Lines();
      const bool reserved = processor->HasEntry(9);
      bool effect = false;
      for (size_t i = before; i < lines.size(); ++i) effect |= lines[i] == c.effect;
      if (std::string(c.effect) == "reserve") effect = reserved;
      const bool handled = delta == 0 || (delta > 0 && !c.exact);
      EXPECT_EQ(effect, handled);
    }
  }
}

TEST_F(StreamSlot, StateAndCommandRequestsMapToStreamValues) {
  MakeStream(7);
  const struct {
    Bytes message;
    const char* effect;
  } cases[] = {
      {hs::State(7, hs::kStop), "dj.SetState 0"},       {hs::State(7, hs::kPause), "dj.SetState 2"},
      {hs::State(7, hs::kRun), "dj.SetState 3"},        {hs::State(7, hs::kStateOne), "dj.SetState 1"},
      {hs::State(7, hs::kEndStream), nullptr},          {hs::Command(7, hs::kEndStream), "dj.FilterEvent 1"},
      {hs::Command(7, hs::kBeginFlush), "dj.FilterEvent 2"}, {hs::Command(7, hs::kEndFlush), "dj.FilterEvent 3"},
      {hs::Command(7, hs::kRun), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.effect ? c.effect : "nothing");
    const size_t before = log.Lines().size();
    Send(c.message);
    const std::vector<std::string> lines = log.Lines();
    if (c.effect) {
      ASSERT_EQ(lines.size(), before + 1);
      EXPECT_EQ(lines.back(), c.effect);
    } else {
      EXPECT_EQ(lines.size(), before);
    }
  }
}

TEST_F(StreamSlot, JpegFramesGoByTheirRectangle) {
  MakeStream(7);
  const Bytes jpeg = hs::JpegOf(Picture(16, 8));
  // A target rectangle: drawn by the processor, whatever the id says.
  Send(hs::JpegFrame(42, jpeg, hs::Rect{4, 4, 20, 12}));
  EXPECT_EQ(port->Repaints(), (std::vector<Repaint>{{4, 4, 16, 8, 0}}));
  EXPECT_TRUE(log.Samples().empty());
  // A zero right edge: to the stream of its id, as JPEG bytes.
  Send(hs::JpegFrame(7, jpeg));
  ASSERT_EQ(log.Samples().size(), 1u);
  EXPECT_EQ(log.Samples()[0].data, jpeg);
  EXPECT_EQ(log.Samples()[0].context.preDecoded, 0);
  EXPECT_EQ(port->Repaints().size(), 1u);
  EXPECT_STREQ(processor->KindName(), "NSP-DJ");
  // Drawing switched off: dropped on both roads.
  port->drawing = 0;
  Send(hs::JpegFrame(7, jpeg));
  Send(hs::JpegFrame(42, jpeg, hs::Rect{4, 4, 20, 12}));
  EXPECT_EQ(log.Samples().size(), 1u);
  EXPECT_EQ(port->Repaints().size(), 1u);
}

TEST_F(StreamSlot, FlagByteMessagesFollowTheirRules) {
  MakeStream(7);
  Bytes data = hs::LegacyData(7, Bytes{1, 2, 3});
  Bytes withoutBit4 = data;
  withoutBit4[0] = 0x01;
  Bytes type24 = data;
  type24[1] = 24;
  Bytes overlong = data;  // counts one byte more than was delivered
  overlong[4] = uint8_t(overlong[4] + 1);
  Bytes controlType24 = hs::LegacyControl(24, 3, 7);
  const uint32_t counted = processor->ByteCount();
  for (const Bytes* ignored : {&withoutBit4, &type24, &overlong, &controlType24}) {
    Send(*ignored);
    EXPECT_TRUE(log.Samples().empty());
  }
  EXPECT_EQ(processor->ByteCount(), counted);
  Send(data);
  ASSERT_EQ(log.Samples().size(), 1u);
  EXPECT_EQ(log.Samples()[0].data, (Bytes{1, 2, 3}));
  EXPECT_STREQ(processor->KindName(), "CMT-STREAM");
  EXPECT_EQ(processor->ByteCount(), counted + data.size());

  Send(hs::LegacyAllocator(7, 3, 100, 1, 0));
  Send(hs::LegacySegment(7, hs::Segment{12, 13, 1.0}));
  Send(hs::LegacyControl(15, 2, 7));
  EXPECT_TRUE(log.Contains("dj.SetAllocator 3"));
  EXPECT_TRUE(log.Contains("dj.NewSegment 12"));
  EXPECT_TRUE(log.Contains("dj.FilterEvent 2"));
  Send(hs::LegacyControl(14, 0, 7));
  EXPECT_FALSE(processor->HasEntry(7));
}

TEST_F(StreamSlot, StateControlDrivesStatisticsAndTheDispatcherStream) {
  // A state for an id without a stream reaches the dispatcher's own H.264
  // stream once it exists.
  kinds->makes.insert(StreamKind::kDH264);
  Send(hs::H264Frame(Bytes(8, 1), hs::Rect{0, 0, 16, 16}));
  ASSERT_NE(processor->DispatcherH264Stream(), nullptr);
  EXPECT_STREQ(processor->KindName(), "NSP-h264");
  Send(hs::LegacyControl(4, 3, 99));
  EXPECT_TRUE(processor->StatisticsOn());
  EXPECT_TRUE(log.Contains("h264.SetState 3"));
  Send(hs::LegacyControl(4, 2, 99));
  EXPECT_FALSE(processor->StatisticsOn());
}

TEST_F(StreamSlot, ReservingALiveStreamClosesItFirst) {
  for (const Bytes& reserve : {hs::Reserve(7), hs::LegacyControl(13, 0, 7)}) {
    SetUp();
    MakeStream(7);
    const size_t before = log.Lines().size();
    Send(reserve);
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_EQ(lines[before], "dj.Close");
    EXPECT_EQ(lines[before + 1], "dj.~");
    EXPECT_TRUE(processor->HasEntry(7));
    EXPECT_EQ(processor->FindStream(7), nullptr);
  }
}

TEST_F(StreamSlot, CreationTriesTheKindsInOrderAndRefusesWhenNoneServes) {
  Send(hs::Reserve(5));
  kinds->makes = {StreamKind::kVideo, StreamKind::kAudio, StreamKind::kDH264, StreamKind::kDJ,
                  StreamKind::kDirectShow};
  kinds->accepts = {StreamKind::kDirectShow};
  Send(hs::CreateFromFormat(5, SmallFormat(), 0));
  const std::vector<std::string> expected = {
      "make video", "video.SetFormat 68", "video.~", "make audio", "audio.SetFormat 68", "audio.~",
      "make h264",  "h264.SetFormat 68",  "h264.~",  "make dj",    "dj.SetFormat 68",    "dj.~",
      "make ds",    "ds.SetFormat 68"};
  EXPECT_EQ(log.Lines(), expected);
  ASSERT_NE(processor->FindStream(5), nullptr);
  EXPECT_EQ(processor->FindStream(5)->FormatRecord().size(), 68u);

  // This build's own kinds: none, so the id stays reserved.
  CAvsSlotDataProcessor bare(0);
  bare.AttachPort(3, port);
  for (const Bytes& m : {hs::Reserve(5), hs::CreateFromFormat(5, SmallFormat(), 0),
                         hs::CreateHardware(5, hs::FourccGuid(1), 0),
                         hs::CreatePlayer(5, 1, 0x34363248, 640, 480, Bytes(4, 3)),
                         hs::LegacyAudioFormat(5, hs::WaveFormat()),
                         hs::H264Frame(Bytes(8, 1))})
    bare.OnSlotData(m.data(), uint32_t(m.size()));
  EXPECT_TRUE(bare.HasEntry(5));
  EXPECT_EQ(bare.FindStream(5), nullptr);
  EXPECT_EQ(bare.DispatcherH264Stream(), nullptr);
}

TEST_F(StreamSlot, DeclaredLengthsPastTheDeliveredBytesAreRefused) {
  MakeStream(7);
  kinds->makes.insert({StreamKind::kAudio, StreamKind::kPlayer});
  kinds->accepts.insert({StreamKind::kAudio, StreamKind::kPlayer});
  hs::WaveFormat wave;
  wave.extra = Bytes(4, 1);
  Bytes audio = hs::LegacyAudioFormat(7, wave);
  audio[8 + 4 + 16] = 40;  // extra size beyond the message
  hs::FormatRecord format;
  format.block = Bytes(8, 2);
  Bytes legacyFormat = hs::LegacyFormat(7, format);
  legacyFormat[12] = uint8_t(64 + 40);  // record size beyond the message
  Bytes player = hs::CreatePlayer(7, 1, 0x34363248, 640, 480, Bytes(4, 3));
  player[60] = 5;  // codec data beyond the message
  Bytes sample = hs::DirectShowSample(7, hs::SampleInfo(), Bytes{5, 6});
  sample[48] = 3;
  Bytes jpeg = hs::JpegFrame(7, Bytes(8, 1));
  jpeg[4] = 9;
  Bytes h264 = hs::H264Frame(Bytes(8, 1));
  h264[4] = 9;
  Bytes playerData = hs::PlayerData(0x50400, 7, 1, Bytes(4, 2));
  playerData[72] = 5;
  Bytes create = hs::CreateFromFormat(7, format, 0);
  create[84] = 9;  // block length beyond the message
  Bytes createSize = hs::CreateFromFormat(7, format, 0);
  createSize[12] = 64 + 9;  // record larger than head and block
  const size_t before = log.Lines().size();
  for (const Bytes* m : {&audio, &legacyFormat, &player, &sample, &jpeg, &h264, &playerData, &create,
                         &createSize})
    Send(*m);
  EXPECT_EQ(log.Lines().size(), before);
  EXPECT_NE(processor->FindStream(7), nullptr);
}

TEST_F(StreamSlot, WaveFormatAndSampleRecordsReachTheirStreams) {
  MakeStream(7);
  kinds->makes.insert(StreamKind::kAudio);
  kinds->accepts.insert(StreamKind::kAudio);
  hs::WaveFormat wave;
  wave.samplesPerSec = 22050;
  Send(hs::LegacyAudioFormat(7, wave));
  EXPECT_TRUE(log.Contains("dj.Close"));
  EXPECT_TRUE(log.Contains("audio.SetWaveFormat 22050"));

  hs::SampleInfo info;
  info.streamId = 7;
  info.start = 5000;
  info.actual = 3;
  Send(hs::LegacySample(info, Bytes{9, 8, 7}));
  ASSERT_EQ(log.Samples().size(), 1u);
  const StreamLog::Sample s = log.Samples()[0];
  EXPECT_EQ(s.stream, "audio");
  EXPECT_EQ(s.data, (Bytes{9, 8, 7}));
  ASSERT_TRUE(s.hasInfo);
  EXPECT_EQ(s.info.start, 5000);
  EXPECT_EQ(s.info.actual, 3);
  EXPECT_STREQ(processor->KindName(), "CMT-SAMPLE");

  Send(hs::DirectShowSample(7, info, Bytes{1, 2}));
  ASSERT_EQ(log.Samples().size(), 2u);
  EXPECT_EQ(log.Samples()[1].info.bufferLength, 2);
  EXPECT_EQ(log.Samples()[1].info.start, 5000);
  EXPECT_EQ(log.Samples()[1].info.cbData, 48u);
}

TEST_F(StreamSlot, FramesWaitInTheRingForTheAudioClock) {
  parameters.useAudioVideoSynch = 1;
  processor.reset(new CAvsSlotDataProcessor(0));
  processor->SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(kinds = new FakeKinds(&log)));
  processor->AttachPort(3, port);
  MakeStream(7);
  port->clock.SetMode(AudioClockRecord::kPcmFormat);
  port->clock.StorePosition(1000);
  Send(hs::JpegFrame(7, Bytes(8, 1), kNoRect, 1500));
  EXPECT_TRUE(log.Samples().empty());
  EXPECT_EQ(processor->QueuedFrames(), 1u);
  port->clock.StorePosition(1450);
  Send(hs::JpegFrame(7, Bytes(8, 2), kNoRect, 1460));
  ASSERT_EQ(log.Samples().size(), 1u);
  EXPECT_EQ(log.Samples()[0].data, Bytes(8, 1));
  EXPECT_EQ(processor->QueuedFrames(), 1u);
  // A silent clock lets frames pass and leaves the ring as it is.
  port->clock.ClearPosition();
  Send(hs::JpegFrame(7, Bytes(8, 3)));
  ASSERT_EQ(log.Samples().size(), 2u);
  EXPECT_EQ(log.Samples()[1].data, Bytes(8, 3));
  EXPECT_EQ(processor->QueuedFrames(), 1u);
}

TEST_F(StreamSlot, ADetachedProcessorIgnoresMessages) {
  MakeStream(7);
  processor->Attach(CSlotDataProcessor::kDetached, nullptr);
  Send(hs::State(7, hs::kRun));
  EXPECT_FALSE(log.Contains("dj.SetState 3"));
}

// Drawing with a real JPEG, against the surface's own operations fed with
// TurboJPEG's decoding of the same picture.
class JpegDrawing : public StreamSlot {
 protected:
  // TurboJPEG's pixels, last row first, as the client decodes them.
  static Bytes ReferencePixels(const Bytes& jpeg, int* width, int* height) {
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), width, height, &subsampling, &colourspace);
    Bytes pixels(size_t(*width) * *height * 3);
    tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), *width, 0, *height, TJPF_RGB,
                  TJFLAG_BOTTOMUP);
    tjDestroy(handle);
    return pixels;
  }
  static Bytes Image(CQtDoubleBufferSurfaceKeeper& keeper) {
    const QImage* image = keeper.GetImage();
    return Bytes(image->constBits(), image->constBits() + image->sizeInBytes());
  }
};

TEST_F(JpegDrawing, ExactSizeIsCopiedAndOtherSizesAreStretched) {
  const Bytes jpeg = hs::JpegOf(Picture(24, 16));
  int width = 0, height = 0;
  const Bytes pixels = ReferencePixels(jpeg, &width, &height);
  const struct {
    const char* name;
    RECT rect;
    bool stretched;
    Repaint repaint;  // the rectangle clipped to the 64 x 48 surface
  } cases[] = {{"exact", {8, 4, 32, 20}, false, {8, 4, 24, 16, 0}},
               {"larger", {0, 0, 48, 40}, true, {0, 0, 48, 40, 0}},
               {"narrower", {2, 2, 14, 18}, true, {2, 2, 12, 16, 0}},
               {"clipped", {50, 40, 74, 56}, false, {50, 40, 14, 8, 0}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::vector<std::string> logged;
    DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { logged.push_back(line); });
    Send(hs::JpegFrame(0, jpeg, hs::Rect{c.rect.left, c.rect.top, c.rect.right, c.rect.bottom}));
    SetDebugOutputSink(previous);
    CQtDoubleBufferSurfaceKeeper reference;
    reference.Create(64, 48, 24, 0);
    if (c.stretched)
      reference.StretchBlt(width, height, c.rect, 3, pixels.data());
    else
      reference.BitBlt(c.rect.left, c.rect.top, -width, height, 3, pixels.data());
    EXPECT_EQ(Image(port->keeper), Image(reference));
    EXPECT_NE(Image(port->keeper), Bytes(Image(port->keeper).size(), 0));
    EXPECT_EQ(port->Repaints(), std::vector<Repaint>{c.repaint});
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find(c.stretched ? "DrawStretchedJpeg - BitBltWithStretchRegion"
                                         : "DrawStretchedJpeg - BitBlt"),
              std::string::npos);
  }
}

TEST_F(JpegDrawing, NoSurfaceOrABadPictureDrawsNothing) {
  const Bytes jpeg = hs::JpegOf(Picture(24, 16));
  port->withSurface = false;
  Send(hs::JpegFrame(0, jpeg, hs::Rect{0, 0, 24, 16}));
  EXPECT_TRUE(port->Repaints().empty());
  port->withSurface = true;
  Bytes broken = jpeg;
  broken.resize(broken.size() / 3);
  Send(hs::JpegFrame(0, Bytes(40, 0x55), hs::Rect{0, 0, 24, 16}));
  Send(hs::JpegFrame(0, broken, hs::Rect{0, 0, 24, 16}));
  EXPECT_TRUE(port->Repaints().empty());
}

TEST_F(JpegDrawing, OnlyFramesThisClientRewroteCountAsPixels) {
  const Bytes jpeg = hs::JpegOf(Picture(24, 16));
  // A server that fills the pre-decoded size fields still sends JPEG.
  Bytes claimed = hs::JpegFrame(0, jpeg, hs::Rect{0, 0, 24, 16});
  claimed[24] = 200;
  claimed[28] = 200;
  Send(claimed);
  int width = 0, height = 0;
  const Bytes pixels = ReferencePixels(jpeg, &width, &height);
  CQtDoubleBufferSurfaceKeeper reference;
  reference.Create(64, 48, 24, 0);
  reference.BitBlt(0, 0, -width, height, 3, pixels.data());
  EXPECT_EQ(Image(port->keeper), Image(reference));

  // The rewritten frame carries pixels and its size, and draws the same.
  std::unique_ptr<uint8_t[]> message(new uint8_t[claimed.size()]);
  std::memcpy(message.get(), claimed.data(), claimed.size());
  uint32_t length = uint32_t(claimed.size());
  bool preDecoded = false;
  EXPECT_TRUE(processor->PrepareMessage(message, length, preDecoded));
  ASSERT_TRUE(preDecoded);
  ASSERT_EQ(length, 56u + 24 * 16 * 3);
  const Bytes rewritten(message.get(), message.get() + length);
  EXPECT_EQ(testhost::wire::Read(rewritten, 4, 4), 24u * 16 * 3);
  EXPECT_EQ(testhost::wire::Read(rewritten, 24, 4), 24u);
  EXPECT_EQ(testhost::wire::Read(rewritten, 28, 4), 16u);
  EXPECT_EQ(Bytes(rewritten.begin() + 56, rewritten.end()), pixels);
  port->keeper.Create(64, 48, 24, 0);
  processor->ProcessMessage(message.get(), length, preDecoded);
  EXPECT_EQ(Image(port->keeper), Image(reference));
}

TEST_F(JpegDrawing, PreparationLeavesMessagesItCannotUseAlone) {
  const Bytes jpeg = hs::JpegOf(Picture(16, 16));
  Bytes overlong = hs::JpegFrame(0, jpeg, hs::Rect{0, 0, 16, 16});
  overlong[4] = uint8_t(overlong[4] + 1);  // one byte more than delivered
  hs::SampleInfo info;
  info.streamId = 7;
  info.start = 0x1122334455;
  const struct {
    const char* name;
    Bytes message;
    uint32_t drawing;
    bool rewritten;
  } cases[] = {
      {"declared length past the end", overlong, 1, false},
      {"not a JPEG", hs::JpegFrame(0, Bytes(64, 7), hs::Rect{0, 0, 16, 16}), 1, false},
      {"drawing off", hs::JpegFrame(0, jpeg, hs::Rect{0, 0, 16, 16}), 0, false},
      {"other code", hs::H264Frame(jpeg), 1, false},
      {"JPEG frame", hs::JpegFrame(0, jpeg, hs::Rect{0, 0, 16, 16}), 1, true},
      {"JPEG sample", hs::LegacySample(info, jpeg), 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    port->drawing = c.drawing;
    std::unique_ptr<uint8_t[]> message(new uint8_t[c.message.size()]);
    std::memcpy(message.get(), c.message.data(), c.message.size());
    uint32_t length = uint32_t(c.message.size());
    bool preDecoded = false;
    processor->PrepareMessage(message, length, preDecoded);
    EXPECT_EQ(preDecoded, c.rewritten);
    if (!c.rewritten) {
      EXPECT_EQ(Bytes(message.get(), message.get() + length), c.message);
    } else {
      const Bytes out(message.get(), message.get() + length);
      EXPECT_EQ(testhost::wire::Read(out, 0, 4), 0x50200u);
      EXPECT_EQ(out.size(), 56u + 16 * 16 * 3);
    }
  }
  // The sample becomes a frame for its stream with its start time.
  port->drawing = 1;
  Bytes sample = hs::LegacySample(info, jpeg);
  std::unique_ptr<uint8_t[]> message(new uint8_t[sample.size()]);
  std::memcpy(message.get(), sample.data(), sample.size());
  uint32_t length = uint32_t(sample.size());
  bool preDecoded = false;
  processor->PrepareMessage(message, length, preDecoded);
  const Bytes out(message.get(), message.get() + length);
  EXPECT_EQ(testhost::wire::Read(out, 8, 4), 7u);
  EXPECT_EQ(testhost::wire::Read(out, 16, 8), 0x1122334455u);
  EXPECT_EQ(testhost::wire::Read(out, 32, 4), 1u);
  EXPECT_EQ(testhost::wire::Read(out, 48, 4), 0u);
}

TEST_F(StreamSlot, TheDecoderGetsEveryH264FrameTheRingReleases) {
  parameters.useAudioVideoSynch = 1;
  processor.reset(new CAvsSlotDataProcessor(0));
  processor->SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(kinds = new FakeKinds(&log)));
  kinds->makes.insert(StreamKind::kDH264);
  processor->AttachPort(3, port);
  auto frame = [](int64_t timestamp) {
    return hs::H264Frame(Bytes(8, uint8_t(timestamp)), hs::Rect{0, 0, 8, 8}, timestamp);
  };
  port->clock.SetMode(AudioClockRecord::kPcmFormat);
  port->clock.StorePosition(1000);
  Send(frame(900));  // late, still decoded
  Send(frame(1300));  // waits
  ASSERT_EQ(log.Samples().size(), 1u);
  EXPECT_EQ(processor->QueuedFrames(), 1u);
  // Plan mode: the waiting frame is nearly due and the new one is late;
  // the decoder gets both, the late one with the flag clear, not dropped.
  port->clock.SetMode(AudioClockRecord::kBufferPlan);
  port->clock.StorePosition(1295);
  Send(frame(1290));
  const std::vector<StreamLog::Sample> samples = log.Samples();
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0].data, Bytes(8, uint8_t(900)));
  EXPECT_EQ(samples[1].data, Bytes(8, uint8_t(1300)));
  EXPECT_EQ(samples[2].data, Bytes(8, uint8_t(1290)));
  EXPECT_EQ(samples[2].context.preDecoded, 1);
  EXPECT_EQ(processor->QueuedFrames(), 0u);
  EXPECT_EQ(processor->FrameCount(), 3u);
}

TEST_F(StreamSlot, DestructionClosesEveryStreamBeforeDeletingIt) {
  MakeStream(3);
  MakeStream(4);
  const size_t before = log.Lines().size();
  processor.reset();
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + before, lines.end()),
            (std::vector<std::string>{"dj.Close", "dj.Close", "dj.~", "dj.~"}));
}

TEST_F(StreamSlot, NoStatisticsLineWhileTheSwitchIsOff) {
  MakeStream(7);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 20; ++i) Send(hs::JpegFrame(7, Bytes(8, 1)));
  Send(hs::LegacyControl(4, 2, 7));  // a state other than run
  for (int i = 0; i < 20; ++i) Send(hs::LegacyData(7, Bytes{1}));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(processor->StatisticsOn());
}

namespace {
StreamLog* g_registryLog = nullptr;
}  // namespace

TEST(StreamKindRegistry, TheSlotMakesItsStreamsThroughTheRegisteredMakers) {
  StreamLog log;
  g_registryLog = &log;
  const StreamKindMaker previous = RegisterStreamKindMaker(StreamKind::kDJ, [](const StreamKindArgs&) {
    return std::unique_ptr<CStream>(new FakeStream("dj", g_registryLog, true));
  });
  auto processor = std::make_unique<CAvsSlotDataProcessor>(0);
  processor->AttachPort(3, MakeStreamPort());
  const Bytes reserve = hs::Reserve(5), create = hs::CreateFromFormat(5, SmallFormat(), 0);
  processor->OnSlotData(reserve.data(), uint32_t(reserve.size()));
  processor->OnSlotData(create.data(), uint32_t(create.size()));
  EXPECT_NE(processor->FindStream(5), nullptr);
  // Removed again, the kind is gone for the next stream.
  RegisterStreamKindMaker(StreamKind::kDJ, previous);
  const Bytes reserve6 = hs::Reserve(6), create6 = hs::CreateFromFormat(6, SmallFormat(), 0);
  processor->OnSlotData(reserve6.data(), uint32_t(reserve6.size()));
  processor->OnSlotData(create6.data(), uint32_t(create6.size()));
  EXPECT_EQ(processor->FindStream(6), nullptr);
  processor.reset();
  g_registryLog = nullptr;
}
