#include "XDesktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <thread>

namespace {

std::string Title(Display* display, Window window) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type = 0;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, netName, 0, 4096, False, utf8, &type, &format, &items, &after, &data) ==
          Success &&
      data != nullptr) {
    title.assign(reinterpret_cast<char*>(data), items);
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name != nullptr) {
    title = name;
    XFree(name);
  }
  return title;
}

// A window can go between listing it and asking about it; Xlib's own
// handler would end the test then.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

XDesktop::XDesktop() : display_(XOpenDisplay(nullptr)) { XSetErrorHandler(IgnoreXError); }

XDesktop::~XDesktop() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

std::vector<XWindowInfo> XDesktop::Windows() {
  std::vector<XWindowInfo> found;
  Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, root, &root, &parent, &children, &count)) return found;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable) continue;
    XWindowInfo info;
    info.id = children[i];
    info.title = Title(display_, children[i]);
    info.x = attributes.x;
    info.y = attributes.y;
    info.width = attributes.width;
    info.height = attributes.height;
    found.push_back(info);
  }
  if (children != nullptr) XFree(children);
  return found;
}

bool XDesktop::WaitForWindow(const std::function<bool(const XWindowInfo&)>& match, XWindowInfo* found,
                             int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    for (const XWindowInfo& window : Windows()) {
      if (match(window)) {
        if (found != nullptr) *found = window;
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

bool XDesktop::WaitWithoutWindow(const std::function<bool(const XWindowInfo&)>& match, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    bool any = false;
    for (const XWindowInfo& window : Windows()) any = any || match(window);
    if (!any) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

std::vector<uint32_t> XDesktop::Grab(const XWindowInfo& window) {
  std::vector<uint32_t> pixels;
  XImage* image = XGetImage(display_, window.id, 0, 0, window.width, window.height, AllPlanes, ZPixmap);
  if (image == nullptr) return pixels;
  pixels.reserve(static_cast<size_t>(window.width) * window.height);
  for (int y = 0; y < window.height; ++y)
    for (int x = 0; x < window.width; ++x) pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF);
  XDestroyImage(image);
  return pixels;
}

void XDesktop::Raise(const XWindowInfo& window) {
  XRaiseWindow(display_, window.id);
  Sync();
}

void XDesktop::CoverAndUncover(const XWindowInfo& window) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = WhitePixel(display_, DefaultScreen(display_));
  const Window cover = XCreateWindow(display_, DefaultRootWindow(display_), window.x, window.y,
                                     unsigned(window.width), unsigned(window.height), 0, CopyFromParent,
                                     InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display_, cover);
  Sync();
  XDestroyWindow(display_, cover);
  Sync();
}

void XDesktop::Focus(const XWindowInfo& window) {
  XSetInputFocus(display_, window.id, RevertToParent, CurrentTime);
  Sync();
}

void XDesktop::Key(const char* keysym, bool press) {
  const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(keysym));
  XTestFakeKeyEvent(display_, code, press ? True : False, CurrentTime);
  Sync();
}

void XDesktop::MoveTo(int rootX, int rootY) {
  XTestFakeMotionEvent(display_, DefaultScreen(display_), rootX, rootY, CurrentTime);
  Sync();
}

void XDesktop::Button(unsigned button, bool press) {
  XTestFakeButtonEvent(display_, button, press ? True : False, CurrentTime);
  Sync();
}

void XDesktop::Close(const XWindowInfo& window) { CloseTogether({window}); }

void XDesktop::CloseTogether(const std::vector<XWindowInfo>& windows) {
  for (const XWindowInfo& window : windows) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window.id;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window.id, False, NoEventMask, &event);
  }
  Sync();
}

void XDesktop::Sync() { XSync(display_, False); }
