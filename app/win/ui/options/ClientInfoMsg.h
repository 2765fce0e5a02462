// A short confirmation shown at the top centre of its parent that hides
// itself after three seconds.
#pragma once

#include <QFrame>
#include <QString>
#include <QTimer>

class ClientInfoMsg : public QFrame {
  Q_OBJECT

 public:
  explicit ClientInfoMsg(QWidget* parent = nullptr);

  void SetText(const QString& text);
  QString Text() const { return text; }

 public slots:
  // Used in place of QWidget::show: sizes the banner to its text and
  // (re)starts the three seconds.
  virtual void show();
  void animate();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text;
  QTimer timer;
};
