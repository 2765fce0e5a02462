// The whole road of a key on a real X server (Xvfb): XTEST key event ->
// native event filter -> hook chain -> system-key library -> posted message
// -> the window's native-event path.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWidget>
#include <functional>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/winuser.h"
#include "ui/CHookedKeyboard.h"
#include "ui/XcbKeyboardHookFilter.h"

// Last: Xlib's macros would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr UINT kHookedKey = 0x5FF;
// X keycodes (Linux input code + 8).
constexpr unsigned kKeyA = 38;
constexpr unsigned kKeyQ = 24;
constexpr unsigned kCapsLock = 66;
constexpr unsigned kRightAlt = 108;

class SessionLikeWindow : public QWidget {
 public:
  HWND Handle() const { return reinterpret_cast<HWND>(static_cast<uintptr_t>(winId())); }

  // Posted messages come back to the GUI thread and enter nativeEvent, as a
  // session window receives them.
  void RegisterForMessages() {
    PlatRegisterWindow(Handle(), [this](const MSG& m) {
      return QMetaObject::invokeMethod(
          this,
          [this, m] {
            MSG copy = m;
            long result = 0;
            nativeEvent("windows_generic_MSG", &copy, &result);
          },
          Qt::QueuedConnection);
    });
  }

  std::vector<MSG> received;

 protected:
  bool nativeEvent(const QByteArray& eventType, void* message, long* result) override {
    if (eventType == "windows_generic_MSG") {
      auto* msg = static_cast<MSG*>(message);
      if (msg->message == kHookedKey) {
        received.push_back(*msg);
        *result = 1;
        return true;
      }
    }
    return QWidget::nativeEvent(eventType, message, result);
  }
};

// Events the system-key library passed on.
std::vector<KBDLLHOOKSTRUCT> g_passedOn;
LRESULT RecordPassedOn(int, WPARAM, LPARAM lParam) {
  g_passedOn.push_back(*reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam));
  return 0;
}

bool WaitFor(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

class XvfbKeyboardHookTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    filter_ = new XcbKeyboardHookFilter;
    qApp->installNativeEventFilter(filter_);
    window_ = new SessionLikeWindow;
    window_->resize(200, 100);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
    window_->RegisterForMessages();
    passedOn_ = SetWindowsHookExW(WH_KEYBOARD_LL, RecordPassedOn, nullptr, 0);
    xtest_ = XOpenDisplay(nullptr);
    ASSERT_NE(xtest_, nullptr);
    // No window manager here: give the window the focus an active window
    // has, so that keys reach it without a grab too.
    XSetInputFocus(xtest_, static_cast<Window>(window_->winId()), RevertToParent, CurrentTime);
    XSync(xtest_, False);
  }
  static void TearDownTestSuite() {
    if (xtest_) XCloseDisplay(xtest_);
    UnhookWindowsHookEx(passedOn_);
    PlatUnregisterWindow(window_->Handle());
    delete window_;
    qApp->removeNativeEventFilter(filter_);
    delete filter_;
  }

  void SetUp() override {
    ASSERT_NE(xtest_, nullptr);
    int event, error, major, minor;
    ASSERT_TRUE(XTestQueryExtension(xtest_, &event, &error, &major, &minor));
    // The session window becomes active.
    g_HookedKeyboard.Load();
    ASSERT_TRUE(g_HookedKeyboard.IsLoaded());
    ASSERT_EQ(g_HookedKeyboard.SetTargetWindow(window_->Handle(), 1), 1);
    window_->received.clear();
    g_passedOn.clear();
  }
  void TearDown() override {
    g_HookedKeyboard.SetTargetWindow(window_->Handle(), 0);
    g_HookedKeyboard.ReleaseWindow(window_->Handle());
  }

  static void PhysicalKey(unsigned keycode, bool press) {
    XTestFakeKeyEvent(xtest_, keycode, press ? True : False, CurrentTime);
    XFlush(xtest_);
  }
  static void SyntheticKeyPress(unsigned keycode) {
    XKeyEvent key{};
    key.type = KeyPress;
    key.display = xtest_;
    key.window = static_cast<Window>(window_->winId());
    key.root = DefaultRootWindow(xtest_);
    key.time = CurrentTime;
    key.keycode = keycode;
    key.same_screen = True;
    XEvent event{};
    event.xkey = key;
    XSendEvent(xtest_, key.window, False, KeyPressMask, &event);
    XFlush(xtest_);
  }
  bool Received(size_t count) {
    return WaitFor([&] { return window_->received.size() >= count; });
  }
  static bool CapsLockOn() { return (GetKeyState(VK_CAPITAL) & 1) != 0; }

  static XcbKeyboardHookFilter* filter_;
  static SessionLikeWindow* window_;
  static HHOOK passedOn_;
  static Display* xtest_;
};

XcbKeyboardHookFilter* XvfbKeyboardHookTest::filter_ = nullptr;
SessionLikeWindow* XvfbKeyboardHookTest::window_ = nullptr;
HHOOK XvfbKeyboardHookTest::passedOn_ = nullptr;
Display* XvfbKeyboardHookTest::xtest_ = nullptr;

TEST_F(XvfbKeyboardHookTest, RightAltFromTheKeyboardReachesTheTargetOnly) {
  PhysicalKey(kRightAlt, true);
  PhysicalKey(kRightAlt, false);
  ASSERT_TRUE(Received(2));
  const auto& r = window_->received;
  EXPECT_EQ(r[0].hwnd, window_->Handle());
  EXPECT_EQ(r[0].wParam, 0x138u);
  EXPECT_EQ(r[0].lParam, 0);
  EXPECT_EQ(r[1].wParam, 0x138u);
  EXPECT_EQ(r[1].lParam, 1);
  EXPECT_TRUE(g_passedOn.empty());  // swallowed
}

TEST_F(XvfbKeyboardHookTest, SyntheticKeyCountsAsInjectedAndPassesUnposted) {
  SyntheticKeyPress(kKeyQ);
  ASSERT_TRUE(WaitFor([] { return !g_passedOn.empty(); }));
  EXPECT_EQ(g_passedOn[0].scanCode, 0x10u);
  EXPECT_TRUE(g_passedOn[0].flags & LLKHF_INJECTED);
  // Messages keep their order: once A's message is in, none for Q follows.
  PhysicalKey(kKeyA, true);
  PhysicalKey(kKeyA, false);
  ASSERT_TRUE(Received(2));
  for (const MSG& m : window_->received) EXPECT_EQ(m.wParam, 0x1Eu);
}

TEST_F(XvfbKeyboardHookTest, CapsLockIsPostedAndStillTogglesTheIndicator) {
  bool before = CapsLockOn();
  PhysicalKey(kCapsLock, true);
  PhysicalKey(kCapsLock, false);
  ASSERT_TRUE(Received(2));
  EXPECT_EQ(window_->received[0].wParam, 0x3Au);
  EXPECT_EQ(window_->received[0].lParam, 0);
  EXPECT_EQ(window_->received[1].lParam, 1);
  ASSERT_EQ(g_passedOn.size(), 2u);  // passed on as well
  EXPECT_FALSE(g_passedOn[0].flags & LLKHF_INJECTED);
  EXPECT_NE(CapsLockOn(), before);

  PhysicalKey(kCapsLock, true);
  PhysicalKey(kCapsLock, false);
  ASSERT_TRUE(Received(4));
  EXPECT_EQ(CapsLockOn(), before);
}

TEST_F(XvfbKeyboardHookTest, TargetHoldsTheKeyboardGrabUntilReleased) {
  Window root = DefaultRootWindow(xtest_);
  EXPECT_EQ(XGrabKeyboard(xtest_, root, False, GrabModeAsync, GrabModeAsync, CurrentTime),
            AlreadyGrabbed);
  g_HookedKeyboard.SetTargetWindow(window_->Handle(), 0);
  EXPECT_EQ(XGrabKeyboard(xtest_, root, False, GrabModeAsync, GrabModeAsync, CurrentTime),
            GrabSuccess);
  XUngrabKeyboard(xtest_, CurrentTime);
  XSync(xtest_, False);
  // Without a target, keys pass to the program unposted.
  PhysicalKey(kKeyA, true);
  PhysicalKey(kKeyA, false);
  ASSERT_TRUE(WaitFor([] { return g_passedOn.size() >= 2; }));
  EXPECT_TRUE(window_->received.empty());
}

// The server's own keymap decides which keycode a key sends; the hook must
// see each key at its set-1 position.
TEST_F(XvfbKeyboardHookTest, ServerKeymapPutsKeysAtTheirScanCodes) {
  struct Case {
    KeySym keysym;
    DWORD scan;
    bool extended;
  };
  const Case cases[] = {
      {XK_Escape, 0x01, false},    {XK_a, 0x1E, false},         {XK_Tab, 0x0F, false},
      {XK_Return, 0x1C, false},    {XK_space, 0x39, false},     {XK_backslash, 0x2B, false},
      {XK_Control_L, 0x1D, false}, {XK_Control_R, 0x1D, true},  {XK_Shift_L, 0x2A, false},
      {XK_Shift_R, 0x36, false},   {XK_Alt_L, 0x38, false},     {XK_Caps_Lock, 0x3A, false},
      {XK_Num_Lock, 0x45, true},   {XK_Scroll_Lock, 0x46, false}, {XK_Pause, 0x45, false},
      {XK_Print, 0x37, true},      {XK_KP_Enter, 0x1C, true},   {XK_KP_Divide, 0x35, true},
      {XK_KP_Multiply, 0x37, false}, {XK_KP_Subtract, 0x4A, false}, {XK_KP_Home, 0x47, false},
      {XK_Home, 0x47, true},       {XK_End, 0x4F, true},        {XK_Prior, 0x49, true},
      {XK_Next, 0x51, true},       {XK_Insert, 0x52, true},     {XK_Delete, 0x53, true},
      {XK_Up, 0x48, true},         {XK_Down, 0x50, true},       {XK_Left, 0x4B, true},
      {XK_Right, 0x4D, true},      {XK_F1, 0x3B, false},        {XK_F10, 0x44, false},
      {XK_F11, 0x57, false},       {XK_F12, 0x58, false},       {XK_Super_L, 0x5B, true},
      {XK_Menu, 0x5D, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(XKeysymToString(c.keysym));
    KeyCode keycode = XKeysymToKeycode(xtest_, c.keysym);
    ASSERT_NE(keycode, 0);
    xcb_key_press_event_t event{};
    event.response_type = XCB_KEY_PRESS;
    event.detail = keycode;
    WPARAM message = 0;
    KBDLLHOOKSTRUCT record{};
    ASSERT_TRUE(XcbKeyboardHookFilter::TranslateKeyEvent(event, &message, &record));
    EXPECT_EQ(record.scanCode, c.scan);
    EXPECT_EQ((record.flags & LLKHF_EXTENDED) != 0, c.extended);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
