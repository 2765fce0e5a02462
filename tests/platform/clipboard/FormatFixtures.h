// Clipboard data made and checked independently of the code under test:
// small device-independent bitmaps written byte by byte, each pixel of a
// known colour; the same picture written by Qt as a file; the check that a
// decoded picture shows those colours; the offsets of an "HTML Format".
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fmtfix {

using Bytes = std::vector<uint8_t>;

// The colour of pixel (x, y), y counted from the top.
inline QRgb TestColor(int x, int y) { return qRgb(10 + 80 * x, 20 + 100 * y, 40 + 30 * (x + y)); }

inline void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(s[at + i]);
  return v;
}

// BITMAPINFOHEADER (or a larger one, zero-filled past 40 bytes).
inline Bytes Header(uint32_t size, int width, int height, int bits, uint32_t compression, uint32_t colorsUsed) {
  Bytes b;
  Put32(b, size);
  Put32(b, uint32_t(width));
  Put32(b, uint32_t(height));
  Put16(b, 1);
  Put16(b, uint32_t(bits));
  Put32(b, compression);
  Put32(b, 0);  // size of the bits: may be 0 uncompressed
  Put32(b, 2835);
  Put32(b, 2835);
  Put32(b, colorsUsed);
  Put32(b, 0);
  b.resize(size, 0);
  return b;
}

// The rows in the order the height's sign says, each padded to 4 bytes.
template <typename PixelWriter>
void Rows(Bytes& b, int width, int height, int bits, PixelWriter write) {
  const int rows = std::abs(height);
  const size_t stride = (size_t(width) * bits + 31) / 32 * 4;
  for (int r = 0; r < rows; ++r) {
    const int y = height > 0 ? rows - 1 - r : r;
    const size_t start = b.size();
    for (int x = 0; x < width; ++x) write(b, x, y);
    b.resize(start + stride, 0);
  }
}

inline Bytes Dib24(int width, int height) {
  Bytes b = Header(40, width, height, 24, 0, 0);
  Rows(b, width, height, 24, [](Bytes& out, int x, int y) {
    const QRgb c = TestColor(x, y);
    out.insert(out.end(), {uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c))});
  });
  return b;
}

// Each pixel its own palette entry; colorsUsed 0 means the full 256.
inline Bytes Dib8(int width, int height, uint32_t colorsUsed) {
  Bytes b = Header(40, width, height, 8, 0, colorsUsed);
  const uint32_t entries = colorsUsed ? colorsUsed : 256;
  for (uint32_t i = 0; i < entries; ++i) {
    const QRgb c = int(i) < width * std::abs(height) ? TestColor(int(i) % width, int(i) / width) : 0;
    b.insert(b.end(), {uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c)), 0});
  }
  Rows(b, width, height, 8, [width](Bytes& out, int x, int y) { out.push_back(uint8_t(y * width + x)); });
  return b;
}

// 32 bits with red, green and blue masks: behind a 40-byte header, or
// inside a version 5 one.
inline Bytes Dib32Masks(int width, int height, uint32_t headerSize) {
  Bytes b = Header(headerSize, width, height, 32, 3, 0);
  Bytes masks;
  for (uint32_t m : {0x00FF0000u, 0x0000FF00u, 0x000000FFu}) Put32(masks, m);
  if (headerSize == 40) {
    b.insert(b.end(), masks.begin(), masks.end());
  } else {
    std::copy(masks.begin(), masks.end(), b.begin() + 40);
    const uint32_t srgb = 0x73524742;  // 'sRGB'
    for (int i = 0; i < 4; ++i) b[56 + i] = uint8_t(srgb >> (8 * i));
  }
  Rows(b, width, height, 32, [](Bytes& out, int x, int y) {
    const QRgb c = TestColor(x, y);
    out.insert(out.end(), {uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c)), 0});
  });
  return b;
}

// True when every pixel of the picture has its TestColor.
inline bool HasTestPixels(const QImage& image) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if ((image.pixel(x, y) & 0xFFFFFF) != (TestColor(x, y) & 0xFFFFFF)) return false;
  return !image.isNull();
}

// The test picture of 3 x 2 pixels written by Qt in a file format ("PNG",
// "BMP").
inline std::string PictureFile(const char* format) {
  QImage image(3, 2, QImage::Format_RGB32);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) image.setPixel(x, y, TestColor(x, y));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return bytes.toStdString();
}

inline QImage Decoded(const std::string& file) { return QImage::fromData(QByteArray(file.data(), int(file.size()))); }

// A DIB with a 40-byte header and neither palette nor masks, as the BMP file
// a picture viewer would read.
inline QImage DecodedDib(const Bytes& dib) {
  std::string bmp = "BM" + std::string(12, '\0') + std::string(dib.begin(), dib.end());
  const uint32_t size = uint32_t(bmp.size());
  for (int i = 0; i < 4; ++i) bmp[2 + i] = char(size >> (8 * i));
  bmp[10] = 14 + 40;
  return Decoded(bmp);
}

// StartHTML, EndHTML, StartFragment and EndFragment of an "HTML Format"
// block, -1 where missing.
inline std::vector<long> HtmlOffsets(const std::string& text) {
  std::vector<long> out;
  for (const char* key : {"StartHTML:", "EndHTML:", "StartFragment:", "EndFragment:"}) {
    const size_t at = text.find(key);
    out.push_back(at == std::string::npos ? -1 : std::stol(text.substr(at + strlen(key), 10)));
  }
  return out;
}

// The fragment an "HTML Format" block's offsets point at; "" when they are
// out of order or past its end.
inline std::string HtmlFragment(const std::string& text) {
  const std::vector<long> at = HtmlOffsets(text);
  if (!(at[0] >= 0 && at[0] <= at[2] && at[2] <= at[3] && at[3] <= at[1] && at[1] <= long(text.size()))) return "";
  return text.substr(size_t(at[2]), size_t(at[3] - at[2]));
}

}  // namespace fmtfix
