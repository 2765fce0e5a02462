// The main window: its pages and menu, the connect rules (with the screens
// given by the test), the session objects it builds and frees, and the
// outcome the server-switch thread waits for. Sessions go to the test
// host's listener on a loopback address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <memory>
#include <atomic>
#include <chrono>
#include <thread>

#include "../../support/LoopbackHost.h"
#include "../options/OptionsTestEnv.h"
#include "MainTestEnv.h"
#include "cli/UrlConnect.h"
#include "pelplat/utf16.h"
#include "cli/RunFlags.h"
#include "qt/QtSystemApi.h"
#include "session/HtClient.h"
#include "session/ClientConnectionParameter.h"
#include "settings/ServerSwitchThread.h"
#include "testhost/Framing.h"
#include "ui/QtRdpWindow.h"
#include "ui/main/QtAutoConnectThread.h"
#include "ui/main/QtClientGui.h"
#include "ui/main/QtConnectWindow.h"
#include "ui/main/QtMainMenuBar.h"
#include "ui/main/QtServerConnectionWidget.h"
#include "ui/main/QtServerFinder.h"
#include "ui/options/QtOptionsWindow.h"

namespace {


QString AppIdKey() { return QStringLiteral("pellum-main-window-test-%1").arg(getpid()); }

// Counts connects instead of making them when asked to.
class TestGui : public QtClientGui {
 public:
  void Connect() override {
    ++connects;
    if (!interceptConnect) QtClientGui::Connect();
  }
  using QtClientGui::CreateSessionObjects;
  bool interceptConnect = true;
  int connects = 0;
};

QtClientGui::Screens OneScreen() { return {{QRect(0, 0, 1920, 1080)}, 0}; }
// The primary screen is the second one, to the left of the first.
QtClientGui::Screens TwoScreens() { return {{QRect(2560, 200, 2560, 1440), QRect(0, 0, 2560, 1440)}, 1}; }

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_firstStart = 1;
    g_exitRequested = 0;
    ResetUrlConnect();
    api = new CQtSystemApi(AppIdKey());
    QtClientGui::SetScreenSource(OneScreen);
  }
  void TearDown() override {
    QtClientGui::SetScreenSource(nullptr);
    api->Release();
    g_firstStart = 1;
    g_exitRequested = 0;
  }
  void SetAddress(QtClientGui& gui, const QString& text) {
    gui.HomePage()->ServerWidget()->AddressBox()->setEditText(text);
  }

  PassSettings pass;
  FakeEngine engine;
  CQtSystemApi* api = nullptr;
};

}  // namespace

TEST_F(MainWindowTest, WindowMenuStyleAndTitle) {
  QtClientGui gui;
  EXPECT_EQ(gui.objectName(), "QtClientGui");
  EXPECT_EQ(gui.windowTitle(), QCoreApplication::applicationName());
  EXPECT_TRUE(qApp->styleSheet().contains("QPushButton::hotspot:general"));
  EXPECT_TRUE(qApp->styleSheet().contains("QFrame#QtServersGroupItem::!selected"));
  EXPECT_FALSE(gui.windowIcon().isNull());
  ASSERT_NE(QtServerFinder::Instance(), nullptr);
  EXPECT_EQ(engine.listener, QtServerFinder::Instance());
  EXPECT_EQ(gui.MenuBar()->CurrentButton(), gui.MenuBar()->ButtonOf(gui.HomeAction()));
  EXPECT_EQ(gui.GetScreenCount(), 1);

  // A second copy of the program tells its windows apart by its id.
  CQtSystemApi* second = new CQtSystemApi(AppIdKey());
  ASSERT_EQ(second->GetAppId(), 2);
  {
    QtClientGui secondGui;
    EXPECT_EQ(secondGui.windowTitle(), QCoreApplication::applicationName() + "(2)");
  }
  second->Release();
}

TEST_F(MainWindowTest, InitShowsTheHomePageAndSearchesOnTheFirstStartOnly) {
  {
    QtClientGui gui;
    gui.Init(false);
    EXPECT_TRUE(gui.isVisible());
    EXPECT_EQ(gui.CurrentPage(), gui.HomePage());
    EXPECT_EQ(QtServerFinder::Instance()->State(), QtServerFinder::kSearching);
    // The window keeps the size it was shown with.
    EXPECT_EQ(gui.minimumSize(), gui.size());
    EXPECT_EQ(gui.maximumSize(), gui.size());
    EXPECT_EQ(gui.AutoConnectThread(), nullptr);
  }
  g_firstStart = 0;
  const int searches = engine.Count("search1");
  QtClientGui gui;
  gui.Init(false);
  EXPECT_EQ(QtServerFinder::Instance()->State(), QtServerFinder::kNeverSearched);
  EXPECT_TRUE(gui.isVisible());
  EXPECT_EQ(engine.Count("search1"), searches);
}

TEST_F(MainWindowTest, AutoConnectWaitsForTheSearchOnTheFirstStart) {
  pass.settings->autoConnect = 1;
  {
    TestGui gui;
    gui.Init(false);
    EXPECT_FALSE(gui.isVisible());
    ASSERT_NE(gui.AutoConnectThread(), nullptr);
    EXPECT_EQ(QtServerFinder::Instance()->State(), QtServerFinder::kSearching);
    // The end of the search (or the 2000 ms) makes the connect happen.
    ASSERT_TRUE(WaitUntil([&] { return gui.connects == 1; }));
    EXPECT_TRUE(gui.AutoConnectThread()->wait(5000));
  }
  // After the first session the next main window shows the home page.
  g_firstStart = 0;
  TestGui gui;
  gui.Init(false);
  EXPECT_TRUE(gui.isVisible());
  EXPECT_EQ(gui.AutoConnectThread(), nullptr);
}

TEST_F(MainWindowTest, AutoConnectArgumentSkipsTheSearch) {
  TestGui gui;
  gui.Init(true);
  EXPECT_FALSE(gui.isVisible());
  EXPECT_EQ(QtServerFinder::Instance()->State(), QtServerFinder::kNeverSearched);
  ASSERT_TRUE(WaitUntil([&] { return gui.connects == 1; }));
  EXPECT_EQ(engine.Count("search1"), 0);
}

TEST_F(MainWindowTest, ConnectRules) {
  ModalAnswerer answerer;
  pass.settings->AddGroup(u"Team", false);
  TestGui gui;
  g_firstStart = 0;
  gui.Init(false);

  SetAddress(gui, "");
  EXPECT_FALSE(gui.ConnectClient());
  SetAddress(gui, "Team");
  EXPECT_FALSE(gui.ConnectClient());
  SetAddress(gui, QString(300, 'x'));
  EXPECT_FALSE(gui.ConnectClient());
  EXPECT_EQ(gui.connects, 0);
  ASSERT_EQ(answerer.boxes.size(), 3u);
  const QString title = "Kelvane Vesk Client for Windows";
  EXPECT_EQ(answerer.boxes[0].text, "Server address is empty.");
  EXPECT_EQ(answerer.boxes[1].text, "Server group 'Team' is empty.");
  EXPECT_EQ(answerer.boxes[2].text, "Kelvane server address is too long (300 characters).");
  for (const auto& box : answerer.boxes) {
    EXPECT_EQ(box.title, title);
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_FALSE(box.hasParent);
  }

  // The Connect button and Enter in the address box both connect.
  SetAddress(gui, "host-a");
  QTest::mouseClick(gui.HomePage()->ConnectButton(), Qt::LeftButton);
  EXPECT_EQ(gui.connects, 1);
  EXPECT_EQ(Q(pass.settings->serverHistory[0]), "host-a");
  emit gui.HomePage()->ServerWidget()->AddressActivatedSig();
  EXPECT_EQ(gui.connects, 2);
}

TEST_F(MainWindowTest, PagesSwitchOnlyAfterTheirValuesAreAccepted) {
  ModalAnswerer answerer;
  g_firstStart = 0;
  QtClientGui gui;
  gui.Init(false);
  QPushButton* home = gui.MenuBar()->ButtonOf(gui.HomeAction());
  QPushButton* options = gui.MenuBar()->ButtonOf(gui.OptionsAction());

  SetAddress(gui, QString(300, 'x'));
  QTest::mouseClick(options, Qt::LeftButton);
  EXPECT_EQ(gui.CurrentPage(), gui.HomePage());
  EXPECT_TRUE(home->isChecked());
  EXPECT_FALSE(options->isChecked());
  EXPECT_EQ(answerer.boxes.size(), 1u);

  SetAddress(gui, "fine");
  QTest::mouseClick(options, Qt::LeftButton);
  EXPECT_EQ(gui.CurrentPage(), gui.OptionsWindow());
  QTest::mouseClick(home, Qt::LeftButton);
  EXPECT_EQ(gui.CurrentPage(), gui.HomePage());
  EXPECT_EQ(answerer.boxes.size(), 1u);
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheRunLoop) {
  g_firstStart = 0;
  QtClientGui gui;
  gui.Init(false);
  SetAddress(gui, "kept");
  EXPECT_TRUE(gui.close());
  EXPECT_EQ(g_exitRequested, 1);
  EXPECT_EQ(Q(pass.settings->serverHistory[0]), "kept");
}

TEST_F(MainWindowTest, OneScreenTurnsFullScreenAndDualDisplaysOff) {
  // The port is the program's default: the address is this process's own.
  const char* host = LoopbackHost(5);
  testhost::Listener listener;
  ASSERT_TRUE(listener.Listen(host, kDefaultServerPort));
  pass.settings->fullScreen = 1;
  pass.settings->autoDetectAudioVideo = 0;
  pass.settings->SetInt(u"GuiMultiMonitor", 1);
  pass.settings->AddServerToHistory(Utf8ToUtf16(host).c_str());
  g_firstStart = 0;
  TestGui gui;
  gui.interceptConnect = false;
  gui.Init(false);
  gui.Connect();

  EXPECT_EQ(pass.settings->fullScreen, 0);
  EXPECT_EQ(pass.settings->GetInt(u"GuiMultiMonitor", 7), 0);
  EXPECT_FALSE(gui.isVisible());
  ASSERT_NE(gui.SessionWindow(0), nullptr);
  EXPECT_EQ(gui.SessionWindow(1), nullptr);
  EXPECT_EQ(api->WindowAt(0), gui.SessionWindow(0));
  CHtClient* client = gui.sessionClient.load();
  ASSERT_NE(client, nullptr);
  CClientConnectionParameter* parameters = gui.connectionParameters.load();
  ASSERT_NE(parameters, nullptr);
  EXPECT_EQ(Q(parameters->serverAddress), host);
  EXPECT_EQ(parameters->port, kDefaultServerPort);
  EXPECT_EQ(client->GetDisplayOrigin(0).width, parameters->width);
  EXPECT_EQ(client->GetDisplayOrigin(1).valid, 0);
  // The client really started: it connects to the host.
  EXPECT_NE(listener.Accept(5000), nullptr);
  gui.ReleaseSessionObjects();
  EXPECT_EQ(gui.sessionClient.load(), nullptr);
  EXPECT_EQ(gui.SessionWindow(0), nullptr);
  EXPECT_EQ(api->WindowAt(0), nullptr);
}

TEST_F(MainWindowTest, TwoScreensMakeTwoFullScreenDisplays) {
  QtClientGui::SetScreenSource(TwoScreens);
  pass.settings->autoDetectAudioVideo = 0;
  pass.settings->SetInt(u"GuiMultiMonitor", 1);
  pass.settings->AddServerToHistory(u"127.0.0.5");
  g_firstStart = 0;
  TestGui gui;
  gui.interceptConnect = false;
  gui.Init(false);
  // The primary screen comes first.
  ASSERT_EQ(gui.GetScreenRects().size(), 2);
  EXPECT_EQ(gui.GetScreenRects()[0], QRect(0, 0, 2560, 1440));
  gui.Connect();

  EXPECT_EQ(pass.settings->screenSizes[0], 1920u | (1200u << 16));
  EXPECT_EQ(pass.settings->screenSizes[1], 1920u | (1200u << 16));
  EXPECT_EQ(pass.settings->GetInt(u"DualOnLeftSide", -1), 0);
  EXPECT_EQ(pass.settings->GetInt(u"DualBottomAligned", -1), 1);
  EXPECT_EQ(pass.settings->fullScreen, 1);
  ASSERT_NE(gui.SessionWindow(0), nullptr);
  ASSERT_NE(gui.SessionWindow(1), nullptr);
  EXPECT_EQ(api->WindowAt(1), gui.SessionWindow(1));
  CHtClient* client = gui.sessionClient.load();
  ASSERT_NE(client, nullptr);
  const DisplayOrigin second = client->GetDisplayOrigin(1);
  EXPECT_EQ(second.valid, 1);
  EXPECT_EQ(second.width, 1920);
  EXPECT_EQ(second.x, 1920);  // right of display 0
  EXPECT_EQ(second.y, 0);     // display 2's y is 1200 - 1200 = 0: top aligned
  gui.ReleaseSessionObjects();
}

TEST_F(MainWindowTest, SessionObjectsNeverExceedTwoDisplays) {
  TestGui gui;
  gui.BuildConnectionParameters({});
  gui.connectionParameters.load()->extraDisplayCount = 7;
  gui.CreateSessionObjects();
  EXPECT_NE(gui.SessionWindow(0), nullptr);
  EXPECT_NE(gui.SessionWindow(1), nullptr);
  EXPECT_EQ(gui.SessionWindow(2), nullptr);
  EXPECT_EQ(gui.SessionWindow(3), nullptr);
  EXPECT_EQ(api->WindowAt(2), nullptr);
  EXPECT_EQ(gui.sessionClient.load()->GetDisplayOrigin(1).valid, 1);

  // Pointer routing and full screen reach every session window.
  QtRdpWindow* first = gui.SessionWindow(0);
  QtRdpWindow* second = gui.SessionWindow(1);
  first->setGeometry(0, 0, 640, 480);
  second->setGeometry(1000, 0, 640, 480);
  EXPECT_EQ(gui.FindSessionWindowAt(second->mapToGlobal(QPoint(10, 10))), second);
  EXPECT_EQ(gui.FindSessionWindowAt(first->mapToGlobal(QPoint(639, 479))), first);
  EXPECT_EQ(gui.FindSessionWindowAt(first->mapToGlobal(QPoint(700, 10))), nullptr);
  pass.settings->fullScreen = 0;
  gui.ToggleFullScreen();
  EXPECT_EQ(pass.settings->fullScreen, 1);
  EXPECT_TRUE(first->isFullScreen());
  EXPECT_TRUE(second->isFullScreen());
  gui.ToggleFullScreen();
  EXPECT_FALSE(first->isFullScreen());

  // Freeing the objects twice frees each once; a destroyed session window
  // is an outcome for the switch thread.
  gui.ReleaseSessionObjects();
  gui.ReleaseSessionObjects();
  EXPECT_EQ(gui.SessionWindow(0), nullptr);
  EXPECT_EQ(gui.WaitConnected(), 1);
}

TEST_F(MainWindowTest, TheSwitchThreadConnectsToOneServerOfTheGroup) {
  pass.settings->AddServerAddressToGroup(u"Farm", u"127.0.0.52");
  pass.settings->AddServerAddressToGroup(u"Farm", u"127.0.0.51");
  CServerSwitchThread::Instance().groupIndex = pass.settings->FindGroupIndex(u"Farm");
  // Nothing listens there: the session may fail and say so in a box before
  // the objects are released. Answer such boxes as a user would.
  QTimer boxCloser;
  QObject::connect(&boxCloser, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->close();
  });
  boxCloser.start(20);
  QtClientGui gui;
  // The thread's request arrives queued on the GUI thread.
  std::thread switcher([&] { gui.SwitchToServer(1); });
  switcher.join();
  ASSERT_TRUE(WaitUntil([&] { return gui.connectionParameters.load() != nullptr; }));
  CClientConnectionParameter* parameters = gui.connectionParameters.load();
  EXPECT_EQ(Q(parameters->groupName), "Farm");
  EXPECT_EQ(Q(parameters->serverAddress), "127.0.0.52");
  EXPECT_NE(gui.SessionWindow(0), nullptr);
  EXPECT_NE(gui.sessionClient.load(), nullptr);
  gui.ReleaseSessionObjects();

  // Without such a group nothing is built.
  CServerSwitchThread::Instance().groupIndex = 7;
  gui.ConnectToServerByIndex(0);
  EXPECT_EQ(gui.connectionParameters.load(), nullptr);
  CServerSwitchThread::Instance().groupIndex = -1;
}

// A group walk waits for this window's session; closing the window ends
// that wait instead of holding the GUI thread until the poll limit.
TEST_F(MainWindowTest, ClosingTheWindowEndsTheSwitchThreadsWait) {
  pass.settings->AddServerAddressToGroup(u"Farm", u"127.0.0.53");
  CServerSwitchThread& walk = CServerSwitchThread::Instance();
  auto* gui = new QtClientGui;
  std::atomic<bool> requested{false};
  // Seen on the walk's own thread, right before it waits.
  QObject::connect(gui, &QtClientGui::sendSwitchToServer, gui, [&](int) { requested = true; }, Qt::DirectConnection);
  api->SetConnectionState(connection_state::kConnecting, 0);  // connecting, and it stays so
  ASSERT_EQ(walk.StartGroup(pass.settings->FindGroupIndex(u"Farm")), 0);
  // The queued request itself never runs: the GUI thread waits here
  // without taking events.
  while (!requested.load()) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  delete gui;
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::seconds(10));  // the poll limit is 20 s
  ASSERT_TRUE(WaitUntil([&] { return !walk.IsRunning(); }));
  walk.groupIndex = -1;
}

TEST_F(MainWindowTest, WaitConnectedOutcomes) {
  QtClientGui gui;
  int outcome = -1;
  auto waitOnSwitchThread = [&] {
    std::thread switcher([&] { outcome = gui.WaitConnected(); });
    switcher.join();
    return outcome;
  };
  api->SetConnectionState(connection_state::kSessionUp, 0);
  EXPECT_EQ(waitOnSwitchThread(), 0);
  api->SetConnectionState(connection_state::kNetError, 1);
  EXPECT_EQ(waitOnSwitchThread(), 1);
  // A session window that goes away ends the wait; the event is reset, so
  // the next wait sees the state again.
  api->SetConnectionState(connection_state::kConnecting, 0);
  gui.RdpWindowDestroyed(nullptr);
  EXPECT_EQ(waitOnSwitchThread(), 1);
  api->SetConnectionState(connection_state::kSessionUp, 0);
  EXPECT_EQ(waitOnSwitchThread(), 0);
}
