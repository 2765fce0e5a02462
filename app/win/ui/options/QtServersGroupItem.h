// The widget on every row of the server-groups tree: a text (group name or
// server address) beside small clickable icons. It renames a group in an
// inline editor, starts the drag of a server row, shows where a drop will
// land, and reports to its page through signals that carry the opaque
// context the page gave it.
#pragma once

#include <QFrame>
#include <QIcon>
#include <QLineEdit>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>

class QDropEvent;
class QPainter;

struct GroupItemIcon {
  QIcon icons[2];  // the second may be null
  int32_t state = 0;
  int32_t mask = 0;  // segment bits: 1 first, 132 middle, 2 last
  QRect rect;        // where it was last drawn
};

class QtServersGroupItem : public QFrame {
  Q_OBJECT

 public:
  // Layout flags: which segment holds the text.
  static constexpr int kTextFirst = 1;
  static constexpr int kTextMiddle = 132;
  static constexpr int kTextLast = 2;
  // The mime format that names the dragged row: its context pointer, which
  // the page only compares with the contexts of rows that still exist.
  static const char kContextMimeType[];

  QtServersGroupItem(const QString& text, QWidget* parent = nullptr);
  ~QtServersGroupItem() override;

  void AddIcon(const QIcon& icon, int mask, const QIcon* second);
  void SetIconState(int index, int state);
  void SetReadOnly(bool readOnly) { editor.setReadOnly(readOnly); }
  void SetText(const QString& text) { editor.setText(text); }
  QString Text() const { return editor.text(); }
  void SetFlags(int flags) { layoutFlags = flags; }
  void SetContext(void* value) { context = value; }
  void* GetContext() const { return context; }
  void SetSelected(bool selected);
  void SetEditing(bool on);

  bool IsSelected() const { return selected != 0; }
  bool IsEditing() const { return editing != 0; }
  int DropIndicator() const { return dropIndicator; }
  QLineEdit* Editor() { return &editor; }
  QRect TextRect() const { return textRect; }
  int IconIndexAt(const QPoint& point) const;
  QRect IconRect(int index) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Set by the page.
  int32_t rightIconOffset = 0;
  int32_t draggable = 1;
  int32_t dropsInto = 0;

 signals:
  void Clicked(int Item, void* Context);
  void DBlClicked(void* Context, bool TextHit);
  void FinishedEdit(void* Context, QString& PrevText);
  void Droped(QPoint& direction, void* SenderContext, QDropEvent* DropEvent);

 private slots:
  void EditingFinished();

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  virtual void OnDoubleClick(QMouseEvent* event);

 private:
  // Draws the icons and places the text as the item shows them; returns
  // the text's x position.
  int LayOut(QPainter& painter, int rightOffset);
  void DrawIcons(QPainter& painter, int mask, int x);
  int IconsWidth(int mask) const;
  void StartDrag();

  QLineEdit editor;
  int32_t layoutFlags = kTextFirst;
  QRect textRect;
  int32_t editing = 0;
  QList<GroupItemIcon*> icons;
  int32_t contentHeight = 0;
  int32_t firstEditorPaint = 1;
  void* context = nullptr;
  int32_t dropIndicator = 0;
  int32_t pressedButton = 0;
  QPoint pressPosition;
  QString textBeforeEditing;
  int32_t selected = 0;
};
