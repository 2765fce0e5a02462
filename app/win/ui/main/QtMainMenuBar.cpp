#include "ui/main/QtMainMenuBar.h"

#include <QAction>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>

QtMainMenuBar::QtMainMenuBar(QWidget* parent)
    : QWidget(parent), group(new QButtonGroup(this)), row(new QHBoxLayout(this)), logo(new QLabel(this)) {
  setStyleSheet(
      "* {background-color: #FFFFFF;color: black;font-weight: normal;}"
      "QtMainMenuBar { background-clip: margin;border: 1px solid #797979;}"
      "QPushButton {padding: 3px;margin: 0px;border: 0px solid #797979;border-radius: 0;}"
      "QPushButton:hover,QPushButton:checked {background-color: #DBDBDB}");
  logo->setTextFormat(Qt::RichText);
  logo->setText(QStringLiteral("<a href=\"%1\"><img src=\":/vantorel24white.png\"></a>").arg(kMakerSite));
  logo->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  logo->setOpenExternalLinks(true);
  row->setContentsMargins(1, 1, 1, 1);
  row->addWidget(logo, 1, Qt::AlignRight);
  group->setExclusive(true);
}

QAction* QtMainMenuBar::AddAction(const QString& text, bool selected) {
  auto* action = new QAction(text, this);
  auto* button = new QPushButton(action->text(), this);
  button->setCheckable(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setMinimumWidth(style()->pixelMetric(QStyle::PM_DialogButtonsButtonWidth));
  button->setMinimumHeight(style()->pixelMetric(QStyle::PM_DialogButtonsButtonHeight));
  button->setChecked(selected);
  if (selected) currentButton = button;
  group->addButton(button);
  button->addAction(action);
  connect(button, SIGNAL(clicked()), this, SLOT(MenuItemSelectedSlot()));
  row->insertWidget(0, button);
  return action;
}

QPushButton* QtMainMenuBar::ButtonOf(QAction* action) const {
  for (QAbstractButton* button : group->buttons())
    if (button->actions().contains(action)) return static_cast<QPushButton*>(button);
  return nullptr;
}

void QtMainMenuBar::MenuItemSelectedSlot() {
  auto* button = qobject_cast<QPushButton*>(sender());
  if (button == nullptr) return;
  previousButton = currentButton;
  currentButton = button;
  if (!button->actions().isEmpty()) button->actions().first()->trigger();
}

void QtMainMenuBar::RevertSelection() {
  if (previousButton == nullptr) return;
  previousButton->setChecked(true);
  currentButton = previousButton;
  previousButton = nullptr;
}

void QtMainMenuBar::paintEvent(QPaintEvent*) {
  // Without this a plain QWidget subclass ignores its style sheet's
  // background and border.
  QStyleOption option;
  option.initFrom(this);
  QPainter painter(this);
  style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
