// The program's entry: the checks made once per start, then the run loop.
// Every pass of the loop builds the system API, the settings and a main
// window, runs the event loop until the window or the session has ended,
// writes the status file and tears everything down again, so that a user
// who disconnects comes back to a fresh main window with fresh settings.
//
// Exit codes: -1 an invalid "-test" value, 1 a refused start (Qt too old,
// the system-key library missing, a malformed "-url"), otherwise the event
// loop's result (in launch-file mode with "SaveEngineLog" the final
// connection state).

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QLocale>
#include <QMessageBox>
#include <QTextCodec>
#include <QTranslator>
#include <cstdio>
#include <memory>
#include <string>

#include "audio/AudioProcessorMaker.h"
#include "cli/CLICommands.h"
#include "cli/CLIParser.h"
#include "cli/LaunchOptions.h"
#include "cli/RunFlags.h"
#include "display/Op2Processor.h"
#include "input/VirtHidSlotDataProcessor.h"
#include "mmredir/RdpMMVrPlayer.h"
#include "pelplat/debugout.h"
#include "mmredir/TsmfChannel.h"
#include "mmredir/VrRdpMediaSource.h"
#include "virtchan/VirtChanelsSlotProcessor.h"
#include "program/EngineStatusFile.h"
#include "program/ExitSignals.h"
#include "program/LoopbackDiscovery.h"
#include "program/QtSystemApiSettingsLink.h"
#include "program/SettingsProbes.h"
#include "program/StartedEvent.h"
#include "program/TestMode.h"
#include "qt/QtSystemApi.h"
#include "qt/QtVideoWindowHost.h"
#include "session/HtClient.h"
#include "settings/QtClientSettings.h"
#include "settings/QtGlobalSettings.h"
#include "streams/AvsProcessorMaker.h"
#include "streams/DecodedStreamKinds.h"
#include "streams/DXVAStream.h"
#include "streams/VlcStream.h"
#include "streams/DSStream.h"
#include "sys/klog.h"
#include "tovix/TovixFeature.h"
#include "ui/CHookedKeyboard.h"
#include "ui/QtRdpWindow.h"
#include "ui/XcbKeyboardHookFilter.h"
#include "ui/main/QtClientGui.h"
#include "ui/main/QtVersionAtLeast.h"
#include "ui/main/ServerFinderEngine.h"

namespace {

const char kOrganisation[] = "Vantorel";
const char kProduct[] = "Kelvane Vesk Client for Windows";
const char kBannerText[] = "Kelvane Vesk Client Version ";
const char kVersion[] = "2.5.0.2";
constexpr size_t kBannerChars = 64;
const char kOldestQt[] = "4.5.0";
const char kSimpleLog[] = "Simple.Log";

// The command objects live as long as the process, like the parser's
// references to them.
CCmfUrlCommand g_urlCommand;
CHelpCommand g_helpCommand;
CIPCommand g_ipCommand;
CProfileCommand g_profileCommand;

QString ProductName() { return QCoreApplication::translate("main", kProduct); }

void ShowCritical(const QString& text) { QMessageBox::critical(nullptr, ProductName(), text, QMessageBox::Ok); }

void SelfTest(int mode) {
  const bool silent = mode == kTestModeSilent || mode == kTestModeSilentWithConsole;
  if (silent) {
    fputs("STARTING SILENT TEST\n", stdout);
    fflush(stdout);
    LogMessageW(u"STARTING SILENT TEST");
  }
  if (mode != kTestModeNone) {
    auto* api = new CQtSystemApi();
    api->Release();
  }
  if (silent) {
    fputs("OK OK OK OK OK OK OK OK OK OK OK \n", stdout);
    fflush(stdout);
    LogMessageW(u"OK OK OK OK OK OK OK OK OK OK OK\n");
    exit(0);
  }
}

// Loads and unloads the system-key library once, as a session window does.
bool SystemKeyLibraryPresent() {
  g_HookedKeyboard.Load();
  const bool present = g_HookedKeyboard.IsLoaded();
  g_HookedKeyboard.Unload();
  return present;
}

QString BannerText() {
  QString banner = QString::fromLatin1(kBannerText) + QString::fromLatin1(kVersion);
  return banner.left(kBannerChars - 1);
}

// Qt's own notes are a developer's, like the debug log: they go the same
// way; its critical messages reach the user.
void RouteQtMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
  const std::string line = text.toStdString();
  if (type == QtCriticalMsg || type == QtFatalMsg)
    ReportErrorToUser(line);
  else
    OutputDebugStringA((line + "\n").c_str());
  if (type == QtFatalMsg) abort();
}

// Ctrl-C or SIGTERM: the session ends as a user's close of its window ends
// it (without the question), then the program ends; with no session the
// main window closes.
void EndAsAWindowCloseDoes() {
  g_exitRequested = 1;
  const QWidgetList windows = QApplication::topLevelWidgets();
  // An open question or message would hold its window's close.
  for (QWidget* widget : windows) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) dialog->reject();
  }
  bool session = false;
  for (QWidget* widget : windows) {
    if (auto* window = qobject_cast<QtRdpWindow*>(widget); window && window->isVisible()) {
      window->CloseWithReason(1);
      session = true;
    }
  }
  if (!session) QApplication::closeAllWindows();
}

// One pass's objects, destroyed in the fixed order.
struct Pass {
  CQtSystemApi* api = nullptr;
  std::unique_ptr<QtSystemApiSettingsLink> link;
  std::unique_ptr<QtGlobalSettings> security;
  std::unique_ptr<QtClientSettings> settings;

  void DestroySettings() {
    settings.reset();
    security.reset();
  }
  void DestroySystemApi() {
    link.reset();
    if (api != nullptr) api->Release();
    api = nullptr;
  }
};

enum class PassEnd { kContinue, kStop, kRefused };

PassEnd RunPass(QApplication& app, CCLIParser& parser, int* result) {
  const CLaunchOptions& launch = GetLaunchOptions();
  Pass pass;
  pass.api = new CQtSystemApi();
  pass.link = std::make_unique<QtSystemApiSettingsLink>(pass.api);
  pass.security = std::make_unique<QtGlobalSettings>(kOrganisation, kProduct);
  pass.settings = std::make_unique<QtClientSettings>(kOrganisation, kProduct, false);
  pass.api->forceDualMonitor = pass.settings->GetInt(u"ForceDualMonitor", 0) != 0 ? 1 : 0;

  parser.AttachParentConsole();
  parser.Execute();
  parser.DetachConsole();
  if (!parser.IsRunning()) {
    g_exitRequested = 1;
    pass.DestroySettings();
    pass.DestroySystemApi();
    return PassEnd::kStop;
  }
  if (UrlConnectKind == kUrlMalformed) {
    ShowCritical(QCoreApplication::translate("main", "Invalid command line"));
    pass.DestroySettings();
    pass.DestroySystemApi();
    return PassEnd::kRefused;
  }

  const bool launchFile = launch.jsonFlag != 0;
  if (launchFile) g_exitRequested = 1;
  const bool autoConnect = launchFile || UrlConnectKind != kUrlNone;

  auto window = std::make_unique<QtClientGui>(pass.api);
  SetSessionWindowHost(window.get());
  window->Init(autoConnect);
  if (UrlConnectKind != kUrlNone) g_exitRequested = 1;

  *result = app.exec();

  pass.api->WaitDisplayEvents();
  pass.api->Stop();
  if (pass.settings->SaveEngineLog) {
    const int32_t state = pass.api->ConnectionState();
    if (launchFile) *result = state;
    if (CHtClient* client = window->sessionClient.load()) {
      const std::string path = launchFile ? launch.jsonPath + ".status" : std::string(kSimpleLog);
      WriteEngineStatusFile(path, state, client->ConnectionLog());
    }
  }

  window->ReleaseSessionObjects();
  SetSessionWindowHost(nullptr);
  pass.DestroySystemApi();
  g_firstStart = 0;
  if (pass.settings->exitOnDisconnect) g_exitRequested = 1;

  window.reset();
  pass.DestroySettings();
  return PassEnd::kContinue;
}

}  // namespace

int main(int argc, char** argv) {
  const int testMode = ParseTestMode(argc, argv);
  if (testMode == kTestModeInvalid) return -1;

  qInstallMessageHandler(RouteQtMessages);
  QApplication app(argc, argv);
  ScanLaunchOptions(argc, argv);
  QCoreApplication::setApplicationName(kProduct);

  if (!QtVersionAtLeast(kOldestQt)) {
    ShowCritical(QCoreApplication::translate("main", "This version of Kelvane Client supports only version 4.5 or higher!"));
    return 1;
  }
  QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
  QTranslator translator;
  translator.load(QStringLiteral("RuDori_") + QLocale::system().name());
  QCoreApplication::installTranslator(&translator);
  QApplication::setStyle(QStringLiteral("Cleanlooks"));

  SelfTest(testMode);
  if (!SystemKeyLibraryPresent()) {
    ShowCritical(QCoreApplication::translate("main", "Vrgask.dll is not found. Please, reinstall Client."));
    return 1;
  }
  ReportStarted();

  std::unique_ptr<XcbKeyboardHookFilter> keyboardFilter;
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    keyboardFilter = std::make_unique<XcbKeyboardHookFilter>();
    app.installNativeEventFilter(keyboardFilter.get());
  }
  // The slots this program serves: the display, the keyboard and pointer,
  // the sound, and each display's media streams.
  RegisterOp2ProcessorMaker();
  RegisterVirtHidProcessorMaker();
  RegisterAudioProcessorMaker();
  RegisterAvsProcessorMaker();
  RegisterDecodedStreamKinds();
  RegisterDxvaStreamKind();
  RegisterChannelsProcessorMaker();
  RegisterTsmfChannelMaker(MMPresentationParts{
      [](HWND parent, int32_t display, bool sound) { return CreateVrMFPlayer(parent, display, sound); },
      []() -> IVrRdpMediaSource* {
        IVrRdpMediaSource* source = nullptr;
        return SUCCEEDED(CreateVrMFSource(&source)) ? source : nullptr;
      }});
  RegisterMediaFoundationStreams();
  RegisterDirectShowStreams();
  InstallSettingsProbes();
  InstallTovixH264Probe();
  QtVideoWindowHost::Install();

  std::unique_ptr<IServerFinderEngine> discovery = MakeLoopbackDiscoveryEngine(getenv("PELLUM_TEST_DISCOVERY"));
  if (discovery) SetDiscoveryEngine(discovery.get());

  CCLIParser parser(BannerText());
  CCLICommand* commands[] = {&g_urlCommand, &g_helpCommand, &g_ipCommand, &g_profileCommand};
  parser.RegisterCommands(4, commands);
  parser.Parse(argc, argv);

  ExitSignals exitSignals(EndAsAWindowCloseDoes);
  int result = 0;
  do {
    const PassEnd end = RunPass(app, parser, &result);
    if (end == PassEnd::kRefused) {
      result = 1;
      break;
    }
    if (end == PassEnd::kStop) break;
  } while (g_exitRequested == 0);

  if (discovery) SetDiscoveryEngine(nullptr);
  if (keyboardFilter) app.removeNativeEventFilter(keyboardFilter.get());
  return result;
}
