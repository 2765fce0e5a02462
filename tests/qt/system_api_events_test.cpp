// The window table and the events the system API posts to the session
// windows: connection states, display size, changed rectangles, texts and
// cursor shapes.
#include <gtest/gtest.h>

#include <QWidget>
#include <memory>
#include <string>

#include "QtTestEnv.h"
#include "display/SurfaceKeeper.h"
#include "qt/QtDataEvent.h"

namespace {

using ApiPtr = std::unique_ptr<CQtSystemApi, ApiRelease>;

class SystemApiEventsTest : public ::testing::Test {
 protected:
  void SetUp() override { api.reset(new ScreenSystemApi); }
  void TearDown() override {
    DeliverWindowEvents();
    api.reset();
  }

  std::vector<int32_t> Codes(const RecorderWindow& w) {
    std::vector<int32_t> codes;
    for (const ReceivedEvent& e : w.received) codes.push_back(e.code);
    return codes;
  }

  ApiPtr api;
  RecorderWindow window0, window1, window2;
};

struct StateCase {
  int state;
  const char16_t* text;
  int32_t connectedAfter;  // starting from 1 when the state clears it
  bool setsConnectEvent;
  bool setsRunEvent;
  const char16_t* errorText;  // null: none
};

const StateCase kStateCases[] = {
    {0, u"Starting", 0, false, false, nullptr},
    {1, u"Connecting", 0, false, false, nullptr},
    {2, u"Connected", 1, true, false, nullptr},
    {3, u"Handshaking", 0, false, false, nullptr},
    {4, u"Verifying", 0, false, false, nullptr},
    {5, u"NormalTitle", 0, false, true, nullptr},
    {6, u"Disconnected", 0, false, false, u"Client is Disconnected"},
    {7, u"Timeout", 0, false, false, u"Client Connection Timeout!"},
    {8, u"Net Error", 0, false, false, u"Network error"},
    {9, u"System Error", 0, false, false, u"System Error"},
    {10, u"System Error", 0, true, true, u"Unknown Error"},
    {11, u"Can not resolve Kelvane Server name", 0, true, true, u"Can not resolve Kelvane Server name"},
};

TEST_F(SystemApiEventsTest, EveryStatePostsItsTextAndHasItsSideEffects) {
  for (const StateCase& c : kStateCases) {
    SCOPED_TRACE(c.state);
    ApiPtr fresh(new ScreenSystemApi);
    RecorderWindow a, b;
    ASSERT_TRUE(fresh->RegisterWindow(0, &a));
    ASSERT_TRUE(fresh->RegisterWindow(3, &b));
    // States from "Disconnected" on must clear the flag.
    if (c.state >= 6) fresh->connected.store(1);
    EXPECT_EQ(fresh->SetConnectionState(c.state, 0), 0);
    DeliverWindowEvents();

    for (RecorderWindow* w : {&a, &b}) {
      ASSERT_FALSE(w->received.empty());
      const ReceivedEvent& last = w->received.back();
      EXPECT_EQ(last.code, CQtDataEvent::kStatusText);
      EXPECT_EQ(last.payload.size(), (std::char_traits<char16_t>::length(c.text) + 1) * 2);
      EXPECT_EQ(WideText(last.payload), std::u16string(c.text) + u'\0');
    }
    EXPECT_EQ(fresh->ConnectionState(), c.state);
    EXPECT_EQ(fresh->IsConnected(), c.connectedAfter);
    EXPECT_EQ(fresh->WaitFirstEvent(0), c.setsConnectEvent);
    EXPECT_EQ(fresh->WaitSecondEvent(0), c.setsRunEvent);
    const WCHAR* error = fresh->GetErrorText();
    if (c.errorText) {
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(std::u16string(error), c.errorText);
    } else {
      EXPECT_EQ(error, nullptr);
    }
    // Not final: the windows stay registered.
    EXPECT_EQ(fresh->WindowAt(0), &a);
    EXPECT_EQ(fresh->WindowAt(3), &b);
  }
}

TEST_F(SystemApiEventsTest, ConnectedPostsCodeTenThenTheTextToEveryWindow) {
  ASSERT_TRUE(api->RegisterWindow(0, &window0));
  ASSERT_TRUE(api->RegisterWindow(1, &window1));
  api->SetConnectionState(connection_state::kConnected, 0);
  DeliverWindowEvents();
  const std::vector<int32_t> expected = {CQtDataEvent::kConnected, CQtDataEvent::kStatusText};
  EXPECT_EQ(Codes(window0), expected);
  EXPECT_EQ(Codes(window1), expected);
  EXPECT_TRUE(window0.received[0].payload.empty());
}

TEST_F(SystemApiEventsTest, FinalStateClosesEveryWindowWithItsReasonAndEmptiesTheTable) {
  const struct {
    int state;
    int32_t reason;
  } cases[] = {{0, 0}, {5, 0}, {6, 7}, {7, 3}, {8, 8}, {9, 9}, {10, 10}, {11, 11}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    ApiPtr fresh(new ScreenSystemApi);
    RecorderWindow a, b;
    fresh->RegisterWindow(0, &a);
    fresh->RegisterWindow(1, &b);
    fresh->SetConnectionState(c.state, 1);
    DeliverWindowEvents();
    for (RecorderWindow* w : {&a, &b}) {
      ASSERT_EQ(w->received.size(), 1u);
      EXPECT_EQ(w->received[0].code, CQtDataEvent::kClose);
      ASSERT_EQ(w->received[0].payload.size(), 4u);
      EXPECT_EQ(I32At(w->received[0].payload, 0), c.reason);
    }
    for (int d = 0; d < 4; ++d) {
      EXPECT_EQ(fresh->WindowAt(d), nullptr);
      EXPECT_EQ(fresh->GetDisplayWindowId(d), 0u);
    }
    // Nothing reaches a window once it has left the table.
    fresh->InvalidateRect(0, 0, 1, 1, 0);
    fresh->SetConnectionState(connection_state::kConnecting, 0);
    DeliverWindowEvents();
    EXPECT_EQ(a.received.size(), 1u);
  }
}

TEST_F(SystemApiEventsTest, FinalStateWithoutWindowsPostsNothing) {
  api->SetConnectionState(connection_state::kDisconnected, 1);
  DeliverWindowEvents();
  EXPECT_EQ(api->WindowAt(0), nullptr);
  EXPECT_EQ(api->ConnectionState(), 6);
}

TEST_F(SystemApiEventsTest, UnknownStateIsLoggedAndEndsTheSession) {
  LogCapture log;
  api->RegisterWindow(0, &window0);
  api->connected.store(1);
  api->SetConnectionState(42, 0);
  DeliverWindowEvents();
  ASSERT_EQ(window0.received.size(), 1u);
  EXPECT_EQ(window0.received[0].code, CQtDataEvent::kClose);
  EXPECT_EQ(I32At(window0.received[0].payload, 0), 9);
  EXPECT_EQ(api->WindowAt(0), nullptr);
  EXPECT_EQ(api->IsConnected(), 0);
  EXPECT_EQ(std::u16string(api->GetErrorText()), u"Unknown Error");
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "pelm: Unknown state 42\n");
}

TEST_F(SystemApiEventsTest, AnOccupiedEntryKeepsItsWindow) {
  api->displayEvents[1].Set();
  EXPECT_TRUE(api->RegisterWindow(1, &window1));
  // Registration resets the display's event: the session of that display
  // is running.
  EXPECT_FALSE(api->displayEvents[1].Wait(0));
  api->displayEvents[1].Set();
  EXPECT_FALSE(api->RegisterWindow(1, &window2));
  EXPECT_TRUE(api->displayEvents[1].Wait(0));
  EXPECT_EQ(api->WindowAt(1), &window1);
  EXPECT_FALSE(api->RegisterWindow(4, &window2));
  EXPECT_FALSE(api->RegisterWindow(-1, &window2));

  api->UnregisterWindow(&window1);
  EXPECT_EQ(api->WindowAt(1), nullptr);
  EXPECT_TRUE(api->RegisterWindow(1, &window2));
}

TEST_F(SystemApiEventsTest, DisplayEventsReachOnlyTheirDisplaysWindow) {
  api->RegisterWindow(0, &window0);
  api->RegisterWindow(1, &window1);
  EXPECT_EQ(api->ResizeDisplay(640, 480, 32, 1), 0);
  api->InvalidateRect(10, 20, 30, 40, 1);
  // No window for display 2: dropped, not queued.
  api->InvalidateRect(0, 0, 5, 5, 2);
  api->ResizeDisplay(64, 48, 32, 7);
  DeliverWindowEvents();

  EXPECT_TRUE(window0.received.empty());
  ASSERT_EQ(window1.received.size(), 2u);
  EXPECT_EQ(window1.received[0].code, CQtDataEvent::kDisplaySize);
  ASSERT_EQ(window1.received[0].payload.size(), 12u);
  EXPECT_EQ(I32At(window1.received[0].payload, 0), 480);
  EXPECT_EQ(I32At(window1.received[0].payload, 4), 640);
  EXPECT_EQ(I32At(window1.received[0].payload, 8), 32);
  EXPECT_EQ(window1.received[1].code, CQtDataEvent::kChangedRect);
  ASSERT_EQ(window1.received[1].payload.size(), 16u);
  EXPECT_EQ(I32At(window1.received[1].payload, 0), 10);
  EXPECT_EQ(I32At(window1.received[1].payload, 4), 20);
  EXPECT_EQ(I32At(window1.received[1].payload, 8), 39);
  EXPECT_EQ(I32At(window1.received[1].payload, 12), 59);
  EXPECT_EQ(api->invalidated.load(), 1);

  ISurfaceKeeper* surface = api->LockFrameBuffer(1);
  ASSERT_NE(surface, nullptr);
  EXPECT_EQ(surface->GetWidth(), 640);
  EXPECT_EQ(surface->GetHeight(), 480);
  api->UnlockFrameBuffer(surface);
}

TEST_F(SystemApiEventsTest, BrowserVideoTextGoesToTheFirstWindowOnly) {
  api->PostTextMessage("no window yet");
  api->RegisterWindow(1, &window1);
  api->PostTextMessage("still none");
  api->RegisterWindow(0, &window0);
  api->PostTextMessage("hello");
  DeliverWindowEvents();
  EXPECT_TRUE(window1.received.empty());
  ASSERT_EQ(window0.received.size(), 1u);
  EXPECT_EQ(window0.received[0].code, CQtDataEvent::kTovixText);
  EXPECT_EQ(window0.received[0].payload, std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o', 0}));
}

TEST_F(SystemApiEventsTest, CursorGoesOnlyToThePointersDisplay) {
  api->RegisterWindow(0, &window0);
  api->RegisterWindow(1, &window1);
  // A hidden cursor needs nothing beyond the flags, whatever else it holds.
  uint8_t hidden[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0x03, 0x00, 0x00, 0x80};
  api->pointerDisplay.store(1);
  EXPECT_EQ(api->SetCursor(hidden, sizeof hidden, 0), 0);
  EXPECT_EQ(api->SetCursor(hidden, sizeof hidden, 1), 0);
  api->pointerDisplay.store(-1);
  hidden[7] = 0x40;  // bit 30
  api->SetCursor(hidden, sizeof hidden, 0);
  DeliverWindowEvents();
  ASSERT_EQ(window1.received.size(), 1u);
  EXPECT_EQ(window1.received[0].code, CQtDataEvent::kHideCursor);
  ASSERT_EQ(window0.received.size(), 1u);
  EXPECT_EQ(window0.received[0].code, CQtDataEvent::kHideCursor);
}

TEST_F(SystemApiEventsTest, WindowIdIsTheNativeIdOfTheRegisteredWidget) {
  QWidget widget;
  api->RegisterWindow(2, &widget);
  EXPECT_EQ(api->GetDisplayWindowId(2), UINT_PTR(widget.winId()));
  EXPECT_NE(api->GetDisplayWindowId(2), 0u);
  api->UnregisterWindow(&widget);
  EXPECT_EQ(api->GetDisplayWindowId(2), 0u);
  api->RegisterWindow(0, &window0);
  EXPECT_EQ(api->GetDisplayWindowId(0), 0u);  // not a widget
  EXPECT_EQ(api->GetDisplayWindowId(4), 0u);
  EXPECT_EQ(api->GetDisplayWindowId(-1), 0u);
}

TEST_F(SystemApiEventsTest, InstanceIsTheLiveObject) {
  EXPECT_EQ(CQtSystemApi::Instance(), api.get());
  EXPECT_TRUE(api->HasGui());
  std::vector<uint8_t> depths;
  api->GetColorDepths(depths);
  EXPECT_EQ(depths, std::vector<uint8_t>({16, 24}));
  EXPECT_EQ(api->GetDefaultColorDepth(), 24);
  api.reset();
  EXPECT_EQ(CQtSystemApi::Instance(), nullptr);
}

TEST_F(SystemApiEventsTest, MessageTextReleasesTheWaiterEvents) {
  api->SetMessageText(u"Connection:", u"Cannot connect to server \"x\"");
  EXPECT_TRUE(api->HasPendingMessage());
  EXPECT_EQ(api->MessageText(), u"Cannot connect to server \"x\"");
  EXPECT_TRUE(api->WaitFirstEvent(0));
  EXPECT_TRUE(api->WaitSecondEvent(0));
}

}  // namespace
