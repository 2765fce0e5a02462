// The host server or server group to connect to, and the two connection
// switches. The address itself is chosen in the discovery front end's
// server connection widget, which this page embeds.
#pragma once

#include "ui/options/QtOptionPage.h"

class QCheckBox;
class QLabel;
class QtGroupBoxWithIcon;

class QtServerConnection : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtServerConnection(QWidget* parent = nullptr);

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  QWidget* ConnectionWidget() const { return connectionWidget; }
  QCheckBox* AutoConnectBox() const { return autoConnectBox; }
  QCheckBox* WanBox() const { return wanBox; }

 private slots:
  void AddressEditedSlot(const QString& text);

 private:
  void SetupUi();
  QtValidableItem* ConnectionItem() const;

  QLabel* heading = nullptr;
  QLabel* description = nullptr;
  QWidget* connectionWidget = nullptr;  // null without a discovery front end
  QCheckBox* autoConnectBox = nullptr;
  QCheckBox* wanBox = nullptr;
  QtGroupBoxWithIcon* groupBox = nullptr;
};
