// The JPEG and run-length entry points of the display's tile decoding, all
// on every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "display/JpegDecoder.h"
#include "display/JpegOutBuffer.h"
#include "display/YuvTile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each decoder sees a buffer of exactly the input's size.
  const std::vector<uint8_t> input(data, data + size);
  int width = 0, height = 0;
  BYTE* out = nullptr;
  if (DecodeJpegToTileUnits(input.data(), input.size(), &width, &height, &out) == 0) std::free(out);
  out = nullptr;
  if (DecodeJpegToBgrTiles(input.data(), input.size(), &width, &height, &out) == 0) std::free(out);
  JpegOutBuffer rows;
  DecodeJpegToRgb(input.data(), input.size(), &width, &height, 1, 1, &rows);
  BYTE block[kYuvBlockBytes];
  if (RunLengthDecode(block, input.data(), input.size(), sizeof block)) {
    BYTE tile[kBgrTileBytes];
    YuvBlockToBgr(tile, block);
    YuvRasterBlockToBgr(tile, block);
  }
  return 0;
}
