#include "ui/main/QtConnectBanner.h"

#include <QPaintEvent>
#include <QPainter>

#include "ui/main/MainResources.h"

QtConnectBanner::QtConnectBanner(QWidget* parent) : QWidget(parent) {
  InitMainResources();
  pixmap.load(":/connect_banner.png");
  setGeometry(0, 0, pixmap.width(), pixmap.height());
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void QtConnectBanner::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.drawPixmap(event->rect(), pixmap, event->rect());
}
