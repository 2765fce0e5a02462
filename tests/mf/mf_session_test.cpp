// The media session against a scripted source, recording sinks and the
// platform's real H.264 decoder and colour converter: topology resolution,
// the event sequences of start, pause, stop and close, every frame of an
// x264 clip reaching the sink decoded and in order, the end of the
// presentation, failed topologies and the sinks' services.
#include <gtest/gtest.h>

#include <cstdlib>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mf/session_doubles.h"
#include "mf/x264_clip.h"
#include "pelplat/mfidl.h"
#include "pelplat/mfsession.h"
#include "pelplat/objbase.h"

namespace {

using namespace session_test;
using Event = SessionEvents::Event;

constexpr LONGLONG kFrameTime = 400000;  // 25 frames a second

class MfSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(MFCreateMediaSession(nullptr, &session_), S_OK);
    events_ = new SessionEvents(session_);
  }
  void TearDown() override {
    if (session_) {
      session_->Shutdown();
      session_->Release();
    }
    if (events_) events_->Release();
    if (source_) {
      source_->Shutdown();
      source_->Release();
    }
    for (RecordingSink* s : sinks_) s->Release();
    for (SinkActivate* a : activates_) a->Release();
    CoUninitialize();
    MFShutdown();
  }

  // The player's partial topology: each stream of the source to the
  // activation object of its sink.
  IMFTopology* PartialTopology(const std::vector<RecordingSink*>& sinks) {
    IMFTopology* topology = nullptr;
    EXPECT_EQ(MFCreateTopology(&topology), S_OK);
    IMFPresentationDescriptor* pd = nullptr;
    EXPECT_EQ(source_->CreatePresentationDescriptor(&pd), S_OK);
    for (size_t i = 0; i < sinks.size(); ++i) {
      BOOL selected = FALSE;
      IMFStreamDescriptor* sd = nullptr;
      EXPECT_EQ(pd->GetStreamDescriptorByIndex(static_cast<DWORD>(i), &selected, &sd), S_OK);
      IMFTopologyNode* from = nullptr;
      IMFTopologyNode* to = nullptr;
      MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, &from);
      from->SetUnknown(MF_TOPONODE_SOURCE, static_cast<IMFMediaSource*>(source_));
      from->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, pd);
      from->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, sd);
      MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, &to);
      SinkActivate* activate = new SinkActivate(sinks[i]);
      activates_.push_back(activate);
      to->SetObject(static_cast<IMFActivate*>(activate));
      topology->AddNode(from);
      topology->AddNode(to);
      EXPECT_EQ(from->ConnectOutput(0, to, 0), S_OK);
      from->Release();
      to->Release();
      sd->Release();
    }
    pd->Release();
    return topology;
  }

  RecordingSink* Sink(REFGUID major, REFGUID subtype, unsigned asksOnStart, bool askAfterEach, bool volume = false) {
    sinks_.push_back(new RecordingSink(major, subtype, asksOnStart, askAfterEach, volume));
    return sinks_.back();
  }

  // Sets the topology and waits for it to be ready (or refused).
  void SetTopology(const std::vector<RecordingSink*>& sinks) {
    IMFTopology* topology = PartialTopology(sinks);
    ASSERT_EQ(session_->SetTopology(0, topology), S_OK);
    topology->Release();
    ASSERT_TRUE(events_->WaitFor(MESessionTopologySet));
  }

  static std::vector<IMFSample*> PcmSamples(size_t count) {
    std::vector<IMFSample*> samples;
    for (size_t i = 0; i < count; ++i)
      samples.push_back(SampleOf(std::vector<uint8_t>(64, static_cast<uint8_t>(i + 1)), LONGLONG(i) * 100000));
    return samples;
  }
  static PROPVARIANT At(LONGLONG position) {
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_I8;
    value.hVal = position;
    return value;
  }
  static IMFMediaType* PcmType() { return TypeOf(MFMediaType_Audio, MFAudioFormat_PCM); }

  // The clip's pictures as libswscale converts ffmpeg's decode to BGRA, one
  // entry per picture (empty when ffmpeg failed).
  static std::vector<std::vector<uint8_t>> ConvertedPictures(const X264Clip& clip) {
    const std::string bgra = clip.dir + "/ref.bgra";
    const std::string convert = "ffmpeg -nostdin -loglevel error -y -i " + clip.dir +
                                "/clip.h264 -sws_flags bilinear -pix_fmt bgra -f rawvideo " + bgra;
    std::vector<std::vector<uint8_t>> pictures;
    if (std::system(convert.c_str()) != 0) return pictures;
    const std::vector<uint8_t> all = X264Clip::ReadFile(bgra);
    const size_t size = static_cast<size_t>(clip.width) * clip.height * 4;
    for (size_t at = 0; at + size <= all.size(); at += size)
      pictures.emplace_back(all.begin() + at, all.begin() + at + size);
    return pictures;
  }
  // Every picture the sink took is within two steps of its reference.
  static void ExpectPictures(const std::vector<RecordingSink::Taken>& taken,
                             const std::vector<std::vector<uint8_t>>& references) {
    ASSERT_EQ(taken.size(), references.size());
    for (size_t i = 0; i < taken.size(); ++i) {
      EXPECT_EQ(taken[i].time, LONGLONG(i) * kFrameTime) << "picture " << i;
      ASSERT_EQ(taken[i].bytes.size(), references[i].size()) << "picture " << i;
      int worst = 0;
      for (size_t k = 0; k < references[i].size(); ++k)
        worst = std::max(worst, std::abs(taken[i].bytes[k] - references[i][k]));
      EXPECT_LE(worst, 2) << "picture " << i;
    }
  }

  IMFMediaSession* session_ = nullptr;
  SessionEvents* events_ = nullptr;
  ScriptedSource* source_ = nullptr;
  std::vector<RecordingSink*> sinks_;
  std::vector<SinkActivate*> activates_;
};

// The H.264 branch is resolved to decoder and converter; every frame of the
// clip reaches the RGB32 sink as the colour converter makes it from
// ffmpeg's decode, in order and with its time; the PCM branch is connected
// directly; the session ends once, after both sinks' markers.
TEST_F(MfSession, PlaysAnH264ClipThroughDecoderAndConverterAndEndsOnce) {
  X264Clip clip;
  ASSERT_TRUE(clip.Make(64, 48, 10));
  const std::vector<std::vector<uint8_t>> references = ConvertedPictures(clip);
  ASSERT_EQ(references.size(), clip.accessUnits.size());

  std::vector<IMFSample*> video;
  for (size_t i = 0; i < clip.accessUnits.size(); ++i)
    video.push_back(SampleOf(clip.accessUnits[i], LONGLONG(i) * kFrameTime));
  source_ =
      new ScriptedSource({{TypeOf(MFMediaType_Video, MFVideoFormat_H264, 64, 48), video}, {PcmType(), PcmSamples(6)}});
  RecordingSink* screen = Sink(MFMediaType_Video, MFVideoFormat_RGB32, 2, true);
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 2, true);
  SetTopology({screen, speaker});
  ASSERT_TRUE(events_->WaitFor(MESessionTopologyStatus));

  // The full topology: source, decoder, converter, sink; source, sink.
  IMFTopology* full = nullptr;
  ASSERT_EQ(session_->GetFullTopology(MFSESSION_GETFULLTOPOLOGY_CURRENT, 0, &full), S_OK);
  WORD nodes = 0;
  full->GetNodeCount(&nodes);
  EXPECT_EQ(nodes, 6);
  // Along the video branch: H.264 in, NV12 between, RGB32 out to the sink.
  std::vector<GUID> chain;
  for (WORD i = 0; i < nodes; ++i) {
    IMFTopologyNode* node = nullptr;
    full->GetNode(i, &node);
    MF_TOPOLOGY_TYPE type = MF_TOPOLOGY_OUTPUT_NODE;
    node->GetNodeType(&type);
    IUnknown* object = nullptr;
    if (type == MF_TOPOLOGY_TRANSFORM_NODE && SUCCEEDED(node->GetObject(&object))) {
      IMFTransform* transform = nullptr;
      ASSERT_EQ(object->QueryInterface(IID_IMFTransform, reinterpret_cast<void**>(&transform)), S_OK);
      IMFMediaType* in = nullptr;
      IMFMediaType* out = nullptr;
      ASSERT_EQ(transform->GetInputCurrentType(0, &in), S_OK);
      ASSERT_EQ(transform->GetOutputCurrentType(0, &out), S_OK);
      GUID a{}, b{};
      in->GetGUID(MF_MT_SUBTYPE, &a);
      out->GetGUID(MF_MT_SUBTYPE, &b);
      chain.push_back(a);
      chain.push_back(b);
      in->Release();
      out->Release();
      transform->Release();
      object->Release();
    }
    node->Release();
  }
  EXPECT_TRUE(chain == (std::vector<GUID>{MFVideoFormat_H264, MFVideoFormat_NV12, MFVideoFormat_NV12,
                                          MFVideoFormat_RGB32}));
  full->Release();
  IMFMediaType* sinkType = screen->CurrentType();
  ASSERT_NE(sinkType, nullptr);
  UINT32 w = 0, h = 0;
  EXPECT_EQ(MFGetAttributeSize(sinkType, MF_MT_FRAME_SIZE, &w, &h), S_OK);
  EXPECT_EQ(w, 64u);
  EXPECT_EQ(h, 48u);
  sinkType->Release();

  PROPVARIANT start;
  PropVariantInit(&start);
  ASSERT_EQ(session_->Start(&GUID_NULL, &start), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded));
  ASSERT_EQ(session_->Close(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionClosed));

  ExpectPictures(screen->TakenSamples(), references);
  const std::vector<RecordingSink::Taken> sound = speaker->TakenSamples();
  ASSERT_EQ(sound.size(), 6u);
  for (size_t i = 0; i < sound.size(); ++i) EXPECT_EQ(sound[i].bytes, std::vector<uint8_t>(64, uint8_t(i + 1)));

  const std::vector<Event> expected = {
      {MESessionTopologySet, S_OK, 0},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_READY},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_STARTED_SOURCE},
      {MESessionStarted, S_OK, 0},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_ENDED},
      {MESessionEnded, S_OK, 0},
      {MESessionClosed, S_OK, 0},
  };
  EXPECT_EQ(events_->Events(), expected);
  for (RecordingSink* sink : {screen, speaker}) {
    const std::vector<std::string> notes = sink->Notes();
    EXPECT_EQ(std::count(notes.begin(), notes.end(), "end-of-segment"), 1);
    EXPECT_EQ(notes.back(), "shutdown");
  }
  EXPECT_EQ(source_->Calls(), std::vector<std::string>{"start"});
}

// Start, pause, resume, stop and close: the session's events, the source's
// calls and what the sink's clock tells it, in order; a pause while stopped
// is refused in the pause event's status.
TEST_F(MfSession, StartPauseResumeStopAndCloseInOrder) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(50)}});
  // One request per clock start: the presentation cannot run out.
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, false);
  SetTopology({speaker});
  ASSERT_TRUE(events_->WaitFor(MESessionTopologyStatus));

  IMFClock* clock = nullptr;
  ASSERT_EQ(session_->GetClock(&clock), S_OK);
  IMFPresentationClock* presentation = nullptr;
  ASSERT_EQ(clock->QueryInterface(IID_IMFPresentationClock, reinterpret_cast<void**>(&presentation)), S_OK);
  MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;

  ASSERT_EQ(session_->Pause(), S_OK);  // not started yet
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStarted));
  ASSERT_TRUE(speaker->WaitForSamples(1));
  clock->GetState(0, &state);
  EXPECT_EQ(state, MFCLOCK_STATE_RUNNING);

  ASSERT_EQ(session_->Pause(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionPaused, 2));
  presentation->GetState(0, &state);
  EXPECT_EQ(state, MFCLOCK_STATE_PAUSED);
  MFTIME a = 0, b = 0;
  presentation->GetTime(&a);
  presentation->GetTime(&b);
  EXPECT_EQ(a, b);  // a paused clock stands

  PROPVARIANT resume;
  PropVariantInit(&resume);
  ASSERT_EQ(session_->Start(&GUID_NULL, &resume), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStarted, 2));
  ASSERT_EQ(session_->Stop(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStopped));
  clock->GetState(0, &state);
  EXPECT_EQ(state, MFCLOCK_STATE_STOPPED);
  ASSERT_EQ(session_->Close(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionClosed));

  const std::vector<Event> expected = {
      {MESessionTopologySet, S_OK, 0},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_READY},
      {MESessionPaused, MF_E_INVALIDREQUEST, 0},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_STARTED_SOURCE},
      {MESessionStarted, S_OK, 0},
      {MESessionPaused, S_OK, 0},
      {MESessionStarted, S_OK, 0},
      {MESessionStopped, S_OK, 0},
      {MESessionClosed, S_OK, 0},
  };
  EXPECT_EQ(events_->Events(), expected);
  EXPECT_EQ(source_->Calls(), (std::vector<std::string>{"start", "pause", "start", "stop"}));
  const std::vector<std::string> notes = speaker->Notes();
  const std::vector<std::string> clockNotes = {"clock-start", "clock-pause", "clock-restart", "clock-stop", "flush"};
  std::vector<std::string> seen;
  for (const std::string& n : notes)
    if (n != "shutdown") seen.push_back(n);
  EXPECT_EQ(seen, clockNotes);
  EXPECT_EQ(notes.back(), "shutdown");
  EXPECT_EQ(activates_[0]->Shutdowns(), 1);
  // Calls after close are refused in their events; after shutdown at once.
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_EQ(session_->Shutdown(), S_OK);
  EXPECT_EQ(session_->Start(nullptr, nullptr), MF_E_SHUTDOWN);
  IMFClock* late = nullptr;
  EXPECT_EQ(session_->GetClock(&late), MF_E_SHUTDOWN);
  EXPECT_EQ(late, nullptr);
  presentation->Release();
  clock->Release();
}

// A branch whose type no decoder takes fails the whole topology with
// MF_E_TOPO_CODEC_NOT_FOUND, before any ready status; the sinks it
// activated are shut down; Close still closes, and Start is refused.
TEST_F(MfSession, ABranchWithoutDecoderFailsTheTopologyAndCloseStillCloses) {
  source_ =
      new ScriptedSource({{PcmType(), PcmSamples(3)}, {TypeOf(MFMediaType_Video, MFVideoFormat_WVC1, 64, 48), {}}});
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  RecordingSink* screen = Sink(MFMediaType_Video, MFVideoFormat_RGB32, 1, true);
  SetTopology({speaker, screen});
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_EQ(session_->Close(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionClosed));
  const std::vector<Event> expected = {
      {MESessionTopologySet, MF_E_TOPO_CODEC_NOT_FOUND, 0},
      {MESessionStarted, MF_E_INVALIDREQUEST, 0},
      {MESessionClosed, S_OK, 0},
  };
  EXPECT_EQ(events_->Events(), expected);
  IMFTopology* full = nullptr;
  EXPECT_EQ(session_->GetFullTopology(MFSESSION_GETFULLTOPOLOGY_CURRENT, 0, &full), MF_E_INVALIDREQUEST);
  EXPECT_EQ(speaker->Notes(), std::vector<std::string>{"shutdown"});
  EXPECT_TRUE(source_->Calls().empty());
}

// The renderer services come from the sinks through the session's
// IMFGetService: the first sink that answers, MF_E_UNSUPPORTED_SERVICE when
// none does, and none once the session has closed.
TEST_F(MfSession, ServicesComeFromTheSinksThroughTheSession) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(1)}, {PcmType(), PcmSamples(1)}});
  RecordingSink* plain = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  RecordingSink* withVolume = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true, true);
  SetTopology({plain, withVolume});
  ASSERT_TRUE(events_->WaitFor(MESessionTopologyStatus));

  IMFGetService* services = nullptr;
  ASSERT_EQ(session_->QueryInterface(IID_IMFGetService, reinterpret_cast<void**>(&services)), S_OK);
  IMFAudioStreamVolume* volume = nullptr;
  ASSERT_EQ(services->GetService(MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume, reinterpret_cast<void**>(&volume)),
            S_OK);
  EXPECT_EQ(volume, withVolume->Volume());
  volume->Release();
  IMFVideoDisplayControl* display = nullptr;
  EXPECT_EQ(
      services->GetService(MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl, reinterpret_cast<void**>(&display)),
      MF_E_UNSUPPORTED_SERVICE);
  EXPECT_EQ(display, nullptr);
  EXPECT_EQ(services->GetService(IID_IMFClock, IID_IMFAudioStreamVolume, reinterpret_cast<void**>(&volume)),
            MF_E_UNSUPPORTED_SERVICE);

  ASSERT_EQ(session_->Close(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionClosed));
  EXPECT_EQ(services->GetService(MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume, reinterpret_cast<void**>(&volume)),
            MF_E_UNSUPPORTED_SERVICE);
  services->Release();
}

// After the end the session stands stopped: Stop answers at once, and a
// start at position 0 plays the presentation again and ends it again.
TEST_F(MfSession, StopThenStartPlaysThePresentationAgain) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(4)}});
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  SetTopology({speaker});
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded));
  ASSERT_EQ(session_->Stop(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStopped));
  const PROPVARIANT zero = At(0);
  ASSERT_EQ(session_->Start(&GUID_NULL, &zero), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded, 2));
  const std::vector<RecordingSink::Taken> taken = speaker->TakenSamples();
  ASSERT_EQ(taken.size(), 8u);
  for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i].time, LONGLONG(i % 4) * 100000) << i;
  EXPECT_EQ(events_->CountOf(MESessionEnded), 2u);
}

// A second topology over the same source, after a stop or after the
// topologies were cleared, takes up the source's events where the first
// left them: it plays to its end like the first.
TEST_F(MfSession, ALaterTopologyOverTheSameSourcePlaysAgain) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(4)}});
  RecordingSink* first = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  SetTopology({first});
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded));
  ASSERT_EQ(session_->Stop(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStopped));
  const PROPVARIANT zero = At(0);
  RecordingSink* second = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  SetTopology({second});
  ASSERT_EQ(session_->Start(&GUID_NULL, &zero), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded, 2));
  ASSERT_EQ(session_->Stop(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStopped, 2));
  ASSERT_EQ(session_->ClearTopologies(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionTopologiesCleared));
  RecordingSink* third = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  SetTopology({third});
  ASSERT_EQ(session_->Start(&GUID_NULL, &zero), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded, 3));
  for (RecordingSink* sink : {first, second, third}) EXPECT_EQ(sink->TakenSamples().size(), 4u);
  for (const Event& e : events_->Events()) EXPECT_TRUE(SUCCEEDED(e.status)) << e.type << " " << std::hex << e.status;
}

// A pause that comes after the stream's end but before the sink has played
// up to its end-of-segment marker: the resume keeps the end, so the marker,
// returned after it, still ends the session.
TEST_F(MfSession, AResumeAfterTheStreamsEndStillEnds) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(3)}});
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, true);
  speaker->HoldMarkers();
  SetTopology({speaker});
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStarted));
  ASSERT_TRUE(speaker->WaitForNote("end-of-segment"));
  ASSERT_EQ(session_->Pause(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionPaused));
  PROPVARIANT resume;
  PropVariantInit(&resume);
  ASSERT_EQ(session_->Start(&GUID_NULL, &resume), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStarted, 2));
  speaker->ReturnMarkers();
  ASSERT_TRUE(events_->WaitFor(MESessionEnded));
  EXPECT_EQ(speaker->TakenSamples().size(), 3u);
  EXPECT_EQ(events_->CountOf(MESessionEnded), 1u);
}

// A start at a position while started is a seek: the sink is flushed, the
// source seeks, the clock starts again at the position and the sink gets
// the sample there. Close while started stops the source first; a shutdown
// afterwards leaves the source alone.
TEST_F(MfSession, SeekWhileStartedFlushesAndCloseStopsTheSource) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(10)}});
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 1, false);
  SetTopology({speaker});
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_TRUE(speaker->WaitForSamples(1));
  const PROPVARIANT at = At(500000);
  ASSERT_EQ(session_->Start(&GUID_NULL, &at), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionStarted, 2));
  ASSERT_TRUE(speaker->WaitForSamples(2));
  ASSERT_EQ(session_->Close(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionClosed));
  ASSERT_EQ(session_->Shutdown(), S_OK);

  const std::vector<RecordingSink::Taken> taken = speaker->TakenSamples();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].time, 0);
  EXPECT_EQ(taken[1].time, 500000);
  EXPECT_EQ(source_->Calls(), (std::vector<std::string>{"start", "start", "stop"}));
  const std::vector<std::string> notes = speaker->Notes();
  EXPECT_EQ(notes, (std::vector<std::string>{"clock-start", "flush", "clock-start", "clock-stop", "shutdown"}));
  const std::vector<Event> expected = {
      {MESessionTopologySet, S_OK, 0},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_READY},
      {MESessionTopologyStatus, S_OK, MF_TOPOSTATUS_STARTED_SOURCE},
      {MESessionStarted, S_OK, 0},
      {MESessionStarted, S_OK, 0},
      {MESessionClosed, S_OK, 0},
  };
  EXPECT_EQ(events_->Events(), expected);
}

// Pictures that change size mid-stream: the decoder's stream change is
// followed by the converter and the sink's type, and every picture of both
// sizes arrives as the converter makes it from ffmpeg's decode.
TEST_F(MfSession, AStreamChangeOfSizeReachesConverterAndSink) {
  X264Clip small, large;
  ASSERT_TRUE(small.Make(64, 48, 3));
  ASSERT_TRUE(large.Make(96, 64, 3));
  std::vector<std::vector<uint8_t>> references = ConvertedPictures(small);
  const std::vector<std::vector<uint8_t>> more = ConvertedPictures(large);
  references.insert(references.end(), more.begin(), more.end());
  ASSERT_EQ(references.size(), 6u);
  std::vector<IMFSample*> video;
  for (X264Clip* clip : {&small, &large})
    for (const auto& unit : clip->accessUnits) video.push_back(SampleOf(unit, LONGLONG(video.size()) * kFrameTime));
  source_ = new ScriptedSource({{TypeOf(MFMediaType_Video, MFVideoFormat_H264, 64, 48), video}});
  RecordingSink* screen = Sink(MFMediaType_Video, MFVideoFormat_RGB32, 1, true);
  SetTopology({screen});
  ASSERT_EQ(session_->Start(nullptr, nullptr), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionEnded));

  ExpectPictures(screen->TakenSamples(), references);
  IMFMediaType* type = screen->CurrentType();
  ASSERT_NE(type, nullptr);
  UINT32 w = 0, h = 0;
  MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h);
  EXPECT_EQ(w, 96u);
  EXPECT_EQ(h, 64u);
  type->Release();
}

// Topologies the session cannot play are refused in the status of
// MESessionTopologySet: no nodes, a source node without its attributes, a
// source node leading nowhere, an output node without an object.
TEST_F(MfSession, MalformedTopologiesAreRefused) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(1)}});
  IMFPresentationDescriptor* pd = nullptr;
  ASSERT_EQ(source_->CreatePresentationDescriptor(&pd), S_OK);
  BOOL selected = FALSE;
  IMFStreamDescriptor* sd = nullptr;
  ASSERT_EQ(pd->GetStreamDescriptorByIndex(0, &selected, &sd), S_OK);
  enum Shape { kEmpty, kNoAttributes, kNoOutput, kNoSinkObject };
  for (Shape shape : {kEmpty, kNoAttributes, kNoOutput, kNoSinkObject}) {
    IMFTopology* topology = nullptr;
    ASSERT_EQ(MFCreateTopology(&topology), S_OK);
    if (shape != kEmpty) {
      IMFTopologyNode* from = nullptr;
      IMFTopologyNode* to = nullptr;
      MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, &from);
      MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, &to);
      if (shape != kNoAttributes) {
        from->SetUnknown(MF_TOPONODE_SOURCE, static_cast<IMFMediaSource*>(source_));
        from->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, pd);
        from->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, sd);
      }
      topology->AddNode(from);
      topology->AddNode(to);
      if (shape != kNoOutput) from->ConnectOutput(0, to, 0);
      from->Release();
      to->Release();
    }
    ASSERT_EQ(session_->SetTopology(0, topology), S_OK);
    topology->Release();
  }
  ASSERT_TRUE(events_->WaitFor(MESessionTopologySet, 4));
  for (const Event& e : events_->Events()) {
    EXPECT_EQ(e.type, MESessionTopologySet);
    EXPECT_EQ(e.status, MF_E_TOPO_UNSUPPORTED);
  }
  EXPECT_EQ(session_->SetTopology(0, nullptr), E_INVALIDARG);
  sd->Release();
  pd->Release();
}

// Commands from two threads while samples flow: every command is answered
// by exactly one event of its kind, whatever state it finds, and Close
// still closes. Calls racing with Shutdown are refused, never lost in a
// crash.
TEST_F(MfSession, CommandsFromTwoThreadsAreEachAnsweredOnce) {
  source_ = new ScriptedSource({{PcmType(), PcmSamples(400)}});
  RecordingSink* speaker = Sink(MFMediaType_Audio, MFAudioFormat_PCM, 2, true);
  SetTopology({speaker});
  std::atomic<int> starts{0}, pauses{0}, stops{0};
  auto drive = [&](int shift) {
    for (int i = 0; i < 30; ++i) {
      switch ((i + shift) % 3) {
        case 0:
          if (session_->Start(nullptr, nullptr) == S_OK) ++starts;
          break;
        case 1:
          if (session_->Pause() == S_OK) ++pauses;
          break;
        default:
          if (session_->Stop() == S_OK) ++stops;
          break;
      }
    }
  };
  std::thread other(drive, 1);
  drive(0);
  other.join();
  ASSERT_EQ(session_->Close(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MESessionClosed));
  EXPECT_EQ(events_->CountOf(MESessionStarted), static_cast<size_t>(starts.load()));
  EXPECT_EQ(events_->CountOf(MESessionPaused), static_cast<size_t>(pauses.load()));
  EXPECT_EQ(events_->CountOf(MESessionStopped), static_cast<size_t>(stops.load()));
  EXPECT_EQ(starts + pauses + stops, 60);

  std::thread late([&] {
    while (session_->Start(nullptr, nullptr) == S_OK) {
    }
  });
  EXPECT_EQ(session_->Shutdown(), S_OK);
  late.join();
  EXPECT_EQ(session_->Pause(), MF_E_SHUTDOWN);
}

}  // namespace
