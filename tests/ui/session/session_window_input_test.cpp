// The system keys and the pointer on their way from the session window to
// the session: the key table, lock keys, pointer clamping, the wheel word,
// the move flag and the hand-over between the windows of two displays.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QWheelEvent>
#include <set>

#include "SessionTestEnv.h"
#include "pelplat/hookfeed.h"
#include "ui/SessionWindowInput.h"

namespace {

class SessionWindowInputTest : public ::testing::Test, public SessionFixture {
 protected:
  void SetUp() override {
    previousLocks_ = PlatSetLockKeyStateProvider([this](int key) { return toggled.count(key) > 0; });
  }
  void TearDown() override { PlatSetLockKeyStateProvider(previousLocks_); }

  void Key(QtRdpWindow& window, WPARAM code, bool release) {
    MSG message{window.Handle(), QtRdpWindow::kHookedKeyMessage, code, release ? 1 : 0, 0, {0, 0}};
    long result = 0;
    EXPECT_TRUE(window.HandleSystemKeyMessage(&message, &result));
    EXPECT_EQ(result, 1);
  }
  static std::vector<int32_t> KeyRecord(int32_t code, int32_t locks) { return {code, locks}; }
  // {buttons, x, y, move flag, y offset, x offset, display}
  static std::vector<int32_t> Pointer(int32_t buttons, int32_t x, int32_t y, int32_t move, int32_t display) {
    return {buttons, x, y, move, 0, 0, display};
  }

  std::set<int> toggled;

 private:
  LockKeyStateProvider previousLocks_;
};

TEST_F(SessionWindowInputTest, KeyTable) {
  QtRdpWindow window(0);
  const struct {
    WPARAM code;
    bool release;
    std::vector<std::vector<int32_t>> sent;
    int toggles;
  } steps[] = {
      {0x1E, false, {KeyRecord(0x1E, 0)}, 0},               // A
      {0x1E, true, {KeyRecord(0x9E, 0)}, 0},                // A released
      {0x11D, false, {KeyRecord(0x11D, 0)}, 0},             // Right Ctrl goes to the server too
      {0x21, false, {}, 1},                                 // ... and with F toggles full screen
      {0x21, true, {KeyRecord(0xA1, 0)}, 1},                // F released is sent
      {0x11D, true, {KeyRecord(0x19D, 0)}, 1},
      {0x21, false, {KeyRecord(0x21, 0)}, 1},               // F alone is a key
      {0xF2, true, {KeyRecord(0x138, 0), KeyRecord(0x1B8, 0)}, 1},  // Hangul: Right Alt, even released
      {0x15B, false, {KeyRecord(0x15B, 0)}, 1},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(testing::Message() << std::hex << s.code << (s.release ? " up" : " down"));
    api->records.clear();
    Key(window, s.code, s.release);
    EXPECT_EQ(api->KeyRecords(), s.sent);
    EXPECT_EQ(host.toggles, s.toggles);
  }
}

TEST_F(SessionWindowInputTest, LockKeysTravelWithEveryKey) {
  QtRdpWindow window(0);
  const struct {
    std::set<int> keys;
    int32_t bits;
  } cases[] = {
      {{}, 0},
      {{VK_SCROLL}, 1},
      {{VK_NUMLOCK}, 2},
      {{VK_CAPITAL}, 4},
      {{VK_SCROLL, VK_NUMLOCK, VK_CAPITAL}, 7},
  };
  for (const auto& c : cases) {
    toggled = c.keys;
    EXPECT_EQ(GetLockKeyState(), c.bits);
    api->records.clear();
    Key(window, 0xF2, false);
    EXPECT_EQ(api->KeyRecords(), std::vector<std::vector<int32_t>>(
                                     {KeyRecord(0x138, c.bits), KeyRecord(0x1B8, c.bits)}));
  }
}

TEST_F(SessionWindowInputTest, OtherMessagesAreNotTheWindowsBusiness) {
  QtRdpWindow window(0);
  MSG message{window.Handle(), 0x400, 0x1E, 0, 0, {0, 0}};
  long result = 0;
  EXPECT_FALSE(window.HandleSystemKeyMessage(&message, &result));
  EXPECT_TRUE(api->records.empty());
}

// The system-key library posts its messages; they come back to the window
// on the GUI thread.
TEST_F(SessionWindowInputTest, PostedKeyMessagesReachTheSession) {
  auto* window = new QtRdpWindow(0);
  const HWND handle = window->Handle();
  ASSERT_TRUE(PostMessageW(handle, QtRdpWindow::kHookedKeyMessage, 0x1C, 0));
  ASSERT_TRUE(PostMessageW(handle, QtRdpWindow::kHookedKeyMessage, 0x1C, 1));
  DeliverEvents();
  EXPECT_EQ(api->KeyRecords(), std::vector<std::vector<int32_t>>({KeyRecord(0x1C, 0), KeyRecord(0x9C, 0)}));
  delete window;
  EXPECT_FALSE(PostMessageW(handle, QtRdpWindow::kHookedKeyMessage, 0x1C, 0));
}

TEST_F(SessionWindowInputTest, PointerPositionsAreClampedAtZero) {
  QtRdpWindow window(0);
  QWidget* display = window.DisplayWidget();
  display->setGeometry(0, 0, 200, 100);
  const struct {
    QEvent::Type type;
    QPoint position;
    Qt::MouseButton button;
    Qt::MouseButtons buttons;
    std::vector<int32_t> sent;
  } cases[] = {
      {QEvent::MouseButtonPress, {-3, -4}, Qt::LeftButton, Qt::LeftButton, Pointer(1, 0, 0, 0, 0)},
      {QEvent::MouseButtonDblClick, {5, 6}, Qt::RightButton, Qt::RightButton | Qt::MiddleButton,
       Pointer(6, 5, 6, 0, 0)},
      {QEvent::MouseMove, {7, -2}, Qt::NoButton, Qt::XButton1 | Qt::XButton2, Pointer(24, 7, 0, 0, 0)},
      {QEvent::MouseButtonRelease, {-9, 8}, Qt::LeftButton, Qt::NoButton, Pointer(0, 0, 8, 0, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    api->records.clear();
    api->pointerDisplay.store(2);
    QMouseEvent event(c.type, c.position, display->mapToGlobal(c.position), c.button, c.buttons,
                      Qt::NoModifier);
    EXPECT_TRUE(QCoreApplication::sendEvent(display, &event));
    EXPECT_EQ(api->PointerRecords(), std::vector<std::vector<int32_t>>({c.sent}));
    if (c.type != QEvent::MouseButtonPress && c.type != QEvent::MouseButtonDblClick) {
      EXPECT_EQ(api->pointerDisplay.load(), -1);
    }
  }
}

TEST_F(SessionWindowInputTest, WheelWordCarriesTheSignedDeltaAboveTheButtons) {
  QtRdpWindow window(1);
  QWidget* display = window.DisplayWidget();
  const struct {
    int delta;
    Qt::MouseButtons buttons;
    int32_t word;
  } cases[] = {
      {120, Qt::NoButton, 120 << 16},
      {-120, Qt::LeftButton, int32_t(0xFF880001u)},
      {-1, Qt::RightButton, int32_t(0xFFFF0002u)},
      {0x12345, Qt::NoButton, 0x23450000},  // 16 bits of it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delta);
    api->records.clear();
    // Wheel positions are not clamped.
    QWheelEvent event(QPointF(-2, 5), display->mapToGlobal(QPoint(-2, 5)), QPoint(), QPoint(0, c.delta),
                      c.buttons, Qt::NoModifier, Qt::NoScrollPhase, false);
    EXPECT_TRUE(QCoreApplication::sendEvent(display, &event));
    EXPECT_TRUE(event.isAccepted());
    EXPECT_EQ(api->PointerRecords(), std::vector<std::vector<int32_t>>({{c.word, -2, 5, 0, 0, 0, 1}}));
  }
}

TEST_F(SessionWindowInputTest, MoveFlagOnlyWhereTheCallerAsksForIt) {
  QWidget view;
  view.resize(100, 100);
  QMouseEvent move(QEvent::MouseMove, QPoint(10, 20), view.mapToGlobal(QPoint(10, 20)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  EXPECT_TRUE(ForwardMouseEvent(&view, 0, &move, 0));
  EXPECT_TRUE(ForwardMouseEvent(&view, 0, &move, 1));
  QMouseEvent press(QEvent::MouseButtonPress, QPoint(10, 20), view.mapToGlobal(QPoint(10, 20)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  EXPECT_TRUE(ForwardMouseEvent(&view, 0, &press, 1));
  EXPECT_EQ(api->PointerRecords(), std::vector<std::vector<int32_t>>({Pointer(1, 10, 20, 0, 0),
                                                                      Pointer(1, 10, 20, 1, 0),
                                                                      Pointer(1, 10, 20, 0, 0)}));
  QEvent other(QEvent::Enter);
  EXPECT_FALSE(ForwardMouseEvent(&view, 0, &other, 0));
}

TEST_F(SessionWindowInputTest, FocusRaisesTheSessionWindowsAndIsLeftToTheWidget) {
  QtRdpWindow window(1);
  QFocusEvent focus(QEvent::FocusIn);
  EXPECT_FALSE(ForwardMouseEvent(window.DisplayWidget(), 1, &focus, 0));
  EXPECT_EQ(host.raised, std::vector<int>({1}));
}

TEST_F(SessionWindowInputTest, ReleaseOverTheOtherDisplayGoesToThatDisplay) {
  QtRdpWindow first(0), second(1);
  for (QtRdpWindow* w : {&first, &second}) {
    w->show();
    Post(*w, CQtDataEvent::kDisplaySize, {480, 640, 32});
  }
  second.move(100, 50);
  DeliverEvents();
  host.windowUnderPointer = &second;

  // Outside the first display, over the second window.
  const QPoint global = second.DisplayWidget()->mapToGlobal(QPoint(30, 40));
  QWidget* display = first.DisplayWidget();
  QMouseEvent release(QEvent::MouseButtonRelease, display->mapFromGlobal(global) + QPoint(2000, 0), global,
                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  // The local position lies outside the first display.
  ASSERT_FALSE(display->rect().contains(release.pos()));
  EXPECT_TRUE(QCoreApplication::sendEvent(display, &release));
  EXPECT_EQ(api->PointerRecords(), std::vector<std::vector<int32_t>>({Pointer(0, 30, 40, 0, 1)}));
  EXPECT_EQ(api->pointerDisplay.load(), -1);  // reset by the release

  // A move carries the pointer display over until the next release.
  api->records.clear();
  QMouseEvent move(QEvent::MouseMove, release.pos(), global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(display, &move);
  EXPECT_EQ(api->pointerDisplay.load(), 1);
  EXPECT_EQ(api->PointerRecords(), std::vector<std::vector<int32_t>>({Pointer(0, 30, 40, 0, 1)}));

  // Inside its own display the pointer stays there, whatever lies under it.
  api->records.clear();
  QMouseEvent inside(QEvent::MouseMove, QPoint(3, 4), display->mapToGlobal(QPoint(3, 4)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(display, &inside);
  EXPECT_EQ(api->pointerDisplay.load(), -1);
  EXPECT_EQ(api->PointerRecords(), std::vector<std::vector<int32_t>>({Pointer(0, 3, 4, 0, 0)}));
}

}  // namespace
