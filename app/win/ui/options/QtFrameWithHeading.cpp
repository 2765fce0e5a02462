#include "ui/options/QtFrameWithHeading.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

QtFrameWithHeading::QtFrameWithHeading() : QWidget(nullptr) { SetupUi(); }

void QtFrameWithHeading::SetupUi() {
  headingRow = new QHBoxLayout();
  headingFrame = new QFrame();
  headingFrame->setObjectName("FrameHeading");
  headingFrame->setLayout(headingRow);
  headingFrame->setStyleSheet("* { background-color: #F7F7F7; }QFrame#FrameHeading {border: 1px solid #A9A9A9;}");
  mainLayout = new QVBoxLayout();
  mainLayout->setContentsMargins(0, 0, 0, 0);
  mainLayout->setSpacing(0);
  mainLayout->addWidget(headingFrame);
  setLayout(mainLayout);
}

void QtFrameWithHeading::AddHeadingWidget(QWidget* widget) { headingRow->addWidget(widget); }

void QtFrameWithHeading::AddHeadingStretch() { headingRow->addStretch(0); }

void QtFrameWithHeading::AddMainWidget(QWidget* widget) {
  if (widget->objectName().isEmpty()) widget->setObjectName("MainFrame");
  widget->setStyleSheet(
      QString("QFrame#%1 {border-width: 0px 1px 1px 1px;border-style: solid;border-color: #A9A9A9}")
          .arg(widget->objectName()));
  mainLayout->addWidget(widget);
}
