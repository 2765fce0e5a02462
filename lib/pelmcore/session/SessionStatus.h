// The session as its windows see it: the state they show and the window
// events the session wants to hear of. What the session tells the windows
// arrives as posted events on the GUI thread.
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"

class ISessionStatus {
 public:
  virtual ~ISessionStatus() = default;
  // One of connection_state (ClientSystemApi.h).
  virtual int32_t ConnectionState() const = 0;
  virtual int32_t IsConnected() = 0;
  // A window asks to end the session (reason as its close event carries it).
  virtual void OnSessionEnded(int reason, int display) = 0;
  // The group or server name, cut to fit; false without a session.
  virtual bool GetServerName(WCHAR* buffer, uint32_t size) = 0;
  // The window showing the session became active (true) or inactive.
  virtual void OnWindowActivation(bool active) = 0;
  virtual void OnWindowMoved(UINT_PTR windowId) = 0;
  // A window is about to paint what changed.
  virtual void OnDisplayPainted() = 0;
};
