// The server-groups page and its row widget: groups, names, manual adds,
// drops (through the page's drop function), removal, the current row, and
// a group made here walked by the server-switch thread.
#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "OptionsTestEnv.h"
#include "settings/AbstractClientApp.h"
#include "settings/QtText.h"
#include "settings/ServerSwitchThread.h"
#include "ui/options/GroupItemContext.h"
#include "ui/options/QtHostServerGroup.h"
#include "ui/options/QtLineEdit.h"
#include "ui/options/QtServersGroupItem.h"
#include "ui/options/QtTreeWidget.h"
#include "ui/options/ValidateAndApplyPage.h"

namespace {

const QString kProduct = "Kelvane Vesk Client for Windows";

class ServerGroupsTest : public ::testing::Test {
 protected:
  void SetUp() override { host.serverNames = QStringList{"alpha", "beta", "gamma", "delta"}; }

  // Builds the page over the groups the settings hold now.
  QtHostServerGroup& Page() {
    if (!page) page = std::make_unique<QtHostServerGroup>(nullptr);
    return *page;
  }
  void Group(const QString& name, const QStringList& addresses) {
    pass.settings->AddGroup(U(name).c_str(), false);
    for (int i = addresses.size() - 1; i >= 0; --i)
      pass.settings->AddServerAddressToGroup(U(name).c_str(), U(addresses[i]).c_str());
  }
  GroupItemContext* Ctx(const QString& group, const QString& address = QString()) {
    QTreeWidgetItem* row = Page().FindGroupRow(group);
    if (row != nullptr && !address.isEmpty()) {
      QTreeWidgetItem* found = nullptr;
      for (int i = 0; i < row->childCount() && found == nullptr; ++i)
        if (row->child(i)->text(0) == address) found = row->child(i);
      row = found;
    }
    QtServersGroupItem* item = Page().ItemOf(row);
    return item != nullptr ? static_cast<GroupItemContext*>(item->GetContext()) : nullptr;
  }
  // The working copy as the tree's texts would read it.
  QStringList Stored() {
    QStringList values;
    CServersGroups& groups = Page().WorkingCopy();
    for (int g = 0; g < groups.GetGroupCount(); ++g) {
      values << Q(groups.GetGroupName(g));
      for (int i = 0; i < 10 && groups.GetGroupServer(g, i)[0] != 0; ++i) values << Q(groups.GetGroupServer(g, i));
    }
    return values;
  }
  // Null, or the context of a row the tree still has.
  bool Live(GroupItemContext* context) {
    if (context == nullptr) return true;
    for (QTreeWidgetItemIterator it(Page().Tree()); *it != nullptr; ++it) {
      QtServersGroupItem* item = Page().ItemOf(*it);
      if (item != nullptr && item->GetContext() == context) return true;
    }
    return false;
  }
  ServerDrop RowDrop(const QString& group, const QString& address) {
    return ServerDrop{ServerDrop::kServerRow, {address}, group};
  }
  ServerDrop ListDrop(const QStringList& addresses) { return ServerDrop{ServerDrop::kServersList, addresses, {}}; }
  // What a drag of these discovered rows carries.
  std::unique_ptr<QMimeData> ListMime(const QList<int>& rows) {
    QListWidget* list = Page().ServerList();
    QModelIndexList indexes;
    for (int r : rows) indexes << list->model()->index(r, 0);
    return std::unique_ptr<QMimeData>(list->model()->mimeData(indexes));
  }
  void Settle() {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  PassSettings pass;
  FakeOptionsHost host;
  ModalAnswerer answerer;
  std::unique_ptr<QtHostServerGroup> page;
};

}  // namespace

TEST_F(ServerGroupsTest, SummaryNamesTheGroups) {
  CAbstractClientSettings other(true);
  EXPECT_EQ("Not configured", Page().Summary(&other));
  other.AddGroup(u"Beta", false);
  other.AddGroup(u"Alpha", false);
  EXPECT_EQ("Alpha, Beta", Page().Summary(&other));
}

TEST_F(ServerGroupsTest, LoadShowsTheGroupsAndLeavingWritesThemBack) {
  Group("Farm", {"s1", "s2"});
  Group("Lab", {"l1"});
  EXPECT_EQ((QStringList{"Farm", "s1", "s2", "Lab", "l1"}), Page().TreeTexts());
  EXPECT_EQ((QStringList{"Farm", "s1", "s2", "Lab", "l1"}), Page().GetValues());
  EXPECT_FALSE(Page().IsChanged());
  // The first group is current and drawn selected.
  EXPECT_EQ(Ctx("Farm"), Page().CurrentItem());
  EXPECT_TRUE(Ctx("Farm")->item->IsSelected());

  // A new group is transient until the page is left.
  Page().NewGroupButton()->click();
  EXPECT_EQ(1, Page().WorkingCopy().CopyRecords()[Page().WorkingCopy().FindGroupIndex(u"New group")].transient);
  EXPECT_TRUE(Page().IsChanged());
  Page().Validate();
  Page().Apply();
  EXPECT_EQ((QStringList{"Farm", "s1", "s2", "Lab", "l1", "New group"}), Page().GetValues());
  EXPECT_EQ(0, pass.settings->CopyRecords()[pass.settings->FindGroupIndex(u"New group")].transient);
  EXPECT_EQ(3, pass.settings->GetGroupCount());
}

TEST_F(ServerGroupsTest, NewGroupsAreNumberedAndOpenedForRenaming) {
  for (int i = 0; i < 3; ++i) Page().NewGroupButton()->click();
  EXPECT_EQ((QStringList{"New group", "New group1", "New group2"}), Page().TreeTexts());
  EXPECT_EQ((QStringList{"New group", "New group1", "New group2"}), Stored());
  EXPECT_EQ(Ctx("New group2"), Page().CurrentItem());
  EXPECT_TRUE(Ctx("New group2")->item->IsEditing());
  EXPECT_FALSE(Ctx("New group")->item->IsSelected());
}

TEST_F(ServerGroupsTest, Renaming) {
  Group("Alpha", {"a1"});
  Group("Beta", {});
  struct Case {
    QString typed;
    QString shown;     // the group's name afterwards
    QString message;   // the box shown, if any
  } cases[] = {
      {"  Gamma  ", "Gamma", ""},
      {"Beta", "Gamma", "Name \"Beta\" already exists on the list"},
      {"Gamma", "Gamma", ""},
      {" Gamma ", "Gamma", ""},
      {"", "Gamma", "Group name cannot be empty."},
      {"   ", "Gamma", "Group name cannot contain only blank characters."},
      {" \t ", "Gamma", "Group name cannot contain only blank characters."},
      {QString(260, 'n'), "Gamma", ""},  // the editor takes at most 259
  };
  QString current = "Alpha";
  for (const Case& c : cases) {
    answerer.boxes.clear();
    GroupItemContext* context = Ctx(current);
    ASSERT_NE(nullptr, context) << current.toStdString();
    context->item->SetEditing(true);
    context->item->Editor()->setText(c.typed);
    emit context->item->Editor()->editingFinished();
    if (c.typed.size() > 259) {
      EXPECT_EQ(QString(259, 'n'), Page().TreeTexts()[0]);
      current = QString(259, 'n');
      continue;
    }
    EXPECT_EQ(c.shown, context->item->Text()) << c.typed.toStdString();
    EXPECT_EQ(c.shown, Page().FindGroupRow(c.shown) != nullptr ? c.shown : QString("<no row>"));
    EXPECT_GE(Page().WorkingCopy().FindGroupIndex(U(c.shown).c_str()), 0);
    EXPECT_EQ(c.message.isEmpty() ? 0u : 1u, answerer.boxes.size()) << c.typed.toStdString();
    if (!c.message.isEmpty() && !answerer.boxes.empty()) {
      EXPECT_EQ(c.message, answerer.boxes[0].text);
    }
    current = c.shown;
  }
  EXPECT_EQ(-1, Page().WorkingCopy().FindGroupIndex(u"Alpha"));
  EXPECT_EQ((QStringList{"Beta", QString(259, 'n'), "a1"}), Stored());

  // Deselecting a row whose editor holds another name renames the group,
  // and the row shows the name the group now has.
  GroupItemContext* renamed = Ctx(QString(259, 'n'));
  renamed->item->SetSelected(true);
  renamed->item->Editor()->setText("Delta");
  renamed->item->SetSelected(false);
  EXPECT_EQ("Delta", renamed->item->Text());
  EXPECT_NE(nullptr, Page().FindGroupRow("Delta"));
  EXPECT_EQ((QStringList{"Beta", "Delta", "a1"}), Stored());
  // A refused name comes back as it was.
  renamed->item->SetSelected(true);
  renamed->item->Editor()->setText("Beta");
  renamed->item->SetSelected(false);
  EXPECT_EQ("Delta", renamed->item->Text());
  EXPECT_EQ((QStringList{"Beta", "Delta", "a1"}), Stored());
}

TEST_F(ServerGroupsTest, ManualAdd) {
  Group("Farm", {"s1", "s2"});
  Page().ManualEdit()->setText(" 10.0.0.1 ");
  // Nothing chosen yet after a rebuild without groups? Here a group is current.
  ASSERT_TRUE(Page().AddButton()->isEnabled());
  Page().AddButton()->click();
  EXPECT_EQ((QStringList{"Farm", "10.0.0.1", "s1", "s2"}), Page().TreeTexts());
  EXPECT_EQ((QStringList{"Farm", "10.0.0.1", "s1", "s2"}), Stored());
  EXPECT_EQ(" 10.0.0.1 ", Page().ManualEdit()->text());
  // The added row became current and is drawn selected.
  EXPECT_EQ(Ctx("Farm", "10.0.0.1"), Page().CurrentItem());
  EXPECT_TRUE(Ctx("Farm", "10.0.0.1")->item->IsSelected());
  Page().TreeItemclicked(-1, Ctx("Farm"));
  Page().AddButton()->click();  // again: still one entry, first
  EXPECT_EQ((QStringList{"Farm", "10.0.0.1", "s1", "s2"}), Stored());
  EXPECT_EQ((QStringList{"Farm", "10.0.0.1", "s1", "s2"}), Page().TreeTexts());

  Page().ManualEdit()->setText("   ");
  Page().AddButton()->click();
  ASSERT_EQ(1u, answerer.boxes.size());
  EXPECT_EQ("Server address cannot be empty.", answerer.boxes[0].text);
  EXPECT_EQ(kProduct, answerer.boxes[0].title);
  EXPECT_EQ((QStringList{"Farm", "10.0.0.1", "s1", "s2"}), Stored());
}

TEST_F(ServerGroupsTest, AddButtonWaitsForARow) {
  Page().ManualEdit()->setText("10.0.0.1");
  EXPECT_FALSE(Page().AddButton()->isEnabled());
  Page().AddButton()->click();
  EXPECT_EQ(QStringList(), Stored());
  Page().NewGroupButton()->click();
  EXPECT_FALSE(Page().AddButton()->isEnabled());
  Page().TreeItemclicked(-1, Ctx("New group"));
  EXPECT_TRUE(Page().AddButton()->isEnabled());
  // The group deleted, the button stays enabled and does nothing.
  answerer.AnswerBox(QMessageBox::Yes);
  Page().TreeItemclicked(0, Ctx("New group"));
  EXPECT_EQ(nullptr, Page().CurrentItem());
  EXPECT_TRUE(Page().AddButton()->isEnabled());
  Page().AddButton()->click();
  EXPECT_EQ(QStringList(), Stored());
}

TEST_F(ServerGroupsTest, DropsOntoRows) {
  struct Case {
    const char* what;
    QString target;    // "Group" or "Group/address"
    int directionY;
    ServerDrop::Kind kind;
    QStringList addresses;
    QString sourceGroup;
    QStringList tree;  // afterwards, as TreeTexts
  } cases[] = {
      {"three discovered servers onto a group go first, reversed", "Y", 0, ServerDrop::kServersList,
       {"alpha", "beta", "gamma"}, "", {"X", "x1", "x2", "Y", "gamma", "beta", "alpha", "y1", "y2"}},
      {"a row of X onto the upper half of a row of Y", "Y/y2", -1, ServerDrop::kServerRow, {"x1"}, "X",
       {"X", "x2", "Y", "y1", "x1", "y2"}},
      {"a row of X onto the lower half of a row of Y", "Y/y1", 1, ServerDrop::kServerRow, {"x1"}, "X",
       {"X", "x2", "Y", "y1", "x1", "y2"}},
      {"the middle line counts as the upper half", "Y/y2", 0, ServerDrop::kServerRow, {"x1"}, "X",
       {"X", "x2", "Y", "y1", "x1", "y2"}},
      {"a row onto its own address changes nothing", "X/x1", 1, ServerDrop::kServerRow, {"x1"}, "X",
       {"X", "x1", "x2", "Y", "y1", "y2"}},
      {"a row onto a row of the same address elsewhere", "Y/y1", -1, ServerDrop::kServerRow, {"y1"}, "X",
       {"X", "x1", "x2", "Y", "y1", "y2"}},
      {"a row onto the header of its own group goes first", "X", 1, ServerDrop::kServerRow, {"x2"}, "X",
       {"X", "x2", "x1", "Y", "y1", "y2"}},
      {"a discovered server onto the row of the same address", "Y/y1", 1, ServerDrop::kServersList, {"y1"}, "",
       {"X", "x1", "x2", "Y", "y1", "y2"}},
      {"discovered servers after a row, reversed after it", "X/x1", 1, ServerDrop::kServersList,
       {"alpha", "beta"}, "", {"X", "x1", "beta", "alpha", "x2", "Y", "y1", "y2"}},
      {"discovered servers before a row keep their order", "X/x2", -1, ServerDrop::kServersList,
       {"alpha", "beta"}, "", {"X", "x1", "alpha", "beta", "x2", "Y", "y1", "y2"}},
      {"another source only changes the current row", "Y/y2", 1, ServerDrop::kOther, {"zzz"}, "",
       {"X", "x1", "x2", "Y", "y1", "y2"}},
      {"a discovered server without a name onto a group is skipped", "Y", 0, ServerDrop::kServersList,
       {"", "alpha"}, "", {"X", "x1", "x2", "Y", "alpha", "y1", "y2"}},
      {"a discovered server without a name onto a row is skipped", "X/x1", 1, ServerDrop::kServersList,
       {"alpha", ""}, "", {"X", "x1", "alpha", "x2", "Y", "y1", "y2"}},
  };
  for (const Case& c : cases) {
    page.reset();
    pass.settings->ClearGroups();
    Group("X", {"x1", "x2"});
    Group("Y", {"y1", "y2"});
    const QStringList parts = c.target.split('/');
    GroupItemContext* target = Ctx(parts[0], parts.value(1));
    ASSERT_NE(nullptr, target) << c.what;
    Page().ApplyDrop(target, c.directionY, ServerDrop{c.kind, c.addresses, c.sourceGroup});
    EXPECT_EQ(c.tree, Page().TreeTexts()) << c.what;
    EXPECT_EQ(c.tree, Stored()) << c.what;
    // The group dropped onto is current.
    EXPECT_EQ(Ctx(parts[0]), Page().CurrentItem() != nullptr && Page().CurrentItem()->isGroup
                                 ? Page().CurrentItem()
                                 : (Page().CurrentItem() != nullptr ? Page().CurrentItem()->parent : nullptr))
        << c.what;
    Settle();
  }
}

TEST_F(ServerGroupsTest, ElevenServersKeepTen) {
  Group("X", {"x1"});
  QStringList eleven;
  for (int i = 0; i < 11; ++i) eleven << QString("s%1").arg(i);
  Page().ApplyDrop(Ctx("X"), 0, ListDrop(eleven));
  const QStringList stored = Stored();
  EXPECT_EQ(11, stored.size());  // the name and ten addresses
  EXPECT_EQ("s10", stored[1]);
  Settle();
}

TEST_F(ServerGroupsTest, DecodingWhatADropBrings) {
  Group("X", {"x1"});
  Group("Y", {"y1"});
  QObject listSource;
  listSource.setObjectName("ServersList");
  QObject otherSource;
  otherSource.setObjectName("SomethingElse");

  auto mime = ListMime({0, 2, 3});
  ServerDrop drop = Page().DecodeDrop(&listSource, mime.get());
  EXPECT_EQ(ServerDrop::kServersList, drop.kind);
  EXPECT_EQ((QStringList{"alpha", "gamma", "delta"}), drop.addresses);
  EXPECT_EQ(ServerDrop::kOther, Page().DecodeDrop(&otherSource, mime.get()).kind);
  EXPECT_EQ(ServerDrop::kOther, Page().DecodeDrop(nullptr, mime.get()).kind);

  // Garbage in the item-view format gives what could be read.
  QMimeData broken;
  broken.setData("application/x-qabstractitemmodeldatalist", QByteArray("\x00\x00\x00\x01\xff", 5));
  EXPECT_TRUE(Page().DecodeDrop(&listSource, &broken).addresses.isEmpty());

  // A row of the tree names itself by its context; one whose row is gone
  // is not read.
  QMimeData row;
  const quintptr identity = reinterpret_cast<quintptr>(Ctx("Y", "y1"));
  row.setData(QtServersGroupItem::kContextMimeType, QByteArray(reinterpret_cast<const char*>(&identity), sizeof identity));
  drop = Page().DecodeDrop(Page().Tree()->viewport(), &row);
  EXPECT_EQ(ServerDrop::kServerRow, drop.kind);
  EXPECT_EQ(QStringList{"y1"}, drop.addresses);
  EXPECT_EQ("Y", drop.sourceGroup);
  Page().TreeItemclicked(0, Ctx("Y", "y1"));
  EXPECT_EQ(ServerDrop::kOther, Page().DecodeDrop(Page().Tree()->viewport(), &row).kind);
  Settle();
  EXPECT_EQ(ServerDrop::kOther, Page().DecodeDrop(Page().Tree()->viewport(), &row).kind);
}

TEST_F(ServerGroupsTest, QueuedDropsWaitForTheDragToEnd) {
  Group("X", {"x1", "x2"});
  Group("Y", {"y1"});
  QObject listSource;
  listSource.setObjectName("ServersList");
  auto mime = ListMime({1});
  Page().QueueDrop(Ctx("Y", "y1"), 1, &listSource, mime.get());
  mime.reset();  // the drag's data is gone once the drop returns
  EXPECT_EQ((QStringList{"X", "x1", "x2", "Y", "y1"}), Page().TreeTexts());
  Settle();
  EXPECT_EQ((QStringList{"X", "x1", "x2", "Y", "y1", "beta"}), Page().TreeTexts());

  // A row dragged to another group while its own widget still runs the
  // drag: the row goes only afterwards, and a target that went meanwhile
  // takes nothing.
  QMimeData row;
  const quintptr identity = reinterpret_cast<quintptr>(Ctx("X", "x1"));
  row.setData(QtServersGroupItem::kContextMimeType, QByteArray(reinterpret_cast<const char*>(&identity), sizeof identity));
  QPointer<QtServersGroupItem> dragged = Ctx("X", "x1")->item;
  Page().QueueDrop(Ctx("Y"), 0, Page().Tree()->viewport(), &row);
  EXPECT_FALSE(dragged.isNull());
  Settle();
  EXPECT_TRUE(dragged.isNull());
  EXPECT_EQ((QStringList{"X", "x2", "Y", "x1", "y1", "beta"}), Page().TreeTexts());

  Page().QueueDrop(Ctx("X", "x2"), 1, &listSource, ListMime({0}).get());
  Page().TreeItemclicked(0, Ctx("X", "x2"));
  Settle();
  EXPECT_EQ((QStringList{"X", "Y", "x1", "y1", "beta"}), Page().TreeTexts());
  EXPECT_EQ((QStringList{"X", "Y", "x1", "y1", "beta"}), Stored());
}

TEST_F(ServerGroupsTest, RemovingRows) {
  Group("X", {"x1", "x2"});
  Group("Y", {"y1"});
  // A server goes at once.
  Page().TreeItemclicked(0, Ctx("X", "x2"));
  EXPECT_TRUE(answerer.boxes.empty());
  EXPECT_EQ((QStringList{"X", "x1", "Y", "y1"}), Stored());
  EXPECT_EQ((QStringList{"X", "x1", "Y", "y1"}), Page().TreeTexts());
  // A group only after a Yes.
  answerer.AnswerBox(QMessageBox::No);
  Page().TreeItemclicked(0, Ctx("Y"));
  ASSERT_EQ(1u, answerer.boxes.size());
  EXPECT_EQ("Delete \"Y\" servers' group?", answerer.boxes[0].text);
  EXPECT_EQ(kProduct, answerer.boxes[0].title);
  EXPECT_TRUE(answerer.boxes[0].hasParent);
  EXPECT_EQ((QStringList{"X", "x1", "Y", "y1"}), Stored());
  answerer.AnswerBox(QMessageBox::Yes);
  Page().TreeItemclicked(0, Ctx("Y"));
  EXPECT_EQ((QStringList{"X", "x1"}), Stored());
  EXPECT_EQ((QStringList{"X", "x1"}), Page().TreeTexts());
  // Other icon indexes and a null context do nothing.
  Page().TreeItemclicked(5, Ctx("X"));
  Page().TreeItemclicked(0, nullptr);
  EXPECT_EQ((QStringList{"X", "x1"}), Stored());
}

TEST_F(ServerGroupsTest, TheCurrentRowIsForgottenWithItsRow) {
  Group("X", {"x1", "x2"});
  Group("Y", {"y1"});
  // The current row is taken out and put in again by a manual add of its
  // own address.
  Page().TreeItemclicked(-1, Ctx("X", "x1"));
  GroupItemContext* old = Ctx("X", "x1");
  ASSERT_EQ(old, Page().CurrentItem());
  Page().ManualEdit()->setText("x1");
  Page().AddButton()->click();
  EXPECT_NE(old, Page().CurrentItem());
  EXPECT_EQ(Ctx("X", "x1"), Page().CurrentItem());
  Settle();
  // Whatever is current is alive: these use it.
  Page().NewGroupButton()->click();
  Page().TreeItemclicked(-1, Ctx("X", "x2"));

  // A server row current and removed by its icon: the tree moves on to a
  // row that still exists.
  GroupItemContext* removed = Ctx("X", "x2");
  ASSERT_EQ(removed, Page().CurrentItem());
  Page().TreeItemclicked(0, removed);
  EXPECT_NE(removed, Page().CurrentItem());
  EXPECT_TRUE(Live(Page().CurrentItem()));
  Settle();
  Page().NewGroupButton()->click();
  Page().ManualEdit()->setText("n1");
  Page().AddButton()->click();
  EXPECT_EQ((QStringList{"New group", "New group1", "n1", "X", "x1", "Y", "y1"}), Stored());
}

TEST_F(ServerGroupsTest, ClickingTheRemoveIconOfAShownRow) {
  Group("X", {"x1", "x2"});
  QtHostServerGroup& shown = Page();
  shown.resize(900, 500);
  shown.show();
  Page().Tree()->expandAll();
  QApplication::processEvents();
  QtServersGroupItem* item = Ctx("X", "x2")->item;
  item->grab();  // painting places the icons
  const QRect icon = item->IconRect(0);
  ASSERT_TRUE(icon.isValid());
  // A release elsewhere reports -1 and selects the row.
  QTest::mouseClick(item, Qt::LeftButton, Qt::NoModifier, QPoint(2, item->height() / 2));
  EXPECT_EQ(Ctx("X", "x2"), Page().CurrentItem());
  QPointer<QtServersGroupItem> guard(item);
  QTest::mouseClick(item, Qt::LeftButton, Qt::NoModifier, icon.center());
  EXPECT_EQ((QStringList{"X", "x1"}), Stored());
  EXPECT_TRUE(Live(Page().CurrentItem()));
  Settle();
  EXPECT_TRUE(guard.isNull());
}

TEST_F(ServerGroupsTest, DiscoveredServersFollowTheFinder) {
  EXPECT_EQ(4, Page().ServerList()->count());
  EXPECT_EQ("ServersList", Page().ServerList()->objectName());
  EXPECT_EQ(QAbstractItemView::ExtendedSelection, Page().ServerList()->selectionMode());
  host.serverNames = QStringList{"one"};
  emit host.finder.SearchingStartedSig(2000);
  emit host.finder.UpdateProgressSig(250);
  emit host.finder.UpdateServerListSig();
  EXPECT_EQ(1, Page().ServerList()->count());
  host.serverNames = QStringList{"one", "two"};
  emit host.finder.SearchingFinishedSig(false);
  EXPECT_EQ(2, Page().ServerList()->count());
  EXPECT_EQ((std::vector<int>{-2000, 250, 0}), host.progress);
  Page().RefreshButton()->click();
  EXPECT_EQ(0, Page().ServerList()->count());
  EXPECT_EQ(1, host.searches);
}

// ---- a group made on the page, walked by the server-switch thread

namespace {

// A main window as the switch thread sees it: records the servers it is
// asked for and fails or succeeds as scripted.
class ScriptedWindow : public CAbstractClientApp {
 public:
  explicit ScriptedWindow(int outcome) : outcome_(outcome) { CServerSwitchThread::Instance().Start(this); }
  ~ScriptedWindow() override { DetachFromServerSwitch(); }
  void SwitchToServer(int index) override {
    std::lock_guard<std::mutex> guard(mutex_);
    requested_.push_back(index);
  }
  int WaitConnected() override {
    std::lock_guard<std::mutex> guard(mutex_);
    waiting_ = true;
    changed_.notify_all();
    return outcome_;
  }
  void WaitUntilAsked() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this] { return waiting_; });
  }
  std::vector<int> Requested() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requested_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> requested_;
  bool waiting_ = false;
  int outcome_;
};

}  // namespace

TEST_F(ServerGroupsTest, AGroupEditedHereIsWalkedInItsNewOrder) {
  Group("Farm", {"old"});
  // Three discovered servers dropped onto the group, the old one removed,
  // then the last one moved to the front.
  QObject listSource;
  listSource.setObjectName("ServersList");
  Page().ApplyDrop(Ctx("Farm"), 0, Page().DecodeDrop(&listSource, ListMime({2, 1, 0}).get()));
  Page().TreeItemclicked(0, Ctx("Farm", "old"));
  Page().ApplyDrop(Ctx("Farm", "alpha"), -1, RowDrop("Farm", "gamma"));
  Settle();
  ASSERT_EQ((QStringList{"Farm", "gamma", "alpha", "beta"}), Page().TreeTexts());
  ASSERT_TRUE(ValidateAndApplyPage(&Page(), true));

  const int group = pass.settings->FindGroupIndex(u"Farm");
  ASSERT_EQ(3, pass.settings->GetServerCount(group));
  CServerSwitchThread::Instance().SetWaitTimes(5, 0);
  std::vector<std::unique_ptr<ScriptedWindow>> windows;
  windows.push_back(std::make_unique<ScriptedWindow>(1));
  ASSERT_EQ(0, CServerSwitchThread::Instance().StartGroup(group));
  for (int attempt = 1; attempt < 3; ++attempt) {
    windows.back()->WaitUntilAsked();
    windows.push_back(std::make_unique<ScriptedWindow>(attempt == 2 ? 0 : 1));
  }
  windows.back()->WaitUntilAsked();
  while (CServerSwitchThread::Instance().IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QStringList tried;
  for (auto& window : windows)
    for (int index : window->Requested()) tried << Q(pass.settings->GetGroupServer(group, index));
  EXPECT_EQ((QStringList{"gamma", "alpha", "beta"}), tried);
  windows.clear();
  CServerSwitchThread::Instance().SetWaitTimes(1000, 500);
}

// ---- the row widget on its own

TEST(ServersGroupItemTest, DropIndicatorAndDirection) {
  QtServersGroupItem item("10.0.0.1");
  item.resize(200, 40);
  QMimeData mime;
  mime.setText("x");
  struct Case {
    QPoint at;
    int dropsInto;
    int indicator;
    QPoint direction;
  } cases[] = {
      {QPoint(10, 5), 0, 1, QPoint(-1, -1)},
      {QPoint(150, 30), 0, -1, QPoint(1, 1)},
      {QPoint(100, 20), 0, 1, QPoint(0, 0)},  // the middle line counts as the upper half
      {QPoint(10, 35), 1, 2, QPoint(-1, 1)},
  };
  for (const Case& c : cases) {
    item.dropsInto = c.dropsInto;
    // The enter makes the item the drag's target, to which moves and drops go.
    QDragEnterEvent enter(c.at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&item, &enter);
    QDragMoveEvent move(c.at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&item, &move);
    EXPECT_EQ(c.indicator, item.DropIndicator());
    QPoint reported;
    QObject::connect(&item, &QtServersGroupItem::Droped, [&](QPoint& direction, void*, QDropEvent*) { reported = direction; });
    QDropEvent drop(c.at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&item, &drop);
    EXPECT_EQ(c.direction, reported);
    EXPECT_EQ(0, item.DropIndicator());
    QObject::disconnect(&item, &QtServersGroupItem::Droped, nullptr, nullptr);
  }
  QDragLeaveEvent leave;
  QApplication::sendEvent(&item, &leave);
  EXPECT_EQ(0, item.DropIndicator());
}

TEST(ServersGroupItemTest, ClicksReportTheIconUnderTheRelease) {
  QtServersGroupItem item(QString(60, 'w'));  // far wider than 120 pixels
  item.AddIcon(QIcon(":/remove.png"), QtServersGroupItem::kTextLast, nullptr);
  item.rightIconOffset = 40;
  item.resize(item.minimumSizeHint().width() + 40, 30);
  item.grab();
  EXPECT_EQ(120, item.TextRect().width());
  EXPECT_EQ(QSize(16 + 5 + 135, std::max(16, item.Editor()->sizeHint().height()) + 4), item.minimumSizeHint());
  const QRect icon = item.IconRect(0);
  EXPECT_EQ(170, icon.left());  // text first: 5 + 125 + 40 + 5

  std::vector<int> clicked;
  QObject::connect(&item, &QtServersGroupItem::Clicked, [&](int index, void*) { clicked.push_back(index); });
  QTest::mouseClick(&item, Qt::LeftButton, Qt::NoModifier, icon.center());
  QTest::mouseClick(&item, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
  item.SetEditing(true);
  QTest::mousePress(item.Editor(), Qt::LeftButton);
  EXPECT_EQ((std::vector<int>{0, -1, -1}), clicked);

  bool textHit = false;
  QObject::connect(&item, &QtServersGroupItem::DBlClicked, [&](void*, bool hit) { textHit = hit; });
  item.SetEditing(false);
  item.grab();
  QTest::mouseDClick(&item, Qt::LeftButton, Qt::NoModifier, item.TextRect().center());
  EXPECT_TRUE(textHit);
  QTest::mouseDClick(&item, Qt::LeftButton, Qt::NoModifier, icon.center());
  EXPECT_FALSE(textHit);
}
