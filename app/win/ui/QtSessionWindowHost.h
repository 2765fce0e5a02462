// What a session window asks of the main window. The main window implements
// it and names itself the host while it runs.
#pragma once

#include <QPoint>

class QtRdpWindow;

class QtSessionWindowHost {
 public:
  virtual ~QtSessionWindowHost() = default;

  // Flips the full-screen setting and applies it to every session window.
  virtual void ToggleFullScreen() = 0;
  // The session window whose rectangle holds the global point, or null.
  virtual QtRdpWindow* FindSessionWindowAt(const QPoint& globalPosition) = 0;
  // Raises the other session windows, then the one of that display.
  virtual void RaiseSessionWindows(int displayIndex) = 0;
};

// Null removes the host; the caller keeps it alive while it is named.
void SetSessionWindowHost(QtSessionWindowHost* host);
// The host named last, or null.
QtSessionWindowHost* GetSessionWindowHost();
