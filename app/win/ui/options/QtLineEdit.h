// A line edit that paints its own placeholder: italic, half transparent,
// and only while the field is empty and has no focus.
#pragma once

#include <QLineEdit>

class QtLineEdit : public QLineEdit {
  Q_OBJECT
  Q_PROPERTY(QString placeholderText READ placeholderText WRITE setPlaceholderText)

 public:
  explicit QtLineEdit(QWidget* parent = nullptr);

  QString placeholderText() const { return placeholder; }
  void setPlaceholderText(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString placeholder;
};
