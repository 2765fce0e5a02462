// The audio slot fed packet by packet through a recording port, playing on
// the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AudioSlotSupport.h"
#include "session/ClientConnectionParameter.h"
#include "WaveTestSupport.h"
#include "audio/AudioMessages.h"
#include "audio/AudioSlotDataProcessor.h"
#include "audio/WaveOut.h"
#include "pelplat/wavebackend.h"

namespace {

using pelplat::wave::VirtualWaveBackend;

const Bytes kQueueReport = {10, 0, 0, 0x21};
const Bytes kPositionReport = {22, 0, 0, 0x22};
const Bytes kAnnouncement = {46, 0, 20, 0x1F};
const Bytes kNoDevice = {6, 0, 9, 0x1F, 'C', 'M', 'T', ' ', 0};
const Bytes kMicData = {0, 0, 7, 0x1F};

Bytes Pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed);
  return b;
}

class AudioSlot : public ::testing::Test {
 protected:
  void SetUp() override {
    pelplat::wave::SetBackend(&backend);
    Make();
  }
  void TearDown() override {
    processor.reset();
    pelplat::wave::SetBackend(nullptr);
  }
  void Make() {
    processor.reset();
    sent = 0;
    processor = std::make_unique<CAudioSlotDataProcessor>();
    port = AttachFakePort(*processor);
  }
  // Delivers and waits until the dispatch thread has handled the message.
  void Send(const Bytes& payload) {
    ASSERT_TRUE(Deliver(*processor, payload));
    ++sent;
    ASSERT_TRUE(Eventually([&] { return processor->Processed() >= sent; }));
  }
  void Format(uint16_t channels, uint32_t rate, uint16_t bits) {
    Send(AudioMessage(audiomsg::kFormat, WaveFormatBytes(1, channels, rate, bits)));
  }
  void State(uint32_t state) { Send(AudioMessage(audiomsg::kPlaybackState, Le32(state))); }
  Bytes Positioned(uint64_t position, const Bytes& pcm) {
    Bytes d;
    PutLe(&d, position, 8);
    return AudioMessage(audiomsg::kPositionedData, Cat(d, pcm));
  }
  void WaitDeviceBytes(size_t n) {
    ASSERT_TRUE(Eventually([&] { return backend.BytesWritten().size() >= n; })) << backend.BytesWritten().size();
  }

  VirtualWaveBackend backend;
  FakeAudioPort* port = nullptr;
  std::unique_ptr<CAudioSlotDataProcessor> processor;
  uint32_t sent = 0;
};

TEST_F(AudioSlot, RefusesPayloadsWithoutHeaderOrTag) {
  EXPECT_EQ(CSlotDataProcessor::kConnectionThread, processor->GetThreadMode());
  EXPECT_FALSE(Deliver(*processor, Bytes{6, 0, 5, 0x1F, 'C', 'M', 'T'}));
  EXPECT_FALSE(Deliver(*processor, Bytes{6, 0, 5, 0x1F, 'C', 'M', 'X', ' '}));
  EXPECT_TRUE(port->Sent().empty());
  EXPECT_EQ(0u, processor->PacketCount());
  EXPECT_TRUE(Deliver(*processor, AudioMessage(audiomsg::kFlush, {})));
  EXPECT_EQ(1u, processor->PacketCount());
}

TEST_F(AudioSlot, WithoutAnOutputDeviceTheSlotStaysDisabled) {
  backend.SetDeviceCounts(0, 0);
  Make();
  EXPECT_FALSE(processor->Enabled());
  EXPECT_FALSE(Deliver(*processor, AudioMessage(audiomsg::kFlush, {})));
  EXPECT_EQ(1u, processor->PacketCount());
  EXPECT_EQ(0, processor->OnClientData("x", 1));
  EXPECT_TRUE(port->Sent().empty());
}

TEST_F(AudioSlot, TheAnnouncementGoesOnceAndAFailedOneIsRepeated) {
  port->failSends = 1;
  Send(AudioMessage(audiomsg::kFlush, {}));
  Send(AudioMessage(audiomsg::kFlush, {}));
  Send(AudioMessage(audiomsg::kFlush, {}));
  const auto announcements = port->SentWith(kAnnouncement);
  ASSERT_EQ(2u, announcements.size());
  const Bytes& a = announcements[1];
  ASSERT_EQ(48u, a.size());
  EXPECT_EQ(Bytes({'C', 'M', 'T', ' '}), Bytes(a.begin() + 4, a.begin() + 8));
  const uint32_t fields[] = {1, 12, 0, 0, 1, 8192, 0, 0, 0, 0};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(fields[i], ReadLe32(a, 8 + 4 * i)) << i;
}

TEST_F(AudioSlot, PcmFormatsSetWholeFrameBuffersOf100Ms) {
  const struct {
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    int32_t capacity;
    uint32_t frameSize;
  } cases[] = {
      {2, 44100, 16, 17640, 4}, {1, 8000, 8, 800, 1},     {1, 11025, 16, 2204, 2},
      {2, 11025, 16, 4408, 4},  {2, 48000, 24, 28800, 6}, {6, 48000, 16, 57600, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + "x" + std::to_string(c.rate) + "x" + std::to_string(c.bits));
    Format(c.channels, c.rate, c.bits);
    EXPECT_EQ(c.capacity, processor->Capacity());
    EXPECT_EQ(c.frameSize, processor->FrameSize());
    EXPECT_EQ(uint32_t(AudioClockRecord::kPcmFormat), port->clock.GetMode());
    EXPECT_EQ(c.rate, processor->WaveOut()->Format().nSamplesPerSec);
  }
}

TEST_F(AudioSlot, AFormatWithoutWholeFramesIsRefusedAndThePreviousKept) {
  Format(2, 44100, 16);
  const Bytes bad[] = {WaveFormatBytes(1, 0, 44100, 16), WaveFormatBytes(1, 2, 44100, 4),
                       WaveFormatBytes(1, 2, 0, 16), WaveFormatBytes(1, 1, 1, 16),
                       WaveFormatBytes(1, 0xFFFF, 0xFFFFFFFF, 0xFFFF), Bytes(10, 1)};
  for (const Bytes& format : bad) {
    Send(AudioMessage(audiomsg::kFormat, format));
    EXPECT_EQ(17640, processor->Capacity());
    EXPECT_EQ(4u, processor->FrameSize());
    EXPECT_EQ(2u, processor->WaveOut()->Format().nChannels);
  }
  State(3);
  const Bytes pcm = Pattern(17640);
  Send(AudioMessage(audiomsg::kData, pcm));
  WaitDeviceBytes(17640);
  EXPECT_TRUE(std::string(pcm.begin(), pcm.end()) == backend.BytesWritten());
}

TEST_F(AudioSlot, AFullBufferGoesAtOnceAndTheRestWaits) {
  Format(2, 44100, 16);
  State(3);
  const Bytes exact = Pattern(17640, 1);
  Send(AudioMessage(audiomsg::kData, exact));
  WaitDeviceBytes(17640);
  EXPECT_EQ(0, processor->Fill());
  const Bytes longer = Pattern(17641, 2);
  Send(AudioMessage(audiomsg::kData, longer));
  WaitDeviceBytes(2 * 17640);
  EXPECT_EQ(1, processor->Fill());
  // Far more than one buffer: every full one goes, only the tail waits.
  const Bytes many = Pattern(3 * 17640 + 7, 3);
  Send(AudioMessage(audiomsg::kData, many));
  WaitDeviceBytes(5 * 17640);
  EXPECT_EQ(8, processor->Fill());
  Send(AudioMessage(audiomsg::kData, {}, 6));  // length 6: nothing
  EXPECT_EQ(8, processor->Fill());
  Send(AudioMessage(audiomsg::kFlush, {}));
  WaitDeviceBytes(5 * 17640 + 8);
  const std::string expected = std::string(exact.begin(), exact.end()) + std::string(longer.begin(), longer.end()) +
                               std::string(many.begin(), many.end());
  EXPECT_TRUE(expected == backend.BytesWritten());
}

TEST_F(AudioSlot, ANewFormatFlushesWhatWasAccumulatedWithTimestampZero) {
  Format(2, 44100, 16);
  State(3);
  Bytes d;
  PutLe(&d, 4242, 8);
  const Bytes pcm = Pattern(17640 + 5000, 9);
  Send(AudioMessage(audiomsg::kTimestampedData, Cat(d, pcm)));  // one full buffer, 5000 left
  WaitDeviceBytes(17640);
  EXPECT_EQ(5000, processor->Fill());
  Format(1, 8000, 8);
  WaitDeviceBytes(17640 + 5000);
  EXPECT_EQ(0, processor->Fill());
  EXPECT_TRUE(std::string(pcm.begin(), pcm.end()) == backend.BytesWritten());  // no timestamp bytes
  backend.Advance(4410);
  ASSERT_TRUE(Eventually([&] { return port->clock.Position() == 4242; }));
  backend.Advance(1250);
  ASSERT_TRUE(Eventually([&] { return port->clock.Position() == 0; }));
}

TEST_F(AudioSlot, PositionedPcmPlaysUnlessStale) {
  Format(2, 44100, 16);
  State(3);
  const struct {
    uint64_t position;
    bool plays;
    uint64_t writePositionAfter;
  } cases[] = {{0, true, 100}, {100, true, 200}, {150, false, 200}, {0, true, 100}, {50, false, 100},
               {1000, true, 1100}};
  size_t expected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.position);
    Send(Positioned(c.position, Pattern(400)));
    if (c.plays) expected += 400;
    WaitDeviceBytes(expected);
    EXPECT_EQ(expected, backend.BytesWritten().size());
    EXPECT_EQ(c.writePositionAfter, processor->WritePosition());
  }
}

TEST_F(AudioSlot, QueueReportsUntilTheBufferPlanThenPositionReports) {
  Format(2, 44100, 16);
  State(3);
  Send(Positioned(0, Pattern(2048)));
  ASSERT_TRUE(port->WaitUntil([](const std::vector<Bytes>& all) {
    for (auto& m : all)
      if (m.size() == 12 && m[3] == 0x21 && ReadLe32(m, 4) == 2) return true;
    return false;
  }));
  for (auto& m : port->SentWith(kQueueReport)) {
    ASSERT_EQ(12u, m.size());
    EXPECT_EQ(0u, ReadLe32(m, 8));
  }
  Send(AudioMessage(audiomsg::kBufferPlan, Cat(Le32(100), Cat(Le32(4096), Le32(7)))));
  EXPECT_EQ(uint32_t(AudioClockRecord::kBufferPlan), port->clock.GetMode());
  EXPECT_EQ(4096, processor->WaveOut()->Pool().BufferSize());
  port->Clear();
  ASSERT_TRUE(port->WaitUntil([](const std::vector<Bytes>& all) { return all.size() >= 1; }));
  backend.Advance(200);
  ASSERT_TRUE(port->WaitUntil([](const std::vector<Bytes>& all) {
    return !all.empty() && all.back().size() == 24 && ReadLe64(all.back(), 16) == 200;
  }));
  for (auto& m : port->Sent()) {
    ASSERT_EQ(24u, m.size());
    EXPECT_EQ(kPositionReport, Bytes(m.begin(), m.begin() + 4));
    EXPECT_EQ(0u, ReadLe32(m, 4));  // no stray bytes in the alignment gap
    EXPECT_EQ(512u, ReadLe64(m, 8));
  }
}

TEST(AudioMessages, QueueReportCountsWholeKibibytes) {
  const struct {
    uint32_t bytes;
    uint32_t value;
  } cases[] = {{0, 0}, {1023, 0}, {1024, 1}, {2047, 1}, {0xFFFFFFFF, 0x3FFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const auto m = audiomsg::QueueReport(c.bytes);
    EXPECT_EQ(c.value, ReadLe32(Bytes(m.begin(), m.end()), 4));
  }
}

TEST_F(AudioSlot, NothingIsReportedWhileTheStateIsZero) {
  Format(2, 44100, 16);
  for (int i = 0; i < 5; ++i) Send(AudioMessage(audiomsg::kFlush, {}));
  EXPECT_TRUE(port->SentWith(kQueueReport).empty());
  State(2);
  ASSERT_TRUE(port->WaitUntil([](const std::vector<Bytes>& all) {
    for (auto& m : all)
      if (m.size() == 12 && m[3] == 0x21) return true;
    return false;
  }));
}

TEST_F(AudioSlot, EveryWriteWithoutADeviceSendsTheNoDeviceMessage) {
  backend.FailOpens(true);
  Format(2, 44100, 16);
  State(3);
  for (int i = 0; i < 3; ++i) Send(Positioned(0, Pattern(400)));
  Send(AudioMessage(audiomsg::kData, {}, 6));  // writes nothing
  EXPECT_EQ(3u, port->SentWith(kNoDevice).size());
  for (auto& m : port->SentWith(kNoDevice)) EXPECT_EQ(kNoDevice, m);
  processor->AttachPort(CSlotDataProcessor::kDetached, nullptr);
  Send(Positioned(0, Pattern(400)));
  EXPECT_EQ(3u, port->SentWith(kNoDevice).size());
}

TEST_F(AudioSlot, MessagesShorterThanTheyClaimAreDropped) {
  Format(2, 44100, 16);
  State(3);
  Send(AudioMessage(audiomsg::kData, Pattern(100), 6 + 101));
  Send(AudioMessage(audiomsg::kPlaybackState, Bytes{3, 0}));
  Send(AudioMessage(audiomsg::kBufferPlan, Cat(Le32(100), Le32(4096))));
  Send(AudioMessage(audiomsg::kTimestampedData, Bytes{1, 2, 3}));
  Send(AudioMessage(audiomsg::kPositionedTimestampedData, Bytes(12, 0)));
  Send(AudioMessage(audiomsg::kData, Pattern(4), 3));  // a length under 6 carries no data
  Send(AudioMessage(0x55, Pattern(10)));
  Send(AudioMessage(audiomsg::kData, Pattern(10), -1, 0x1E));
  EXPECT_EQ(0, processor->Fill());
  EXPECT_EQ(uint32_t(AudioClockRecord::kPcmFormat), port->clock.GetMode());
  EXPECT_EQ(3u, processor->WaveOut()->State());
  EXPECT_TRUE(backend.BytesWritten().empty());
}

TEST_F(AudioSlot, ClosingEmptiesTheBufferAndZeroesTheClock) {
  Format(2, 44100, 16);
  State(3);
  Send(AudioMessage(audiomsg::kData, Pattern(100)));
  State(2);
  EXPECT_EQ(0, processor->Fill());
  State(3);
  Send(Positioned(0, Pattern(400)));
  WaitDeviceBytes(400);
  Send(AudioMessage(audiomsg::kFlushAndClose, {}));
  EXPECT_FALSE(processor->WaveOut()->IsOpen());
  EXPECT_EQ(0u, port->clock.Position());
}

TEST_F(AudioSlot, TheMicrophoneSendsThroughTheSlotAndStopsWhenDestroyed) {
  Send(AudioMessage(audiomsg::kMicState, Le32(3)));
  const Bytes pcm = Pattern(8192, 5);
  backend.FeedCapture(pcm.data(), pcm.size());
  ASSERT_TRUE(port->WaitUntil([](const std::vector<Bytes>& all) {
    for (auto& m : all)
      if (m.size() == 8200 && m[2] == 7) return true;
    return false;
  }));
  for (auto& m : port->Sent()) {
    if (m.size() != 8200) continue;
    EXPECT_EQ(8198u, m[0] | m[1] << 8u);
    EXPECT_TRUE(pcm == Bytes(m.begin() + 8, m.end()));
  }
  // Playing and capturing while the processor goes: the dispatch thread
  // stops first, then the microphone (which needs its buffers back), then
  // the device.
  Format(2, 44100, 16);
  State(3);
  Send(Positioned(0, Pattern(4000)));
  std::atomic<bool> gone{false};
  std::thread feeder([&] {
    const Bytes more = Pattern(8192);
    while (!gone.load()) {
      backend.FeedCapture(more.data(), more.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  processor.reset();
  gone.store(true);
  feeder.join();
  EXPECT_EQ(0, backend.OpenSinks());
}

TEST_F(AudioSlot, AttachTakesAKnownThreadPriority) {
  struct Case {
    uint32_t profile;
    int taken;
  } cases[] = {{1, 1}, {15, 15}, {7, 15}, {2, 2}};
  for (const Case& c : cases) {
    CClientConnectionParameter parameters;
    parameters.audioThreadPriority = c.profile;
    processor = std::make_unique<CAudioSlotDataProcessor>();
    auto owned = std::make_unique<FakeAudioPort>();
    owned->parameters = &parameters;
    processor->AttachPort(5, std::move(owned));
    EXPECT_EQ(c.taken, processor->DispatchPriority()) << c.profile;
    EXPECT_EQ(5, processor->Slot());
    processor->AttachPort(CSlotDataProcessor::kDetached, nullptr);
    EXPECT_EQ(CSlotDataProcessor::kDetached, processor->Slot());
    processor.reset();
  }
}

}  // namespace

// The test host's own messages, written apart from the client, drive the slot.
#include "testhost/AudioSlot.h"

namespace {

namespace host = testhost::audio;

TEST_F(AudioSlot, TheTestHostsMessagesPlayAndItReadsTheReplies) {
  Send(host::PcmFormat(2, 44100, 16));
  Send(host::PlaybackState(3));
  Send(host::Data(Pattern(17640 + 8)));
  Send(host::TimestampedData(77, Pattern(17640)));
  Send(host::Flush());
  WaitDeviceBytes(2 * 17640 + 8);
  Send(host::PositionedData(0, Pattern(400)));
  Send(host::PositionedTimestampedData(100, 5, Pattern(400)));
  WaitDeviceBytes(2 * 17640 + 808);
  EXPECT_EQ(200u, processor->WritePosition());
  Send(host::BufferPlan(201, 4096));
  EXPECT_EQ(4096, processor->WaveOut()->Pool().BufferSize());
  ASSERT_TRUE(port->WaitUntil([](const std::vector<Bytes>& all) {
    return !all.empty() && host::ReadUpstream(all.back()).kind == host::Upstream::kPositionReport;
  }));
  const host::Upstream last = host::ReadUpstream(port->Sent().back());
  EXPECT_EQ(200u, last.writePosition);
  // The unpositioned PCM still unplayed outweighs the positioned frames.
  EXPECT_EQ(0u, last.playPosition);
  const host::Upstream first = host::ReadUpstream(port->Sent().front());
  EXPECT_EQ(host::Upstream::kAnnouncement, first.kind);
  EXPECT_EQ(12u, first.announced);
  EXPECT_EQ(8192u, first.bufferBytes);
  Send(host::FlushAndClose());
  EXPECT_FALSE(processor->WaveOut()->IsOpen());
  Send(host::Data(Pattern(17640)));
  size_t noDevice = 0;
  for (const Bytes& m : port->Sent()) noDevice += host::ReadUpstream(m).kind == host::Upstream::kNoDevice;
  EXPECT_EQ(1u, noDevice);
}

}  // namespace
