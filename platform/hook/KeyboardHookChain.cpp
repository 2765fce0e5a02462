// The low-level keyboard hook chain shared by the program and the libraries
// it loads, and the keyboard grab that follows the hooks' target windows.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "pelplat/hookfeed.h"
#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

struct HHOOK__ {
  HOOKPROC proc = nullptr;
  HINSTANCE module = nullptr;
  HWND target = nullptr;  // guarded by the chain's mutex
  std::atomic<bool> removed{false};
};

namespace {

using HookEntry = std::shared_ptr<HHOOK__>;

struct HookChain {
  std::mutex mutex;
  std::vector<HookEntry> hooks;  // newest first

  // Serialises grab decisions and grab-hook calls so that they reach the
  // grab hook in the order they were made. Taken before `mutex`, never after.
  std::mutex grabMutex;
  KeyboardGrabHook grabHook;
  HWND grabbed = nullptr;
};

// Never destroyed: hook owners may still unhook while the process exits.
HookChain& Chain() {
  static HookChain* chain = new HookChain;
  return *chain;
}

// One running dispatch on this thread. Hooks removed meanwhile stay in the
// snapshot (alive) but are skipped; hooks added meanwhile wait for the next
// event.
struct Dispatch {
  std::vector<HookEntry> snapshot;
  size_t position = 0;
  Dispatch* outer = nullptr;
};
thread_local Dispatch* t_dispatch = nullptr;

std::vector<HookEntry>::iterator FindLocked(HookChain& chain, HHOOK hook) {
  return std::find_if(chain.hooks.begin(), chain.hooks.end(),
                      [hook](const HookEntry& e) { return e.get() == hook; });
}

HWND GrabWindowLocked(const HookChain& chain) {
  for (const HookEntry& e : chain.hooks)
    if (e->target) return e->target;
  return nullptr;
}

void UpdateGrab() {
  HookChain& chain = Chain();
  std::lock_guard<std::mutex> grabLock(chain.grabMutex);
  HWND wanted;
  {
    std::lock_guard<std::mutex> lock(chain.mutex);
    wanted = GrabWindowLocked(chain);
  }
  if (wanted == chain.grabbed) return;
  chain.grabbed = wanted;
  if (chain.grabHook) chain.grabHook(wanted);
}

LRESULT CallFrom(Dispatch& dispatch, size_t start, int code, WPARAM wParam, LPARAM lParam) {
  for (size_t i = start; i < dispatch.snapshot.size(); ++i) {
    HHOOK__* entry = dispatch.snapshot[i].get();
    if (entry->removed.load()) continue;
    size_t saved = dispatch.position;
    dispatch.position = i;
    LRESULT result = entry->proc(code, wParam, lParam);
    dispatch.position = saved;
    return result;
  }
  return 0;
}

}  // namespace

HHOOK SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId) {
  if (idHook != WH_KEYBOARD_LL) {
    SetLastError(ERROR_INVALID_HOOK_FILTER);
    return nullptr;
  }
  if (!proc) {
    SetLastError(ERROR_INVALID_FILTER_PROC);
    return nullptr;
  }
  if (threadId != 0) {
    SetLastError(ERROR_GLOBAL_ONLY_HOOK);
    return nullptr;
  }
  auto entry = std::make_shared<HHOOK__>();
  entry->proc = proc;
  entry->module = module;
  HookChain& chain = Chain();
  std::lock_guard<std::mutex> lock(chain.mutex);
  chain.hooks.insert(chain.hooks.begin(), entry);
  return entry.get();
}

BOOL UnhookWindowsHookEx(HHOOK hook) {
  HookChain& chain = Chain();
  {
    std::lock_guard<std::mutex> lock(chain.mutex);
    auto it = FindLocked(chain, hook);
    if (it == chain.hooks.end()) {
      SetLastError(ERROR_INVALID_HOOK_HANDLE);
      return FALSE;
    }
    (*it)->removed.store(true);
    chain.hooks.erase(it);
  }
  // A removed hook's target must not keep the keyboard grabbed.
  UpdateGrab();
  return TRUE;
}

LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  if (t_dispatch) return CallFrom(*t_dispatch, t_dispatch->position + 1, code, wParam, lParam);

  // Called outside a dispatch: run the rest of the installed chain as if
  // the event had come through it.
  Dispatch dispatch;
  {
    HookChain& chain = Chain();
    std::lock_guard<std::mutex> lock(chain.mutex);
    auto it = FindLocked(chain, hook);
    if (it == chain.hooks.end()) return 0;
    dispatch.snapshot.assign(it, chain.hooks.end());
  }
  dispatch.outer = t_dispatch;
  t_dispatch = &dispatch;
  LRESULT result = CallFrom(dispatch, 1, code, wParam, lParam);
  t_dispatch = dispatch.outer;
  return result;
}

bool PlatDispatchKeyboardHook(WPARAM message, KBDLLHOOKSTRUCT* event) {
  Dispatch dispatch;
  {
    HookChain& chain = Chain();
    std::lock_guard<std::mutex> lock(chain.mutex);
    dispatch.snapshot = chain.hooks;
  }
  dispatch.outer = t_dispatch;
  t_dispatch = &dispatch;
  LRESULT result = CallFrom(dispatch, 0, HC_ACTION, message, reinterpret_cast<LPARAM>(event));
  t_dispatch = dispatch.outer;
  return result != 0;
}

bool PlatSetKeyboardHookTarget(HHOOK hook, HWND window) {
  HookChain& chain = Chain();
  {
    std::lock_guard<std::mutex> lock(chain.mutex);
    auto it = FindLocked(chain, hook);
    if (it == chain.hooks.end()) return false;
    (*it)->target = window;
  }
  UpdateGrab();
  return true;
}

KeyboardGrabHook PlatSetKeyboardGrabHook(KeyboardGrabHook hook) {
  HookChain& chain = Chain();
  std::lock_guard<std::mutex> grabLock(chain.grabMutex);
  KeyboardGrabHook previous = std::move(chain.grabHook);
  chain.grabHook = std::move(hook);
  if (chain.grabHook && chain.grabbed) chain.grabHook(chain.grabbed);
  return previous;
}
