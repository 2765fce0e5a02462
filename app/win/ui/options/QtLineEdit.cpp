#include "ui/options/QtLineEdit.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

QtLineEdit::QtLineEdit(QWidget* parent) : QLineEdit(parent) {}

void QtLineEdit::setPlaceholderText(const QString& text) {
  if (placeholder == text) return;
  placeholder = text;
  if (!hasFocus()) update();
}

void QtLineEdit::paintEvent(QPaintEvent* event) {
  QLineEdit::paintEvent(event);
  if (!text().isEmpty() || hasFocus() || placeholder.isEmpty()) return;

  QPainter painter(this);
  QStyleOptionFrame option;
  initStyleOption(&option);
  QRect content = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  content = content.marginsRemoved(textMargins());
  painter.setClipRect(content);

  QFontMetrics metrics = fontMetrics();
  int y;
  Qt::Alignment vertical = QStyle::visualAlignment(layoutDirection(), alignment()) & Qt::AlignVertical_Mask;
  if (vertical == Qt::AlignTop) {
    y = content.y() + 1;
  } else if (vertical == Qt::AlignBottom) {
    y = content.y() + content.height() - metrics.height() - 1;
  } else {
    y = content.y() + (content.height() - metrics.height() + 1) / 2;
  }
  QRect line(content.x() + 2, y, content.width() - 4, metrics.height());
  if (metrics.minLeftBearing() < 0) line.setLeft(line.left() - metrics.minLeftBearing());

  QColor color = palette().color(QPalette::Text);
  color.setAlpha(128);
  QFont italic = font();
  italic.setItalic(true);
  painter.setPen(color);
  painter.setFont(italic);
  painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(italic).elidedText(placeholder, Qt::ElideRight, line.width()));
}
