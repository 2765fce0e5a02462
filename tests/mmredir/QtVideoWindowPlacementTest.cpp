// The players' video windows over a real session window on an X server,
// where the remote display does not start at the window's corner: centred
// in a full-screen window on a larger screen, and scrolled in a window
// smaller than the display. The server's coordinates are the display's, so
// the video must show over the display at them, follow the scrolling and
// stay inside the part of the display in view.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QWindow>
#include <QX11Info>
#include <cstdlib>
#include <vector>

#include <xcb/xcb.h>

#include "QtWait.h"
#include "SessionTestEnv.h"
#include "qt/QtVideoWindow.h"
#include "qt/QtVideoWindowHost.h"

inline void PrintTo(const QRect& r, std::ostream* out) {
  *out << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

namespace {

const HWND kVideo = reinterpret_cast<HWND>(0x7e5a2001);

HWND AsHandle(WId id) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(id)); }

bool Red(QRgb c) { return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60; }

// The smallest rectangle around the red pixels of the window as the X
// server shows it (null when there is none).
QRect RedOnScreen(QWidget& window) {
  const QImage shot = window.windowHandle()->screen()->grabWindow(window.winId()).toImage();
  QRect box;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x)
      if (Red(shot.pixel(x, y))) box |= QRect(x, y, 1, 1);
  return box;
}

// Runs the event loop until the screen shows the red box; the box last
// seen.
QRect WaitForRedBox(QWidget& window, const QRect& expected) {
  QRect seen;
  ProcessUntil([&] {
    seen = RedOnScreen(window);
    return seen == expected;
  });
  return seen;
}

class VideoOverTheDisplay : public ::testing::Test, public SessionFixture {
 protected:
  void SetUp() override {
    settings.SetInt(u"TovixEnabled", 0);
    QtVideoWindowHost::Install();
    host = static_cast<QtVideoWindowHost*>(VrVideoWindowHost());
  }
  void TearDown() override {
    if (host) host->DestroyVideoWindow(kVideo);
    DeliverEvents();
    SetVrVideoWindowHost(nullptr);
  }
  // Made over the session window, showing a red picture, placed at the
  // display's (x, y).
  QtVideoWindow* RedVideoAt(QtRdpWindow& window, const QRect& place) {
    host->CreateVideoWindow(kVideo, AsHandle(window.winId()));
    host->PlaceVideoWindow(kVideo, VideoWindowPlacement::At(place.x(), place.y(), place.width(), place.height(), true));
    DeliverEvents();
    QtVideoWindow* video = host->WindowFor(kVideo);
    if (!video) return nullptr;
    std::vector<uint8_t> red(size_t(place.width()) * size_t(place.height()) * 4);
    for (size_t i = 0; i < red.size(); i += 4) red[i + 2] = 0xFF;  // B, G, R, X
    VideoPresentation picture;
    picture.width = place.width();
    picture.height = place.height();
    picture.stride = place.width() * 4;
    picture.bgrx = red.data();
    video->Present(picture);
    DeliverEvents();
    return video;
  }
  // Where the display's rectangle lies in the window, cut to what is in view.
  static QRect Expected(QtRdpWindow& window, const QRect& place) {
    QWidget* display = window.DisplayWidget();
    QWidget* viewport = display->parentWidget();
    const QRect inView(viewport->mapTo(&window, QPoint(0, 0)), viewport->size());
    return QRect(display->mapTo(&window, place.topLeft()), place.size()) & inView;
  }

  QtVideoWindowHost* host = nullptr;
};

TEST_F(VideoOverTheDisplay, TheVideoShowsOverTheDisplayCentredInAFullScreenWindow) {
  settings.fullScreen = 1;
  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  window.show();
  Post(window, CQtDataEvent::kDisplaySize, {480, 640, 24});
  ASSERT_TRUE(window.isFullScreen());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const QRect place(100, 60, 160, 120);
  ASSERT_NE(RedVideoAt(window, place), nullptr);
  // The X server here has no window manager: the test gives the full-screen
  // window the whole screen as one would. The display then comes to the
  // middle of the screen, away from the window's corner.
  const QSize screen = window.windowHandle()->screen()->size();
  const uint32_t whole[] = {0, 0, uint32_t(screen.width()), uint32_t(screen.height())};
  xcb_configure_window(QX11Info::connection(), xcb_window_t(window.winId()),
                       XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                       whole);
  xcb_flush(QX11Info::connection());
  ASSERT_TRUE(ProcessUntil([&] { return window.size() == screen; })) << window.width() << "x" << window.height();
  const QPoint origin = window.DisplayWidget()->mapTo(&window, QPoint(0, 0));
  ASSERT_EQ(origin, QPoint(320, 272));
  EXPECT_EQ(WaitForRedBox(window, place.translated(origin)), place.translated(origin));
  api->UnregisterWindow(&window);
}

TEST_F(VideoOverTheDisplay, TheVideoFollowsTheScrolledDisplayAndStaysInView) {
  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  window.show();
  // Larger than the screen: the window is smaller than the display and
  // scrolls.
  Post(window, CQtDataEvent::kDisplaySize, {1800, 2400, 24});
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto* area = window.findChild<QScrollArea*>();
  ASSERT_NE(area, nullptr);
  area->horizontalScrollBar()->setValue(700);
  area->verticalScrollBar()->setValue(500);
  DeliverEvents();
  const QRect place(1200, 950, 160, 120);
  ASSERT_NE(RedVideoAt(window, place), nullptr);
  struct Step {
    const char* name;
    QPoint scroll;
    bool cut;  // partly out of view
  } steps[] = {
      {"placed while scrolled", {700, 500}, false},
      {"scrolled on", {1000, 800}, false},
      {"scrolled back until the video reaches under the scroll bars", {0, 0}, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    area->horizontalScrollBar()->setValue(step.scroll.x());
    area->verticalScrollBar()->setValue(step.scroll.y());
    DeliverEvents();
    const QRect expected = Expected(window, place);
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(expected.size() != place.size(), step.cut);
    EXPECT_EQ(WaitForRedBox(window, expected), expected);
  }
  api->UnregisterWindow(&window);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
