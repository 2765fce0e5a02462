#include "ui/main/QtConnectWindow.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "ui/main/MainResources.h"
#include "ui/main/QtConnectBanner.h"
#include "ui/main/QtServerConnectionWidget.h"

QtConnectWindow::QtConnectWindow(QWidget* parent)
    : QWidget(parent),
      banner(new QtConnectBanner()),
      instruction(new QLabel(tr("Select a server from the list or manually enter a server address in the green box "
                                "below, then click \"Connect\"."))),
      serverWidget(new QtServerConnectionWidget()),
      connectButton(new QPushButton(tr("Connect"))) {
  InitMainResources();
  instruction->setWordWrap(true);
  serverWidget->setMaximumWidth(banner->sizeHint().width() - 18);

  connectButton->setStyleSheet(
      "QPushButton{ border-style: outset; border-width: 1px; border-radius: 4px; padding: 6px;} "
      "QPushButton:pressed { background-color: #DBDBDB;};");
  QIcon icon;
  icon.addFile(":/serverconnect.png", QSize(), QIcon::Normal, QIcon::On);
  connectButton->setIcon(icon);
  const QSize hint = connectButton->sizeHint();
  connectButton->setMinimumSize(static_cast<int>(std::lround(hint.width() * 1.2)),
                                static_cast<int>(std::lround(hint.height() * 1.2)));
  connectButton->setObjectName("ConnectButton");

  auto* inner = new QVBoxLayout();
  inner->setContentsMargins(9, 5, 9, 10);
  inner->addWidget(instruction);
  inner->addSpacing(5);
  inner->addWidget(serverWidget);
  inner->addSpacing(5);
  inner->addWidget(connectButton, 0, Qt::AlignRight);

  auto* outer = new QVBoxLayout();
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(banner);
  outer->addLayout(inner);
  outer->addStretch();

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->addStretch();
  row->addLayout(outer);
  row->addStretch();

  connect(connectButton, SIGNAL(clicked()), this, SIGNAL(ConnectSig()));
  connect(serverWidget, SIGNAL(AddressActivatedSig()), this, SIGNAL(ConnectSig()));
  serverWidget->Load();
  TakeSnapshot();
}

void QtConnectWindow::Validate() { serverWidget->Validate(); }
void QtConnectWindow::Apply() { serverWidget->Apply(); }
QStringList QtConnectWindow::GetValues() { return serverWidget->GetValues(); }
