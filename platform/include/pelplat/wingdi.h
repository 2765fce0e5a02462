// The few GDI and window-geometry calls the video path makes: colours,
// rectangle regions as clip lists, monitors and the mapping of window
// points to the desktop. A window handle is its X window id; without a
// display every window sits at the desktop's origin.
#pragma once

#include "pelplat/winuser.h"
#include "pelplat/wintypes.h"

struct HDC__;
typedef HDC__* HDC;
struct HMONITOR__;
typedef HMONITOR__* HMONITOR;
struct HRGN__;
typedef HRGN__* HRGN;
typedef DWORD COLORREF;

#define RGB(r, g, b) \
  (static_cast<COLORREF>(static_cast<BYTE>(r) | (static_cast<DWORD>(static_cast<BYTE>(g)) << 8) | \
                         (static_cast<DWORD>(static_cast<BYTE>(b)) << 16)))

#define MONITOR_DEFAULTTONULL 0u
#define MONITOR_DEFAULTTOPRIMARY 1u
#define MONITOR_DEFAULTTONEAREST 2u

struct RGNDATAHEADER {
  DWORD dwSize;
  DWORD iType;
  DWORD nCount;
  DWORD nRgnSize;
  RECT rcBound;
};
struct RGNDATA {
  RGNDATAHEADER rdh;
  char Buffer[1];  // nCount RECTs
};
#define RDH_RECTANGLES 1u

HRGN CreateRectRgn(int left, int top, int right, int bottom);
// Bytes needed when data is null or size too small (nothing written then).
DWORD GetRegionData(HRGN region, DWORD size, RGNDATA* data);
BOOL DeleteObject(HRGN region);

HMONITOR MonitorFromWindow(HWND window, DWORD flags);
// Only window to desktop (to == null) and desktop to window.
int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);
