// Audio decoder transforms over libavcodec: AAC (raw, its
// AudioSpecificConfig after the 12-byte HEAACWAVEINFO tail in
// MF_MT_USER_DATA; or ADTS), MP3 and Windows Media Audio 2 (its codec data
// in MF_MT_USER_DATA). The output is 16-bit PCM, interleaved, at the input
// type's rate and channel count; libswresample converts the decoder's
// planar float. Every decoded frame is converted at once and kept until
// ProcessOutput takes it, so ProcessInput never refuses for want of room.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "MFBuiltins.h"
#include "AvDecoderBase.h"
#include "pelplat/debugout.h"
#include "pelplat/wmcodecdsp.h"

#ifndef MF_E_INVALID_STREAM_DATA
#define MF_E_INVALID_STREAM_DATA static_cast<HRESULT>(0xC00D36CB)
#endif

namespace pelplat_mf {
namespace {

constexpr UINT32 kMaxChannels = 8;
constexpr UINT32 kHeAacTail = 12;  // wPayloadType .. dwReserved2 of HEAACWAVEINFO
// The most frames one output sample holds (and the size the client's
// buffers are asked to have).
constexpr UINT32 kOutputFrames = 8192;
constexpr UINT32 kMaxUserData = 1 << 16;

struct CodecRow {
  const CLSID* clsid;
  GUID subtype;
  AVCodecID codec;
};
// Each row's streams are decoded against ffmpeg's own decode in the
// decoder tests; only rows whose decoder libavcodec has are offered.
const CodecRow kCodecs[] = {
    {&CLSID_CMSAACDecMFT, MFAudioFormat_AAC, AV_CODEC_ID_AAC},
    {&CLSID_CMP3DecMediaObject, MFAudioFormat_MP3, AV_CODEC_ID_MP3},
    {&CLSID_CWMADecMediaObject, MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2},
};

void Log(const char* text) { OutputDebugStringA(text); }

UINT32 Le16(const std::vector<UINT8>& bytes, size_t at) {
  return at + 2 <= bytes.size() ? static_cast<UINT32>(bytes[at] | bytes[at + 1] << 8) : 0;
}

class AvAudioDecoder : public AvDecoderBase {
 public:
  explicit AvAudioDecoder(const std::vector<GUID>& subtypes) : AvDecoderBase(subtypes) {}

  HRESULT GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!type) return E_POINTER;
    if (index >= subtypes_.size()) return MF_E_NO_MORE_TYPES;
    HRESULT hr = MFCreateMediaType(type);
    if (FAILED(hr)) return hr;
    (*type)->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    (*type)->SetGUID(MF_MT_SUBTYPE, subtypes_[index]);
    return S_OK;
  }
  HRESULT GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!type) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!context_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (index > 0) return MF_E_NO_MORE_TYPES;
    return PcmType(type);
  }
  HRESULT SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!type) {
      if (!(flags & MFT_SET_TYPE_TEST_ONLY)) CloseCodec();
      return S_OK;
    }
    Setup setup;
    if (!ReadInputType(type, &setup)) return MF_E_INVALIDMEDIATYPE;
    if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
    CloseCodec();
    const AVCodec* codec = avcodec_find_decoder(setup.codec);
    if (!codec) return MF_E_INVALIDMEDIATYPE;
    context_ = avcodec_alloc_context3(codec);
    if (!context_) return E_OUTOFMEMORY;
    context_->thread_count = 1;
    context_->sample_rate = static_cast<int>(setup.rate);
    av_channel_layout_default(&context_->ch_layout, static_cast<int>(setup.channels));
    context_->block_align = static_cast<int>(setup.blockAlign);
    context_->bit_rate = static_cast<int64_t>(setup.bytesPerSecond) * 8;
    if (!setup.extradata.empty()) {
      context_->extradata = static_cast<uint8_t*>(av_mallocz(setup.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!context_->extradata) return CloseCodec(), E_OUTOFMEMORY;
      std::memcpy(context_->extradata, setup.extradata.data(), setup.extradata.size());
      context_->extradata_size = static_cast<int>(setup.extradata.size());
    }
    if (avcodec_open2(context_, codec, nullptr) < 0) {
      Log("Audio decoder: libavcodec refused the stream's codec data\n");
      return CloseCodec(), MF_E_INVALIDMEDIATYPE;
    }
    channels_ = setup.channels;
    rate_ = setup.rate;
    inputType_ = pelplat::Ref<IMFMediaType>::Share(type);
    return S_OK;
  }
  HRESULT SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    return ChangeType(stream, type, flags, &outputType_, [this](IMFMediaType* t) { return CheckPcmType(t); }, [] {});
  }

 protected:
  MFT_OUTPUT_STREAM_INFO OutputStreamInfo() const override {
    return MFT_OUTPUT_STREAM_INFO{MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES,
                                  kOutputFrames * channels_ * 2, 0};
  }
  void OnMessage(MFT_MESSAGE_TYPE message) override {
    if (message == MFT_MESSAGE_COMMAND_FLUSH) {
      avcodec_flush_buffers(context_);
      pcm_.clear();
      haveTime_ = false;
    } else if (message == MFT_MESSAGE_COMMAND_DRAIN) {
      // What the codec still holds comes out now; it takes input again after.
      if (avcodec_send_packet(context_, nullptr) == 0) ReceiveAll();
      avcodec_flush_buffers(context_);
    }
  }
  HRESULT TakeInput(IMFSample* sample) override {
    if (!SampleBytes(sample, &bytes_)) return E_FAIL;
    if (bytes_.empty()) return S_OK;
    if (bytes_.size() > (1u << 24)) {
      Log("Audio decoder: an input sample of more than 16 MiB; dropped\n");
      return MF_E_INVALID_STREAM_DATA;
    }
    LONGLONG time = 0;
    if (pcm_.empty() && SUCCEEDED(sample->GetSampleTime(&time))) {
      // The output's clock starts again from the first input with a time
      // while nothing is waiting to go out.
      nextTime_ = time;
      haveTime_ = true;
    }
    if (!FillPacket(bytes_)) return E_OUTOFMEMORY;
    const int sent = avcodec_send_packet(context_, packet_);
    const bool received = sent == 0 && ReceiveAll();
    if (sent < 0 || !received) {
      char line[128];
      std::snprintf(line, sizeof line, "Audio decoder: a %zu-byte packet does not decode; dropped\n", bytes_.size());
      Log(line);
      return MF_E_INVALID_STREAM_DATA;
    }
    return S_OK;
  }
  HRESULT MakeOutput(MFT_OUTPUT_DATA_BUFFER* buffers, DWORD*) override {
    if (pcm_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    const size_t frameBytes = channels_ * 2;
    IMFSample* sample = buffers[0].pSample;
    IMFMediaBuffer* buffer = nullptr;
    DWORD room = 0;
    if (sample) {
      HRESULT hr = sample->GetBufferByIndex(0, &buffer);
      if (FAILED(hr)) return hr;
      buffer->GetMaxLength(&room);
    } else {
      room = static_cast<DWORD>(std::min<size_t>(pcm_.size(), kOutputFrames * frameBytes));
      HRESULT hr = MFCreateSample(&sample);
      if (FAILED(hr)) return hr;
      hr = MFCreateMemoryBuffer(room, &buffer);
      if (FAILED(hr)) return SafeRelease(sample), hr;
      sample->AddBuffer(buffer);
      buffers[0].pSample = sample;
    }
    const size_t take = std::min<size_t>(pcm_.size(), room / frameBytes * frameBytes);
    if (take == 0) {
      buffer->Release();
      return MF_E_BUFFERTOOSMALL;
    }
    BYTE* data = nullptr;
    HRESULT hr = buffer->Lock(&data, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
      std::copy(pcm_.begin(), pcm_.begin() + static_cast<ptrdiff_t>(take), data);
      buffer->Unlock();
      buffer->SetCurrentLength(static_cast<DWORD>(take));
    }
    buffer->Release();
    if (FAILED(hr)) return hr;
    pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<ptrdiff_t>(take));
    const LONGLONG duration = static_cast<LONGLONG>(take / frameBytes) * 10000000 / rate_;
    if (haveTime_) {
      buffers[0].pSample->SetSampleTime(nextTime_);
      nextTime_ += duration;
    }
    buffers[0].pSample->SetSampleDuration(duration);
    if (!pcm_.empty()) buffers[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_INCOMPLETE;
    return S_OK;
  }

 private:
  struct Setup {
    AVCodecID codec = AV_CODEC_ID_NONE;
    UINT32 channels = 0, rate = 0, blockAlign = 0, bytesPerSecond = 0;
    std::vector<UINT8> extradata;
  };

  ~AvAudioDecoder() override { CloseCodec(); }

  bool ReadInputType(IMFMediaType* type, Setup* setup) const {
    GUID major{}, subtype{};
    if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Audio ||
        FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || !Offered(subtype))
      return false;
    for (const CodecRow& row : kCodecs)
      if (row.subtype == subtype) setup->codec = row.codec;
    type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &setup->channels);
    type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &setup->rate);
    type->GetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, &setup->blockAlign);
    type->GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &setup->bytesPerSecond);
    if (setup->channels == 0 || setup->channels > kMaxChannels || setup->rate < 1000 || setup->rate > 384000)
      return false;
    std::vector<UINT8> user;
    UINT32 size = 0;
    if (SUCCEEDED(type->GetBlobSize(MF_MT_USER_DATA, &size)) && size > 0) {
      if (size > kMaxUserData) return false;
      user.resize(size);
      if (FAILED(type->GetBlob(MF_MT_USER_DATA, user.data(), size, nullptr))) return false;
    }
    if (setup->codec == AV_CODEC_ID_AAC) {
      // The payload type: the attribute, else the HEAACWAVEINFO tail's.
      UINT32 payload = Le16(user, 0);
      type->GetUINT32(MF_MT_AAC_PAYLOAD_TYPE, &payload);
      if (payload == 1) return true;  // ADTS: every frame carries its own header
      if (payload != 0 || user.size() < kHeAacTail + 2) {
        Log("Audio decoder: raw AAC needs its AudioSpecificConfig after the 12-byte format tail\n");
        return false;
      }
      setup->extradata.assign(user.begin() + kHeAacTail, user.end());
      return true;
    }
    if (setup->codec == AV_CODEC_ID_WMAV2) {
      if (setup->blockAlign == 0 || setup->blockAlign > (1u << 20)) return false;
      setup->extradata = user;
    }
    return true;
  }

  // The output the decoder makes: 16-bit PCM at the input's channels and
  // rate.
  HRESULT CheckPcmType(IMFMediaType* type) const {
    if (!context_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    GUID major{}, subtype{};
    UINT32 bits = 0, channels = 0, rate = 0;
    type->GetGUID(MF_MT_MAJOR_TYPE, &major);
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    type->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
    type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
    type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
    if (major != MFMediaType_Audio || subtype != MFAudioFormat_PCM || bits != 16 || channels != channels_ ||
        rate != rate_)
      return MF_E_INVALIDMEDIATYPE;
    return S_OK;
  }

  HRESULT PcmType(IMFMediaType** type) {
    HRESULT hr = MFCreateMediaType(type);
    if (FAILED(hr)) return hr;
    IMFMediaType* t = *type;
    t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    t->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    t->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels_);
    t->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate_);
    t->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    t->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, channels_ * 2);
    t->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, rate_ * channels_ * 2);
    return S_OK;
  }

  // Takes every frame the codec has ready into pcm_; false on a decoding
  // error.
  bool ReceiveAll() {
    for (;;) {
      const int got = avcodec_receive_frame(context_, frame_);
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
      if (got < 0) return false;
      const bool converted = Convert();
      av_frame_unref(frame_);
      if (!converted) return false;
    }
  }

  // The frame as interleaved 16-bit PCM at the output's rate and channels.
  bool Convert() {
    if (frame_->nb_samples <= 0 || frame_->sample_rate <= 0 || frame_->ch_layout.nb_channels <= 0) return false;
    const bool same = resampler_ && frame_->format == inFormat_ && frame_->sample_rate == inRate_ &&
                      av_channel_layout_compare(&frame_->ch_layout, &inLayout_) == 0;
    if (!same) {
      swr_free(&resampler_);
      av_channel_layout_uninit(&inLayout_);
      AVChannelLayout out{};
      av_channel_layout_default(&out, static_cast<int>(channels_));
      if (av_channel_layout_copy(&inLayout_, &frame_->ch_layout) < 0 ||
          swr_alloc_set_opts2(&resampler_, &out, AV_SAMPLE_FMT_S16, static_cast<int>(rate_), &inLayout_,
                              static_cast<AVSampleFormat>(frame_->format), frame_->sample_rate, 0, nullptr) < 0 ||
          swr_init(resampler_) < 0) {
        av_channel_layout_uninit(&out);
        swr_free(&resampler_);
        return false;
      }
      av_channel_layout_uninit(&out);
      inFormat_ = frame_->format;
      inRate_ = frame_->sample_rate;
    }
    const int room = swr_get_out_samples(resampler_, frame_->nb_samples);
    if (room <= 0) return room == 0;
    const size_t frameBytes = channels_ * 2;
    const size_t at = pcm_.size();
    pcm_.resize(at + static_cast<size_t>(room) * frameBytes);
    uint8_t* out = pcm_.data() + at;
    const int made = swr_convert(resampler_, &out, room, const_cast<const uint8_t**>(frame_->extended_data),
                                 frame_->nb_samples);
    if (made < 0) {
      pcm_.resize(at);
      return false;
    }
    pcm_.resize(at + static_cast<size_t>(made) * frameBytes);
    return true;
  }

  void CloseCodec() {
    avcodec_free_context(&context_);
    swr_free(&resampler_);
    av_channel_layout_uninit(&inLayout_);
    inputType_.reset();
    outputType_.reset();
    pcm_.clear();
    channels_ = rate_ = 0;
    haveTime_ = false;
  }

  SwrContext* resampler_ = nullptr;
  int inFormat_ = -1;
  int inRate_ = 0;
  AVChannelLayout inLayout_{};
  std::vector<BYTE> bytes_;
  std::vector<BYTE> pcm_;  // decoded, not yet given out
  UINT32 channels_ = 0, rate_ = 0;
  LONGLONG nextTime_ = 0;
  bool haveTime_ = false;
};

}  // namespace

std::vector<GUID> DecodableAudioSubtypes(REFCLSID clsid) {
  std::vector<GUID> subtypes;
  for (const CodecRow& row : kCodecs)
    if (*row.clsid == clsid && avcodec_find_decoder(row.codec)) subtypes.push_back(row.subtype);
  return subtypes;
}

IUnknown* NewAvAudioDecoder(const std::vector<GUID>& subtypes) {
  AvAudioDecoder* decoder = new (std::nothrow) AvAudioDecoder(subtypes);
  return decoder;
}

}  // namespace pelplat_mf
