// The session window's handling of the events the session threads post:
// the code table, titles, display size and full screen, cursors and the
// message box.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "SessionTestEnv.h"
#include "display/SurfaceKeeper.h"
#include "qt/QtAppIdAllocator.h"
#include "ui/KeyboardDispatcherExclusiveMode.h"
#include "ui/QtHotSpotWindow.h"
#include "ui/options/ClientInfoMsg.h"

namespace {

const QString kProduct = "Vantorel Kelvane Vesk Client for Windows";

class SessionWindowEventsTest : public ::testing::Test, public SessionFixture {};

TEST_F(SessionWindowEventsTest, StatusTextBecomesTheTitle) {
  QtRdpWindow window(0);
  PostText(window, u"Connecting");
  EXPECT_EQ(window.windowTitle(), "Connecting");
  // Without a session client the title names the trouble.
  PostText(window, u"NormalTitle");
  EXPECT_EQ(window.windowTitle(), kProduct + " @ Problems");
}

TEST_F(SessionWindowEventsTest, NormalTitleByConnectKindAppIdAndDisplay) {
  // Two other copies run: this one is number 3.
  api->Release();
  QtAppIdAllocator first(TestAppIdKey()), second(TestAppIdKey());
  ASSERT_EQ(second.Id(), 2);
  api = new SessionApi;
  SetSessionWindowHost(&host);
  ASSERT_EQ(api->GetAppId(), 3);

  const struct {
    int display;
    int kind;
    QString title;
  } cases[] = {
      {0, 0, kProduct + " (3) @ Problems"},
      {1, 0, kProduct + " (3) [Display 2] @ Problems"},
      {1, 1, "Remote Session View @ Problems"},
      {0, 2, "Remote Session Control @ Problems"},
      {0, 3, " @ Problems"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title.toStdString());
    QtRdpWindow window(c.display, c.kind);
    PostText(window, u"NormalTitle");
    EXPECT_EQ(window.windowTitle(), c.title);
  }
}

TEST_F(SessionWindowEventsTest, UnusedCodesChangeNothing) {
  QtRdpWindow window(0);
  PostText(window, u"Handshaking");
  const Qt::CursorShape cursor = window.cursor().shape();
  for (int32_t code : {3, 7, 9, 13, -1}) {
    SCOPED_TRACE(code);
    auto* event = new CQtDataEvent(code, 4, &code);
    EXPECT_TRUE(QCoreApplication::sendEvent(&window, event));
    delete event;
    EXPECT_EQ(window.windowTitle(), "Handshaking");
    EXPECT_EQ(window.cursor().shape(), cursor);
    EXPECT_TRUE(window.isVisible() == false);
  }
}

TEST_F(SessionWindowEventsTest, ConnectedTurnsTheWaitCursorIntoTheArrow) {
  QtRdpWindow window(0);
  EXPECT_EQ(window.cursor().shape(), Qt::WaitCursor);
  Post(window, CQtDataEvent::kConnected, {});
  EXPECT_EQ(window.cursor().shape(), Qt::WaitCursor);  // not connected yet
  api->SetConnectionState(connection_state::kConnected, 0);
  Post(window, CQtDataEvent::kConnected, {});
  EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(SessionWindowEventsTest, CursorShapesReachTheDisplayWidget) {
  QtRdpWindow window(0);
  Post(window, CQtDataEvent::kHideCursor, {});
  EXPECT_EQ(window.DisplayWidget()->cursor().shape(), Qt::BlankCursor);

  // A 32 x 32 monochrome shape makes a bitmap cursor.
  std::vector<uint8_t> shape(272, 0);
  std::fill(shape.begin() + 16, shape.begin() + 144, 0xFF);
  QCoreApplication::postEvent(&window, new CQtDataEvent(CQtDataEvent::kCursorShape, 272, shape.data()));
  DeliverEvents();
  EXPECT_EQ(window.DisplayWidget()->cursor().shape(), Qt::BitmapCursor);

  // A malformed one keeps it; none at all blanks it.
  QCoreApplication::postEvent(&window, new CQtDataEvent(CQtDataEvent::kCursorShape, 100, shape.data()));
  DeliverEvents();
  EXPECT_EQ(window.DisplayWidget()->cursor().shape(), Qt::BitmapCursor);
  Post(window, CQtDataEvent::kCursorShape, {});
  EXPECT_EQ(window.DisplayWidget()->cursor().shape(), Qt::BlankCursor);
}

TEST_F(SessionWindowEventsTest, DisplaySizeWindowedFitsTheWindowToTheDisplay) {
  QtRdpWindow window(0);
  window.show();
  Post(window, CQtDataEvent::kDisplaySize, {500, 700, 32});
  EXPECT_EQ(window.DisplayWidget()->geometry(), QRect(0, 0, 700, 500));
  EXPECT_EQ(window.maximumSize(), QSize(700, 500));
  EXPECT_FALSE(window.isFullScreen());
  EXPECT_EQ(window.size(), QSize(700, 500));
  EXPECT_FALSE(KeyboardDispatcherExclusiveMode::Instance().IsAcquired());
  ASSERT_NE(window.HotSpotBar(), nullptr);
  EXPECT_TRUE(window.HotSpotBar()->isVisible());
  EXPECT_EQ(window.HotSpotBar()->y(), QtHotSpotWindow::kHiddenY);
  EXPECT_EQ(window.HotSpotBar()->OptimizeButton()->text(), "Fullscreen");
}

TEST_F(SessionWindowEventsTest, DisplaySizeFullScreenHoldsTheKeyboardUntilWindowed) {
  settings.fullScreen = 1;
  QtRdpWindow window(0);
  window.show();
  Post(window, CQtDataEvent::kDisplaySize, {480, 640, 32});
  EXPECT_TRUE(window.isFullScreen());
  EXPECT_TRUE(KeyboardDispatcherExclusiveMode::Instance().IsAcquired());
  EXPECT_EQ(window.Banner()->Text(), "Use the auto-hiding menu placed here to leave full screen mode");
  EXPECT_EQ(window.HotSpotBar()->OptimizeButton()->text(), "Window");

  // Leaving full screen resizes the window to the display once.
  window.SetFullScreen(false);
  EXPECT_FALSE(window.isFullScreen());
  EXPECT_EQ(window.size(), QSize(640, 480));

  settings.fullScreen = 0;
  Post(window, CQtDataEvent::kDisplaySize, {480, 640, 32});
  EXPECT_FALSE(KeyboardDispatcherExclusiveMode::Instance().IsAcquired());
}

TEST_F(SessionWindowEventsTest, ViewAndControlLinksStayWindowed) {
  settings.fullScreen = 1;
  for (int kind : {1, 2}) {
    QtRdpWindow window(1, kind);
    window.show();
    Post(window, CQtDataEvent::kDisplaySize, {480, 640, 32});
    EXPECT_FALSE(window.isFullScreen());
    EXPECT_EQ(window.HotSpotBar(), nullptr);  // the bar is display 0's
  }
}

TEST_F(SessionWindowEventsTest, AutoDetectTurnsFullScreenOn) {
  settings.autoDetectAudioVideo = 1;
  QtRdpWindow window(0);
  EXPECT_TRUE(settings.fullScreen);
}

TEST_F(SessionWindowEventsTest, ChangedRectangleRepaintsFromTheSurface) {
  settings.SetInt(u"TovixEnabled", 0);  // the plain display widget
  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  window.show();
  api->ResizeDisplay(640, 480, 32, 0);
  DeliverEvents();
  {
    ISurfaceKeeper* surface = api->LockFrameBuffer(0);
    ASSERT_NE(surface, nullptr);
    const BYTE red[4] = {0xFF, 0x00, 0x00, 0x00};  // the 32-bit surface holds R, G, B, A
    surface->FillTile(8, 8, red);
    api->UnlockFrameBuffer(surface);
  }
  api->InvalidateRect(8, 8, 8, 8, 0);
  DeliverEvents();
  const QImage shot = window.DisplayWidget()->grab(QRect(0, 0, 24, 24)).toImage();
  EXPECT_EQ(shot.pixel(10, 10), qRgb(0xFF, 0, 0));
  EXPECT_EQ(shot.pixel(2, 2), qRgb(0, 0, 0));
}

// Every depth a mode order may ask for paints, also mid-session after
// another depth and at sizes where a missing colour table used to crash
// the paint; an 8-bit surface paints through the server's palette, and
// through a stand-in one before the server has sent any.
TEST_F(SessionWindowEventsTest, EveryDepthPaints) {
  struct Case {
    int depth;
    std::vector<BYTE> colour;  // a tile's pixel as the surface stores it
    QRgb shown;
  };
  const Case cases[] = {
      {32, {0xFF, 0x00, 0x00, 0x00}, qRgb(0xFF, 0, 0)},  // R, G, B, A
      {24, {0x00, 0xFF, 0x00}, qRgb(0, 0xFF, 0)},        // R, G, B
      {16, {0x1F, 0x00}, qRgb(0, 0, 0xFF)},              // RGB565, little-endian
      {8, {0xE0}, qRgb(0xFF, 0, 0)},                     // 3-3-2 stand-in palette: red
  };
  settings.SetInt(u"TovixEnabled", 0);  // the plain display widget
  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  window.show();
  api->ResizeDisplay(1024, 768, 24, 0);
  DeliverEvents();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "depth " << c.depth);
    api->ResizeDisplay(1024, 768, c.depth, 0);
    DeliverEvents();
    {
      ISurfaceKeeper* surface = api->LockFrameBuffer(0);
      ASSERT_NE(surface, nullptr);
      surface->FillTile(16, 16, c.colour.data());
      api->UnlockFrameBuffer(surface);
    }
    api->InvalidateRect(0, 0, 1024, 768, 0);
    DeliverEvents();
    const QImage shot = window.DisplayWidget()->grab(QRect(0, 0, 32, 32)).toImage();
    EXPECT_EQ(shot.pixel(20, 20), c.shown);
    EXPECT_EQ(shot.pixel(2, 2), qRgb(0, 0, 0));
  }
  // The server's palette: entries are blue, green, red, unused.
  std::vector<BYTE> palette(256 * 4, 0);
  palette[0xE0 * 4 + 1] = 0x80;
  {
    ISurfaceKeeper* surface = api->LockFrameBuffer(0);
    ASSERT_NE(surface, nullptr);
    surface->SetPalette(palette.data(), 256);
    api->UnlockFrameBuffer(surface);
  }
  api->InvalidateRect(0, 0, 1024, 768, 0);
  DeliverEvents();
  const QImage shot = window.DisplayWidget()->grab(QRect(0, 0, 32, 32)).toImage();
  EXPECT_EQ(shot.pixel(20, 20), qRgb(0, 0x80, 0));
}

TEST_F(SessionWindowEventsTest, MessageBoxShowsAndReleasesTheWaitingCaller) {
  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  window.show();
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    api->ShowMessageBox(u"Error", u"Cannot connect to server \"x\"", 0);
    returned = true;
  });
  BoxAnswer answer(QMessageBox::Ok);
  while (!returned) DeliverEvents();
  waiter.join();
  EXPECT_EQ(answer.shown, 1);
  EXPECT_EQ(answer.caption, "Error");
  EXPECT_EQ(answer.text, "Cannot connect to server \"x\"");
}

TEST_F(SessionWindowEventsTest, NoWaitMessageShowsNoBox) {
  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  std::thread([&] { api->ShowMessageBox(u"Error", u"text", 1); }).join();
  // Would hang in the box's loop if one were shown.
  DeliverEvents();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// A decoder holds the frame-buffer lock and posts its changed rectangle
// while the user looks at a message box; the box's loop repaints the
// display meanwhile. Nobody may wait for the other.
TEST_F(SessionWindowEventsTest, MessageBoxDoesNotBlockADecoderHoldingTheFrameBuffer) {
  std::mutex mutex;
  std::condition_variable finishedCv;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> hold(mutex);
    if (!finishedCv.wait_for(hold, std::chrono::seconds(60), [&] { return finished; })) {
      fprintf(stderr, "session window deadlocked with a message box up\n");
      _exit(1);
    }
  });

  QtRdpWindow window(0);
  ASSERT_TRUE(api->RegisterWindow(0, &window));
  window.show();
  api->ResizeDisplay(640, 480, 32, 0);
  DeliverEvents();

  std::atomic<bool> decoderDone{false};
  BoxAnswer answer(QMessageBox::Ok, [&] {
    std::atomic<bool> holding{false};
    std::thread decoder([&] {
      ISurfaceKeeper* surface = api->LockFrameBuffer(0);
      holding = true;
      api->InvalidateRect(0, 0, 16, 16, 0);
      api->UnlockFrameBuffer(surface);
      decoderDone = true;
    });
    while (!holding) std::this_thread::yield();
    window.DisplayWidget()->repaint();  // takes the frame-buffer lock
    decoder.join();
  });
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    api->ShowMessageBox(u"Error", u"text", 0);
    returned = true;
  });
  while (!returned) DeliverEvents();
  waiter.join();
  EXPECT_TRUE(decoderDone);
  EXPECT_EQ(answer.shown, 1);

  {
    std::lock_guard<std::mutex> hold(mutex);
    finished = true;
  }
  finishedCv.notify_all();
  watchdog.join();
}

TEST_F(SessionWindowEventsTest, WindowLeavesTheTableWhenDestroyed) {
  auto* window = new QtRdpWindow(1);
  ASSERT_TRUE(api->RegisterWindow(1, window));
  EXPECT_EQ(api->GetDisplayWindowId(1), UINT_PTR(window->winId()));
  delete window;
  EXPECT_EQ(api->WindowAt(1), nullptr);
  api->InvalidateRect(0, 0, 1, 1, 1);  // dropped, not posted to a dead window
  DeliverEvents();
}

}  // namespace
