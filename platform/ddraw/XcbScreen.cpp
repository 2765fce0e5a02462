// The screen behind DirectDraw's primary surface: the X display of
// $DISPLAY over a connection of its own (never the toolkit's), so that a
// streaming thread puts its pixels into a window without waiting for the
// GUI thread. Without a display the screen is a headless 1920 x 1080 at 32
// bits where pixels go nowhere.
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "pelplat/ddraw.h"

namespace {

class CXcbScreen final : public DDrawScreen {
 public:
  ~CXcbScreen() override {
    if (connection_) xcb_disconnect(connection_);
  }

  bool GetDisplayMode(DDrawDisplayMode* mode) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!Connect()) {
      *mode = {1920, 1080, 32};
      return true;
    }
    mode->width = screen_->width_in_pixels;
    mode->height = screen_->height_in_pixels;
    mode->bitsPerPixel = screen_->root_depth >= 24 ? 32 : screen_->root_depth;
    return true;
  }

  bool GetWindowRect(HWND window, RECT* rect) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!Connect()) {
      *rect = {0, 0, 1920, 1080};
      return true;
    }
    const auto id = static_cast<xcb_window_t>(reinterpret_cast<uintptr_t>(window));
    xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, id), nullptr);
    if (!geometry) return false;
    xcb_translate_coordinates_reply_t* at = xcb_translate_coordinates_reply(
        connection_, xcb_translate_coordinates(connection_, id, screen_->root, 0, 0), nullptr);
    if (!at) {
      free(geometry);
      return false;
    }
    *rect = {at->dst_x, at->dst_y, at->dst_x + geometry->width, at->dst_y + geometry->height};
    depths_[id] = geometry->depth;
    free(at);
    free(geometry);
    return true;
  }

  void PutPixels(HWND window, int x, int y, int width, int height, const uint32_t* pixels, int stride) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!Connect() || width <= 0 || height <= 0) return;
    const auto id = static_cast<xcb_window_t>(reinterpret_cast<uintptr_t>(window));
    auto depth = depths_.find(id);
    if (depth == depths_.end() || (depth->second != 24 && depth->second != 32)) return;
    xcb_gcontext_t gc = GcFor(id);
    // Rows in requests that fit the server's request size.
    const uint64_t maxBytes = uint64_t{xcb_get_maximum_request_length(connection_)} * 4 - 64;
    const int rowsPerRequest = static_cast<int>(std::max<uint64_t>(1, maxBytes / (uint64_t(width) * 4)));
    std::vector<uint32_t> rows;
    for (int top = 0; top < height; top += rowsPerRequest) {
      const int n = std::min(rowsPerRequest, height - top);
      rows.resize(static_cast<size_t>(width) * n);
      for (int r = 0; r < n; ++r)
        std::copy(pixels + static_cast<size_t>(top + r) * stride, pixels + static_cast<size_t>(top + r) * stride + width,
                  rows.begin() + static_cast<size_t>(r) * width);
      xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, id, gc, static_cast<uint16_t>(width),
                    static_cast<uint16_t>(n), static_cast<int16_t>(x), static_cast<int16_t>(y + top), 0,
                    depth->second, static_cast<uint32_t>(rows.size() * 4),
                    reinterpret_cast<const uint8_t*>(rows.data()));
    }
    xcb_flush(connection_);
  }

 private:
  bool Connect() {
    if (connection_) return true;
    if (tried_) return false;
    tried_ = true;
    const char* display = getenv("DISPLAY");
    if (!display || !*display) return false;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
      xcb_disconnect(c);
      return false;
    }
    connection_ = c;
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    return true;
  }

  xcb_gcontext_t GcFor(xcb_window_t window) {
    auto it = gcs_.find(window);
    if (it != gcs_.end()) return it->second;
    const xcb_gcontext_t gc = xcb_generate_id(connection_);
    const uint32_t noExposures = 0;
    xcb_create_gc(connection_, gc, window, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    gcs_[window] = gc;
    return gc;
  }

  std::mutex mutex_;
  bool tried_ = false;
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  std::map<xcb_window_t, xcb_gcontext_t> gcs_;
  std::map<xcb_window_t, uint8_t> depths_;
};

std::atomic<DDrawScreen*> g_screen{nullptr};

DDrawScreen* XcbScreen() {
  static CXcbScreen* screen = new CXcbScreen();  // lives for the process
  return screen;
}

}  // namespace

DDrawScreen* DDrawSetScreen(DDrawScreen* screen) { return g_screen.exchange(screen); }

DDrawScreen* DDrawGetScreen() {
  DDrawScreen* screen = g_screen.load();
  return screen ? screen : XcbScreen();
}
