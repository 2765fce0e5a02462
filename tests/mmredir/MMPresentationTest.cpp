// The redirected presentation over real redirected streams, a recording
// player and a recording media source: what each command does to them, in
// which order, and what goes back to the server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TsmfSupport.h"
#include "mmredir/VrMFSource.h"
#include "mmredir/VrRdpMediaSource.h"
#include "pelplat/strmif.h"
#include "session/ClientConnectionParameter.h"

namespace {

using namespace tsmftest;
using namespace mmredir;

// Notes every send in the journal, so that sends and player calls can be
// put in order; names a session window for display 0.
class JournalSession : public RecordingSession {
 public:
  explicit JournalSession(Journal* journal) : journal_(journal) {}
  void SendOnChannelSlot(const void* data, uint32_t length) override {
    RecordingSession::SendOnChannelSlot(data, length);
    journal_->Add("sent");
  }
  uintptr_t DisplayWindowId(int display) override { return display == 0 ? 0x5150 : 0; }

 private:
  Journal* journal_;
};

// A TS_AM_MEDIA_TYPE the stream takes: video, any subtype.
Bytes VideoType() {
  Bytes b = {0x76, 0x69, 0x64, 0x73, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  b.resize(64, 0);
  return b;
}

Bytes Geometry(uint32_t size, uint32_t state, uint32_t width, uint32_t height, uint32_t left, uint32_t top) {
  Msg m(0, 0, 0);  // VideoWindowId (8 bytes) and the state's place
  m.bytes.resize(8);
  m.U32(state).U32(width).U32(height).U32(left).U32(top);
  m.bytes.resize(size, 0);
  return m.bytes;
}

class PresentationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_shared<JournalSession>(&journal);
    channel = std::make_shared<CTsmfChannel>(1, 2, 0x100, session, nullptr);
    presentation = new CMMPresentation(Id(9).data(), parts.Parts());
  }
  void TearDown() override { presentation->Release(); }
  void Start() {
    presentation->OnNewPresentation(channel, 1);
    journal.Clear();
  }
  std::vector<Bytes> TakeAnswers() {
    std::vector<Bytes> answers = Answers(session->Sent());
    session->Clear();
    return answers;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines = journal.Lines();
    journal.Clear();
    return lines;
  }

  Journal journal;
  RecordingParts parts{&journal};
  std::shared_ptr<JournalSession> session;
  std::shared_ptr<CTsmfChannel> channel;
  CMMPresentation* presentation = nullptr;
};

TEST_F(PresentationTest, NewPresentationMakesPlayerAndSourceOverTheSessionWindow) {
  EXPECT_EQ(presentation->OnNewPresentation(channel, 1), E_NOTIMPL);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"parts.player(0)", "parts.source()", "player.CreateVideoWindow()"}));
  EXPECT_EQ(parts.lastParent.load(), reinterpret_cast<HWND>(0x5150));

  // The seam replaces where the parent comes from.
  auto previous = CMMPresentation::SetDisplayWindowLookup(
      [](const IMMPresentation::Channel&, int32_t display) { return reinterpret_cast<HWND>(0x77 + display); });
  presentation->OnNewPresentation(channel, 1);
  CMMPresentation::SetDisplayWindowLookup(previous);
  EXPECT_EQ(parts.lastParent.load(), reinterpret_cast<HWND>(0x77));
  // The repeated announcement closed the first player and source.
  EXPECT_EQ(Lines(), (std::vector<std::string>{"parts.player(0)", "parts.source()", "player.CreateVideoWindow()",
                                               "player.DestroyVideoWindow()", "player.Close()", "player.Destroyed()",
                                               "source.Destroyed()"}));
}

// The session's "Sound" switch covers the redirected media too: the player
// is made to play sound only when the session has it, and a session that
// says nothing has sound.
TEST_F(PresentationTest, ThePlayerPlaysSoundOnlyWhenTheSessionHasIt) {
  CClientConnectionParameter on, off;
  on.useSound = 1;
  off.useSound = 0;
  const struct {
    const char* name;
    const CClientConnectionParameter* parameters;
    bool sound;
  } cases[] = {{"no parameters", nullptr, true}, {"sound on", &on, true}, {"sound off", &off, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    session->parameters = c.parameters;
    parts.lastSound = !c.sound;
    presentation->OnNewPresentation(channel, 1);
    EXPECT_EQ(parts.lastSound.load(), c.sound);
  }
  session->parameters = nullptr;
}

TEST_F(PresentationTest, RepeatedAnnouncementListsTheStreamsInTheNewSource) {
  Start();
  ASSERT_EQ(presentation->OnAddStream(channel, 4, 64, VideoType().data()), 0);
  presentation->OnNewPresentation(channel, 1);
  EXPECT_EQ(journal.Count("source.AppendStream(4)"), 2u);
}

TEST_F(PresentationTest, StreamsAreAddedOncePerIdAndRemoved) {
  Start();
  const Bytes type = VideoType();
  EXPECT_EQ(presentation->OnAddStream(channel, 4, 64, type.data()), 0);
  EXPECT_EQ(presentation->OnAddStream(channel, 4, 64, type.data()), E_UNEXPECTED);
  EXPECT_EQ(presentation->OnAddStream(channel, 5, 64, type.data()), 0);
  EXPECT_EQ(presentation->StreamCount(), 2u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"source.AppendStream(4)", "source.AppendStream(5)"}));

  LogCapture log;
  presentation->OnRemoveStream(channel, 4);
  EXPECT_EQ(presentation->StreamCount(), 1u);
  EXPECT_EQ(log.Containing("CMMPresentation::OnRemoveStream: stream id[0x4]"), 1u);
  presentation->OnRemoveStream(channel, 4);
  EXPECT_EQ(presentation->StreamCount(), 1u);
  presentation->OnSample(channel, 4, nullptr, 0);
  EXPECT_EQ(log.Containing("CMMPresentation::OnSample:  could not find stream id[0x4]"), 1u);
}

TEST_F(PresentationTest, PlaybackStartAndStopNotifyBeforeThePlayerMoves) {
  Start();
  presentation->OnAddStream(channel, 4, 64, VideoType().data());
  journal.Clear();
  EXPECT_EQ(presentation->OnPlaybackStarted(channel, 0, 0), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"sent", "player.Play(0,0)"}));
  EXPECT_EQ(presentation->OnPlaybackStopped(channel), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"sent", "player.Stop()"}));
  const Bytes started = Msg(kInterfaceProxy, 0, kClientEventNotification).U32(0).U32(201).U32(0).bytes;
  const Bytes stopped = Msg(kInterfaceProxy, 0, kClientEventNotification).U32(0).U32(200).U32(0).bytes;
  ASSERT_EQ(started.size(), 24u);
  EXPECT_EQ(TakeAnswers(), (std::vector<Bytes>{started, stopped}));

  presentation->OnPlaybackStarted(channel, 12345, 1);
  presentation->OnPlaybackPaused(channel);
  presentation->OnPlaybackRestarted(channel);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"sent", "player.Play(12345,1)", "player.Pause()", "player.Restart()"}));
}

TEST_F(PresentationTest, PrerollPausesThePlayerEvenForAnAbsentStream) {
  Start();
  presentation->OnNotifyPreroll(channel, 99);
  EXPECT_EQ(Lines(), std::vector<std::string>{"player.Pause()"});
}

TEST_F(PresentationTest, VolumeIsKeptAndHandedToThePlayer) {
  Start();
  presentation->OnStreamVolume(channel, 5000, 1);
  EXPECT_EQ(presentation->StreamVolume(), 5000u);
  EXPECT_EQ(presentation->Muted(), 1u);
  EXPECT_EQ(Lines(), std::vector<std::string>{"player.SetVolume(5000,1)"});
  EXPECT_EQ(presentation->OnChannelVolume(channel, 1, 2), 0);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(PresentationTest, GeometryPlacesTheVideoWindowWithItsVisibleRegions) {
  Start();
  struct Case {
    const char* name;
    uint32_t size;
    uint32_t state;
    Bytes rects;
    std::string expected;
  };
  // TS_RECT entries are {Top, Left, Bottom, Right}; regions {left, top, right,
  // bottom}.
  const std::vector<Case> cases = {
      {"no rectangle", 44, 0, {}, "player.SetVideoWindowPos(1,10,20,640,480,0)"},
      {"one rectangle", 44, 0, Msg(1, 2, 3).U32(4).bytes, "player.SetVideoWindowPos(1,10,20,640,480,1) [2,1,4,3]"},
      {"three rectangles, padded record", 48, 0,
       Msg(0, 0, 10).U32(10).U32(5).U32(6).U32(7).U32(8).U32(1).U32(1).U32(2).U32(2).bytes,
       "player.SetVideoWindowPos(1,10,20,640,480,3) [0,0,10,10] [6,5,8,7] [1,1,2,2]"},
      {"deleted window hides it", 44, 0x2, {}, "player.SetVideoWindowPos(0,10,20,640,480,0)"},
      {"bytes short of a whole rectangle are ignored", 44, 0, Bytes(20, 0),
       "player.SetVideoWindowPos(1,10,20,640,480,1) [0,0,0,0]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes geometry = Geometry(c.size, c.state, 640, 480, 10, 20);
    EXPECT_EQ(
        presentation->OnUpdateGeometryInfo(channel, c.size, geometry.data(), uint32_t(c.rects.size()), c.rects.data()),
        0);
    EXPECT_EQ(Lines(), std::vector<std::string>{c.expected});
  }
  const Bytes odd(40, 0);
  EXPECT_EQ(presentation->OnUpdateGeometryInfo(channel, 40, odd.data(), 0, nullptr), E_INVALIDARG);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(PresentationTest, TopologyIsReadyOnlyWhenSourceAndPlayerOpen) {
  struct Case {
    const char* name;
    HRESULT source;
    HRESULT player;
    uint32_t ready;
  };
  const std::vector<Case> cases = {
      {"both open", S_OK, S_OK, 1},
      {"the source fails", E_FAIL, S_OK, 0},
      {"the player fails", S_OK, E_FAIL, 0},
  };
  uint32_t messageId = 0x40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    parts.sourceOpenResult = c.source;
    parts.playerOpenResult = c.player;
    Start();
    LogCapture log;
    presentation->OnSetTopologyRequest(channel, ++messageId);
    EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{Msg(kInterfaceStub, messageId, c.ready).U32(0).bytes});
    EXPECT_EQ(log.Containing("CVrMediaPlayer->Open() failed [0x80004005]"), c.player < 0 && c.source >= 0 ? 1u : 0u);
    presentation->OnShutdownPresentation(channel);
    // Every reference the topology took was given back.
    EXPECT_EQ(journal.Count("source.Destroyed()"), 1u);
    EXPECT_EQ(journal.Count("player.Destroyed()"), 1u);
    journal.Clear();
  }
}

TEST_F(PresentationTest, ShutdownClosesThePlayerAndLaterCommandsFindNone) {
  Start();
  presentation->OnAddStream(channel, 4, 64, VideoType().data());
  journal.Clear();
  EXPECT_EQ(presentation->OnShutdownPresentation(channel), E_NOTIMPL);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"player.DestroyVideoWindow()", "player.Close()", "player.Destroyed()",
                                               "source.Destroyed()"}));
  EXPECT_EQ(presentation->StreamCount(), 0u);
  presentation->OnPlaybackStarted(channel, 0, 0);
  presentation->OnNotifyPreroll(channel, 4);
  presentation->OnStreamVolume(channel, 1, 0);
  const Bytes geometry = Geometry(44, 0, 1, 1, 0, 0);
  presentation->OnUpdateGeometryInfo(channel, 44, geometry.data(), 0, nullptr);
  presentation->OnSetTopologyRequest(channel, 5);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"sent", "sent"}));  // the notification and the answer
}

TEST_F(PresentationTest, WithoutPartsThereIsNoPlayerToDrive) {
  CMMPresentation* bare = new CMMPresentation(Id(3).data(), MMPresentationParts());
  bare->OnNewPresentation(channel, 1);
  EXPECT_EQ(bare->OnAddStream(channel, 1, 64, VideoType().data()), 0);
  bare->OnNotifyPreroll(channel, 1);
  bare->OnSetTopologyRequest(channel, 8);
  EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{Msg(kInterfaceStub, 8, 0).U32(0).bytes});
  bare->OnShutdownPresentation(nullptr);
  EXPECT_EQ(bare->Release(), 0);
}

TEST_F(PresentationTest, UnimplementedCommandsSayNotImplemented) {
  Start();
  EXPECT_EQ(presentation->OnSetAllocatorProps(channel, 1, 2, 3, 4, 5), E_NOTIMPL);
  EXPECT_EQ(presentation->OnSetChannelParameters(channel, 1), E_NOTIMPL);
  EXPECT_EQ(presentation->OnSetVideoWindow(channel, 1, 2, 3, 4), E_NOTIMPL);
  EXPECT_EQ(presentation->OnSetSourceVideoRect(channel, 1, 2, 3, 4), E_NOTIMPL);
  LogCapture log;
  EXPECT_EQ(presentation->OnPlaybackRateChanged(channel, 2.0f), 0);
  EXPECT_EQ(log.Containing("CMMPresentation::OnPlaybackRateChanged:  - not implemented"), 1u);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(PresentationTest, IdentityAndCounting) {
  EXPECT_TRUE(presentation->IsPresentation(Id(9).data()));
  EXPECT_FALSE(presentation->IsPresentation(Id(8).data()));
  EXPECT_EQ(presentation->AddRef(), 2);
  EXPECT_EQ(presentation->Release(), 1);
}

}  // namespace

namespace {

// A TS_AM_MEDIA_TYPE of a 320 x 240 H.264 stream, with its VIDEOINFOHEADER2:
// a format the real source builds a descriptor for.
Bytes H264Type() {
  Msg block(0, 0, 0);
  block.bytes.assign(48, 0);
  block.bytes[40] = 0x80;  // AvgTimePerFrame 400000 (25 fps)
  block.bytes[41] = 0x1A;
  block.bytes[42] = 0x06;
  block.bytes.resize(72, 0);
  block.U32(40).U32(320).U32(240).U32(0x00180001).U32(0x34363248);
  block.bytes.resize(112, 0);
  Msg type(0, 0, 0);
  type.bytes.clear();
  auto guid = [&](const GUID& g) {
    type.U32(g.Data1).U32(uint32_t(g.Data2) | uint32_t(g.Data3) << 16);
    type.bytes.insert(type.bytes.end(), g.Data4, g.Data4 + 8);
  };
  guid(MEDIATYPE_Video);
  guid(MFVideoFormat_H264);
  type.U32(0).U32(1).U32(0);
  guid(FORMAT_VideoInfo2);
  type.U32(static_cast<uint32_t>(block.bytes.size()));
  type.bytes.insert(type.bytes.end(), block.bytes.begin(), block.bytes.end());
  return type.bytes;
}

// A TS_MM_DATA_SAMPLE: times, duration, flags and extensions all 0.
Bytes Sample(const Bytes& data) {
  Msg m(0, 0, 0);
  m.bytes.assign(32, 0);
  m.U32(static_cast<uint32_t>(data.size()));
  m.bytes.insert(m.bytes.end(), data.begin(), data.end());
  return m.bytes;
}

// The presentation over real media sources and streams, with a recording
// player; the test keeps a reference to every source made.
class PresentationSource : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_shared<JournalSession>(&journal);
    channel = std::make_shared<CTsmfChannel>(1, 2, 0x100, session, nullptr);
    MMPresentationParts parts;
    parts.player = [this](HWND, int32_t, bool) -> IRdpMMVrPlayer* {
      auto* player = new RecordingPlayer(&journal);
      player->openResult = playerOpenResult;
      return player;
    };
    parts.source = [this]() -> IVrRdpMediaSource* {
      CVrMFSource* made = nullptr;
      if (FAILED(CVrMFSource::CreateInstance(&made))) return nullptr;
      made->AddRef();
      sources.push_back(made);
      return made;
    };
    presentation = new CMMPresentation(Id(3).data(), parts);
    presentation->OnNewPresentation(channel, 1);
    ASSERT_EQ(sources.size(), 1u);
  }
  void TearDown() override {
    presentation->OnShutdownPresentation(channel);
    presentation->Release();
    for (CVrMFSource* source : sources) source->Release();
  }
  int32_t Add(uint32_t streamId) {
    const Bytes type = H264Type();
    return presentation->OnAddStream(channel, streamId, static_cast<uint32_t>(type.size()), type.data());
  }
  static bool IsShutDown(CVrMFSource* source) {
    DWORD characteristics = 0;
    return source->GetCharacteristics(&characteristics) == MF_E_SHUTDOWN;
  }
  std::vector<Bytes> TakeAnswers() {
    std::vector<Bytes> answers = Answers(session->Sent());
    session->Clear();
    return answers;
  }

  Journal journal;
  std::shared_ptr<JournalSession> session;
  std::shared_ptr<CTsmfChannel> channel;
  HRESULT playerOpenResult = S_OK;
  std::vector<CVrMFSource*> sources;
  CMMPresentation* presentation = nullptr;
};

// A source opened for a player that then failed holds its streams, and they
// hold it: the shutdown of the presentation breaks that cycle (the leak
// checker sees the rest).
TEST_F(PresentationSource, ShutdownEndsASourceThePlayerNeverTook) {
  playerOpenResult = E_FAIL;
  presentation->OnNewPresentation(channel, 1);  // a player that fails
  ASSERT_EQ(Add(7), 0);
  presentation->OnSetTopologyRequest(channel, 11);
  presentation->OnShutdownPresentation(channel);
  EXPECT_TRUE(IsShutDown(sources.back()));
}

// The streams already added live on in the new source of a repeated
// announcement, with their ids and formats: they take samples, answer the
// session's requests and make a topology.
TEST_F(PresentationSource, RepeatedAnnouncementHandsLiveStreamsToTheNewSource) {
  ASSERT_EQ(Add(7), 0);
  presentation->OnNewPresentation(channel, 1);
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_TRUE(IsShutDown(sources[0]));
  EXPECT_EQ(presentation->StreamCount(), 1u);
  CVrMFStream* listed = sources[1]->FindStream(7);
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->Format(), H264Type());
  EXPECT_EQ(listed->RequestSample(nullptr), S_OK);
  const Bytes sample = Sample({0xAB, 0xCD});
  ASSERT_EQ(presentation->OnSample(channel, 7, sample.data(), static_cast<uint32_t>(sample.size())), 0);
  IMFSample* taken = nullptr;
  EXPECT_EQ(listed->GetNextSample(&taken), S_OK);
  EXPECT_NE(taken, nullptr);
  if (taken) taken->Release();
  listed->Release();
  session->Clear();
  presentation->OnSetTopologyRequest(channel, 12);
  EXPECT_EQ(TakeAnswers(), std::vector<Bytes>{Msg(kInterfaceStub, 12, 1).U32(0).bytes});
}

// The source carries four streams; the presentation keeps no stream the
// source refused, so nothing of its samples is queued unanswered.
TEST_F(PresentationSource, AStreamTheSourceRefusesIsNotKept) {
  for (uint32_t id = 1; id <= CVrMFSource::kMaxStreams; ++id) ASSERT_EQ(Add(id), 0);
  EXPECT_EQ(Add(5), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(presentation->StreamCount(), CVrMFSource::kMaxStreams);
  EXPECT_EQ(sources[0]->FindStream(5), nullptr);
  LogCapture log;
  const Bytes sample = Sample({0x01});
  presentation->OnSample(channel, 5, sample.data(), static_cast<uint32_t>(sample.size()));
  EXPECT_EQ(log.Containing("CMMPresentation::OnSample:  could not find stream id[0x5]"), 1u);
}

// The end of a stream that never had a sample still goes back to the
// server, through the channel that announced the end.
TEST_F(PresentationSource, EndOfAStreamWithoutSamplesIsReported) {
  ASSERT_EQ(Add(7), 0);
  session->Clear();
  EXPECT_EQ(presentation->OnEndOfStream(channel, 7), 0);
  CVrMFStream* listed = sources[0]->FindStream(7);
  ASSERT_NE(listed, nullptr);
  listed->SetEndOfStream();  // what the source does once the end is delivered
  listed->Release();
  EXPECT_EQ(TakeAnswers(),
            std::vector<Bytes>{Msg(kInterfaceProxy, 0, kClientEventNotification).U32(7).U32(100).U32(0).bytes});
}

}  // namespace
