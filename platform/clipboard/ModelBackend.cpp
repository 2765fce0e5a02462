// The in-process clipboard: one owner, its offer, the listening windows and
// the renders readers wait for, all in memory.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "clipinternal.h"

namespace pelplat {
namespace clipboard {

namespace {

class ModelBackend : public IClipboardBackend {
 public:
  WindowId Attach(IClipboardWindowEvents* events) override {
    std::lock_guard<std::mutex> hold(mutex_);
    WindowId id = ++lastId_;
    windows_[id] = Window{events, false};
    return id;
  }

  void Detach(WindowId window) override {
    std::lock_guard<std::mutex> hold(mutex_);
    windows_.erase(window);
    if (owner_ == window) {
      // What the owner never rendered goes with it.
      owner_ = 0;
      offer_.erase(std::remove_if(offer_.begin(), offer_.end(),
                                  [](const OfferEntry& e) { return !e.data; }),
                   offer_.end());
      rendering_.clear();
      ++generation_;
      cv_.notify_all();
    }
  }

  void SetListening(WindowId window, bool on) override {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = windows_.find(window);
    if (it != windows_.end()) it->second.listening = on;
  }

  bool Publish(WindowId owner, std::vector<OfferEntry> offer) override {
    std::lock_guard<std::mutex> hold(mutex_);
    owner_ = owner;
    offer_ = std::move(offer);
    rendering_.clear();
    ++generation_;
    cv_.notify_all();
    for (auto& [id, window] : windows_)
      if (window.listening && window.events) window.events->OnClipboardUpdate(id == owner);
    return true;
  }

  void CompleteRender(WindowId owner, UINT format, const Bytes* data) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (owner != owner_) return;
    OfferEntry* entry = Find(format);
    if (!entry || entry->data) return;
    if (data) entry->data = *data;
    rendering_.erase(format);
    ++renderEnds_;
    cv_.notify_all();
  }

  bool Formats(std::vector<UINT>* formats) override {
    std::lock_guard<std::mutex> hold(mutex_);
    formats->clear();
    for (const OfferEntry& e : offer_) formats->push_back(e.format);
    return true;
  }

  bool Read(WindowId, UINT format, Bytes* data) override {
    std::unique_lock<std::mutex> hold(mutex_);
    OfferEntry* entry = Find(format);
    if (!entry) {
      SetLastClipboardError(ERROR_NOT_FOUND);
      return false;
    }
    if (!entry->data) {
      auto owner = windows_.find(owner_);
      if (owner == windows_.end() || !owner->second.events) {
        SetLastClipboardError(ERROR_NOT_FOUND);
        return false;
      }
      if (rendering_.insert(format).second) owner->second.events->OnRenderFormat(format);
      const uint64_t generation = generation_;
      const uint64_t ends = renderEnds_;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RenderTimeoutMs());
      bool ended = cv_.wait_until(hold, deadline, [&] { return generation_ != generation || renderEnds_ != ends; });
      if (!ended) {
        // The owner may be asked again by the next reader.
        rendering_.erase(format);
        SetLastClipboardError(ERROR_TIMEOUT);
        return false;
      }
      entry = generation_ == generation ? Find(format) : nullptr;
      if (!entry || !entry->data) {
        SetLastClipboardError(ERROR_NOT_FOUND);
        return false;
      }
    }
    *data = *entry->data;
    return true;
  }

  WindowId Owner() override {
    std::lock_guard<std::mutex> hold(mutex_);
    return owner_;
  }

 private:
  struct Window {
    IClipboardWindowEvents* events = nullptr;
    bool listening = false;
  };

  OfferEntry* Find(UINT format) {
    for (OfferEntry& e : offer_)
      if (e.format == format) return &e;
    return nullptr;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<WindowId, Window> windows_;
  WindowId lastId_ = 0;
  WindowId owner_ = 0;
  std::vector<OfferEntry> offer_;
  std::set<UINT> rendering_;  // asked of the owner and not yet answered
  uint64_t generation_ = 0;   // one step per new offer
  uint64_t renderEnds_ = 0;   // one step per answered render
};

}  // namespace

std::unique_ptr<IClipboardBackend> MakeModelClipboardBackend() { return std::make_unique<ModelBackend>(); }

}  // namespace clipboard
}  // namespace pelplat
