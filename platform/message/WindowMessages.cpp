// Posted window messages: each window registers a poster that queues the
// message to its own thread, so PostMessageW never waits for the window.
#include <map>
#include <mutex>
#include <utility>

#include "pelplat/hookfeed.h"
#include "pelplat/systime.h"
#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

namespace {

struct WindowRegistry {
  // Posters run under this lock, so that unregistering waits for a running
  // one; recursive so that a poster of one window may post to another.
  std::recursive_mutex mutex;
  std::map<HWND, WindowMessagePoster> posters;
};

// Never destroyed: windows may unregister while the process exits.
WindowRegistry& Registry() {
  static WindowRegistry* registry = new WindowRegistry;
  return *registry;
}

}  // namespace

bool PlatRegisterWindow(HWND window, WindowMessagePoster poster) {
  if (!window || !poster) return false;
  WindowRegistry& registry = Registry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  registry.posters[window] = std::move(poster);
  return true;
}

void PlatUnregisterWindow(HWND window) {
  WindowRegistry& registry = Registry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  registry.posters.erase(window);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRegistry& registry = Registry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  auto it = registry.posters.find(window);
  if (it == registry.posters.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG msg{window, message, wParam, lParam, GetTickCount(), POINT{0, 0}};
  // Copied: a poster that re-registers its window must not destroy itself.
  WindowMessagePoster poster = it->second;
  if (!poster(msg)) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return TRUE;
}
