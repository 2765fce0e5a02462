// The video window of a redirected media player: a native child of a
// session window that shows the last picture the video renderer presented
// for its handle (the frame with the covering desktop already blended in).
// Mouse input passes through it to the session window below, which sees it
// in its own coordinates.
#pragma once

#include <QImage>
#include <QWidget>
#include <mutex>

#include "mmredir/VrVideoWindowHost.h"
#include "pelplat/videowindow.h"

class QtVideoWindow : public QWidget {
  Q_OBJECT

 public:
  // GUI thread. Registers the window's presenter for `handle`.
  QtVideoWindow(HWND handle, QWidget* parent);
  // Unregisters the presenter first: once that returns no renderer thread
  // touches the window.
  ~QtVideoWindow() override;

  HWND Handle() const { return handle_; }
  void Place(const VideoWindowPlacement& placement);
  // Any thread: keeps a copy of the picture and asks for a repaint.
  void Present(const VideoPresentation& picture);
  // A copy of the picture shown (null before the first).
  QImage Picture() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const HWND handle_;
  mutable std::mutex pictureLock_;
  QImage picture_;
};
