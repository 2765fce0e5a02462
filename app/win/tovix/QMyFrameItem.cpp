#include "tovix/QMyFrameItem.h"

#include <QFontMetrics>
#include <QMediaPlayer>
#include <QPainter>

QMyFrameItem::QMyFrameItem() = default;

QMyFrameItem::~QMyFrameItem() = default;

QRectF QMyFrameItem::boundingRect() const { return QRectF(0, 0, size_.width(), size_.height()); }

void QMyFrameItem::setSize(const QSizeF& size) {
  if (size == size_) return;
  prepareGeometryChange();
  size_ = size;
}

void QMyFrameItem::setBufferPercent(int32_t percent) {
  bufferPercent_ = percent;
  if (percent == 100) fullyBuffered_ = 1;
}

void QMyFrameItem::setImage(const QImage& image) {
  if (image.isNull()) {
    image_.reset();
  } else {
    image_.reset(new QImage(image));
  }
}

QString QMyFrameItem::overlayText() const {
  switch (mediaStatus_) {
    case QMediaPlayer::UnknownMediaStatus:
    case QMediaPlayer::NoMedia:
    case QMediaPlayer::LoadingMedia:
      return QStringLiteral(" TOVIX:wait..");
    case QMediaPlayer::EndOfMedia:
      return QStringLiteral(" TOVIX:end..");
    default:
      if (bufferPercent_ < 100) return QStringLiteral(" TOVIX:%1% ").arg(bufferPercent_);
      return QString();
  }
}

void QMyFrameItem::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
  const QRectF rect = boundingRect();
  if (image_) {
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter->drawImage(rect, *image_);
  }
  const QString text = overlayText();
  if (text.isEmpty()) return;
  const bool buffering = mediaStatus_ != QMediaPlayer::UnknownMediaStatus && mediaStatus_ != QMediaPlayer::NoMedia &&
                         mediaStatus_ != QMediaPlayer::LoadingMedia && mediaStatus_ != QMediaPlayer::EndOfMedia;
  if (!buffering || !fullyBuffered_) painter->fillRect(rect, Qt::black);
  const QFontMetrics metrics(painter->font());
  const int width = metrics.horizontalAdvance(text);
  const int height = metrics.height();
  painter->setPen(QColor("#FFFFFF"));
  painter->fillRect(QRect(8, 8, width, height + 2), Qt::blue);
  painter->drawText(QPoint(8, height + 8), text);
}
