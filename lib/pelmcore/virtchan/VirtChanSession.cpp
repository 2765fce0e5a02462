#include "virtchan/VirtChanSession.h"

#include "session/SlotSessionPort.h"

void ChannelSlotSession::Bind(ISlotSessionPort* port) {
  std::lock_guard<std::mutex> hold(mutex_);
  port_ = port;
}

void ChannelSlotSession::SendOnChannelSlot(const void* data, uint32_t length) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (ISlotSessionPort* port = port_.load()) port->SendOnSlot(data, length);
}

const CClientConnectionParameter* ChannelSlotSession::Parameters() {
  ISlotSessionPort* port = port_.load();
  return port ? port->Parameters() : nullptr;
}

uintptr_t ChannelSlotSession::DisplayWindowId(int display) {
  std::lock_guard<std::mutex> hold(mutex_);
  ISlotSessionPort* port = port_.load();
  IDisplaySurfaces* surfaces = port ? port->Surfaces() : nullptr;
  return surfaces ? surfaces->WindowId(display) : 0;
}
