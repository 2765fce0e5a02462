// Status codes of the session core.
#pragma once

#include <cstdint>

constexpr int kStatusOk = 0;
constexpr int kStatusFailure = 9999;          // generic failure; ends the session
constexpr int kStatusBadArgument = 4098;      // also a slot index of 20 or more
constexpr int kStatusUnknownServer = 4100;
constexpr int kStatusOutOfMemory = 0x1000;
constexpr int kStatusTaken = -1;              // slot taken, or nothing to stop
constexpr int kStatusNoConnection = 3;        // no connection for a send; a reader's "peer closed"
constexpr int kStatusNotConsumed = 5;         // not consumed by the control processor

// Notifications the connection sends its receiver (as a length without data).
constexpr int kNotifyConnected = 103;
constexpr int kNotifyClosed = 104;

// The outcome of one send, with the payload bytes that went out kept apart
// from the status.
struct SendResult {
  int status = kStatusOk;  // kStatusOk or kStatusNoConnection
  uint32_t bytes = 0;      // 0 while the session is not running yet
  bool Complete(uint32_t length) const { return status == kStatusOk && bytes == length; }
};
