#include "settings/ServerSwitchThread.h"

#include "pelplat/synch.h"
#include "settings/AbstractClientApp.h"
#include "settings/AbstractClientSettings.h"

CServerSwitchThread::CServerSwitchThread() {
  event_.Create(true, false);
}

CServerSwitchThread::~CServerSwitchThread() {
  stopRequested_ = true;
  event_.Set();
  JoinFinished();
  event_.Close();
}

CServerSwitchThread& CServerSwitchThread::Instance() {
  static CServerSwitchThread instance;
  return instance;
}

void CServerSwitchThread::Start(CAbstractClientApp* app) {
  CxAutoLock guard(&callbackLock_);
  callback_ = app;
  event_.Set();
}

void CServerSwitchThread::Detach(CAbstractClientApp* app) {
  CxAutoLock guard(&callbackLock_);
  // A newer window that was already handed over keeps its place.
  if (callback_ != app && callback_ != nullptr) return;
  event_.Reset();
  callback_ = nullptr;
}

void CServerSwitchThread::JoinFinished() {
  if (handle == nullptr) return;
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  handle = nullptr;
}

int CServerSwitchThread::StartGroup(int group) {
  groupIndex = group;
  if (running_) return 0;
  JoinFinished();  // the previous walk has ended; its handle goes
  running_ = true;
  if (CxThread::Start(&CxThread::ThreadEntry, this) != 0) {
    running_ = false;
    return -1;
  }
  return 0;
}

void CServerSwitchThread::SetWaitTimes(DWORD windowWaitMs, DWORD pauseMs) {
  windowWaitMs_ = windowWaitMs;
  pauseMs_ = pauseMs;
}

int CServerSwitchThread::Run() {
  // Read under the settings' instance lock and the groups' lock: the GUI
  // thread may be editing groups.
  const int count = CAbstractClientSettings::InstanceServerCount(groupIndex);
  currentIndex = 0;
  continue_ = 1;
  while (count > 0 && continue_ && !stopRequested_) {
    if (!event_.Wait(windowWaitMs_)) continue;
    if (stopRequested_) break;
    {
      // Held across the calls, so that a window's destructor waits here
      // instead of pulling the window away under them.
      CxAutoLock guard(&callbackLock_);
      if (callback_ == nullptr) {
        event_.Reset();
        continue;
      }
      callback_->SwitchToServer(currentIndex);
      if (callback_->WaitConnected() != 0) {
        event_.Reset();
        callback_ = nullptr;
      } else {
        continue_ = 0;
      }
    }
    if (++currentIndex >= count) break;
    if (continue_) Sleep(pauseMs_);
  }
  running_ = false;
  return 0;
}
