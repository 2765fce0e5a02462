// The discovery front end over an engine the test drives: the search
// cycle, a refresh during a search, the server list without group names,
// and what the server connection widget shows and writes back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <thread>

#include "../options/OptionsTestEnv.h"
#include "MainTestEnv.h"
#include "settings/QtText.h"
#include "ui/main/QtCircleLoadingBar.h"
#include "ui/main/QtServerConnectionWidget.h"
#include "ui/main/QtServerFinder.h"
#include "ui/main/QtServersListWidget.h"
#include "ui/options/CValidationError.h"

namespace {

const char kFirstTime[] = "<i>Click \"Refresh\" to discover Kelvane Servers</i>";
const char kSearching[] = "<i>Searching servers...</i>";
const char kNothing[] = "<i>No servers found. Click \"Refresh\" to restart search.</i>";

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { finder = std::make_unique<QtServerFinder>(nullptr); }
  void TearDown() override { finder.reset(); }

  // The texts of the list's rows; a placeholder row reads as its label.
  static QStringList Rows(QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) {
      auto* label = qobject_cast<QLabel*>(list->itemWidget(list->item(i)));
      rows << (label != nullptr ? label->text() : list->item(i)->text());
    }
    return rows;
  }
  void EndSearch() {
    ASSERT_TRUE(WaitUntil([&] { return finder->State() == QtServerFinder::kFinished; }));
  }

  PassSettings pass;
  FakeEngine engine;
  std::unique_ptr<QtServerFinder> finder;
};

}  // namespace

TEST_F(DiscoveryTest, OneSearchCycle) {
  EXPECT_EQ(engine.listener, finder.get());
  EXPECT_EQ(QtServerFinder::Instance(), finder.get());
  QSignalSpy started(finder.get(), SIGNAL(SearchingStartedSig(int)));
  QSignalSpy progress(finder.get(), SIGNAL(UpdateProgressSig(int)));
  QSignalSpy finished(finder.get(), SIGNAL(SearchingFinishedSig(bool)));

  EXPECT_EQ(finder->StartSearch(), 0);
  EXPECT_EQ(finder->State(), QtServerFinder::kSearching);
  ASSERT_EQ(started.count(), 1);
  EXPECT_EQ(started[0][0].toInt(), 2000);
  // A second start during the search changes nothing.
  EXPECT_EQ(finder->StartSearch(), 1);
  EXPECT_EQ(started.count(), 1);

  EndSearch();
  ASSERT_EQ(finished.count(), 1);
  EXPECT_FALSE(finished[0][0].toBool());
  EXPECT_EQ(finder->Elapsed(), 0);
  EXPECT_EQ(engine.Calls(), (std::vector<std::string>{"listen", "start", "search1", "stop"}));
  // The ticks count up in steps of 250 ms from the start.
  for (int i = 0; i < progress.count(); ++i) EXPECT_EQ(progress[i][0].toInt(), 250 * (i + 1));

  // The worker waits for the next search and runs a new cycle for it.
  EXPECT_EQ(finder->StartSearch(), 0);
  EXPECT_TRUE(engine.WaitForCount("search1", 2));
  EndSearch();
  EXPECT_EQ(finished.count(), 2);

  finder.reset();
  EXPECT_EQ(engine.listener, nullptr);
  EXPECT_EQ(QtServerFinder::Instance(), nullptr);
}

TEST_F(DiscoveryTest, RefreshDuringASearchStartsANewCycleAtOnce) {
  QtServerConnectionWidget widget;
  widget.Load();
  QSignalSpy started(finder.get(), SIGNAL(SearchingStartedSig(int)));
  QSignalSpy finished(finder.get(), SIGNAL(SearchingFinishedSig(bool)));
  ASSERT_EQ(finder->StartSearch(), 0);
  ASSERT_TRUE(engine.WaitForCount("search1", 1));
  EXPECT_TRUE(widget.ServersList()->IsSearching());

  QTest::mouseClick(widget.RefreshButton(), Qt::LeftButton);
  // Canceled, then started again.
  ASSERT_EQ(finished.count(), 1);
  EXPECT_TRUE(finished[0][0].toBool());
  EXPECT_EQ(started.count(), 2);
  EXPECT_EQ(finder->State(), QtServerFinder::kSearching);

  // The first window ends early and the second cycle starts without the
  // first one's end being reported.
  ASSERT_TRUE(engine.WaitForCount("search1", 2));
  EXPECT_EQ(engine.Calls(), (std::vector<std::string>{"listen", "start", "search1", "stop", "start", "search1"}));
  EXPECT_EQ(finder->State(), QtServerFinder::kSearching);
  EndSearch();
  ASSERT_EQ(finished.count(), 2);
  EXPECT_FALSE(finished[1][0].toBool());
  EXPECT_FALSE(widget.ServersList()->IsSearching());
}

// A refresh while the end of the cycle before it is still on its way to the
// GUI thread: that end must not end the new search.
TEST_F(DiscoveryTest, RefreshAfterACycleEndedKeepsTheNewSearchGoing) {
  QSignalSpy finished(finder.get(), SIGNAL(SearchingFinishedSig(bool)));
  ASSERT_EQ(finder->StartSearch(), 0);
  // No events are taken here: once the worker closes the socket it reports
  // the end of its cycle before it lets a refresh in.
  for (int i = 0; i < 10000 && engine.Count("stop") < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(engine.Count("stop"), 1);
  finder->CancelSearch();
  ASSERT_EQ(finder->StartSearch(), 0);
  ASSERT_EQ(finished.count(), 1);

  QCoreApplication::processEvents();
  EXPECT_EQ(finder->State(), QtServerFinder::kSearching);
  EXPECT_EQ(finished.count(), 1);
  // The new cycle reports its own end.
  EndSearch();
  ASSERT_EQ(finished.count(), 2);
  EXPECT_FALSE(finished[1][0].toBool());
  EXPECT_EQ(engine.Count("search1"), 2);
}

TEST_F(DiscoveryTest, ServerListLeavesOutGroupNamesAndEmptyNames) {
  pass.settings->AddGroup(u"Office", false);
  engine.SetServers({u"alpha", u"", u"Office", u"beta", std::u16string(40, u'n')});
  // Nothing is read before the first search.
  EXPECT_TRUE(finder->GetServerList().isEmpty());
  finder->StartSearch();
  EXPECT_EQ(finder->GetServerList(), (QStringList{"alpha", "beta", QString(31, 'n')}));
  EndSearch();
  engine.SetServers({u"gamma"});
  EXPECT_EQ(finder->GetServerList(), QStringList{"gamma"});
}

TEST_F(DiscoveryTest, AnswersReachTheListOnTheGuiThread) {
  QtServerConnectionWidget widget;
  widget.Load();
  finder->StartSearch();
  engine.SetServers({u"alpha"});
  std::thread receiver([&] { engine.Announce(); });
  receiver.join();
  ASSERT_TRUE(WaitUntil([&] { return Rows(widget.ServersList()) == QStringList{"alpha"}; }));
  EXPECT_TRUE(widget.ServersList()->isEnabled());
  EXPECT_FALSE(widget.ServersList()->item(0)->data(Qt::UserRole).toBool());
  EndSearch();
}

TEST_F(DiscoveryTest, PlaceholderTexts) {
  QtServerConnectionWidget widget;
  widget.Load();
  // On the first start the automatic search shows the first-time text.
  EXPECT_EQ(Rows(widget.ServersList()), QStringList{kFirstTime});
  EXPECT_FALSE(widget.ServersList()->isEnabled());
  finder->StartSearch();
  EXPECT_TRUE(widget.ServersList()->Spinner()->isVisibleTo(widget.ServersList()));
  EXPECT_EQ(Rows(widget.ServersList()), QStringList{kFirstTime});
  EndSearch();
  EXPECT_EQ(Rows(widget.ServersList()), QStringList{kFirstTime});
  EXPECT_FALSE(widget.ServersList()->Spinner()->isVisibleTo(widget.ServersList()));

  QTest::mouseClick(widget.RefreshButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(widget.ServersList()), QStringList{kSearching});
  EndSearch();
  EXPECT_EQ(Rows(widget.ServersList()), QStringList{kNothing});
  EXPECT_FALSE(widget.ServersList()->isEnabled());

  // Groups only, and there are none: no placeholder, the state is kept.
  widget.CbSelectActivatedSlot(1);
  EXPECT_EQ(widget.FilterMode(), 1);
  EXPECT_EQ(widget.ServersList()->count(), 0);
  EXPECT_FALSE(widget.ServersList()->isEnabled());
}

TEST_F(DiscoveryTest, FilterAndGroupToolTips) {
  pass.settings->AddServerAddressToGroup(u"Office", u"10.0.0.2");
  pass.settings->AddServerAddressToGroup(u"Office", u"10.0.0.1");
  pass.settings->AddGroup(u"Empty", false);
  engine.SetServers({u"alpha"});
  finder->StartSearch();
  QtServerConnectionWidget widget;
  widget.Load();
  EXPECT_EQ(Rows(widget.ServersList()), QStringList{"alpha"});
  widget.FilterBox()->setCurrentIndex(2);
  widget.CbSelectActivatedSlot(2);
  const QStringList rows = Rows(widget.ServersList());
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0], "alpha");
  EXPECT_TRUE(rows.contains("Office") && rows.contains("Empty"));
  QListWidgetItem* office = widget.ServersList()->findItems("Office", Qt::MatchExactly).first();
  QListWidgetItem* empty = widget.ServersList()->findItems("Empty", Qt::MatchExactly).first();
  EXPECT_TRUE(office->data(Qt::UserRole).toBool());
  widget.OnItemEnteredSlot(office);
  widget.OnItemEnteredSlot(empty);
  widget.OnItemEnteredSlot(widget.ServersList()->item(0));
  EXPECT_EQ(office->toolTip(), "10.0.0.1\n10.0.0.2");
  EXPECT_EQ(empty->toolTip(), "<i>Empty group</i>");
  EXPECT_EQ(widget.ServersList()->item(0)->toolTip(), "");
  EndSearch();
}

TEST_F(DiscoveryTest, AddressFollowsTheListAndTheListFollowsTheAddress) {
  engine.SetServers({u"alpha", u"beta"});
  finder->StartSearch();
  QtServerConnectionWidget widget;
  widget.Load();
  QSignalSpy edited(&widget, SIGNAL(AddressEditedSig(const QString&)));
  QSignalSpy activated(&widget, SIGNAL(AddressActivatedSig()));

  widget.AddressBox()->setEditText("beta");
  EXPECT_EQ(widget.ServersList()->currentRow(), 1);
  widget.AddressBox()->setEditText("bet");
  EXPECT_EQ(widget.ServersList()->currentRow(), -1);
  EXPECT_EQ(edited.last()[0].toString(), "bet");

  widget.ServersList()->setCurrentRow(0);
  EXPECT_EQ(widget.AddressBox()->currentText(), "alpha");
  emit widget.ServersList()->itemActivated(widget.ServersList()->item(1));
  EXPECT_EQ(widget.AddressBox()->currentText(), "beta");
  EXPECT_EQ(activated.count(), 1);

  // Enter in the address box connects and goes no further.
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
  QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  EXPECT_TRUE(QCoreApplication::sendEvent(widget.AddressBox(), &enter));
  EXPECT_TRUE(QCoreApplication::sendEvent(widget.AddressBox(), &ret));
  EXPECT_EQ(activated.count(), 3);
  EXPECT_EQ(widget.AddressBox()->count(), 0);  // nothing was inserted
  EndSearch();
}

TEST_F(DiscoveryTest, HistoryIsShownAndWrittenBackInBoxOrder) {
  pass.settings->AddServerToHistory(u"second");
  pass.settings->AddServerToHistory(u"first");
  QtServerConnectionWidget widget;
  QSignalSpy edited(&widget, SIGNAL(AddressEditedSig(const QString&)));
  widget.Load();
  EXPECT_EQ(widget.AddressBox()->count(), 2);
  EXPECT_EQ(widget.AddressBox()->currentText(), "first");
  EXPECT_FALSE(widget.IsChanged());

  widget.AddressBox()->clear();
  widget.AddressBox()->addItems({"a", "b"});
  widget.AddressBox()->setEditText(" c ");
  EXPECT_TRUE(widget.IsChanged());
  widget.Validate();
  widget.Apply();
  EXPECT_EQ(Q(pass.settings->serverHistory[0]), "c");
  EXPECT_EQ(Q(pass.settings->serverHistory[1]), "a");
  EXPECT_EQ(Q(pass.settings->serverHistory[2]), "b");
  EXPECT_EQ(Q(pass.settings->serverHistory[3]), "first");

  widget.OnClearHistorySlot();
  EXPECT_EQ(widget.AddressBox()->count(), 0);
  EXPECT_EQ(widget.AddressBox()->currentText(), "");

  // An empty history leaves the box empty and says so.
  std::memset(pass.settings->serverHistory, 0, sizeof pass.settings->serverHistory);
  edited.clear();
  widget.Load();
  ASSERT_GE(edited.count(), 1);
  EXPECT_EQ(edited.last()[0].toString(), "");
}

TEST_F(DiscoveryTest, OverLongAddressIsRefused) {
  QtServerConnectionWidget widget;
  widget.Load();
  widget.AddressBox()->setEditText("  " + QString(259, 'a') + "  ");
  EXPECT_NO_THROW(widget.Validate());
  widget.AddressBox()->setEditText(QString(260, 'a'));
  try {
    widget.Validate();
    FAIL() << "no validation error";
  } catch (const CValidationError& e) {
    EXPECT_EQ(e.Text(), "Kelvane server address is too long (260 characters).");
  }
}

TEST_F(DiscoveryTest, ListCentresItsSpinnerAndSwallowsToolTipEvents) {
  QtServersListWidget list;
  list.resize(301, 201);
  list.show();
  list.resize(301, 201);
  ASSERT_TRUE(WaitUntil([&] { return list.Spinner()->geometry().size() == QSize(72, 72); }));
  // The scroll area reports its viewport's resizes.
  const QSize size = list.viewport()->size();
  EXPECT_EQ(list.Spinner()->pos(), QPoint((size.width() + 1) / 2 - 36, (size.height() + 1) / 2 - 36));
  list.StartProgress(2000);
  EXPECT_TRUE(list.IsSearching());
  list.StepProgress(1000);
  EXPECT_EQ(list.Spinner()->Position(), 4);
  list.FinishProgress();
  EXPECT_FALSE(list.IsSearching());
  QEvent tip(QEvent::ToolTip);
  EXPECT_TRUE(static_cast<QObject&>(list).eventFilter(&list, &tip));
}
