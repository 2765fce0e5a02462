// The redirected media source with real streams, as a media session sees
// it: a session double subscribes to the source's and the streams' event
// queues, starts, pauses, stops and seeks, requests samples, and a
// recording channel counts what goes back to the server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mmredir/VrMFSource.h"
#include "pelplat/comobject.h"
#include "pelplat/debugout.h"
#include "pelplat/mfsession.h"
#include "pelplat/strmif.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto kBound = std::chrono::seconds(60);  // generous: the CI machine is loaded

struct Rec {
  Bytes b;
  Rec& Put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Rec& Zero(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
  Rec& Guid(const GUID& g) {
    Put(g.Data1, 4).Put(g.Data2, 2).Put(g.Data3, 2);
    b.insert(b.end(), g.Data4, g.Data4 + 8);
    return *this;
  }
  Rec& Raw(const Bytes& r) {
    b.insert(b.end(), r.begin(), r.end());
    return *this;
  }
};

// TS_AM_MEDIA_TYPE: major, subtype, flags, sample size, format type,
// cbFormat, format block.
Bytes MediaType(const GUID& major, const GUID& subtype, const GUID& formatType, const Bytes& block) {
  return Rec().Guid(major).Guid(subtype).Put(0, 4).Put(1, 4).Put(0, 4).Guid(formatType).Put(block.size(), 4).Raw(block).b;
}

Bytes H264Type() {
  Rec r;
  r.Zero(32).Put(0, 4).Put(0, 4).Put(400000, 8);    // rectangles, bit rates, 25 fps
  r.Zero(24);                                                  // VIDEOINFOHEADER2 extras
  r.Put(40, 4).Put(320, 4).Put(240, 4).Put(1, 2).Put(24, 2).Put(PELPLAT_FOURCC('H', '2', '6', '4'), 4).Zero(20);
  return MediaType(MEDIATYPE_Video, MFVideoFormat_H264, FORMAT_VideoInfo2, r.b);
}

Bytes AacType() {
  Rec r;
  r.Put(0x1610, 2).Put(2, 2).Put(44100, 4).Put(16000, 4).Put(1, 2).Put(16, 2).Put(14, 2);
  r.Put(0, 2).Put(0x29, 2).Put(0, 2).Put(0, 2).Put(0, 4).Put(0x12, 1).Put(0x10, 1);
  return MediaType(MEDIATYPE_Audio, MFAudioFormat_AAC, FORMAT_WaveFormatEx, r.b);
}

// TS_MM_DATA_SAMPLE with n data bytes.
Bytes Sample(int64_t start, uint64_t throttle, uint32_t n) {
  Rec r;
  r.Put(static_cast<uint64_t>(start), 8).Put(static_cast<uint64_t>(start) + throttle, 8).Put(throttle, 8);
  r.Put(0, 4).Put(0, 4).Put(n, 4);
  return r.Raw(Bytes(n, 0xA5)).b;
}

struct Seen {
  MediaEventType type = MEUnknown;
  HRESULT status = S_OK;
  VARTYPE vt = VT_EMPTY;
  int64_t position = 0;         // VT_I8 values
  IUnknown* object = nullptr;   // VT_UNKNOWN values: identity only, no reference
  int64_t sampleTime = -1;      // MEMediaSample: the sample's time
};

// Everything the session double saw, per queue, in the order each queue
// gave it.
class Recorder {
 public:
  void Add(const std::string& queue, const Seen& seen) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      log_[queue].push_back(seen);
    }
    changed_.notify_all();
  }
  // Waits until the queue has given n events of the type.
  bool Wait(const std::string& queue, MediaEventType type, size_t n) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return CountIn(queue, type) >= n; });
  }
  bool WaitSize(const std::string& queue, size_t n) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] { return log_[queue].size() >= n; });
  }
  std::vector<MediaEventType> Types(const std::string& queue, size_t from = 0) {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<MediaEventType> out;
    const auto& seen = log_[queue];
    for (size_t i = from; i < seen.size(); ++i) out.push_back(seen[i].type);
    return out;
  }
  std::vector<Seen> All(const std::string& queue) {
    std::lock_guard<std::mutex> hold(lock_);
    return log_[queue];
  }
  size_t Size(const std::string& queue) {
    std::lock_guard<std::mutex> hold(lock_);
    return log_[queue].size();
  }
  size_t Count(const std::string& queue, MediaEventType type) {
    std::lock_guard<std::mutex> hold(lock_);
    return CountIn(queue, type);
  }

 private:
  size_t CountIn(const std::string& queue, MediaEventType type) {
    size_t n = 0;
    for (const Seen& s : log_[queue]) n += s.type == type;
    return n;
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::string, std::vector<Seen>> log_;
};

struct RecordingChannel : IRdpVirtualChannel {
  int32_t Write(uint32_t length, const void* data) override {
    const auto* p = static_cast<const uint8_t*>(data);
    {
      std::lock_guard<std::mutex> hold(lock);
      sent.emplace_back(p, p + length);
    }
    changed.notify_all();
    return 0;
  }
  int32_t Close() override { return 0; }
  static uint32_t Le32(const Bytes& m, size_t at) {
    return m[at] | (m[at + 1] << 8) | (m[at + 2] << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
  }
  // The messages of one function (0x100 PLAYBACK_ACK, 0x101
  // CLIENT_EVENT_NOTIFICATION) sent for a stream, in order.
  std::vector<Bytes> Of(uint32_t functionId, uint32_t streamId) {
    std::lock_guard<std::mutex> hold(lock);
    return OfLocked(functionId, streamId);
  }
  bool WaitFor(uint32_t functionId, uint32_t streamId, size_t n) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, kBound, [&] { return OfLocked(functionId, streamId).size() >= n; });
  }
  std::vector<Bytes> OfLocked(uint32_t functionId, uint32_t streamId) {
    std::vector<Bytes> out;
    for (const Bytes& m : sent)
      if (m.size() >= 16 && Le32(m, 8) == functionId && Le32(m, 12) == streamId) out.push_back(m);
    return out;
  }
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Bytes> sent;
};

constexpr uint32_t kAck = 0x100, kNotification = 0x101;

// Reference counting and identity of the test's callbacks.
class TestCallback : public pelplat::ComObject<IMFAsyncCallback> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAsyncCallback); }
};

// Keeps one BeginGetEvent pending on a generator and records every event,
// as a media session's event loop does.
class Subscriber final : public TestCallback {
 public:
  static void Attach(IMFMediaEventGenerator* generator, std::string name, std::shared_ptr<Recorder> recorder) {
    auto* s = new Subscriber(generator, std::move(name), std::move(recorder));
    EXPECT_EQ(generator->BeginGetEvent(s, nullptr), S_OK);
    s->Release();
  }
  // On the pool, so that the standard queue carries only the source's pulls.
  HRESULT GetParameters(DWORD* flags, DWORD* queue) override {
    *flags = 0;
    *queue = MFASYNC_CALLBACK_QUEUE_MULTITHREADED;
    return S_OK;
  }
  HRESULT Invoke(IMFAsyncResult* result) override {
    IMFMediaEvent* event = nullptr;
    if (FAILED(generator_->EndGetEvent(result, &event))) return S_OK;
    Seen seen;
    event->GetType(&seen.type);
    event->GetStatus(&seen.status);
    PROPVARIANT v;
    PropVariantInit(&v);
    event->GetValue(&v);
    seen.vt = v.vt;
    if (v.vt == VT_I8) seen.position = v.hVal;
    if (v.vt == VT_UNKNOWN && v.punkVal) {
      seen.object = v.punkVal;
      IMFSample* sample = nullptr;
      if (SUCCEEDED(v.punkVal->QueryInterface(IID_IMFSample, reinterpret_cast<void**>(&sample)))) {
        LONGLONG time = -1;
        sample->GetSampleTime(&time);
        seen.sampleTime = time;
        sample->Release();
      }
    }
    PropVariantClear(&v);
    event->Release();
    recorder_->Add(name_, seen);
    generator_->BeginGetEvent(this, nullptr);
    return S_OK;
  }

 private:
  Subscriber(IMFMediaEventGenerator* generator, std::string name, std::shared_ptr<Recorder> recorder)
      : generator_(generator), name_(std::move(name)), recorder_(std::move(recorder)) {
    generator_->AddRef();
  }
  ~Subscriber() override { generator_->Release(); }
  IMFMediaEventGenerator* generator_;
  const std::string name_;
  std::shared_ptr<Recorder> recorder_;
};

// Put on the standard queue behind everything already there: once it has
// run, every pull queued before it has finished.
class Sentinel final : public TestCallback {
 public:
  static bool DrainStandardQueue() {
    auto* s = new Sentinel;
    bool ran = false;
    if (MFPutWorkItem(MFASYNC_CALLBACK_QUEUE_STANDARD, s, nullptr) == S_OK) {
      std::unique_lock<std::mutex> hold(s->lock_);
      ran = s->done_.wait_for(hold, kBound, [&] { return s->ran_; });
    }
    s->Release();
    return ran;
  }
  HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Invoke(IMFAsyncResult*) override {
    std::lock_guard<std::mutex> hold(lock_);
    ran_ = true;
    done_.notify_all();
    return S_OK;
  }

 private:
  std::mutex lock_;
  std::condition_variable done_;
  bool ran_ = false;
};

// Debug lines written while it lives.
class LogLines {
 public:
  LogLines() {
    SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(lock_);
      lines_.push_back(line);
    });
  }
  ~LogLines() { SetDebugOutputSink(nullptr); }
  bool Has(const std::string& part) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::string& l : lines_)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

PROPVARIANT At(int64_t position) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_I8;
  v.hVal = position;
  return v;
}

class Source : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CVrMFSource::CreateInstance(&source), S_OK);
    Subscriber::Attach(static_cast<IMFMediaSource*>(source), "source", recorder);
  }
  void TearDown() override {
    if (source->StateForTest() != CVrMFSource::kShutdown) {
      EXPECT_EQ(source->Shutdown(), S_OK);
    }
    for (CVrMFStream* s : streams) s->Release();
    if (pd) pd->Release();
    source->Release();
  }
  // A stream as the presentation makes it: format stored, channel set,
  // appended to the source.
  CVrMFStream* AddStream(uint32_t id, const Bytes& type) {
    auto* stream = new CVrMFStream(id);
    EXPECT_EQ(stream->SetMediaType(static_cast<uint32_t>(type.size()), type.data()), 0);
    stream->SetChannel(channel);
    EXPECT_EQ(source->AppendStream(stream), S_OK);
    streams.push_back(stream);
    return stream;
  }
  void Send(CVrMFStream* stream, int64_t start, uint32_t bytes) {
    const Bytes s = Sample(start, 400000, bytes);
    ASSERT_EQ(stream->OnSample(s.data(), static_cast<uint32_t>(s.size())), 0);
  }
  void OpenAndSubscribe() {
    ASSERT_EQ(source->Open(), S_OK);
    for (CVrMFStream* s : streams) Subscriber::Attach(static_cast<IMFMediaStream*>(s), Name(s), recorder);
    ASSERT_EQ(source->CreatePresentationDescriptor(&pd), S_OK);
  }
  static std::string Name(CVrMFStream* s) { return "stream " + std::to_string(s->GetStreamId()); }
  static IUnknown* Identity(CVrMFStream* s) { return static_cast<IMFMediaStream*>(s); }
  // Start (a seek when paused or started) and wait for the source's answer.
  void StartAt(int64_t position, MediaEventType answer) {
    const size_t before = recorder->Count("source", answer);
    PROPVARIANT at = At(position);
    ASSERT_EQ(source->Start(pd, nullptr, &at), S_OK);
    ASSERT_TRUE(recorder->Wait("source", answer, before + 1));
  }
  void Do(HRESULT (CVrMFSource::*call)(), MediaEventType answer) {
    const size_t before = recorder->Count("source", answer);
    ASSERT_EQ((source->*call)(), S_OK);
    ASSERT_TRUE(recorder->Wait("source", answer, before + 1));
  }
  // The stream's events from index `from` once there are `count` of them.
  std::vector<MediaEventType> StreamEvents(CVrMFStream* s, size_t count, size_t from) {
    EXPECT_TRUE(recorder->WaitSize(Name(s), count));
    return recorder->Types(Name(s), from);
  }

  CVrMFSource* source = nullptr;
  IMFPresentationDescriptor* pd = nullptr;
  std::vector<CVrMFStream*> streams;
  std::shared_ptr<RecordingChannel> channel = std::make_shared<RecordingChannel>();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

using Types = std::vector<MediaEventType>;

// Start, pause, seek, stop and a start from stopped, with the events the
// session sees on the source and on each stream.
TEST_F(Source, StartPauseSeekStopSequences) {
  CVrMFStream* video = AddStream(1, H264Type());
  CVrMFStream* audio = AddStream(2, AacType());
  OpenAndSubscribe();

  // Streams are active from their creation: the first start updates them.
  StartAt(0, MESourceStarted);
  EXPECT_EQ(recorder->Types("source"), (Types{MEUpdatedStream, MEUpdatedStream, MESourceStarted}));
  const std::vector<Seen> seen = recorder->All("source");
  EXPECT_EQ(seen[0].object, Identity(video));
  EXPECT_EQ(seen[1].object, Identity(audio));
  EXPECT_EQ(seen[2].vt, VT_I8);
  EXPECT_EQ(seen[2].status, S_OK);
  for (CVrMFStream* s : streams) EXPECT_EQ(StreamEvents(s, 1, 0), (Types{MEStreamStarted}));

  Do(&CVrMFSource::Pause, MESourcePaused);
  EXPECT_EQ(recorder->All("source").back().status, S_OK);
  EXPECT_EQ(source->StateForTest(), CVrMFSource::kPaused);
  for (CVrMFStream* s : streams) EXPECT_EQ(StreamEvents(s, 2, 1), (Types{MEStreamPaused}));

  // From paused a start is a seek, with the new position.
  StartAt(5000000, MESourceSeeked);
  EXPECT_EQ(recorder->Types("source", 4), (Types{MEUpdatedStream, MEUpdatedStream, MESourceSeeked}));
  EXPECT_EQ(recorder->All("source").back().position, 5000000);
  for (CVrMFStream* s : streams) {
    EXPECT_EQ(StreamEvents(s, 3, 2), (Types{MEStreamSeeked}));
    EXPECT_EQ(recorder->All(Name(s)).back().position, 5000000);
  }

  Do(&CVrMFSource::Stop, MESourceStopped);
  EXPECT_EQ(source->StateForTest(), CVrMFSource::kStopped);
  for (CVrMFStream* s : streams) EXPECT_EQ(StreamEvents(s, 4, 3), (Types{MEStreamStopped}));

  // Pausing a stopped source is refused by the handler; it stays stopped.
  Do(&CVrMFSource::Pause, MESourcePaused);
  EXPECT_EQ(recorder->All("source").back().status, MF_E_INVALID_STATE_TRANSITION);
  EXPECT_EQ(source->StateForTest(), CVrMFSource::kStopped);

  // From stopped a start is not a seek.
  StartAt(0, MESourceStarted);
  for (CVrMFStream* s : streams) EXPECT_EQ(StreamEvents(s, 5, 4), (Types{MEStreamStarted}));
}

// A stream deselected in the descriptor given to Start gets no event and is
// not started; selected again later, it is announced as a new stream.
TEST_F(Source, DeselectedStreamIsLeftOutAndReturnsAsNew) {
  CVrMFStream* video = AddStream(1, H264Type());
  CVrMFStream* audio = AddStream(2, AacType());
  OpenAndSubscribe();
  ASSERT_EQ(pd->DeselectStream(1), S_OK);
  StartAt(0, MESourceStarted);
  EXPECT_EQ(recorder->Types("source"), (Types{MEUpdatedStream, MESourceStarted}));
  EXPECT_FALSE(audio->IsActive());
  EXPECT_EQ(audio->StateForTest(), CVrMFStream::kCreated);  // the handler is done: it queued MESourceStarted
  ASSERT_EQ(pd->SelectStream(1), S_OK);
  StartAt(0, MESourceSeeked);
  EXPECT_EQ(recorder->Types("source", 2), (Types{MEUpdatedStream, MENewStream, MESourceSeeked}));
  EXPECT_EQ(recorder->All("source")[3].object, Identity(audio));
  EXPECT_EQ(StreamEvents(audio, 1, 0), (Types{MEStreamSeeked}));
  EXPECT_TRUE(video->IsActive());
}

// The session takes every sample the server sent, in order; each one taken
// from a stream's queue is acknowledged exactly once with its own size and
// duration. The end of both streams ends the presentation once.
TEST_F(Source, EverySampleTakenIsAcknowledgedAndThePresentationEnds) {
  CVrMFStream* video = AddStream(1, H264Type());
  CVrMFStream* audio = AddStream(2, AacType());
  constexpr int kSamples = 5;
  for (int i = 0; i < kSamples; ++i) {
    Send(video, 1000 * i, 10 + i);
    Send(audio, 1000 * i + 1, 20 + i);
  }
  OpenAndSubscribe();
  StartAt(0, MESourceStarted);
  for (int i = 0; i < kSamples; ++i)
    for (CVrMFStream* s : streams) ASSERT_EQ(s->RequestSample(nullptr), S_OK);
  for (CVrMFStream* s : streams) {
    ASSERT_TRUE(recorder->Wait(Name(s), MEMediaSample, kSamples));
    int64_t last = -1;
    for (const Seen& e : recorder->All(Name(s)))
      if (e.type == MEMediaSample) {
        EXPECT_GT(e.sampleTime, last);
        last = e.sampleTime;
      }
  }
  // Every queued sample was taken, so no further acknowledgement can come.
  for (CVrMFStream* s : streams) {
    const std::vector<Bytes> acks = channel->Of(kAck, s->GetStreamId());
    ASSERT_EQ(acks.size(), static_cast<size_t>(kSamples));
    for (int i = 0; i < kSamples; ++i) {
      EXPECT_EQ(acks[i].size(), 32u);
      EXPECT_EQ(RecordingChannel::Le32(acks[i], 16), 400000u);  // DataDuration
      EXPECT_EQ(RecordingChannel::Le32(acks[i], 24), (s == video ? 10u : 20u) + i);  // cbData
    }
  }
  // The server ends both streams while the session has paused; one more
  // audio sample is still queued then (nothing pulls while paused once the
  // standard queue has drained). After the next start it still plays, and
  // the audio stream ends behind it.
  Do(&CVrMFSource::Pause, MESourcePaused);
  ASSERT_TRUE(Sentinel::DrainStandardQueue());
  Send(audio, 99999, 7);
  video->OnEndOfStream();
  audio->OnEndOfStream();
  StartAt(0, MESourceSeeked);
  ASSERT_EQ(audio->RequestSample(nullptr), S_OK);
  ASSERT_TRUE(recorder->Wait("source", MEEndOfPresentation, 1));
  for (CVrMFStream* s : streams) {
    ASSERT_TRUE(recorder->Wait(Name(s), MEEndOfStream, 1));
    ASSERT_TRUE(channel->WaitFor(kNotification, s->GetStreamId(), 1));
    EXPECT_EQ(channel->Of(kNotification, s->GetStreamId()).size(), 1u);
  }
  EXPECT_EQ(recorder->All(Name(audio)).rbegin()[1].sampleTime, 99999);
  const std::vector<Bytes> audioAcks = channel->Of(kAck, 2);
  ASSERT_EQ(audioAcks.size(), static_cast<size_t>(kSamples) + 1);
  EXPECT_EQ(RecordingChannel::Le32(audioAcks.back(), 24), 7u);
  EXPECT_EQ(channel->Of(kAck, 1).size(), static_cast<size_t>(kSamples));
  EXPECT_EQ(recorder->Count("source", MEEndOfPresentation), 1u);
  EXPECT_EQ(video->RequestSample(nullptr), MF_E_END_OF_STREAM);
}

// The server announces the end behind its last samples, while the session
// has asked for none of them yet: every sample still queued then plays,
// in order, before MEEndOfStream; each is acknowledged once as it is taken,
// and the server hears of the end once.
TEST_F(Source, SamplesQueuedBeforeTheEndAllPlayBeforeIt) {
  CVrMFStream* video = AddStream(1, H264Type());
  OpenAndSubscribe();
  StartAt(0, MESourceStarted);
  constexpr int kSamples = 50;
  for (int i = 0; i < kSamples; ++i) Send(video, 1000 * i, 10 + i);
  video->OnEndOfStream();
  for (int i = 0; i < kSamples; ++i) ASSERT_EQ(video->RequestSample(nullptr), S_OK) << "request " << i;
  ASSERT_TRUE(recorder->Wait(Name(video), MEEndOfStream, 1));
  ASSERT_TRUE(recorder->Wait("source", MEEndOfPresentation, 1));
  ASSERT_TRUE(channel->WaitFor(kNotification, 1, 1));

  std::vector<int64_t> times;
  Types types = recorder->Types(Name(video));
  for (const Seen& e : recorder->All(Name(video)))
    if (e.type == MEMediaSample) times.push_back(e.sampleTime);
  ASSERT_EQ(times.size(), static_cast<size_t>(kSamples));
  for (int i = 0; i < kSamples; ++i) EXPECT_EQ(times[i], 1000 * i);
  EXPECT_EQ(types.front(), MEStreamStarted);
  EXPECT_EQ(types.back(), MEEndOfStream);
  EXPECT_EQ(types.size(), static_cast<size_t>(kSamples) + 2);
  EXPECT_EQ(channel->Of(kAck, 1).size(), static_cast<size_t>(kSamples));
  EXPECT_EQ(channel->Of(kNotification, 1).size(), 1u);
  EXPECT_EQ(video->RequestSample(nullptr), MF_E_END_OF_STREAM);
}

// An END_OF_STREAM for a stream the source does not list still counts.
TEST_F(Source, EndOfStreamForAnUnknownStreamCounts) {
  AddStream(1, H264Type());
  OpenAndSubscribe();
  StartAt(0, MESourceStarted);
  LogLines log;
  ASSERT_EQ(source->SendSourceEvent(VR_SOURCE_END_OF_STREAM, 0x77, MFASYNC_CALLBACK_QUEUE_MULTITHREADED), S_OK);
  ASSERT_TRUE(recorder->Wait("source", MEEndOfPresentation, 1));
  EXPECT_TRUE(log.Has("CVrMFSource::OnEndOfStreamEvent:  stream [0x77] does not exits"));
}

// A stream that wants samples the server has not sent does not keep the
// standard work queue busy: the pull ends, and the next server sample
// starts it again.
TEST_F(Source, StarvedStreamDoesNotSpin) {
  CVrMFStream* video = AddStream(1, H264Type());
  OpenAndSubscribe();
  StartAt(0, MESourceStarted);
  ASSERT_EQ(video->RequestSample(nullptr), S_OK);
  ASSERT_TRUE(Sentinel::DrainStandardQueue());  // a spinning pull would never let it run
  const uint64_t passes = source->PullPassesForTest();
  EXPECT_GE(passes, 1u);
  EXPECT_LE(passes, 4u);  // one per request for more, each ending at once
  ASSERT_TRUE(Sentinel::DrainStandardQueue());
  EXPECT_EQ(source->PullPassesForTest(), passes);
  EXPECT_TRUE(channel->Of(kAck, 1).empty());

  Send(video, 42, 3);
  ASSERT_TRUE(recorder->Wait(Name(video), MEMediaSample, 1));
  EXPECT_EQ(recorder->All(Name(video)).back().sampleTime, 42);
  EXPECT_EQ(channel->Of(kAck, 1).size(), 1u);
}

TEST_F(Source, ShutdownThenEveryOperationAnswersShutdown) {
  CVrMFStream* video = AddStream(1, H264Type());
  OpenAndSubscribe();
  ASSERT_EQ(source->Shutdown(), S_OK);
  LogLines log;
  PROPVARIANT at = At(0);
  EXPECT_EQ(source->Start(pd, nullptr, &at), MF_E_SHUTDOWN);
  EXPECT_EQ(source->Pause(), MF_E_SHUTDOWN);
  EXPECT_EQ(source->Stop(), MF_E_SHUTDOWN);
  EXPECT_EQ(source->Shutdown(), MF_E_SHUTDOWN);
  EXPECT_TRUE(log.Has("CVrMFSource::Shutdown:  already in shutdown state (MF_E_SHUTDOWN)"));
  DWORD characteristics = 0;
  EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
  IMFPresentationDescriptor* copy = nullptr;
  EXPECT_EQ(source->CreatePresentationDescriptor(&copy), MF_E_SHUTDOWN);
  IMFMediaEvent* event = nullptr;
  EXPECT_EQ(source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
  EXPECT_EQ(source->BeginGetEvent(nullptr, nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(source->EndGetEvent(nullptr, &event), MF_E_SHUTDOWN);
  EXPECT_EQ(source->QueueEvent(MEError, GUID_NULL, E_FAIL, nullptr), MF_E_SHUTDOWN);
  EXPECT_TRUE(log.Has("CVrMFSource::QueueEvent:  in shutdown state"));
  // The streams went down with the source.
  EXPECT_EQ(video->StateForTest(), CVrMFStream::kShutdown);
  EXPECT_EQ(video->RequestSample(nullptr), MF_E_SHUTDOWN);
  IMFMediaSource* owner = nullptr;
  EXPECT_EQ(video->GetMediaSource(&owner), MF_E_SHUTDOWN);
  // A work item that reaches the source afterwards is not handled.
  ASSERT_EQ(source->SendSourceEvent(VR_SOURCE_NEED_MORE_SAMPLE, 1, MFASYNC_CALLBACK_QUEUE_STANDARD), S_OK);
  ASSERT_TRUE(Sentinel::DrainStandardQueue());
  EXPECT_TRUE(log.Has("CVrMFSource::Invoke: in shutdown state - Event[4]."));
  EXPECT_EQ(source->PullPassesForTest(), 0u);
}

TEST_F(Source, OpenAndStartRefusals) {
  LogLines log;
  EXPECT_EQ(source->Open(), E_UNEXPECTED);
  EXPECT_EQ(source->StateForTest(), CVrMFSource::kCreated);
  IMFPresentationDescriptor* copy = nullptr;
  EXPECT_EQ(source->CreatePresentationDescriptor(&copy), MF_E_NOT_INITIALIZED);
  EXPECT_EQ(source->CreatePresentationDescriptor(nullptr), E_POINTER);
  DWORD characteristics = 0;
  EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
  EXPECT_EQ(characteristics, 6u);

  const Bytes video = H264Type(), audio = AacType();
  for (uint32_t id = 1; id <= 4; ++id) AddStream(0x100 + id, id % 2 ? video : audio);
  auto* twin = new CVrMFStream(0x101);
  EXPECT_EQ(source->AppendStream(twin), E_UNEXPECTED);
  auto* fifth = new CVrMFStream(0x105);
  EXPECT_EQ(source->AppendStream(fifth), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_TRUE(log.Has("stream [0x105] refused"));
  twin->Release();
  fifth->Release();

  // Start and Stop before Open.
  IMFMediaType* type = nullptr;
  MFCreateMediaType(&type);
  IMFStreamDescriptor* sd = nullptr;
  MFCreateStreamDescriptor(1, 1, &type, &sd);
  IMFPresentationDescriptor* early = nullptr;
  MFCreatePresentationDescriptor(1, &sd, &early);
  PROPVARIANT at = At(0);
  EXPECT_EQ(source->Start(early, nullptr, &at), MF_E_NOT_INITIALIZED);
  EXPECT_TRUE(log.Has("CVrMFSource::Start:  MF_E_NOT_INITIALIZED State[0]"));
  EXPECT_EQ(source->Stop(), MF_E_NOT_INITIALIZED);
  EXPECT_EQ(source->Start(nullptr, nullptr, &at), E_INVALIDARG);
  EXPECT_EQ(source->Start(early, nullptr, nullptr), E_INVALIDARG);
  const GUID otherFormat = MFVideoFormat_H264;
  EXPECT_EQ(source->Start(early, &otherFormat, &at), MF_E_UNSUPPORTED_TIME_FORMAT);
  PROPVARIANT wrongType;
  PropVariantInit(&wrongType);
  wrongType.vt = VT_UI4;
  EXPECT_EQ(source->Start(early, &GUID_NULL, &wrongType), MF_E_UNSUPPORTED_TIME_FORMAT);
  EXPECT_TRUE(log.Has("CVrMFSource::Start:  MF_E_UNSUPPORTED_TIME_FORMAT"));
  early->Release();
  sd->Release();
  type->Release();

  // Open: one descriptor per stream, identifiers in append order, all
  // selected, each with the stream's type as its current type.
  ASSERT_EQ(source->Open(), S_OK);
  EXPECT_EQ(source->StateForTest(), CVrMFSource::kStopped);
  ASSERT_EQ(source->CreatePresentationDescriptor(&pd), S_OK);
  DWORD count = 0;
  pd->GetStreamDescriptorCount(&count);
  ASSERT_EQ(count, 4u);
  for (DWORD i = 0; i < count; ++i) {
    BOOL selected = FALSE;
    IMFStreamDescriptor* d = nullptr;
    ASSERT_EQ(pd->GetStreamDescriptorByIndex(i, &selected, &d), S_OK);
    DWORD id = 0;
    d->GetStreamIdentifier(&id);
    EXPECT_EQ(id, i + 1);
    EXPECT_TRUE(selected);
    IMFMediaTypeHandler* handler = nullptr;
    d->GetMediaTypeHandler(&handler);
    IMFMediaType* current = nullptr;
    ASSERT_EQ(handler->GetCurrentMediaType(&current), S_OK);
    GUID major{};
    current->GetGUID(MF_MT_MAJOR_TYPE, &major);
    EXPECT_EQ(major, i % 2 ? MFMediaType_Audio : MFMediaType_Video);
    current->Release();
    handler->Release();
    d->Release();
  }
}

// A stream without a usable format fails the build of the descriptor; the
// source stays as it was.
TEST_F(Source, OpenFailsForAStreamWithoutFormat) {
  AddStream(1, H264Type());
  auto* bare = new CVrMFStream(2);
  Bytes cut = AacType();
  cut.pop_back();  // the format block is one byte short of its cbFormat
  EXPECT_EQ(bare->SetMediaType(static_cast<uint32_t>(cut.size()), cut.data()), E_INVALIDARG);
  ASSERT_EQ(source->AppendStream(bare), S_OK);
  streams.push_back(bare);
  LogLines log;
  EXPECT_EQ(source->Open(), E_ABORT);
  EXPECT_TRUE(log.Has("CVrMFSource::CreatePresentationDescriptor:  CreateStream failed [0x80004004] iIndex[1]"));
  EXPECT_EQ(source->StateForTest(), CVrMFSource::kCreated);
  IMFPresentationDescriptor* copy = nullptr;
  EXPECT_EQ(source->CreatePresentationDescriptor(&copy), MF_E_NOT_INITIALIZED);
}

// The channel's thread sends samples while the session requests them and
// pauses and seeks: every sample arrives once, in order, and is
// acknowledged once.
TEST_F(Source, SamplesRequestsAndSeeksFromThreeThreads) {
  CVrMFStream* video = AddStream(1, H264Type());
  CVrMFStream* audio = AddStream(2, AacType());
  OpenAndSubscribe();
  StartAt(0, MESourceStarted);
  constexpr int kSamples = 150;
  std::thread server([&] {
    for (int i = 0; i < kSamples; ++i) {
      Send(video, i, 16);
      Send(audio, i, 8);
    }
  });
  std::thread session([&] {
    for (int i = 0; i < kSamples; ++i)
      for (CVrMFStream* s : streams) EXPECT_EQ(s->RequestSample(nullptr), S_OK);
  });
  for (int round = 0; round < 3; ++round) {
    Do(&CVrMFSource::Pause, MESourcePaused);
    StartAt(0, MESourceSeeked);
  }
  server.join();
  session.join();
  for (CVrMFStream* s : streams) {
    ASSERT_TRUE(recorder->Wait(Name(s), MEMediaSample, kSamples));
    int64_t expected = 0;
    for (const Seen& e : recorder->All(Name(s)))
      if (e.type == MEMediaSample) {
        EXPECT_EQ(e.sampleTime, expected++);
      }
    EXPECT_EQ(channel->Of(kAck, s->GetStreamId()).size(), static_cast<size_t>(kSamples));
  }
}

}  // namespace
