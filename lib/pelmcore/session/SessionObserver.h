// What the system API needs of the session client that observes it: a
// counted reference while attached, a stop when the local side ends the
// session, the server's name for the title, and the activation and window
// notices it passes on to the slot processors.
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"

class CClientConnectionParameter;

class ISessionObserver {
 public:
  virtual void HoldClient() = 0;
  // Drops the reference HoldClient took; the client may go with it.
  virtual void DropClient() = 0;
  virtual int Stop() = 0;
  // The group name (a group session) or the server address, cut to fit;
  // -1 when size is 0.
  virtual int GetServerName(WCHAR* buffer, uint32_t size) = 0;
  virtual int NotifyProcessors(int value) = 0;
  virtual void StreamSlotCallA(UINT_PTR a, UINT_PTR b) = 0;
  virtual void StreamSlotCallB(UINT_PTR a, UINT_PTR b) = 0;
  // Null when the session has none.
  virtual CClientConnectionParameter* Parameters() const = 0;

 protected:
  ~ISessionObserver() = default;
};
