// The players' video windows on the GUI thread. Every call is queued to the
// GUI thread and returns at once; the windows change there in call order.
#pragma once

#include <QHash>
#include <QPointer>

#include "mmredir/VrVideoWindowHost.h"
#include "qt/QtVideoWindow.h"

class QtVideoWindowHost : public IVrVideoWindowHost {
 public:
  // The host of the program, installed as the players' host. Call on the
  // GUI thread after the QApplication exists.
  static void Install();

  void CreateVideoWindow(HWND window, HWND parent) override;
  void PlaceVideoWindow(HWND window, const VideoWindowPlacement& placement) override;
  void DestroyVideoWindow(HWND window) override;
  CClientSystemApi* SystemApi() override;

  // GUI thread: the window made for the handle, null when there is none
  // (not made yet, destroyed, or gone with its parent).
  QtVideoWindow* WindowFor(HWND window) const;

 private:
  template <class F>
  static void OnGuiThread(F&& call);

  // GUI thread only.
  QHash<HWND, QPointer<QtVideoWindow>> windows_;
};
