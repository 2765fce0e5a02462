#include "qt/QtVideoWindow.h"

#include <QPainter>
#include <QWindow>
#include <algorithm>
#include <cstring>

namespace {
constexpr int kLargestSide = 16384;
// Far beyond any display, and small enough that a placement added to the
// display's origin stays an int.
constexpr int32_t kFarthest = 1 << 20;

// The server's numbers, kept where arithmetic on them cannot overflow.
VideoWindowPlacement Bounded(VideoWindowPlacement p) {
  p.x = std::clamp(p.x, -kFarthest, kFarthest);
  p.y = std::clamp(p.y, -kFarthest, kFarthest);
  p.width = std::clamp(p.width, 0, kLargestSide);
  p.height = std::clamp(p.height, 0, kLargestSide);
  return p;
}
}  // namespace

QtVideoWindow::QtVideoWindow(HWND handle, QWidget* parent, QWidget* display)
    : QWidget(parent), handle_(handle), display_(display) {
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
  if (display_ && parent && parent->isAncestorOf(display_)) {
    for (QWidget* w = display_; w != parent; w = w->parentWidget()) w->installEventFilter(this);
  } else {
    display_ = nullptr;
  }
}

QtVideoWindow::~QtVideoWindow() {
  UnregisterVideoPresenter(handle_);
}

void QtVideoWindow::Place(const VideoWindowPlacement& placement) {
  if (placement.move) {
    placement_ = Bounded(placement);
  } else {
    placement_.show = placement.show;
  }
  Apply();
  if (isVisible()) raise();
}

QRect QtVideoWindow::DisplayInView() const {
  QWidget* parent = parentWidget();
  if (!display_ || !parent) return QRect();
  QRect view = display_->rect();
  for (QWidget* w = display_; w != parent; w = w->parentWidget())
    view = w->geometry() & view.translated(w->pos());
  return view;
}

void QtVideoWindow::Apply() {
  QWidget* parent = parentWidget();
  if (!parent) return;
  const QPoint origin = display_ ? display_->mapTo(parent, QPoint(0, 0)) : QPoint(0, 0);
  const QRect place(origin + QPoint(placement_.x, placement_.y), QSize(placement_.width, placement_.height));
  setGeometry(place);
  // Without a display widget the parent's own clipping is all there is.
  const QRect shown = display_ ? DisplayInView() & place : place;
  if (!placement_.show || shown.isEmpty()) {
    hide();
    return;
  }
  if (shown == place)
    clearMask();
  else
    setMask(QRegion(shown.translated(-place.topLeft())));
  show();
}

bool QtVideoWindow::eventFilter(QObject* watched, QEvent* event) {
  if (placement_.move && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) Apply();
  return QWidget::eventFilter(watched, event);
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
