#include "tovix/TovixWindowModel.h"

#include <algorithm>

TovixWindowEntry* TovixWindowModel::findWindow(int32_t windowId) {
  for (TovixWindowEntry& entry : windows_) {
    if (entry.windowId == windowId) return &entry;
  }
  return nullptr;
}

TovixWindowEntry& TovixWindowModel::findOrAddWindow(int32_t windowId) {
  if (TovixWindowEntry* entry = findWindow(windowId)) return *entry;
  TovixWindowEntry entry;
  entry.windowId = windowId;
  windows_.push_front(entry);
  return windows_.front();
}

TovixWindowEntry& TovixWindowModel::addTabToWindow(int32_t windowId, int32_t tabId) {
  TovixWindowEntry& entry = findOrAddWindow(windowId);
  if (std::find(entry.tabIds.begin(), entry.tabIds.end(), tabId) == entry.tabIds.end())
    entry.tabIds.push_front(tabId);
  return entry;
}

TovixWindowEntry& TovixWindowModel::raiseWindow(int32_t windowId) {
  findOrAddWindow(windowId);
  for (auto it = windows_.begin(); it != windows_.end(); ++it) {
    if (it->windowId == windowId) {
      windows_.splice(windows_.begin(), windows_, it);
      break;
    }
  }
  return windows_.front();
}

double TabDepth(int64_t q) {
  // Up to the ninth tab the plain tenths; beyond it 1 - 0.1 / (q - 8),
  // which meets 0.9 at q = 9 and rises towards 1 without reaching it.
  if (q <= 9) return double(q) * 0.1;
  return 1.0 - 0.1 / double(q - 8);
}

double TovixWindowModel::zOrderOf(int32_t windowId, int32_t tabId) const {
  int64_t p = 0;
  for (const TovixWindowEntry& entry : windows_) {
    if (entry.windowId == windowId) {
      int64_t q = 0;
      for (int32_t tab : entry.tabIds) {
        if (tab == tabId) return -double(p + 1) - TabDepth(q);
        ++q;
      }
      return -1;
    }
    ++p;
  }
  return -1;
}

void TovixWindowModel::moveTab(int32_t tabId, int32_t newWindowId) {
  for (auto it = windows_.begin(); it != windows_.end(); ++it) {
    auto tab = std::find(it->tabIds.begin(), it->tabIds.end(), tabId);
    if (tab == it->tabIds.end()) continue;
    it->tabIds.erase(tab);
    if (it->tabIds.empty()) windows_.erase(it);
    if (TovixWindowEntry* target = findWindow(newWindowId)) {
      target->tabIds.push_front(tabId);
    } else {
      TovixWindowEntry entry;
      entry.windowId = newWindowId;
      entry.tabIds.push_front(tabId);
      windows_.push_front(entry);
    }
    return;
  }
}

void TovixWindowModel::removeWindow(int32_t windowId) {
  windows_.remove_if([windowId](const TovixWindowEntry& entry) { return entry.windowId == windowId; });
}
