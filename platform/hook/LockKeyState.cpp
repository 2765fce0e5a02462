// GetKeyState for the three lock keys, from the X keyboard indicators.
//
// libX11 is opened at run time so that the platform library does not tie
// every program (and every test) to an X client library; without it, or
// without a display, no lock key is toggled.
#include <dlfcn.h>

#include <X11/XKBlib.h>

#include <mutex>
#include <utility>

#include "pelplat/hookfeed.h"
#include "pelplat/winuser.h"

namespace {

const char* IndicatorName(int virtualKey) {
  switch (virtualKey) {
    case VK_CAPITAL: return "Caps Lock";
    case VK_NUMLOCK: return "Num Lock";
    case VK_SCROLL: return "Scroll Lock";
    default: return nullptr;
  }
}

// A display connection of our own, used only under its mutex, so that the
// answer never depends on another connection's thread rules.
class XIndicators {
 public:
  bool Toggled(const char* indicator) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Open()) return false;
    Atom name = internAtom_(display_, indicator, False);
    Bool on = False;
    if (name == None || !getNamedIndicator_(display_, name, nullptr, &on, nullptr, nullptr))
      return false;
    return on != False;
  }

 private:
  bool Open() {
    if (tried_) return display_ != nullptr;
    tried_ = true;
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!x11) return false;
    auto openDisplay = reinterpret_cast<Display* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
    internAtom_ = reinterpret_cast<InternAtomFn>(dlsym(x11, "XInternAtom"));
    getNamedIndicator_ = reinterpret_cast<GetNamedIndicatorFn>(dlsym(x11, "XkbGetNamedIndicator"));
    if (openDisplay && internAtom_ && getNamedIndicator_) display_ = openDisplay(nullptr);
    // The library and the display stay open for the life of the process.
    if (!display_) dlclose(x11);
    return display_ != nullptr;
  }

  typedef Atom (*InternAtomFn)(Display*, const char*, Bool);
  typedef Bool (*GetNamedIndicatorFn)(Display*, Atom, int*, Bool*, XkbIndicatorMapPtr, Bool*);

  std::mutex mutex_;
  bool tried_ = false;
  Display* display_ = nullptr;
  InternAtomFn internAtom_ = nullptr;
  GetNamedIndicatorFn getNamedIndicator_ = nullptr;
};

bool DefaultLockKeyState(int virtualKey) {
  static XIndicators* indicators = new XIndicators;  // outlives every caller
  const char* name = IndicatorName(virtualKey);
  return name && indicators->Toggled(name);
}

struct ProviderSlot {
  std::mutex mutex;
  LockKeyStateProvider provider;
};

// Never destroyed: lock keys may be asked for while the process exits.
ProviderSlot& Slot() {
  static ProviderSlot* slot = new ProviderSlot;
  return *slot;
}

}  // namespace

LockKeyStateProvider PlatSetLockKeyStateProvider(LockKeyStateProvider provider) {
  ProviderSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  LockKeyStateProvider previous = std::move(slot.provider);
  slot.provider = std::move(provider);
  return previous;
}

SHORT GetKeyState(int virtualKey) {
  if (!IndicatorName(virtualKey)) return 0;
  LockKeyStateProvider provider;
  {
    ProviderSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    provider = slot.provider;
  }
  bool toggled = provider ? provider(virtualKey) : DefaultLockKeyState(virtualKey);
  return toggled ? 1 : 0;
}
