// Answers a program's last question by key until the program has ended: a
// key pressed before the window has the keyboard is lost, so one press is
// not always enough. For tests on an X server of their own.
#pragma once

#include <functional>

#include "e2e/XDesktop.h"

namespace testsupport {

// Focuses `window` and presses `keysym` until `ended(waitMs)`, which waits
// at most waitMs for the program's end, says it has ended; false after
// twenty presses.
inline bool PressUntilEnded(XDesktop& x, const XWindowInfo& window, const char* keysym, int waitMs,
                            const std::function<bool(int)>& ended) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    x.Focus(window);
    x.Key(keysym, true);
    x.Key(keysym, false);
    if (ended(waitMs)) return true;
  }
  return false;
}

}  // namespace testsupport
