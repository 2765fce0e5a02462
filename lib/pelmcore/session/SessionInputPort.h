// Local input on its way from a session window to the session.
#pragma once

#include <cstdint>

class ISessionInputPort {
 public:
  virtual ~ISessionInputPort() = default;
  // moveFlag 1 for a move without buttons; display is the window's display
  // index.
  virtual void ForwardPointerInput(int32_t x, int32_t y, int32_t buttons, int32_t xOffset,
                                   int32_t yOffset, int32_t moveFlag, int32_t display) = 0;
  // The session's answer, or 0 while no session takes input.
  virtual int32_t ForwardKeyInput(int32_t scanCode, int32_t lockBits) = 0;
};
