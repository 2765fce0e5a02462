// The main window's home page: the banner, a short instruction, the server
// connection widget and the Connect button.
#pragma once

#include <QWidget>

#include "ui/options/QtValidableItem.h"

class QLabel;
class QPushButton;
class QtConnectBanner;
class QtServerConnectionWidget;

class QtConnectWindow : public QWidget, public QtValidableItem {
  Q_OBJECT

 public:
  explicit QtConnectWindow(QWidget* parent = nullptr);

  // Those of the server connection widget.
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QtServerConnectionWidget* ServerWidget() const { return serverWidget; }
  QPushButton* ConnectButton() const { return connectButton; }

 signals:
  void ConnectSig();

 private:
  QtConnectBanner* banner;
  QLabel* instruction;
  QtServerConnectionWidget* serverWidget;
  QPushButton* connectButton;
};
