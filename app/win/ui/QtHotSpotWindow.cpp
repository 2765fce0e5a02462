#include "ui/QtHotSpotWindow.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainterPath>
#include <QPushButton>
#include <QRegion>
#include <QVBoxLayout>

#include "ui/QtRdpWindow.h"
#include "ui/QtSessionWindowHost.h"
#include "ui/SessionWindowResources.h"
#include "ui/StyleSheetBlock.h"

namespace {
const char kGeneralRule[] = "QPushButton::hotspot:general";
const char kHoverRule[] = "QPushButton::hotspot:generalHover";
}  // namespace

QtHotSpotWindow::QtHotSpotWindow(QtRdpWindow* sessionWindow, Qt::WindowFlags flags)
    : QWidget(sessionWindow, flags), window_(sessionWindow) {
  InitSessionWindowResources();
  setStyleSheet("background-color: rgba(130, 150, 200, 128);border-radius: 1;");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* body = new QGroupBox(this);
  outer->addWidget(body);
  auto* row = new QHBoxLayout(body);
  row->setContentsMargins(10, 5, 10, 5);
  row->setSpacing(5);

  pinButton_ = AddButton(":/pin", tr("Show/Hide"));
  optimizeButton_ = AddButton(":/optimize", tr("Maximize"));
  optimizeButton_->setToolTip(tr("Right Ctrl+F"));
  exitButton_ = AddButton(":/endsession", tr("Disconnect"));
  for (QPushButton* button : {pinButton_, optimizeButton_, exitButton_}) row->addWidget(button);
  connect(pinButton_, SIGNAL(clicked()), this, SLOT(on_buttonPin_switch()));
  connect(optimizeButton_, SIGNAL(clicked()), this, SLOT(on_buttonOptimize_click()));
  connect(exitButton_, SIGNAL(clicked()), this, SLOT(on_buttonExit_close()));

  setFixedSize(row->sizeHint().width(), kHeight);
  setWindowOpacity(0.1);
  QPainterPath rounded;
  rounded.addRoundedRect(QRectF(rect()), 5, 5);
  setMask(QRegion(rounded.toFillPolygon().toPolygon()));
  setMouseTracking(true);
  hide();
}

QPushButton* QtHotSpotWindow::AddButton(const char* icon, const QString& text) {
  auto* button = new QPushButton(QIcon(icon), text);
  button->setIconSize(QSize(16, 16));
  button->setCursor(Qt::PointingHandCursor);
  button->setStyleSheet(StyleSheetBlock(kGeneralRule));
  return button;
}

int QtHotSpotWindow::CentredX() const { return window_->width() / 2 - width() / 2; }

void QtHotSpotWindow::SlideTo(int y) {
  moving_ = true;
  const int step = y > offset_ ? 1 : -1;
  while (offset_ != y) {
    offset_ += step;
    move(CentredX(), offset_);
    repaint();
  }
  moving_ = false;
}

void QtHotSpotWindow::enterEvent(QEvent* event) {
  QWidget::enterEvent(event);
  if (shown_ || moving_) return;
  SlideTo(0);
  shown_ = true;
}

void QtHotSpotWindow::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  if (!shown_ || pinned_ || moving_) return;
  SlideTo(kHiddenY);
  shown_ = false;
}

void QtHotSpotWindow::Place(int) {
  offset_ = pinned_ ? 0 : kHiddenY;
  shown_ = pinned_;
  move(CentredX(), offset_);
  UpdateMaximizeText();
  show();
  raise();
}

void QtHotSpotWindow::UpdateMaximizeText() {
  optimizeButton_->setText(window_->isFullScreen() ? tr("Window") : tr("Fullscreen"));
}

void QtHotSpotWindow::on_buttonPin_switch() {
  pinFlags_ = pinned_ ? Qt::WindowFlags() : pinFlags_ | Qt::WindowStaysOnTopHint;
  setWindowFlags(pinFlags_);
  pinned_ = !pinned_;
  pinButton_->setStyleSheet(StyleSheetBlock(pinned_ ? kHoverRule : kGeneralRule));
  // New window flags hide a widget.
  move(CentredX(), offset_);
  show();
  raise();
}

void QtHotSpotWindow::on_buttonOptimize_click() {
  // The window's own Ctrl+F shortcut consumes the key.
  QKeyEvent key(QEvent::KeyPress, Qt::Key_F, Qt::ControlModifier,
                QStringLiteral("Optimize Terminal window size"));
  QCoreApplication::sendEvent(window_, &key);
  if (QtSessionWindowHost* host = GetSessionWindowHost()) host->ToggleFullScreen();
  UpdateMaximizeText();
}

void QtHotSpotWindow::on_buttonExit_close() { window_->close(); }
