// A ring of dots: a turning spinner while the maximum is 0 or less, a
// progress ring (dots up to the position dark) above that.
#pragma once

#include <QWidget>

class QtCircleLoadingBar : public QWidget {
  Q_OBJECT

 public:
  explicit QtCircleLoadingBar(QWidget* parent = nullptr);

  void Reset();
  void SetMaximum(int value) { maximum = value; }
  // Spinner: the leading dot moves on by one. Progress: the value (cut to
  // the maximum) sets how many dots are dark.
  void Advance(int value);

  int Position() const { return position; }
  int Maximum() const { return maximum; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  static constexpr int kSide = 72;

  int dotCount = 8;
  int fadeLength = 5;
  int dotRadius = 8;
  int position = 0;
  int maximum = 0;
  int value = 0;
};
