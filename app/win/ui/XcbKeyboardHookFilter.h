// The event source of the low-level keyboard hook on X: feeds the key events
// the GUI thread receives to the hook chain, drops what the chain swallows,
// and holds the keyboard grab for the hook's target window so that the
// window manager does not act on the keys (Alt+Tab) meanwhile. One per
// application, installed with QCoreApplication::installNativeEventFilter.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <mutex>

#include <xcb/xcb.h>

#include "pelplat/winuser.h"

class XcbKeyboardHookFilter : public QAbstractNativeEventFilter {
 public:
  // A null connection means the application's own X connection.
  explicit XcbKeyboardHookFilter(xcb_connection_t* connection = nullptr);
  ~XcbKeyboardHookFilter() override;

  bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;

  // The hook's record of one X key event (press or release; a synthetic
  // event counts as injected). False for keys the hook is not shown.
  static bool TranslateKeyEvent(const xcb_key_press_event_t& event, WPARAM* message,
                                KBDLLHOOKSTRUCT* record);

  XcbKeyboardHookFilter(const XcbKeyboardHookFilter&) = delete;
  XcbKeyboardHookFilter& operator=(const XcbKeyboardHookFilter&) = delete;

 private:
  void SetGrabWindow(HWND window);
  void RetryGrab();
  void GrabLocked();

  xcb_connection_t* connection_;
  std::mutex grabMutex_;  // the grab hook may run on any thread
  xcb_window_t wanted_ = XCB_NONE;
  xcb_window_t grabbed_ = XCB_NONE;
  bool refusalLogged_ = false;
};
