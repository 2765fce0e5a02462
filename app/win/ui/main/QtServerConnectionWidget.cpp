#include "ui/main/QtServerConnectionWidget.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "settings/AbstractClientSettings.h"
#include "sys/FixedText.h"
#include "settings/QtText.h"
#include "ui/main/QtServerFinder.h"
#include "ui/main/QtServersListWidget.h"
#include "ui/options/CValidationError.h"
#include "ui/options/QtFrameWithHeading.h"

namespace {

constexpr int kUserDataRole = Qt::UserRole;  // true for a server group

CAbstractClientSettings* Settings() { return CAbstractClientSettings::GetInstance(); }

}  // namespace

QtServerConnectionWidget::QtServerConnectionWidget(QWidget* parent) : QWidget(parent) {
  BuildUi();
  connect(filterBox, SIGNAL(activated(int)), this, SLOT(CbSelectActivatedSlot(int)));
  connect(refreshButton, SIGNAL(clicked()), this, SLOT(BtRefreshClickedSlot()));
  connect(serversList, SIGNAL(itemEntered(QListWidgetItem*)), this, SLOT(OnItemEnteredSlot(QListWidgetItem*)));
  connect(serversList, SIGNAL(currentItemChanged(QListWidgetItem*, QListWidgetItem*)), this,
          SLOT(OnCurrentItemChangedSlot(QListWidgetItem*, QListWidgetItem*)));
  connect(serversList, SIGNAL(itemActivated(QListWidgetItem*)), this, SLOT(OnItemActivatedSlot(QListWidgetItem*)));
  connect(addressBox, SIGNAL(editTextChanged(const QString&)), this, SLOT(OnEditedTextChangedSlot(const QString&)));
  connect(addressBox, SIGNAL(editTextChanged(const QString&)), this, SIGNAL(AddressEditedSig(const QString&)));
  connect(clearHistoryButton, SIGNAL(clicked()), this, SLOT(OnClearHistorySlot()));
  if (QtServerFinder* finder = QtServerFinder::Instance()) {
    connect(finder, SIGNAL(UpdateProgressSig(int)), this, SLOT(UpdateProgressSlot(int)));
    connect(finder, SIGNAL(UpdateServerListSig()), this, SLOT(UpdateServerListSlot()));
    connect(finder, SIGNAL(SearchingStartedSig(int)), this, SLOT(StartProgressSlot(int)));
    connect(finder, SIGNAL(SearchingFinishedSig(bool)), this, SLOT(FinishProgressSlot(bool)));
  }
  addressBox->installEventFilter(this);
}

void QtServerConnectionWidget::BuildUi() {
  filterLabel = new QLabel(tr("Show available:"));
  filterBox = new QComboBox();
  filterBox->addItem(tr("Servers"), kServers);
  filterBox->addItem(tr("Servers' groups"), kGroups);
  filterBox->addItem(tr("Servers & Servers' groups"), kBoth);
  filterBox->setCurrentIndex(filterBox->findData(kServers));
  filterBox->setStyleSheet(
      "QComboBox{ border-style: outset; border: 1px solid #797979; border-width: 1px; border-radius: 4px; "
      "padding: 2px;}");

  refreshButton = new QPushButton(tr("Refresh"));
  refreshButton->setStyleSheet(
      "QPushButton{ border-style: outset; border-width: 1px; border-radius: 4px; padding: 2px;} "
      "QPushButton:pressed { background-color: #DBDBDB;};");
  refreshButton->setIcon(QIcon(":/refresh.png"));
  refreshButton->setIconSize(QSize(20, 20));
  refreshButton->setToolTip(tr("Start searching Kelvane servers"));

  serversList = new QtServersListWidget();
  serversList->setMinimumSize(250, 200);

  heading = new QtFrameWithHeading();
  heading->AddHeadingWidget(filterLabel);
  heading->AddHeadingWidget(filterBox);
  heading->AddHeadingWidget(refreshButton);
  heading->AddMainWidget(serversList);

  addressBox = new QComboBox();
  addressBox->setEditable(true);
  addressBox->setMinimumContentsLength(16);
  addressBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  addressBox->setStyleSheet("border: 2px solid #6DC055");

  clearHistoryButton = new QPushButton(tr("Clear history"));
  clearHistoryButton->setObjectName("LinkButton");
  clearHistoryButton->setFlat(true);
  clearHistoryButton->setCursor(Qt::PointingHandCursor);
  clearHistoryButton->setToolTip(tr("Clears currently selected address also from history"));

  column = new QVBoxLayout(this);
  column->addWidget(heading);
  column->addSpacing(-7);
  column->addWidget(addressBox);
  column->addSpacing(-5);
  column->addWidget(clearHistoryButton, 0, Qt::AlignRight);
  column->setContentsMargins(0, 0, 0, 0);
}

void QtServerConnectionWidget::Load() {
  UpdateServerListSlot();
  FillHistory();
  if (addressBox->currentText().isEmpty()) emit AddressEditedSig(QString());
  TakeSnapshot();
}

void QtServerConnectionWidget::FillHistory() {
  addressBox->clear();
  CAbstractClientSettings* settings = Settings();
  if (settings == nullptr) return;
  int added = 0;
  for (int i = 0; i < kHistoryEntries && settings->serverHistory[i][0] != 0; ++i, ++added)
    addressBox->addItem(ToQString(settings->serverHistory[i]));
  if (added > 0) addressBox->setEditText(addressBox->itemText(0));
}

void QtServerConnectionWidget::Validate() {
  const QString address = addressBox->currentText().trimmed();
  if (address.size() > static_cast<int>(kFieldTextMax))
    throw CValidationError(tr("Kelvane server address is too long (%1 characters).").arg(address.size()));
}

void QtServerConnectionWidget::Apply() {
  CAbstractClientSettings* settings = Settings();
  if (settings == nullptr) return;
  // Last to first, so that the history keeps the box's order with the
  // current address in front.
  const QString current = addressBox->currentText().trimmed();
  for (int i = addressBox->count() - 1; i >= 0; --i)
    settings->AddServerToHistory(ToU16String(addressBox->itemText(i)).c_str());
  settings->AddServerToHistory(ToU16String(current).c_str());
}

QStringList QtServerConnectionWidget::GetValues() { return {addressBox->currentText()}; }

void QtServerConnectionWidget::CbSelectActivatedSlot(int Index) {
  const int mode = filterBox->itemData(Index).toInt();
  if (mode == filterMode) return;
  filterMode = mode;
  UpdateServerListSlot();
}

void QtServerConnectionWidget::BtRefreshClickedSlot() {
  serversList->clear();
  firstTime = false;
  QtServerFinder* finder = QtServerFinder::Instance();
  if (finder == nullptr) return;
  if (serversList->IsSearching()) finder->CancelSearch();
  finder->StartSearch();
}

void QtServerConnectionWidget::OnClearHistorySlot() {
  addressBox->clear();
  addressBox->setEditText("");
}

void QtServerConnectionWidget::OnItemEnteredSlot(QListWidgetItem* item) {
  CAbstractClientSettings* settings = Settings();
  if (item == nullptr || settings == nullptr || !item->data(kUserDataRole).toBool()) return;
  const std::u16string name = ToU16String(item->text());
  if (settings->FindGroupIndex(name.c_str()) < 0) return;
  QStringList addresses;
  for (int n = 0; n < kGroupAddresses; ++n) {
    const WCHAR* address = settings->FindGroupServer(name.c_str(), n);
    if (address == nullptr || address[0] == 0) break;
    addresses.append(ToQString(address));
  }
  item->setToolTip(addresses.isEmpty() ? tr("<i>Empty group</i>") : addresses.join("\n"));
}

void QtServerConnectionWidget::OnCurrentItemChangedSlot(QListWidgetItem* currItem, QListWidgetItem*) {
  if (currItem != nullptr) addressBox->setEditText(currItem->text());
}

void QtServerConnectionWidget::OnItemActivatedSlot(QListWidgetItem* item) {
  if (item != nullptr) addressBox->setEditText(item->text());
  emit AddressActivatedSig();
}

void QtServerConnectionWidget::OnEditedTextChangedSlot(const QString& text) {
  const QList<QListWidgetItem*> found = serversList->findItems(text, Qt::MatchExactly);
  if (found.isEmpty())
    serversList->setCurrentRow(-1);
  else
    serversList->setCurrentItem(found.first());
}

void QtServerConnectionWidget::StartProgressSlot(int NumSteps) {
  serversList->StartProgress(NumSteps);
  UpdateServerListSlot();
}

void QtServerConnectionWidget::UpdateProgressSlot(int Step) { serversList->StepProgress(Step); }

void QtServerConnectionWidget::FinishProgressSlot(bool) {
  serversList->FinishProgress();
  UpdateServerListSlot();
}

void QtServerConnectionWidget::UpdateServerListSlot() {
  serversList->clear();
  if (filterMode == kServers || filterMode == kBoth) {
    QtServerFinder* finder = QtServerFinder::Instance();
    const QStringList names = finder != nullptr ? finder->GetServerList() : QStringList();
    for (const QString& name : names) {
      auto* item = new QListWidgetItem(name, serversList);
      item->setData(kUserDataRole, false);
    }
  }
  CAbstractClientSettings* settings = Settings();
  if ((filterMode == kGroups || filterMode == kBoth) && settings != nullptr) {
    for (int i = 0; i < settings->GetGroupCount(); ++i) {
      const WCHAR* name = settings->GetGroupName(i);
      if (name == nullptr) continue;
      auto* item = new QListWidgetItem(ToQString(name), serversList);
      item->setData(kUserDataRole, true);
    }
  }
  if (serversList->count() > 0) {
    if (!serversList->isEnabled()) serversList->setEnabled(true);
    return;
  }
  if (filterMode == kGroups) return;
  AddPlaceholder();
}

void QtServerConnectionWidget::AddPlaceholder() {
  QString text;
  if (firstTime)
    text = tr("<i>Click \"Refresh\" to discover Kelvane Servers</i>");
  else if (serversList->IsSearching())
    text = tr("<i>Searching servers...</i>");
  else
    text = tr("<i>No servers found. Click \"Refresh\" to restart search.</i>");
  auto* item = new QListWidgetItem(serversList);
  serversList->setItemWidget(item, new QLabel(text));
  serversList->setEnabled(false);
}

bool QtServerConnectionWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == addressBox && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      event->accept();
      emit AddressActivatedSig();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}
