// The picture at the top of the home page.
#pragma once

#include <QPixmap>
#include <QWidget>

class QtConnectBanner : public QWidget {
  Q_OBJECT

 public:
  explicit QtConnectBanner(QWidget* parent = nullptr);

  QSize sizeHint() const override { return pixmap.size(); }
  QSize minimumSizeHint() const override { return pixmap.size(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap pixmap;
};
