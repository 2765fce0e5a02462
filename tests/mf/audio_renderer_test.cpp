// The audio renderer over the virtual-clock wave backend: the PCM written
// to the device byte for byte (levels 1, 0.5 and 0, float input), markers
// only once every buffer before them has played, pause, flush, unreadable
// samples and the path without a sound device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "pelplat/wavebackend.h"
#include "platform/audio/WaveTestSupport.h"
#include "renderer_support.h"

namespace {

using namespace renderer_test;

std::vector<uint8_t> Pcm16(const std::vector<int16_t>& values) {
  std::vector<uint8_t> out;
  for (int16_t v : values) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
  }
  return out;
}

std::vector<int16_t> Ramp(int frames, int channels, int start) {
  std::vector<int16_t> out;
  for (int i = 0; i < frames * channels; ++i) out.push_back(static_cast<int16_t>((start + i * 997) % 65536 - 32768));
  return out;
}

class AudioRendererTest : public RendererFixture {
 protected:
  void SetUp() override {
    pelplat::wave::SetBackend(&backend_);
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
    IMFActivate* activate = nullptr;
    ASSERT_EQ(MFCreateAudioRendererActivate(&activate), S_OK);
    Open(activate);
  }
  void TearDown() override {
    Close();
    EXPECT_EQ(backend_.OpenSinks(), 0);
    MFShutdown();
    pelplat::wave::SetBackend(nullptr);
  }

  void SetType(const GUID& subtype, UINT32 channels, UINT32 rate, UINT32 bits) {
    IMFMediaType* type = nullptr;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, bits);
    SetCurrentType(type);
  }
  IMFAudioStreamVolume* Volume() {
    IMFAudioStreamVolume* volume = nullptr;
    EXPECT_EQ(MFGetService(sink_, MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume,
                           reinterpret_cast<void**>(&volume)), S_OK);
    return volume;
  }
  bool WaitWritten(uint64_t frames) {
    return Eventually([&] { return backend_.FramesWritten() >= frames; });
  }
  bool WaitRendered(uint64_t count) {
    return Eventually([&] { return Stats().rendered >= count; });
  }

  pelplat::wave::VirtualWaveBackend backend_;
};

TEST_F(AudioRendererTest, TypesServicesAndVolumeRanges) {
  IMFMediaTypeHandler* handler = nullptr;
  ASSERT_EQ(stream_->GetMediaTypeHandler(&handler), S_OK);
  struct Case {
    const char* name;
    GUID major, subtype;
    UINT32 channels, rate, bits;
    bool accepted;
  };
  const Case cases[] = {
      {"pcm 16", MFMediaType_Audio, MFAudioFormat_PCM, 2, 48000, 16, true},
      {"float", MFMediaType_Audio, MFAudioFormat_Float, 6, 44100, 32, true},
      {"pcm 8", MFMediaType_Audio, MFAudioFormat_PCM, 2, 48000, 8, false},
      {"no channels", MFMediaType_Audio, MFAudioFormat_PCM, 0, 48000, 16, false},
      {"nine channels", MFMediaType_Audio, MFAudioFormat_PCM, 9, 48000, 16, false},
      {"rate 0", MFMediaType_Audio, MFAudioFormat_PCM, 2, 0, 16, false},
      {"aac", MFMediaType_Audio, MFAudioFormat_AAC, 2, 48000, 16, false},
      {"video", MFMediaType_Video, MFVideoFormat_RGB32, 2, 48000, 16, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IMFMediaType* type = nullptr;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, c.major);
    type->SetGUID(MF_MT_SUBTYPE, c.subtype);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, c.channels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, c.rate);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, c.bits);
    EXPECT_EQ(handler->IsMediaTypeSupported(type, nullptr), c.accepted ? S_OK : MF_E_INVALIDMEDIATYPE);
    type->Release();
  }
  handler->Release();

  IMFAudioStreamVolume* volume = Volume();
  ASSERT_NE(volume, nullptr);
  UINT32 count = 5;
  EXPECT_EQ(volume->GetChannelCount(&count), MF_E_NOT_INITIALIZED);
  SetType(MFAudioFormat_PCM, 2, 48000, 16);
  EXPECT_EQ(volume->GetChannelCount(&count), S_OK);
  EXPECT_EQ(count, 2u);
  const float half[2] = {0.5f, 0.5f};
  const float wrong[3] = {0.5f, 0.5f, 0.5f};
  const float loud[2] = {0.5f, 1.5f};
  EXPECT_EQ(volume->SetAllVolumes(2, half), S_OK);
  EXPECT_EQ(volume->SetAllVolumes(3, wrong), E_INVALIDARG);
  EXPECT_EQ(volume->SetAllVolumes(2, loud), E_INVALIDARG);
  EXPECT_EQ(volume->SetChannelVolume(2, 0.5f), E_INVALIDARG);
  EXPECT_EQ(volume->SetChannelVolume(1, -0.1f), E_INVALIDARG);
  EXPECT_EQ(volume->SetChannelVolume(1, 0.25f), S_OK);
  float levels[2] = {};
  EXPECT_EQ(volume->GetAllVolumes(2, levels), S_OK);
  EXPECT_EQ(levels[0], 0.5f);
  EXPECT_EQ(levels[1], 0.25f);
  volume->Release();

  IMFVideoDisplayControl* display = nullptr;
  EXPECT_EQ(MFGetService(sink_, MR_VIDEO_RENDER_SERVICE, IID_IMFVideoDisplayControl,
                         reinterpret_cast<void**>(&display)), MF_E_UNSUPPORTED_SERVICE);
}

TEST_F(AudioRendererTest, PcmReachesTheDeviceWithTheLevelsApplied) {
  SetType(MFAudioFormat_PCM, 2, 48000, 16);
  ASSERT_EQ(clock_->Start(0), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkRequestSample, 4));
  const std::vector<int16_t> a = Ramp(100, 2, 1), b = Ramp(100, 2, 7), c = Ramp(100, 2, 13);
  IMFAudioStreamVolume* volume = Volume();
  ASSERT_NE(volume, nullptr);
  Feed(Pcm16(a));
  const float half[2] = {0.5f, 0.5f};
  ASSERT_EQ(volume->SetAllVolumes(2, half), S_OK);
  Feed(Pcm16(b));
  const float muted[2] = {0.0f, 0.0f};
  ASSERT_EQ(volume->SetAllVolumes(2, muted), S_OK);
  Feed(Pcm16(c));
  volume->Release();
  ASSERT_TRUE(WaitWritten(300));

  std::vector<int16_t> want = a;
  for (int16_t v : b) want.push_back(static_cast<int16_t>(std::lround(v * 0.5)));
  want.insert(want.end(), c.size(), 0);
  const std::vector<uint8_t> expected = Pcm16(want);
  EXPECT_EQ(backend_.BytesWritten(), std::string(expected.begin(), expected.end()));
}

TEST_F(AudioRendererTest, FloatIsWrittenAs16BitPcm) {
  SetType(MFAudioFormat_Float, 1, 44100, 32);
  ASSERT_EQ(clock_->Start(0), S_OK);
  const float values[] = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -3.0f, 0.25f};
  std::vector<uint8_t> bytes(sizeof values);
  std::memcpy(bytes.data(), values, sizeof values);
  Feed(bytes);
  ASSERT_TRUE(WaitWritten(8));
  const std::vector<uint8_t> expected = Pcm16({0, 16384, -16384, 32767, -32767, 32767, -32767, 8192});
  EXPECT_EQ(backend_.BytesWritten(), std::string(expected.begin(), expected.end()));
}

TEST_F(AudioRendererTest, MarkerComesBackOnceEveryBufferBeforeItHasPlayed) {
  SetType(MFAudioFormat_PCM, 1, 8000, 16);
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(Pcm16(Ramp(200, 1, 3)));
  Feed(Pcm16(Ramp(200, 1, 5)));
  PROPVARIANT context = I8(41);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, &context), S_OK);
  ASSERT_TRUE(WaitWritten(400));
  backend_.Advance(200);
  ASSERT_TRUE(WaitRendered(1));
  EXPECT_EQ(events_->Count(MEStreamSinkMarker), 0);
  // Paused, the device plays nothing.
  ASSERT_EQ(clock_->Pause(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkPaused, 1));
  backend_.Advance(200);
  EXPECT_EQ(Stats().rendered, 1u);
  EXPECT_EQ(events_->Count(MEStreamSinkMarker), 0);
  ASSERT_EQ(clock_->Start(PRESENTATION_CURRENT_POSITION), S_OK);
  backend_.Advance(200);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));
  const SeenEvent marker = events_->Of(MEStreamSinkMarker)[0];
  EXPECT_EQ(marker.status, S_OK);
  EXPECT_EQ(marker.value, 41);
  EXPECT_EQ(Stats().rendered, 2u);
  // Each played buffer asks for another.
  EXPECT_TRUE(events_->WaitFor(MEStreamSinkRequestSample, 6));

  // A marker with nothing before it comes back at once.
  PROPVARIANT next = I8(42);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_DEFAULT, nullptr, &next), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 2));
  EXPECT_EQ(events_->Of(MEStreamSinkMarker)[1].value, 42);
}

TEST_F(AudioRendererTest, FlushReturnsTheBuffersUnplayedAndAbortsTheMarkers) {
  SetType(MFAudioFormat_PCM, 2, 48000, 16);
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(Pcm16(Ramp(64, 2, 1)));
  PROPVARIANT context = I8(3);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, &context), S_OK);
  ASSERT_TRUE(WaitWritten(64));
  ASSERT_EQ(stream_->Flush(), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));
  EXPECT_EQ(events_->Of(MEStreamSinkMarker)[0].status, E_ABORT);
  EXPECT_EQ(Stats().rendered, 0u);
  // The stream goes on after it.
  Feed(Pcm16(Ramp(32, 2, 9)));
  ASSERT_TRUE(WaitWritten(96));
  backend_.Advance(32);
  ASSERT_TRUE(WaitRendered(1));
}

TEST_F(AudioRendererTest, UnreadableSamplesAreRefusedAndTheStreamGoesOn) {
  SetType(MFAudioFormat_PCM, 2, 48000, 16);
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(std::vector<uint8_t>(7, 1));  // not whole 4-byte frames
  Feed(std::vector<uint8_t>());
  const std::vector<uint8_t> good = Pcm16(Ramp(10, 2, 2));
  Feed(good);
  ASSERT_TRUE(WaitWritten(10));
  EXPECT_EQ(backend_.BytesWritten(), std::string(good.begin(), good.end()));
  EXPECT_EQ(Stats().refused, 2u);
}

TEST_F(AudioRendererTest, WithoutADeviceSamplesCountAsPlayedAndMarkersComeBack) {
  backend_.FailOpens(true);
  SetType(MFAudioFormat_PCM, 2, 48000, 16);
  ASSERT_EQ(clock_->Start(0), S_OK);
  Feed(Pcm16(Ramp(10, 2, 2)));
  PROPVARIANT context = I8(8);
  ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, &context), S_OK);
  ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));
  EXPECT_EQ(Stats().rendered, 1u);
  EXPECT_EQ(backend_.FramesWritten(), 0u);
}

}  // namespace
