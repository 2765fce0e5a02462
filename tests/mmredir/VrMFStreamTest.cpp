#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <future>
#include <mutex>
#include <vector>

#include "mmredir/VrMFStream.h"
#include "pelplat/strmif.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; p[0] && p[1];) {
    if (*p == ' ') { ++p; continue; }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

// TS_MM_DATA_SAMPLE: start, end, throttle duration, flags, extensions,
// cbData, data.
Bytes Sample(int64_t start, uint64_t throttle, const Bytes& data, uint32_t cbData) {
  Bytes out;
  auto put = [&](uint64_t v, int n) { for (int i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i))); };
  put(uint64_t(start), 8);
  put(uint64_t(start + 1), 8);
  put(throttle, 8);
  put(0, 4);
  put(0, 4);
  put(cbData, 4);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}
Bytes Sample(int64_t start, uint64_t throttle, const Bytes& data) {
  return Sample(start, throttle, data, uint32_t(data.size()));
}

struct RecordingChannel : IRdpVirtualChannel {
  int32_t Write(uint32_t length, const void* data) override {
    std::lock_guard<std::mutex> hold(lock);
    const auto* p = static_cast<const uint8_t*>(data);
    sent.emplace_back(p, p + length);
    return 0;
  }
  int32_t Close() override { return 0; }
  std::vector<Bytes> Sent() {
    std::lock_guard<std::mutex> hold(lock);
    return sent;
  }
  std::mutex lock;
  std::vector<Bytes> sent;
};

// The media source as the stream sees it: records what it is asked.
struct FakeSource final : IVrMFStreamOwner {
  HRESULT QueryInterface(REFIID riid, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }  // the test owns it
  HRESULT GetEvent(DWORD, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
  HRESULT EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT QueueEvent(MediaEventType type, REFGUID, HRESULT status, const PROPVARIANT*) override {
    if (whileReporting) whileReporting();
    reported.push_back({type, status});
    return S_OK;
  }
  HRESULT SendSourceEvent(VrSourceEvent type, DWORD, DWORD queue) override {
    asked.push_back({type, queue});
    return failSchedule;
  }
  std::atomic<ULONG> refs{1};
  HRESULT failSchedule = S_OK;
  std::function<void()> whileReporting;
  std::vector<std::pair<DWORD, DWORD>> asked, reported;
};

struct Token final : IUnknown {
  HRESULT QueryInterface(REFIID, void** object) override {
    *object = this;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

class Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    MFCreateStreamDescriptor(kId, 0, nullptr, &descriptor);
    source.AddRef();  // passes to the stream
    ASSERT_EQ(stream->Initialize(&source, descriptor), S_OK);
    stream->SetChannel(channel);
  }
  void TearDown() override {
    stream->Shutdown();
    EXPECT_EQ(stream->Release(), 0u);
    descriptor->Release();
    EXPECT_EQ(source.refs.load(), 1u);
  }
  // Every event queued so far, oldest first; MEMediaSample events also give
  // the token on their sample (null without one).
  std::vector<MediaEventType> Events(std::vector<IUnknown*>* tokens = nullptr) {
    std::vector<MediaEventType> types;
    IMFMediaEvent* e = nullptr;
    while (stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &e) == S_OK) {
      MediaEventType t = MEUnknown;
      e->GetType(&t);
      types.push_back(t);
      PROPVARIANT v;
      e->GetValue(&v);
      if (t == MEMediaSample && tokens) {
        IMFSample* s = static_cast<IMFSample*>(v.punkVal);
        IUnknown* token = nullptr;
        s->GetUnknown(MFSampleExtension_Token, IID_IUnknown, reinterpret_cast<void**>(&token));
        tokens->push_back(token);
        if (token) token->Release();
      }
      PropVariantClear(&v);
      e->Release();
    }
    return types;
  }
  // Pulls one queued sample into the ready list, as the source does.
  void Pull() {
    IMFSample* s = nullptr;
    ASSERT_EQ(stream->GetNextSample(&s), S_OK);
    ASSERT_NE(s, nullptr);
    stream->DeliverSample(s);
  }
  void Start() {
    PROPVARIANT at;
    PropVariantInit(&at);
    ASSERT_EQ(stream->SetStart(at, false), S_OK);
  }

  static constexpr uint32_t kId = 0x11223344;
  CVrMFStream* stream = new CVrMFStream(kId);
  FakeSource source;
  IMFStreamDescriptor* descriptor = nullptr;
  std::shared_ptr<RecordingChannel> channel = std::make_shared<RecordingChannel>();
};

// PLAYBACK_ACK and CLIENT_EVENT_NOTIFICATION as MS-RDPEV lays them out:
// InterfaceId 1 with the STREAM_ID_PROXY mask, MessageId, FunctionId,
// StreamId, then DataDuration and cbData (8 bytes each), or EventId and
// cbData.
TEST_F(Stream, AcknowledgementsAndTheEndNotificationByteForByte) {
  ASSERT_EQ(stream->OnSample(Sample(1000, 0x0102030405060708, {1, 2, 3}).data(), 39), 0);
  ASSERT_EQ(stream->OnSample(Sample(2000, 400000, Bytes(5, 9)).data(), 41), 0);
  IMFSample* s = nullptr;
  ASSERT_EQ(stream->GetNextSample(&s), S_OK);
  ASSERT_NE(s, nullptr);
  LONGLONG time = 0, duration = 0;
  DWORD length = 0;
  s->GetSampleTime(&time);
  s->GetSampleDuration(&duration);
  s->GetTotalLength(&length);
  EXPECT_EQ(time, 1000);
  EXPECT_EQ(duration, 0x0102030405060708);
  EXPECT_EQ(length, 3u);
  s->Release();
  stream->SetEndOfStream();  // the second sample is acknowledged, then the end
  const std::vector<Bytes> expected = {
      Hex("01000040 00000000 00010000 44332211 0807060504030201 0300000000000000"),
      Hex("01000040 00000000 00010000 44332211 801a060000000000 0500000000000000"),
      Hex("01000040 00000000 01010000 44332211 64000000 00000000"),
  };
  EXPECT_EQ(channel->Sent(), expected);
}

// What RequestSample answers in each state, and what a shut-down stream
// refuses.
TEST_F(Stream, RequestSampleAnswersByState) {
  PROPVARIANT at;
  PropVariantInit(&at);
  struct Case {
    const char* name;
    std::function<void()> into;
    HRESULT expected;
  } cases[] = {
      {"created", [] {}, S_OK},
      {"paused", [&] { stream->SetPause(); }, S_OK},
      {"stopped", [&] { stream->SetStop(); }, MF_E_MEDIA_SOURCE_WRONGSTATE},
      {"started", [&] { stream->SetStart(at, false); }, S_OK},
      {"end delivered", [&] { stream->OnEndOfStream(); }, MF_E_END_OF_STREAM},
      {"shut down", [&] { stream->Shutdown(); }, MF_E_SHUTDOWN},
  };
  for (const Case& c : cases) {
    c.into();
    EXPECT_EQ(stream->RequestSample(nullptr), c.expected) << c.name;
  }
  EXPECT_EQ(stream->StateForTest(), CVrMFStream::kShutdown);
  EXPECT_EQ(stream->SetStart(at, false), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->SetPause(), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->SetStop(), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->Shutdown(), MF_E_SHUTDOWN);
  IMFStreamDescriptor* sd = nullptr;
  EXPECT_EQ(stream->GetStreamDescriptor(&sd), MF_E_SHUTDOWN);
  IMFMediaSource* ms = nullptr;
  EXPECT_EQ(stream->GetMediaSource(&ms), MF_E_SHUTDOWN);
  // The source was asked for END_OF_STREAM on the pool once the end was out.
  EXPECT_EQ(source.asked.back(), std::make_pair(DWORD{VR_SOURCE_END_OF_STREAM}, DWORD{5}));
}

// Requests made while paused are answered after the start, the tokens
// given attached oldest first; a null token is a request without a token.
TEST_F(Stream, TokensGoOnTheDeliveredSamplesInOrder) {
  Token a, b;
  stream->SetPause();
  for (IUnknown* t : {static_cast<IUnknown*>(&a), static_cast<IUnknown*>(nullptr), static_cast<IUnknown*>(&b)})
    ASSERT_EQ(stream->RequestSample(t), S_OK);
  for (int i = 0; i < 3; ++i) stream->OnSample(Sample(i, 1, {uint8_t(i)}).data(), 37);
  for (int i = 0; i < 3; ++i) Pull();
  Events();  // MEStreamPaused
  Start();
  std::vector<IUnknown*> tokens;
  EXPECT_EQ(Events(&tokens), (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample, MEMediaSample, MEMediaSample}));
  EXPECT_EQ(tokens, (std::vector<IUnknown*>{&a, &b, nullptr}));
  EXPECT_EQ(a.refs.load(), 1u);
  EXPECT_EQ(b.refs.load(), 1u);
  // While started and short of samples the stream asks for more on queue 1.
  EXPECT_EQ(source.asked.back(), std::make_pair(DWORD{VR_SOURCE_NEED_MORE_SAMPLE}, DWORD{1}));
}

// The end announced while two samples are ready: both go out against
// requests before MEEndOfStream.
TEST_F(Stream, EndOfStreamWaitsForTheReadySamples) {
  for (int i = 0; i < 2; ++i) stream->OnSample(Sample(i, 1, {1}).data(), 37);
  Start();
  Pull();
  Pull();
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  stream->OnEndOfStream();
  EXPECT_EQ(Events(), (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample}));
  EXPECT_EQ(stream->StateForTest(), CVrMFStream::kStarted);
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  EXPECT_EQ(Events(), (std::vector<MediaEventType>{MEMediaSample, MEEndOfStream}));
  EXPECT_EQ(stream->StateForTest(), CVrMFStream::kEndDelivered);
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_END_OF_STREAM);
  // OnStart clears the end: a new start delivers samples again.
  stream->OnStart(0, 0);
  stream->OnSample(Sample(9, 1, {1}).data(), 37);
  Start();
  Pull();
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  EXPECT_EQ(Events(), (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample}));
}

TEST_F(Stream, EndOfStreamWhilePausedWaitsForTheStart) {
  stream->SetPause();
  stream->OnEndOfStream();
  EXPECT_EQ(Events(), (std::vector<MediaEventType>{MEStreamPaused}));
  Start();
  EXPECT_EQ(Events(), (std::vector<MediaEventType>{MEStreamStarted, MEEndOfStream}));
  EXPECT_EQ(stream->StateForTest(), CVrMFStream::kEndDelivered);
}

TEST_F(Stream, FlushDropsEverythingWithoutAcknowledging) {
  Token t;
  for (int i = 0; i < 3; ++i) stream->OnSample(Sample(i, 1, {1}).data(), 37);
  Pull();
  ASSERT_EQ(stream->RequestSample(&t), S_OK);
  channel->sent.clear();
  ASSERT_EQ(stream->OnFlush(), 0);
  EXPECT_EQ(t.refs.load(), 1u);
  IMFSample* s = nullptr;
  EXPECT_EQ(stream->GetNextSample(&s), S_OK);
  EXPECT_EQ(s, nullptr);
  EXPECT_TRUE(channel->Sent().empty());
}

// A sample that reaches a started stream short of ready samples has the
// source pull again; a paused stream or one with two samples ready waits.
TEST_F(Stream, ArrivingSampleRearmsThePullOnlyWhenItIsWanted) {
  const DWORD needMore = VR_SOURCE_NEED_MORE_SAMPLE, standard = MFASYNC_CALLBACK_QUEUE_STANDARD;
  stream->SetPause();
  source.asked.clear();
  for (int i = 0; i < 2; ++i) stream->OnSample(Sample(i, 1, {1}).data(), 37);
  EXPECT_TRUE(source.asked.empty());
  Start();
  Pull();
  Pull();  // two ready: no demand
  source.asked.clear();
  stream->OnSample(Sample(2, 1, {1}).data(), 37);
  EXPECT_TRUE(source.asked.empty());
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);  // one goes out, demand again
  source.asked.clear();
  stream->OnSample(Sample(3, 1, {1}).data(), 37);
  EXPECT_EQ(source.asked, (std::vector<std::pair<DWORD, DWORD>>{{needMore, standard}}));
}

// A record shorter than its header or than the data it claims is refused
// and queues nothing.
TEST_F(Stream, SamplesWhoseLengthsDisagreeAreRefused) {
  const Bytes good = Sample(0, 1, {1, 2, 3, 4});
  struct Case {
    const char* name;
    Bytes bytes;
    uint32_t count;
  } cases[] = {
      {"null", {}, 0},
      {"header cut", good, 20},
      {"cbData beyond the record", Sample(0, 1, {1, 2}, 3), 38},
      {"cbData huge", Sample(0, 1, {1, 2}, 0xFFFFFFF0u), 38},
      {"bytes after the data", Sample(0, 1, {1, 2, 3}, 2), 39},
  };
  for (const Case& c : cases)
    EXPECT_EQ(stream->OnSample(c.bytes.empty() ? nullptr : c.bytes.data(), c.count), E_INVALIDARG) << c.name;
  IMFSample* s = nullptr;
  EXPECT_EQ(stream->GetNextSample(&s), S_OK);
  EXPECT_EQ(s, nullptr);
  EXPECT_TRUE(channel->Sent().empty());
}

TEST(StreamWithoutChannel, TakingASampleSkipsTheAcknowledgement) {
  CVrMFStream* stream = new CVrMFStream(5);
  const Bytes record = Sample(0, 1, {7});
  ASSERT_EQ(stream->OnSample(record.data(), uint32_t(record.size())), 0);
  IMFSample* s = nullptr;
  ASSERT_EQ(stream->GetNextSample(&s), S_OK);
  ASSERT_NE(s, nullptr);
  s->Release();
  EXPECT_EQ(stream->SetEndOfStream(), 0);
  // A second channel does not replace the first.
  auto first = std::make_shared<RecordingChannel>(), second = std::make_shared<RecordingChannel>();
  stream->SetChannel(first);
  stream->SetChannel(second);
  stream->SetEndOfStream();
  EXPECT_EQ(first->Sent().size(), 1u);
  EXPECT_TRUE(second->Sent().empty());
  EXPECT_EQ(stream->Release(), 0u);
}

// A failed scheduling is reported on the source as MEError, and the report
// comes with the stream's lock free: the source may call back into it.
TEST_F(Stream, DispatchFailureReachesTheSourceWithoutTheStreamLock) {
  source.failSchedule = E_OUTOFMEMORY;
  bool lockFree = false;
  source.whileReporting = [&] {
    auto probe = std::async(std::launch::async, [&] { return stream->NeedsMoreSamples(); });
    lockFree = probe.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  };
  PROPVARIANT at;
  PropVariantInit(&at);
  EXPECT_EQ(stream->SetStart(at, false), E_OUTOFMEMORY);
  ASSERT_EQ(source.reported.size(), 1u);
  EXPECT_EQ(source.reported[0], std::make_pair(DWORD{MEError}, DWORD(E_OUTOFMEMORY)));
  EXPECT_TRUE(lockFree);
}

TEST(StreamFormat, CheckMediaFormatRefusesOtherMajorTypes) {
  CVrMFStream* stream = new CVrMFStream(0);
  Bytes format(64, 0);  // GUID_NULL major type
  EXPECT_EQ(stream->CheckMediaFormat(64, format.data()), E_NOTIMPL);
  EXPECT_EQ(stream->CheckMediaFormat(8, format.data()), E_INVALIDARG);
  EXPECT_EQ(stream->Release(), 0u);
}

// TS_AM_MEDIA_TYPE: major, subtype, fixed-size flag, temporal flag, sample
// size, format type, cbFormat, format block.
Bytes MediaType(const GUID& major, const GUID& subtype, const GUID& formatType, const Bytes& block) {
  Bytes out;
  auto put = [&](uint64_t v, int n) { for (int i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i))); };
  auto guid = [&](const GUID& g) {
    put(g.Data1, 4);
    put(g.Data2, 2);
    put(g.Data3, 2);
    out.insert(out.end(), g.Data4, g.Data4 + 8);
  };
  guid(major);
  guid(subtype);
  put(0, 4);
  put(1, 4);
  put(0, 4);
  guid(formatType);
  put(block.size(), 4);
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

// PCM, 48 kHz, two channels, 16 bits: a WAVEFORMATEX with no extra bytes.
Bytes PcmType() {
  return MediaType(MFMediaType_Audio, MFAudioFormat_PCM, FORMAT_WaveFormatEx,
                   Hex("0100 0200 80bb0000 00ee0200 0400 1000 0000"));
}

TEST(StreamFormat, GetMediaTypeBuildsTheStoredFormat) {
  CVrMFStream* stream = new CVrMFStream(3);
  IMFMediaType* type = nullptr;
  EXPECT_EQ(stream->GetMediaType(&type), E_ABORT);  // nothing stored yet
  const Bytes pcm = PcmType();
  ASSERT_EQ(stream->SetMediaType(uint32_t(pcm.size()), pcm.data()), 0);
  ASSERT_EQ(stream->GetMediaType(&type), S_OK);
  GUID g{};
  type->GetGUID(MF_MT_MAJOR_TYPE, &g);
  EXPECT_EQ(g, MFMediaType_Audio);
  type->GetGUID(MF_MT_SUBTYPE, &g);
  EXPECT_EQ(g, MFAudioFormat_PCM);
  UINT32 rate = 0, channels = 0;
  type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
  type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(channels, 2u);
  type->Release();
  // A format type the conversion does not know fails and is logged.
  const Bytes odd = MediaType(MFMediaType_Video, MFVideoFormat_H264, GUID_NULL, {});
  ASSERT_EQ(stream->SetMediaType(uint32_t(odd.size()), odd.data()), 0);
  EXPECT_EQ(stream->GetMediaType(&type), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(stream->Release(), 0u);
}

// A media type is taken when its format block ends within the bytes given,
// whatever follows it, and refused when the bytes are shorter than the
// 64-byte header or cbFormat reaches past their end, also where 64 +
// cbFormat passes 2^32. A refusal keeps the stored type.
TEST(StreamFormat, AMediaTypeIsTakenWhenItHoldsItsFormatBlock) {
  const Bytes pcm = PcmType();
  const uint32_t size = uint32_t(pcm.size());
  auto padded = [&](size_t extra) {
    Bytes b = pcm;
    b.resize(b.size() + extra, 0xA5);
    return b;
  };
  auto claiming = [&](uint32_t cbFormat) {
    Bytes b = padded(64);
    for (int i = 0; i < 4; ++i) b[60 + i] = uint8_t(cbFormat >> (8 * i));
    return b;
  };
  const Bytes headerOnly = MediaType(MFMediaType_Video, MFVideoFormat_H264, FORMAT_MPEG2Video, {});
  struct Case {
    const char* name;
    Bytes bytes;
    uint32_t count;
    bool taken;
  } cases[] = {
      {"exact", pcm, size, true},
      {"one byte after the block", padded(1), size + 1, true},
      {"many bytes after the block", padded(300), size + 300, true},
      {"no block, bytes after the header", MediaType(MFMediaType_Audio, MFAudioFormat_PCM, FORMAT_WaveFormatEx, {}), 64,
       true},
      {"header only", headerOnly, 64, true},
      {"header cut", pcm, 63, false},
      {"far too short", pcm, 8, false},
      {"block cut by a byte", pcm, size - 1, false},
      {"cbFormat a byte past the end", claiming(size + 1), size + 64, false},
      {"64 + cbFormat wraps to 0", claiming(0xFFFFFFC0u), size + 64, false},
      {"64 + cbFormat wraps to 63", claiming(0xFFFFFFFFu), size + 64, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVrMFStream* stream = new CVrMFStream(4);
    const Bytes before = PcmType();
    ASSERT_EQ(stream->SetMediaType(uint32_t(before.size()), before.data()), 0);
    const int32_t stored = stream->SetMediaType(c.count, c.bytes.data());
    const int32_t checked = stream->CheckMediaFormat(c.count, c.bytes.data());
    if (c.taken) {
      EXPECT_EQ(stored, 0);
      EXPECT_NE(checked, E_INVALIDARG);
      EXPECT_EQ(stream->Format(), Bytes(c.bytes.begin(), c.bytes.begin() + c.count));
    } else {
      EXPECT_EQ(stored, E_INVALIDARG);
      EXPECT_EQ(checked, E_INVALIDARG);
      EXPECT_EQ(stream->Format(), before);
    }
    EXPECT_EQ(stream->Release(), 0u);
  }
}

// The bytes after the format block are not part of it: the media type is
// built from cbFormat bytes.
TEST(StreamFormat, BytesAfterTheFormatBlockAreNotRead) {
  CVrMFStream* stream = new CVrMFStream(5);
  Bytes padded = PcmType();
  padded.resize(padded.size() + 40, 0xEE);
  ASSERT_EQ(stream->SetMediaType(uint32_t(padded.size()), padded.data()), 0);
  IMFMediaType* type = nullptr;
  ASSERT_EQ(stream->GetMediaType(&type), S_OK);
  UINT32 rate = 0, channels = 0, blob = 0;
  type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
  type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(channels, 2u);
  // No trailing byte reached the type as extra format data.
  EXPECT_NE(type->GetBlobSize(MF_MT_USER_DATA, &blob), S_OK);
  type->Release();
  // No data drops the stored format.
  EXPECT_EQ(stream->SetMediaType(0, nullptr), 0);
  EXPECT_TRUE(stream->Format().empty());
  EXPECT_EQ(stream->Release(), 0u);
}

}  // namespace
