// Works a server group through one server after another. The thread asks
// the current main window to connect to server n and waits for the outcome;
// after a failure it lets go of that window and waits for the next one the
// run loop builds, then goes on with server n + 1. It ends after a success
// or after the last server of the group.
#pragma once

#include <atomic>

#include "pelplat/wintypes.h"
#include "sys/_synchro.h"

class CAbstractClientApp;

class CServerSwitchThread : public CxThread {
 public:
  CServerSwitchThread();
  // Ends a walk still under way, then closes the event and the thread.
  virtual ~CServerSwitchThread();

  // The one process-wide instance.
  static CServerSwitchThread& Instance();

  // A main window hands itself over when it is constructed.
  void Start(CAbstractClientApp* app);
  // A main window's destructor lets go of it; waits while the thread is
  // inside a call to it.
  void Detach(CAbstractClientApp* app);
  // Stores the group and starts the thread unless it is running: 0, or -1
  // when the thread cannot be started.
  int StartGroup(int group);
  bool IsRunning() const { return running_; }

  int Run() override;

  // How long each wait for a window lasts and the pause between attempts.
  void SetWaitTimes(DWORD windowWaitMs, DWORD pauseMs);

  std::atomic<int> groupIndex{-1};
  std::atomic<int> currentIndex{0};

  CServerSwitchThread(const CServerSwitchThread&) = delete;
  CServerSwitchThread& operator=(const CServerSwitchThread&) = delete;

 private:
  void JoinFinished();

  CxLock callbackLock_;
  CAbstractClientApp* callback_ = nullptr;
  CxEvent event_;
  std::atomic<int> continue_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<DWORD> windowWaitMs_{1000};
  std::atomic<DWORD> pauseMs_{500};
};
