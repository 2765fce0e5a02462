#include "ui/main/QtClientGui.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStackedWidget>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "cli/UrlConnect.h"
#include "cli/RunFlags.h"
#include "qt/QtSystemApi.h"
#include "session/HtClient.h"
#include "settings/AbstractClientSettings.h"
#include "session/ClientConnectionParameter.h"
#include "settings/QtText.h"
#include "settings/ServerSwitchThread.h"
#include "ui/QtRdpWindow.h"
#include "ui/main/MainResources.h"
#include "ui/main/QtAutoConnectThread.h"
#include "ui/main/QtConnectWindow.h"
#include "ui/main/QtMainMenuBar.h"
#include "ui/main/QtServerConnectionWidget.h"
#include "ui/main/QtServerFinder.h"
#include "ui/main/QtServersListWidget.h"
#include "ui/main/QtVersionAtLeast.h"
#include "ui/options/OptionsHost.h"
#include "ui/options/QtOptionsWindow.h"
#include "ui/options/ValidateAndApplyPage.h"

namespace {

constexpr int kStoredWidthMax = 1920;
constexpr int kStoredHeightMax = 1200;

std::mutex g_screenSourceMutex;
QtClientGui::ScreenSource g_screenSource;

QtClientGui::Screens DesktopScreens() {
  QtClientGui::Screens screens;
  const QList<QScreen*> all = QGuiApplication::screens();
  for (QScreen* screen : all) screens.rects.append(screen->geometry());
  screens.primary = std::max(0, static_cast<int>(all.indexOf(QGuiApplication::primaryScreen())));
  return screens;
}

uint32_t PackSize(const QSize& size) {
  const uint32_t width = static_cast<uint32_t>(std::min(size.width(), kStoredWidthMax));
  const uint32_t height = static_cast<uint32_t>(std::min(size.height(), kStoredHeightMax));
  return width | (height << 16);
}

QString ProductName() { return QCoreApplication::translate("QtClientGui", "Kelvane Vesk Client for Windows"); }

}  // namespace

// What the option pages ask of the main window, the system API and the
// discovery front end while this window exists.
class QtClientGui::Host : public OptionsHost {
 public:
  explicit Host(QtClientGui* window) : window_(window) {}

  std::vector<uint32_t> GetDisplayModes(int display) override {
    std::vector<uint32_t> modes;
    if (CQtSystemApi* api = window_->systemApi) api->GetDisplayModes(modes, display);
    return modes;
  }
  std::vector<uint8_t> GetColorDepths() override {
    std::vector<uint8_t> depths;
    if (CQtSystemApi* api = window_->systemApi) {
      api->GetColorDepths(depths);
      return depths;
    }
    return OptionsHost::GetColorDepths();
  }
  int GetScreenCount() override { return window_->GetScreenCount(); }
  QList<QRect> GetScreenRects() override { return window_->GetScreenRects(); }
  bool IsNewGuiLayout() override { return window_->IsNewGuiLayout(); }
  void ShowApplicationTitle() override { window_->UpdateSettingsInfo(); }
  QWidget* CreateServerConnectionWidget(QWidget* parent) override { return new QtServerConnectionWidget(parent); }
  void LoadServerConnectionWidget(QWidget* widget) override {
    if (auto* connection = qobject_cast<QtServerConnectionWidget*>(widget)) connection->Load();
  }
  QListWidget* CreateServersListWidget(QWidget* parent) override { return new QtServersListWidget(parent); }
  void StartListProgress(QListWidget* list, int steps) override {
    if (auto* servers = qobject_cast<QtServersListWidget*>(list)) servers->StartProgress(steps);
  }
  void StepListProgress(QListWidget* list, int position) override {
    if (auto* servers = qobject_cast<QtServersListWidget*>(list)) servers->StepProgress(position);
  }
  void FinishListProgress(QListWidget* list) override {
    if (auto* servers = qobject_cast<QtServersListWidget*>(list)) servers->FinishProgress();
  }
  QObject* ServerFinder() override { return QtServerFinder::Instance(); }
  int StartServerSearch() override {
    QtServerFinder* finder = QtServerFinder::Instance();
    return finder != nullptr ? finder->StartSearch() : 1;
  }
  QStringList GetServerNames() override {
    QtServerFinder* finder = QtServerFinder::Instance();
    return finder != nullptr ? finder->GetServerList() : QStringList();
  }

 private:
  QtClientGui* window_;
};

void QtClientGui::SetScreenSource(ScreenSource source) {
  std::lock_guard<std::mutex> hold(g_screenSourceMutex);
  g_screenSource = std::move(source);
}

QtClientGui::QtClientGui() : QtClientGui(CQtSystemApi::Instance()) {}

QtClientGui::QtClientGui(CQtSystemApi* api, const IQtWindowPorts& ports)
    : QMainWindow(nullptr), windowPorts(ports) {
  InitMainResources();
  systemApi = api;
  if (systemApi != nullptr) systemApi->AddRef();
  host = std::make_unique<Host>(this);
  previousHost = SetOptionsHost(host.get());

  finder = new QtServerFinder(this);

  QFile sheet(":/PellumGui.qss");
  if (sheet.open(QIODevice::ReadOnly)) {
    QByteArray bytes = sheet.readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) bytes.truncate(zero);
    qApp->setStyleSheet(QString::fromUtf8(bytes));
  }

  setMouseTracking(true);
  SetupUi();

  connectionOutcome.Create(true, false);
  connect(this, SIGNAL(sendSwitchToServer(int)), this, SLOT(ConnectToServerByIndex(int)));
  CServerSwitchThread::Instance().Start(this);

  UpdateSettingsInfo();
  EnumerateScreens();
}

QtClientGui::~QtClientGui() {
  // The server-switch thread may be inside WaitConnected of this window:
  // the attempt ends as failed at once, rather than after the poll limit
  // with the GUI thread waiting for it.
  connectionOutcome.Set();
  DetachFromServerSwitch();
  if (autoConnectThread != nullptr) autoConnectThread->wait();
  ReleaseSessionObjects();
  // The pages go before the host they ask.
  delete pageStack;
  pageStack = nullptr;
  homePage = nullptr;
  optionsWindow = nullptr;
  delete finder;
  finder = nullptr;
  SetOptionsHost(previousHost);
  connectionOutcome.Close();
  if (systemApi != nullptr) systemApi->Release();
}

void QtClientGui::SetupUi() {
  setObjectName("QtClientGui");
  resize(800, 600);
  setMaximumSize(16777215, 16777215);
  setWindowIcon(QIcon(":/Vantorel1.png"));
  central = new QWidget(this);
  central->setObjectName("centralwidget");
  setCentralWidget(central);
  setWindowTitle(ProductName());
  QMetaObject::connectSlotsByName(this);

  menuBar = new QtMainMenuBar(this);
  optionsAction = menuBar->AddAction(tr("&Options"), false);
  homeAction = menuBar->AddAction(tr("&Home"), true);
  connect(optionsAction, SIGNAL(triggered()), this, SLOT(SettingsSlot()));
  connect(homeAction, SIGNAL(triggered()), this, SLOT(ConnectSlot()));
  setMenuWidget(menuBar);
}

void QtClientGui::EnumerateScreens() {
  ScreenSource source;
  {
    std::lock_guard<std::mutex> hold(g_screenSourceMutex);
    source = g_screenSource;
  }
  const Screens screens = source ? source() : DesktopScreens();
  screenCount = screens.rects.size();
  screenRects = screens.rects;
  screenSizes.clear();
  for (const QRect& rect : screenRects) screenSizes.append(rect.size());
  newGuiLayout = GetGlobalIntSetting(u"NewGui", 1) != 0;
  if (newGuiLayout && screens.primary > 0 && screens.primary < screenCount) {
    screenRects.swapItemsAt(0, screens.primary);
    screenSizes.swapItemsAt(0, screens.primary);
  }
}

void QtClientGui::Init(bool autoConnect) {
  homePage = new QtConnectWindow(this);
  optionsWindow = new QtOptionsWindow(this);
  connect(homePage, SIGNAL(ConnectSig()), this, SLOT(ConnectClient()));
  connect(optionsWindow, SIGNAL(ConnectSig()), this, SLOT(ConnectClient()));

  pageStack = new QStackedWidget();
  pageStack->addWidget(homePage);
  pageStack->addWidget(optionsWindow);
  optionsWindow->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  ShowPage(homePage);
  setCentralWidget(pageStack);
  central = pageStack;

  if (g_firstStart && !autoConnect) finder->StartSearch();

  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (autoConnect || (settings != nullptr && settings->autoConnect && g_firstStart)) {
    hide();
    if (autoConnectThread == nullptr) autoConnectThread = new QtAutoConnectThread(this);
    autoConnectThread->start(QThread::LowestPriority);
    return;
  }
  CenterAndShow();
}

void QtClientGui::CenterAndShow() {
  const QSize frame = frameGeometry().size() - geometry().size();
  const QSize size = optionsWindow->sizeHint() + frame;
  QScreen* primary = QGuiApplication::primaryScreen();
  if (primary != nullptr) {
    const QRect available = primary->availableGeometry();
    const QPoint centre = available.center();
    int x = centre.x() - static_cast<int>(std::lround(size.width() / 2.0));
    int y = centre.y() - static_cast<int>(std::lround(size.height() / 2.0));
    x = std::max(x, available.left());
    y = std::max(y, available.top());
    move(x, y);
  }
  if (pageStack->currentWidget() == homePage) homePage->ServerWidget()->AddressBox()->setFocus();
  const bool fixed = QtVersionAtLeast("5.3.0");
  if (fixed) setWindowFlags(Qt::WindowCloseButtonHint);
  show();
  if (fixed) setFixedSize(this->size());
}

void QtClientGui::ShowPage(QWidget* page) {
  if (QWidget* current = pageStack->currentWidget()) current->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  pageStack->setCurrentWidget(page);
  page->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  if (!isMaximized()) adjustSize();
}

QWidget* QtClientGui::CurrentPage() const { return pageStack != nullptr ? pageStack->currentWidget() : nullptr; }

QtRdpWindow* QtClientGui::SessionWindow(int displayIndex) const {
  return displayIndex >= 0 && displayIndex < kSessionSlots ? sessionWindows[displayIndex].data() : nullptr;
}

bool QtClientGui::ValidateAndApplyPage(QtValidableItem* page, bool showMessage) {
  return ::ValidateAndApplyPage(page, showMessage);
}

void QtClientGui::ShowCritical(const QString& text) {
  QMessageBox::critical(nullptr, ProductName(), text, QMessageBox::Ok);
}

bool QtClientGui::ConnectClient() {
  auto* page = dynamic_cast<QtValidableItem*>(CurrentPage());
  if (page != nullptr && !ValidateAndApplyPage(page, true)) return false;
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (settings == nullptr || settings->serverHistory[0][0] == 0) {
    ShowCritical(tr("Server address is empty."));
    return false;
  }
  const WCHAR* server = settings->serverHistory[0];
  const int group = settings->FindGroupIndex(server);
  if (group >= 0 && settings->GetServerCount(group) == 0) {
    ShowCritical(tr("Server group '%1' is empty.").arg(ToQString(server)));
    return false;
  }
  Connect();
  return true;
}

void QtClientGui::AutoConnectSlot() { Connect(); }

void QtClientGui::ApplyScreenRules() {
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (!newGuiLayout || settings == nullptr) return;
  EnumerateScreens();
  if (settings->GetInt(u"GuiMultiMonitor", 0) != 0 && screenCount == 2) {
    settings->screenSizes[0] = PackSize(screenSizes[0]);
    settings->screenSizes[1] = PackSize(screenSizes[1]);
    settings->SetInt(u"DualOnLeftSide", screenRects[1].left() < screenRects[0].left() ? 1 : 0);
    settings->SetInt(u"DualBottomAligned", screenRects[1].top() > 0 ? 1 : 0);
    settings->fullScreen = 1;
  } else {
    settings->SetInt(u"GuiMultiMonitor", 0);
    settings->fullScreen = 0;
  }
}

void QtClientGui::Connect() {
  ApplyScreenRules();
  WCHAR server[kFieldChars] = {};
  uint32_t port = 0;
  int group = -1;
  ResolveServer(server, &group, &port);
  groupIndex = group;
  if (group >= 0) {
    CServerSwitchThread::Instance().StartGroup(group);
    return;
  }
  hide();
  BuildConnectionParameters(QList<QRect>(screenRects));
  CreateSessionObjects();
  if (CClientConnectionParameter* parameters = connectionParameters.load()) {
    if (UrlConnectKind == kUrlView || UrlConnectKind == kUrlControl)
      SetFieldText(parameters->serverAddress, kFieldChars, g_urlServer);
    else
      SetFieldText(parameters->serverAddress, kFieldChars, server);
    parameters->port = port;
  }
  StartSession();
}

void QtClientGui::ConnectToServerByIndex(int ServerIdx) {
  const int group = CServerSwitchThread::Instance().groupIndex.load();
  const int count = CAbstractClientSettings::InstanceServerCount(group);
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (count == -1 || settings == nullptr) return;
  hide();
  BuildConnectionParameters(QList<QRect>(screenRects));
  CreateSessionObjects();
  if (CClientConnectionParameter* parameters = connectionParameters.load()) {
    const WCHAR* name = settings->GetGroupName(group);
    SetFieldText(parameters->groupName, kFieldChars, name != nullptr ? name : u"");
    SetFieldText(parameters->serverAddress, kFieldChars, settings->GetGroupServer(group, ServerIdx));
  }
  if (CHtClient* client = sessionClient.load()) {
    // Only the last server's failure reaches the user.
    client->SetOptionValue(0);
    if (ServerIdx == count - 1) client->SetOptionValue(1);
  }
  StartSession();
}

void QtClientGui::StartSession() {
  if (CHtClient* client = sessionClient.load()) client->Start();
  if (systemApi != nullptr) systemApi->StartWaiter();
}

void QtClientGui::CreateSessionObjects() {
  CClientConnectionParameter* parameters = connectionParameters.load();
  if (parameters == nullptr) return;
  // A count from a hand-edited profile must not reach past the windows
  // there are slots (and displays) for.
  const int displays = static_cast<int>(std::min<uint32_t>(parameters->extraDisplayCount, kMaxDisplays - 1)) + 1;
  for (int i = 0; i < displays; ++i) {
    auto* window = new QtRdpWindow(i, UrlConnectKind, windowPorts);
    sessionWindows[i] = window;
    connect(window, SIGNAL(destroyed(QObject*)), this, SLOT(RdpWindowDestroyed(QObject*)));
    if (systemApi != nullptr) systemApi->RegisterWindow(i, window);
  }

  auto* client = new CHtClient();
  const uint16_t sizes[2][2] = {
      {static_cast<uint16_t>(parameters->width), static_cast<uint16_t>(parameters->height)},
      {parameters->display2Size.width, parameters->display2Size.height}};
  int16_t origins[2][2] = {{0, 0}, {0, 0}};
  if (displays == 2) {
    origins[1][0] = parameters->display2Origin.x > 0 ? static_cast<int16_t>(sizes[0][0])
                                                     : static_cast<int16_t>(-sizes[1][0]);
    origins[1][1] = parameters->display2Origin.y == 0 ? 0 : static_cast<int16_t>(sizes[0][1] - sizes[1][1]);
  }
  const uint16_t oneSize[2][2] = {{sizes[0][0], sizes[0][1]}, {0, 0}};
  client->SetDisplayLayout(displays, displays == 2 ? sizes : oneSize, origins);
  client->SetRequestedMode(static_cast<uint32_t>(g_urlId), static_cast<uint32_t>(g_urlId >> 32));
  client->SetRequestedModeKind(UrlConnectKind);
  sessionClient = client;
  client->Init(systemApi, parameters);

  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  const bool fullScreen = newGuiLayout && settings != nullptr && settings->fullScreen;
  for (int i = 0; i < displays; ++i) {
    QtRdpWindow* window = sessionWindows[i];
    if (window == nullptr) continue;
    window->setMouseTracking(true);
    window->setCursor(Qt::ArrowCursor);
    window->show();
    if (fullScreen) {
      window->SetFullScreen(true);
      if (i < screenRects.size()) window->setGeometry(screenRects[i]);
    }
  }
}

void QtClientGui::ReleaseSessionObjects() {
  if (CHtClient* client = sessionClient.exchange(nullptr)) {
    // The system API may still hold a reference; the session must end
    // before the parameters it reads are freed.
    client->Stop();
    client->Release();
  }
  delete connectionParameters.exchange(nullptr);
  for (QPointer<QtRdpWindow>& slot : sessionWindows) {
    QtRdpWindow* window = slot.data();
    slot.clear();
    delete window;
  }
}

int QtClientGui::WaitConnected() {
  auto outcome = [this](int result) {
    connectionOutcome.Reset();
    return result;
  };
  if (connectionOutcome.Wait(kOutcomePollMs)) return outcome(1);
  for (int poll = 1;; ++poll) {
    const int32_t state = systemApi != nullptr ? systemApi->ConnectionState() : 0;
    if (state > connection_state::kSessionUp) return outcome(1);
    if (state == connection_state::kSessionUp) return outcome(0);
    if (poll >= kOutcomePolls) return outcome(1);
    if (connectionOutcome.Wait(kOutcomePollMs)) return outcome(1);
  }
}

void QtClientGui::SwitchToServer(int serverIndex) { emit sendSwitchToServer(serverIndex); }

void QtClientGui::RdpWindowDestroyed(QObject*) { connectionOutcome.Set(); }

void QtClientGui::SettingsSlot() {
  if (CurrentPage() == optionsWindow) return;
  if (!ValidateAndApplyPage(homePage, true) || !optionsWindow->Authorize()) {
    menuBar->RevertSelection();
    return;
  }
  optionsWindow->ReloadCurrentPage();
  ShowPage(optionsWindow);
}

void QtClientGui::ConnectSlot() {
  if (CurrentPage() == homePage) return;
  if (!ValidateAndApplyPage(optionsWindow, true)) {
    menuBar->RevertSelection();
    return;
  }
  ShowPage(homePage);
}

void QtClientGui::UpdateSettingsInfo() {
  const uint16_t id = systemApi != nullptr ? systemApi->AllocateAppId() : 0;
  const QString name = QCoreApplication::applicationName();
  setWindowTitle(id < 2 ? name : name + QStringLiteral("(%1)").arg(id));
}

void QtClientGui::closeEvent(QCloseEvent* event) {
  if (auto* page = dynamic_cast<QtValidableItem*>(CurrentPage())) ValidateAndApplyPage(page, true);
  event->accept();
  g_exitRequested = 1;
}

void QtClientGui::ToggleFullScreen() {
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (settings == nullptr) return;
  settings->fullScreen = settings->fullScreen ? 0 : 1;
  for (const QPointer<QtRdpWindow>& window : sessionWindows)
    if (window != nullptr) window->SetFullScreen(settings->fullScreen != 0);
}

QtRdpWindow* QtClientGui::FindSessionWindowAt(const QPoint& globalPosition) {
  for (const QPointer<QtRdpWindow>& window : sessionWindows) {
    if (window != nullptr && window->rect().contains(window->mapFromGlobal(globalPosition))) return window;
  }
  return nullptr;
}

void QtClientGui::RaiseSessionWindows(int displayIndex) {
  for (int i = 0; i < kSessionSlots; ++i)
    if (i != displayIndex && sessionWindows[i] != nullptr) sessionWindows[i]->raise();
  if (QtRdpWindow* window = SessionWindow(displayIndex)) window->raise();
}
