// A video decoder filter over libavcodec: compressed video in, 32-bit RGB
// pictures (rows top-down) out, converted by libswscale. Registered for
// the subtypes of kCodecs whose decoder this machine's libavcodec has.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <mutex>
#include <vector>

#include "pelplat/debugout.h"
#include "pelplat/dshowbase.h"
#include "pelplat/dshowreg.h"

namespace {

struct SubtypeCodec {
  uint32_t fourcc;  // 0: a subtype GUID of its own
  const GUID* subtype;
  AVCodecID codec;
};

const SubtypeCodec kCodecs[] = {
    {PELPLAT_FOURCC('M', 'J', 'P', 'G'), nullptr, AV_CODEC_ID_MJPEG},
    {0, &MEDIASUBTYPE_MPEG1Payload, AV_CODEC_ID_MPEG1VIDEO},
    {0, &MEDIASUBTYPE_MPEG2_VIDEO, AV_CODEC_ID_MPEG2VIDEO},
    {PELPLAT_FOURCC('H', '2', '6', '4'), nullptr, AV_CODEC_ID_H264},
    {PELPLAT_FOURCC('h', '2', '6', '4'), nullptr, AV_CODEC_ID_H264},
    {PELPLAT_FOURCC('a', 'v', 'c', '1'), nullptr, AV_CODEC_ID_H264},
    {PELPLAT_FOURCC('A', 'V', 'C', '1'), nullptr, AV_CODEC_ID_H264},
    {PELPLAT_FOURCC('X', 'V', 'I', 'D'), nullptr, AV_CODEC_ID_MPEG4},
    {PELPLAT_FOURCC('x', 'v', 'i', 'd'), nullptr, AV_CODEC_ID_MPEG4},
    {PELPLAT_FOURCC('D', 'I', 'V', 'X'), nullptr, AV_CODEC_ID_MPEG4},
    {PELPLAT_FOURCC('d', 'i', 'v', 'x'), nullptr, AV_CODEC_ID_MPEG4},
    {PELPLAT_FOURCC('D', 'X', '5', '0'), nullptr, AV_CODEC_ID_MPEG4},
    {PELPLAT_FOURCC('d', 'x', '5', '0'), nullptr, AV_CODEC_ID_MPEG4},
    {PELPLAT_FOURCC('D', 'I', 'V', '3'), nullptr, AV_CODEC_ID_MSMPEG4V3},
    {PELPLAT_FOURCC('d', 'i', 'v', '3'), nullptr, AV_CODEC_ID_MSMPEG4V3},
    // "WMV3" and "WVC1" are left out although libavcodec has their
    // decoders: no encoder exists here to make a clip that proves their
    // format blocks decode, and the decoder mask must not announce a
    // subtype that may not decode.
};

GUID SubtypeOf(const SubtypeCodec& c) { return c.subtype ? *c.subtype : FourccSubtype(c.fourcc); }

AVCodecID CodecFor(const GUID& subtype) {
  for (const auto& c : kCodecs)
    if (SubtypeOf(c) == subtype) return avcodec_find_decoder(c.codec) ? c.codec : AV_CODEC_ID_NONE;
  return AV_CODEC_ID_NONE;
}

uint32_t ReadU32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

constexpr int kMaxSide = 8192;

// What the decoder needs of an input format block, read within its length.
struct InputFormat {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> extradata;
  int nalLengthSize = 0;  // avc1 samples: NAL units with a length prefix of this size
};

bool ParseInputFormat(const AM_MEDIA_TYPE& mt, InputFormat* out) {
  struct Layout {
    const GUID* type;
    size_t bmi, minimum;
  };
  const Layout layouts[] = {{&FORMAT_VideoInfo, 48, sizeof(VIDEOINFOHEADER)},
                            {&FORMAT_VideoInfo2, 72, sizeof(VIDEOINFOHEADER2)},
                            {&FORMAT_MPEGVideo, 48, offsetof(MPEG1VIDEOINFO, bSequenceHeader)},
                            {&FORMAT_MPEG2Video, 72, offsetof(MPEG2VIDEOINFO, dwSequenceHeader)}};
  const Layout* layout = nullptr;
  for (const auto& l : layouts)
    if (mt.formattype == *l.type) layout = &l;
  if (!layout || !mt.pbFormat || mt.cbFormat < layout->minimum) return false;
  const BYTE* block = mt.pbFormat;
  const int32_t width = static_cast<int32_t>(ReadU32(block + layout->bmi + 4));
  int32_t height = static_cast<int32_t>(ReadU32(block + layout->bmi + 8));
  if (height < 0 && height != INT32_MIN) height = -height;
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  out->width = width;
  out->height = height;
  const BYTE* extra = nullptr;
  size_t extraLength = 0;
  if (mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2) {
    extra = block + layout->minimum;
    extraLength = mt.cbFormat - layout->minimum;
  } else {
    const size_t countAt = mt.formattype == FORMAT_MPEGVideo ? offsetof(MPEG1VIDEOINFO, cbSequenceHeader)
                                                             : offsetof(MPEG2VIDEOINFO, cbSequenceHeader);
    const uint64_t count = ReadU32(block + countAt);
    if (count > mt.cbFormat - layout->minimum) return false;
    extra = block + layout->minimum;
    extraLength = static_cast<size_t>(count);
    if (mt.formattype == FORMAT_MPEG2Video) {
      const uint32_t flags = ReadU32(block + offsetof(MPEG2VIDEOINFO, dwFlags));
      if (flags >= 1 && flags <= 4) out->nalLengthSize = static_cast<int>(flags);
    }
  }
  if (out->nalLengthSize) {
    // Parameter sets with 2-byte lengths become Annex B units.
    size_t at = 0;
    while (at + 2 <= extraLength) {
      const size_t n = (extra[at] << 8) | extra[at + 1];
      at += 2;
      if (n > extraLength - at) return false;
      static const uint8_t kStart[] = {0, 0, 0, 1};
      out->extradata.insert(out->extradata.end(), kStart, kStart + 4);
      out->extradata.insert(out->extradata.end(), extra + at, extra + at + n);
      at += n;
    }
  } else {
    out->extradata.assign(extra, extra + extraLength);
  }
  return true;
}

class CAvVideoDecoder;

class CAvDecoderInputPin final : public CBaseInputPin {
 public:
  CAvDecoderInputPin(CAvVideoDecoder* filter, CCritSec* lock, HRESULT* hr);
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT CompleteConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  HRESULT BeginFlush() override;
  HRESULT EndFlush() override;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

 private:
  CAvVideoDecoder* decoder_;
};

class CAvDecoderOutputPin final : public CBaseOutputPin {
 public:
  CAvDecoderOutputPin(CAvVideoDecoder* filter, CCritSec* lock, HRESULT* hr);
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

 private:
  CAvVideoDecoder* decoder_;
};

class CAvVideoDecoder final : public CBaseFilter {
 public:
  CAvVideoDecoder()
      : CBaseFilter("CAvVideoDecoder", nullptr, &lock_, CLSID_PelplatAvVideoDecoder),
        input_(this, &lock_, nullptr),
        output_(this, &lock_, nullptr) {}
  ~CAvVideoDecoder() override { CloseCodec(); }

  int GetPinCount() override { return 2; }
  CBasePin* GetPin(int n) override {
    return n == 0 ? static_cast<CBasePin*>(&input_) : n == 1 ? static_cast<CBasePin*>(&output_) : nullptr;
  }

  HRESULT OpenCodec(const AM_MEDIA_TYPE& mt) {
    std::lock_guard<std::mutex> hold(receive_);
    CloseCodecLocked();
    InputFormat format;
    if (!ParseInputFormat(mt, &format)) return VFW_E_TYPE_NOT_ACCEPTED;
    const AVCodec* codec = avcodec_find_decoder(CodecFor(mt.subtype));
    if (!codec) return VFW_E_TYPE_NOT_ACCEPTED;
    context_ = avcodec_alloc_context3(codec);
    if (!context_) return E_OUTOFMEMORY;
    context_->width = format.width;
    context_->height = format.height;
    if (!format.extradata.empty()) {
      context_->extradata = static_cast<uint8_t*>(av_mallocz(format.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!context_->extradata) return E_OUTOFMEMORY;
      memcpy(context_->extradata, format.extradata.data(), format.extradata.size());
      context_->extradata_size = static_cast<int>(format.extradata.size());
    }
    if (avcodec_open2(context_, codec, nullptr) < 0) {
      CloseCodecLocked();
      return VFW_E_TYPE_NOT_ACCEPTED;
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_) {
      CloseCodecLocked();
      return E_OUTOFMEMORY;
    }
    format_ = std::move(format);
    return S_OK;
  }

  void CloseCodec() {
    std::lock_guard<std::mutex> hold(receive_);
    CloseCodecLocked();
  }

  int Width() const { return format_.width; }
  int Height() const { return format_.height; }

  HRESULT Decode(IMediaSample* sample) {
    std::lock_guard<std::mutex> hold(receive_);
    if (!context_) return VFW_E_NOT_CONNECTED;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const LONG length = sample->GetActualDataLength();
    if (!data || length <= 0) return S_OK;
    std::vector<uint8_t> bytes;
    if (format_.nalLengthSize) {
      if (!ToAnnexB(data, static_cast<size_t>(length), &bytes)) return S_OK;  // a broken sample is dropped
    } else {
      bytes.assign(data, data + length);
    }
    if (av_new_packet(packet_, static_cast<int>(bytes.size())) < 0) return E_OUTOFMEMORY;
    memcpy(packet_->data, bytes.data(), bytes.size());
    REFERENCE_TIME start = 0, stop = 0;
    packet_->pts = SUCCEEDED(sample->GetTime(&start, &stop)) ? start : AV_NOPTS_VALUE;
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 && sent != AVERROR(EAGAIN)) return S_OK;  // undecodable data is skipped
    HRESULT result = S_OK;
    while (avcodec_receive_frame(context_, frame_) == 0) {
      const HRESULT hr = DeliverFrame();
      av_frame_unref(frame_);
      if (hr != S_OK) result = hr;
    }
    return result;
  }

  void Flush() {
    std::lock_guard<std::mutex> hold(receive_);
    if (context_) avcodec_flush_buffers(context_);
  }

  CAvDecoderOutputPin& Output() { return output_; }

 private:
  void CloseCodecLocked() {
    if (context_) avcodec_free_context(&context_);
    if (frame_) av_frame_free(&frame_);
    if (packet_) av_packet_free(&packet_);
    if (scaler_) sws_freeContext(scaler_);
    scaler_ = nullptr;
  }

  bool ToAnnexB(const BYTE* data, size_t length, std::vector<uint8_t>* out) const {
    size_t at = 0;
    while (at < length) {
      if (static_cast<size_t>(format_.nalLengthSize) > length - at) return false;
      uint64_t n = 0;
      for (int i = 0; i < format_.nalLengthSize; ++i) n = (n << 8) | data[at + i];
      at += format_.nalLengthSize;
      if (n > length - at) return false;
      static const uint8_t kStart[] = {0, 0, 0, 1};
      out->insert(out->end(), kStart, kStart + 4);
      out->insert(out->end(), data + at, data + at + n);
      at += static_cast<size_t>(n);
    }
    return true;
  }

  HRESULT DeliverFrame() {
    IMediaSample* out = nullptr;
    HRESULT hr = output_.GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* target = nullptr;
    out->GetPointer(&target);
    const int w = format_.width, h = format_.height;
    const int64_t bytes = int64_t{w} * h * 4;
    if (!target || out->GetSize() < bytes) {
      out->Release();
      return E_FAIL;
    }
    // JPEG pictures come as full-range formats: the plain format and a
    // full-range source say the same without the scaler's complaint.
    AVPixelFormat format = static_cast<AVPixelFormat>(frame_->format);
    bool fullRange = frame_->color_range == AVCOL_RANGE_JPEG;
    struct {
      AVPixelFormat jpeg, plain;
    } const kFullRange[] = {{AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P},
                            {AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV422P},
                            {AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV444P}};
    for (const auto& f : kFullRange)
      if (format == f.jpeg) format = f.plain, fullRange = true;
    scaler_ = sws_getCachedContext(scaler_, frame_->width, frame_->height, format, w, h, AV_PIX_FMT_BGRA,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) {
      out->Release();
      return E_FAIL;
    }
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler_, coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    uint8_t* planes[4] = {target, nullptr, nullptr, nullptr};
    int strides[4] = {w * 4, 0, 0, 0};
    sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, planes, strides);
    out->SetActualDataLength(static_cast<LONG>(bytes));
    if (frame_->best_effort_timestamp != AV_NOPTS_VALUE) {
      REFERENCE_TIME start = frame_->best_effort_timestamp;
      out->SetTime(&start, nullptr);
    }
    out->SetSyncPoint(TRUE);
    hr = output_.Deliver(out);
    out->Release();
    return hr;
  }

  CCritSec lock_;
  std::mutex receive_;  // the codec: streaming thread against flush and disconnect
  CAvDecoderInputPin input_;
  CAvDecoderOutputPin output_;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  InputFormat format_;
};

// ---- input pin
CAvDecoderInputPin::CAvDecoderInputPin(CAvVideoDecoder* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin("AvDecoderIn", filter, lock, hr, u"In"), decoder_(filter) {}

HRESULT CAvDecoderInputPin::CheckMediaType(const CMediaType* type) {
  if (type->majortype != MEDIATYPE_Video || CodecFor(type->subtype) == AV_CODEC_ID_NONE) return E_FAIL;
  InputFormat format;
  return ParseInputFormat(*type, &format) ? S_OK : E_FAIL;
}

// The subtypes it decodes, without a format: what the filter mapper's
// callers read.
HRESULT CAvDecoderInputPin::GetMediaType(int position, CMediaType* type) {
  const std::vector<GUID> subtypes = DsAvDecoderSubtypes();
  if (position < 0 || position >= static_cast<int>(subtypes.size())) return VFW_S_NO_MORE_ITEMS;
  type->InitMediaType();
  type->SetType(&MEDIATYPE_Video);
  type->SetSubtype(&subtypes[position]);
  return S_OK;
}

HRESULT CAvDecoderInputPin::CompleteConnect(IPin*) { return decoder_->OpenCodec(m_mt); }

HRESULT CAvDecoderInputPin::BreakConnect() {
  decoder_->CloseCodec();
  return CBaseInputPin::BreakConnect();
}

HRESULT CAvDecoderInputPin::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return decoder_->Decode(sample);
}

HRESULT CAvDecoderInputPin::EndOfStream() { return decoder_->Output().DeliverEndOfStream(); }

HRESULT CAvDecoderInputPin::BeginFlush() {
  CBaseInputPin::BeginFlush();
  return decoder_->Output().DeliverBeginFlush();
}

HRESULT CAvDecoderInputPin::EndFlush() {
  decoder_->Flush();
  CBaseInputPin::EndFlush();
  return decoder_->Output().DeliverEndFlush();
}

HRESULT CAvDecoderInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CBasePin::NewSegment(start, stop, rate);
  return decoder_->Output().DeliverNewSegment(start, stop, rate);
}

// ---- output pin
CAvDecoderOutputPin::CAvDecoderOutputPin(CAvVideoDecoder* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("AvDecoderOut", filter, lock, hr, u"Out"), decoder_(filter) {}

HRESULT CAvDecoderOutputPin::CheckConnect(IPin* pin) {
  if (!decoder_->GetPin(0)->IsConnected()) return VFW_E_NOT_CONNECTED;
  return CBaseOutputPin::CheckConnect(pin);
}

HRESULT CAvDecoderOutputPin::GetMediaType(int position, CMediaType* type) {
  if (position != 0) return VFW_S_NO_MORE_ITEMS;
  if (decoder_->Width() <= 0) return VFW_S_NO_MORE_ITEMS;
  VIDEOINFOHEADER vih{};
  vih.rcSource = {0, 0, decoder_->Width(), decoder_->Height()};
  vih.rcTarget = vih.rcSource;
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = decoder_->Width();
  vih.bmiHeader.biHeight = -decoder_->Height();
  vih.bmiHeader.biPlanes = 1;
  vih.bmiHeader.biBitCount = 32;
  vih.bmiHeader.biCompression = BI_RGB;
  vih.bmiHeader.biSizeImage = static_cast<DWORD>(decoder_->Width() * decoder_->Height() * 4);
  type->InitMediaType();
  type->SetType(&MEDIATYPE_Video);
  type->SetSubtype(&MEDIASUBTYPE_RGB32);
  type->SetFormatType(&FORMAT_VideoInfo);
  type->SetSampleSize(vih.bmiHeader.biSizeImage);
  type->SetTemporalCompression(FALSE);
  return type->SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CAvDecoderOutputPin::CheckMediaType(const CMediaType* type) {
  CMediaType mine;
  if (GetMediaType(0, &mine) != S_OK) return E_FAIL;
  return mine == *type ? S_OK : E_FAIL;
}

HRESULT CAvDecoderOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES want = *request;
  want.cBuffers = std::max<LONG>(want.cBuffers, 2);
  want.cbBuffer = decoder_->Width() * decoder_->Height() * 4;
  if (want.cbAlign <= 0) want.cbAlign = 1;
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = allocator->SetProperties(&want, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < want.cbBuffer ? E_FAIL : S_OK;
}

}  // namespace

std::vector<GUID> DsAvDecoderSubtypes() {
  std::vector<GUID> subtypes;
  for (const auto& c : kCodecs)
    if (avcodec_find_decoder(c.codec)) subtypes.push_back(SubtypeOf(c));
  return subtypes;
}

HRESULT DsCreateAvVideoDecoder(IBaseFilter** filter) {
  if (!filter) return E_POINTER;
  *filter = new CAvVideoDecoder();
  return S_OK;
}
