// The multimedia channel between threads: one channel instance shuts a
// presentation down while another drives it, and the presentations a
// session leaves behind end when its channel host goes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TsmfSupport.h"
#include "session/ClientConnectionParameter.h"
#include "virtchan/ChannelMakers.h"
#include "virtchan/VirtChanelsSlotProcessor.h"

namespace {

using namespace tsmftest;
using namespace mmredir;

Bytes VideoType() {
  Bytes b = {0x76, 0x69, 0x64, 0x73, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  b.resize(64, 0);
  return b;
}

// TS_MM_DATA_SAMPLE with `n` data bytes.
Bytes Sample(uint32_t n) {
  Msg m(0, 0, 0);
  m.bytes.clear();
  m.U64(0).U64(1).U64(0).U32(0).U32(0).U32(n);
  m.bytes.resize(m.bytes.size() + n, 0x42);
  return m.bytes;
}

CTsmfChannel::PresentationMaker PartsMaker(RecordingParts* parts) {
  MMPresentationParts made = parts->Parts();
  return [made](const uint8_t* id) -> IMMPresentation* { return new CMMPresentation(id, made); };
}

void Queue(const std::shared_ptr<CTsmfChannel>& channel, const Bytes& message) {
  channel->OnServerData(message.data(), static_cast<uint32_t>(message.size()));
}

TEST(TsmfThreads, ShutdownRacesCommandsOnAnotherChannel) {
  Journal journal;
  RecordingParts parts(&journal);
  auto session = std::make_shared<RecordingSession>();
  auto control = std::make_shared<CTsmfChannel>(1, 1, 0x100, session, PartsMaker(&parts));
  auto stream = std::make_shared<CTsmfChannel>(2, 2, 0x100, session, PartsMaker(&parts));
  control->Open(control);
  stream->Open(stream);

  const Bytes id = Id(0xC1);
  const Bytes type = VideoType();
  const Bytes sample = Sample(32);
  const Bytes geometry(44, 0);
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    Queue(control, Msg::Request(kOnNewPresentation).Raw(id).U32(1).bytes);
    Queue(control, Msg::Request(kAddStream).Raw(id).U32(1).U32(uint32_t(type.size())).Raw(type).bytes);
    for (int i = 0; i < 3; ++i) {
      Queue(stream, Msg::Request(kOnSample).Raw(id).U32(1).U32(uint32_t(sample.size())).Raw(sample).bytes);
      Queue(stream, Msg::Request(kSetTopology).Raw(id).bytes);
      Queue(stream, Msg::Request(kOnPlaybackStarted).Raw(id).U64(0).U32(0).bytes);
      Queue(stream,
            Msg::Request(kUpdateGeometryInfo).Raw(id).U32(44).Raw(geometry).U32(16).U32(1).U32(2).U32(3).U32(4).bytes);
      Queue(stream, Msg::Request(kOnStreamVolume).Raw(id).U32(100).U32(0).bytes);
      Queue(stream, Msg::Request(kNotifyPreroll).Raw(id).U32(1).bytes);
      Queue(stream, Msg::Request(kOnFlush).Raw(id).U32(1).bytes);
      Queue(stream, Msg::Request(kOnPlaybackPaused).Raw(id).bytes);
    }
    Queue(control, Msg::Request(kShutdownPresentation, 0x1000 + round).Raw(id).bytes);
  }
  // Every round's presentation is shut down, whatever the other worker was
  // doing with it.
  EXPECT_TRUE(journal.WaitFor("player.Close()", kRounds));
  stream->Stop();
  control->Stop();
  EXPECT_EQ(parts.players.load(), kRounds);
  EXPECT_EQ(journal.Count("player.Destroyed()"), size_t(kRounds));
  EXPECT_EQ(journal.Count("source.Destroyed()"), size_t(kRounds));
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 0u);
  size_t shutdownAnswers = 0;
  for (const Bytes& answer : Answers(session->Sent()))
    if (answer.size() == kShutdownResponseSize) ++shutdownAnswers;
  EXPECT_EQ(shutdownAnswers, size_t(kRounds));
}

// Sessions of their own, each with a channel host that redirects multimedia.
class HostEnd : public ::testing::Test {
 protected:
  struct Host {
    CClientConnectionParameter parameters;
    std::shared_ptr<RecordingSession> session = std::make_shared<RecordingSession>();
    std::unique_ptr<CVirtChanelsSlotProcessor> processor;
    Host() {
      parameters.useWmpChannelRedirection = 1;
      session->parameters = &parameters;
      processor = std::make_unique<CVirtChanelsSlotProcessor>(4, session);
    }
    void Feed(const Bytes& m) { processor->FeedServerData(m.data(), uint32_t(m.size())); }
    void Data(uint16_t index, const Bytes& message) {
      Feed(virtchantest::Message(virtchan::kChannelData, index, message));
    }
  };
  void SetUp() override {
    previous_ = virtchan::FindChannelMaker(virtchan::kMultimediaChannel);
    RegisterTsmfChannelMaker(parts.Parts());
  }
  void TearDown() override { virtchan::RegisterChannelMaker(virtchan::kMultimediaChannel, previous_); }

  Journal journal;
  RecordingParts parts{&journal};
  virtchan::ChannelMaker previous_ = nullptr;
};

TEST_F(HostEnd, PresentationsLeftBehindEndWithTheirSessionsChannels) {
  Host first, second;
  first.Feed(virtchantest::OpenNamed(1, 11, u"TSMF"));
  first.Feed(virtchantest::OpenNamed(2, 12, u"TSMF"));
  second.Feed(virtchantest::OpenNamed(1, 21, u"TSMF"));
  ASSERT_NE(first.processor->Channel(1), nullptr);
  ASSERT_NE(first.processor->Channel(2), nullptr);

  first.Data(1, Msg::Request(kOnNewPresentation).Raw(Id(0xA1)).U32(1).bytes);
  first.Data(2, Msg::Request(kSetChannelParams).Raw(Id(0xA1)).U32(3).bytes);
  second.Data(1, Msg::Request(kOnNewPresentation).Raw(Id(0xB2)).U32(1).bytes);
  ASSERT_TRUE(journal.WaitFor("player.CreateVideoWindow()", 2));
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 2u);

  // One of the session's channels closing leaves its presentation playing.
  first.Feed(virtchantest::Close(2, 12));
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 2u);
  EXPECT_EQ(journal.Count("player.DestroyVideoWindow()"), 0u);

  // The host going ends the first session's presentation, not the second's.
  first.processor.reset();
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 1u);
  EXPECT_EQ(journal.Count("player.DestroyVideoWindow()"), 1u);
  EXPECT_EQ(journal.Count("player.Close()"), 1u);
  EXPECT_EQ(journal.Count("player.Destroyed()"), 1u);

  // A host detached from its client ends its session's the same way.
  second.processor->Attach(0, nullptr);
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 0u);
  EXPECT_EQ(journal.Count("player.Destroyed()"), 2u);
  EXPECT_EQ(journal.Count("source.Destroyed()"), 2u);
}

TEST_F(HostEnd, AShutDownPresentationIsNotEndedTwice) {
  Host host;
  host.Feed(virtchantest::OpenNamed(0, 1, u"TSMF"));
  host.Data(0, Msg::Request(kOnNewPresentation).Raw(Id(0xD4)).U32(1).bytes);
  host.Data(0, Msg::Request(kShutdownPresentation, 5).Raw(Id(0xD4)).bytes);
  ASSERT_TRUE(host.session->WaitFor(1));
  host.processor.reset();
  EXPECT_EQ(journal.Count("player.Close()"), 1u);
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 0u);
}

TEST_F(HostEnd, NoMultimediaChannelOpensWhileRedirectionIsOff) {
  Host host;
  host.parameters.useWmpChannelRedirection = 0;
  host.Feed(virtchantest::OpenNamed(0, 1, u"TSMF"));
  EXPECT_EQ(host.processor->Channel(0), nullptr);
  host.parameters.useWmpChannelRedirection = 1;
  host.Feed(virtchantest::OpenNamed(0, 1, u"TSMF"));
  EXPECT_NE(std::dynamic_pointer_cast<CTsmfChannel>(host.processor->Channel(0)), nullptr);
}

}  // namespace
