// The player stream's pipeline: byte-stream routines, the software colour
// formula, recycled samples, the renderer under a test-driven pace, the
// decoder over the platform's H.264 transform and the stream itself.
#include <algorithm>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <random>
#include <thread>

#include <QImage>

#include "stream_port.h"
#include "mf/av_clip.h"
#include "mf/x264_clip.h"
#include "pelplat/mfbuiltins.h"
#include "streams/AvcByteStream.h"
#include "streams/ColorConverter.h"
#include "streams/SampleRenderer.h"
#include "streams/VlcDecoder.h"
#include "streams/VlcStream.h"
#include "streams/VrSample.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <class Pred>
bool WaitFor(Pred pred, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

// ---- byte-stream routines

TEST(AvcByteStream, ConfigurationRecordsBecomeAnnexB) {
  const Bytes record = {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 3, 0x67, 0xAA, 0xBB, 1, 0, 2, 0x68, 0xCC};
  EXPECT_EQ(avc::AvcConfigToAnnexBSize(record.data(), 16), 3u + 4 + 2 + 4);
  uint32_t lengthSize = 0;
  EXPECT_EQ(avc::AvcConfigToAnnexB(record.data(), 16, &lengthSize),
            (Bytes{0, 0, 0, 1, 0x67, 0xAA, 0xBB, 0, 0, 0, 1, 0x68, 0xCC}));
  EXPECT_EQ(lengthSize, 4u);
  struct Case {
    const char* name;
    Bytes bytes;
  } refused[] = {
      {"under 12 bytes", {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 1, 0x67, 1, 0}},
      {"SPS past the end", {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 9, 0x67, 0xAA, 0xBB, 0}},
      {"PPS length cut", {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 3, 0x67, 0xAA, 0xBB, 1, 0}},
      {"PPS past the end", {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 3, 0x67, 0xAA, 0xBB, 1, 0, 5, 0x68}},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(avc::AvcConfigToAnnexBSize(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), 0u);
    EXPECT_TRUE(avc::AvcConfigToAnnexB(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), &lengthSize).empty());
  }
}

TEST(AvcByteStream, ParameterSetsAreFoundBeforeTheFirstSlice) {
  const Bytes stream = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x6D, 4, 0, 0, 1, 0x65, 9,
                        0, 0, 1, 0x67, 7, 7};
  avc::ParameterSets sets;
  ASSERT_TRUE(avc::FindAnnexBParameterSets(stream.data(), static_cast<uint32_t>(stream.size()), &sets));
  EXPECT_EQ(sets.sps, (Bytes{0x67, 1, 2}));
  EXPECT_EQ(sets.pps, (Bytes{0x68, 3}));
  EXPECT_EQ(sets.spsExtension, (Bytes{0x6D, 4}));
  const Bytes none = {0, 0, 1, 0x65, 1, 2, 0, 0, 1};
  EXPECT_FALSE(avc::FindAnnexBParameterSets(none.data(), static_cast<uint32_t>(none.size()), &sets));
  EXPECT_EQ(avc::FindStartCode(stream.data(), static_cast<uint32_t>(stream.size()), 5), 8u);
  EXPECT_EQ(avc::FindStartCode(none.data(), 8, 1), 8u);
}

TEST(AvcByteStream, LengthsBecomeStartCodesUntilOneRunsPastTheEnd) {
  struct Case {
    const char* name;
    Bytes in, out;
  } cases[] = {
      {"two units", {0, 0, 0, 2, 9, 9, 0, 0, 0, 1, 8}, {0, 0, 0, 1, 9, 9, 0, 0, 0, 1, 8}},
      {"second too long", {0, 0, 0, 1, 9, 0, 0, 0, 5, 8}, {0, 0, 0, 1, 9, 0, 0, 0, 5, 8}},
      {"negative", {0x80, 0, 0, 1, 9}, {0x80, 0, 0, 1, 9}},
      {"cut length", {0, 0, 0, 1, 9, 0, 0}, {0, 0, 0, 1, 9, 0, 0}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    avc::AvcToAnnexB(c.in.data(), static_cast<uint32_t>(c.in.size()), 4);
    EXPECT_EQ(c.in, c.out);
  }
}

// ---- the software formula

// Written apart from the converter: per pixel, in 64-bit arithmetic.
uint32_t ReferencePixel(int y, int cb, int cr) {
  const int64_t l = 1164LL * (std::max(y, 16) - 16);
  auto clamp = [](int64_t v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  const uint32_t r = clamp((l + 1596LL * (cr - 128)) / 1000);
  const uint32_t g = clamp((l - 813LL * (cr - 128) - 391LL * (cb - 128)) / 1000);
  const uint32_t b = clamp((l + 2018LL * (cb - 128)) / 1000);
  return 0xFF000000u | r << 16 | g << 8 | b;
}

TEST(SoftwareConversion, GreyBlackAndChromaRows) {
  struct Case {
    const char* name;
    uint8_t y, cb, cr;
    uint32_t want;
  } cases[] = {{"mid grey", 128, 128, 128, 0xFF828282u},
               {"Y 0 is black", 0, 128, 128, 0xFF000000u},
               {"Y 16 is black", 16, 128, 128, 0xFF000000u},
               {"Y 235 is white", 235, 128, 128, 0xFFFEFEFEu}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes nv12(4 * 2 + 4 * 1, c.y);
    for (size_t i = 8; i < nv12.size(); i += 2) nv12[i] = c.cb, nv12[i + 1] = c.cr;
    uint32_t out[8];
    ASSERT_TRUE(CColorConverter::ConvertNv12ToRgb32(nv12.data(), nv12.size(), 4, 2, out));
    for (uint32_t pixel : out) EXPECT_EQ(pixel, c.want);
  }
  // Rows 0, 1 take chroma row 0; rows 2, 3 chroma row 1.
  Bytes nv12(2 * 4, 128);
  nv12.insert(nv12.end(), {200, 60, 60, 200});
  uint32_t out[8];
  ASSERT_TRUE(CColorConverter::ConvertNv12ToRgb32(nv12.data(), nv12.size(), 2, 4, out));
  for (int row = 0; row < 4; ++row)
    EXPECT_EQ(out[row * 2], row < 2 ? ReferencePixel(128, 200, 60) : ReferencePixel(128, 60, 200)) << row;
}

TEST(SoftwareConversion, RandomPicturesMatchTheFormulaAndBadSizesAreRefused) {
  std::mt19937 random(7);
  const int w = 34, h = 21;
  Bytes nv12(w * h + w * ((h + 1) / 2));
  for (uint8_t& b : nv12) b = static_cast<uint8_t>(random());
  std::vector<uint32_t> out(w * h);
  ASSERT_TRUE(CColorConverter::ConvertNv12ToRgb32(nv12.data(), nv12.size(), w, h, out.data()));
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      const uint8_t* pair = &nv12[w * h + (r / 2) * w + (c / 2) * 2];
      ASSERT_EQ(out[r * w + c], ReferencePixel(nv12[r * w + c], pair[0], pair[1])) << r << "," << c;
    }
  EXPECT_FALSE(CColorConverter::ConvertNv12ToRgb32(nv12.data(), nv12.size() - 1, w, h, out.data()));
  EXPECT_FALSE(CColorConverter::ConvertNv12ToRgb32(nv12.data(), nv12.size(), w - 1, h, out.data()));
}

// ---- recycled samples

TEST(RecycleManager, FreeListKeepsFiveAndLooksOnlyAtItsOldest) {
  const int before = g_vrSamplesDestroyed.load();
  CVrRecycleManager* manager = new CVrRecycleManager();
  std::vector<CVrVideoSample*> out;
  for (int i = 0; i < 6; ++i) out.push_back(manager->GetSample(100, 4, 4, 32, 0));
  for (CVrVideoSample* s : out) s->Release();
  EXPECT_EQ(manager->FreeCount(), 5);
  EXPECT_EQ(g_vrSamplesDestroyed.load() - before, 1);  // the sixth pushed the oldest out
  CVrVideoSample* again = manager->GetSample(50, 8, 2, 12, 7);
  EXPECT_EQ(manager->Recycled(), 1);
  EXPECT_EQ(again->GetWidth(), 8);
  EXPECT_EQ(again->GetBitsPerPixel(), 12);
  EXPECT_EQ(again->GetLength(), 0);
  again->Release();
  // The oldest free one is too small: destroyed, a new one made.
  CVrVideoSample* big = manager->GetSample(1000, 1, 1, 32, 0);
  EXPECT_GE(big->GetCapacity(), 1000);
  EXPECT_EQ(manager->Created(), 7);
  big->Release();
  manager->Release();
}

// ---- renderer under a test-driven pace

class SteppedPace {
 public:
  std::function<bool()> Wait() {
    return [this] {
      std::unique_lock<std::mutex> hold(lock_);
      ++waiting_;
      changed_.notify_all();
      changed_.wait(hold, [this] { return ticks_ > 0 || ended_; });
      if (ticks_ > 0) {
        --ticks_;
        ++taken_;
      }
      return !ended_;
    };
  }
  // One pass of the thread, returning when it waits again. The thread may
  // not have reached its first wait yet: the pass of this tick is done when
  // the thread has entered its wait once more than the ticks taken by then.
  void Tick() {
    std::unique_lock<std::mutex> hold(lock_);
    ++ticks_;
    const int passes = taken_ + ticks_;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::seconds(20), [&] { return waiting_ > passes; });
  }
  void End() {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int ticks_ = 0, taken_ = 0, waiting_ = 0;
  bool ended_ = false;
};

class EventPort : public StreamPort {
 public:
  EventPort() : StreamPort(64, 48, 24) {}
  int SendClientEvent(uint32_t code, const void* data, uint32_t length) override {
    std::lock_guard<std::mutex> hold(eventLock);
    uint32_t value = 0;
    if (length == 4) std::memcpy(&value, data, 4);
    events.push_back({code, value});
    return 0;
  }
  std::mutex eventLock;
  std::vector<std::pair<uint32_t, uint32_t>> events;
};

CVrVideoSample* Frame(int w, int h, uint32_t colour) {
  std::vector<uint32_t> pixels(w * h, colour);
  return new CVrVideoSample(reinterpret_cast<const BYTE*>(pixels.data()), w * h * 4, w, h, 32, 0);
}

TEST(SampleRenderer, HoldsBackFifteenDropsPastTwentyAndClearsTheSurfaceAtTheEnd) {
  auto port = std::make_shared<EventPort>();
  SteppedPace pace;
  CVrSampleRenderer* renderer = new CVrSampleRenderer(port, 0);
  renderer->SetPace(pace.Wait());
  CVrVideoSample* early = Frame(8, 8, 0xFF00FF00);
  EXPECT_EQ(renderer->AddSample(early), 0x1005);  // no format yet
  ASSERT_EQ(renderer->SetVideoFormat(8, 8, 32), 0);
  EXPECT_EQ(renderer->SetVideoFormat(0, 8, 32), E_INVALIDARG);
  renderer->SetTargetRect(RECT{4, 4, 12, 12});
  renderer->SetColourKey(0xFFFFFFFF);
  EXPECT_EQ(renderer->Repaint(), 0);  // nothing to draw yet
  EXPECT_TRUE(port->Repaints().empty());
  for (int i = 0; i < 21; ++i) {
    CVrVideoSample* f = Frame(8, 8, 0xFF000000u + i);
    EXPECT_EQ(renderer->AddSample(f), 0);
    f->Release();
  }
  EXPECT_EQ(renderer->QueuedVideo(), 20);  // the 21st pushed the oldest out
  for (int i = 0; i < 5; ++i) pace.Tick();
  EXPECT_EQ(renderer->QueuedVideo(), 15);  // the last 15 stay
  pace.Tick();
  EXPECT_EQ(renderer->QueuedVideo(), 15);
  EXPECT_EQ(port->Repaints().size(), 5u);
  EXPECT_EQ(port->Repaints().back(), (Repaint{4, 4, 8, 8, 0}));
  // A zero-width rectangle draws nothing but the frame is kept.
  renderer->SetTargetRect(RECT{4, 4, 4, 12});
  CVrVideoSample* f = Frame(8, 8, 1);
  renderer->AddSample(f);
  f->Release();
  pace.Tick();
  EXPECT_EQ(port->Repaints().size(), 5u);
  EXPECT_TRUE(renderer->HasLastFrame());
  renderer->SetTargetRect(RECT{0, 0, 16, 16});
  renderer->Repaint();
  EXPECT_EQ(port->Repaints().back(), (Repaint{0, 0, 16, 16, 0}));
  renderer->Flush();
  EXPECT_EQ(renderer->QueuedVideo(), 0);
  EXPECT_FALSE(renderer->HasLastFrame());
  pace.End();
  renderer->Release();
  ASSERT_EQ(port->events.size(), 1u);
  EXPECT_EQ(port->events[0], std::make_pair(0x4A000u, 1u));
  early->Release();
}

TEST(SampleRenderer, AFrameShorterThanItsGeometryIsNotDrawn) {
  auto port = std::make_shared<EventPort>();
  SteppedPace pace;
  CVrSampleRenderer* renderer = new CVrSampleRenderer(port, 0);
  renderer->SetPace(pace.Wait());
  renderer->SetVideoFormat(8, 8, 32);
  renderer->SetTargetRect(RECT{0, 0, 8, 8});
  std::vector<uint8_t> few(8 * 8 * 4 - 1, 0xEE);
  CVrVideoSample* cut = new CVrVideoSample(few.data(), static_cast<uint32_t>(few.size()), 8, 8, 32, 0);
  for (int i = 0; i < 16; ++i) renderer->AddSample(cut);
  cut->Release();
  pace.Tick();
  pace.Tick();
  EXPECT_TRUE(renderer->HasLastFrame());
  // Nothing copied: the surface keeps its black pixels.
  ASSERT_NE(port->keeper.GetImage(), nullptr);
  EXPECT_EQ(port->keeper.GetImage()->pixel(0, 0) & 0xFFFFFF, 0u);
  pace.End();
  renderer->Release();
}

// ---- the decoder over the platform's H.264 transform

class Listener : public IDecoderDataListener {
 public:
  int AddRef() override { return ++refs; }
  int Release() override { return --refs; }
  void SetVideoOutputFormat(REFGUID subtype, int width, int height) override {
    formats.push_back({subtype == MFVideoFormat_NV12, width, height});
  }
  void SetAudioOutputFormat(const BYTE*, uint32_t) override {}
  void OnDecodedSample(CVrSample* sample) override {
    ++decoded;
    lastTime = sample->GetTime();
  }
  struct Format {
    bool nv12;
    int width, height;
  };
  std::atomic<int> refs{0};
  std::vector<Format> formats;
  int decoded = 0;
  int64_t lastTime = 0;
};

Bytes FormatRecord(uint32_t mediaType, const char* code, int w, int h, const Bytes& codec) {
  Bytes r(64, 0);
  auto put = [&](size_t at, uint32_t v) { std::memcpy(&r[at], &v, 4); };
  put(12, mediaType);
  std::memcpy(&r[16], code, 4);
  put(20, static_cast<uint32_t>(w));
  put(24, static_cast<uint32_t>(h));
  put(60, static_cast<uint32_t>(codec.size()));
  r.insert(r.end(), codec.begin(), codec.end());
  return r;
}

Bytes DataRecord(const Bytes& payload, int64_t first, int64_t second, uint32_t colorref = 0x00FF00FF,
                 RECT rect = RECT{0, 0, 64, 48}, uint8_t flags = 0, uint32_t mediaType = 1) {
  Bytes r(76, 0);
  auto put = [&](size_t at, const void* v, size_t n) { std::memcpy(&r[at], v, n); };
  put(12, &mediaType, 4);
  put(16, &colorref, 4);
  put(20, &rect, 16);
  r[36] = flags;
  put(56, &first, 8);
  put(64, &second, 8);
  const uint32_t n = static_cast<uint32_t>(payload.size());
  put(72, &n, 4);
  r.insert(r.end(), payload.begin(), payload.end());
  return r;
}

class MfPipeline : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION), S_OK); }
  void TearDown() override { MFShutdown(); }
};

TEST_F(MfPipeline, ConfigurationRecordGivesParameterSetsToTheFirstFrameOnly) {
  X264Clip clip;
  ASSERT_TRUE(clip.Make(64, 48, 3));
  Listener listener;
  CVlcDecoder* decoder = new CVlcDecoder();
  listener.AddRef();
  decoder->SetListener(&listener);
  const Bytes format = FormatRecord(1, "avc1", 64, 48, clip.AvcConfig());
  ASSERT_EQ(decoder->SetFormat(format.data(), static_cast<uint32_t>(format.size())), 0);
  EXPECT_TRUE(decoder->LengthPrefixed());
  EXPECT_TRUE(decoder->ParameterSetsPending());
  ASSERT_EQ(listener.formats.size(), 1u);
  EXPECT_TRUE(listener.formats[0].nv12);

  Bytes sets = {0, 0, 0, 1};
  sets.insert(sets.end(), clip.sps.begin(), clip.sps.end());
  sets.insert(sets.end(), {0, 0, 0, 1});
  sets.insert(sets.end(), clip.pps.begin(), clip.pps.end());
  for (size_t i = 0; i < clip.accessUnits.size(); ++i) {
    const Bytes payload = clip.LengthPrefixed(i);
    const Bytes record = DataRecord(payload, 5000 + static_cast<int64_t>(i), 0);
    ASSERT_EQ(decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size())), S_OK);
    const Bytes sent = decoder->LastInput();
    const bool withSets = sent.size() > sets.size() && std::equal(sets.begin(), sets.end(), sent.begin());
    EXPECT_EQ(withSets, i == 0) << i;
    // Every 4-byte length became a start code.
    EXPECT_EQ(Bytes(sent.end() - payload.size(), sent.end() - payload.size() + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(decoder->LastInputTime(), (5000 + static_cast<int64_t>(i)) * 10);
  }
  // The first output announced its format: a new type, then the frame.
  ASSERT_EQ(listener.formats.size(), 2u);
  EXPECT_EQ(listener.formats[1].width, 64);
  EXPECT_EQ(listener.decoded, 2);
  EXPECT_EQ(listener.lastTime, 5001);
  // The payload must lie inside the record.
  Bytes cut = DataRecord(clip.LengthPrefixed(0), 1, 1);
  cut.pop_back();
  EXPECT_EQ(decoder->ProcessInput(cut.data(), static_cast<uint32_t>(cut.size())), E_INVALIDARG);
  decoder->Shutdown();
  decoder->Release();
  EXPECT_EQ(listener.refs.load(), 0);
}

TEST_F(MfPipeline, ShortConfigurationAndUnknownCodesAndNoDecoder) {
  CVlcDecoder* decoder = new CVlcDecoder();
  const Bytes shortConfig = FormatRecord(1, "H264", 64, 48, {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 0});
  ASSERT_EQ(decoder->SetFormat(shortConfig.data(), static_cast<uint32_t>(shortConfig.size())), 0);
  EXPECT_TRUE(decoder->CodecData().empty());
  EXPECT_FALSE(decoder->ParameterSetsPending());
  decoder->Release();
  struct Case {
    const char* name;
    Bytes record;
    HRESULT want;
  } cases[] = {{"unknown code", FormatRecord(1, "XVID", 64, 48, {}), E_ABORT},
               {"audio", FormatRecord(2, "H264", 0, 0, {}), E_ABORT},
               {"other media", FormatRecord(5, "H264", 0, 0, {}), E_NOTIMPL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVlcDecoder* d = new CVlcDecoder();
    EXPECT_EQ(d->SetFormat(c.record.data(), static_cast<uint32_t>(c.record.size())), c.want);
    d->Release();
  }
  MFRemoveBuiltinTransforms(PELPLAT_MF_H264_DECODER);
  CVlcDecoder* none = new CVlcDecoder();
  const Bytes h264 = FormatRecord(1, "H264", 64, 48, {});
  EXPECT_NE(none->SetFormat(h264.data(), static_cast<uint32_t>(h264.size())), 0);
  EXPECT_EQ(none->EnumerateVideoCodecs() & 0x10010u, 0u);
  none->Release();
  MFRestoreBuiltinTransforms(PELPLAT_MF_H264_DECODER);
  CVlcDecoder* probe = new CVlcDecoder();
  EXPECT_EQ(probe->EnumerateVideoCodecs() & 0x10010u, 0x10010u);
  probe->Release();
}

// ---- the stream

TEST_F(MfPipeline, StreamRefusesAudioAndEverythingAfterStop) {
  auto port = std::make_shared<EventPort>();
  CVlcStream stream(port, 0);
  const Bytes audio = FormatRecord(2, "mp4a", 0, 0, {});
  EXPECT_EQ(stream.CreateDecoder(audio.data(), static_cast<uint32_t>(audio.size())), E_ABORT);
  const Bytes frame = DataRecord({1, 2, 3}, 0, 0);
  // No decoder yet: refused, but the key and rectangle are taken.
  const Bytes keyed = DataRecord({1}, 0, 0, 0x00332211, RECT{1, 2, 3, 4});
  EXPECT_EQ(stream.ProcessSample(keyed.data(), static_cast<uint32_t>(keyed.size()), {}), 0x1005);
  EXPECT_EQ(stream.ColourKey(), 0x112233u);
  EXPECT_EQ(stream.TargetRect().bottom, 4);
  const Bytes format = FormatRecord(1, "H264", 64, 48, {});
  ASSERT_EQ(stream.CreateDecoder(format.data(), static_cast<uint32_t>(format.size())), 0);
  // Open at once: the record right after the format is queued.
  EXPECT_EQ(stream.ProcessSample(frame.data(), static_cast<uint32_t>(frame.size()), {}), 0);
  const Bytes audioData = DataRecord({1}, 0, 0, 0, RECT{}, 0, 2);
  EXPECT_EQ(stream.ProcessSample(audioData.data(), static_cast<uint32_t>(audioData.size()), {}), 0x1005);
  Bytes cut = frame;
  cut.pop_back();
  EXPECT_EQ(stream.ProcessSample(cut.data(), static_cast<uint32_t>(cut.size()), {}), E_INVALIDARG);
  // A second format keeps the one input thread.
  ASSERT_EQ(stream.CreateDecoder(format.data(), static_cast<uint32_t>(format.size())), 0);
  EXPECT_EQ(stream.SetState(0), 0);
  EXPECT_EQ(stream.ProcessSample(frame.data(), static_cast<uint32_t>(frame.size()), {}), 0x1005);
  EXPECT_EQ(stream.SetState(3), 0);
  EXPECT_EQ(stream.ProcessSample(frame.data(), static_cast<uint32_t>(frame.size()), {}), 0x1005);
  EXPECT_EQ(stream.OnUpdateView(nullptr, 5), E_INVALIDARG);
}

TEST_F(MfPipeline, FlushFlagEmptiesTheQueuesAndStreamDrawsTheClip) {
  X264Clip clip;
  ASSERT_TRUE(clip.Make(64, 48, 24));
  auto port = std::make_shared<EventPort>();
  {
    CVlcStream stream(port, 0);
    const Bytes format = FormatRecord(1, "H264", 64, 48, {});
    ASSERT_EQ(stream.CreateDecoder(format.data(), static_cast<uint32_t>(format.size())), 0);
    stream.SetState(3);
    for (const Bytes& unit : clip.accessUnits) {
      const Bytes record = DataRecord(unit, 0, 1);
      ASSERT_EQ(stream.ProcessSample(record.data(), static_cast<uint32_t>(record.size()), {}), 0);
    }
    // The renderer draws once more than 15 frames wait.
    ASSERT_TRUE(WaitFor([&] { return !port->Repaints().empty() && stream.Renderer()->HasLastFrame(); }));
    EXPECT_EQ(port->Repaints().front(), (Repaint{0, 0, 64, 48, 0}));
    // A view record draws the last frame again at its rectangle, at once.
    // Frames still on their way draw after it at the data records'
    // rectangle, so the repaint is looked for among the draws it added.
    Bytes view(44, 0);
    const RECT moved{8, 8, 40, 40};
    std::memcpy(&view[16], &moved, 16);
    const size_t before = port->Repaints().size();
    ASSERT_EQ(stream.OnUpdateView(view.data(), static_cast<uint32_t>(view.size())), 0);
    const std::vector<Repaint> after = port->Repaints();
    ASSERT_GT(after.size(), before);
    EXPECT_NE(std::find(after.begin() + static_cast<std::ptrdiff_t>(before), after.end(), Repaint{8, 8, 32, 32, 0}),
              after.end());
    const Bytes flush = DataRecord(clip.accessUnits.back(), 0, 1, 0, RECT{0, 0, 64, 48}, 1);
    ASSERT_EQ(stream.ProcessSample(flush.data(), static_cast<uint32_t>(flush.size()), {}), 0);
    // Everything before the flush is gone; the flushing record's own frame
    // may already be on its way through the converter or the renderer
    // (15 frames wait there without the flush).
    EXPECT_LE(stream.QueuedRecords(), 1u);
    EXPECT_LE(stream.Renderer()->QueuedVideo(), 1);
    ASSERT_NE(stream.Converter(), nullptr);
    EXPECT_LE(stream.Converter()->QueuedInput(), 1);
  }
  ASSERT_FALSE(port->events.empty());
  EXPECT_EQ(port->events.back().first, 0x4A000u);
}

// ---- every announced codec through the real path

// One row per code the probe announces: a clip ffmpeg encodes at test time
// in a container, sent as a server would (format record with the codec's
// private data, one data record per packet), decoded to NV12 and drawn.
struct CodecCase {
  const char* code;
  const char* encode;     // ffmpeg output options
  const char* container;  // the file the packets and codec data come from
  uint32_t capability;
};
const CodecCase kCodecCases[] = {
    {"H264", "-c:v libx264 -bf 0 -pix_fmt yuv420p", "avi", 0x10},      // Annex B, no codec data
    {"avc1", "-c:v libx264 -bf 0 -pix_fmt yuv420p", "mp4", 0x10000},   // configuration record, lengths
    {"WMV1", "-c:v wmv1 -pix_fmt yuv420p", "avi", 0x1000},
    {"WMV2", "-c:v wmv2 -pix_fmt yuv420p", "avi", 0x2000},             // 4 bytes of codec data
    {"jpeg", "-c:v mjpeg -pix_fmt yuvj420p", "avi", 0x2},              // full-range 4:2:0
    {"jpeg", "-c:v mjpeg -pix_fmt yuvj422p", "avi", 0x2},              // full-range 4:2:2
};

class Nv12Listener : public IDecoderDataListener {
 public:
  int AddRef() override { return ++refs; }
  int Release() override { return --refs; }
  void SetVideoOutputFormat(REFGUID subtype, int w, int h) override {
    nv12 = subtype == MFVideoFormat_NV12;
    width = w;
    height = h;
  }
  void SetAudioOutputFormat(const BYTE*, uint32_t) override {}
  void OnDecodedSample(CVrSample* sample) override {
    BYTE* data = nullptr;
    int length = 0;
    if (!sample->Lock(&data, nullptr, &length)) return;
    frames.emplace_back(data, data + length);
    sample->Unlock();
  }
  std::atomic<int> refs{0};
  bool nv12 = false;
  int width = 0, height = 0;
  std::vector<Bytes> frames;
};

// The drawn surface as B, G, R, A bytes.
Bytes SurfaceBgra(StreamPort* port, int w, int h) {
  Bytes out;
  ISurfaceKeeper* surface = port->Lock(0);
  const QImage* image = port->keeper.GetImage();
  for (int y = 0; image && y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const QRgb pixel = image->pixel(x, y);
      out.insert(out.end(), {uint8_t(qBlue(pixel)), uint8_t(qGreen(pixel)), uint8_t(qRed(pixel)), 0xFF});
    }
  port->Unlock(surface, 0);
  return out;
}

double BestPsnrWithoutAlpha(const Bytes& drawn, const std::vector<Bytes>& frames) {
  double best = 0;
  for (Bytes frame : frames) {
    if (frame.size() != drawn.size()) continue;
    for (size_t i = 3; i < frame.size(); i += 4) frame[i] = 0xFF;
    best = std::max(best, AvClip::Psnr(drawn.data(), frame.data(), frame.size()));
  }
  return best;
}

TEST_F(MfPipeline, EveryAnnouncedCodecDecodesAndDrawsLikeFfmpeg) {
  constexpr int kWidth = 64, kHeight = 48, kFrames = 20;
  for (const CodecCase& c : kCodecCases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.encode);
    AvClip clip;
    ASSERT_TRUE(clip.Make(kWidth, kHeight, kFrames, c.encode, c.container));
    const Bytes format = FormatRecord(1, c.code, kWidth, kHeight, clip.extradata);

    // The decoder: every picture it gives out is ffmpeg's, in order.
    Nv12Listener listener;
    CVlcDecoder* decoder = new CVlcDecoder();
    listener.AddRef();
    decoder->SetListener(&listener);
    ASSERT_EQ(decoder->SetFormat(format.data(), static_cast<uint32_t>(format.size())), 0);
    ASSERT_TRUE(decoder->HasTransform());
    if (std::strcmp(c.code, "avc1") != 0) {
      EXPECT_EQ(decoder->CodecData(), clip.extradata);
    }
    for (size_t i = 0; i < clip.packets.size(); ++i) {
      const Bytes record = DataRecord(clip.packets[i], 0, 40000 * static_cast<int64_t>(i + 1));
      ASSERT_EQ(decoder->ProcessInput(record.data(), static_cast<uint32_t>(record.size())), S_OK) << i;
    }
    EXPECT_TRUE(listener.nv12);
    EXPECT_EQ(listener.width, kWidth);
    EXPECT_EQ(listener.height, kHeight);
    // Output leaves before the next input: all but the last picture.
    ASSERT_GE(listener.frames.size(), clip.packets.size() - 1);
    for (size_t i = 0; i < listener.frames.size(); ++i) {
      ASSERT_EQ(listener.frames[i].size(), clip.nv12Frames[i].size()) << i;
      EXPECT_GE(AvClip::Psnr(listener.frames[i].data(), clip.nv12Frames[i].data(), clip.nv12Frames[i].size()), 40.0)
          << "frame " << i;
    }
    decoder->Shutdown();
    decoder->Release();

    // The stream: converted and drawn onto the black surface (key black).
    auto port = std::make_shared<EventPort>();
    {
      CVlcStream stream(port, 0);
      ASSERT_EQ(stream.CreateDecoder(format.data(), static_cast<uint32_t>(format.size())), 0);
      stream.SetState(3);
      for (size_t i = 0; i < clip.packets.size(); ++i) {
        const Bytes record = DataRecord(clip.packets[i], 0, 40000 * static_cast<int64_t>(i + 1), 0,
                                        RECT{0, 0, kWidth, kHeight});
        ASSERT_EQ(stream.ProcessSample(record.data(), static_cast<uint32_t>(record.size()), {}), 0);
      }
      ASSERT_TRUE(WaitFor([&] { return !port->Repaints().empty(); }));
      const Bytes drawn = SurfaceBgra(port.get(), kWidth, kHeight);
      EXPECT_GE(BestPsnrWithoutAlpha(drawn, clip.bgraFrames), 30.0);
    }
  }
}

TEST(MfProbe, AnnouncesExactlyTheCodecsThatDecode) {
  ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
  EXPECT_EQ(ProbeVlcStreamCodecs() & 0x10010u, 0x10010u);
  // Exactly the bits whose rows decode and draw above, nothing more.
  uint32_t proven = 0;
  for (const CodecCase& c : kCodecCases) proven |= c.capability;
  EXPECT_EQ(ProbeVlcStreamCodecs(), proven);
  // Codes in the table but unproven find no decoder: the stream is refused.
  for (const char* code : {"WMV3", "WVC1"}) {
    SCOPED_TRACE(code);
    CVlcDecoder* decoder = new CVlcDecoder();
    const Bytes format = FormatRecord(1, code, 64, 48, {0x4F, 0xF1, 0x08, 0x01});
    EXPECT_NE(decoder->SetFormat(format.data(), static_cast<uint32_t>(format.size())), 0);
    EXPECT_FALSE(decoder->HasTransform());
    decoder->Release();
  }
  MFShutdown();
  EXPECT_EQ(ProbeVlcStreamCodecs(), 0u);  // nothing installed
}

}  // namespace
