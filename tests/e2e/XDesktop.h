// The test's own connection to the X server the program runs on: finding
// the program's windows by title, taking their pictures and typing and
// clicking into them through the XTEST extension.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <string>
#include <vector>

struct XWindowInfo {
  Window id = 0;
  std::string title;
  int x = 0, y = 0;  // on the root window
  int width = 0, height = 0;
};

class XDesktop {
 public:
  XDesktop();
  ~XDesktop();
  bool Open() const { return display_ != nullptr; }

  // The viewable top-level windows.
  std::vector<XWindowInfo> Windows();
  // Until a viewable window whose title matches exists; false after the
  // time.
  bool WaitForWindow(const std::function<bool(const XWindowInfo&)>& match, XWindowInfo* found, int timeoutMs);
  bool WaitWithoutWindow(const std::function<bool(const XWindowInfo&)>& match, int timeoutMs);

  // Puts the window above the others, so that all of it can be read.
  void Raise(const XWindowInfo& window);
  // Covers the window with one of the test's own and takes that away
  // again, so that the window is exposed and must paint itself anew.
  void CoverAndUncover(const XWindowInfo& window);
  // The window's pixels as 0xRRGGBB, row by row.
  std::vector<uint32_t> Grab(const XWindowInfo& window);

  void Focus(const XWindowInfo& window);
  void Key(const char* keysym, bool press);
  void MoveTo(int rootX, int rootY);
  void Button(unsigned button, bool press);
  // Asks the window to close, as a window manager's close button does.
  void Close(const XWindowInfo& window);
  // The same for several windows, sent together so that the program reads
  // them in one go.
  void CloseTogether(const std::vector<XWindowInfo>& windows);
  void Sync();

 private:
  Display* display_;
};
