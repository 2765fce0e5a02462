// The decoder object of libdiz264ozi.so: libavcodec's H.264 decoder, one
// access unit per DecodeFrame, and libswscale for the picture in the
// surface's pixel format.
#pragma once

#include <cstdint>
#include <vector>

#include "H264FrameDecoder.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

class CH264Decoder final : public IH264FrameDecoder {
 public:
  // Sides beyond this, or more pixels than kMaxPixels, are not drawn.
  static constexpr int kMaxSide = 8192;
  static constexpr int64_t kMaxPixels = int64_t(kMaxSide) * 4608;

  CH264Decoder() = default;
  ~CH264Decoder();

  int Start() override;
  int DecodeFrame(const uint8_t* data, uint32_t length, int flags) override;
  int Open(const uint8_t* first, uint32_t length, int width, int height) override;
  int Stop() override;
  const uint8_t* GetPicture(int* width, int* height, int wantedWidth, int wantedHeight,
                            int bitsPerPixel) override;
  // The 24-bit picture with each pixel's bytes reversed, when it is
  // wantedWidth x wantedHeight (GetTurnedPictureFn).
  const uint8_t* GetTurnedPicture(int wantedWidth, int wantedHeight, int* width, int* height);

  CH264Decoder(const CH264Decoder&) = delete;
  CH264Decoder& operator=(const CH264Decoder&) = delete;

 private:
  void CloseCodec();
  // Drops the frames and pictures the codec holds; it stays made.
  void Empty();
  // Takes every picture the decoder has ready; the last one is kept.
  void Drain();
  // The latest picture converted to format (bytes per pixel given), kept
  // until the next picture or another format is asked for.
  const uint8_t* Converted(int* width, int* height, int format, int bytesPerPixel);

  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;   // scratch for receiving
  AVFrame* latest_ = nullptr;  // the newest picture
  bool hasPicture_ = false;
  bool open_ = false;  // between an Open and a Stop
  SwsContext* sws_ = nullptr;
  std::vector<uint8_t> input_;    // the frame with the decoder's zero padding
  std::vector<uint8_t> picture_;  // what GetPicture hands out
  uint64_t pictureSerial_ = 0;    // grows with every new picture
  uint64_t convertedSerial_ = ~uint64_t(0);
  int convertedFormat_ = -1;
};
