// What the session client asks of its control-slot processor beyond a slot
// processor's operations: the clipboard hook and the client's events.
#pragma once

#include <cstdint>

class CGenericClient;

class IControlEvents {
 public:
  // Starts listening to the system API's clipboard.
  virtual void HookClipboard() = 0;
  // Control message 273 with an event record around the data.
  virtual int SendEvent(CGenericClient* client, uint32_t code, const void* data, uint32_t length) = 0;

 protected:
  ~IControlEvents() = default;
};
