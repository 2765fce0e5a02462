// Cursor shapes from the server: the record checks, what SetCursor posts and
// the Qt cursors MakeCursor builds from the four kinds.
#include <gtest/gtest.h>

#include <QBitmap>
#include <QCursor>
#include <QImage>
#include <QPixmap>
#include <cstring>
#include <memory>
#include <vector>

#include "QtTestEnv.h"
#include "qt/QtDataEvent.h"

namespace {

using ApiPtr = std::unique_ptr<CQtSystemApi, ApiRelease>;

void Put16(std::vector<uint8_t>& r, size_t at, int v) {
  r[at] = uint8_t(v);
  r[at + 1] = uint8_t(v >> 8);
}

std::vector<uint8_t> Header(size_t size, uint32_t flags, int hotX, int hotY) {
  std::vector<uint8_t> r(size, 0);
  memcpy(&r[4], &flags, 4);
  Put16(r, 12, hotX);
  Put16(r, 14, hotY);
  return r;
}

// A colour record whose data is `data`; the stated data length defaults to
// its real length.
std::vector<uint8_t> ColourRecord(uint32_t flags, int width, int height, const std::vector<uint8_t>& data,
                                  int statedLength = -1, int hotX = 0, int hotY = 0) {
  std::vector<uint8_t> r = Header(22 + data.size(), flags, hotX, hotY);
  Put16(r, 16, width);
  Put16(r, 18, height);
  Put16(r, 20, statedLength < 0 ? int(data.size()) : statedLength);
  std::copy(data.begin(), data.end(), r.begin() + 22);
  return r;
}

// 32 x 32 AND and XOR masks, all transparent but the given first bytes.
std::vector<uint8_t> MonochromeRecord(uint8_t and0, uint8_t xor0, int hotX = 0, int hotY = 0) {
  std::vector<uint8_t> r = Header(272, 0, hotX, hotY);
  std::fill(r.begin() + 16, r.begin() + 144, 0xFF);
  r[16] = and0;
  r[144] = xor0;
  return r;
}

bool BitSet(const QBitmap& bitmap, int x, int y) {
  // Set bits of a bitmap are its colour 1, which draws black.
  return qGray(bitmap.toImage().pixel(x, y)) < 128;
}

// Screen AND/XOR pairs (a, x) to Qt's (bitmap, mask) bits: black, white,
// transparent and inverted.
TEST(CursorShapeTest, MonochromeMasksKeepTheScreenSemantics) {
  const struct {
    int pixel;
    bool bitmap;
    bool mask;
  } truth[] = {
      {0, true, true},    // a 0, x 0: black
      {1, false, true},   // a 0, x 1: white
      {2, false, false},  // a 1, x 0: transparent
      {3, true, false},   // a 1, x 1: inverted
  };
  // First four pixels (most significant bits first): a = 0011, x = 0101.
  std::vector<uint8_t> record = MonochromeRecord(0x3F, 0x50, 5, 7);
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(record.data(), uint32_t(record.size())));
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->hotSpot(), QPoint(5, 7));
  const QBitmap bitmap = cursor->bitmap(Qt::ReturnByValue);
  const QBitmap mask = cursor->mask(Qt::ReturnByValue);
  ASSERT_EQ(bitmap.size(), QSize(32, 32));
  for (const auto& t : truth) {
    SCOPED_TRACE(t.pixel);
    EXPECT_EQ(BitSet(bitmap, t.pixel, 0), t.bitmap);
    EXPECT_EQ(BitSet(mask, t.pixel, 0), t.mask);
  }
  EXPECT_FALSE(BitSet(mask, 10, 10));
}

TEST(CursorShapeTest, TwentyFourBitColoursTurnIntoRedGreenBlue) {
  // Two pixels of blue-green-red, rows padded to 32 bits.
  const std::vector<uint8_t> data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0, 0};
  std::vector<uint8_t> record = ColourRecord(2, 2, 1, data, -1, 1, 0);
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(record.data(), uint32_t(record.size())));
  ASSERT_NE(cursor, nullptr);
  const QImage image = cursor->pixmap().toImage();
  EXPECT_EQ(image.pixel(0, 0), qRgb(0x30, 0x20, 0x10));
  EXPECT_EQ(image.pixel(1, 0), qRgb(0x60, 0x50, 0x40));
  EXPECT_EQ(cursor->hotSpot(), QPoint(1, 0));
}

// Each row starts on its own 32-bit boundary, so the second row's first
// pixel sits behind the first row's padding.
TEST(CursorShapeTest, TwentyFourBitRowsAfterTheFirstKeepTheirColours) {
  const std::vector<uint8_t> data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0xEE, 0xEE,
                                     0x11, 0x21, 0x31, 0x41, 0x51, 0x61, 0xEE, 0xEE,
                                     0x12, 0x22, 0x32, 0x42, 0x52, 0x62, 0xEE, 0xEE};
  std::vector<uint8_t> record = ColourRecord(2, 2, 3, data);
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(record.data(), uint32_t(record.size())));
  ASSERT_NE(cursor, nullptr);
  const QImage image = cursor->pixmap().toImage();
  for (int y = 0; y < 3; ++y) {
    SCOPED_TRACE(y);
    EXPECT_EQ(image.pixel(0, y), qRgb(0x30 + y, 0x20 + y, 0x10 + y));
    EXPECT_EQ(image.pixel(1, y), qRgb(0x60 + y, 0x50 + y, 0x40 + y));
  }
}

TEST(CursorShapeTest, ThirtyTwoBitCursorWithMaskIsOpaqueWhereTheMaskIsClear) {
  // Mask row: pixel 1 transparent. Colours: pixel 0 with alpha 0 in the data.
  const std::vector<uint8_t> data = {0x40, 0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66, 0x00};
  std::vector<uint8_t> record = ColourRecord(3 | 8, 2, 1, data);
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(record.data(), uint32_t(record.size())));
  ASSERT_NE(cursor, nullptr);
  const QImage image = cursor->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(image.pixel(0, 0), 0xFF332211u);
  EXPECT_EQ(qAlpha(image.pixel(1, 0)), 0);
}

std::vector<uint8_t> Cut(std::vector<uint8_t> record, size_t size) {
  record.resize(size);
  return record;
}

struct MalformedCase {
  const char* name;
  std::vector<uint8_t> record;
};

std::vector<MalformedCase> MalformedCases() {
  const std::vector<uint8_t> twoPixels32(8, 0x7F);
  std::vector<MalformedCase> cases = {
      {"shorter than the flags", std::vector<uint8_t>(6, 0)},
      {"monochrome one byte short", Cut(MonochromeRecord(0, 0), 271)},
      {"colour header cut", Cut(ColourRecord(3, 2, 1, twoPixels32), 21)},
      {"zero width", ColourRecord(3, 0, 1, twoPixels32)},
      {"zero height", ColourRecord(3, 2, 0, twoPixels32)},
      {"negative height", ColourRecord(3, 2, -1, twoPixels32)},
      {"wider than 256", ColourRecord(3, 257, 1, std::vector<uint8_t>(257 * 4, 0))},
      {"negative data length", ColourRecord(3, 2, 1, twoPixels32, -8 & 0xFFFF)},
      {"data length beyond the record", ColourRecord(3, 2, 1, twoPixels32, 9)},
      {"colour bits beyond the data", ColourRecord(3, 2, 2, twoPixels32)},
      {"mask and colour beyond the data", ColourRecord(3 | 8, 2, 1, twoPixels32)},
      {"24-bit rows are padded", ColourRecord(2, 2, 1, std::vector<uint8_t>(6, 0))},
      {"16 x 16 with a tiny body", ColourRecord(3 | 8, 16, 16, std::vector<uint8_t>(40, 0))},
  };
  return cases;
}

TEST(CursorShapeTest, MalformedRecordsKeepTheOldCursor) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  api->RegisterWindow(0, &window);
  for (MalformedCase& c : MalformedCases()) {
    SCOPED_TRACE(c.name);
    // Exactly the record's bytes on the heap, so that any read beyond them
    // is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[c.record.size()]);
    memcpy(bytes.get(), c.record.data(), c.record.size());
    const uint32_t length = uint32_t(c.record.size());
    EXPECT_EQ(CQtSystemApi::CursorShapeBytes(bytes.get(), length), 0u);
    EXPECT_EQ(api->SetCursor(bytes.get(), length, 0), 0);
    EXPECT_EQ(CQtSystemApi::MakeCursor(bytes.get(), length), nullptr);
  }
  DeliverWindowEvents();
  EXPECT_TRUE(window.received.empty());
  EXPECT_EQ(CQtSystemApi::MakeCursor(nullptr, 300), nullptr);
}

TEST(CursorShapeTest, PostedShapeIsACopyOfTheRecordItself) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  api->RegisterWindow(0, &window);
  // Trailing bytes beyond the record's own length stay behind.
  std::vector<uint8_t> colour = ColourRecord(3, 2, 1, std::vector<uint8_t>(8, 0x7F));
  colour.resize(colour.size() + 5, 0xEE);
  api->SetCursor(colour.data(), uint32_t(colour.size()), 0);
  std::vector<uint8_t> mono = MonochromeRecord(0, 0);
  mono.push_back(0xEE);
  api->SetCursor(mono.data(), uint32_t(mono.size()), 0);
  DeliverWindowEvents();

  ASSERT_EQ(window.received.size(), 2u);
  EXPECT_EQ(window.received[0].code, CQtDataEvent::kCursorShape);
  ASSERT_EQ(window.received[0].payload.size(), 8u + 23u);  // data length + 23
  EXPECT_TRUE(std::equal(colour.begin(), colour.begin() + 30, window.received[0].payload.begin()));
  EXPECT_EQ(window.received[0].payload.back(), 0);
  EXPECT_EQ(window.received[1].payload, std::vector<uint8_t>(mono.begin(), mono.begin() + 272));
  // The copy makes a cursor.
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(
      window.received[0].payload.data(), uint32_t(window.received[0].payload.size())));
  EXPECT_NE(cursor, nullptr);
}

}  // namespace
