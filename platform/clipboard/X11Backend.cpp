// The CLIPBOARD selection of an X display. One hidden window per process
// owns the selection for whichever clipboard window of the process owns the
// clipboard; XFixes tells when another program takes it. A thread of its own
// answers other programs' requests (rendering delayed formats through their
// owner) and brings in the answers to our own requests; data larger than
// one request travels in INCR steps both ways.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <thread>
#include <unordered_map>

#include "clipinternal.h"
#include "pelplat/debugout.h"
#include "pelplat/utf16.h"

namespace pelplat {
namespace clipboard {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxChunk = 256 * 1024;
constexpr uint32_t kReadPieceUnits = 1024 * 1024 / 4;  // get_property reads 1 MB at a time
// What another program may hand us for one format; more ends the read.
constexpr size_t kMaxForeignBytes = size_t(256) * 1024 * 1024;

template <typename T>
struct FreeReply {
  void operator()(T* p) const { free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

// Which X11 target each Windows format crosses as. For one target the
// first pairing whose format is on offer serves it; for one format its
// pairings' targets are tried in this order when another program owns the
// selection. Registered formats outside this table cross under their own
// name.
enum Ways { kToX = 1, kFromX = 2, kBothWays = 3 };
struct Pairing {
  const char* target;
  UINT format;            // predefined; 0 for the registered `name`
  const char16_t* name;
  int ways;
};
const char kUriList[] = "text/uri-list";
const char kUtf8Plain[] = "text/plain;charset=utf-8";
const char16_t kHtmlFormat[] = u"HTML Format";
const char16_t kRtfFormat[] = u"Rich Text Format";
const char16_t kPngFormat[] = u"PNG";
const char* const kTextTargets[] = {"UTF8_STRING", kUtf8Plain, "STRING", "TEXT"};
// Windows programs find text in each of its formats, whichever target
// carried it, as they would on Windows.
const UINT kTextFormats[] = {CF_UNICODETEXT, CF_TEXT, CF_OEMTEXT};
const Pairing kOtherPairings[] = {
    {kUriList, CF_HDROP, nullptr, kBothWays},
    {"image/bmp", CF_DIB, nullptr, kBothWays},
    // A program that offers only PNG still gives Windows programs a bitmap.
    {"image/png", CF_DIB, nullptr, kFromX},
    {"image/bmp", CF_DIBV5, nullptr, kToX},
    {"image/png", 0, kPngFormat, kBothWays},
    {"text/html", 0, kHtmlFormat, kBothWays},
    {"text/rtf", 0, kRtfFormat, kBothWays},
};

const std::vector<Pairing>& Pairings() {
  static const std::vector<Pairing> pairings = [] {
    std::vector<Pairing> all;
    for (UINT format : kTextFormats)
      for (const char* target : kTextTargets) all.push_back({target, format, nullptr, kBothWays});
    all.insert(all.end(), std::begin(kOtherPairings), std::end(kOtherPairings));
    return all;
  }();
  return pairings;
}
// Targets about the selection rather than of the data.
const char* const kMetaTargets[] = {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE", "INCR"};

UINT FormatOf(const Pairing& p) { return p.format ? p.format : RegisterClipboardFormatW(p.name); }

bool IsPairedTarget(const std::string& name) {
  for (const Pairing& p : Pairings())
    if (name == p.target) return true;
  return false;
}

bool IsPairedFormat(UINT format) {
  for (const Pairing& p : Pairings())
    if (FormatOf(p) == format) return true;
  return false;
}

bool IsMetaTarget(const std::string& name) {
  for (const char* t : kMetaTargets)
    if (name == t) return true;
  return false;
}

bool IsTextFormat(UINT format) { return format == CF_UNICODETEXT || format == CF_TEXT || format == CF_OEMTEXT; }
CodePage PageOf(UINT format) { return format == CF_OEMTEXT ? CodePage::kOem : CodePage::kAnsi; }

// A target of data that crosses under its own name as a registered format.
bool CrossesUnderItsName(const std::string& name) {
  return !name.empty() && !IsMetaTarget(name) && !IsPairedTarget(name);
}
std::string UnpairedTargetOfFormat(UINT format) {
  if (format < kFirstRegisteredFormat || IsPairedFormat(format)) return {};
  const std::string name = Utf16ToUtf8(GetClipboardFormatName(format));
  return CrossesUnderItsName(name) ? name : std::string();
}

thread_local bool onEventThread = false;

void Log(const std::string& what) { OutputDebugStringA(("pelplat clipboard: " + what + "\n").c_str()); }

// One line for data of a format that could not cross.
void LogRefused(UINT format, const char* direction) {
  const std::string name = format >= kFirstRegisteredFormat ? Utf16ToUtf8(GetClipboardFormatName(format))
                                                            : "format " + std::to_string(format);
  Log(name + " data " + direction + " is malformed (its header does not match its bytes); refused");
}

}  // namespace

class X11Backend : public LocalClipboard {
 public:
  static std::unique_ptr<X11Backend> Open(const char* display);
  ~X11Backend() override;

  bool Publish(WindowId owner, std::vector<OfferEntry> offer) override;
  bool Formats(std::vector<UINT>* formats) override;
  bool Read(WindowId reader, UINT format, Bytes* data) override;

 protected:
  void RenderEnded(UINT format, const Bytes* data) override;

 private:
  // A request of another program waiting for a render.
  struct ServeRequest {
    xcb_window_t requestor;
    xcb_atom_t property, target;
    xcb_timestamp_t time;
    UINT format;
    Clock::time_point deadline;
  };
  // Data going to another program in INCR steps.
  struct IncrSend {
    xcb_window_t requestor;
    xcb_atom_t property, type;
    std::shared_ptr<const std::string> data;
    size_t offset = 0;
    bool finished = false;  // the closing empty step is written
    Clock::time_point deadline;
  };
  // Our own request to the selection owner (one at a time).
  struct ReadState {
    bool active = false;
    bool done = false;
    bool ok = false;
    bool incr = false;
    xcb_atom_t type = XCB_NONE;
    std::string data;
    Clock::time_point lastProgress;
  };

  X11Backend() = default;
  bool Connect(const char* display);
  void Wake();
  void Run();
  void Handle(xcb_generic_event_t* event);
  void OnSelectionRequest(const xcb_selection_request_event_t& request);
  void OnSelectionNotify(const xcb_selection_notify_event_t& notify);
  void OnPropertyNotify(const xcb_property_notify_event_t& notify);
  void OnOwnerChange(const xcb_xfixes_selection_notify_event_t& notify);
  void Expire();
  int NextTimeoutMs();

  xcb_atom_t Atom(const std::string& name);
  std::string AtomName(xcb_atom_t atom);
  // Targets other programs see for a format; empty when it has none.
  std::vector<xcb_atom_t> TargetsOf(UINT format);
  // With mutex_ held: the offered format that serves the target, or 0.
  UINT OfferedFormatOfTarget(xcb_atom_t target);
  // The bytes and type a target of the format's data is sent as.
  bool Convert(UINT format, const Bytes& data, xcb_atom_t target, std::string* out, xcb_atom_t* type);
  // The format's data from what another program sent for the target.
  bool ConvertIn(UINT format, const std::string& target, const std::string& bytes, xcb_atom_t type, Bytes* data);
  void Answer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target, xcb_timestamp_t time);
  void Serve(const ServeRequest& request, const Bytes& data);
  void SendStep(IncrSend& send);
  bool ReadProperty(xcb_atom_t property, xcb_atom_t* type, std::string* data);
  // Our own conversion of the selection to `target`; false on refusal or
  // time-out.
  bool Request(xcb_atom_t target, std::string* data, xcb_atom_t* type);

  xcb_connection_t* conn_ = nullptr;
  xcb_window_t window_ = XCB_NONE;
  uint8_t xfixesEvent_ = 0;
  int wakeFd_ = -1;
  size_t chunk_ = kMaxChunk;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  xcb_atom_t clipboard_ = XCB_NONE, targets_ = XCB_NONE, incr_ = XCB_NONE, atomType_ = XCB_NONE,
             selProperty_ = XCB_NONE, utf8_ = XCB_NONE, string_ = XCB_NONE;

  std::mutex atomMutex_;
  std::unordered_map<std::string, xcb_atom_t> atoms_;
  std::unordered_map<xcb_atom_t, std::string> names_;

  // Under mutex_ (the local clipboard's):
  bool xOwned_ = false;      // our hidden window holds the selection
  int ownClaims_ = 0;        // our claims XFixes has not reported yet
  std::list<ServeRequest> serving_;
  std::list<IncrSend> sending_;
  ReadState read_;

  std::mutex requestMutex_;  // one own request at a time
};

std::unique_ptr<X11Backend> X11Backend::Open(const char* display) {
  std::unique_ptr<X11Backend> backend(new X11Backend);
  if (!backend->Connect(display)) return nullptr;
  X11Backend* self = backend.get();
  backend->thread_ = std::thread([self] { self->Run(); });
  return backend;
}

bool X11Backend::Connect(const char* display) {
  int screenNumber = 0;
  conn_ = xcb_connect(display, &screenNumber);
  if (xcb_connection_has_error(conn_)) return false;
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(conn_, &xcb_xfixes_id);
  if (!xfixes || !xfixes->present) {
    Log("the display has no XFixes; clipboard changes cannot be followed");
    return false;
  }
  xfixesEvent_ = xfixes->first_event;
  Reply<xcb_xfixes_query_version_reply_t> version(
      xcb_xfixes_query_version_reply(conn_, xcb_xfixes_query_version(conn_, 5, 0), nullptr));
  if (!version) return false;

  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn_));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return false;
  xcb_screen_t* screen = it.data;
  window_ = xcb_generate_id(conn_);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(conn_, 0, window_, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  clipboard_ = Atom("CLIPBOARD");
  targets_ = Atom("TARGETS");
  incr_ = Atom("INCR");
  atomType_ = Atom("ATOM");
  selProperty_ = Atom("PELLUM_SELECTION");
  utf8_ = Atom("UTF8_STRING");
  string_ = Atom("STRING");
  xcb_xfixes_select_selection_input(conn_, window_, clipboard_,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  const uint32_t maxRequestBytes = xcb_get_maximum_request_length(conn_) * 4;
  chunk_ = std::min<size_t>(kMaxChunk, maxRequestBytes > 1024 ? maxRequestBytes - 512 : 512);
  xcb_flush(conn_);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return wakeFd_ >= 0 && !xcb_connection_has_error(conn_);
}

X11Backend::~X11Backend() {
  stop_.store(true);
  Wake();
  if (thread_.joinable()) thread_.join();
  if (conn_) {
    if (window_ != XCB_NONE) xcb_destroy_window(conn_, window_);
    xcb_disconnect(conn_);
  }
  if (wakeFd_ >= 0) close(wakeFd_);
}

void X11Backend::Wake() {
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  ssize_t n = write(wakeFd_, &one, sizeof one);
  (void)n;
}

xcb_atom_t X11Backend::Atom(const std::string& name) {
  {
    std::lock_guard<std::mutex> hold(atomMutex_);
    auto it = atoms_.find(name);
    if (it != atoms_.end()) return it->second;
  }
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(conn_, xcb_intern_atom(conn_, 0, uint16_t(name.size()), name.data()), nullptr));
  // A round trip off our thread may have taken events into xcb's queue.
  if (!onEventThread) Wake();
  if (!reply) return XCB_NONE;
  std::lock_guard<std::mutex> hold(atomMutex_);
  atoms_[name] = reply->atom;
  names_[reply->atom] = name;
  return reply->atom;
}

std::string X11Backend::AtomName(xcb_atom_t atom) {
  {
    std::lock_guard<std::mutex> hold(atomMutex_);
    auto it = names_.find(atom);
    if (it != names_.end()) return it->second;
  }
  Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(conn_, xcb_get_atom_name(conn_, atom), nullptr));
  if (!onEventThread) Wake();
  if (!reply) return {};
  std::string name(xcb_get_atom_name_name(reply.get()), size_t(xcb_get_atom_name_name_length(reply.get())));
  std::lock_guard<std::mutex> hold(atomMutex_);
  atoms_[name] = atom;
  names_[atom] = name;
  return name;
}

std::vector<xcb_atom_t> X11Backend::TargetsOf(UINT format) {
  std::vector<xcb_atom_t> targets;
  for (const Pairing& p : Pairings())
    if ((p.ways & kToX) && FormatOf(p) == format) targets.push_back(Atom(p.target));
  const std::string own = UnpairedTargetOfFormat(format);
  if (!own.empty()) targets.push_back(Atom(own));
  return targets;
}

UINT X11Backend::OfferedFormatOfTarget(xcb_atom_t target) {
  const std::string name = AtomName(target);
  if (name.empty() || IsMetaTarget(name)) return 0;
  for (const Pairing& p : Pairings())
    if ((p.ways & kToX) && name == p.target && Find(FormatOf(p))) return FormatOf(p);
  if (!CrossesUnderItsName(name)) return 0;
  const UINT own = FindClipboardFormat(Utf8ToUtf16(name));
  return own && !IsPairedFormat(own) && Find(own) ? own : 0;
}

bool X11Backend::Convert(UINT format, const Bytes& data, xcb_atom_t target, std::string* out, xcb_atom_t* type) {
  *type = target;
  if (IsTextFormat(format)) {
    const Bytes wide = format == CF_UNICODETEXT ? data : NarrowToWideText(data, PageOf(format));
    if (target == string_) {
      *out = WideTextToLatin1(wide);
    } else {
      *out = WideTextToUtf8(wide);
      if (target != Atom(kUtf8Plain)) *type = utf8_;
    }
  } else if (format == CF_HDROP) {
    *out = HdropToUriList(data);
    if (out->empty()) return false;
  } else if (format == CF_DIB || format == CF_DIBV5) {
    *out = DibToBmp(data);
  } else if (format == RegisterClipboardFormatW(kHtmlFormat)) {
    *out = HtmlFormatToHtml(data);
  } else if (format == RegisterClipboardFormatW(kRtfFormat)) {
    // Windows programs terminate it; an X11 reader takes the bytes as they are.
    size_t end = data.size();
    while (end > 0 && data[end - 1] == 0) --end;
    out->assign(data.begin(), data.begin() + end);
    return true;
  } else {
    out->assign(data.begin(), data.end());
    return true;
  }
  if (out->empty()) LogRefused(format, "for another program");
  return !out->empty();
}

bool X11Backend::ConvertIn(UINT format, const std::string& target, const std::string& bytes, xcb_atom_t type,
                           Bytes* data) {
  if (IsTextFormat(format)) {
    const Bytes wide = type == string_ ? Latin1ToWideText(bytes.data(), bytes.size())
                                       : Utf8ToWideText(bytes.data(), bytes.size());
    *data = format == CF_UNICODETEXT ? wide : WideToNarrowText(wide, PageOf(format));
    return true;
  }
  if (format == CF_HDROP) {
    *data = UriListToHdrop(bytes);
    return !data->empty();
  }
  if (format == CF_DIB) {
    *data = target == "image/png" ? PngToDib(bytes) : BmpToDib(bytes);
    if (data->empty()) LogRefused(format, ("from another program's " + target).c_str());
    return !data->empty();
  }
  if (format == RegisterClipboardFormatW(kHtmlFormat)) {
    *data = HtmlToHtmlFormat(bytes);
    return true;
  }
  data->assign(bytes.begin(), bytes.end());
  return true;
}

void X11Backend::Answer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target, xcb_timestamp_t time) {
  xcb_selection_notify_event_t notify;
  memset(&notify, 0, sizeof notify);
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = time;
  notify.requestor = requestor;
  notify.selection = clipboard_;
  notify.target = target;
  notify.property = property;
  char event[32] = {};
  memcpy(event, &notify, sizeof notify);
  xcb_send_event(conn_, 0, requestor, XCB_EVENT_MASK_NO_EVENT, event);
}

void X11Backend::Serve(const ServeRequest& request, const Bytes& data) {
  auto bytes = std::make_shared<std::string>();
  xcb_atom_t type = XCB_NONE;
  if (!Convert(request.format, data, request.target, bytes.get(), &type)) {
    Answer(request.requestor, XCB_NONE, request.target, request.time);
    return;
  }
  if (bytes->size() <= chunk_) {
    xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, request.requestor, request.property, type, 8,
                        uint32_t(bytes->size()), bytes->data());
    Answer(request.requestor, request.property, request.target, request.time);
    return;
  }
  // Larger than one step: announce the size, then one step each time the
  // requestor has taken the previous one (deleted the property).
  const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(conn_, request.requestor, XCB_CW_EVENT_MASK, &events);
  const uint32_t size = uint32_t(std::min<size_t>(bytes->size(), 0xFFFFFFFFu));
  xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, request.requestor, request.property, incr_, 32, 1, &size);
  Answer(request.requestor, request.property, request.target, request.time);
  IncrSend send;
  send.requestor = request.requestor;
  send.property = request.property;
  send.type = type;
  send.data = bytes;
  send.deadline = Clock::now() + std::chrono::milliseconds(RenderTimeoutMs());
  sending_.push_back(send);
}

void X11Backend::SendStep(IncrSend& send) {
  const size_t n = std::min(chunk_, send.data->size() - send.offset);
  xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, send.requestor, send.property, send.type, 8, uint32_t(n),
                      send.data->data() + send.offset);
  send.offset += n;
  if (n == 0) send.finished = true;
  send.deadline = Clock::now() + std::chrono::milliseconds(RenderTimeoutMs());
}

void X11Backend::RenderEnded(UINT format, const Bytes* data) {
  for (auto it = serving_.begin(); it != serving_.end();) {
    if (it->format != format) {
      ++it;
      continue;
    }
    if (data)
      Serve(*it, *data);
    else
      Answer(it->requestor, XCB_NONE, it->target, it->time);
    it = serving_.erase(it);
  }
  xcb_flush(conn_);
}

bool X11Backend::Publish(WindowId owner, std::vector<OfferEntry> offer) {
  // The targets are named before the lock: naming may wait for the server.
  for (const OfferEntry& e : offer) TargetsOf(e.format);
  std::lock_guard<std::mutex> hold(mutex_);
  ReplaceOffer(owner, std::move(offer));
  xOwned_ = true;
  ++ownClaims_;
  xcb_set_selection_owner(conn_, window_, clipboard_, XCB_CURRENT_TIME);
  xcb_flush(conn_);
  return true;
}

void X11Backend::OnOwnerChange(const xcb_xfixes_selection_notify_event_t& notify) {
  if (notify.selection != clipboard_) return;
  std::lock_guard<std::mutex> hold(mutex_);
  if (notify.owner == window_ && notify.subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER) {
    // Our own claim, reported to the listeners when it was made.
    if (ownClaims_ > 0) --ownClaims_;
    return;
  }
  // A claim of ours that came later has replaced this change already.
  if (ownClaims_ > 0) return;
  xOwned_ = false;
  ReplaceOffer(0, {});
}

void X11Backend::OnSelectionRequest(const xcb_selection_request_event_t& request) {
  const xcb_atom_t property = request.property != XCB_NONE ? request.property : request.target;
  std::unique_lock<std::mutex> hold(mutex_);
  if (!xOwned_ || request.selection != clipboard_) {
    Answer(request.requestor, XCB_NONE, request.target, request.time);
    return;
  }
  if (request.target == targets_) {
    std::vector<xcb_atom_t> targets{targets_};
    for (const OfferEntry& e : offer_)
      for (xcb_atom_t t : TargetsOf(e.format))
        if (std::find(targets.begin(), targets.end(), t) == targets.end()) targets.push_back(t);
    xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, request.requestor, property, atomType_, 32,
                        uint32_t(targets.size()), targets.data());
    Answer(request.requestor, property, request.target, request.time);
    return;
  }
  const UINT format = OfferedFormatOfTarget(request.target);
  OfferEntry* entry = format ? Find(format) : nullptr;
  if (!entry) {
    Answer(request.requestor, XCB_NONE, request.target, request.time);
    return;
  }
  ServeRequest serve{request.requestor, property, request.target, request.time, format,
                     Clock::now() + std::chrono::milliseconds(RenderTimeoutMs())};
  if (entry->data) {
    Serve(serve, *entry->data);
    return;
  }
  serving_.push_back(serve);
  if (!AskRender(format)) RenderEnded(format, nullptr);
}

bool X11Backend::ReadProperty(xcb_atom_t property, xcb_atom_t* type, std::string* data) {
  data->clear();
  uint32_t offset = 0;
  for (;;) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        conn_, xcb_get_property(conn_, 0, window_, property, XCB_GET_PROPERTY_TYPE_ANY, offset, kReadPieceUnits),
        nullptr));
    if (!reply) return false;
    *type = reply->type;
    const int length = xcb_get_property_value_length(reply.get());
    if (length > 0) data->append(static_cast<const char*>(xcb_get_property_value(reply.get())), size_t(length));
    if (data->size() > kMaxForeignBytes) {
      xcb_delete_property(conn_, window_, property);
      return false;
    }
    if (reply->bytes_after == 0) break;
    // Pieces are read in whole 32-bit units.
    if (length <= 0 || length % 4) return false;
    offset += uint32_t(length / 4);
  }
  xcb_delete_property(conn_, window_, property);
  return true;
}

void X11Backend::OnSelectionNotify(const xcb_selection_notify_event_t& notify) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!read_.active || read_.done || notify.requestor != window_) return;
  read_.lastProgress = Clock::now();
  if (notify.property == XCB_NONE) {
    read_.done = true;
    read_.ok = false;
  } else {
    xcb_atom_t type = XCB_NONE;
    std::string data;
    if (!ReadProperty(notify.property, &type, &data)) {
      read_.done = true;
      read_.ok = false;
    } else if (type == incr_) {
      // Deleting the size announcement asked for the first step.
      read_.incr = true;
    } else {
      read_.type = type;
      read_.data = std::move(data);
      read_.done = read_.ok = true;
    }
  }
  xcb_flush(conn_);
  cv_.notify_all();
}

void X11Backend::OnPropertyNotify(const xcb_property_notify_event_t& notify) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (notify.window == window_ && notify.atom == selProperty_) {
    if (!read_.active || read_.done || !read_.incr || notify.state != XCB_PROPERTY_NEW_VALUE) return;
    xcb_atom_t type = XCB_NONE;
    std::string step;
    if (!ReadProperty(selProperty_, &type, &step)) {
      read_.done = true;
      read_.ok = false;
    } else if (step.empty()) {
      read_.done = read_.ok = true;
    } else if (read_.data.size() + step.size() > kMaxForeignBytes) {
      Log("another program's clipboard data is too large; the read ends without it");
      read_.done = true;
      read_.ok = false;
    } else {
      read_.type = type;
      read_.data += step;
    }
    read_.lastProgress = Clock::now();
    xcb_flush(conn_);
    cv_.notify_all();
    return;
  }
  if (notify.state != XCB_PROPERTY_DELETE) return;
  for (auto it = sending_.begin(); it != sending_.end(); ++it) {
    if (it->requestor != notify.window || it->property != notify.atom) continue;
    if (it->finished)
      sending_.erase(it);
    else
      SendStep(*it);
    xcb_flush(conn_);
    return;
  }
}

void X11Backend::Handle(xcb_generic_event_t* event) {
  const uint8_t type = event->response_type & 0x7F;
  if (type == 0) return;  // an error of a request nobody waits for
  switch (type) {
    case XCB_SELECTION_REQUEST:
      OnSelectionRequest(*reinterpret_cast<xcb_selection_request_event_t*>(event));
      break;
    case XCB_SELECTION_NOTIFY:
      OnSelectionNotify(*reinterpret_cast<xcb_selection_notify_event_t*>(event));
      break;
    case XCB_PROPERTY_NOTIFY:
      OnPropertyNotify(*reinterpret_cast<xcb_property_notify_event_t*>(event));
      break;
    default:
      if (type == uint8_t(xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY))
        OnOwnerChange(*reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event));
      break;
  }
}

int X11Backend::NextTimeoutMs() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (serving_.empty() && sending_.empty()) return -1;
  Clock::time_point next = Clock::time_point::max();
  for (const ServeRequest& r : serving_) next = std::min(next, r.deadline);
  for (const IncrSend& s : sending_) next = std::min(next, s.deadline);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
  return int(std::clamp<long long>(ms + 1, 0, 60000));
}

void X11Backend::Expire() {
  std::lock_guard<std::mutex> hold(mutex_);
  const Clock::time_point now = Clock::now();
  for (auto it = serving_.begin(); it != serving_.end();) {
    if (it->deadline > now) {
      ++it;
      continue;
    }
    Answer(it->requestor, XCB_NONE, it->target, it->time);
    const UINT format = it->format;
    it = serving_.erase(it);
    // Nobody waits for this render any more: the next request asks again.
    if (std::none_of(serving_.begin(), serving_.end(), [&](const ServeRequest& r) { return r.format == format; }))
      rendering_.erase(format);
  }
  sending_.remove_if([&](const IncrSend& s) { return s.deadline <= now; });
  xcb_flush(conn_);
}

void X11Backend::Run() {
  onEventThread = true;
  pollfd fds[2] = {{xcb_get_file_descriptor(conn_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  while (!stop_.load()) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) {
      Handle(event);
      free(event);
    }
    if (xcb_connection_has_error(conn_)) {
      Log("the connection to the display broke; the clipboard stays inside the program");
      break;
    }
    Expire();
    if (poll(fds, 2, NextTimeoutMs()) > 0 && (fds[1].revents & POLLIN)) {
      uint64_t count;
      ssize_t n = read(wakeFd_, &count, sizeof count);
      (void)n;
    }
  }
  // Nobody can be answered any more.
  std::lock_guard<std::mutex> hold(mutex_);
  read_.done = true;
  cv_.notify_all();
}

bool X11Backend::Request(xcb_atom_t target, std::string* data, xcb_atom_t* type) {
  std::lock_guard<std::mutex> one(requestMutex_);
  std::unique_lock<std::mutex> hold(mutex_);
  read_ = ReadState();
  read_.active = true;
  read_.lastProgress = Clock::now();
  xcb_delete_property(conn_, window_, selProperty_);
  xcb_convert_selection(conn_, window_, clipboard_, target, selProperty_, XCB_CURRENT_TIME);
  xcb_flush(conn_);
  const auto bound = std::chrono::milliseconds(RenderTimeoutMs());
  // Every step of the answer gives the owner the whole bound again.
  while (!read_.done && !stop_.load()) {
    if (cv_.wait_until(hold, read_.lastProgress + bound) == std::cv_status::timeout &&
        Clock::now() >= read_.lastProgress + bound)
      break;
  }
  const bool ok = read_.done && read_.ok;
  if (ok) {
    *data = std::move(read_.data);
    *type = read_.type;
  } else {
    // Refused, or no answer in time.
    SetLastClipboardError(read_.done ? ERROR_NOT_FOUND : ERROR_TIMEOUT);
  }
  read_ = ReadState();
  return ok;
}

bool X11Backend::Formats(std::vector<UINT>* formats) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (xOwned_) {
      formats->clear();
      for (const OfferEntry& e : offer_) formats->push_back(e.format);
      return true;
    }
  }
  formats->clear();
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(conn_, xcb_get_selection_owner(conn_, clipboard_), nullptr));
  Wake();
  if (!owner || owner->owner == XCB_NONE) return true;
  std::string bytes;
  xcb_atom_t type = XCB_NONE;
  if (!Request(targets_, &bytes, &type)) return false;
  auto add = [formats](UINT format) {
    if (format && std::find(formats->begin(), formats->end(), format) == formats->end()) formats->push_back(format);
  };
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    xcb_atom_t target;
    memcpy(&target, bytes.data() + at, 4);
    const std::string name = AtomName(target);
    for (const Pairing& p : Pairings())
      if ((p.ways & kFromX) && name == p.target) add(FormatOf(p));
    if (CrossesUnderItsName(name)) add(RegisterClipboardFormatW(Utf8ToUtf16(name)));
  }
  return true;
}

bool X11Backend::Read(WindowId reader, UINT format, Bytes* data) {
  bool ours;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ours = xOwned_;
  }
  if (ours) return LocalClipboard::Read(reader, format, data);
  std::vector<std::string> targets;
  for (const Pairing& p : Pairings())
    if ((p.ways & kFromX) && FormatOf(p) == format) targets.push_back(p.target);
  const std::string own = UnpairedTargetOfFormat(format);
  if (!own.empty()) targets.push_back(own);
  for (const std::string& target : targets) {
    std::string bytes;
    xcb_atom_t type = XCB_NONE;
    if (!Request(Atom(target), &bytes, &type)) {
      if (GetLastClipboardError() == ERROR_TIMEOUT) return false;
      continue;
    }
    if (ConvertIn(format, target, bytes, type, data)) return true;
  }
  SetLastClipboardError(ERROR_NOT_FOUND);
  return false;
}

std::unique_ptr<IClipboardBackend> MakeX11ClipboardBackend(const char* display) { return X11Backend::Open(display); }

}  // namespace clipboard
}  // namespace pelplat
