#include "localclip/WindowsClipboard.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

namespace clip = pelplat::clipboard;

namespace {

constexpr char16_t kFileDescriptorName[] = u"FileGroupDescriptorW";
// Server formats up to this one keep their identifier locally.
constexpr uint32_t kLastPlainServerFormat = 18;

uint64_t NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

int32_t LastError() {
  DWORD error = clip::GetLastClipboardError();
  return error ? int32_t(error) : int32_t(ERROR_ACCESS_DENIED);
}

}  // namespace

// What the platform sends the clipboard window, queued for its thread.
class CWindowsClipboard::WindowEvents : public clip::IClipboardWindowEvents {
 public:
  explicit WindowEvents(CWindowsClipboard* owner) : owner_(owner) {}
  void OnClipboardUpdate(bool byThisWindow) override {
    owner_->Post({kMsgClipboardUpdate, byThisWindow ? 1u : 0u, nullptr});
  }
  void OnRenderFormat(UINT format) override { owner_->Post({kMsgRenderFormat, format, nullptr}); }

 private:
  CWindowsClipboard* owner_;
};

CWindowsClipboard::CWindowsClipboard() = default;

CWindowsClipboard::~CWindowsClipboard() {
  if (thread_.joinable()) thread_.detach();
  std::lock_guard<std::mutex> hold(pendingMutex_);
  pending_.clear();
}

void CWindowsClipboard::SetRenderWaitMs(int ms) { renderWaitMs_ = ms; }

std::shared_ptr<clip::ClipboardWindow> CWindowsClipboard::Window() {
  std::lock_guard<std::mutex> hold(stateMutex_);
  return window_;
}

std::shared_ptr<CVrLocalClipCallback> CWindowsClipboard::Callback() {
  std::lock_guard<std::mutex> hold(stateMutex_);
  return callback_;
}

int32_t CWindowsClipboard::Start(std::shared_ptr<CVrLocalClipCallback> callback) {
  std::lock_guard<std::mutex> hold(stateMutex_);
  callback_ = std::move(callback);
  if (thread_.joinable() || window_) return 0;
  // The window exists before the thread runs so that the worker can use it
  // at once; the thread hears its events and takes it down at the end.
  fileDescriptorFormat_ = clip::RegisterClipboardFormatW(kFileDescriptorName);
  events_ = std::make_shared<WindowEvents>(this);
  window_ = std::make_shared<clip::ClipboardWindow>(events_.get());
  window_->AddFormatListener();
  AddRef();
  threadEnded_ = false;
  thread_ = std::thread([this] { ThreadMain(); });
  threadId_ = thread_.get_id();
  return 0;
}

int32_t CWindowsClipboard::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> hold(stateMutex_);
    thread = std::move(thread_);
  }
  Post({kMsgDestroy, 0, nullptr});
  if (!thread.joinable()) return 0;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
    return 0;
  }
  std::unique_lock<std::mutex> hold(stateMutex_);
  bool ended = threadEndedCv_.wait_for(hold, std::chrono::milliseconds(kStopWaitMs), [&] { return threadEnded_; });
  hold.unlock();
  // A thread that is slow to leave still holds its reference and ends on
  // its own.
  if (ended)
    thread.join();
  else
    thread.detach();
  return 0;
}

void CWindowsClipboard::Post(const Message& message) {
  {
    std::lock_guard<std::mutex> hold(queueMutex_);
    queue_.push_back(message);
  }
  queueCv_.notify_all();
}

bool CWindowsClipboard::NextMessage(Message* message, const std::chrono::steady_clock::time_point* deadline) {
  std::unique_lock<std::mutex> hold(queueMutex_);
  auto ready = [&] { return !queue_.empty(); };
  if (deadline) {
    if (!queueCv_.wait_until(hold, *deadline, ready)) return false;
  } else {
    queueCv_.wait(hold, ready);
  }
  *message = queue_.front();
  queue_.pop_front();
  return true;
}

void CWindowsClipboard::ThreadMain() {
  Message message;
  while (!destroyed_ && NextMessage(&message, nullptr)) Dispatch(message);
  std::shared_ptr<clip::ClipboardWindow> window;
  {
    std::lock_guard<std::mutex> hold(stateMutex_);
    window = std::move(window_);
  }
  if (window) window->RemoveFormatListener();
  // The last holder of the window detaches it; no event comes after that.
  window.reset();
  {
    std::lock_guard<std::mutex> hold(stateMutex_);
    threadEnded_ = true;
  }
  threadEndedCv_.notify_all();
  Release();
}

bool CWindowsClipboard::Dispatch(const Message& message) {
  switch (message.id) {
    case kMsgClipboardUpdate:
      if (message.wParam == 0) {
        if (auto callback = Callback()) callback->LocalClipboardChanged();
      }
      break;
    case kMsgRenderFormat:
      RenderRequest(uint32_t(message.wParam));
      break;
    case kMsgDestroy:
      destroyed_ = true;
      break;
    default:
      // A completion for a render that already gave up.
      break;
  }
  return !destroyed_;
}

void CWindowsClipboard::RenderRequest(uint32_t format) {
  auto window = Window();
  if (!window) return;
  ClipboardValue record;
  record.format = format;
  record.createdMs = NowMs();
  {
    std::lock_guard<std::mutex> hold(pendingMutex_);
    pending_.push_back(&record);
  }
  int32_t asked = -1;
  if (auto callback = Callback()) asked = callback->RenderFormatRequest(format);
  if (asked == 0) {
    const int set = renderWaitMs_.load();
    const int waitMs = set >= 0 ? set : clip::RenderTimeoutMs();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    Message message;
    // Other messages keep being handled while this render waits; the wait
    // ends with the answer, the deadline or the window's destruction.
    while (NextMessage(&message, &deadline)) {
      if (message.id == kMsgRenderDone && message.lParam == &record) break;
      if (!Dispatch(message)) break;
      std::lock_guard<std::mutex> hold(pendingMutex_);
      if (record.status != -1) break;
    }
  }
  {
    std::lock_guard<std::mutex> hold(pendingMutex_);
    pending_.remove(&record);
  }
  if (record.status == 0)
    window->RenderFormat(format, record.data);
  else
    window->RenderFailed(format);
}

bool CWindowsClipboard::CompleteRender(uint32_t format, clip::Bytes* data, int32_t status) {
  std::lock_guard<std::mutex> hold(pendingMutex_);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    ClipboardValue* record = *it;
    if (record->format != format) continue;
    if (data) record->data = std::move(*data);
    record->status = status;
    pending_.erase(it);
    Post({kMsgRenderDone, format, record});
    return true;
  }
  return false;
}

int32_t CWindowsClipboard::SetData(uint32_t format, const void* data, uint32_t length) {
  if (length && !data) return int32_t(ERROR_INVALID_PARAMETER);
  const auto* bytes = static_cast<const uint8_t*>(data);
  clip::Bytes block(bytes, bytes + length);
  if (CompleteRender(format, &block, 0)) return 0;
  auto window = Window();
  if (!window) return int32_t(ERROR_INVALID_WINDOW_HANDLE);
  window->RemoveFormatListener();
  if (!window->Open()) {
    int32_t error = LastError();
    window->AddFormatListener();
    return error;
  }
  window->SetData(format, &block);
  window->Close();
  window->AddFormatListener();
  return 0;
}

int32_t CWindowsClipboard::RenderFailed(uint32_t format) {
  return CompleteRender(format, nullptr, 1) ? 0 : int32_t(ERROR_NOT_FOUND);
}

int32_t CWindowsClipboard::GetData(uint32_t format, uint8_t** data, uint32_t* size, int32_t reserved) {
  if (!data || !size) return int32_t(ERROR_INVALID_PARAMETER);
  *data = nullptr;
  *size = 0;
  auto window = Window();
  if (!window) return int32_t(ERROR_INVALID_WINDOW_HANDLE);
  if (!window->Open()) return LastError();
  std::optional<clip::Bytes> bytes = window->GetData(format);
  int32_t error = bytes ? 0 : LastError();
  window->Close();
  if (!bytes) return error;
  if (reserved <= 0 && !bytes->empty()) {
    // No room asked for in front: the bytes are handed out where they are,
    // not copied again.
    if (bytes->size() > 0xFFFFFFFFu) return int32_t(ERROR_NOT_ENOUGH_MEMORY);
    *data = bytes->data();
    *size = uint32_t(bytes->size());
    std::lock_guard<std::mutex> hold(lentMutex_);
    lent_.emplace(*data, std::move(*bytes));
    return 0;
  }
  const uint64_t total = uint64_t(std::max(reserved, 0)) + bytes->size();
  if (total > 0xFFFFFFFFu) return int32_t(ERROR_NOT_ENOUGH_MEMORY);
  if (!bytes->empty()) {
    uint8_t* copy = Alloc(uint32_t(total));
    if (!copy) return int32_t(ERROR_NOT_ENOUGH_MEMORY);
    memset(copy, 0, total - bytes->size());
    memcpy(copy + (total - bytes->size()), bytes->data(), bytes->size());
    *data = copy;
  }
  *size = uint32_t(total);
  return 0;
}

uint8_t* CWindowsClipboard::Alloc(uint32_t size) { return static_cast<uint8_t*>(malloc(size ? size : 1)); }

void CWindowsClipboard::Free(void* block) {
  {
    std::lock_guard<std::mutex> hold(lentMutex_);
    auto it = lent_.find(block);
    if (it != lent_.end()) {
      lent_.erase(it);
      return;
    }
  }
  free(block);
}

int32_t CWindowsClipboard::BeginServerFormats() {
  auto window = Window();
  if (!window) return int32_t(ERROR_INVALID_WINDOW_HANDLE);
  window->RemoveFormatListener();
  if (!window->Open()) return LastError();
  window->Empty();
  return 0;
}

int32_t CWindowsClipboard::AnnounceServerFormat(uint32_t serverFormat, const char16_t* name,
                                                uint32_t* localFormat) {
  if (!localFormat) return int32_t(ERROR_INVALID_PARAMETER);
  uint32_t local = serverFormat;
  if (serverFormat > kLastPlainServerFormat) {
    const std::u16string wanted = name ? std::u16string(name) : std::u16string();
    std::lock_guard<std::mutex> hold(registeredMutex_);
    auto it = std::find_if(registered_.begin(), registered_.end(), [&](const FormatRegistered& r) {
      return r.serverFormat == serverFormat && r.name == wanted;
    });
    if (it == registered_.end()) {
      FormatRegistered record{serverFormat, serverFormat, wanted};
      if (!wanted.empty()) {
        record.localFormat = clip::RegisterClipboardFormatW(wanted);
        if (!record.localFormat) return kNameNotRegistered;
      }
      it = registered_.insert(registered_.end(), record);
    }
    local = it->localFormat;
  }
  if (auto window = Window()) window->SetData(local, nullptr);
  *localFormat = local;
  return 0;
}

int32_t CWindowsClipboard::EndServerFormats() {
  auto window = Window();
  if (!window) return int32_t(ERROR_INVALID_WINDOW_HANDLE);
  window->Close();
  window->AddFormatListener();
  return 0;
}

int32_t CWindowsClipboard::GetFormats(VrClipFormatList** list) {
  if (!list) return int32_t(ERROR_INVALID_PARAMETER);
  *list = nullptr;
  auto window = Window();
  if (!window) return int32_t(ERROR_INVALID_WINDOW_HANDLE);
  if (!window->Open()) return LastError();
  std::unique_ptr<VrClipFormatList> found(new VrClipFormatList);
  for (UINT format : window->EnumFormats()) {
    switch (FilterFormat(format)) {
      case 0:
        found->entries.push_back({format, clip::GetClipboardFormatName(format)});
        break;
      case kOfferedAsFileDescriptor:
        found->entries.push_back({fileDescriptorFormat_, kFileDescriptorName});
        break;
      default:
        break;
    }
  }
  window->Close();
  if (!found->entries.empty()) *list = found.release();
  return 0;
}

void CWindowsClipboard::FreeFormatList(VrClipFormatList* list) { delete list; }

uint32_t CWindowsClipboard::GetFileDescriptorFormat() { return fileDescriptorFormat_; }

int32_t CWindowsClipboard::FilterFormat(uint32_t format) {
  // Plain text travels on the session's own clipboard message; the channel
  // carries bitmaps and registered formats. A file list stays local: no
  // file contents are served, so a descriptor would promise the server
  // files that every request then refuses.
  struct Band {
    uint32_t first, last;
    int32_t result;
  };
  static constexpr Band kBands[] = {
      {CF_DIB, CF_DIB, 0},
      {CF_DIBV5, CF_DIBV5, 0},
      {0, 1023, kNotOffered},
      {1024, 0xFFFFFFFFu, 0},
  };
  for (const Band& band : kBands)
    if (format >= band.first && format <= band.last) return band.result;
  return kNotOffered;
}
