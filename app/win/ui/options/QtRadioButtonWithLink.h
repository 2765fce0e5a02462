// A radio button with flat link buttons at the right end of its row. Its
// text is shortened in the middle so that it never runs under the links.
#pragma once

#include <QList>
#include <QRadioButton>
#include <QSignalMapper>

class QPushButton;

class QtRadioButtonWithLink : public QRadioButton {
  Q_OBJECT

 public:
  QtRadioButtonWithLink(const QString& text, const QString& linkText, QWidget* parent = nullptr);
  ~QtRadioButtonWithLink() override;

  // A further link, also followed by the key while the button has focus.
  void AddLink(const QString& text, int key);
  QList<QPushButton*> Links() const { return links; }

 signals:
  void LinkClicked(QString text, QString link);
  void Checked(QString text);

 private slots:
  void linkButtonClicked(const QString& link);
  void btnToggled(bool checked);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void Init(const QString& linkText);
  QPushButton* CreateLink(const QString& text);

  QList<QPushButton*> links;
  QSignalMapper mapper;
};
