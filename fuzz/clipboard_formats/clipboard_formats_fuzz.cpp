// The clipboard's converters of data other programs and the server hand
// over: bitmaps, BMP and PNG files, "HTML Format" and HTML. Input: one byte
// choosing the converter, then the data, copied into a buffer of its own
// so that a read past it shows.
#include <cstddef>
#include <cstdint>
#include <string>

#include "clipinternal.h"

namespace clip = pelplat::clipboard;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const clip::Bytes block(data + 1, data + size);
  const std::string text(block.begin(), block.end());
  switch (data[0] % 5) {
    case 0:
      clip::DibToBmp(block);
      break;
    case 1:
      clip::BmpToDib(text);
      break;
    case 2:
      clip::PngToDib(text);
      break;
    case 3:
      clip::HtmlFormatToHtml(block);
      break;
    default:
      clip::HtmlFormatToHtml(clip::HtmlToHtmlFormat(text));
      break;
  }
  return 0;
}
