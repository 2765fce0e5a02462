// A DirectDraw screen for tests: a display mode of the test's choosing,
// windows at given desktop rectangles, and a canvas per window that keeps
// every pixel the primary surface put there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "pelplat/ddraw.h"

class RecordingScreen : public DDrawScreen {
 public:
  explicit RecordingScreen(DDrawDisplayMode mode = {1280, 1024, 32}) : mode_(mode) { previous_ = DDrawSetScreen(this); }
  ~RecordingScreen() override { DDrawSetScreen(previous_); }

  void AddWindow(HWND window, RECT desktopRect) {
    std::lock_guard<std::mutex> hold(mutex_);
    windows_[window] = desktopRect;
    canvas_[window].assign(static_cast<size_t>(Width(desktopRect)) * Height(desktopRect), 0xFF000000u);
  }
  void SetMode(DDrawDisplayMode mode) {
    std::lock_guard<std::mutex> hold(mutex_);
    mode_ = mode;
  }

  bool GetDisplayMode(DDrawDisplayMode* mode) override {
    std::lock_guard<std::mutex> hold(mutex_);
    *mode = mode_;
    return true;
  }
  bool GetWindowRect(HWND window, RECT* rect) override {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end()) return false;
    *rect = it->second;
    return true;
  }
  void PutPixels(HWND window, int x, int y, int width, int height, const uint32_t* pixels, int stride) override {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    const int w = Width(it->second), h = Height(it->second);
    auto& canvas = canvas_[window];
    for (int row = 0; row < height; ++row)
      for (int col = 0; col < width; ++col) {
        const int cx = x + col, cy = y + row;
        if (cx >= 0 && cy >= 0 && cx < w && cy < h)
          canvas[static_cast<size_t>(cy) * w + cx] = pixels[static_cast<size_t>(row) * stride + col];
      }
    ++puts_;
    changed_.notify_all();
  }

  // Waits until at least `count` puts happened in all.
  bool WaitForPuts(int count, std::chrono::seconds patience = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, patience, [&] { return puts_ >= count; });
  }
  int Puts() {
    std::lock_guard<std::mutex> hold(mutex_);
    return puts_;
  }
  // 0x00RRGGBB at (x, y) of the window; 0xFF000000 where nothing was put.
  uint32_t Pixel(HWND window, int x, int y) {
    std::lock_guard<std::mutex> hold(mutex_);
    const RECT& r = windows_[window];
    return canvas_[window][static_cast<size_t>(y) * Width(r) + x];
  }

 private:
  static int Width(const RECT& r) { return r.right - r.left; }
  static int Height(const RECT& r) { return r.bottom - r.top; }

  DDrawScreen* previous_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  DDrawDisplayMode mode_;
  std::map<HWND, RECT> windows_;
  std::map<HWND, std::vector<uint32_t>> canvas_;
  int puts_ = 0;
};
