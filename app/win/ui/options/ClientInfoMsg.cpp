#include "ui/options/ClientInfoMsg.h"

#include <QPainter>

ClientInfoMsg::ClientInfoMsg(QWidget* parent) : QFrame(parent) {
  setObjectName("QtInfoMsg");
  hide();
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setAutoFillBackground(true);
  setFrameShape(QFrame::Box);
  timer.setInterval(3000);
  connect(&timer, SIGNAL(timeout()), this, SLOT(animate()));
}

void ClientInfoMsg::SetText(const QString& value) {
  text = value;
  update();
}

void ClientInfoMsg::show() {
  QFontMetrics metrics = fontMetrics();
  int width = metrics.horizontalAdvance(text) + 20;
  int height = metrics.height() + 10;
  setFixedSize(width, height);
  if (parentWidget() != nullptr) move((parentWidget()->width() - width) / 2, 0);
  QFrame::show();
  timer.start();
}

void ClientInfoMsg::animate() {
  timer.stop();
  hide();
}

void ClientInfoMsg::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.setPen(QColor(0, 0, 0, 255));
  painter.drawText(10, fontMetrics().height(), text);
}
