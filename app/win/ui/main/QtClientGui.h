// The program's main window: a menu bar over the home page and the options
// window. It is also the application side of the session: it builds the
// connection parameters, one session window per remote display and the
// session client, starts the client and frees all of them when the pass of
// the run loop ends. A new main window is built for every pass.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <functional>
#include <memory>

#include "qt/QtLiveWindowPorts.h"
#include "settings/AbstractClientApp.h"
#include "sys/_synchro.h"
#include "ui/QtSessionWindowHost.h"

class CQtSystemApi;
class OptionsHost;
class QAction;
class QStackedWidget;
class QtAutoConnectThread;
class QtConnectWindow;
class QtMainMenuBar;
class QtOptionsWindow;
class QtRdpWindow;
class QtServerFinder;
class QtValidableItem;

class QtClientGui : public QMainWindow, public CAbstractClientApp, public QtSessionWindowHost {
  Q_OBJECT

 public:
  static constexpr int kSessionSlots = 4;
  static constexpr int kMaxDisplays = 2;
  static constexpr int kOutcomePolls = 200;
  static constexpr DWORD kOutcomePollMs = 100;

  // The local screens: their rectangles in screen order and the index of
  // the primary one. Tests replace the desktop's answer.
  struct Screens {
    QList<QRect> rects;
    int primary = 0;
  };
  using ScreenSource = std::function<Screens()>;
  static void SetScreenSource(ScreenSource source);

  // The window keeps a reference on the pass's system API (it may be null)
  // for as long as it lives, and hands its session windows the ports.
  explicit QtClientGui(CQtSystemApi* api, const IQtWindowPorts& ports = LiveSystemApiPorts());
  // With the live system API.
  QtClientGui();
  ~QtClientGui() override;

  // Builds the pages; shows the window, or hides it and lets the
  // auto-connect thread connect.
  void Init(bool autoConnect);

  void SwitchToServer(int serverIndex) override;
  // On the server-switch thread: 0 once connected, 1 on a failure, when a
  // session window went away or after 200 polls.
  int WaitConnected() override;
  void Connect() override;

  // Validates and applies the page; a refusal with a text is shown (when
  // asked) and gives false.
  bool ValidateAndApplyPage(QtValidableItem* page, bool showMessage);
  // Frees the client, the connection parameters and the session windows,
  // each once.
  void ReleaseSessionObjects();

  void ToggleFullScreen() override;
  QtRdpWindow* FindSessionWindowAt(const QPoint& globalPosition) override;
  void RaiseSessionWindows(int displayIndex) override;

  // What the option pages ask through the options host.
  QList<QRect> GetScreenRects() const { return screenRects; }
  int GetScreenCount() const { return screenCount; }
  bool IsNewGuiLayout() const { return newGuiLayout; }

  QtConnectWindow* HomePage() const { return homePage; }
  QtOptionsWindow* OptionsWindow() const { return optionsWindow; }
  QtMainMenuBar* MenuBar() const { return menuBar; }
  QAction* OptionsAction() const { return optionsAction; }
  QAction* HomeAction() const { return homeAction; }
  QWidget* CurrentPage() const;
  QtRdpWindow* SessionWindow(int displayIndex) const;
  QtAutoConnectThread* AutoConnectThread() const { return autoConnectThread; }

 signals:
  void sendSwitchToServer(int ServerIdx);

 public slots:
  bool ConnectClient();
  void AutoConnectSlot();
  void RdpWindowDestroyed(QObject* window);
  void ConnectToServerByIndex(int ServerIdx);
  void SettingsSlot();
  void ConnectSlot();
  void UpdateSettingsInfo();

 protected:
  void closeEvent(QCloseEvent* event) override;
  // One session window per display of the current connection parameters,
  // then the session client.
  virtual void CreateSessionObjects();

 private:
  class Host;

  void SetupUi();
  void EnumerateScreens();
  void ShowPage(QWidget* page);
  void CenterAndShow();
  void ApplyScreenRules();
  void StartSession();
  void ShowCritical(const QString& text);

  QtAutoConnectThread* autoConnectThread = nullptr;
  bool newGuiLayout = true;
  int screenCount = 0;
  QList<QRect> screenRects;
  QList<QSize> screenSizes;
  QWidget* central = nullptr;
  QtMainMenuBar* menuBar = nullptr;
  QAction* optionsAction = nullptr;
  QAction* homeAction = nullptr;
  QtConnectWindow* homePage = nullptr;
  QtOptionsWindow* optionsWindow = nullptr;
  QStackedWidget* pageStack = nullptr;
  QPointer<QtRdpWindow> sessionWindows[kSessionSlots];
  CxEvent connectionOutcome;
  QtServerFinder* finder = nullptr;
  // The pass's system API, kept alive for the server-switch thread.
  CQtSystemApi* systemApi = nullptr;
  const IQtWindowPorts& windowPorts;
  std::unique_ptr<Host> host;
  OptionsHost* previousHost = nullptr;
};
