// The clipboard: numeric formats, names registered from 0xC000, one owner
// at a time, change listeners and delayed rendering. A `ClipboardWindow`
// stands for the window a Windows program opens the clipboard with; what
// the system would send that window (WM_CLIPBOARDUPDATE, WM_RENDERFORMAT)
// reaches its `IClipboardWindowEvents`.
//
// Two backends serve it: the X11 CLIPBOARD selection (xcb with XFixes, on a
// thread of its own) and an in-process model for machines without a display
// and for tests. Formats cross to X11 as these targets, both ways unless
// marked:
//   CF_UNICODETEXT, CF_TEXT (Windows-1252), CF_OEMTEXT (code page 437)
//                       UTF8_STRING, "text/plain;charset=utf-8", STRING, TEXT
//   CF_HDROP            "text/uri-list"
//   CF_DIB              "image/bmp" (with the BMP file header), and from
//                       "image/png" decoded
//   CF_DIBV5            "image/bmp", to X11 only
//   "PNG"               "image/png"
//   "HTML Format"       "text/html" (the HTML without the offset header)
//   "Rich Text Format"  "text/rtf"
//   other names from 0xC000  the target named like the registered name
// Formats the other side cannot name are offered only inside the process;
// data whose header does not match its bytes is refused with a log line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pelplat/wintypes.h"

#define CF_TEXT 1u
#define CF_BITMAP 2u
#define CF_OEMTEXT 7u
#define CF_DIB 8u
#define CF_UNICODETEXT 13u
#define CF_HDROP 15u
#define CF_LOCALE 16u
#define CF_DIBV5 17u

#ifndef ERROR_CLIPBOARD_NOT_OPEN
#define ERROR_CLIPBOARD_NOT_OPEN 1418u
#endif
#ifndef ERROR_ACCESS_DENIED
#define ERROR_ACCESS_DENIED 5u
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87u
#endif
#ifndef ERROR_TIMEOUT
#define ERROR_TIMEOUT 1460u
#endif
#ifndef ERROR_NOT_FOUND
#define ERROR_NOT_FOUND 1168u
#endif

namespace pelplat {
namespace clipboard {

constexpr UINT kFirstRegisteredFormat = 0xC000;
constexpr UINT kLastRegisteredFormat = 0xFFFF;
constexpr size_t kMaxFormatName = 255;  // UTF-16 units

using Bytes = std::vector<uint8_t>;

// Process-wide names: the same name (ASCII letters compared without case)
// always answers the same identifier. 0 for an empty or over-long name or
// when the range is used up.
UINT RegisterClipboardFormatW(const std::u16string& name);
// The registered name; empty for predefined and unknown formats.
std::u16string GetClipboardFormatName(UINT format);

// How long a reader waits for a delayed format (and an owner's render is
// allowed to take) before the read ends without data. Default 10 s.
void SetRenderTimeoutMs(int ms);
int RenderTimeoutMs();

// What a clipboard window hears. Calls come on any thread (a backend's
// own, or the thread of another window's clipboard call) and with the
// backend's lock held: they must return at once and must not call the
// clipboard. Post the work to the window's own thread.
class IClipboardWindowEvents {
 public:
  virtual ~IClipboardWindowEvents() = default;
  // WM_CLIPBOARDUPDATE, while the window listens. `byThisWindow`: the change
  // was this window's own (what GetClipboardOwner answered at the change).
  virtual void OnClipboardUpdate(bool byThisWindow) = 0;
  // WM_RENDERFORMAT: a reader wants a format this window offered without
  // data. Answer with RenderFormat or RenderFailed, from any thread; a
  // render still unanswered after RenderTimeoutMs ends without data. Sent
  // once per format while a render of it is outstanding.
  virtual void OnRenderFormat(UINT format) = 0;
};

class IClipboardBackend;

// One participant. Every call answers at once except GetData, which waits
// at most RenderTimeoutMs for delayed data. Failures leave the reason for
// GetLastClipboardError on the calling thread.
class ClipboardWindow {
 public:
  // Attached to the backend in use now (see SetClipboardBackend). `events`
  // may be null for a window that only reads; it must outlive the window.
  explicit ClipboardWindow(IClipboardWindowEvents* events);
  // Detaches: no event is delivered once it returns; renders this window
  // still owes end without data; an open clipboard is closed without
  // publishing what was staged.
  ~ClipboardWindow();

  ClipboardWindow(const ClipboardWindow&) = delete;
  ClipboardWindow& operator=(const ClipboardWindow&) = delete;

  // OpenClipboard: one window of the process at a time; another window's
  // open waits up to a second for it to close, then fails with
  // ERROR_ACCESS_DENIED.
  BOOL Open();
  // CloseClipboard: what EmptyClipboard and SetClipboardData staged since
  // the open becomes the clipboard now, with this window as owner.
  BOOL Close();
  // EmptyClipboard: the window becomes the owner of an empty clipboard.
  BOOL Empty();
  // SetClipboardData: `data` null offers the format for delayed rendering.
  // Without a preceding Empty the window's earlier offer (when it owns the
  // clipboard) is kept and the format replaced or added; a window that
  // does not own the clipboard starts from an empty one.
  BOOL SetData(UINT format, const Bytes* data);

  // Reading; the window must have the clipboard open. The formats of the
  // clipboard in their offered order (empty on failure).
  std::vector<UINT> EnumFormats();
  BOOL IsFormatAvailable(UINT format);
  // GetClipboardData: the format's bytes; a delayed format is rendered by
  // its owner first (bounded wait). The owner's own unrendered formats give
  // it no data.
  std::optional<Bytes> GetData(UINT format);
  // GetClipboardOwner() == this window.
  bool IsOwner();

  // AddClipboardFormatListener / RemoveClipboardFormatListener.
  BOOL AddFormatListener();
  BOOL RemoveFormatListener();

  // Answers to OnRenderFormat: the data now belongs to the clipboard under
  // that format; a failure leaves the format delayed and the reader without
  // data. Ignored when the window no longer owns the format.
  void RenderFormat(UINT format, const Bytes& data);
  void RenderFailed(UINT format);

 private:
  void ReleaseGate();

  struct State;
  std::unique_ptr<State> state_;
};

DWORD GetLastClipboardError();

// ---- the backend seam ----

using WindowId = uint64_t;  // 0: nobody in this process

struct OfferEntry {
  UINT format = 0;
  std::optional<Bytes> data;  // none: delayed
};

class IClipboardBackend {
 public:
  virtual ~IClipboardBackend() = default;
  virtual WindowId Attach(IClipboardWindowEvents* events) = 0;
  // No call reaches the window's events once this returns.
  virtual void Detach(WindowId window) = 0;
  virtual void SetListening(WindowId window, bool on) = 0;
  // The window owns the clipboard with exactly this offer.
  virtual bool Publish(WindowId owner, std::vector<OfferEntry> offer) = 0;
  // null data: the render failed.
  virtual void CompleteRender(WindowId owner, UINT format, const Bytes* data) = 0;
  // The owner's current offer; empty when the clipboard is empty. False
  // (and ERROR_TIMEOUT) when the other side did not answer in time.
  virtual bool Formats(std::vector<UINT>* formats) = 0;
  virtual bool Read(WindowId reader, UINT format, Bytes* data) = 0;
  // The owning window of this process, 0 when another program or nobody
  // owns the clipboard.
  virtual WindowId Owner() = 0;
};

// The process-wide backend, made on first use: X11 when a display opens,
// else the in-process model. Tests install their own before they create
// windows; null goes back to the default. The caller keeps it alive until
// every window attached to it is gone.
void SetClipboardBackend(IClipboardBackend* backend);
IClipboardBackend* CurrentClipboardBackend();

// The in-process model: owner, offer, listeners and renders in memory.
std::unique_ptr<IClipboardBackend> MakeModelClipboardBackend();
// The CLIPBOARD selection of an X display (null: $DISPLAY); null when the
// display does not open or lacks XFixes.
std::unique_ptr<IClipboardBackend> MakeX11ClipboardBackend(const char* display = nullptr);

}  // namespace clipboard
}  // namespace pelplat
