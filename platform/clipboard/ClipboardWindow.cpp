// The clipboard front: registered names, the process-wide open, the staged
// offer of an open window and the choice of backend.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "clipinternal.h"

namespace pelplat {
namespace clipboard {

namespace {

thread_local DWORD lastError = 0;

BOOL Fail(DWORD error) {
  lastError = error;
  return FALSE;
}

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

struct Names {
  std::mutex mutex;
  std::vector<std::u16string> byIndex;  // identifier - kFirstRegisteredFormat
};

Names& TheNames() {
  static Names names;
  return names;
}

std::atomic<int> renderTimeoutMs{10000};

struct BackendSlot {
  std::mutex mutex;
  IClipboardBackend* installed = nullptr;
  std::unique_ptr<IClipboardBackend> fallback;
};

BackendSlot& TheBackend() {
  static BackendSlot slot;
  return slot;
}

// Only one window of the process has the clipboard open at a time.
struct OpenGate {
  std::mutex mutex;
  std::condition_variable cv;
  const void* holder = nullptr;
};

OpenGate& TheGate() {
  static OpenGate gate;
  return gate;
}

constexpr auto kOpenWait = std::chrono::seconds(1);

// With the names' lock held: the name's identifier, or 0.
UINT FindLocked(const Names& names, const std::u16string& name) {
  for (size_t i = 0; i < names.byIndex.size(); ++i)
    if (SameName(names.byIndex[i], name)) return UINT(kFirstRegisteredFormat + i);
  return 0;
}

}  // namespace

UINT FindClipboardFormat(const std::u16string& name) {
  Names& names = TheNames();
  std::lock_guard<std::mutex> hold(names.mutex);
  return FindLocked(names, name);
}

UINT RegisterClipboardFormatW(const std::u16string& name) {
  if (name.empty() || name.size() > kMaxFormatName) return 0;
  Names& names = TheNames();
  std::lock_guard<std::mutex> hold(names.mutex);
  if (UINT known = FindLocked(names, name)) return known;
  if (kFirstRegisteredFormat + names.byIndex.size() > kLastRegisteredFormat) return 0;
  names.byIndex.push_back(name);
  return UINT(kFirstRegisteredFormat + names.byIndex.size() - 1);
}

std::u16string GetClipboardFormatName(UINT format) {
  if (format < kFirstRegisteredFormat) return {};
  Names& names = TheNames();
  std::lock_guard<std::mutex> hold(names.mutex);
  size_t index = format - kFirstRegisteredFormat;
  return index < names.byIndex.size() ? names.byIndex[index] : std::u16string();
}

void SetRenderTimeoutMs(int ms) { renderTimeoutMs.store(ms < 0 ? 0 : ms); }
int RenderTimeoutMs() { return renderTimeoutMs.load(); }

DWORD GetLastClipboardError() { return lastError; }
void SetLastClipboardError(DWORD error) { lastError = error; }

void SetClipboardBackend(IClipboardBackend* backend) {
  BackendSlot& slot = TheBackend();
  std::lock_guard<std::mutex> hold(slot.mutex);
  slot.installed = backend;
}

IClipboardBackend* CurrentClipboardBackend() {
  BackendSlot& slot = TheBackend();
  std::lock_guard<std::mutex> hold(slot.mutex);
  if (slot.installed) return slot.installed;
  if (!slot.fallback) {
    const char* display = getenv("DISPLAY");
    if (display && *display) slot.fallback = MakeX11ClipboardBackend(display);
    if (!slot.fallback) slot.fallback = MakeModelClipboardBackend();
  }
  return slot.fallback.get();
}

struct ClipboardWindow::State {
  IClipboardBackend* backend = nullptr;
  WindowId id = 0;
  std::mutex mutex;  // what follows
  bool open = false;
  bool staging = false;  // Empty or SetData since the open
  std::vector<OfferEntry> staged;
  std::vector<OfferEntry> published;  // the last offer this window made
};

ClipboardWindow::ClipboardWindow(IClipboardWindowEvents* events) : state_(new State) {
  state_->backend = CurrentClipboardBackend();
  state_->id = state_->backend->Attach(events);
}

ClipboardWindow::~ClipboardWindow() {
  // What was staged and never closed goes with the window.
  ReleaseGate();
  state_->backend->Detach(state_->id);
}

void ClipboardWindow::ReleaseGate() {
  OpenGate& gate = TheGate();
  {
    std::lock_guard<std::mutex> hold(gate.mutex);
    if (gate.holder == this) gate.holder = nullptr;
  }
  gate.cv.notify_all();
}

BOOL ClipboardWindow::Open() {
  OpenGate& gate = TheGate();
  std::unique_lock<std::mutex> hold(gate.mutex);
  if (gate.holder == this) return TRUE;
  if (!gate.cv.wait_for(hold, kOpenWait, [&] { return gate.holder == nullptr; }))
    return Fail(ERROR_ACCESS_DENIED);
  gate.holder = this;
  std::lock_guard<std::mutex> own(state_->mutex);
  state_->open = true;
  state_->staging = false;
  state_->staged.clear();
  return TRUE;
}

BOOL ClipboardWindow::Close() {
  std::vector<OfferEntry> offer;
  bool publish = false;
  {
    std::lock_guard<std::mutex> own(state_->mutex);
    if (!state_->open) return Fail(ERROR_CLIPBOARD_NOT_OPEN);
    state_->open = false;
    publish = state_->staging;
    if (publish) {
      offer = std::move(state_->staged);
      state_->published = offer;
    }
    state_->staging = false;
    state_->staged.clear();
  }
  bool ok = !publish || state_->backend->Publish(state_->id, std::move(offer));
  ReleaseGate();
  return ok ? TRUE : Fail(ERROR_ACCESS_DENIED);
}

BOOL ClipboardWindow::Empty() {
  std::lock_guard<std::mutex> own(state_->mutex);
  if (!state_->open) return Fail(ERROR_CLIPBOARD_NOT_OPEN);
  state_->staging = true;
  state_->staged.clear();
  return TRUE;
}

BOOL ClipboardWindow::SetData(UINT format, const Bytes* data) {
  if (format == 0) return Fail(ERROR_INVALID_PARAMETER);
  bool owner = IsOwner();
  std::lock_guard<std::mutex> own(state_->mutex);
  if (!state_->open) return Fail(ERROR_CLIPBOARD_NOT_OPEN);
  if (!state_->staging) {
    state_->staging = true;
    state_->staged = owner ? state_->published : std::vector<OfferEntry>();
  }
  OfferEntry entry;
  entry.format = format;
  if (data) entry.data = *data;
  for (OfferEntry& e : state_->staged)
    if (e.format == format) {
      e = std::move(entry);
      return TRUE;
    }
  state_->staged.push_back(std::move(entry));
  return TRUE;
}

std::vector<UINT> ClipboardWindow::EnumFormats() {
  {
    std::lock_guard<std::mutex> own(state_->mutex);
    if (!state_->open) {
      Fail(ERROR_CLIPBOARD_NOT_OPEN);
      return {};
    }
  }
  std::vector<UINT> formats;
  if (!state_->backend->Formats(&formats)) return {};
  return formats;
}

BOOL ClipboardWindow::IsFormatAvailable(UINT format) {
  for (UINT f : EnumFormats())
    if (f == format) return TRUE;
  return FALSE;
}

std::optional<Bytes> ClipboardWindow::GetData(UINT format) {
  {
    std::lock_guard<std::mutex> own(state_->mutex);
    if (!state_->open) {
      Fail(ERROR_CLIPBOARD_NOT_OPEN);
      return std::nullopt;
    }
  }
  Bytes data;
  if (!state_->backend->Read(state_->id, format, &data)) return std::nullopt;
  return data;
}

bool ClipboardWindow::IsOwner() { return state_->backend->Owner() == state_->id; }

BOOL ClipboardWindow::AddFormatListener() {
  state_->backend->SetListening(state_->id, true);
  return TRUE;
}

BOOL ClipboardWindow::RemoveFormatListener() {
  state_->backend->SetListening(state_->id, false);
  return TRUE;
}

void ClipboardWindow::RenderFormat(UINT format, const Bytes& data) {
  {
    std::lock_guard<std::mutex> own(state_->mutex);
    for (OfferEntry& e : state_->published)
      if (e.format == format) e.data = data;
  }
  state_->backend->CompleteRender(state_->id, format, &data);
}

void ClipboardWindow::RenderFailed(UINT format) {
  state_->backend->CompleteRender(state_->id, format, nullptr);
}

}  // namespace clipboard
}  // namespace pelplat
