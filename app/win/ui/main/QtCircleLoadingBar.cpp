#include "ui/main/QtCircleLoadingBar.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdint>

QtCircleLoadingBar::QtCircleLoadingBar(QWidget* parent) : QWidget(parent) { resize(kSide, kSide); }

void QtCircleLoadingBar::Reset() {
  position = 0;
  maximum = 0;
  value = 0;
}

void QtCircleLoadingBar::Advance(int newValue) {
  if (maximum <= 0) {
    position = (position + 1) % dotCount;
  } else {
    value = std::min(newValue, maximum);
    // In 64 bits: the product overflows an int for values past a quarter
    // billion.
    position = static_cast<int>(static_cast<int64_t>(dotCount) * value / maximum);
  }
  update();
}

QSize QtCircleLoadingBar::sizeHint() const { return QSize(kSide, kSide); }

QSize QtCircleLoadingBar::minimumSizeHint() const { return QSize(kSide, kSide); }

void QtCircleLoadingBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  const double r = std::min(kSide, kSide) / 2.0 - dotRadius - 1;
  const double centreX = width() / 2.0;
  const double centreY = height() / 2.0;
  const QBrush base(QColor(220, 220, 220, 255));
  for (int i = 0; i < dotCount; ++i) {
    QBrush brush = base;
    if (maximum < 1) {
      const double alpha = (1.0 - static_cast<double>(i) / fadeLength) * 255.0;
      if (alpha >= 0.1) brush = QBrush(QColor(93, 93, 93, static_cast<int>(alpha)));
    } else if (position >= i) {
      brush = QBrush(QColor(93, 93, 93, 255));
    }
    const double angle = (i - position) * 2.0 * M_PI / dotCount;
    painter.setBrush(brush);
    painter.drawEllipse(QRectF(centreX - std::sin(angle) * r - dotRadius, centreY - std::cos(angle) * r - dotRadius,
                               2.0 * dotRadius, 2.0 * dotRadius));
  }
}
