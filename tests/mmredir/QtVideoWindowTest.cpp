#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPixmap>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <limits>
#include <vector>

#include "QtWait.h"
#include "VrPlayerDoubles.h"
#include "mmredir/VrMFPlayer.h"
#include "qt/QtVideoWindow.h"
#include "qt/QtVideoWindowHost.h"

namespace {

// Queued calls are delivered in order: once a marker call has run, every
// call made before it has too.
void Drain() {
  bool done = false;
  QMetaObject::invokeMethod(qApp, [&] { done = true; }, Qt::QueuedConnection);
  ASSERT_TRUE(ProcessUntil([&] { return done; }));
}

HWND AsHandle(WId id) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(id)); }

QRgb PictureColour(int x, int y) { return qRgb(x * 3 & 0xFF, y * 5 & 0xFF, (x + y) & 0xFF); }

// A picture as the renderer hands it: rows of B, G, R, X, with a wider stride.
std::vector<uint8_t> Picture(int width, int height, int stride) {
  std::vector<uint8_t> bytes(size_t(stride) * height, 0x77);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const QRgb c = PictureColour(x, y);
      uint8_t* p = &bytes[size_t(y) * stride + size_t(x) * 4];
      p[0] = qBlue(c);
      p[1] = qGreen(c);
      p[2] = qRed(c);
      p[3] = 0;
    }
  return bytes;
}

// What a session window's display does with the pointer.
class RecordingDisplay : public QWidget {
 public:
  using QWidget::QWidget;
  std::vector<QPoint> presses;

 protected:
  void mousePressEvent(QMouseEvent* event) override { presses.push_back(event->pos()); }
};

struct WindowRig {
  WindowRig() {
    parent.resize(200, 120);
    parent.setAutoFillBackground(true);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(10, 200, 30));
    parent.setPalette(palette);
    display = new RecordingDisplay(&parent);
    display->setGeometry(0, 0, 200, 120);
    parent.show();
    QtVideoWindowHost::Install();
    host = static_cast<QtVideoWindowHost*>(VrVideoWindowHost());
  }
  ~WindowRig() { SetVrVideoWindowHost(nullptr); }

  QImage Grab() { return parent.grab().toImage().convertToFormat(QImage::Format_RGB32); }

  QWidget parent;
  RecordingDisplay* display = nullptr;
  QtVideoWindowHost* host = nullptr;
};

const HWND kVideo = reinterpret_cast<HWND>(0x7e5a1001);

VideoWindowPlacement At(int x, int y, int width, int height, bool show) {
  return VideoWindowPlacement::At(x, y, width, height, show);
}

TEST(QtVideoWindowTest, ShowsThePresentedPictureAtItsPlaceAndHidesAndGoes) {
  WindowRig rig;
  rig.host->CreateVideoWindow(kVideo, AsHandle(rig.parent.winId()));
  rig.host->PlaceVideoWindow(kVideo, At(30, 20, 64, 36, true));
  Drain();
  QtVideoWindow* video = rig.host->WindowFor(kVideo);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->parentWidget(), &rig.parent);
  EXPECT_TRUE(video->internalWinId() != 0);
  EXPECT_EQ(video->geometry(), QRect(30, 20, 64, 36));
  EXPECT_TRUE(video->isVisible());

  const std::vector<uint8_t> bytes = Picture(64, 36, 64 * 4 + 12);
  VideoPresentation picture;
  picture.width = 64;
  picture.height = 36;
  picture.stride = 64 * 4 + 12;
  picture.bgrx = bytes.data();
  video->Present(picture);
  Drain();

  QImage shot = rig.Grab();
  for (int y = 0; y < 120; y += 1)
    for (int x = 0; x < 200; x += 1) {
      const bool inside = x >= 30 && x < 94 && y >= 20 && y < 56;
      const QRgb expected = inside ? PictureColour(x - 30, y - 20) : qRgb(10, 200, 30);
      ASSERT_EQ(shot.pixel(x, y), expected) << x << "," << y;
    }

  // Hidden by a placement without the show flag, position kept.
  VideoWindowPlacement hide;
  rig.host->PlaceVideoWindow(kVideo, hide);
  Drain();
  EXPECT_FALSE(video->isVisible());
  EXPECT_EQ(video->geometry(), QRect(30, 20, 64, 36));
  shot = rig.Grab();
  EXPECT_EQ(shot.pixel(40, 30), qRgb(10, 200, 30));

  QPointer<QtVideoWindow> watch(video);
  rig.host->DestroyVideoWindow(kVideo);
  Drain();
  EXPECT_TRUE(watch.isNull());
  EXPECT_EQ(rig.host->WindowFor(kVideo), nullptr);
  // Calls for a window that is gone do nothing.
  rig.host->PlaceVideoWindow(kVideo, At(0, 0, 10, 10, true));
  rig.host->DestroyVideoWindow(kVideo);
  Drain();
}

TEST(QtVideoWindowTest, PointerInputReachesTheSessionWindowBelow) {
  WindowRig rig;
  rig.host->CreateVideoWindow(kVideo, AsHandle(rig.parent.winId()));
  rig.host->PlaceVideoWindow(kVideo, At(30, 20, 64, 36, true));
  Drain();
  QtVideoWindow* video = rig.host->WindowFor(kVideo);
  ASSERT_NE(video, nullptr);
  // The native window takes no input of its own, so the X server hands the
  // pointer to the session window; inside Qt the widget is skipped too.
  ASSERT_NE(video->windowHandle(), nullptr);
  EXPECT_TRUE(video->windowHandle()->flags() & Qt::WindowTransparentForInput);
  EXPECT_EQ(rig.parent.childAt(40, 30), rig.display);
  QTest::mouseClick(rig.parent.windowHandle(), Qt::LeftButton, Qt::NoModifier, QPoint(40, 30));
  ASSERT_TRUE(ProcessUntil([&] { return !rig.display->presses.empty(); }));
  EXPECT_EQ(rig.display->presses.front(), QPoint(40, 30));
  rig.host->DestroyVideoWindow(kVideo);
  Drain();
}

TEST(QtVideoWindowTest, AWindowGoesWithItsParentAndABadParentGetsNone) {
  auto* rig = new WindowRig();
  rig->host->CreateVideoWindow(kVideo, AsHandle(rig->parent.winId()));
  rig->host->CreateVideoWindow(reinterpret_cast<HWND>(0x7e5a1002), reinterpret_cast<HWND>(0x7ffffff0));
  Drain();
  QPointer<QtVideoWindow> watch(rig->host->WindowFor(kVideo));
  ASSERT_FALSE(watch.isNull());
  EXPECT_EQ(rig->host->WindowFor(reinterpret_cast<HWND>(0x7e5a1002)), nullptr);
  QtVideoWindowHost* host = rig->host;
  delete rig;  // the session window goes first
  EXPECT_TRUE(watch.isNull());
  host->PlaceVideoWindow(kVideo, At(0, 0, 10, 10, true));
  host->DestroyVideoWindow(kVideo);
  Drain();
}

TEST(QtVideoWindowTest, MalformedPicturesAreDropped) {
  WindowRig rig;
  QtVideoWindow video(kVideo, &rig.parent);
  const std::vector<uint8_t> bytes = Picture(8, 8, 32);
  VideoPresentation bad;
  bad.width = 8;
  bad.height = 8;
  bad.stride = 31;  // shorter than a row
  bad.bgrx = bytes.data();
  video.Present(bad);
  bad.stride = 32;
  bad.bgrx = nullptr;
  video.Present(bad);
  bad.bgrx = bytes.data();
  bad.width = -8;
  video.Present(bad);
  EXPECT_TRUE(video.Picture().isNull());
  bad.width = 8;
  video.Present(bad);
  EXPECT_EQ(video.Picture().pixel(3, 4), PictureColour(3, 4));
}

// Placements are in the display's pixels: a display that does not start at
// the parent's corner moves the window with it, and numbers far outside
// any display are taken without harm.
TEST(QtVideoWindowTest, PlacementsAreInTheDisplaysPixels) {
  WindowRig rig;
  rig.display->setGeometry(17, 11, 180, 100);
  QtVideoWindow video(kVideo, &rig.parent, rig.display);
  video.Place(At(30, 20, 64, 36, true));
  EXPECT_EQ(video.geometry(), QRect(47, 31, 64, 36));
  EXPECT_TRUE(video.isVisible());
  rig.display->move(5, 3);
  EXPECT_EQ(video.geometry(), QRect(35, 23, 64, 36));
  const int32_t far = std::numeric_limits<int32_t>::max(), near = std::numeric_limits<int32_t>::min();
  for (const VideoWindowPlacement& p : {At(far, far, far, far, true), At(near, near, far, far, true)}) {
    video.Place(p);
    EXPECT_FALSE(video.isVisible());
  }
  video.Place(At(0, 0, 8, 8, true));
  EXPECT_EQ(video.geometry(), QRect(5, 3, 8, 8));
  EXPECT_TRUE(video.isVisible());
}

// The player drives its window through the host: made over the session
// window, shown where the geometry says, hidden when no region is visible
// (the hide keeps the place), and gone with DestroyVideoWindow.
TEST(QtVideoWindowTest, APlayersGeometryPlacesHidesAndEndsItsWindow) {
  WindowRig rig;
  playertest::World world;
  auto* player = new CVrMFPlayer(AsHandle(rig.parent.winId()), 0);
  ASSERT_EQ(player->CreateVideoWindow(), S_OK);
  const HWND handle = player->VideoWindow();
  const RECT one[] = {{0, 0, 80, 40}};
  EXPECT_EQ(player->SetVideoWindowPos(true, 12, 34, 80, 40, 1, one), S_OK);
  Drain();
  QPointer<QtVideoWindow> video(rig.host->WindowFor(handle));
  ASSERT_FALSE(video.isNull());
  EXPECT_TRUE(video->isVisible());
  EXPECT_EQ(video->geometry(), QRect(12, 34, 80, 40));
  // The window shows black until a picture comes.
  EXPECT_EQ(rig.Grab().pixel(50, 50), qRgb(0, 0, 0));

  EXPECT_EQ(player->SetVideoWindowPos(true, 12, 34, 80, 40, 0, nullptr), S_OK);
  Drain();
  EXPECT_FALSE(video->isVisible());
  EXPECT_EQ(video->geometry(), QRect(12, 34, 80, 40));
  EXPECT_EQ(rig.Grab().pixel(50, 50), qRgb(10, 200, 30));

  EXPECT_EQ(player->SetVideoWindowPos(false, 20, 20, 80, 40, 1, one), S_OK);
  Drain();
  EXPECT_FALSE(video->isVisible());
  EXPECT_EQ(video->geometry(), QRect(20, 20, 80, 40));

  EXPECT_EQ(player->DestroyVideoWindow(), S_OK);
  Drain();
  EXPECT_TRUE(video.isNull());
  player->Release();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
