#include "ui/options/QtServersGroupItem.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

#include "sys/FixedText.h"
#include "ui/options/OptionsResources.h"

const char QtServersGroupItem::kContextMimeType[] = "application/x-pellum-group-item-context";

namespace {

const char kSelectedRule[] = "QFrame#QtServersGroupItem::selected";
const char kUnselectedRule[] = "QFrame#QtServersGroupItem::!selected";
const int kTextSegment = 125;
const int kEditorMaxWidth = 120;
const int kIconGap = 2;
const QSize kIconRequest(100, 100);

// The body of one rule of the application style sheet, looked up by its
// selector text.
QString StyleSheetRule(const QString& selector) {
  const QString sheet = qApp != nullptr ? qApp->styleSheet() : QString();
  int at = sheet.indexOf(selector);
  if (at < 0) return QString();
  int open = sheet.indexOf('{', at + selector.size());
  if (open < 0) return QString();
  int close = sheet.indexOf('}', open + 1);
  if (close < 0) return QString();
  return sheet.mid(open + 1, close - open - 1);
}

const QIcon& ShownIcon(const GroupItemIcon& icon) { return icon.icons[icon.state == 1 ? 1 : 0]; }

// -1, 0 or 1 as value lies before, on or after the middle of extent.
int Side(int value, int extent) {
  const int middle = extent / 2;
  return value == middle ? 0 : (value < middle ? -1 : 1);
}

}  // namespace

QtServersGroupItem::QtServersGroupItem(const QString& text, QWidget* parent) : QFrame(parent), editor(text, this) {
  InitOptionsResources();
  editor.setMaximumWidth(kEditorMaxWidth);
  editor.setMaxLength(static_cast<int>(kFieldTextMax));
  editor.hide();
  editor.installEventFilter(this);
  connect(&editor, SIGNAL(editingFinished()), this, SLOT(EditingFinished()));
  setObjectName("QtServersGroupItem");
  setStyleSheet(StyleSheetRule(kUnselectedRule));
  setFrameShape(QFrame::Box);
  setAutoFillBackground(true);
  setMouseTracking(true);
  setAcceptDrops(true);
}

QtServersGroupItem::~QtServersGroupItem() {
  ::operator delete(context);
  qDeleteAll(icons);
}

void QtServersGroupItem::AddIcon(const QIcon& icon, int mask, const QIcon* second) {
  GroupItemIcon* record = new GroupItemIcon();
  record->icons[0] = icon;
  if (second != nullptr) record->icons[1] = *second;
  record->mask = mask;
  icons.append(record);
  contentHeight = std::max(contentHeight, icon.actualSize(kIconRequest).height());
}

void QtServersGroupItem::SetIconState(int index, int state) {
  if (state != 0 && state != 1) return;
  if (index >= 0 && index < icons.size()) icons[index]->state = state;
}

void QtServersGroupItem::SetSelected(bool on) {
  if (on) {
    textBeforeEditing = editor.text();
    setStyleSheet(StyleSheetRule(kSelectedRule));
  } else {
    editing = 0;
    editor.hide();
    if (editor.text() != textBeforeEditing) emit FinishedEdit(context, textBeforeEditing);
    editor.setText(textBeforeEditing);
    setStyleSheet(StyleSheetRule(kUnselectedRule));
  }
  selected = on ? 1 : 0;
  repaint();
}

void QtServersGroupItem::SetEditing(bool on) {
  if (on) {
    editing = 1;
    textBeforeEditing = editor.text();
    editor.show();
    editor.move(editor.pos() + QPoint(1, 0));
    editor.setFocus();
  } else {
    editing = 0;
    editor.hide();
    if (editor.text() != textBeforeEditing) emit FinishedEdit(context, textBeforeEditing);
  }
}

void QtServersGroupItem::EditingFinished() {
  editor.hide();
  editing = 0;
  emit FinishedEdit(context, textBeforeEditing);
  // The page may have put another text into the editor.
  textBeforeEditing = editor.text();
}

bool QtServersGroupItem::event(QEvent* e) {
  switch (e->type()) {
    case QEvent::MouseButtonPress:
      mousePressEvent(static_cast<QMouseEvent*>(e));
      return true;
    case QEvent::MouseButtonRelease:
      mouseReleaseEvent(static_cast<QMouseEvent*>(e));
      return true;
    case QEvent::MouseButtonDblClick:
      OnDoubleClick(static_cast<QMouseEvent*>(e));
      return true;
    default:
      return QFrame::event(e);
  }
}

bool QtServersGroupItem::eventFilter(QObject* watched, QEvent* e) {
  if (watched != &editor) return false;
  switch (e->type()) {
    case QEvent::MouseButtonPress:
      emit Clicked(-1, context);
      return true;
    case QEvent::MouseButtonDblClick:
      return true;
    case QEvent::Paint:
      // The editor's first paint comes before the item has placed it.
      if (firstEditorPaint != 0) {
        firstEditorPaint = 0;
        return true;
      }
      return false;
    default:
      return false;
  }
}

void QtServersGroupItem::mousePressEvent(QMouseEvent* e) {
  if (pressedButton == 0) pressedButton = static_cast<int32_t>(e->button());
  pressPosition = e->pos();
}

void QtServersGroupItem::mouseReleaseEvent(QMouseEvent* e) {
  if (pressedButton != 0) pressedButton ^= static_cast<int32_t>(e->button());
  pressPosition = e->pos();
  // Last: the page may remove this row in its slot.
  emit Clicked(IconIndexAt(e->pos()), context);
}

void QtServersGroupItem::OnDoubleClick(QMouseEvent* e) { emit DBlClicked(context, textRect.contains(e->pos())); }

int QtServersGroupItem::IconIndexAt(const QPoint& point) const {
  for (int i = 0; i < icons.size(); ++i)
    if (icons[i]->rect.contains(point)) return i;
  return -1;
}

QRect QtServersGroupItem::IconRect(int index) const {
  return index >= 0 && index < icons.size() ? icons[index]->rect : QRect();
}

void QtServersGroupItem::mouseMoveEvent(QMouseEvent* e) {
  e->accept();
  if ((pressedButton & Qt::LeftButton) == 0 || IconIndexAt(pressPosition) >= 0 || draggable == 0) return;
  pressedButton = 0;
  StartDrag();
}

// The drop may remove this row, and its widget may be deleted while the
// drag runs: the drag belongs to the widget that holds the rows, and
// nothing of this item is touched once it has started.
void QtServersGroupItem::StartDrag() {
  QWidget* holder = parentWidget();
  if (holder == nullptr) return;
  QMimeData* mime = new QMimeData();
  mime->setText(editor.text());
  const quintptr identity = reinterpret_cast<quintptr>(context);
  mime->setData(kContextMimeType, QByteArray(reinterpret_cast<const char*>(&identity), sizeof identity));

  QPixmap picture(size());
  picture.fill(Qt::transparent);
  {
    QPainter painter(&picture);
    QPen previous = painter.pen();
    painter.setPen(QPen(QColor(200, 225, 190, 255), 5));
    painter.drawRoundedRect(QRect(0, 0, width() - 1, height() - 1), 5, 60, Qt::RelativeSize);
    painter.setPen(previous);
    const int textX = LayOut(painter, rightIconOffset);
    painter.setFont(editor.font());
    painter.drawText(textX, QFontMetrics(editor.font()).height() + 2, editor.text());
  }

  QDrag* drag = new QDrag(holder);
  drag->setMimeData(mime);
  drag->setPixmap(picture);
  drag->exec(Qt::MoveAction);
}

int QtServersGroupItem::LayOut(QPainter& painter, int rightOffset) {
  int textX = 5;
  int next;
  if (layoutFlags & kTextFirst) {
    textX = 5;
    next = kTextSegment;
  } else {
    DrawIcons(painter, kTextFirst, 5);
    next = IconsWidth(kTextFirst) + 5;
  }
  if (layoutFlags & kTextMiddle) {
    textX = next + 5;
    next += kTextSegment;
  } else {
    DrawIcons(painter, kTextMiddle, next + 5);
    next += IconsWidth(kTextMiddle);
  }
  if (layoutFlags & kTextLast) {
    textX = next + 5;
  } else {
    DrawIcons(painter, kTextLast, rightOffset + next + 5);
  }
  return textX;
}

void QtServersGroupItem::DrawIcons(QPainter& painter, int mask, int x) {
  for (GroupItemIcon* icon : icons) {
    if ((icon->mask & mask) == 0) continue;
    const QIcon& shown = ShownIcon(*icon);
    const QSize size = shown.actualSize(kIconRequest);
    icon->rect = QRect(QPoint(x, (contentHeight - size.height()) / 2),
                       QPoint(x + size.width(), (size.height() + contentHeight) / 2));
    shown.paint(&painter, QRect(icon->rect.topLeft(), size), Qt::AlignCenter, QIcon::Normal, QIcon::Off);
    x += size.width() + kIconGap;
  }
}

int QtServersGroupItem::IconsWidth(int mask) const {
  int width = 0;
  int matched = 0;
  for (const GroupItemIcon* icon : icons) {
    if ((icon->mask & mask) == 0) continue;
    if (matched++ > 0) width += kIconGap;
    width += ShownIcon(*icon).actualSize(kIconRequest).width();
  }
  return width;
}

void QtServersGroupItem::paintEvent(QPaintEvent* e) {
  QFrame::paintEvent(e);
  QPainter painter(this);
  QFont font = editor.font();
  font.setBold(selected != 0);
  painter.setFont(font);
  const QFontMetrics metrics(font);
  contentHeight = std::max(contentHeight, e->rect().height());

  const int textX = LayOut(painter, rightIconOffset);
  const int editorHeight = editor.sizeHint().height();
  const int height = std::max(contentHeight, editorHeight);
  editor.move(textX, (height - editorHeight) / 2 + 2);

  if (editing == 0) {
    const QString text = editor.text();
    const int advance = metrics.horizontalAdvance(text);
    const int textWidth = std::min(advance, kEditorMaxWidth);
    textRect = QRect(textX, (height - (3 * metrics.height()) / 4) / 2, textWidth, metrics.height());
    // The advance is rounded: eliding to it would cut texts that fit.
    const QString shown = advance > kEditorMaxWidth ? metrics.elidedText(text, Qt::ElideRight, kEditorMaxWidth) : text;
    style()->drawItemText(&painter, textRect, 0, editor.palette(), true, shown, QPalette::NoRole);
  }

  painter.setPen(QPen());
  switch (dropIndicator) {
    case 1:
      painter.drawLine(0, 0, width() - 1, 0);
      break;
    case -1:
      painter.drawLine(0, this->height() - 1, width() - 1, this->height() - 1);
      break;
    case 2:
      painter.drawLine(0, 0, width() - 1, 0);
      painter.drawLine(width() - 1, 0, width() - 1, this->height() - 1);
      painter.drawLine(width() - 1, this->height() - 1, 0, this->height() - 1);
      painter.drawLine(0, this->height() - 1, 0, 0);
      break;
    default:
      break;
  }
}

void QtServersGroupItem::moveEvent(QMoveEvent*) {}

void QtServersGroupItem::dragEnterEvent(QDragEnterEvent* e) { e->accept(); }

void QtServersGroupItem::dragMoveEvent(QDragMoveEvent* e) {
  e->accept();
  dropIndicator = dropsInto != 0 ? 2 : (e->pos().y() > height() / 2 ? -1 : 1);
  repaint();
}

void QtServersGroupItem::dragLeaveEvent(QDragLeaveEvent*) {
  dropIndicator = 0;
  repaint();
}

void QtServersGroupItem::dropEvent(QDropEvent* e) {
  QPoint direction(Side(e->pos().x(), width()), Side(e->pos().y(), height()));
  e->accept();
  dropIndicator = 0;
  repaint();
  emit Droped(direction, context, e);
}

QSize QtServersGroupItem::minimumSizeHint() const {
  int width = 0;
  int iconHeight = 0;
  int widest = 0;
  for (const GroupItemIcon* icon : icons) {
    for (const QIcon& each : icon->icons) {
      if (each.isNull()) continue;
      const QSize size = each.actualSize(kIconRequest);
      widest = std::max(widest, size.width());
      iconHeight = std::max(iconHeight, size.height());
    }
    width += widest + 5;
  }
  return QSize(width + 135, std::max(iconHeight, editor.sizeHint().height()) + 4);
}

QSize QtServersGroupItem::sizeHint() const { return minimumSizeHint(); }
