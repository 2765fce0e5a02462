// Local pointer input on its way to the session, and the lock-key state that
// goes with every key record. Used by the display widgets of the session
// windows, on the GUI thread.
#pragma once

#include <Qt>
#include <cstdint>

#include "qt/QtLiveWindowPorts.h"

class QEvent;
class QMouseEvent;
class QWidget;

// Handles the pointer events of a display widget (press, double-click,
// release, move, wheel; focus-in raises the session windows and answers
// false). moveFlagEnable marks moves for the paced sender. False for
// events left to the widget. The records go to the ports' input.
bool ForwardMouseEvent(QWidget* widget, int displayIndex, QEvent* event, int moveFlagEnable,
                       const IQtWindowPorts& ports = LiveSystemApiPorts());

// Sends a release or move to the session: as it is when it lies inside the
// widget or over no session window, else mapped into the display of the
// session window under it, which is answered.
QWidget* RoutePointerEvent(QWidget* widget, int displayIndex, QMouseEvent* event, int moveFlagEnable,
                           const IQtWindowPorts& ports = LiveSystemApiPorts());

// One pointer record, negative coordinates clamped to 0.
void SendPointerRecord(int x, int y, int32_t buttons, int displayIndex, int moveFlag,
                       const IQtWindowPorts& ports = LiveSystemApiPorts());

// Buttons word of a pointer record: 1 left, 2 right, 4 middle, 8 and 16 the
// extra buttons.
int32_t PointerButtons(Qt::MouseButtons buttons);

// Scroll Lock 1, Num Lock 2, Caps Lock 4, for the toggled keys.
int32_t GetLockKeyState();
