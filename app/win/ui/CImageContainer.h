// The display widget of a session window: paints its display's surface
// under the frame-buffer lock and hands the pointer to the session.
#pragma once

#include <QWidget>

#include "qt/QtLiveWindowPorts.h"

class CImageContainer : public QWidget {
  Q_OBJECT

 public:
  explicit CImageContainer(int displayIndex, QWidget* parent = nullptr,
                           const IQtWindowPorts& ports = LiveSystemApiPorts());

  int DisplayIndex() const { return displayIndex_; }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  const int displayIndex_;
  const IQtWindowPorts& ports_;
};
