// The tiled display: the tile grid, the copy of dirty rectangles with the
// colour key, and the picture a video below the tiles makes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QImage>
#include <QKeyEvent>
#include <QScrollBar>
#include <memory>
#include <vector>

#include "TovixTestEnv.h"
#include "display/SurfaceKeeper.h"
#include "tovix/CGVImageContainer.h"
#include "tovix/CTile.h"
#include "tovix/TovixTiles.h"

namespace {

// A 24-bit source of the given size, every pixel (9, 9, 9).
struct Source24 {
  Source24(int width, int height) : image(width, height, QImage::Format_RGB888) { image.fill(QColor(9, 9, 9)); }
  TovixFrameSource Source() const { return FrameSourceOf(image, 24, image.width(), image.height()); }
  QImage image;
};

std::vector<QPoint> DirtyTiles(const CGVImageContainer& view) {
  std::vector<QPoint> dirty;
  for (size_t r = 0; r < view.tiles().size(); ++r) {
    for (size_t c = 0; c < view.tiles()[r].size(); ++c) {
      if (view.tiles()[r][c]->dirty()) dirty.emplace_back(int(c), int(r));
    }
  }
  return dirty;
}

}  // namespace

TEST(TiledDisplay, FrameSizesGiveWholeAndPartTiles) {
  struct Case {
    int width, height, columns, rows;
  } const cases[] = {{1920, 1080, 15, 9}, {1366, 768, 11, 6}, {128, 128, 1, 1}, {129, 1, 2, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    CGVImageContainer view(2);
    view.rebuildTiles(c.width, c.height);
    ASSERT_EQ(view.tiles().size(), size_t(c.rows));
    for (const auto& row : view.tiles()) EXPECT_EQ(row.size(), size_t(c.columns));
    EXPECT_EQ(view.tiles().back().back()->pos(), QPointF((c.columns - 1) * 128, (c.rows - 1) * 128));
    EXPECT_EQ(view.scene()->sceneRect(), QRectF(0, 0, c.width, c.height));
  }
}

TEST(TiledDisplay, TheSameSizeKeepsTheTilesAndANewSizeMakesNewOnes) {
  CGVImageContainer view(2);
  view.rebuildTiles(1920, 1080);
  const CTile* first = view.tiles()[0][0];
  view.rebuildTiles(1920, 1080);
  EXPECT_EQ(view.tiles()[0][0], first);
  view.rebuildTiles(1366, 768);
  EXPECT_EQ(view.tiles().size(), 6u);
  EXPECT_EQ(view.scene()->sceneRect(), QRectF(0, 0, 1366, 768));
}

TEST(TiledDisplay, ADirtyColumnTouchesOnlyTheTilesItLiesIn) {
  struct Case {
    int x;
    int column;
  } const cases[] = {{127, 0}, {128, 1}, {0, 0}, {255, 1}};
  Source24 source(300, 300);
  CGVImageContainer view(2);
  view.rebuildTiles(300, 300);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    view.copyToTiles(source.Source(), QRect(c.x, 0, 1, 300));
    EXPECT_EQ(DirtyTiles(view), (std::vector<QPoint>{{c.column, 0}, {c.column, 1}, {c.column, 2}}));
  }
  // Outside the frame: clipped away, nothing copied, nothing out of bounds.
  view.copyToTiles(source.Source(), QRect(-500, -500, 100, 100));
  EXPECT_TRUE(DirtyTiles(view).empty());
  view.copyToTiles(source.Source(), QRect(290, 290, 1000, 1000));
  EXPECT_EQ(DirtyTiles(view), std::vector<QPoint>{QPoint(2, 2)});
}

TEST(TiledDisplay, KeyBytesBecomeTransparentAndEveryOtherPixelOpaque) {
  // A row of pixels per storage format: the key, its neighbours and grey.
  QImage image24(4, 1, QImage::Format_RGB888);
  const uint8_t bytes24[] = {1, 2, 3, 1, 2, 4, 0, 2, 3, 200, 100, 50};
  memcpy(image24.bits(), bytes24, sizeof bytes24);
  QImage image32(4, 1, QImage::Format_RGBA8888);
  const uint8_t bytes32[] = {1, 2, 3, 77, 1, 2, 4, 0, 0, 2, 3, 0, 200, 100, 50, 0};
  memcpy(image32.bits(), bytes32, sizeof bytes32);
  QImage image16(4, 1, QImage::Format_RGB16);
  const uint16_t words16[] = {0x0000, 0x0001, 0xF800, 0xFFFF};  // key, blue 1, red, white
  memcpy(image16.bits(), words16, sizeof words16);
  QImage image8(4, 1, QImage::Format_Indexed8);
  image8.setColorTable({qRgb(1, 2, 3), qRgb(1, 2, 4), qRgb(0, 2, 3), qRgb(200, 100, 50)});
  const uint8_t indexes[] = {0, 1, 2, 3};
  memcpy(image8.bits(), indexes, sizeof indexes);
  struct Case {
    const QImage* image;
    int bits;
    std::vector<uint32_t> expected;  // red, green, blue, alpha from the low byte up
  } const cases[] = {
      {&image24, 24, {0x00000000, 0xFF040201, 0xFF030200, 0xFF3264C8}},
      {&image32, 32, {0x00000000, 0xFF040201, 0xFF030200, 0xFF3264C8}},
      {&image16, 16, {0x00000000, 0xFF080000, 0xFF0000FF, 0xFFFFFFFF}},
      {&image8, 8, {0x00000000, 0xFF040201, 0xFF030200, 0xFF3264C8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    CGVImageContainer view(2);
    view.rebuildTiles(4, 1);
    view.copyToTiles(FrameSourceOf(*c.image, c.bits, 4, 1), QRect(0, 0, 4, 1));
    const QImage& tile = view.tiles()[0][0]->image();
    for (int x = 0; x < 4; ++x) {
      uint32_t pixel;
      memcpy(&pixel, tile.constScanLine(0) + 4 * x, 4);
      EXPECT_EQ(pixel, c.expected[x]) << x;
    }
  }
}

TEST(TiledDisplay, ASourceThatDisagreesWithItsSurfaceCopiesNothing) {
  QImage image(16, 16, QImage::Format_RGB888);
  EXPECT_EQ(FrameSourceOf(image, 32, 16, 16).bits, nullptr);
  EXPECT_EQ(FrameSourceOf(QImage(), 24, 16, 16).bits, nullptr);
  // A surface reporting more than its image holds is held to the image.
  const TovixFrameSource source = FrameSourceOf(image, 24, 4000, 4000);
  EXPECT_EQ(source.width, 16);
  EXPECT_EQ(source.height, 16);
}

TEST(TiledDisplay, OnlyDisplaysZeroAndOneEnterTheTable) {
  CGVImageContainer two(2);
  EXPECT_EQ(CGVImageContainer::forDisplay(2), nullptr);
  {
    CGVImageContainer one(1);
    EXPECT_EQ(CGVImageContainer::forDisplay(1), &one);
    // Only display 0 talks to the extension.
    EXPECT_FALSE(one.timer().isActive());
  }
  EXPECT_EQ(CGVImageContainer::forDisplay(1), nullptr);
}

// The whole road: the desktop in a surface of each storage size, a square
// of the key colour, a red video item below the tiles: the view's picture
// is red exactly in the square.
TEST(TiledDisplay, AVideoBelowTheTilesShowsExactlyInTheKeyedSquare) {
  constexpr int kWidth = 200, kHeight = 150;
  const QRect square(40, 36, 32, 24);
  for (const int bits : {16, 24, 32}) {
    SCOPED_TRACE(bits);
    TovixSession session;
    CGVImageContainer view(0);
    ISurfaceKeeper* surface = session.api->LockFrameBuffer(0);
    ASSERT_NE(surface, nullptr);
    ASSERT_EQ(surface->Create(kWidth, kHeight, bits, bits), 1);
    ASSERT_EQ(surface->GetBitsPerPixel(), bits);
    const int width = surface->GetWidth();
    // The server's pixels go into the frame buffer byte for byte (a 16-bit
    // surface takes them as 24-bit colours).
    const int sourceBytes = bits == 32 ? 4 : 3;
    std::vector<uint8_t> white(size_t(width) * kHeight * sourceBytes, 255);
    surface->BitBlt(0, 0, width, kHeight, sourceBytes, white.data());
    std::vector<uint8_t> key;
    for (int i = 0; i < square.width() * square.height(); ++i) {
      key.insert(key.end(), {1, 2, 3});
      if (sourceBytes == 4) key.push_back(0);
    }
    surface->BitBlt(square.x(), square.y(), square.width(), square.height(), sourceBytes, key.data());
    session.api->UnlockFrameBuffer(surface);

    view.updateFromFrameBuffer(0, 0, width, kHeight);
    ASSERT_EQ(view.frameSize(), QSize(width, kHeight));
    QGraphicsRectItem* video = view.scene()->addRect(0, 0, width, kHeight, Qt::NoPen, QBrush(Qt::red));
    video->setZValue(-1);
    view.resize(width, kHeight);
    const QImage picture = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(picture.size(), QSize(width, kHeight));
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < width; ++x) {
        const QRgb expected = square.contains(x, y) ? qRgb(255, 0, 0) : qRgb(255, 255, 255);
        if (picture.pixel(x, y) != expected && ++wrong < 5) ADD_FAILURE() << x << "," << y;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST(TiledDisplay, WithoutASessionClientUpdatesAreIgnored) {
  TovixSession session(false);
  CGVImageContainer view(0);
  ISurfaceKeeper* surface = session.api->LockFrameBuffer(0);
  ASSERT_NE(surface, nullptr);
  surface->Create(64, 64, 24, 24);
  session.api->UnlockFrameBuffer(surface);
  view.updateFromFrameBuffer(0, 0, 64, 64);
  EXPECT_TRUE(view.tiles().empty());
}

TEST(TiledDisplay, KeysNeverScrollTheView) {
  CGVImageContainer view(2);
  view.rebuildTiles(1376, 768);  // a 1366-pixel display in rows of 1376
  view.resize(1366, 768);
  for (const int key : {Qt::Key_Right, Qt::Key_End, Qt::Key_PageDown, Qt::Key_Down}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &press);
  }
  EXPECT_EQ(view.horizontalScrollBar()->value(), 0);
  EXPECT_EQ(view.verticalScrollBar()->value(), 0);
}
