// A scroll area that asks for a little more room than its widget needs, so
// that the summary rows fit without a scroll bar where there is space.
#pragma once

#include <QScrollArea>

class QtScrollArea : public QScrollArea {
  Q_OBJECT

 public:
  explicit QtScrollArea(QWidget* parent = nullptr) : QScrollArea(parent) {}

  QSize sizeHint() const override;
};
