// The multimedia channel on its own: every server function reaches the
// recording presentation with its fields, the answers byte for byte, the
// chunks of a long answer, and messages cut short reach nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TsmfSupport.h"
#include "pelplat/mfapi.h"
#include "pelplat/objbase.h"

namespace {

using namespace tsmftest;
using namespace mmredir;

constexpr uint16_t kIndex = 3;

Bytes GuidBytes(const GUID& g) {
  Bytes b;
  virtchantest::PutU32(b, g.Data1);
  virtchantest::PutU16(b, g.Data2);
  virtchantest::PutU16(b, g.Data3);
  b.insert(b.end(), g.Data4, g.Data4 + 8);
  return b;
}

// A TS_AM_MEDIA_TYPE of 64 bytes with the given major and sub type.
Bytes MediaType(const GUID& major, const GUID& subtype) {
  Bytes b = GuidBytes(major);
  const Bytes sub = GuidBytes(subtype);
  b.insert(b.end(), sub.begin(), sub.end());
  b.resize(64, 0);
  return b;
}

class TsmfChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_shared<RecordingSession>();
    channel = std::make_shared<CTsmfChannel>(7, kIndex, 0x100, session, [this](const uint8_t* id) -> IMMPresentation* {
      ++made;
      presentation = new RecordingPresentation(id, &journal);
      return presentation;
    });
  }
  void TearDown() override {
    CTsmfChannel::EndSessionPresentations(session.get());
    EXPECT_EQ(CTsmfChannel::PresentationCount(), 0u);
  }
  // Each message in a buffer of its own size, so that a read past it shows.
  void Feed(const Bytes& message) {
    channel->OnReceive(message.data(), static_cast<uint32_t>(message.size()), session.get(), channel);
  }
  void Announce(const Bytes& id) {
    Feed(Msg::Request(kOnNewPresentation).Raw(id).U32(1).bytes);
    journal.Clear();
  }
  std::vector<Bytes> TakeAnswers() {
    std::vector<Bytes> answers = Answers(session->Sent());
    session->Clear();
    return answers;
  }

  Journal journal;
  std::shared_ptr<RecordingSession> session;
  std::shared_ptr<CTsmfChannel> channel;
  RecordingPresentation* presentation = nullptr;
  int made = 0;
};

struct Dispatch {
  const char* name;
  Bytes message;
  std::string expected;
};

TEST_F(TsmfChannelTest, EveryCommandReachesThePresentationWithItsFields) {
  const Bytes id = Id(0x5A);
  Announce(id);
  const Bytes geometry44 = Bytes(44, 0x11);
  const std::vector<Dispatch> table = {
      {"ADD_STREAM", Msg::Request(kAddStream).Raw(id).U32(5).U32(3).Raw({1, 2, 3}).bytes, "OnAddStream(5,3,010203)"},
      {"ON_SAMPLE", Msg::Request(kOnSample).Raw(id).U32(6).U32(2).Raw({0xAB, 0xCD}).bytes, "OnSample(6,2,abcd)"},
      {"SET_VIDEO_WINDOW", Msg::Request(kSetVideoWindow).Raw(id).U32(1).U32(2).U32(3).U32(4).bytes,
       "OnSetVideoWindow(1,2,3,4)"},
      {"SET_TOPOLOGY_REQ", Msg::Request(kSetTopology, 0x77).Raw(id).bytes, "OnSetTopologyRequest(119)"},
      {"ON_PLAYBACK_STARTED", Msg::Request(kOnPlaybackStarted).Raw(id).U64(0x123456789AULL).U32(1).bytes,
       "OnPlaybackStarted(78187493530,1)"},
      {"ON_PLAYBACK_PAUSED", Msg::Request(kOnPlaybackPaused).Raw(id).bytes, "OnPlaybackPaused()"},
      {"ON_PLAYBACK_STOPPED", Msg::Request(kOnPlaybackStopped).Raw(id).bytes, "OnPlaybackStopped()"},
      {"ON_PLAYBACK_RESTARTED", Msg::Request(kOnPlaybackRestarted).Raw(id).bytes, "OnPlaybackRestarted()"},
      {"ON_PLAYBACK_RATE_CHANGED", Msg::Request(kOnPlaybackRateChanged).Raw(id).U32(0xFFFFFFFE).bytes,
       "OnPlaybackRateChanged(-2)"},
      {"ON_FLUSH", Msg::Request(kOnFlush).Raw(id).U32(9).bytes, "OnFlush(9)"},
      {"ON_STREAM_VOLUME", Msg::Request(kOnStreamVolume).Raw(id).U32(5000).U32(1).bytes, "OnStreamVolume(5000,1)"},
      {"ON_CHANNEL_VOLUME", Msg::Request(kOnChannelVolume).Raw(id).U32(700).U32(2).bytes, "OnChannelVolume(700,2)"},
      {"ON_END_OF_STREAM", Msg::Request(kOnEndOfStream).Raw(id).U32(10).bytes, "OnEndOfStream(10)"},
      {"SET_ALLOCATOR", Msg::Request(kSetAllocator).Raw(id).U32(11).U32(4).U32(4096).U32(16).U32(8).bytes,
       "OnSetAllocatorProps(11,4,4096,16,8)"},
      {"NOTIFY_PREROLL", Msg::Request(kNotifyPreroll).Raw(id).U32(12).bytes, "OnNotifyPreroll(12)"},
      {"UPDATE_GEOMETRY_INFO",
       Msg::Request(kUpdateGeometryInfo).Raw(id).U32(44).Raw(geometry44).U32(16).U32(1).U32(2).U32(3).U32(4).bytes,
       "OnUpdateGeometryInfo(44," + RecordingPresentation::Hex(geometry44.data(), 44) +
           ",16,01000000020000000300000004000000)"},
      {"REMOVE_STREAM", Msg::Request(kRemoveStream).Raw(id).U32(13).bytes, "OnRemoveStream(13)"},
      {"SET_SOURCE_VIDEO_RECT", Msg::Request(kSetSourceVideoRect).Raw(id).U32(1).U32(2).U32(30).U32(40).bytes,
       "OnSetSourceVideoRect(1,2,30,40)"},
      {"ON_NEW_PRESENTATION (again)", Msg::Request(kOnNewPresentation).Raw(id).U32(2).bytes, "OnNewPresentation(2)"},
  };
  for (const Dispatch& row : table) {
    SCOPED_TRACE(row.name);
    journal.Clear();
    presentation->lastChannel = nullptr;
    Feed(row.message);
    EXPECT_EQ(journal.Lines(), std::vector<std::string>{row.expected});
    EXPECT_EQ(presentation->lastChannel.load(), channel.get());
  }
  EXPECT_EQ(made, 1) << "a repeated announcement reuses the presentation";
  EXPECT_TRUE(session->Sent().empty()) << "none of these is answered by the channel";
}

TEST_F(TsmfChannelTest, CommandsForAnUnknownPresentationAreDroppedSilently) {
  LogCapture log;
  Announce(Id(1));
  Feed(Msg::Request(kOnSample).Raw(Id(2)).U32(6).U32(2).Raw({1, 2}).bytes);
  Feed(Msg::Request(kSetTopology).Raw(Id(2)).bytes);
  Feed(Msg::Request(kOnPlaybackStarted).Raw(Id(2)).U64(0).U32(0).bytes);
  EXPECT_TRUE(journal.Lines().empty());
  EXPECT_TRUE(session->Sent().empty());
  EXPECT_EQ(log.Size(), 0u);
}

TEST_F(TsmfChannelTest, ChannelParametersNameTheStreamClosedAtStop) {
  const Bytes id = Id(0x33);
  Announce(id);
  Feed(Msg::Request(kSetChannelParams).Raw(id).U32(42).bytes);
  EXPECT_TRUE(journal.Lines().empty());
  EXPECT_EQ(channel->StreamId(), 42u);
  channel->Stop();
  EXPECT_EQ(journal.Lines(), std::vector<std::string>{"OnCloseChannel(42)"});
}

TEST_F(TsmfChannelTest, ShutdownIsAnsweredAndRemovesThePresentation) {
  const Bytes id = Id(0x44);
  Announce(id);
  Feed(Msg::Request(kShutdownPresentation, 0x99).Raw(id).bytes);
  EXPECT_EQ(journal.Lines(), std::vector<std::string>{"OnShutdownPresentation()"});
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 0u);
  const Bytes expected = Msg(kInterfaceStub, 0x99, 0).bytes;  // Result 0
  EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{expected});

  // Also when the presentation is not there.
  Feed(Msg::Request(kShutdownPresentation, 0x9A).Raw(id).bytes);
  EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{Msg(kInterfaceStub, 0x9A, 0).bytes});
}

TEST_F(TsmfChannelTest, CapabilityExchangeAnswersTheFourKnownCapabilities) {
  // Entries {CapabilityType, cbCapabilityLength, value}.
  Feed(Msg::Request(kExchangeCapabilities, 0x10)
           .U32(4)
           .Triple(1, 4, 2)
           .Triple(2, 4, 1)
           .Triple(3, 4, 0)
           .Triple(4, 4, 250)
           .bytes);
  const Bytes expected =
      Msg(kInterfaceStub, 0x10, 4).Triple(1, 4, 2).Triple(2, 4, 1).Triple(3, 4, 1).Triple(4, 4, 250).U32(0).bytes;
  ASSERT_EQ(expected.size(), 64u);
  EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{expected});
}

TEST_F(TsmfChannelTest, CapabilityEntriesAreBoundedByTheBytesAndAdvancedByTheirLength) {
  struct Case {
    const char* name;
    Bytes request;
    Bytes answer;
  };
  const std::vector<Case> cases = {
      {"no capability", Msg::Request(kExchangeCapabilities, 1).U32(0).bytes, Msg(kInterfaceStub, 1, 0).U32(0).bytes},
      {"a count far beyond the entries present",
       Msg::Request(kExchangeCapabilities, 2).U32(0xFFFFFFFF).U32(1).U32(4).U32(7).bytes,
       Msg(kInterfaceStub, 2, 1).U32(1).U32(4).U32(7).U32(0).bytes},
      {"a longer entry is stepped over whole",
       Msg::Request(kExchangeCapabilities, 3).U32(2).U32(4).U32(8).U32(90).U32(0xEEEEEEEE).U32(2).U32(4).U32(5).bytes,
       Msg(kInterfaceStub, 3, 2).U32(4).U32(4).U32(90).U32(2).U32(4).U32(1).U32(0).bytes},
      {"an entry cut short ends the list",
       Msg::Request(kExchangeCapabilities, 4).U32(2).U32(1).U32(4).U32(3).U32(4).U32(8).U32(1).bytes,
       Msg(kInterfaceStub, 4, 1).U32(1).U32(4).U32(3).U32(0).bytes},
      {"an unknown type answers 0", Msg::Request(kExchangeCapabilities, 5).U32(1).U32(9).U32(4).U32(3).bytes,
       Msg(kInterfaceStub, 5, 1).U32(9).U32(4).U32(0).U32(0).bytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feed(c.request);
    EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{c.answer});
  }
}

TEST_F(TsmfChannelTest, FormatCheckAnswersWhatALocalDecoderTakes) {
  ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  struct Case {
    const char* name;
    Bytes type;
    uint32_t supported;
  };
  const std::vector<Case> cases = {
      {"H.264 video", MediaType(MFMediaType_Video, MFVideoFormat_H264), 1},
      {"an unknown major type", MediaType(GUID_NULL, MFVideoFormat_H264), 0},
      {"a media type too short to name its types", Bytes(20, 0), 0},
  };
  uint32_t messageId = 0x300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++messageId;
    Feed(Msg::Request(kCheckFormatSupport, messageId).U32(1).U32(0).U32(uint32_t(c.type.size())).Raw(c.type).bytes);
    const Bytes expected = Msg(kInterfaceStub, messageId, c.supported).U32(1).U32(0).bytes;
    ASSERT_EQ(expected.size(), 20u);
    EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{expected});
  }
  CoUninitialize();
  MFShutdown();
}

TEST_F(TsmfChannelTest, InterfaceCapabilityIsAnsweredOnlyForVersionOne) {
  Feed(Msg(kInterfaceCapabilities, 0x55, kExchangeCapabilities).U32(1).bytes);
  EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{Msg(kInterfaceCapabilities, 0x55, 1).U32(0).bytes});
  Feed(Msg(kInterfaceCapabilities, 0x56, kExchangeCapabilities).U32(2).bytes);
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(TsmfChannelTest, UnknownInterfacesAndFunctionsAreLoggedAndDropped) {
  LogCapture log;
  Feed(Msg(0x00000001, 0x10, 0x100).U32(1).bytes);
  Feed(Msg(kInterfaceCapabilities, 0x11, 0x105).bytes);
  Feed(Msg::Request(0x200, 0x12).bytes);
  Feed(Msg::Request(kRimRelease).bytes);
  Feed(Msg::Request(kRimQueryInterface).bytes);
  Feed(Msg(kInterfaceCapabilities, 0x13, kRimRelease).bytes);
  EXPECT_EQ(log.Containing("3. Unknow: InterfaceId[0x1] MessageId[0x10] FunctionId[0x100]"), 1u);
  EXPECT_EQ(log.Containing("1. Unknow: InterfaceId[0x2] MessageId[0x11] FunctionId[0x105]"), 1u);
  EXPECT_EQ(log.Containing("2. Unknow: InterfaceId[0x40000000] MessageId[0x12] "
                           "FunctionId[0x200]"),
            1u);
  EXPECT_EQ(log.Size(), 3u);
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(TsmfChannelTest, GeometryRecordsOfTheTwoSizesAndRefusedOnes) {
  LogCapture log;
  const Bytes id = Id(0x66);
  Announce(id);
  const Bytes geometry48(48, 0x22);
  Feed(Msg::Request(kUpdateGeometryInfo).Raw(id).U32(48).Raw(geometry48).U32(0).bytes);
  EXPECT_EQ(journal.Lines(), std::vector<std::string>{"OnUpdateGeometryInfo(48," +
                                                      RecordingPresentation::Hex(geometry48.data(), 48) + ",0,)"});
  journal.Clear();

  Feed(Msg::Request(kUpdateGeometryInfo).Raw(id).U32(40).Raw(Bytes(48, 0)).U32(0).bytes);
  EXPECT_EQ(log.Containing("[ERROR]CTsmfChannel::OnUpdateGeometryInfo - "
                           "unknown size of numGeometryInfo(40)"),
            1u);
  // Two rectangles stated, one present.
  Feed(Msg::Request(kUpdateGeometryInfo).Raw(id).U32(44).Raw(Bytes(44, 0)).U32(32).Raw(Bytes(16, 1)).bytes);
  EXPECT_EQ(log.Containing("OnUpdateGeometryInfo: 32 bytes of visible rectangles"), 1u);
  EXPECT_TRUE(journal.Lines().empty());
}

TEST_F(TsmfChannelTest, EveryMessageCutShortReachesNothing) {
  LogCapture log;
  const Bytes id = Id(0x77);
  Announce(id);
  Feed(Msg::Request(kSetChannelParams).Raw(id).U32(3).bytes);
  const std::vector<Bytes> whole = {
      Msg::Request(kSetChannelParams).Raw(Id(0x78)).U32(4).bytes,
      Msg::Request(kAddStream).Raw(id).U32(5).U32(3).Raw({1, 2, 3}).bytes,
      Msg::Request(kOnSample).Raw(id).U32(6).U32(2).Raw({1, 2}).bytes,
      Msg::Request(kSetVideoWindow).Raw(id).U32(1).U32(2).U32(3).U32(4).bytes,
      Msg::Request(kOnNewPresentation).Raw(Id(0x79)).U32(1).bytes,
      Msg::Request(kShutdownPresentation).Raw(id).bytes,
      Msg::Request(kSetTopology).Raw(id).bytes,
      Msg::Request(kCheckFormatSupport).U32(1).U32(0).U32(64).Raw(Bytes(64, 0)).bytes,
      Msg::Request(kOnPlaybackStarted).Raw(id).U64(1).U32(0).bytes,
      Msg::Request(kOnPlaybackPaused).Raw(id).bytes,
      Msg::Request(kOnPlaybackStopped).Raw(id).bytes,
      Msg::Request(kOnPlaybackRestarted).Raw(id).bytes,
      Msg::Request(kOnPlaybackRateChanged).Raw(id).U32(1).bytes,
      Msg::Request(kOnFlush).Raw(id).U32(1).bytes,
      Msg::Request(kOnStreamVolume).Raw(id).U32(1).U32(0).bytes,
      Msg::Request(kOnChannelVolume).Raw(id).U32(1).U32(0).bytes,
      Msg::Request(kOnEndOfStream).Raw(id).U32(1).bytes,
      Msg::Request(kSetAllocator).Raw(id).U32(1).U32(2).U32(3).U32(4).U32(5).bytes,
      Msg::Request(kNotifyPreroll).Raw(id).U32(1).bytes,
      Msg::Request(kUpdateGeometryInfo).Raw(id).U32(44).Raw(Bytes(44, 0)).U32(16).Raw(Bytes(16, 0)).bytes,
      Msg::Request(kRemoveStream).Raw(id).U32(1).bytes,
      Msg::Request(kSetSourceVideoRect).Raw(id).U32(1).U32(2).U32(3).U32(4).bytes,
      Msg::Request(kExchangeCapabilities).U32(1).U32(1).U32(4).U32(2).bytes,
      Msg(kInterfaceCapabilities, 1, kExchangeCapabilities).U32(1).bytes,
  };
  for (const Bytes& message : whole) {
    SCOPED_TRACE(U32At(message, 8));
    for (size_t cut = 0; cut < message.size(); ++cut) {
      const Bytes shorter(message.begin(), message.begin() + cut);
      Feed(shorter);
    }
  }
  EXPECT_TRUE(journal.Lines().empty());
  EXPECT_EQ(channel->StreamId(), 3u) << "channel parameters cut short are not taken";
  EXPECT_EQ(CTsmfChannel::PresentationCount(), 1u);
  // The capability exchange with its one entry cut is still answered, with
  // no entry; nothing else is.
  for (const Bytes& answer : TakeAnswers()) {
    EXPECT_EQ(U32At(answer, 8), 0u);
    EXPECT_EQ(answer.size(), 16u);
  }
  EXPECT_GT(log.Containing("is cut short; dropped"), 0u);
}

// ---------------------------------------------------------------- chunks

TEST_F(TsmfChannelTest, LongAnswersLeaveInChunksOfAtMost1592Bytes) {
  struct Case {
    uint32_t total;
    std::vector<uint32_t> chunks;
    std::vector<uint32_t> flags;
  };
  const std::vector<Case> cases = {
      {4000, {1592, 1592, 816}, {0x11, 0x10, 0x12}},
      {1592, {1592}, {0x13}},
      {1593, {1592, 1}, {0x11, 0x12}},
      {24, {24}, {0x13}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.total);
    Bytes pdu(c.total);
    for (uint32_t i = 0; i < c.total; ++i) pdu[i] = uint8_t(i * 7 + 1);
    EXPECT_EQ(channel->Write(c.total, pdu.data()), 0);
    const std::vector<Bytes> sent = session->Sent();
    session->Clear();
    ASSERT_EQ(sent.size(), c.chunks.size());
    Bytes joined;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(virtchantest::U16At(sent[i], 0), virtchan::kChannelData);
      EXPECT_EQ(virtchantest::U16At(sent[i], 2), kIndex);
      EXPECT_EQ(U32At(sent[i], 4), c.chunks[i] + 8);
      EXPECT_EQ(U32At(sent[i], 8), c.total);
      EXPECT_EQ(U32At(sent[i], 12), c.flags[i]);
      ASSERT_EQ(sent[i].size(), 16 + size_t{c.chunks[i]});
      joined.insert(joined.end(), sent[i].begin() + 16, sent[i].end());
    }
    EXPECT_EQ(joined, pdu);
  }
  EXPECT_EQ(channel->Write(0, nullptr), 0);
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(TsmfChannelTest, CloseIsNotSupported) {
  LogCapture log;
  EXPECT_EQ(channel->Close(), -1);
  EXPECT_EQ(log.Containing("CTsmfChannel::Close - not implemented."), 1u);
}

}  // namespace
