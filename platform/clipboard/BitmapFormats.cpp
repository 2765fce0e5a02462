// Device-independent bitmaps between the Windows clipboard formats and the
// image targets of X11: a DIB is a BMP file without its 14-byte file
// header, so only that header's offset to the bits has to be worked out,
// from the info header, the colour masks and the palette.
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "clipinternal.h"

namespace pelplat {
namespace clipboard {

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;  // BITMAPCOREHEADER
// BITMAPINFOHEADER and its later versions (V2, V3, V4, V5).
constexpr uint32_t kInfoHeaderSizes[] = {40, 52, 56, 108, 124};
constexpr uint32_t kInfoHeaderSize = 40;

constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;

// A picture larger than this is not decoded for the server.
constexpr uint64_t kMaxPictureBytes = uint64_t(256) * 1024 * 1024;

uint16_t U16At(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t U32At(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU16(std::string& out, uint16_t v) {
  out.push_back(char(v & 0xFF));
  out.push_back(char(v >> 8));
}
void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

// Where a DIB's bits start and how many bytes they take, both counted from
// the start of the DIB.
struct DibLayout {
  uint64_t bitsOffset = 0;
  uint64_t bitsSize = 0;
};

bool KnownInfoHeader(uint32_t size) {
  for (uint32_t known : kInfoHeaderSizes)
    if (size == known) return true;
  return false;
}

// False when the header is not one we know or the bytes it describes are
// not all there.
bool MeasureDib(const uint8_t* dib, uint64_t size, DibLayout* layout) {
  if (size < 4) return false;
  const uint32_t headerSize = U32At(dib);
  if (headerSize > size || (headerSize != kCoreHeaderSize && !KnownInfoHeader(headerSize))) return false;
  int64_t width, height;
  uint32_t planes, bitCount, compression = kRgb, colorsUsed = 0, sizeImage = 0;
  uint64_t entrySize = 4, masks = 0;
  if (headerSize == kCoreHeaderSize) {
    width = U16At(dib + 4);
    height = U16At(dib + 6);
    planes = U16At(dib + 8);
    bitCount = U16At(dib + 10);
    entrySize = 3;
  } else {
    width = int32_t(U32At(dib + 4));
    height = int32_t(U32At(dib + 8));
    planes = U16At(dib + 12);
    bitCount = U16At(dib + 14);
    compression = U32At(dib + 16);
    sizeImage = U32At(dib + 20);
    colorsUsed = U32At(dib + 32);
    // Later headers hold the masks themselves.
    if (headerSize == kInfoHeaderSize && compression == kBitFields) masks = 12;
    if (headerSize == kInfoHeaderSize && compression == kAlphaBitFields) masks = 16;
  }
  if (width <= 0 || height == 0 || planes != 1) return false;
  switch (bitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return false;
  }
  const bool rle = compression == kRle8 || compression == kRle4;
  if (compression == kRle8 && bitCount != 8) return false;
  if (compression == kRle4 && bitCount != 4) return false;
  if ((compression == kBitFields || compression == kAlphaBitFields) && bitCount != 16 && bitCount != 32) return false;
  if (compression != kRgb && !rle && compression != kBitFields && compression != kAlphaBitFields) return false;
  if (rle && height < 0) return false;  // compressed bitmaps are bottom-up

  const uint64_t paletteLimit = bitCount <= 8 ? (uint64_t(1) << bitCount) : 0;
  uint64_t colors = colorsUsed ? colorsUsed : paletteLimit;
  if (bitCount <= 8 && colors > paletteLimit) return false;
  layout->bitsOffset = headerSize + masks + colors * entrySize;

  const uint64_t rows = uint64_t(height < 0 ? -height : height);
  if (rle) {
    if (sizeImage == 0) return false;
    layout->bitsSize = sizeImage;
  } else {
    const uint64_t stride = (uint64_t(width) * bitCount + 31) / 32 * 4;
    layout->bitsSize = stride * rows;
  }
  return layout->bitsOffset <= size && layout->bitsSize <= size - layout->bitsOffset;
}

}  // namespace

std::string DibToBmp(const Bytes& dib) {
  DibLayout layout;
  if (!MeasureDib(dib.data(), dib.size(), &layout)) return {};
  const uint64_t fileSize = kFileHeaderSize + uint64_t(dib.size());
  if (fileSize > UINT32_MAX) return {};
  std::string bmp;
  bmp.reserve(size_t(fileSize));
  bmp += "BM";
  PutU32(bmp, uint32_t(fileSize));
  PutU16(bmp, 0);
  PutU16(bmp, 0);
  PutU32(bmp, uint32_t(kFileHeaderSize + layout.bitsOffset));
  bmp.append(reinterpret_cast<const char*>(dib.data()), dib.size());
  return bmp;
}

Bytes BmpToDib(const std::string& bmp) {
  if (bmp.size() < kFileHeaderSize || bmp[0] != 'B' || bmp[1] != 'M') return {};
  const auto* bytes = reinterpret_cast<const uint8_t*>(bmp.data());
  const uint64_t bitsAt = U32At(bytes + 10);
  const uint8_t* dib = bytes + kFileHeaderSize;
  const uint64_t dibSize = bmp.size() - kFileHeaderSize;
  DibLayout layout;
  if (!MeasureDib(dib, dibSize, &layout)) return {};
  const uint64_t expected = kFileHeaderSize + layout.bitsOffset;
  if (bitsAt == expected) return Bytes(dib, dib + dibSize);
  // The bits lie further on: the DIB carries them straight behind its
  // palette.
  if (bitsAt < expected || bitsAt > bmp.size() || layout.bitsSize > bmp.size() - bitsAt) return {};
  Bytes out(dib, dib + layout.bitsOffset);
  out.insert(out.end(), bytes + bitsAt, bytes + bitsAt + layout.bitsSize);
  return out;
}

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kIhdrEnd = 24;  // signature, chunk length and type, width, height

uint32_t U32BigAt(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// The picture's size from its header, before anything is decoded; false
// for what is not a PNG or is too large to turn into a bitmap.
bool PngSizeFits(const std::string& png, uint32_t* width, uint32_t* height) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(png.data());
  if (png.size() < kIhdrEnd || memcmp(bytes, kPngSignature, sizeof kPngSignature) != 0 ||
      memcmp(bytes + 12, "IHDR", 4) != 0)
    return false;
  *width = U32BigAt(bytes + 16);
  *height = U32BigAt(bytes + 20);
  return *width > 0 && *height > 0 && *width <= INT32_MAX && *height <= INT32_MAX &&
         uint64_t(*width) * *height * 4 <= kMaxPictureBytes;
}

std::unique_ptr<AVFrame, FrameFree> DecodePng(const std::string& png) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  if (!codec) return nullptr;
  std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
  if (png.size() > size_t(INT32_MAX) || av_new_packet(packet.get(), int(png.size())) < 0) return nullptr;
  memcpy(packet->data, png.data(), png.size());
  if (avcodec_send_packet(context.get(), packet.get()) < 0 || avcodec_receive_frame(context.get(), frame.get()) < 0)
    return nullptr;
  return frame;
}

}  // namespace

// A 24-bit bottom-up DIB of the picture, as a Windows program pastes it;
// transparency does not cross.
Bytes PngToDib(const std::string& png) {
  uint32_t width = 0, height = 0;
  if (!PngSizeFits(png, &width, &height)) return {};
  const std::unique_ptr<AVFrame, FrameFree> frame = DecodePng(png);
  if (!frame || uint32_t(frame->width) != width || uint32_t(frame->height) != height) return {};
  std::unique_ptr<SwsContext, ScalerFree> scaler(sws_getContext(frame->width, frame->height,
                                                                AVPixelFormat(frame->format), frame->width,
                                                                frame->height, AV_PIX_FMT_BGR24, SWS_POINT,
                                                                nullptr, nullptr, nullptr));
  if (!scaler) return {};
  const uint64_t stride = (uint64_t(width) * 3 + 3) & ~uint64_t(3);
  const uint64_t bitsSize = stride * height;
  std::string header;
  PutU32(header, kInfoHeaderSize);
  PutU32(header, width);
  PutU32(header, height);  // positive: the bottom row first
  PutU16(header, 1);
  PutU16(header, 24);
  PutU32(header, kRgb);
  PutU32(header, uint32_t(bitsSize));
  PutU32(header, 2835);  // 72 dots per inch
  PutU32(header, 2835);
  PutU32(header, 0);
  PutU32(header, 0);
  Bytes dib(header.begin(), header.end());
  dib.resize(header.size() + bitsSize);
  // Writing the last row first and walking up turns the picture bottom-up.
  uint8_t* target[4] = {reinterpret_cast<uint8_t*>(&dib[0]) + header.size() + stride * (height - 1)};
  const int targetStride[4] = {-int(stride)};
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, target, targetStride) !=
      int(height))
    return {};
  return dib;
}

}  // namespace clipboard
}  // namespace pelplat
