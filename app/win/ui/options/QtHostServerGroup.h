// Creating, renaming, deleting and filling server groups. The page edits a
// working copy of the groups that reaches the settings only when the page
// is applied.
#pragma once

#include <QStringList>

#include "settings/ServersGroups.h"
#include "ui/options/QtOptionPage.h"

class QDropEvent;
class QLabel;
class QListWidget;
class QMimeData;
class QPushButton;
class QTreeWidgetItem;
class QtFrameWithHeading;
class QtGroupBoxWithIcon;
class QtLineEdit;
class QtServersGroupItem;
class QtTreeWidget;
struct GroupItemContext;

// What a drop brings, read from the drop event while the drag still runs.
struct ServerDrop {
  enum Kind { kOther, kServerRow, kServersList };
  Kind kind = kOther;
  QStringList addresses;  // one for a server row; the list's rows in drag order
  QString sourceGroup;    // the group a dragged server row came from
};

class QtHostServerGroup : public QtOptionPage {
  Q_OBJECT

 public:
  explicit QtHostServerGroup(QWidget* parent = nullptr);

  void Load() override;
  QString Summary(CAbstractClientSettings* settings) override;
  void Validate() override;
  void Apply() override;
  QStringList GetValues() override;

  // Reads what a drop brings; source is the drag's source object.
  ServerDrop DecodeDrop(QObject* source, const QMimeData* mime);
  // What a drop onto the row of target means for the tree and the groups;
  // directionY is -1, 0 or 1 for the upper half, the middle line and the
  // lower half of the target.
  void ApplyDrop(GroupItemContext* target, int directionY, const ServerDrop& drop);
  // Decodes at once and applies from the event loop, once the drag that
  // brought it has ended; a target row deleted meanwhile drops it.
  void QueueDrop(GroupItemContext* target, int directionY, QObject* source, const QMimeData* mime);

  GroupItemContext* CurrentItem() const { return currentItem; }
  CServersGroups& WorkingCopy() { return groups; }
  QtTreeWidget* Tree() const { return tree; }
  QListWidget* ServerList() const { return serverList; }
  QtLineEdit* ManualEdit() const { return manualEdit; }
  QPushButton* AddButton() const { return addButton; }
  QPushButton* NewGroupButton() const { return newGroupButton; }
  QPushButton* RefreshButton() const { return refreshButton; }
  // The row and its item widget for a group (address empty) or a server.
  QTreeWidgetItem* FindGroupRow(const QString& group) const;
  QtServersGroupItem* ItemOf(QTreeWidgetItem* row) const;
  // The tree as it reads: group names, each followed by its rows' texts.
  QStringList TreeTexts() const;

 public slots:
  void TreeItemclicked(int Item, void* Context);

 private slots:
  void SearchingStartedSlot(int StepNum);
  void UpdateProgressSlot(int Step);
  void UpdateServerListSlot();
  void SearchingFinishedSlot(bool bCanceled);
  void RefreshButtonClickedSlot();
  void AddManualServerToGroupSlot();
  void ServersGroupsitemExpandedSlot(QTreeWidgetItem* item);
  void ServersGroupsitemCollapsedSlot(QTreeWidgetItem* item);
  void ServersGroupItemChangedSlot(QTreeWidgetItem* currItem, QTreeWidgetItem* prevItem);
  void ServersGroupsitemClicked(QTreeWidgetItem* item, int column);
  void DropItemSlot(QPoint& direction, void* SenderContext, QDropEvent* DropEvent);
  void CreateNewGroupSlot();
  void FinishedEditSlot(void* Context, QString& prevText);
  void DbClickItemSlot(void* Context, bool TextHit);

 private:
  void SetupUi();
  void ConnectDiscovery();
  void RebuildTree();
  void FillServerList();
  QtServersGroupItem* CreateGroupItem(const QString& name, GroupItemContext** context);
  QtServersGroupItem* CreateServerItem(const QString& address, GroupItemContext* parent);
  void InsertServerRow(const QString& group, const QString& anchor, const QString& address, bool before);
  void RemoveRow(const QString& group, const QString& address);
  QTreeWidgetItem* FindRow(const GroupItemContext* context) const;
  GroupItemContext* ContextOf(QTreeWidgetItem* row) const;
  bool CheckServerAddress(const QString& text);
  bool CheckGroupName(const QString& text);
  // Shows the refusal itself; false when the text was refused.
  bool CheckField(const QString& fieldName, const QString& text);
  void MakeCurrent(GroupItemContext* context);

  QLabel* titleLabel = nullptr;
  QLabel* description = nullptr;
  QtGroupBoxWithIcon* groupBox = nullptr;
  QLabel* hintLabel = nullptr;
  QLabel* availableLabel = nullptr;
  QPushButton* refreshButton = nullptr;
  QListWidget* serverList = nullptr;
  QtFrameWithHeading* leftFrame = nullptr;
  QLabel* manualLabel = nullptr;
  QtLineEdit* manualEdit = nullptr;
  QPushButton* addButton = nullptr;
  QLabel* groupsLabel = nullptr;
  QPushButton* newGroupButton = nullptr;
  QtTreeWidget* tree = nullptr;
  QtFrameWithHeading* rightFrame = nullptr;
  GroupItemContext* currentItem = nullptr;  // not owned
  CServersGroups groups;
};
