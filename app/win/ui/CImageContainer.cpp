#include "ui/CImageContainer.h"

#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include "display/SurfaceKeeper.h"
#include "qt/QtWindowPorts.h"
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

CImageContainer::CImageContainer(int displayIndex, QWidget* parent, const IQtWindowPorts& ports)
    : QWidget(parent), displayIndex_(displayIndex), ports_(ports) {
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool CImageContainer::event(QEvent* event) {
  if (ForwardMouseEvent(this, displayIndex_, event, 0, ports_)) return true;
  return QWidget::event(event);
}

void CImageContainer::paintEvent(QPaintEvent* event) {
  if (ISessionStatus* session = ports_.Session()) session->OnDisplayPainted();
  const QRect area = event->rect();
  QPainter painter(this);
  // Opaque painting: what the surface does not cover must still be drawn.
  QRegion uncovered(area);
  {
    IQtDisplayFrames* frames = ports_.Frames();
    QtDisplayFrameHold hold(frames, displayIndex_);
    if (hold.surface()) {
      if (const QImage* image = frames->DisplayImage(displayIndex_)) {
        const QRect drawn = area & image->rect();
        painter.drawImage(drawn, OpaqueView(*image), drawn);
        uncovered -= drawn;
      }
    }
  }
  for (const QRect& rect : uncovered) painter.fillRect(rect, Qt::black);
}
