#include "ui/options/QtGroupBoxWithIcon.h"

#include <QPainter>

#include "ui/options/OptionsResources.h"
QtGroupBoxWithIcon::QtGroupBoxWithIcon(const QString& title, const QString& iconPath, QWidget* parent)
    : QGroupBox(title, parent) {
  InitOptionsResources();
  icon.load(iconPath);
  setStyleSheet(StyleFor(icon.size()));
}

QString QtGroupBoxWithIcon::StyleFor(const QSize& iconSize) {
  return QString(
             "QGroupBox { margin-top: %1px;border-radius: 10px;border: 2px solid #A9A9A9;font:16px;padding: 15; }"
             "QGroupBox::title {left: %2px;subcontrol-origin: border;padding: 5px;top: -15px;}")
      .arg(iconSize.height() / 2 + 1)
      .arg(iconSize.width() + 35);
}

void QtGroupBoxWithIcon::paintEvent(QPaintEvent* event) {
  QGroupBox::paintEvent(event);
  QPainter painter(this);
  // Clears the border behind the icon so that the icon interrupts it.
  painter.fillRect(QRect(15, 0, icon.width() + 35 - 15, icon.height()), painter.background());
  painter.drawPixmap(25, 0, icon);
}
