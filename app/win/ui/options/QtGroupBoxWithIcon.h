// The frame around every option page's content: a rounded group box whose
// icon sits in a gap of the top border, left of the title.
#pragma once

#include <QGroupBox>
#include <QPixmap>

class QtGroupBoxWithIcon : public QGroupBox {
  Q_OBJECT

 public:
  QtGroupBoxWithIcon(const QString& title, const QString& iconPath, QWidget* parent = nullptr);

  // The style sheet that leaves room for an icon of that size.
  static QString StyleFor(const QSize& iconSize);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap icon;
};
