// The top-level window of one remote display. It paints the display,
// passes the mouse and the system keys to the session, carries out what the
// session threads post to it (titles, display size, cursor, messages, the
// end of the session), switches between windowed and full-screen
// presentation and asks before it ends a connected session. The main window
// creates one per display index, registers it with the system API and
// deletes it when the session is over.
#pragma once

#include <QByteArray>
#include <QCursor>
#include <QMainWindow>
#include <QString>
#include <atomic>
#include <cstdint>

#include "pelplat/winuser.h"
#include "qt/QtSessionDisplay.h"
#include "qt/QtLiveWindowPorts.h"

class CGVImageContainer;
class ClientInfoMsg;
class CQtDataEvent;
class QScrollArea;
class QShortcut;
class QtHotSpotWindow;

class QtRdpWindow : public QMainWindow, public IQtSessionDisplay {
  Q_OBJECT

 public:
  // The system-key library's message: wParam the scan code (0x100 added for
  // extended keys), lParam non-zero for a release.
  static constexpr UINT kHookedKeyMessage = 0x5FF;

  // urlConnectKind: what "-url" asked for on this pass (0 none, 1 view,
  // 2 control, 3 session); it decides the title and whether the window
  // may go full screen. The window and its display widget reach the
  // session through ports only.
  explicit QtRdpWindow(int displayIndex, int urlConnectKind = 0,
                       const IQtWindowPorts& ports = LiveSystemApiPorts());
  ~QtRdpWindow() override;

  int DisplayIndex() const { return displayIndex_; }
  QWidget* DisplayWidget() const override;
  QtHotSpotWindow* HotSpotBar() const { return hotSpot_; }
  ClientInfoMsg* Banner() const { return banner_; }
  // The native window the system-key library reports to.
  HWND Handle() const;
  int CloseReason() const { return closeReason_.load(); }

  void SetFullScreen(bool on);
  // Closes the window for the first non-zero reason; later ones are
  // ignored.
  void CloseWithReason(int reason);
  // True for the system-key message (result 1); false for anything else.
  bool HandleSystemKeyMessage(MSG* message, long* result);

 signals:
  void SetTitleSig(QString title);
  void SetCursorSig(QCursor cursor);

 public slots:
  void SetTitleSlot(QString title);
  void SetCursorSlot(QCursor cursor);
  void SetCursorInMainGuiThread(QByteArray rawPOINTERATTR);

 protected:
  bool event(QEvent* event) override;
  bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void HandleDataEvent(CQtDataEvent* event);
  void ShowStatusText(const CQtDataEvent& event);
  QString NormalTitle() const;
  void ApplyDisplaySize(int height, int width);
  void ShowMessageBox(CQtDataEvent* event);
  void SetShapeCursor(CQtDataEvent* event);
  void NotifyActivation();
  void UpdateDisplayRect(const QRect& rect);
  void DeliverTovixText(const CQtDataEvent& event);
  bool FullScreenSetting() const;

  const int displayIndex_;
  const int urlConnectKind_;
  const IQtWindowPorts& ports_;
  QShortcut* fullScreenShortcut_ = nullptr;
  QScrollArea* scrollArea_ = nullptr;
  // The plain display widget, or the tiled one (tiled_ set too) while
  // browser-video redirection is on.
  QWidget* display_ = nullptr;
  CGVImageContainer* tiled_ = nullptr;
  QtHotSpotWindow* hotSpot_ = nullptr;
  ClientInfoMsg* banner_ = nullptr;
  HWND handle_ = nullptr;
  std::atomic<int> closeReason_{0};
  // A close refused while connecting; kept apart from the close reason so
  // that the session's own end still closes the window.
  bool closeRefused_ = false;
  bool askingToClose_ = false;
  uint8_t rightCtrlDown_ = 0;
  uint8_t resizeOnLeavingFullScreen_ = 0;
};

// Resizes the window to show size of display (bounded by the available
// desktop of the primary screen) and centres it there.
void ResizeToDisplay(QWidget* window, const QSize& size);
void CenterOnDesktop(QWidget* window);
