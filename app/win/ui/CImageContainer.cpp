#include "ui/CImageContainer.h"

#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include "display/SurfaceKeeper.h"
#include "qt/QtSystemApi.h"
#include "ui/SessionWindowInput.h"

namespace {

// The desktop is opaque whatever the fourth byte of a pixel holds (servers
// send it as 0): 32-bit surfaces are painted through a view that ignores it,
// without copying the pixels.
QImage OpaqueView(const QImage& image) {
  if (image.format() != QImage::Format_RGBA8888) return image;
  return QImage(image.constBits(), image.width(), image.height(), image.bytesPerLine(),
                QImage::Format_RGBX8888);
}

}  // namespace

CImageContainer::CImageContainer(int displayIndex, QWidget* parent)
    : QWidget(parent), displayIndex_(displayIndex) {
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool CImageContainer::event(QEvent* event) {
  if (ForwardMouseEvent(this, displayIndex_, event, 0)) return true;
  return QWidget::event(event);
}

void CImageContainer::paintEvent(QPaintEvent* event) {
  CQtSystemApi* api = CQtSystemApi::Instance();
  if (api) api->OnDisplayPainted();
  const QRect area = event->rect();
  QPainter painter(this);
  // Opaque painting: what the surface does not cover must still be drawn.
  QRegion uncovered(area);
  ISurfaceKeeper* surface = api ? api->LockFrameBuffer(displayIndex_) : nullptr;
  if (surface) {
    if (const QImage* image = api->DisplayImage(displayIndex_)) {
      const QRect drawn = area & image->rect();
      painter.drawImage(drawn, OpaqueView(*image), drawn);
      uncovered -= drawn;
    }
    api->UnlockFrameBuffer(surface);
  }
  for (const QRect& rect : uncovered) painter.fillRect(rect, Qt::black);
}
