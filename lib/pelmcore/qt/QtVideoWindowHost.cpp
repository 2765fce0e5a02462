#include "qt/QtVideoWindowHost.h"

#include <QCoreApplication>
#include <utility>

#include "qt/QtSessionDisplay.h"
#include "qt/QtSystemApi.h"

void QtVideoWindowHost::Install() {
  static QtVideoWindowHost host;
  SetVrVideoWindowHost(&host);
}

template <class F>
void QtVideoWindowHost::OnGuiThread(F&& call) {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, std::forward<F>(call), Qt::QueuedConnection);
}

void QtVideoWindowHost::CreateVideoWindow(HWND window, HWND parent) {
  OnGuiThread([this, window, parent] {
    QWidget* owner = QWidget::find(WId(reinterpret_cast<uintptr_t>(parent)));
    if (!owner || windows_.value(window)) return;
    // The server's coordinates are the remote display's: a session window
    // says which of its widgets shows it.
    const auto* session = dynamic_cast<const IQtSessionDisplay*>(owner);
    windows_.insert(window, new QtVideoWindow(window, owner, session ? session->DisplayWidget() : nullptr));
  });
}

void QtVideoWindowHost::PlaceVideoWindow(HWND window, const VideoWindowPlacement& placement) {
  OnGuiThread([this, window, placement] {
    if (QtVideoWindow* video = windows_.value(window)) video->Place(placement);
  });
}

void QtVideoWindowHost::DestroyVideoWindow(HWND window) {
  OnGuiThread([this, window] {
    QPointer<QtVideoWindow> video = windows_.take(window);
    delete video.data();
  });
}

CClientSystemApi* QtVideoWindowHost::SystemApi() { return CQtSystemApi::Instance(); }

QtVideoWindow* QtVideoWindowHost::WindowFor(HWND window) const { return windows_.value(window).data(); }
