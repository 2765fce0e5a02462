#include "ui/options/QtServerConnection.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "settings/QtClientSettings.h"
#include "settings/QtText.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/QtGroupBoxWithIcon.h"

QtServerConnection::QtServerConnection(QWidget* parent) : QtOptionPage(parent, tr("Host server connection:")) {
  SetupUi();
  if (connectionWidget != nullptr)
    connect(connectionWidget, SIGNAL(AddressEditedSig(const QString&)), this,
            SLOT(AddressEditedSlot(const QString&)));
}

void QtServerConnection::SetupUi() {
  heading = CreateHeading(tr("Server connection"));
  description = CreateDescription(
      "Select the host server or host server group that Kelvane Vesk Client will connect to. You can also type "
      "the server IP address or name manually in the green box.");
  connectionWidget = GetOptionsHost().CreateServerConnectionWidget(this);
  autoConnectBox = new QCheckBox(tr("Automatically connect when Kelvane Vesk Client launches"), this);
  wanBox = new QCheckBox(tr("Optimize the connection for a WAN network"), this);
  groupBox = new QtGroupBoxWithIcon(tr("Host server connection"), ":/serverconnect.png", this);

  QVBoxLayout* column = new QVBoxLayout();
  if (connectionWidget != nullptr) column->addWidget(connectionWidget);
  column->addWidget(autoConnectBox);
  column->addWidget(wanBox);
  QHBoxLayout* row = new QHBoxLayout(groupBox);
  row->addLayout(column);
  row->addStretch();

  // Spaced like the other pages, so that the heading stays at the top.
  LayOutPage(heading, description, groupBox);
}

QtValidableItem* QtServerConnection::ConnectionItem() const {
  return dynamic_cast<QtValidableItem*>(connectionWidget);
}

void QtServerConnection::Load() {
  if (connectionWidget != nullptr) GetOptionsHost().LoadServerConnectionWidget(connectionWidget);
  if (QtClientSettings* settings = QtClientSettings::GetInstance()) {
    autoConnectBox->setChecked(settings->autoConnect != 0);
    wanBox->setChecked(settings->useWanNetwork != 0);
  }
  TakeSnapshot();
}

void QtServerConnection::Validate() {
  if (QtValidableItem* item = ConnectionItem()) item->Validate();
}

void QtServerConnection::Apply() {
  if (QtValidableItem* item = ConnectionItem()) item->Apply();
  QtClientSettings* settings = QtClientSettings::GetInstance();
  if (settings == nullptr) return;
  if (settings->serverHistory[0][0] != 0) {
    settings->autoConnect = autoConnectBox->isChecked() ? 1 : 0;
    settings->useWanNetwork = wanBox->isChecked() ? 1 : 0;
  } else {
    // Nothing to connect to at start-up.
    settings->autoConnect = 0;
  }
}

QStringList QtServerConnection::GetValues() {
  QStringList values;
  if (QtValidableItem* item = ConnectionItem()) values = item->GetValues();
  values << (autoConnectBox->isChecked() ? "1" : "0") << (wanBox->isChecked() ? "1" : "0");
  return values;
}

QString QtServerConnection::Summary(CAbstractClientSettings* settings) {
  if (settings == nullptr || settings->serverHistory[0][0] == 0) return tr("Not configured");
  QString address = ToQString(settings->serverHistory[0]);
  if (settings->FindGroupIndex(settings->serverHistory[0]) >= 0) address += tr(" (group)");
  QStringList parts(address);
  if (settings->autoConnect != 0) parts << tr("Auto-connect on start");
  if (settings->useWanNetwork != 0) parts << tr("WAN network");
  return parts.join(" | ");
}

void QtServerConnection::AddressEditedSlot(const QString& text) {
  autoConnectBox->setEnabled(!text.isEmpty());
  wanBox->setEnabled(!text.isEmpty());
}
