#include "qt/QtVideoWindow.h"

#include <QPainter>
#include <QWindow>
#include <cstring>

namespace {
constexpr int kLargestSide = 16384;
}  // namespace

QtVideoWindow::QtVideoWindow(HWND handle, QWidget* parent) : QWidget(parent), handle_(handle) {
  setAttribute(Qt::WA_NativeWindow);
  setAttribute(Qt::WA_DontCreateNativeAncestors);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
  hide();
  winId();
  // The native window takes no input: the X server hands the pointer
  // events to the session window below.
  if (QWindow* native = windowHandle()) native->setFlag(Qt::WindowTransparentForInput, true);
  RegisterVideoPresenter(handle_, [this](const VideoPresentation& picture) { Present(picture); });
}

QtVideoWindow::~QtVideoWindow() {
  UnregisterVideoPresenter(handle_);
}

void QtVideoWindow::Place(const VideoWindowPlacement& placement) {
  if (placement.move) setGeometry(placement.x, placement.y, placement.width, placement.height);
  if (placement.show) {
    show();
    raise();
  } else {
    hide();
  }
}

void QtVideoWindow::Present(const VideoPresentation& picture) {
  if (!picture.bgrx || picture.width <= 0 || picture.height <= 0 || picture.width > kLargestSide ||
      picture.height > kLargestSide || int64_t(picture.stride) < int64_t(picture.width) * 4)
    return;
  QImage copy(picture.width, picture.height, QImage::Format_RGB32);
  if (copy.isNull()) return;
  // RGB32 keeps blue, green, red, unused in memory, as the renderer does.
  for (int y = 0; y < picture.height; ++y)
    std::memcpy(copy.scanLine(y), picture.bgrx + size_t(y) * size_t(picture.stride), size_t(picture.width) * 4);
  {
    std::lock_guard<std::mutex> hold(pictureLock_);
    picture_ = std::move(copy);
  }
  // Safe from any thread while the window lives, and the presenter is
  // only called while it does; a repaint still queued when it goes is
  // dropped with it.
  QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
}

QImage QtVideoWindow::Picture() const {
  std::lock_guard<std::mutex> hold(pictureLock_);
  return picture_;
}

void QtVideoWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QImage picture = Picture();
  painter.fillRect(rect(), Qt::black);
  if (!picture.isNull()) painter.drawImage(0, 0, picture);
}
