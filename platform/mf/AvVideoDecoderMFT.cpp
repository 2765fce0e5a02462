// A video decoder transform over libavcodec. It gives NV12 only (the width
// raised to even, the last column repeated) and, like the platform's own
// H.264 decoder, answers MF_E_TRANSFORM_STREAM_CHANGE on its first output
// and on every change of geometry, until the client sets the new output
// type. libavcodec is driven send/receive: the client takes one output
// before each input.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "ChromaPairs.h"
#include "MFBuiltins.h"
#include "AvDecoderBase.h"
#include "pelplat/wmcodecdsp.h"

namespace pelplat_mf {
namespace {

constexpr UINT32 kMaxDimension = 16384;
constexpr UINT32 kMaxSetupBytes = 1u << 20;

struct CodecRow {
  GUID subtype;
  AVCodecID codec;
};
// Only codecs whose streams have been decoded and drawn end to end (the
// player stream's codec test makes each one with ffmpeg) are offered: the
// probe announces every subtype listed here, and the server must never be
// sent a decoder that cannot decode. WMV3 and WVC1 are left out: libavcodec
// can decode them (WMV3 given its 4-byte sequence header, WVC1 its sequence
// and entry-point headers, both as codec data), but no encoder exists to
// make a stream that proves the codec data reaches it in the form it needs.
const CodecRow kCodecs[] = {
    {MFVideoFormat_H264, AV_CODEC_ID_H264},
    {MFVideoFormat_WMV1, AV_CODEC_ID_WMV1},
    {MFVideoFormat_WMV2, AV_CODEC_ID_WMV2},
    {MFVideoFormat_MJPG, AV_CODEC_ID_MJPEG},
};

AVCodecID CodecOf(REFGUID subtype) {
  for (const CodecRow& row : kCodecs)
    if (row.subtype == subtype) return row.codec;
  return AV_CODEC_ID_NONE;
}

class AvVideoDecoder : public AvDecoderBase {
 public:
  explicit AvVideoDecoder(const std::vector<GUID>& subtypes) : AvDecoderBase(subtypes) {}

  HRESULT GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (index >= subtypes_.size()) return MF_E_NO_MORE_TYPES;
    return NewVideoType(subtypes_[index], 0, 0, type);
  }
  HRESULT GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!context_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (index > 0) return MF_E_NO_MORE_TYPES;
    const HRESULT hr = NewVideoType(MFVideoFormat_NV12, geometryWidth_, geometryHeight_, type);
    if (SUCCEEDED(hr) && geometryWidth_) (*type)->SetUINT32(MF_MT_DEFAULT_STRIDE, geometryWidth_);
    return hr;
  }
  HRESULT SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard<std::mutex> hold(lock_);
    if (!type) {
      if (!(flags & MFT_SET_TYPE_TEST_ONLY)) CloseCodec();
      return S_OK;
    }
    GUID major{}, subtype{};
    if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video ||
        FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || !Offered(subtype))
      return MF_E_INVALIDMEDIATYPE;
    UINT32 width = 0, height = 0;
    MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height);
    if (width > kMaxDimension || height > kMaxDimension) return MF_E_INVALIDMEDIATYPE;
    if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
    CloseCodec();
    const AVCodec* codec = avcodec_find_decoder(CodecOf(subtype));
    if (!codec) return MF_E_INVALIDMEDIATYPE;
    context_ = avcodec_alloc_context3(codec);
    if (!context_) return E_OUTOFMEMORY;
    context_->thread_count = 1;
    context_->width = static_cast<int>(width);
    context_->height = static_cast<int>(height);
    // The codec's setup bytes: an H.264 stream's parameter sets come as the
    // sequence header (Annex B), other codecs' as user data.
    UINT32 setupBytes = 0;
    const GUID* setupKey = &MF_MT_MPEG_SEQUENCE_HEADER;
    if (FAILED(type->GetBlobSize(*setupKey, &setupBytes)) || setupBytes == 0) {
      setupKey = &MF_MT_USER_DATA;
      if (FAILED(type->GetBlobSize(*setupKey, &setupBytes))) setupBytes = 0;
    }
    if (setupBytes > kMaxSetupBytes) return CloseCodec(), MF_E_INVALIDMEDIATYPE;
    if (setupBytes > 0) {
      context_->extradata = static_cast<uint8_t*>(av_mallocz(setupBytes + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!context_->extradata) return CloseCodec(), E_OUTOFMEMORY;
      type->GetBlob(*setupKey, context_->extradata, setupBytes, nullptr);
      context_->extradata_size = static_cast<int>(setupBytes);
    }
    if (avcodec_open2(context_, codec, nullptr) < 0) return CloseCodec(), MF_E_INVALIDMEDIATYPE;
    geometryWidth_ = EvenWidth(width);
    geometryHeight_ = height;
    inputType_ = pelplat::Ref<IMFMediaType>::Share(type);
    return S_OK;
  }
  HRESULT SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    const auto check = [this](IMFMediaType* t) -> HRESULT {
      if (!context_) return MF_E_TRANSFORM_TYPE_NOT_SET;
      GUID subtype{};
      UINT32 width = 0, height = 0;
      if (FAILED(t->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) return MF_E_INVALIDMEDIATYPE;
      MFGetAttributeSize(t, MF_MT_FRAME_SIZE, &width, &height);
      if (width != geometryWidth_ || height != geometryHeight_) return MF_E_INVALIDMEDIATYPE;
      return S_OK;
    };
    return ChangeType(stream, type, flags, &outputType_, check, [this] {
      outWidth_ = geometryWidth_;
      outHeight_ = geometryHeight_;
      // The client has taken the geometry of the decoded pictures.
      if (decoded_) announced_ = true;
    });
  }

 protected:
  MFT_OUTPUT_STREAM_INFO OutputStreamInfo() const override {
    return MFT_OUTPUT_STREAM_INFO{MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                                      MFT_OUTPUT_STREAM_FIXED_SAMPLE_SIZE,
                                  Nv12Size(outWidth_, outHeight_), 16};
  }
  void OnMessage(MFT_MESSAGE_TYPE message) override {
    if (message == MFT_MESSAGE_COMMAND_FLUSH) {
      avcodec_flush_buffers(context_);
      av_frame_unref(frame_);
      pending_ = false;
      draining_ = false;
    } else if (message == MFT_MESSAGE_COMMAND_DRAIN && !draining_) {
      avcodec_send_packet(context_, nullptr);
      draining_ = true;
    }
  }
  HRESULT TakeInput(IMFSample* sample) override {
    if (draining_) return MF_E_NOTACCEPTING;
    if (!SampleBytes(sample, &bytes_)) return E_FAIL;
    if (bytes_.empty()) return S_OK;
    if (!FillPacket(bytes_)) return E_OUTOFMEMORY;
    LONGLONG time = 0;
    packet_->pts = SUCCEEDED(sample->GetSampleTime(&time)) ? time : AV_NOPTS_VALUE;
    int sent = avcodec_send_packet(context_, packet_);
    if (sent == AVERROR(EAGAIN) && !pending_) {
      // The client skipped an output: keep one picture aside to make room.
      if (avcodec_receive_frame(context_, frame_) == 0) pending_ = true;
      sent = avcodec_send_packet(context_, packet_);
    }
    if (sent == AVERROR(EAGAIN)) return MF_E_NOTACCEPTING;
    // Bytes the codec cannot use are consumed without a picture, as a
    // hardware decoder swallows a damaged frame.
    return S_OK;
  }
  HRESULT MakeOutput(MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
    if (!pending_) {
      const int got = avcodec_receive_frame(context_, frame_);
      if (got == AVERROR_EOF) {
        avcodec_flush_buffers(context_);
        draining_ = false;
      }
      if (got != 0) return MF_E_TRANSFORM_NEED_MORE_INPUT;
      pending_ = true;
    }
    const UINT32 width = EvenWidth(static_cast<UINT32>(frame_->width));
    const UINT32 height = static_cast<UINT32>(frame_->height);
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) {
      av_frame_unref(frame_);
      pending_ = false;
      return MF_E_TRANSFORM_NEED_MORE_INPUT;
    }
    if (!announced_ || width != outWidth_ || height != outHeight_) {
      decoded_ = true;
      announced_ = false;
      geometryWidth_ = width;
      geometryHeight_ = height;
      buffers[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
      *status = MFT_PROCESS_OUTPUT_STATUS_NEW_STREAMS;
      return MF_E_TRANSFORM_STREAM_CHANGE;
    }
    IMFMediaBuffer* buffer = nullptr;
    const DWORD size = Nv12Size(width, height);
    HRESULT hr = OutputBuffer(&buffers[0], size, &buffer);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    hr = buffer->Lock(&data, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
      hr = WriteNv12(data, width, height) ? S_OK : E_FAIL;
      buffer->Unlock();
      buffer->SetCurrentLength(SUCCEEDED(hr) ? size : 0);
    }
    buffer->Release();
    if (SUCCEEDED(hr) && frame_->best_effort_timestamp != AV_NOPTS_VALUE)
      buffers[0].pSample->SetSampleTime(frame_->best_effort_timestamp);
    av_frame_unref(frame_);
    pending_ = false;
    return hr;
  }

 private:
  ~AvVideoDecoder() override {
    CloseCodec();
    sws_freeContext(scaler_);
  }

  static UINT32 EvenWidth(UINT32 width) { return width + (width & 1); }

  void CloseCodec() {
    avcodec_free_context(&context_);
    av_frame_unref(frame_);
    inputType_.reset();
    outputType_.reset();
    pending_ = draining_ = decoded_ = announced_ = false;
    outWidth_ = outHeight_ = geometryWidth_ = geometryHeight_ = 0;
  }

  // The pending picture as NV12 of width (even) x height.
  bool WriteNv12(BYTE* out, UINT32 width, UINT32 height) {
    const int w = frame_->width;
    BYTE* chroma = out + static_cast<size_t>(width) * height;
    const AVPixelFormat format = static_cast<AVPixelFormat>(frame_->format);
    // Only video-range 4:2:0 is copied as it is: NV12 is read as video
    // range, so full-range pictures (Motion JPEG's YUVJ) are scaled below.
    if (format == AV_PIX_FMT_YUV420P) {
      for (UINT32 y = 0; y < height; ++y) {
        BYTE* row = out + static_cast<size_t>(y) * width;
        std::memcpy(row, frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0], w);
        if (width != static_cast<UINT32>(w)) row[w] = row[w - 1];
      }
      for (UINT32 y = 0; y < (height + 1) / 2; ++y) {
        const BYTE* u = frame_->data[1] + static_cast<ptrdiff_t>(y) * frame_->linesize[1];
        const BYTE* v = frame_->data[2] + static_cast<ptrdiff_t>(y) * frame_->linesize[2];
        JoinChromaPairs(u, v, chroma + static_cast<size_t>(y) * width, width / 2);
      }
      return true;
    }
    // Other layouts and ranges (Motion JPEG's full-range 4:2:0 and 4:2:2,
    // ...) go through libswscale.
    scaler_ = sws_getCachedContext(scaler_, w, frame_->height, format, static_cast<int>(width),
                                   static_cast<int>(height), AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr,
                                   nullptr);
    if (!scaler_) return false;
    uint8_t* planes[4] = {out, chroma, nullptr, nullptr};
    int strides[4] = {static_cast<int>(width), static_cast<int>(width), 0, 0};
    return sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, planes, strides) > 0;
  }

  SwsContext* scaler_ = nullptr;
  std::vector<BYTE> bytes_;
  bool pending_ = false;   // frame_ holds a picture not yet given out
  bool draining_ = false;
  bool decoded_ = false;   // a picture has told the geometry
  bool announced_ = false; // the output type set matches that geometry
  UINT32 geometryWidth_ = 0, geometryHeight_ = 0;
  UINT32 outWidth_ = 0, outHeight_ = 0;
};

}  // namespace

std::vector<GUID> DecodableSubtypes(REFCLSID clsid) {
  std::vector<GUID> subtypes;
  for (const CodecRow& row : kCodecs) {
    const bool h264 = row.codec == AV_CODEC_ID_H264;
    const bool mine = clsid == CLSID_CMSH264DecoderMFT ? h264
                      : clsid == CLSID_PelplatMJPEGDecoderMFT ? row.codec == AV_CODEC_ID_MJPEG
                      : clsid == CLSID_CWMVDecMediaObject ? (!h264 && row.codec != AV_CODEC_ID_MJPEG)
                                                          : false;
    if (mine && avcodec_find_decoder(row.codec)) subtypes.push_back(row.subtype);
  }
  return subtypes;
}

IUnknown* NewAvVideoDecoder(const std::vector<GUID>& subtypes) {
  AvVideoDecoder* decoder = new (std::nothrow) AvVideoDecoder(subtypes);
  return decoder;
}

}  // namespace pelplat_mf
