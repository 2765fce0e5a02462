// What the windows of the Qt user interface call of the session's system
// API, one small port per need, and the set a window is handed when it is
// built. GUI thread only.
//
// A window may outlive the system API it was given (start-up destroys the
// API before the last window goes, and a session window closed then must
// still close): so a window never keeps a port, it asks its IQtWindowPorts
// at each call and does nothing when the answer is null.
#pragma once

#include <cstdint>

#include "session/SessionInputPort.h"
#include "session/SessionStatus.h"

class ISurfaceKeeper;
class QImage;
class QObject;

// The window table as a window leaves it, and what a window's title shows
// of this copy of the program.
class IQtSessionWindows {
 public:
  // A window leaves the table before it is destroyed; a window not in the
  // table is ignored.
  virtual void UnregisterWindow(QObject* window) = 0;
  // The application id of this copy of the program (1 for the first).
  virtual uint16_t GetAppId() const = 0;

 protected:
  ~IQtSessionWindows() = default;
};

// The display surfaces as a display widget paints them.
class IQtDisplayFrames {
 public:
  // Null for an index outside 0-3 or a display without a surface; every
  // non-null answer is given back to UnlockDisplayFrame.
  virtual ISurfaceKeeper* LockDisplayFrame(int display) = 0;
  virtual void UnlockDisplayFrame(ISurfaceKeeper* surface) = 0;
  // Only between LockDisplayFrame and UnlockDisplayFrame of that display;
  // null for a surface without pixels.
  virtual const QImage* DisplayImage(int display) const = 0;
  // A session is attached to the system API.
  virtual bool HasSession() const = 0;

 protected:
  ~IQtDisplayFrames() = default;
};

// A display's surface locked for the life of the holder (surface() null
// when there is none to lock).
class QtDisplayFrameHold {
 public:
  QtDisplayFrameHold(IQtDisplayFrames* frames, int display)
      : frames_(frames), surface_(frames ? frames->LockDisplayFrame(display) : nullptr) {}
  ~QtDisplayFrameHold() {
    if (surface_) frames_->UnlockDisplayFrame(surface_);
  }
  ISurfaceKeeper* surface() const { return surface_; }

  QtDisplayFrameHold(const QtDisplayFrameHold&) = delete;
  QtDisplayFrameHold& operator=(const QtDisplayFrameHold&) = delete;

 private:
  IQtDisplayFrames* frames_;
  ISurfaceKeeper* surface_;
};

// Which display the pointer is over while a drag crosses from one session
// window into another; -1 for the display of the window that has the drag.
class IQtPointerDisplay {
 public:
  virtual void SetPointerDisplay(int display) = 0;

 protected:
  ~IQtPointerDisplay() = default;
};

// The ports of one system API; each answer is null while there is none.
class IQtWindowPorts {
 public:
  virtual ISessionStatus* Session() const = 0;
  virtual ISessionInputPort* Input() const = 0;
  virtual IQtSessionWindows* Windows() const = 0;
  virtual IQtDisplayFrames* Frames() const = 0;
  virtual IQtPointerDisplay* Pointer() const = 0;

 protected:
  ~IQtWindowPorts() = default;
};
