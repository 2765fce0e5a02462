#include "ui/SessionWindowInput.h"

#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>
#include <algorithm>

#include "pelplat/winuser.h"
#include "ui/QtRdpWindow.h"
#include "ui/QtSessionWindowHost.h"

int32_t PointerButtons(Qt::MouseButtons buttons) {
  int32_t word = 0;
  if (buttons & Qt::LeftButton) word |= 1;
  if (buttons & Qt::RightButton) word |= 2;
  if (buttons & Qt::MiddleButton) word |= 4;
  if (buttons & Qt::XButton1) word |= 8;
  if (buttons & Qt::XButton2) word |= 16;
  return word;
}

int32_t GetLockKeyState() {
  int32_t bits = 0;
  if (GetKeyState(VK_SCROLL) & 1) bits |= 1;
  if (GetKeyState(VK_NUMLOCK) & 1) bits |= 2;
  if (GetKeyState(VK_CAPITAL) & 1) bits |= 4;
  return bits;
}

void SendPointerRecord(int x, int y, int32_t buttons, int displayIndex, int moveFlag,
                       const IQtWindowPorts& ports) {
  if (ISessionInputPort* input = ports.Input()) {
    input->ForwardPointerInput(std::max(x, 0), std::max(y, 0), buttons, 0, 0, moveFlag, displayIndex);
  }
}

QWidget* RoutePointerEvent(QWidget* widget, int displayIndex, QMouseEvent* event, int moveFlagEnable,
                           const IQtWindowPorts& ports) {
  IQtPointerDisplay* pointer = ports.Pointer();
  const int moveFlag = moveFlagEnable && event->type() == QEvent::MouseMove ? 1 : 0;
  const int32_t buttons = PointerButtons(event->buttons());
  const QPoint position = event->pos();
  QtSessionWindowHost* host = GetSessionWindowHost();
  QtRdpWindow* under = nullptr;
  if (!widget->rect().contains(position) && host) under = host->FindSessionWindowAt(event->globalPos());
  if (!under) {
    if (pointer) pointer->SetPointerDisplay(-1);
    SendPointerRecord(position.x(), position.y(), buttons, displayIndex, moveFlag, ports);
    return nullptr;
  }
  // The pointer left this display for another one: the record carries the
  // position on that display.
  QWidget* display = under->DisplayWidget();
  const QPoint mapped = display->mapFromGlobal(event->globalPos());
  if (pointer) pointer->SetPointerDisplay(under->DisplayIndex());
  SendPointerRecord(mapped.x(), mapped.y(), buttons, under->DisplayIndex(), moveFlag, ports);
  return under;
}

namespace {

void ForwardWheel(int displayIndex, QWheelEvent* event, const IQtWindowPorts& ports) {
  ISessionInputPort* input = ports.Input();
  const QPoint position = event->position().toPoint();
  const uint16_t delta = uint16_t(int16_t(event->angleDelta().y()));
  const int32_t word = int32_t(uint32_t(delta) << 16) | PointerButtons(event->buttons());
  if (input) input->ForwardPointerInput(position.x(), position.y(), word, 0, 0, 0, displayIndex);
  event->accept();
}

}  // namespace

bool ForwardMouseEvent(QWidget* widget, int displayIndex, QEvent* event, int moveFlagEnable,
                       const IQtWindowPorts& ports) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      SendPointerRecord(mouse->x(), mouse->y(), PointerButtons(mouse->buttons()), displayIndex, 0, ports);
      return true;
    }
    case QEvent::MouseButtonRelease: {
      QWidget* hit = RoutePointerEvent(widget, displayIndex, static_cast<QMouseEvent*>(event),
                                       moveFlagEnable, ports);
      if (IQtPointerDisplay* pointer = ports.Pointer()) pointer->SetPointerDisplay(-1);
      if (hit) {
        hit->setFocus();
        hit->activateWindow();
        hit->raise();
      }
      return true;
    }
    case QEvent::MouseMove:
      RoutePointerEvent(widget, displayIndex, static_cast<QMouseEvent*>(event), moveFlagEnable, ports);
      return true;
    case QEvent::Wheel:
      ForwardWheel(displayIndex, static_cast<QWheelEvent*>(event), ports);
      return true;
    case QEvent::FocusIn:
      if (QtSessionWindowHost* host = GetSessionWindowHost()) host->RaiseSessionWindows(displayIndex);
      return false;
    default:
      return false;
  }
}
