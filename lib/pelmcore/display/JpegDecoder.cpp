#include "display/JpegDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sys/ByteReader.h"
#include "display/JpegDecompressor.h"
#include "display/JpegOutBuffer.h"
#include "display/YuvTile.h"

namespace {

// Pictures of the picture streams: 8K x 4K at most.
constexpr uint64_t kMaxRgbPixels = 0x2000000;
constexpr int kMaxRgbSide = 16384;
// Tile pictures are 16 wide; the height is a multiple of 16 within what a
// JPEG can carry.
constexpr int kTileJpegWidth = 16;
constexpr int kMaxTileJpegHeight = 65520;
constexpr int kBandRows = 16;
constexpr size_t kUnitPairBytes = 384;

// Only this exact layout carries display tiles: anything else would not
// fit the planes.
bool IsTileLayout(const jpeg_decompress_struct& info) {
  if (info.num_components != 3 || info.data_precision != 8) return false;
  const jpeg_component_info* c = info.comp_info;
  return c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2 && c[1].h_samp_factor == 1 &&
         c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1 &&
         info.image_width == JDIMENSION(kTileJpegWidth) && info.image_height > 0 &&
         info.image_height <= JDIMENSION(kMaxTileJpegHeight) &&
         info.image_height % kBandRows == 0;
}

// Rows handed to the library per call: it fills as many as it has ready,
// so a batch saves calls without changing a byte.
constexpr int kRowBatch = 16;

// Decodes straight into the block that place (width, height, components)
// gives for the whole picture, last row first; a null block refuses it.
template <typename Place>
int DecodeRows(JpegDecompressor* jpeg, const BYTE* data, size_t length, int* width, int* height,
               int scaleNumerator, int scaleDenominator, Place place) {
  if (setjmp(jpeg->Jump())) {
    jpeg->Abort();
    return -1;
  }
  jpeg->Open(data, length);
  j_decompress_ptr info = jpeg->Info();
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK || scaleNumerator <= 0 ||
      scaleDenominator <= 0) {
    jpeg->Abort();
    return -1;
  }
  info->scale_num = unsigned(scaleNumerator);
  info->scale_denom = unsigned(scaleDenominator);
  jpeg_calc_output_dimensions(info);
  if (info->output_width > JDIMENSION(kMaxRgbSide) ||
      info->output_height > JDIMENSION(kMaxRgbSide) ||
      uint64_t(info->output_width) * info->output_height > kMaxRgbPixels) {
    jpeg->Abort();
    return -1;
  }
  jpeg_start_decompress(info);
  const size_t rowBytes = size_t(info->output_width) * size_t(info->output_components);
  const JDIMENSION rows = info->output_height;
  BYTE* block = place(int(info->output_width), int(rows), int(info->output_components));
  if (!block) {
    jpeg->Abort();
    return -1;
  }
  JSAMPROW batch[kRowBatch];
  while (info->output_scanline < rows) {
    const JDIMENSION first = info->output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(kRowBatch, rows - first);
    for (JDIMENSION i = 0; i < count; ++i) batch[i] = block + (rows - 1 - first - i) * rowBytes;
    if (jpeg_read_scanlines(info, batch, count) == 0) {
      jpeg->Abort();
      return -1;
    }
  }
  *width = int(info->output_width);
  *height = int(rows);
  jpeg_finish_decompress(info);
  jpeg->Abort();
  return 0;
}

bool RgbArguments(const BYTE* data, size_t length, int* width, int* height) {
  if (!data || length == 0 || !width || !height) return false;
  ByteReader peek(data, length);
  // Four 0xFF bytes mark a picture the sender left empty.
  return !(peek.U32() == 0xFFFFFFFFu && peek.Ok());
}

uint32_t ReadPlanes(JpegDecompressor* jpeg, const BYTE* data, size_t length,
                    JpegRawPlanes* planes) {
  if (setjmp(jpeg->Jump())) {
    jpeg->Abort();
    return kJpegTileFailure;
  }
  jpeg->Open(data, length);
  j_decompress_ptr info = jpeg->Info();
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK || !IsTileLayout(*info)) {
    jpeg->Abort();
    return kJpegTileFailure;
  }
  info->jpeg_color_space = JCS_YCbCr;
  info->out_color_space = JCS_YCbCr;
  info->raw_data_out = TRUE;
  info->do_fancy_upsampling = FALSE;
  info->scale_num = 1;
  info->scale_denom = 1;
  jpeg_start_decompress(info);
  const int w = int(info->output_width);
  const int h = int(info->output_height);
  const size_t lumaBytes = size_t(w) * h;
  if (!planes->bytes || planes->capacity < lumaBytes * 3 / 2) {
    planes->capacity = 0;
    planes->bytes.reset(new (std::nothrow) BYTE[lumaBytes * 3 / 2]);
    if (planes->bytes) planes->capacity = lumaBytes * 3 / 2;
  }
  if (!planes->bytes || w != kTileJpegWidth || h != int(info->image_height)) {
    jpeg->Abort();
    return kJpegTileFailure;
  }
  planes->width = w;
  planes->height = h;
  BYTE* y = planes->bytes.get();
  BYTE* cb = y + lumaBytes;
  BYTE* cr = cb + lumaBytes / 4;
  JSAMPROW yRows[kBandRows], cbRows[kBandRows / 2], crRows[kBandRows / 2];
  JSAMPARRAY components[3] = {yRows, cbRows, crRows};
  while (info->output_scanline < JDIMENSION(h)) {
    const size_t first = info->output_scanline;
    for (int i = 0; i < kBandRows; ++i) yRows[i] = y + (first + i) * w;
    for (int i = 0; i < kBandRows / 2; ++i) {
      cbRows[i] = cb + (first / 2 + i) * (w / 2);
      crRows[i] = cr + (first / 2 + i) * (w / 2);
    }
    if (jpeg_read_raw_data(info, components, kBandRows) != JDIMENSION(kBandRows)) {
      jpeg->Abort();
      return kJpegTileFailure;
    }
  }
  jpeg_finish_decompress(info);
  jpeg->Abort();
  return 0;
}

void SetSize(int* width, int* height, int w, int h) {
  if (width) *width = w;
  if (height) *height = h;
}

// Decodes the planes and lays them out with pack into a buffer of
// outBytes; the shared steps of both tile decoders.
template <typename Pack>
uint32_t DecodeTiles(const BYTE* data, size_t length, int* width, int* height, BYTE** out,
                     size_t (*outBytes)(int w, int h), Pack pack) {
  if (!out) {
    SetSize(width, height, 0, 0);
    return 0;
  }
  *out = nullptr;
  SetSize(width, height, 0, 0);
  if (!data || length == 0) return kJpegTileFailure;
  // The planes stay with the thread from one picture to the next.
  thread_local JpegRawPlanes planes;
  if (ReadPlanes(&JpegDecompressor::ForThisThread(), data, length, &planes) != 0)
    return kJpegTileFailure;
  BYTE* bytes = static_cast<BYTE*>(std::malloc(outBytes(planes.width, planes.height)));
  if (!bytes) return kJpegTileFailure;
  pack(planes, bytes);
  *out = bytes;
  SetSize(width, height, planes.width, planes.height);
  return 0;
}

size_t UnitBytes(int w, int h) { return size_t(w) * h * 3 / 2 + 100; }
size_t TileBytes(int w, int h) { return (size_t(w) * h * 3 & ~size_t(1)) + 100; }

}  // namespace

int DecodeJpegToRgb(const BYTE* data, size_t length, int* width, int* height, int scaleNumerator,
                    int scaleDenominator, JpegOutBuffer* out) {
  if (!out || !RgbArguments(data, length, width, height)) return -1;
  return DecodeRows(&JpegDecompressor::ForThisThread(), data, length, width, height,
                    scaleNumerator, scaleDenominator, [out](int w, int h, int components) {
                      return out->Place(size_t(w) * size_t(components) * size_t(h));
                    });
}

int DecodeJpegToRgbAt(const BYTE* data, size_t length, int* width, int* height,
                      const std::function<BYTE*(int width, int height, int components)>& place) {
  if (!place || !RgbArguments(data, length, width, height)) return -1;
  return DecodeRows(&JpegDecompressor::ForThisThread(), data, length, width, height, 1, 1,
                    std::cref(place));
}

uint32_t ReadJpegRawPlanes(const BYTE* data, size_t length, JpegRawPlanes* planes) {
  if (!data || length == 0 || !planes) return kJpegTileFailure;
  return ReadPlanes(&JpegDecompressor::ForThisThread(), data, length, planes);
}

void PackPlaneUnits(const JpegRawPlanes& planes, BYTE* units) {
  const int w = planes.width;
  const int chromaWidth = w / 2;
  for (int band = 0; band < planes.height / kBandRows; ++band) {
    const BYTE* y = planes.Y() + size_t(band) * kBandRows * w;
    const BYTE* cb = planes.Cb() + size_t(band) * (kBandRows / 2) * chromaWidth;
    const BYTE* cr = planes.Cr() + size_t(band) * (kBandRows / 2) * chromaWidth;
    BYTE* first = units + size_t(band) * kUnitPairBytes;
    BYTE* second = first + kUnitPairBytes / 2;
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        BYTE* p = first + (r * 8 + c) * 3;
        p[0] = y[(8 + r) * w + c];
        p[1] = y[r * w + 8 + c];
        p[2] = y[r * w + c];
        BYTE* q = second + (r * 8 + c) * 3;
        q[0] = cr[r * chromaWidth + c];
        q[1] = cb[r * chromaWidth + c];
        q[2] = y[(8 + r) * w + 8 + c];
      }
    }
  }
}

void PackBgrTilePair(const JpegRawPlanes& planes, int band, BYTE* left, BYTE* right) {
  const int w = planes.width;
  const int chromaWidth = w / 2;
  // Rows r and r + 1 of a band: luma rows r and r + 1 across both tiles,
  // both over chroma row r / 2.
  for (int r = 0; r < 8; r += 2) {
    const size_t chromaAt = size_t(band * 4 + r / 2) * chromaWidth;
    YuvRowPairToBgr(left + r * 24, right + r * 24, planes.Y() + size_t(band * 8 + r) * w,
                    size_t(w), planes.Cb() + chromaAt, planes.Cr() + chromaAt);
  }
}

void PackBgrTiles(const JpegRawPlanes& planes, BYTE* tiles) {
  for (int band = 0; band < planes.height / 8; ++band) {
    BYTE* left = tiles + size_t(band) * 2 * kBgrTileBytes;
    PackBgrTilePair(planes, band, left, left + kBgrTileBytes);
  }
}

uint32_t DecodeJpegToTileUnits(const BYTE* data, size_t length, int* width, int* height,
                               BYTE** units) {
  return DecodeTiles(data, length, width, height, units, UnitBytes, PackPlaneUnits);
}

uint32_t DecodeJpegToBgrTiles(const BYTE* data, size_t length, int* width, int* height,
                              BYTE** tiles) {
  return DecodeTiles(data, length, width, height, tiles, TileBytes, PackBgrTiles);
}
