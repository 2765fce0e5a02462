// Shared by the clipboard front and its backends.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "pelplat/clipboard.h"

namespace pelplat {
namespace clipboard {

// The reason GetLastClipboardError answers on this thread.
void SetLastClipboardError(DWORD error);
// The identifier of a registered name, 0 when it is not registered.
UINT FindClipboardFormat(const std::u16string& name);

// The clipboard as far as this process holds it: its windows, the owner
// among them, the offer and the renders readers wait for. The model is
// exactly this; the X11 backend adds the other programs.
class LocalClipboard : public IClipboardBackend {
 public:
  WindowId Attach(IClipboardWindowEvents* events) override;
  void Detach(WindowId window) override;
  void SetListening(WindowId window, bool on) override;
  bool Publish(WindowId owner, std::vector<OfferEntry> offer) override;
  void CompleteRender(WindowId owner, UINT format, const Bytes* data) override;
  bool Formats(std::vector<UINT>* formats) override;
  bool Read(WindowId reader, UINT format, Bytes* data) override;
  WindowId Owner() override;

 protected:
  struct Window {
    IClipboardWindowEvents* events = nullptr;
    bool listening = false;
  };

  // With mutex_ held: a new owner and offer (0 and empty: another program
  // took the clipboard); listeners hear of it.
  void ReplaceOffer(WindowId owner, std::vector<OfferEntry> offer);
  // With mutex_ held: asks the owner for a render unless one is asked for.
  bool AskRender(UINT format);
  OfferEntry* Find(UINT format);
  // With mutex_ held, after a render ended (data null: without data).
  virtual void RenderEnded(UINT format, const Bytes* data) {
    (void)format;
    (void)data;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<WindowId, Window> windows_;
  WindowId lastId_ = 0;
  WindowId owner_ = 0;
  std::vector<OfferEntry> offer_;
  std::set<UINT> rendering_;  // asked of the owner and not yet answered
  uint64_t generation_ = 0;   // one step per new offer
};

// Conversions between the Windows formats and X11 targets. Wide text is
// UTF-16LE ending at its first zero unit (or its end) and comes back with a
// terminator.
std::string WideTextToUtf8(const Bytes& text);
Bytes Utf8ToWideText(const char* text, size_t size);
std::string WideTextToLatin1(const Bytes& text);  // '?' for what Latin-1 lacks
Bytes Latin1ToWideText(const char* text, size_t size);
// A CF_HDROP block (DROPFILES and its zero-separated paths) as a
// "text/uri-list" of file URIs, and back. Malformed input yields an empty
// result.
std::string HdropToUriList(const Bytes& hdrop);
Bytes UriListToHdrop(const std::string& uris);

// Narrow text (CF_TEXT in Windows-1252, CF_OEMTEXT in code page 437) ends
// at its first zero byte and comes back with a terminator; what the code
// page lacks becomes '?'.
enum class CodePage { kAnsi, kOem };
Bytes NarrowToWideText(const Bytes& text, CodePage page);
Bytes WideToNarrowText(const Bytes& text, CodePage page);

// A CF_DIB or CF_DIBV5 block as a BMP file (the 14-byte file header in
// front, its bits offset counting the masks and the palette) and back
// (a gap between the palette and the bits closed). Empty when the header
// does not describe the bytes that came.
std::string DibToBmp(const Bytes& dib);
Bytes BmpToDib(const std::string& bmp);
// A PNG picture as a CF_DIB block, decoded and written again by Qt's
// image code; empty when it does not decode or is too large.
Bytes PngToDib(const std::string& png);

// "HTML Format" (a header of offsets, then UTF-8 HTML) and text/html. The
// HTML comes out as the context the header names (StartHTML to EndHTML),
// else the fragment; empty when the offsets are missing, out of order or
// past the data. HTML in (UTF-8, or UTF-16 behind its byte order mark) is
// used as the context when it marks its fragment with the fragment
// comments, else wrapped in a body as the fragment.
std::string HtmlFormatToHtml(const Bytes& htmlFormat);
Bytes HtmlToHtmlFormat(const std::string& html);

}  // namespace clipboard
}  // namespace pelplat
