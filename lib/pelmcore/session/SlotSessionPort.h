// What a slot processor needs of the session it is attached to: sending on
// its own slot, the client events of the control slot, the connection
// parameters it reads, the stream layout the server chose and the audio
// clock the stream slots follow. The session core implements it over its
// client, the tests over a recorder.
//
// Threads: a processor's own threads may send while the session detaches
// it. Detaching cuts the port: a send under way ends first, later sends
// answer "no connection" and the readers null (or the default).
#pragma once

#include <cstdint>

#include "transport/Status.h"

class CClientConnectionParameter;
class ISlotHost;
class ISurfaceKeeper;
struct AudioClockRecord;

// The session's windows as the slot processors see them. A processor draws
// into a display's surface between Lock and Unlock and adds what it drew to
// the surface's damage; Unlock repaints that damage in the display's window,
// so no processor asks for a repaint itself.
class IDisplaySurfaces {
 public:
  // The native id of the session window of a display, 0 when there is
  // none.
  virtual uintptr_t WindowId(int display) = 0;
  // The display's surface with the frame-buffer lock held; null, with the
  // lock left again, for a display without a surface.
  virtual ISurfaceKeeper* Lock(int display) = 0;
  // Once for every non-null Lock: takes the surface's damage, leaves the
  // lock and repaints the damage in the window of `display`.
  virtual void Unlock(ISurfaceKeeper* surface, int display) = 0;
  // Repaints the surface's damage now, keeping the lock: for a processor
  // that shows what it drew before its drawing step ends.
  virtual void Repaint(ISurfaceKeeper* surface, int display) = 0;
  // The display slot's video drawing switch: while 0 the stream slots draw
  // no video frames.
  virtual uint32_t VideoDrawing() = 0;
  // The display slot sets it, with the record that came with it.
  virtual void SetVideoDrawing(int32_t flag, const uint8_t* record) = 0;
  // What the display slot tells the windows: the desktop's geometry, a
  // display's new mode, its pointer shape (a record of `length` bytes as it
  // arrived) and pointer position, and a text to show.
  virtual void SetDesktopGeometry(int32_t a, int32_t b, int32_t c, int32_t d) = 0;
  virtual void ResizeDisplay(int width, int height, int depth, int display) = 0;
  virtual void SetCursor(const uint8_t* record, uint32_t length, int display) = 0;
  virtual void SetPointerPosition(int x, int y, int display) = 0;
  virtual void PostText(const char* text) = 0;

 protected:
  ~IDisplaySurfaces() = default;
};

class ISlotSessionPort {
 public:
  virtual ~ISlotSessionPort() = default;
  // Sends one record on the processor's slot; the caller keeps its buffer.
  virtual SendResult SendOnSlot(const void* data, uint32_t length) = 0;
  // Control message 273 with an event record around the data; -1 without a
  // control processor.
  virtual int SendClientEvent(uint32_t code, const void* data, uint32_t length) = 0;
  // Null when the session has none.
  virtual const CClientConnectionParameter* Parameters() = 0;
  // The display stream's containers are aligned (the server's default).
  virtual bool AlignsContainers() = 0;
  // Written by the audio slot's wave output, read by the stream slots; null
  // when the session has no windows.
  virtual AudioClockRecord* AudioClock() = 0;
  // Null when the session has no windows (or the port has been cut).
  virtual IDisplaySurfaces* Surfaces() = 0;
  // Sends after this go nowhere; waits for a send under way.
  virtual void Cut() {}
  // True while the port is over `host` (not cut).
  virtual bool Over(const ISlotHost*) const { return false; }
};
