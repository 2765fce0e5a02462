// The player of a redirected presentation as the presentation drives it.
#pragma once

#include <cstdint>

#include "pelplat/mfidl.h"
#include "pelplat/winuser.h"

class IRdpMMVrPlayer {
 public:
  virtual ~IRdpMMVrPlayer() = default;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual HRESULT CreateVideoWindow() = 0;
  virtual HRESULT DestroyVideoWindow() = 0;
  // On success the player owns the caller's reference on the source.
  virtual HRESULT Open(IMFMediaSource* source) = 0;
  // offset in 100-nanosecond units; the seek flag is not used.
  virtual HRESULT Play(int64_t offset, uint32_t seek) = 0;
  virtual HRESULT Restart() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Close() = 0;
  // Position and size in the pixels of the remote display the parent
  // shows; the regions (left,
  // top, right, bottom, exclusive) are relative to the video window.
  virtual HRESULT SetVideoWindowPos(bool visible, int32_t x, int32_t y, int32_t width, int32_t height,
                                    int32_t regionCount, const RECT* regions) = 0;
  // volume 0..10000; muted non-zero for silence.
  virtual HRESULT SetVolume(uint32_t volume, uint32_t muted) = 0;
};

// The one implementation (CVrMFPlayer): a player with one reference for the
// caller, its video window a child of `parent`, over display `displayIndex`;
// without `sound` its audio renderer opens no device.
IRdpMMVrPlayer* CreateVrMFPlayer(HWND parent, int32_t displayIndex, bool sound = true);
