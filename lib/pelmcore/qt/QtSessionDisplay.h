// What a session window tells the players' video windows: the widget that
// shows the remote display. Its top-left corner is the display's origin,
// wherever the window's layout puts it (centred in a larger window, or
// scrolled in a smaller one).
#pragma once

class QWidget;

class IQtSessionDisplay {
 public:
  virtual QWidget* DisplayWidget() const = 0;

 protected:
  ~IQtSessionDisplay() = default;
};
