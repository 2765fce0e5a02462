#include "ui/options/QtRadioButtonWithLink.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace {
const char kShortcutProperty[] = "VRLINK_shortcut";
const int kLinkGap = 5;
}  // namespace

QtRadioButtonWithLink::QtRadioButtonWithLink(const QString& text, const QString& linkText, QWidget* parent)
    : QRadioButton(text, parent) {
  mapper.setParent(this);
  connect(&mapper, SIGNAL(mapped(const QString&)), this, SLOT(linkButtonClicked(const QString&)));
  Init(linkText);
  setAutoFillBackground(true);
}

QtRadioButtonWithLink::~QtRadioButtonWithLink() = default;

QPushButton* QtRadioButtonWithLink::CreateLink(const QString& text) {
  QPushButton* link = new QPushButton(text, this);
  link->setObjectName("LinkButton");
  link->setFlat(true);
  link->setCursor(Qt::PointingHandCursor);
  links.append(link);
  connect(link, SIGNAL(clicked()), &mapper, SLOT(map()));
  mapper.setMapping(link, text);
  return link;
}

void QtRadioButtonWithLink::Init(const QString& linkText) {
  setObjectName("QtRadioButtonWithLink");
  CreateLink(linkText);
  connect(this, SIGNAL(toggled(bool)), this, SLOT(btnToggled(bool)));
}

void QtRadioButtonWithLink::AddLink(const QString& text, int key) {
  QPushButton* link = CreateLink(text);
  link->setProperty(kShortcutProperty, QKeySequence(key).toString(QKeySequence::PortableText));
}

void QtRadioButtonWithLink::btnToggled(bool checked) {
  if (checked) emit Checked(text());
}

void QtRadioButtonWithLink::linkButtonClicked(const QString& link) { emit LinkClicked(text(), link); }

void QtRadioButtonWithLink::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
  const QString pressed = QKeySequence(event->key()).toString(QKeySequence::PortableText);
  // Every link with that key fires. A key without a name matches no link:
  // the first link has no key, and its missing property reads as empty.
  for (QPushButton* link : links)
    if (!pressed.isEmpty() && pressed == link->property(kShortcutProperty).toString())
      emit LinkClicked(text(), link->text());
  QAbstractButton::keyPressEvent(event);
}

void QtRadioButtonWithLink::paintEvent(QPaintEvent*) {
  int x = 0;
  int height = 0;
  QList<int> rightEdges;
  for (QPushButton* link : links) {
    QFontMetrics metrics(link->font());
    const int width = 2 * metrics.horizontalAdvance(link->text());
    height = std::max(height, metrics.height());
    link->setMaximumSize(width, height);
    rightEdges.append(x + width);
    x += width + kLinkGap;
  }

  QWidget* parent = parentWidget();
  const int parentWidth = parent != nullptr ? parent->width() : width();
  const int parentLeft = parent != nullptr ? parent->x() : 0;
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text = fontMetrics().elidedText(text(), Qt::ElideMiddle, parentWidth - x - parentLeft);
  QPainter painter(this);
  style()->drawControl(QStyle::CE_RadioButton, &option, &painter, this);

  for (int j = 0; j < links.size(); ++j) links[j]->move(parentWidth - rightEdges[j], 0);
}
