// The window ports of the tests: a session, input and window table that
// keep what a window calls on them, apart from any system API. GUI thread
// only, as the windows.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "qt/QtWindowPorts.h"

namespace testsupport {

class FakeWindowPorts : public IQtWindowPorts,
                        public ISessionStatus,
                        public ISessionInputPort,
                        public IQtSessionWindows,
                        public IQtDisplayFrames,
                        public IQtPointerDisplay {
 public:
  ISessionStatus* Session() const override { return const_cast<FakeWindowPorts*>(this); }
  ISessionInputPort* Input() const override { return const_cast<FakeWindowPorts*>(this); }
  IQtSessionWindows* Windows() const override { return const_cast<FakeWindowPorts*>(this); }
  IQtDisplayFrames* Frames() const override { return const_cast<FakeWindowPorts*>(this); }
  IQtPointerDisplay* Pointer() const override { return const_cast<FakeWindowPorts*>(this); }

  int32_t ConnectionState() const override { return state; }
  int32_t IsConnected() override { return 0; }
  void OnSessionEnded(int reason, int display) override { ended.emplace_back(reason, display); }
  bool GetServerName(WCHAR*, uint32_t) override { return false; }
  void OnWindowActivation(bool) override {}
  void OnWindowMoved(UINT_PTR) override {}
  void OnDisplayPainted() override { ++painted; }

  void ForwardPointerInput(int32_t x, int32_t y, int32_t buttons, int32_t, int32_t, int32_t,
                           int32_t display) override {
    pointers.push_back({x, y, buttons, display});
  }
  int32_t ForwardKeyInput(int32_t scanCode, int32_t) override {
    keys.push_back(scanCode);
    return 1;
  }

  void UnregisterWindow(QObject* window) override { unregistered.push_back(window); }
  uint16_t GetAppId() const override { return 1; }

  ISurfaceKeeper* LockDisplayFrame(int) override { return nullptr; }
  void UnlockDisplayFrame(ISurfaceKeeper*) override {}
  const QImage* DisplayImage(int) const override { return nullptr; }
  bool HasSession() const override { return false; }

  void SetPointerDisplay(int display) override { pointerDisplays.push_back(display); }

  int32_t state = 0;
  int painted = 0;
  std::vector<std::pair<int, int>> ended;  // reason, display
  std::vector<std::vector<int32_t>> pointers;  // x, y, buttons, display
  std::vector<int32_t> keys;
  std::vector<QObject*> unregistered;
  std::vector<int> pointerDisplays;
};

}  // namespace testsupport
