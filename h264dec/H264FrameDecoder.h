// The decoder object of the H.264 decoder library ("diz264ozi.dll", here
// libdiz264ozi.so beside the program) and its two exports. The stream that
// uses it binds the exports by name at run time; the object is made by
// GetInterfaceToDecoder and destroyed only by FreeDecoder.
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"

class IH264FrameDecoder {
 public:
  // Ready to take frames again after a Stop (the caller ignores the result).
  virtual int Start() = 0;
  // 0 when the frame was taken; flags is 0.
  virtual int DecodeFrame(const uint8_t* data, uint32_t length, int flags) = 0;
  // 0 when the decoder is ready for frames meant for a width x height target.
  virtual int Open(const uint8_t* first, uint32_t length, int width, int height) = 0;
  // Drops what the decoder holds; the next frame needs an Open.
  virtual int Stop() = 0;
  // The latest picture (*width x *height pixels, rows top-down) in the
  // pixel format of a surface of that many bits per pixel, valid until the
  // next call on the decoder; null when there is none. 24 bits: 3-byte
  // pixels in the order the 24-bit surface stores them (red, green, blue);
  // 32 bits: blue, green, red, 255; 16 bits: RGB565 little-endian, red on
  // top. The wanted size is a hint; the picture keeps its own size.
  virtual const uint8_t* GetPicture(int* width, int* height, int wantedWidth, int wantedHeight,
                                    int bitsPerPixel) = 0;

 protected:
  ~IH264FrameDecoder() = default;
};

extern "C" {
typedef HRESULT (*GetInterfaceToDecoderFn)(IH264FrameDecoder** decoder);
typedef void (*FreeDecoderFn)(IH264FrameDecoder* decoder);
// An export a library may add: the picture GetPicture gives for 24 bits per
// pixel, with each pixel's three bytes in the opposite order (blue, green,
// red), as the surface's unkeyed copy takes it, valid as long. Only a
// picture of the wanted size is converted: for any other the result is
// null with *width and *height set to its size (0 without a picture).
typedef const uint8_t* (*GetTurnedPictureFn)(IH264FrameDecoder* decoder, int wantedWidth,
                                             int wantedHeight, int* width, int* height);
}
