#include "ui/options/QtHostServerGroup.h"

#include <QDataStream>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMap>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "sys/FixedText.h"
#include "settings/QtClientSettings.h"
#include "settings/QtText.h"
#include "ui/options/CValidationError.h"
#include "ui/options/GroupItemContext.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/QtFrameWithHeading.h"
#include "ui/options/QtGroupBoxWithIcon.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtServersGroupItem.h"
#include "ui/options/QtTreeWidget.h"
#include "ui/options/ValidateTextField.h"

namespace {

const char kItemViewMimeType[] = "application/x-qabstractitemmodeldatalist";
const char kServersListName[] = "ServersList";
const char kItemName[] = "QtServersGroupItem";
const int kRemoveIcon = 0;

std::u16string Wide(const QString& text) { return ToU16String(text); }

// The servers of group index g in order, up to the first empty entry.
QStringList GroupAddresses(CServersGroups& groups, int g) {
  QStringList addresses;
  for (int i = 0; i < kGroupAddresses; ++i) {
    QString address = ToQString(groups.GetGroupServer(g, i));
    if (address.isEmpty()) break;
    addresses << address;
  }
  return addresses;
}

QStringList GroupNames(CServersGroups& groups) {
  QStringList names;
  for (int g = 0; g < groups.GetGroupCount(); ++g) names << ToQString(groups.GetGroupName(g));
  return names;
}

// The display texts of an item-view drag: each record is row, column and
// a role map; the lowest role present is the display role.
QStringList DecodeItemViewRecords(const QByteArray& bytes) {
  QStringList texts;
  QDataStream stream(bytes);
  while (!stream.atEnd()) {
    qint32 row = 0;
    qint32 column = 0;
    QMap<int, QVariant> roles;
    stream >> row >> column >> roles;
    if (stream.status() != QDataStream::Ok) break;
    if (roles.isEmpty()) continue;
    const QVariant& value = roles.first();
    if (value.type() == QVariant::String) texts << value.toString();
  }
  return texts;
}

}  // namespace

QtHostServerGroup::QtHostServerGroup(QWidget* parent) : QtOptionPage(parent, tr("Host server groups:")) {
  SetupUi();
  ConnectDiscovery();
}

void QtHostServerGroup::SetupUi() {
  titleLabel = CreateHeading(tr("Create a host server group"));
  description = CreateDescription(
      tr("A host server group will allow the Kelvane Vesk Client to connect to your preferred server. If it is not "
         "able to connect to it, it will attempt connectivity with the next server in your list. This process will "
         "continue until the Kelvane Vesk Client is able to make a connection to a server."));
  groupBox = new QtGroupBoxWithIcon(tr("Host server groups"), ":/hostserver.png", this);
  QVBoxLayout* groupBoxLayout = new QVBoxLayout(groupBox);
  hintLabel = CreateDescription(tr("Create a group (on the right side), select the servers that will be added to "
                                   "the group (on the left side)  and then drag & drop them into a prioritized list."));

  availableLabel = new QLabel(tr("Available servers:"));
  refreshButton = new QPushButton(QIcon(":/refresh.png"), tr("Refresh"));
  refreshButton->setIconSize(QSize(20, 20));
  serverList = GetOptionsHost().CreateServersListWidget(nullptr);
  serverList->setObjectName(kServersListName);
  serverList->setDragEnabled(true);
  serverList->setDropIndicatorShown(true);
  serverList->setDragDropMode(QAbstractItemView::DragOnly);
  serverList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  leftFrame = new QtFrameWithHeading();
  leftFrame->AddHeadingWidget(availableLabel);
  leftFrame->AddHeadingStretch();
  leftFrame->AddHeadingWidget(refreshButton);
  leftFrame->AddMainWidget(serverList);

  manualLabel = new QLabel("Manually enter server name or IP:", this);
  manualEdit = new QtLineEdit(this);
  manualEdit->setPlaceholderText(tr("Example: 192.168.1.1"));
  manualEdit->setMaxLength(static_cast<int>(kFieldTextMax));
  addButton = new QPushButton(">>", this);
  addButton->setMaximumWidth(40);
  addButton->setMaximumHeight(24);
  addButton->setEnabled(false);
  addButton->setToolTip(tr("Add manual server"));
  QHBoxLayout* manualRow = new QHBoxLayout();
  manualRow->addWidget(manualEdit);
  manualRow->addWidget(addButton);
  QVBoxLayout* leftColumn = new QVBoxLayout();
  leftColumn->addWidget(leftFrame);
  leftColumn->addWidget(manualLabel);
  leftColumn->addLayout(manualRow);

  groupsLabel = new QLabel(tr("Server groups:"));
  newGroupButton = new QPushButton(QIcon(":/Plus.png"), tr("New group"));
  newGroupButton->setIconSize(QSize(20, 20));
  tree = new QtTreeWidget();
  tree->setObjectName("ServerGroups");
  tree->setHeaderHidden(true);
  tree->setColumnCount(1);
  tree->setDragDropMode(QAbstractItemView::DropOnly);
  tree->setDropIndicatorShown(true);
  rightFrame = new QtFrameWithHeading();
  rightFrame->AddHeadingWidget(groupsLabel);
  rightFrame->AddHeadingStretch();
  rightFrame->AddHeadingWidget(newGroupButton);
  rightFrame->AddMainWidget(tree);

  QHBoxLayout* columns = new QHBoxLayout();
  columns->addLayout(leftColumn);
  columns->addWidget(rightFrame);
  columns->addStretch();
  groupBoxLayout->addWidget(hintLabel);
  groupBoxLayout->addLayout(columns);

  QVBoxLayout* pageLayout = new QVBoxLayout(this);
  pageLayout->addWidget(titleLabel);
  pageLayout->addWidget(description);
  pageLayout->addWidget(groupBox);

  connect(addButton, SIGNAL(clicked()), this, SLOT(AddManualServerToGroupSlot()));
  connect(newGroupButton, SIGNAL(clicked()), this, SLOT(CreateNewGroupSlot()));
  connect(tree, SIGNAL(itemExpanded(QTreeWidgetItem*)), this, SLOT(ServersGroupsitemExpandedSlot(QTreeWidgetItem*)));
  connect(tree, SIGNAL(itemCollapsed(QTreeWidgetItem*)), this,
          SLOT(ServersGroupsitemCollapsedSlot(QTreeWidgetItem*)));
  connect(tree, SIGNAL(currentItemChanged(QTreeWidgetItem*, QTreeWidgetItem*)), this,
          SLOT(ServersGroupItemChangedSlot(QTreeWidgetItem*, QTreeWidgetItem*)));
  connect(tree, SIGNAL(itemClicked(QTreeWidgetItem*, int)), this, SLOT(ServersGroupsitemClicked(QTreeWidgetItem*, int)));
}

void QtHostServerGroup::ConnectDiscovery() {
  currentItem = nullptr;
  FillServerList();
  if (QObject* finder = GetOptionsHost().ServerFinder()) {
    connect(finder, SIGNAL(UpdateProgressSig(int)), this, SLOT(UpdateProgressSlot(int)));
    connect(finder, SIGNAL(UpdateServerListSig()), this, SLOT(UpdateServerListSlot()));
    connect(finder, SIGNAL(SearchingStartedSig(int)), this, SLOT(SearchingStartedSlot(int)));
    connect(finder, SIGNAL(SearchingFinishedSig(bool)), this, SLOT(SearchingFinishedSlot(bool)));
  }
  connect(refreshButton, SIGNAL(clicked()), this, SLOT(RefreshButtonClickedSlot()));
  Load();
}

// ---- option-page protocol

void QtHostServerGroup::Load() {
  if (QtClientSettings* settings = QtClientSettings::GetInstance()) groups.CopyFrom(*settings);
  RebuildTree();
  TakeSnapshot();
}

QString QtHostServerGroup::Summary(CAbstractClientSettings* settings) {
  if (settings == nullptr) return QString();
  const QStringList names = GroupNames(*settings);
  return names.isEmpty() ? tr("Not configured") : names.join(", ");
}

void QtHostServerGroup::Validate() {
  // Groups made here are transient until now; a save leaves those out.
  for (const QString& name : GroupNames(groups)) groups.MarkPersistent(Wide(name).c_str());
}

void QtHostServerGroup::Apply() {
  if (QtClientSettings* settings = QtClientSettings::GetInstance()) groups.CopyTo(*settings);
}

QStringList QtHostServerGroup::GetValues() {
  QStringList values;
  for (int g = 0; g < groups.GetGroupCount(); ++g) values << ToQString(groups.GetGroupName(g)) << GroupAddresses(groups, g);
  return values;
}

// ---- discovered servers

void QtHostServerGroup::FillServerList() {
  serverList->clear();
  for (const QString& name : GetOptionsHost().GetServerNames()) serverList->addItem(name);
}

void QtHostServerGroup::UpdateServerListSlot() { FillServerList(); }

void QtHostServerGroup::SearchingStartedSlot(int StepNum) { GetOptionsHost().StartListProgress(serverList, StepNum); }

void QtHostServerGroup::UpdateProgressSlot(int Step) { GetOptionsHost().StepListProgress(serverList, Step); }

void QtHostServerGroup::SearchingFinishedSlot(bool) {
  GetOptionsHost().FinishListProgress(serverList);
  FillServerList();
}

void QtHostServerGroup::RefreshButtonClickedSlot() {
  serverList->model()->removeRows(0, serverList->model()->rowCount());
  GetOptionsHost().StartServerSearch();
}

// ---- the tree

QtServersGroupItem* QtHostServerGroup::ItemOf(QTreeWidgetItem* row) const {
  if (row == nullptr) return nullptr;
  QWidget* widget = tree->itemWidget(row, 0);
  return widget != nullptr && widget->objectName() == kItemName ? static_cast<QtServersGroupItem*>(widget) : nullptr;
}

GroupItemContext* QtHostServerGroup::ContextOf(QTreeWidgetItem* row) const {
  QtServersGroupItem* item = ItemOf(row);
  return item != nullptr ? static_cast<GroupItemContext*>(item->GetContext()) : nullptr;
}

// Compares pointers only: a context whose row is gone is never read.
QTreeWidgetItem* QtHostServerGroup::FindRow(const GroupItemContext* context) const {
  if (context == nullptr) return nullptr;
  for (QTreeWidgetItemIterator it(tree); *it != nullptr; ++it)
    if (ContextOf(*it) == context) return *it;
  return nullptr;
}

QTreeWidgetItem* QtHostServerGroup::FindGroupRow(const QString& group) const {
  const QList<QTreeWidgetItem*> rows = tree->findItems(group, Qt::MatchExactly);
  return rows.isEmpty() ? nullptr : rows.first();
}

QStringList QtHostServerGroup::TreeTexts() const {
  QStringList texts;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = tree->topLevelItem(i);
    texts << row->text(0);
    for (int j = 0; j < row->childCount(); ++j) texts << row->child(j)->text(0);
  }
  return texts;
}

QtServersGroupItem* QtHostServerGroup::CreateGroupItem(const QString& name, GroupItemContext** context) {
  QtServersGroupItem* item = new QtServersGroupItem(name);
  item->SetFlags(QtServersGroupItem::kTextMiddle);
  item->AddIcon(QIcon(":/remove.png"), QtServersGroupItem::kTextLast, nullptr);
  item->rightIconOffset = 40;
  item->draggable = 0;
  item->dropsInto = 1;
  item->setFrameShape(QFrame::NoFrame);
  item->setMinimumSize(item->minimumSizeHint());
  GroupItemContext* created = new GroupItemContext{item, 1, nullptr};
  item->SetContext(created);
  connect(item, SIGNAL(Clicked(int, void*)), this, SLOT(TreeItemclicked(int, void*)));
  connect(item, SIGNAL(Droped(QPoint&, void*, QDropEvent*)), this, SLOT(DropItemSlot(QPoint&, void*, QDropEvent*)));
  connect(item, SIGNAL(FinishedEdit(void*, QString&)), this, SLOT(FinishedEditSlot(void*, QString&)));
  connect(item, SIGNAL(DBlClicked(void*, bool)), this, SLOT(DbClickItemSlot(void*, bool)));
  if (context != nullptr) *context = created;
  return item;
}

QtServersGroupItem* QtHostServerGroup::CreateServerItem(const QString& address, GroupItemContext* parent) {
  QtServersGroupItem* item = new QtServersGroupItem(address);
  item->SetReadOnly(true);
  item->setFrameShape(QFrame::NoFrame);
  item->AddIcon(QIcon(":/remove.png"), QtServersGroupItem::kTextLast, nullptr);
  item->rightIconOffset = 40;
  item->draggable = 1;
  item->dropsInto = 0;
  item->setMinimumSize(item->minimumSizeHint());
  item->SetContext(new GroupItemContext{item, 0, parent});
  connect(item, SIGNAL(Clicked(int, void*)), this, SLOT(TreeItemclicked(int, void*)));
  connect(item, SIGNAL(Droped(QPoint&, void*, QDropEvent*)), this, SLOT(DropItemSlot(QPoint&, void*, QDropEvent*)));
  return item;
}

void QtHostServerGroup::RebuildTree() {
  currentItem = nullptr;
  tree->clear();
  QTreeWidgetItem* first = nullptr;
  for (int g = 0; g < groups.GetGroupCount(); ++g) {
    const QStringList addresses = GroupAddresses(groups, g);
    const QString name = ToQString(groups.GetGroupName(g));
    GroupItemContext* context = nullptr;
    QtServersGroupItem* item = CreateGroupItem(name, &context);
    QTreeWidgetItem* row = new QTreeWidgetItem(tree, QStringList(name));
    tree->setItemWidget(row, 0, item);
    if (first == nullptr) first = row;
    for (const QString& address : addresses) new QTreeWidgetItem(row, QStringList(address));
    for (int i = 0; i < row->childCount(); ++i)
      tree->setItemWidget(row->child(i), 0, CreateServerItem(row->child(i)->text(0), context));
  }
  currentItem = nullptr;
  if (first != nullptr) {
    tree->setCurrentItem(first);
    tree->expandItem(first);
    tree->collapseItem(first);
  }
}

void QtHostServerGroup::MakeCurrent(GroupItemContext* context) {
  if (context == nullptr) return;
  context->item->SetSelected(true);
  if (context == currentItem) return;
  if (currentItem != nullptr) currentItem->item->SetSelected(false);
  currentItem = context;
  context->item->SetSelected(true);
}

void QtHostServerGroup::ServersGroupItemChangedSlot(QTreeWidgetItem* currItem, QTreeWidgetItem*) {
  if (GroupItemContext* context = ContextOf(currItem)) {
    MakeCurrent(context);
    addButton->setEnabled(true);
  }
}

void QtHostServerGroup::ServersGroupsitemExpandedSlot(QTreeWidgetItem* item) {
  if (ItemOf(item) == nullptr) return;
  tree->setCurrentItem(item);
  addButton->setEnabled(true);
}

void QtHostServerGroup::ServersGroupsitemCollapsedSlot(QTreeWidgetItem* item) { tree->setCurrentItem(item); }

void QtHostServerGroup::ServersGroupsitemClicked(QTreeWidgetItem*, int) {}

void QtHostServerGroup::InsertServerRow(const QString& group, const QString& anchor, const QString& address,
                                        bool before) {
  // An empty address would make RemoveRow take the whole group row.
  if (address.isEmpty()) return;
  QTreeWidgetItem* groupRow = FindGroupRow(group);
  if (groupRow == nullptr) return;
  RemoveRow(group, address);
  int position = 0;
  for (int i = 0; i < groupRow->childCount(); ++i) {
    QtServersGroupItem* item = ItemOf(groupRow->child(i));
    if (item == nullptr) continue;
    if (anchor.isEmpty() || item->Text() == anchor) {
      position = before ? i : i + 1;
      break;
    }
  }
  QTreeWidgetItem* row = new QTreeWidgetItem(QStringList(address));
  groupRow->insertChild(position, row);
  QtServersGroupItem* item = CreateServerItem(address, ContextOf(groupRow));
  tree->setItemWidget(row, 0, item);
  item->setMinimumSize(item->minimumSizeHint());
  // Both changes make the new row the current one.
  tree->expandItem(row);
  tree->collapseItem(row);
}

void QtHostServerGroup::RemoveRow(const QString& group, const QString& address) {
  QTreeWidgetItem* groupRow = FindGroupRow(group);
  if (groupRow == nullptr) return;
  if (address.isEmpty()) {
    currentItem = nullptr;
    delete groupRow;
    return;
  }
  for (int i = 0; i < groupRow->childCount(); ++i) {
    QTreeWidgetItem* row = groupRow->child(i);
    if (row->text(0) != address) continue;
    // The row's widget, and with it the context, goes with the row.
    if (currentItem != nullptr && ContextOf(row) == currentItem) currentItem = nullptr;
    delete row;
    return;
  }
}

void QtHostServerGroup::TreeItemclicked(int Item, void* Context) {
  GroupItemContext* context = static_cast<GroupItemContext*>(Context);
  QTreeWidgetItem* row = FindRow(context);
  if (row == nullptr) return;
  if (context->isGroup == 0) {
    if (Item == -1) {
      tree->setCurrentItem(row);
    } else if (Item == kRemoveIcon && context->parent != nullptr) {
      const QString address = context->item->Text();
      const QString group = context->parent->item->Text();
      groups.DeleteServerAddressFromGroup(Wide(group).c_str(), Wide(address).c_str(), nullptr);
      RemoveRow(group, address);
    }
    return;
  }
  if (Item == -1) {
    addButton->setEnabled(true);
    tree->setCurrentItem(row);
  } else if (Item == kRemoveIcon) {
    const QString name = context->item->Text();
    if (QMessageBox::question(this, tr("Kelvane Vesk Client for Windows"),
                              tr("Delete \"%1\" servers' group?").arg(name),
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
      return;
    // The box ran an event loop: the row may have gone meanwhile.
    if (FindRow(context) == nullptr) return;
    if (currentItem != nullptr) currentItem->item->SetSelected(false);
    if (context == currentItem) currentItem = nullptr;
    groups.DeleteGroupServer(Wide(name).c_str());
    RemoveRow(name, QString());
  }
}

void QtHostServerGroup::CreateNewGroupSlot() {
  if (currentItem != nullptr) currentItem->item->SetSelected(false);
  const QString base = tr("New group");
  QString name = base;
  for (int counter = 1; groups.FindGroupIndex(Wide(name).c_str()) >= 0; ++counter)
    name = QString("%1%2").arg(base).arg(counter);
  groups.AddGroup(Wide(name).c_str(), true);
  GroupItemContext* context = nullptr;
  QtServersGroupItem* item = CreateGroupItem(name, &context);
  QTreeWidgetItem* row = new QTreeWidgetItem(tree, QStringList(name));
  tree->setItemWidget(row, 0, item);
  item->setMinimumSize(item->minimumSizeHint());
  MakeCurrent(context);
  item->SetEditing(true);
}

void QtHostServerGroup::DbClickItemSlot(void* Context, bool TextHit) {
  GroupItemContext* context = static_cast<GroupItemContext*>(Context);
  if (context != nullptr && context->isGroup != 0 && TextHit && FindRow(context) != nullptr)
    context->item->SetEditing(true);
}

void QtHostServerGroup::FinishedEditSlot(void* Context, QString& prevText) {
  GroupItemContext* context = static_cast<GroupItemContext*>(Context);
  if (context == nullptr) return;
  QtServersGroupItem* item = context->item;
  const QString typed = item->Text();
  const QString newName = typed.trimmed();
  QTreeWidgetItem* row = FindGroupRow(prevText);
  if (row == nullptr) return;
  const QString oldName = prevText;
  // Checked as typed, so that a name of blanks is called that rather than
  // empty; stored without the blanks around it.
  if (!CheckGroupName(typed)) {
    item->SetText(oldName);
  } else if (groups.FindGroupIndex(Wide(newName).c_str()) < 0) {
    row->setText(0, newName);
    groups.RenameGroup(Wide(oldName).c_str(), Wide(newName).c_str());
    item->SetText(newName);
    // The item puts this text back when it is deselected.
    prevText = newName;
  } else if (newName != oldName) {
    QMessageBox::warning(this, tr("Kelvane Vesk Client for Windows"),
                         tr("Name \"%1\" already exists on the list").arg(newName), QMessageBox::Ok);
    item->SetText(oldName);
  } else {
    item->SetText(oldName);
  }
}

bool QtHostServerGroup::CheckServerAddress(const QString& text) { return CheckField(tr("Server address"), text); }

bool QtHostServerGroup::CheckGroupName(const QString& text) { return CheckField(tr("Group name"), text); }

bool QtHostServerGroup::CheckField(const QString& fieldName, const QString& text) {
  try {
    ValidateTextField(fieldName, text);
    return true;
  } catch (const CValidationError& error) {
    QMessageBox::critical(nullptr, tr("Kelvane Vesk Client for Windows"), error.Text(), QMessageBox::Ok);
    return false;
  }
}

void QtHostServerGroup::AddManualServerToGroupSlot() {
  const QString address = manualEdit->text().trimmed();
  if (currentItem == nullptr) return;
  if (!CheckServerAddress(address)) return;
  // The box may have run an event loop.
  if (currentItem == nullptr) return;
  const QString group = currentItem->isGroup != 0 ? currentItem->item->Text() : currentItem->parent->item->Text();
  const QString anchor = currentItem->item->Text();
  InsertServerRow(group, anchor, address, true);
  groups.AddServerAddressToGroup(Wide(group).c_str(), Wide(address).c_str());
}

// ---- drops

ServerDrop QtHostServerGroup::DecodeDrop(QObject* source, const QMimeData* mime) {
  ServerDrop drop;
  if (source == nullptr || mime == nullptr) return drop;
  if (mime->hasFormat(QtServersGroupItem::kContextMimeType)) {
    const QByteArray bytes = mime->data(QtServersGroupItem::kContextMimeType);
    quintptr identity = 0;
    if (bytes.size() == static_cast<int>(sizeof identity)) memcpy(&identity, bytes.constData(), sizeof identity);
    QTreeWidgetItem* row = FindRow(reinterpret_cast<GroupItemContext*>(identity));
    GroupItemContext* context = ContextOf(row);
    if (context != nullptr && context->isGroup == 0 && context->parent != nullptr) {
      drop.kind = ServerDrop::kServerRow;
      drop.addresses << context->item->Text();
      drop.sourceGroup = context->parent->item->Text();
    }
  } else if (source->objectName() == kServersListName && mime->hasFormat(kItemViewMimeType)) {
    drop.kind = ServerDrop::kServersList;
    drop.addresses = DecodeItemViewRecords(mime->data(kItemViewMimeType));
  }
  return drop;
}

void QtHostServerGroup::DropItemSlot(QPoint& direction, void* SenderContext, QDropEvent* DropEvent) {
  // From another program: nothing to do.
  if (DropEvent == nullptr || DropEvent->source() == nullptr) return;
  QueueDrop(static_cast<GroupItemContext*>(SenderContext), direction.y(), DropEvent->source(), DropEvent->mimeData());
}

// The rows change only once the drag is over: the dragged row's widget
// must outlive the drag that it started.
void QtHostServerGroup::QueueDrop(GroupItemContext* target, int directionY, QObject* source, const QMimeData* mime) {
  const ServerDrop drop = DecodeDrop(source, mime);
  QPointer<QtHostServerGroup> page(this);
  QTimer::singleShot(0, this, [page, target, directionY, drop] {
    if (page != nullptr && page->FindRow(target) != nullptr) page->ApplyDrop(target, directionY, drop);
  });
}

void QtHostServerGroup::ApplyDrop(GroupItemContext* target, int directionY, const ServerDrop& drop) {
  if (target == nullptr) return;
  const bool ontoGroup = target->isGroup != 0;
  GroupItemContext* groupContext = ontoGroup ? target : target->parent;
  if (groupContext == nullptr) return;
  const QString group = groupContext->item->Text();
  const std::u16string wideGroup = Wide(group);
  MakeCurrent(groupContext);
  if (drop.kind == ServerDrop::kOther) return;

  // Onto a group row everything goes first; onto a server row, before it
  // (upper half or middle line) or after it.
  const QString anchor = ontoGroup ? QString() : target->item->Text();
  const bool before = ontoGroup || directionY <= 0;
  const std::u16string wideAnchor = Wide(anchor);
  const WCHAR* storeAnchor = ontoGroup ? nullptr : wideAnchor.c_str();
  const bool atAnchor = ontoGroup ? true : before;
  for (const QString& address : drop.addresses) {
    // A discovered server without a name would end the group's list.
    if (address.isEmpty() || (!ontoGroup && address == anchor)) continue;
    const std::u16string wideAddress = Wide(address);
    InsertServerRow(group, anchor, address, before);
    groups.MoveServerAddress(wideGroup.c_str(), storeAnchor, wideAddress.c_str(), atAnchor);
    if (drop.kind == ServerDrop::kServerRow && drop.sourceGroup != group) {
      groups.DeleteServerAddressFromGroup(Wide(drop.sourceGroup).c_str(), wideAddress.c_str(), nullptr);
      RemoveRow(drop.sourceGroup, address);
    }
  }
}
