#include "ui/QtRdpWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QWindow>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "pelplat/hookfeed.h"
#include "qt/QtDataEvent.h"
#include "qt/QtSystemApi.h"
#include "settings/AbstractClientSettings.h"
#include "ui/CHookedKeyboard.h"
#include "tovix/CGVImageContainer.h"
#include "tovix/TovixFeature.h"
#include "ui/CImageContainer.h"
#include "ui/KeyboardDispatcherExclusiveMode.h"
#include "ui/QtHotSpotWindow.h"
#include "ui/QtSessionWindowHost.h"
#include "ui/SessionWindowInput.h"
#include "ui/SessionWindowResources.h"
#include "ui/options/ClientInfoMsg.h"

namespace {

constexpr size_t kTitleChars = 260;
constexpr int kMaxDisplaySide = 32767;

// Scan codes as the system-key library reports them.
constexpr WPARAM kRightCtrl = 0x11D;
constexpr WPARAM kKeyF = 0x21;
constexpr WPARAM kHangul = 0xF2;
constexpr int32_t kRightAltPress = 0x138;
constexpr int32_t kRightAltRelease = 0x1B8;
constexpr int32_t kReleaseBit = 0x80;

int32_t I32At(const CQtDataEvent& event, int index) {
  int32_t value = 0;
  memcpy(&value, event.Payload() + 4 * index, sizeof value);
  return value;
}

bool HasI32s(const CQtDataEvent& event, int count) {
  return event.Payload() && event.Length() >= 4 * count;
}

}  // namespace

QtRdpWindow::QtRdpWindow(int displayIndex, int urlConnectKind, const IQtWindowPorts& ports)
    : displayIndex_(displayIndex), urlConnectKind_(urlConnectKind), ports_(ports) {
  InitSessionWindowResources();
  // Connected to nothing: the key combination is the window's, not the
  // remote desktop's.
  fullScreenShortcut_ = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_F), this);
  if (TovixFeatureEnabled()) {
    tiled_ = new CGVImageContainer(displayIndex, ports);
    display_ = tiled_;
  } else {
    display_ = new CImageContainer(displayIndex, nullptr, ports);
  }
  setCursor(Qt::WaitCursor);

  scrollArea_ = new QScrollArea;
  scrollArea_->setFrameShape(QFrame::NoFrame);
  scrollArea_->setAlignment(Qt::AlignCenter);
  scrollArea_->setStyleSheet("background: black");
  scrollArea_->setWidget(display_);
  setCentralWidget(scrollArea_);
  setMinimumSize(640, 480);
  CenterOnDesktop(this);
  setWindowIcon(QIcon(":/Vantorel1.png"));

  if (displayIndex == 0) hotSpot_ = new QtHotSpotWindow(this, Qt::CustomizeWindowHint);
  banner_ = new ClientInfoMsg(this);

  if (CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance()) {
    if (settings->autoDetectAudioVideo) settings->fullScreen = 1;
    if (settings->fullScreen) resizeOnLeavingFullScreen_ = 1;
  }

  // System keys come back as posted messages, queued to the GUI thread.
  handle_ = reinterpret_cast<HWND>(static_cast<uintptr_t>(winId()));
  PlatRegisterWindow(handle_, [this](const MSG& message) {
    return QMetaObject::invokeMethod(
        this,
        [this, message] {
          MSG copy = message;
          long result = 0;
          nativeEvent("windows_generic_MSG", &copy, &result);
        },
        Qt::QueuedConnection);
  });
}

QtRdpWindow::~QtRdpWindow() {
  PlatUnregisterWindow(handle_);
  g_HookedKeyboard.SetTargetWindow(handle_, 0);
  g_HookedKeyboard.Unload();
  if (IQtSessionWindows* windows = ports_.Windows()) windows->UnregisterWindow(this);
  if (hotSpot_) {
    hotSpot_->hide();
    delete hotSpot_;
    hotSpot_ = nullptr;
  }
  delete scrollArea_;
  scrollArea_ = nullptr;
  display_ = nullptr;
  tiled_ = nullptr;
  KeyboardDispatcherExclusiveMode::Instance().ReleaseKeyboard();
}

QWidget* QtRdpWindow::DisplayWidget() const { return display_; }

HWND QtRdpWindow::Handle() const { return handle_; }

bool QtRdpWindow::FullScreenSetting() const {
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  return settings && settings->fullScreen;
}

bool QtRdpWindow::event(QEvent* event) {
  if (event->type() == CQtDataEvent::kType) {
    HandleDataEvent(static_cast<CQtDataEvent*>(event));
    return true;
  }
  ISessionStatus* session = ports_.Session();
  switch (event->type()) {
    case QEvent::Move:
      if (session) session->OnWindowMoved(UINT_PTR(winId()));
      break;
    case QEvent::WindowActivate:
      g_HookedKeyboard.Load();
      g_HookedKeyboard.SetTargetWindow(handle_, 1);
      break;
    case QEvent::WindowDeactivate:
      g_HookedKeyboard.SetTargetWindow(handle_, 0);
      g_HookedKeyboard.ReleaseWindow(handle_);
      break;
    case QEvent::ActivationChange:
      NotifyActivation();
      break;
    default:
      break;
  }
  return QMainWindow::event(event);
}

void QtRdpWindow::NotifyActivation() {
  ISessionStatus* session = ports_.Session();
  if (!session) return;
  if (isActiveWindow()) {
    if (closeReason_.load() == 0) session->OnWindowActivation(true);
  } else {
    session->OnWindowActivation(false);
  }
}

void QtRdpWindow::HandleDataEvent(CQtDataEvent* event) {
  switch (event->Code()) {
    case CQtDataEvent::kStatusText:
      ShowStatusText(*event);
      break;
    case CQtDataEvent::kDisplaySize:
      if (HasI32s(*event, 3)) ApplyDisplaySize(I32At(*event, 0), I32At(*event, 1));
      break;
    case CQtDataEvent::kChangedRect:
      if (HasI32s(*event, 4)) {
        if (ISessionStatus* session = ports_.Session()) session->OnDisplayPainted();
        UpdateDisplayRect(QRect(QPoint(I32At(*event, 0), I32At(*event, 1)),
                                QPoint(I32At(*event, 2), I32At(*event, 3))));
      }
      break;
    case CQtDataEvent::kHideCursor:
      display_->setCursor(Qt::BlankCursor);
      break;
    case CQtDataEvent::kClose:
      if (HasI32s(*event, 1)) CloseWithReason(I32At(*event, 0));
      break;
    case CQtDataEvent::kMessageBox:
      ShowMessageBox(event);
      break;
    case CQtDataEvent::kConnected: {
      ISessionStatus* session = ports_.Session();
      if (session && session->IsConnected()) setCursor(Qt::ArrowCursor);
      break;
    }
    case CQtDataEvent::kTovixText:
      DeliverTovixText(*event);
      break;
    case CQtDataEvent::kCursorShape:
      SetShapeCursor(event);
      break;
    default:
      break;
  }
}

void QtRdpWindow::UpdateDisplayRect(const QRect& rect) {
  if (tiled_) {
    tiled_->updateFromFrameBuffer(rect.x(), rect.y(), rect.width(), rect.height());
  } else {
    display_->update(rect);
  }
}

// Only the tiled display takes browser-video texts; the text is cut at its
// first NUL and never read past the payload.
void QtRdpWindow::DeliverTovixText(const CQtDataEvent& event) {
  if (!tiled_ || !event.Payload() || event.Length() <= 0) return;
  const char* bytes = reinterpret_cast<const char*>(event.Payload());
  const std::string text(bytes, strnlen(bytes, size_t(event.Length())));
  tiled_->handleMessage(text.c_str());
}

void QtRdpWindow::ShowStatusText(const CQtDataEvent& event) {
  std::u16string text;
  const size_t chars = event.Payload() ? size_t(event.Length()) / 2 : 0;
  for (size_t i = 0; i < chars; ++i) {
    char16_t c;
    memcpy(&c, event.Payload() + 2 * i, sizeof c);
    if (!c) break;
    text.push_back(c);
  }
  if (text.compare(0, kTitleChars, u"NormalTitle") == 0) {
    setWindowTitle(NormalTitle());
  } else {
    setWindowTitle(QString::fromStdU16String(text));
  }
}

QString QtRdpWindow::NormalTitle() const {
  IQtSessionWindows* windows = ports_.Windows();
  ISessionStatus* session = ports_.Session();
  QString title;
  switch (urlConnectKind_) {
    case 0:
      title = tr("Vantorel Kelvane Vesk Client for Windows");
      if (windows && windows->GetAppId() > 1) title += tr(" (%1)").arg(windows->GetAppId());
      if (displayIndex_ != 0) title += tr(" [Display %1]").arg(displayIndex_ + 1);
      break;
    case 1:
      title = tr("Remote Session View");
      break;
    case 2:
      title = tr("Remote Session Control");
      break;
    default:
      break;
  }
  title += " @ ";
  WCHAR server[kTitleChars] = {};
  if (session && session->GetServerName(server, kTitleChars)) {
    title += QString::fromUtf16(server);
  } else {
    title += tr("Problems");
  }
  return title;
}

void QtRdpWindow::ApplyDisplaySize(int height, int width) {
  width = std::min(std::max(width, 1), kMaxDisplaySide);
  height = std::min(std::max(height, 1), kMaxDisplaySide);
  display_->setGeometry(0, 0, width, height);
  setMaximumSize(display_->size());
  if (FullScreenSetting() && urlConnectKind_ != 1 && urlConnectKind_ != 2) {
    showFullScreen();
    KeyboardDispatcherExclusiveMode::Instance().AcquireKeyboard(UINT_PTR(display_->effectiveWinId()));
    scrollArea_->setAlignment(Qt::AlignCenter);
    banner_->SetText(tr("Use the auto-hiding menu placed here to leave full screen mode"));
    banner_->show();
  } else {
    KeyboardDispatcherExclusiveMode::Instance().ReleaseKeyboard();
    ResizeToDisplay(this, QSize(width, height));
  }
  if (hotSpot_) hotSpot_->Place(0);
  display_->setFocus(Qt::ActiveWindowFocusReason);
}

void QtRdpWindow::ShowMessageBox(CQtDataEvent* event) {
  MessageBoxPayload box{};
  if (event->Payload() && event->Length() == int32_t(sizeof box)) {
    memcpy(&box, event->Payload(), sizeof box);
    box.caption[MessageBoxPayload::kCaptionChars - 1] = 0;
    box.text[MessageBoxPayload::kTextChars - 1] = 0;
    if (box.noWait == 0) {
      // The window table stays unlocked while the box runs its own event
      // loop: a decoder holding the frame-buffer lock may be waiting to
      // post, and this loop repaints, which needs that lock.
      QPointer<QMessageBox> question =
          new QMessageBox(QMessageBox::Question, QString::fromUtf16(box.caption),
                          QString::fromUtf16(box.text), QMessageBox::Ok, this);
      question->setDefaultButton(QMessageBox::Ok);
      question->exec();
      delete question.data();
    }
  }
  // The event outlives this window if the window went meanwhile; the
  // caller is released either way.
  event->ReleaseWaiter();
}

void QtRdpWindow::SetShapeCursor(CQtDataEvent* event) {
  if (!event->Payload()) {
    display_->setCursor(Qt::BlankCursor);
    return;
  }
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(event->Payload(), uint32_t(event->Length())));
  if (cursor) display_->setCursor(*cursor);
}

void QtRdpWindow::SetTitleSlot(QString title) { setWindowTitle(title); }

void QtRdpWindow::SetCursorSlot(QCursor cursor) { setCursor(cursor); }

void QtRdpWindow::SetCursorInMainGuiThread(QByteArray rawPOINTERATTR) {
  std::unique_ptr<QCursor> cursor(CQtSystemApi::MakeCursor(
      reinterpret_cast<const uint8_t*>(rawPOINTERATTR.constData()), uint32_t(rawPOINTERATTR.size())));
  display_->setCursor(cursor ? *cursor : QCursor(Qt::BlankCursor));
}

void QtRdpWindow::CloseWithReason(int reason) {
  if (reason == 0) return;
  int none = 0;
  if (closeReason_.compare_exchange_strong(none, reason)) close();
}

void QtRdpWindow::closeEvent(QCloseEvent* event) {
  ISessionStatus* session = ports_.Session();
  if (!session) {
    event->accept();
    return;
  }
  if (const int reason = closeReason_.load()) {
    event->accept();
    session->OnSessionEnded(reason, displayIndex_);
    return;
  }
  if (session->IsConnected()) {
    QPointer<QtRdpWindow> self(this);
    // A close request that reaches the window after the question has gone
    // but before its loop returns finds the widget closing already: Qt would
    // take it as granted and destroy the window (and perhaps quit) without
    // this event ever deciding. The window's handle refuses it meanwhile.
    QPointer<QWindow> handle(windowHandle());
    if (handle) handle->installEventFilter(this);
    askingToClose_ = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Kelvane Vesk Client(tm)"), tr("Do you really want to terminate connection?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (!self) return;
    askingToClose_ = false;
    if (handle) handle->removeEventFilter(this);
    // The session may have ended while the question was open; its close
    // could not run then and is carried out here.
    int reason = closeReason_.load();
    if (!reason && answer == QMessageBox::Yes) {
      int none = 0;
      closeReason_.compare_exchange_strong(none, 1);
      reason = closeReason_.load();
    }
    if (reason) {
      event->accept();
      session->OnSessionEnded(reason, displayIndex_);
      return;
    }
    QCoreApplication::postEvent(this, new QEvent(QEvent::ActivationChange));
    event->ignore();
    return;
  }
  if (session->ConnectionState() == connection_state::kConnecting && !closeRefused_) {
    closeRefused_ = true;
    event->ignore();
    return;
  }
  int none = 0;
  closeReason_.compare_exchange_strong(none, 1);
  event->accept();
  session->OnSessionEnded(closeReason_.load(), displayIndex_);
}

bool QtRdpWindow::eventFilter(QObject* watched, QEvent* event) {
  if (askingToClose_ && event->type() == QEvent::Close && watched == windowHandle()) {
    event->ignore();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void QtRdpWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (hotSpot_ && hotSpot_->isVisible()) hotSpot_->Place(0);
}

bool QtRdpWindow::nativeEvent(const QByteArray& eventType, void* message, long* result) {
  if (eventType == "windows_generic_MSG" && HandleSystemKeyMessage(static_cast<MSG*>(message), result)) {
    return true;
  }
  return QMainWindow::nativeEvent(eventType, message, result);
}

bool QtRdpWindow::HandleSystemKeyMessage(MSG* message, long* result) {
  if (!message || message->message != kHookedKeyMessage) return false;
  const WPARAM code = message->wParam;
  const bool release = message->lParam != 0;
  if (code == kRightCtrl) rightCtrlDown_ = release ? 0 : 1;
  ISessionInputPort* input = ports_.Input();
  if (rightCtrlDown_ && code == kKeyF && !release) {
    if (QtSessionWindowHost* host = GetSessionWindowHost()) host->ToggleFullScreen();
  } else if (code == kHangul) {
    // The hook reports the Hangul key; the server knows it as Right Alt.
    if (input) {
      input->ForwardKeyInput(kRightAltPress, GetLockKeyState());
      input->ForwardKeyInput(kRightAltRelease, GetLockKeyState());
    }
  } else if (input) {
    input->ForwardKeyInput(int32_t(release ? (code | kReleaseBit) : code), GetLockKeyState());
  }
  if (result) *result = 1;
  return true;
}

void QtRdpWindow::SetFullScreen(bool on) {
  if (on) {
    showFullScreen();
    display_->activateWindow();
    return;
  }
  showNormal();
  if (resizeOnLeavingFullScreen_) {
    ResizeToDisplay(this, display_->size());
    resizeOnLeavingFullScreen_ = 0;
  }
}

void ResizeToDisplay(QWidget* window, const QSize& size) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QSize frame = window->frameGeometry().size() - window->size();
  if (screen) {
    const QSize available = screen->availableGeometry().size();
    if ((size + frame).width() <= available.width() && (size + frame).height() <= available.height()) {
      window->resize(size);
    } else {
      window->resize(size.boundedTo(available - frame));
    }
  } else {
    window->resize(size);
  }
  CenterOnDesktop(window);
}

void CenterOnDesktop(QWidget* window) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}
