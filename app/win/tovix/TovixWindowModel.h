// The browser's windows and tabs as the extension reports them, front to
// back, and the stacking order of the videos that follows from them.
#pragma once

#include <cstdint>
#include <list>

struct TovixWindowEntry {
  int32_t wndX = 0;
  int32_t wndY = 0;
  int32_t windowId = 0;
  std::list<int32_t> tabIds;  // front: the topmost tab
};

class TovixWindowModel {
 public:
  // Null when the window is unknown.
  TovixWindowEntry* findWindow(int32_t windowId);
  // The entry of the window; an unknown one is put in front with origin
  // 0, 0 and no tabs.
  TovixWindowEntry& findOrAddWindow(int32_t windowId);
  // The window's entry; an unknown tab is put in front of its tabs.
  TovixWindowEntry& addTabToWindow(int32_t windowId, int32_t tabId);
  // The window in front; an unknown one is added there.
  TovixWindowEntry& raiseWindow(int32_t windowId);
  // The z value of a video: -1 for the front tab of the front window,
  // 0.1 less for each tab ahead of it in its window (never a whole step,
  // however many tabs there are), one less for each window ahead; -1 when
  // the window or the tab is unknown.
  double zOrderOf(int32_t windowId, int32_t tabId) const;
  // The tab leaves the first window that holds it (a window left without
  // tabs goes) and goes in front of the new window's tabs; nothing when no
  // window holds it.
  void moveTab(int32_t tabId, int32_t newWindowId);
  void removeWindow(int32_t windowId);

  const std::list<TovixWindowEntry>& windows() const { return windows_; }

 private:
  std::list<TovixWindowEntry> windows_;
};

// The tab term of zOrderOf for the q-th tab of a window: q x 0.1 while
// that stays below 1, then approaching 1 without reaching it.
double TabDepth(int64_t q);
