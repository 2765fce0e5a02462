#include "ui/main/QtServersListWidget.h"

#include <QMouseEvent>
#include <QResizeEvent>
#include <QToolTip>
#include <cmath>

#include "ui/main/QtCircleLoadingBar.h"

QtServersListWidget::QtServersListWidget(QWidget* parent) : QListWidget(parent), spinner(new QtCircleLoadingBar(this)) {
  spinner->raise();
  spinner->hide();
  setMouseTracking(true);
  installEventFilter(this);
}

void QtServersListWidget::StartProgress(int steps) {
  spinner->Reset();
  spinner->SetMaximum(steps);
  spinner->Advance(0);
  spinner->show();
  idle = false;
}

void QtServersListWidget::StepProgress(int position) { spinner->Advance(position); }

void QtServersListWidget::FinishProgress() {
  spinner->hide();
  idle = true;
}

bool QtServersListWidget::eventFilter(QObject* watched, QEvent* event) {
  // Tool tips are shown by the mouse-move handler, at once.
  if (watched == this && event->type() == QEvent::ToolTip) return true;
  return QListWidget::eventFilter(watched, event);
}

void QtServersListWidget::mouseMoveEvent(QMouseEvent* event) {
  if (QListWidgetItem* item = itemAt(event->pos())) {
    emit itemEntered(item);
    const QString tip = item->toolTip();
    if (tip.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(event->globalPos(), tip, this);
  }
  QListWidget::mouseMoveEvent(event);
}

void QtServersListWidget::resizeEvent(QResizeEvent* event) {
  QListWidget::resizeEvent(event);
  const QSize hint = spinner->sizeHint();
  const int x = static_cast<int>(std::lround(event->size().width() / 2.0)) -
                static_cast<int>(std::lround(hint.width() / 2.0));
  const int y = static_cast<int>(std::lround(event->size().height() / 2.0)) -
                static_cast<int>(std::lround(hint.height() / 2.0));
  spinner->setGeometry(x, y, hint.width(), hint.height());
}
