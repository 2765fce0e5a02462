// The video window of a redirected media player: a native child of a
// session window that shows the last picture the video renderer presented
// for its handle (the frame with the covering desktop already blended in).
// Mouse input passes through it to the session window below, which sees it
// in its own coordinates.
//
// The server places the window in the remote display's pixels. The display
// need not start at the session window's corner (it is centred in a larger
// window and scrolled in a smaller one), so the window is placed over the
// display widget, follows it when it moves, and shows only where the
// display itself is in view. It stays a child of the session window rather
// than of the display: a native child of a scrolled widget leaves stale
// pictures behind on the screen as it moves.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <mutex>

#include "mmredir/VrVideoWindowHost.h"
#include "pelplat/videowindow.h"

class QtVideoWindow : public QWidget {
  Q_OBJECT

 public:
  // GUI thread. Registers the window's presenter for `handle`. `display`:
  // the widget whose top-left corner is the origin of the placements, a
  // descendant of `parent`; null places in the parent's own pixels.
  QtVideoWindow(HWND handle, QWidget* parent, QWidget* display = nullptr);
  // Unregisters the presenter first: once that returns no renderer thread
  // touches the window.
  ~QtVideoWindow() override;

  HWND Handle() const { return handle_; }
  // In the display's pixels.
  void Place(const VideoWindowPlacement& placement);
  // Any thread: keeps a copy of the picture and asks for a repaint.
  void Present(const VideoPresentation& picture);
  // A copy of the picture shown (null before the first).
  QImage Picture() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  // The display widget and its ancestors: a move or resize places the
  // window again.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Puts the last placement over the display as it lies now.
  void Apply();
  // The part of the display in view, in the parent's pixels.
  QRect DisplayInView() const;

  const HWND handle_;
  QPointer<QWidget> display_;
  VideoWindowPlacement placement_;  // the last one, in the display's pixels
  mutable std::mutex pictureLock_;
  QImage picture_;
};
