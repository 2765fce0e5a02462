// The audio decoder transforms against ffmpeg's own decode of clips the
// ffmpeg command line makes at test time (raw AAC with its format tail,
// ADTS, MP3, WMA 2), found through MFTEnum like the session finds them;
// damaged codec data and packets give errors, never a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "av_clip.h"
#include "mf/session_doubles.h"
#include "pelplat/mfapi.h"
#include "pelplat/mfbuiltins.h"
#include "pelplat/mferror.h"
#include "pelplat/objbase.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr UINT32 kRate = 44100, kChannels = 2;

// An audio clip: its packets and codec data as ffprobe dumps them, and
// ffmpeg's decode of every packet as 16-bit PCM.
struct AudioClip {
  Bytes extradata;
  std::vector<Bytes> packets;
  Bytes pcm;
  std::string dir;

  bool Make(const std::string& encode, const std::string& file, const std::string& decodeOptions) {
    char tmpl[] = "/tmp/pellum-audioclip-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    const std::string clip = dir + "/" + file;
    const std::string make =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.5 "
        "-f lavfi -i sine=frequency=660:sample_rate=44100:duration=0.5 "
        "-filter_complex '[0:a][1:a]amerge=inputs=2' " + encode + " " + clip;
    const std::string probe =
        "ffprobe -v error -select_streams a:0 -show_streams -show_packets -show_data " + clip + " > " + dir + "/probe.txt";
    const std::string decode = "ffmpeg -nostdin -loglevel error -y " + decodeOptions + " -i " + clip +
                               " -f s16le -acodec pcm_s16le " + dir + "/ref.raw";
    if (std::system(make.c_str()) != 0 || std::system(probe.c_str()) != 0 || std::system(decode.c_str()) != 0)
      return false;
    AvClip::ReadProbe(dir + "/probe.txt", &extradata, &packets);
    pcm = AvClip::ReadFile(dir + "/ref.raw");
    return !packets.empty() && !pcm.empty();
  }
  ~AudioClip() {
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
  }
};

using session_test::SampleOf;

// The 12 bytes that follow WAVEFORMATEX in HEAACWAVEINFO, then the
// AudioSpecificConfig.
Bytes HeAacUserData(uint16_t payloadType, const Bytes& config) {
  Bytes out{static_cast<uint8_t>(payloadType), 0, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  out.insert(out.end(), config.begin(), config.end());
  return out;
}

class AudioDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  }
  void TearDown() override {
    if (decoder_) decoder_->Release();
    CoUninitialize();
    MFShutdown();
  }

  // The decoder MFTEnum finds for the subtype.
  bool Find(const GUID& subtype) {
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Audio, subtype};
    MFT_REGISTER_TYPE_INFO output{MFMediaType_Audio, MFAudioFormat_PCM};
    CLSID* clsids = nullptr;
    UINT32 count = 0;
    if (FAILED(MFTEnum(MFT_CATEGORY_AUDIO_DECODER, 0, &input, &output, nullptr, &clsids, &count)) || count == 0)
      return false;
    const CLSID clsid = clsids[0];
    CoTaskMemFree(clsids);
    return SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                                      reinterpret_cast<void**>(&decoder_)));
  }
  HRESULT SetInput(const GUID& subtype, const Bytes& userData, UINT32 blockAlign = 0, int payloadType = -1) {
    IMFMediaType* type = nullptr;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, kChannels);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, kRate);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 16000);
    if (blockAlign) type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, blockAlign);
    if (payloadType >= 0) type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, static_cast<UINT32>(payloadType));
    if (!userData.empty()) type->SetBlob(MF_MT_USER_DATA, userData.data(), static_cast<UINT32>(userData.size()));
    const HRESULT hr = decoder_->SetInputType(0, type, 0);
    type->Release();
    if (FAILED(hr)) return hr;
    IMFMediaType* out = nullptr;
    EXPECT_EQ(decoder_->GetOutputAvailableType(0, 0, &out), S_OK);
    if (!out) return E_FAIL;
    UINT32 bits = 0, channels = 0, rate = 0;
    out->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
    out->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
    out->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
    EXPECT_EQ(bits, 16u);
    EXPECT_EQ(channels, kChannels);
    EXPECT_EQ(rate, kRate);
    const HRESULT set = decoder_->SetOutputType(0, out, 0);
    out->Release();
    return set;
  }
  // Takes every output there is; `ownSamples`: hand the transform buffers
  // of the size it asks for, else let it make its own samples.
  void Drain(bool ownSamples, Bytes* pcm, LONGLONG* lastTime = nullptr) {
    for (;;) {
      MFT_OUTPUT_DATA_BUFFER out{};
      if (ownSamples) {
        MFT_OUTPUT_STREAM_INFO info{};
        ASSERT_EQ(decoder_->GetOutputStreamInfo(0, &info), S_OK);
        IMFMediaBuffer* buffer = nullptr;
        MFCreateSample(&out.pSample);
        MFCreateMemoryBuffer(info.cbSize, &buffer);
        out.pSample->AddBuffer(buffer);
        buffer->Release();
      }
      DWORD status = 0;
      const HRESULT hr = decoder_->ProcessOutput(0, 1, &out, &status);
      if (hr == S_OK) {
        IMFMediaBuffer* buffer = nullptr;
        out.pSample->GetBufferByIndex(0, &buffer);
        BYTE* data = nullptr;
        DWORD length = 0;
        buffer->Lock(&data, nullptr, &length);
        pcm->insert(pcm->end(), data, data + length);
        buffer->Unlock();
        buffer->Release();
        if (lastTime) out.pSample->GetSampleTime(lastTime);
      }
      if (out.pSample) out.pSample->Release();
      if (hr != S_OK) {
        ASSERT_EQ(hr, MF_E_TRANSFORM_NEED_MORE_INPUT);
        return;
      }
    }
  }
  // Decodes every packet, with a drain at the end.
  Bytes DecodeAll(const std::vector<Bytes>& packets, bool ownSamples) {
    Bytes pcm;
    for (size_t i = 0; i < packets.size(); ++i) {
      IMFSample* sample = SampleOf(packets[i], static_cast<LONGLONG>(i) * 232200);
      EXPECT_EQ(decoder_->ProcessInput(0, sample, 0), S_OK) << "packet " << i;
      sample->Release();
      Drain(ownSamples, &pcm);
    }
    EXPECT_EQ(decoder_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0), S_OK);
    Drain(ownSamples, &pcm);
    return pcm;
  }
  // Same length, every 16-bit value within `tolerance` of ffmpeg's.
  static void ExpectClose(const Bytes& got, const Bytes& want, int tolerance) {
    ASSERT_EQ(got.size(), want.size());
    int worst = 0;
    for (size_t i = 0; i + 1 < got.size(); i += 2) {
      const int a = static_cast<int16_t>(got[i] | got[i + 1] << 8);
      const int b = static_cast<int16_t>(want[i] | want[i + 1] << 8);
      worst = std::max(worst, std::abs(a - b));
    }
    EXPECT_LE(worst, tolerance);
  }

  IMFTransform* decoder_ = nullptr;
};

TEST_F(AudioDecoderTest, RawAacWithItsFormatTailDecodesAsFfmpegDoes) {
  AudioClip clip;
  // Every packet decoded: the container's edit list would trim the priming.
  ASSERT_TRUE(clip.Make("-c:a aac -b:a 128k", "clip.m4a", "-ignore_editlist 1"));
  ASSERT_FALSE(clip.extradata.empty());
  ASSERT_TRUE(Find(MFAudioFormat_AAC));
  ASSERT_EQ(SetInput(MFAudioFormat_AAC, HeAacUserData(0, clip.extradata)), S_OK);
  ExpectClose(DecodeAll(clip.packets, true), clip.pcm, 1);
}

TEST_F(AudioDecoderTest, AdtsDecodesWithoutCodecData) {
  AudioClip clip;
  ASSERT_TRUE(clip.Make("-c:a aac -b:a 96k -f adts", "clip.aac", ""));
  ASSERT_TRUE(Find(MFAudioFormat_AAC));
  ASSERT_EQ(SetInput(MFAudioFormat_AAC, {}, 0, 1), S_OK);
  ExpectClose(DecodeAll(clip.packets, false), clip.pcm, 1);
}

TEST_F(AudioDecoderTest, Mp3DecodesAsFfmpegDoes) {
  AudioClip clip;
  // No Xing header: ffmpeg then trims nothing either.
  ASSERT_TRUE(clip.Make("-c:a libmp3lame -b:a 128k -write_xing 0", "clip.mp3", ""));
  ASSERT_TRUE(Find(MFAudioFormat_MP3));
  ASSERT_EQ(SetInput(MFAudioFormat_MP3, {}), S_OK);
  ExpectClose(DecodeAll(clip.packets, false), clip.pcm, 1);
}

TEST_F(AudioDecoderTest, WindowsMediaAudio2DecodesAsFfmpegDoes) {
  AudioClip clip;
  ASSERT_TRUE(clip.Make("-c:a wmav2 -b:a 128k", "clip.wma", ""));
  ASSERT_FALSE(clip.extradata.empty());
  ASSERT_TRUE(Find(MFAudioFormat_WMAudioV8));
  // Every ASF packet is one block.
  ASSERT_EQ(SetInput(MFAudioFormat_WMAudioV8, clip.extradata, static_cast<UINT32>(clip.packets[0].size())), S_OK);
  ExpectClose(DecodeAll(clip.packets, true), clip.pcm, 1);
}

TEST_F(AudioDecoderTest, OutputTimesFollowTheInputAndLargeOutputsComeInPieces) {
  AudioClip clip;
  ASSERT_TRUE(clip.Make("-c:a aac -b:a 128k", "clip.m4a", "-ignore_editlist 1"));
  ASSERT_TRUE(Find(MFAudioFormat_AAC));
  ASSERT_EQ(SetInput(MFAudioFormat_AAC, HeAacUserData(0, clip.extradata)), S_OK);
  // Three packets in before any output is taken.
  for (int i = 0; i < 3; ++i) {
    IMFSample* sample = SampleOf(clip.packets[i], 5000000 + i * 232200);
    ASSERT_EQ(decoder_->ProcessInput(0, sample, 0), S_OK);
    sample->Release();
  }
  // A buffer of 1000 frames: 3072 frames come out as 1000, 1000, 1000, 72.
  std::vector<DWORD> sizes;
  std::vector<LONGLONG> times;
  for (;;) {
    MFT_OUTPUT_DATA_BUFFER out{};
    IMFMediaBuffer* buffer = nullptr;
    MFCreateSample(&out.pSample);
    MFCreateMemoryBuffer(1000 * 4 + 2, &buffer);
    out.pSample->AddBuffer(buffer);
    DWORD status = 0;
    const HRESULT hr = decoder_->ProcessOutput(0, 1, &out, &status);
    if (hr == S_OK) {
      DWORD length = 0;
      buffer->GetCurrentLength(&length);
      sizes.push_back(length);
      LONGLONG time = 0;
      out.pSample->GetSampleTime(&time);
      times.push_back(time);
      EXPECT_EQ(out.dwStatus == MFT_OUTPUT_DATA_BUFFER_INCOMPLETE, sizes.size() < 4);
    }
    buffer->Release();
    out.pSample->Release();
    if (hr != S_OK) {
      EXPECT_EQ(hr, MF_E_TRANSFORM_NEED_MORE_INPUT);
      break;
    }
  }
  ASSERT_EQ(sizes, (std::vector<DWORD>{4000, 4000, 4000, 288}));
  const LONGLONG step = 1000LL * 10000000 / kRate;
  EXPECT_EQ(times, (std::vector<LONGLONG>{5000000, 5000000 + step, 5000000 + 2 * step, 5000000 + 3 * step}));

  // Flush drops what was waiting.
  IMFSample* sample = SampleOf(clip.packets[3], 0);
  ASSERT_EQ(decoder_->ProcessInput(0, sample, 0), S_OK);
  sample->Release();
  ASSERT_EQ(decoder_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0), S_OK);
  Bytes pcm;
  Drain(false, &pcm);
  EXPECT_TRUE(pcm.empty());
}

TEST_F(AudioDecoderTest, DamagedCodecDataAndPacketsGiveErrors) {
  AudioClip clip;
  ASSERT_TRUE(clip.Make("-c:a aac -b:a 128k", "clip.m4a", "-ignore_editlist 1"));
  ASSERT_TRUE(Find(MFAudioFormat_AAC));
  struct Case {
    const char* name;
    Bytes userData;
    int payloadType;
  };
  const Case refused[] = {
      {"no user data", {}, -1},
      {"the format tail alone", HeAacUserData(0, {}), -1},
      {"a tail cut short", Bytes{0, 0, 0xFE, 0, 0x12}, -1},
      {"an AudioSpecificConfig of an unknown object type", HeAacUserData(0, {0xFF, 0xFF, 0xFF}), -1},
      {"ADIF payload", HeAacUserData(2, clip.extradata), -1},
      {"LOAS payload by attribute", HeAacUserData(0, clip.extradata), 3},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetInput(MFAudioFormat_AAC, c.userData, 0, c.payloadType), MF_E_INVALIDMEDIATYPE);
  }
  ASSERT_EQ(SetInput(MFAudioFormat_AAC, HeAacUserData(0, clip.extradata)), S_OK);
  const Bytes truncated(clip.packets[1].begin(), clip.packets[1].begin() + 6);
  const Bytes garbage(300, 0x5A);
  for (const Bytes& bad : {truncated, garbage}) {
    IMFSample* sample = SampleOf(bad, 0);
    EXPECT_TRUE(FAILED(decoder_->ProcessInput(0, sample, 0)));
    sample->Release();
  }
  // Good packets still decode after them.
  Bytes pcm;
  for (int i = 0; i < 4; ++i) {
    IMFSample* sample = SampleOf(clip.packets[i], 0);
    EXPECT_EQ(decoder_->ProcessInput(0, sample, 0), S_OK);
    sample->Release();
    Drain(false, &pcm);
  }
  EXPECT_GE(pcm.size(), 3u * 1024 * 4);
}

UINT32 AudioDecoderCount(const GUID& major, const GUID& subtype) {
  MFT_REGISTER_TYPE_INFO input{major, subtype};
  CLSID* clsids = nullptr;
  UINT32 count = 0;
  EXPECT_EQ(MFTEnum(MFT_CATEGORY_AUDIO_DECODER, 0, &input, nullptr, nullptr, &clsids, &count), S_OK);
  CoTaskMemFree(clsids);
  return count;
}

TEST_F(AudioDecoderTest, EnumerationFindsTheAudioDecodersUntilTheyAreRemoved) {
  for (const GUID& subtype : {MFAudioFormat_AAC, MFAudioFormat_MP3, MFAudioFormat_WMAudioV8}) {
    EXPECT_EQ(AudioDecoderCount(MFMediaType_Audio, subtype), 1u);
    MFRemoveBuiltinTransforms(PELPLAT_MF_AUDIO_DECODERS);
    EXPECT_EQ(AudioDecoderCount(MFMediaType_Audio, subtype), 0u);
    MFRestoreBuiltinTransforms(PELPLAT_MF_AUDIO_DECODERS);
  }
  // Video decoders are not audio decoders.
  EXPECT_EQ(AudioDecoderCount(MFMediaType_Video, MFVideoFormat_H264), 0u);
}

}  // namespace
