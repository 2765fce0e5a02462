#include "ui/options/CSettingButton.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QStyleOptionButton>

namespace {
// The button body ends here; the checked button's point reaches kTipX.
const int kBodyWidth = 160;
const int kTipX = 190;
const int kHeight = 40;
}  // namespace

CSettingButton::CSettingButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setMaximumSize(200, 40);
  setCheckable(true);
  setAutoExclusive(true);
  setObjectName("OptionButton");
}

QSize CSettingButton::sizeHint() const { return QSize(175, 40); }

QSize CSettingButton::minimumSizeHint() const { return QSize(175, 40); }

void CSettingButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(169, 169, 169), 1));
  QStyleOptionButton option;
  initStyleOption(&option);
  if (isChecked()) {
    QPolygon arrow;
    arrow << QPoint(0, 0) << QPoint(kBodyWidth, 0) << QPoint(kTipX, kHeight / 2) << QPoint(kBodyWidth, kHeight)
          << QPoint(0, kHeight);
    QPainterPath clip;
    clip.addPolygon(arrow);
    painter.setClipPath(clip);
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
    painter.setPen(QPen(QColor(169, 169, 169), 1));
    painter.drawLine(kBodyWidth - 1, 0, kTipX - 1, kHeight / 2);
    painter.drawLine(kTipX - 1, kHeight / 2, kBodyWidth - 1, kHeight);
  } else {
    painter.setClipRect(QRect(0, 0, kBodyWidth, kHeight));
    option.rect.setWidth(kBodyWidth);
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
  }
}
