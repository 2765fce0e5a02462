// Where a video renderer's pictures go. A window that shows video (the
// multimedia player's video window) registers a presenter for its handle;
// the video renderer made for that handle hands it every picture it
// presents, already placed and blended: the frame scaled into the
// destination rectangle of IMFVideoDisplayControl::SetVideoPosition, the
// mixer's alpha bitmap blended over it. The presenter is called on the
// renderer's thread and must copy what it keeps; it may be called until
// UnregisterVideoPresenter returns.
#pragma once

#include <cstdint>
#include <functional>

#include "pelplat/winuser.h"

struct VideoPresentation {
  int32_t width = 0;   // the picture: the video window's client size
  int32_t height = 0;
  int32_t stride = 0;  // bytes per row
  const uint8_t* bgrx = nullptr;  // rows top-down, bytes B, G, R, X
};

using VideoPresenter = std::function<void(const VideoPresentation&)>;

// Replaces any presenter the window had.
void RegisterVideoPresenter(HWND window, VideoPresenter presenter);
// After it returns the presenter is no longer called.
void UnregisterVideoPresenter(HWND window);
// For the renderer: presents to the window's presenter; false when none is
// registered.
bool PresentToVideoWindow(HWND window, const VideoPresentation& picture);
