// A page button of the options window. The checked one is drawn as an
// arrow that points at the page shown.
#pragma once

#include <QPushButton>

class CSettingButton : public QPushButton {
  Q_OBJECT

 public:
  CSettingButton(const QString& text, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
