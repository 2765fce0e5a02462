#include "H264Decoder.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

// The surface formats by bits per pixel, in the byte order the surface's
// drawing operations read them.
AVPixelFormat PictureFormat(int bitsPerPixel) {
  switch (bitsPerPixel) {
    case 16: return AV_PIX_FMT_RGB565LE;
    case 24: return AV_PIX_FMT_RGB24;
    case 32: return AV_PIX_FMT_BGRA;
    default: return AV_PIX_FMT_NONE;
  }
}

}  // namespace

CH264Decoder::~CH264Decoder() {
  CloseCodec();
  sws_freeContext(sws_);
}

void CH264Decoder::CloseCodec() {
  avcodec_free_context(&codec_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  av_frame_free(&latest_);
  hasPicture_ = false;
  open_ = false;
}

void CH264Decoder::Empty() {
  avcodec_flush_buffers(codec_);
  av_frame_unref(latest_);
  hasPicture_ = false;
}

int CH264Decoder::Open(const uint8_t*, uint32_t, int, int) {
  // The first frame is decoded by the DecodeFrame that follows; the target
  // size is the surface's business (it scales). A codec made before is
  // only emptied: making one costs far more than a frame.
  if (codec_) {
    Empty();
    open_ = true;
    return 0;
  }
  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!decoder) return -1;
  codec_ = avcodec_alloc_context3(decoder);
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  latest_ = av_frame_alloc();
  if (!codec_ || !packet_ || !frame_ || !latest_) {
    CloseCodec();
    return -1;
  }
  // Slice threads add no delay: each frame's picture is ready once it is
  // decoded, as a remote display needs.
  codec_->thread_count = 0;
  codec_->thread_type = FF_THREAD_SLICE;
  if (avcodec_open2(codec_, decoder, nullptr) < 0) {
    CloseCodec();
    return -1;
  }
  open_ = true;
  return 0;
}

int CH264Decoder::Start() { return 0; }

int CH264Decoder::Stop() {
  if (codec_) Empty();
  open_ = false;
  return 0;
}

int CH264Decoder::DecodeFrame(const uint8_t* data, uint32_t length, int) {
  if (!open_ || !data || length == 0 || length > uint32_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE)
    return -1;
  try {
    input_.assign(data, data + length);
    input_.resize(size_t(length) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  packet_->data = input_.data();
  packet_->size = int(length);
  int rc = avcodec_send_packet(codec_, packet_);
  if (rc == AVERROR(EAGAIN)) {
    Drain();
    rc = avcodec_send_packet(codec_, packet_);
  }
  packet_->data = nullptr;
  packet_->size = 0;
  if (rc < 0) return -1;
  Drain();
  return 0;
}

void CH264Decoder::Drain() {
  while (avcodec_receive_frame(codec_, frame_) == 0) {
    av_frame_unref(latest_);
    av_frame_move_ref(latest_, frame_);
    hasPicture_ = true;
    ++pictureSerial_;
  }
}

const uint8_t* CH264Decoder::GetPicture(int* width, int* height, int, int, int bitsPerPixel) {
  if (!width || !height) return nullptr;
  *width = 0;
  *height = 0;
  const AVPixelFormat format = PictureFormat(bitsPerPixel);
  if (format == AV_PIX_FMT_NONE) return nullptr;
  return Converted(width, height, format, bitsPerPixel / 8);
}

const uint8_t* CH264Decoder::GetTurnedPicture(int wantedWidth, int wantedHeight, int* width,
                                              int* height) {
  if (!width || !height) return nullptr;
  *width = 0;
  *height = 0;
  if (!hasPicture_) return nullptr;
  if (latest_->width != wantedWidth || latest_->height != wantedHeight) {
    *width = latest_->width;
    *height = latest_->height;
    return nullptr;
  }
  return Converted(width, height, AV_PIX_FMT_BGR24, 3);
}

const uint8_t* CH264Decoder::Converted(int* width, int* height, int format, int bytesPerPixel) {
  if (!hasPicture_) return nullptr;
  const int w = latest_->width, h = latest_->height;
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || int64_t(w) * h > kMaxPixels)
    return nullptr;
  const int64_t rowBytes = int64_t(w) * bytesPerPixel;
  if (pictureSerial_ != convertedSerial_ || format != convertedFormat_) {
    sws_ = sws_getCachedContext(sws_, w, h, AVPixelFormat(latest_->format), w, h,
                                AVPixelFormat(format), SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws_) return nullptr;
    try {
      picture_.resize(size_t(rowBytes) * size_t(h));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    uint8_t* planes[4] = {picture_.data(), nullptr, nullptr, nullptr};
    int strides[4] = {int(rowBytes), 0, 0, 0};
    convertedFormat_ = -1;
    if (sws_scale(sws_, latest_->data, latest_->linesize, 0, h, planes, strides) != h)
      return nullptr;
    convertedSerial_ = pictureSerial_;
    convertedFormat_ = format;
  }
  *width = w;
  *height = h;
  return picture_.data();
}

extern "C" {

__attribute__((visibility("default"))) HRESULT GetInterfaceToDecoder(IH264FrameDecoder** decoder) {
  if (!decoder) return E_POINTER;
  *decoder = new (std::nothrow) CH264Decoder;
  return *decoder ? S_OK : E_OUTOFMEMORY;
}

__attribute__((visibility("default"))) void FreeDecoder(IH264FrameDecoder* decoder) {
  delete static_cast<CH264Decoder*>(decoder);
}

__attribute__((visibility("default"))) const uint8_t* GetTurnedPicture(
    IH264FrameDecoder* decoder, int wantedWidth, int wantedHeight, int* width, int* height) {
  if (!decoder) return nullptr;
  return static_cast<CH264Decoder*>(decoder)->GetTurnedPicture(wantedWidth, wantedHeight, width,
                                                                height);
}

}
