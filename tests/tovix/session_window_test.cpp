// The session window takes the tiled display while browser video is on,
// hands it the extension's texts (event 11) and its dirty rectangles
// (event 4), and keeps the plain display widget while the feature is off.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>

#include "TovixTestEnv.h"
#include "display/SurfaceKeeper.h"
#include "session/HelloProbes.h"
#include "qt/QtDataEvent.h"
#include "settings/AbstractClientSettings.h"
#include "tovix/CGVImageContainer.h"
#include "tovix/CTile.h"
#include "tovix/TovixFeature.h"
#include "ui/QtRdpWindow.h"

TEST(TovixSessionWindow, TheSettingChoosesTheDisplayWidgetAndTheCapabilityBit) {
  struct Case {
    int enabled;
    bool tiled;
    uint32_t bits;
  } const cases[] = {{1, true, 2}, {0, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.enabled);
    CAbstractClientSettings settings{false};
    settings.SetInt(u"TovixEnabled", c.enabled);
    TovixSession session;
    QtRdpWindow window(0);
    EXPECT_EQ(dynamic_cast<CGVImageContainer*>(window.DisplayWidget()) != nullptr, c.tiled);
    EXPECT_EQ(TovixH264SupportBits(), c.bits);
  }
}

TEST(TovixSessionWindow, TheHelloH264WordJoinsTheDecoderLibraryAndBrowserVideo) {
  // Decoder library loads or not, browser video on or off: 0 to 3.
  static bool libraryLoads = false;
  const HelloMaskProbe before =
      SetHelloProbe(&HelloProbes::probeH264Support, [] { return libraryLoads ? 1u : 0u; });
  InstallTovixH264Probe();
  InstallTovixH264Probe();  // a second call keeps the decoder library's probe
  struct Case {
    bool library;
    int enabled;
    uint32_t word;
  } const cases[] = {{false, 1, 2}, {true, 1, 3}, {true, 0, 1}, {false, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    CAbstractClientSettings settings{false};
    settings.SetInt(u"TovixEnabled", c.enabled);
    libraryLoads = c.library;
    EXPECT_EQ(ProbeH264Support(), c.word);
  }
  SetHelloProbe(&HelloProbes::probeH264Support, before);
}

// The bit promises browser video only where the local players can decode
// H.264; the back end is asked once, and only while the feature is on.
TEST(TovixSessionWindow, TheBrowserVideoBitFollowsTheDecoderProbe) {
  static int asked = 0;
  static bool decodes = false;
  struct Case {
    int enabled;
    bool decodes;
    uint32_t bits;
    int asked;
  } const cases[] = {{1, true, 2, 1}, {1, false, 0, 1}, {0, true, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.enabled << " " << c.decodes);
    CAbstractClientSettings settings{false};
    settings.SetInt(u"TovixEnabled", c.enabled);
    asked = 0;
    decodes = c.decodes;
    const H264DecoderProbe before = SetBrowserVideoDecoderProbe([] {
      ++asked;
      return decodes;
    });
    EXPECT_EQ(TovixH264SupportBits(), c.bits);
    EXPECT_EQ(TovixH264SupportBits(), c.bits);
    EXPECT_EQ(asked, c.asked);
    SetBrowserVideoDecoderProbe(before);
  }
}

// gstreamer1.0-libav is installed here: Qt Multimedia's GStreamer back end
// decodes H.264, and the players do play the H.264 clips of the tests.
TEST(TovixSessionWindow, QtMultimediaHereDecodesH264) {
  SetBrowserVideoDecoderProbe(nullptr);
  EXPECT_TRUE(BrowserVideoDecodesH264());
}

TEST(TovixSessionWindow, TextsAndDirtyRectanglesReachTheTiledDisplay) {
  CAbstractClientSettings settings{false};
  TovixSession session;
  QtRdpWindow window(0);
  auto* view = dynamic_cast<CGVImageContainer*>(window.DisplayWidget());
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(session.api->RegisterWindow(0, &window));
  // The text as the tunnel service posts it, and one without its NUL.
  session.api->PostTextMessage(R"({"type":"tovix.connectionCheck"})");
  const char unterminated[] = {'{', '}', 'x'};
  QCoreApplication::postEvent(&window, new CQtDataEvent(CQtDataEvent::kTovixText, 3, unterminated));
  QCoreApplication::sendPostedEvents();
  EXPECT_FALSE(view->discoveryPending());
  ASSERT_EQ(session.client->Texts().size(), 1u);
  EXPECT_NE(session.client->Texts()[0].find("connectionCheckResponse"), std::string::npos);

  session.api->ResizeDisplay(300, 200, 24, 0);
  ISurfaceKeeper* surface = session.api->LockFrameBuffer(0);
  ASSERT_NE(surface, nullptr);
  const uint8_t key[3] = {1, 2, 3};
  surface->BitBlt(130, 10, 1, 1, 3, key);
  session.api->UnlockFrameBuffer(surface);
  session.api->InvalidateRect(130, 10, 1, 1, 0);
  QCoreApplication::sendPostedEvents();
  ASSERT_EQ(view->tiles().size(), 2u);
  EXPECT_TRUE(view->tiles()[0][1]->dirty());
  EXPECT_FALSE(view->tiles()[0][0]->dirty());
  EXPECT_EQ(view->tiles()[0][1]->image().pixel(2, 10), 0u);
  session.api->UnregisterWindow(&window);
}
