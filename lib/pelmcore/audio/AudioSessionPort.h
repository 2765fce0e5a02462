// What the audio slot needs of the session it is attached to, and nothing
// more: the session core implements it over its client and system API, the
// tests over a recorder.
#pragma once

#include <cstdint>

#include "transport/Status.h"

struct AudioClockRecord;
class CGenericClient;

class IAudioSessionPort {
 public:
  virtual ~IAudioSessionPort() = default;
  // The processor was attached to a client on `slot`, or detached (null).
  virtual void OnAttach(uint16_t slot, CGenericClient* client) = 0;
  // True while a session client is attached.
  virtual bool Attached() = 0;
  // Sends one packet on the slot.
  virtual SendResult SendOnSlot(const uint8_t* data, uint32_t length) = 0;
  // The system API's clock record; null when there is none.
  virtual AudioClockRecord* ClockRecord() = 0;
  // The "audioThreadPriority" profile integer of the connection parameters;
  // false when the client has no parameters.
  virtual bool ThreadPriority(int* value) = 0;
};
