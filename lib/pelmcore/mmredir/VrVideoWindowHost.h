// What the redirected media player needs of the user interface: its video
// window, a child of a session window that lives on the GUI thread, and the
// system API whose frame buffer holds the remote displays.
//
// The player names its window by a handle of its own making before the
// window exists; the video renderer presents to that handle (the window
// registers the presenter of pelplat/videowindow.h once it is made). Every
// window call returns at once and takes effect later on the GUI thread, in
// the order the calls were made: a channel thread never waits for the GUI
// thread, which joins the channel threads when a session ends.
#pragma once

#include <cstdint>

#include "pelplat/winuser.h"

class CClientSystemApi;

struct VideoWindowPlacement {
  bool move = false;  // false: keep the position and the size
  int32_t x = 0;      // in the pixels of the remote display the parent shows
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool show = false;  // shown on top of the parent's other children, or hidden

  // Moved to (x, y), sized, and shown or hidden.
  static VideoWindowPlacement At(int32_t x, int32_t y, int32_t width, int32_t height, bool show) {
    VideoWindowPlacement placement;
    placement.move = true;
    placement.x = x;
    placement.y = y;
    placement.width = width;
    placement.height = height;
    placement.show = show;
    return placement;
  }
};

class IVrVideoWindowHost {
 public:
  virtual ~IVrVideoWindowHost() = default;
  // parent: the native window id of a session window. A parent that is no
  // window (any more) gets no video window.
  virtual void CreateVideoWindow(HWND window, HWND parent) = 0;
  virtual void PlaceVideoWindow(HWND window, const VideoWindowPlacement& placement) = 0;
  virtual void DestroyVideoWindow(HWND window) = 0;
  // The system API of the running program; null while there is none.
  virtual CClientSystemApi* SystemApi() = 0;
};

// The process-wide host; null (the default) gives players no window and no
// frame buffer. The host must outlive every player.
void SetVrVideoWindowHost(IVrVideoWindowHost* host);
IVrVideoWindowHost* VrVideoWindowHost();
