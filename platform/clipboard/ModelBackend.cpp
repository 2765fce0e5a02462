// The in-process clipboard: one owner, its offer, the listening windows and
// the renders readers wait for, all in memory.
#include <algorithm>
#include <chrono>

#include "clipinternal.h"
#include "pelplat/memapi.h"

namespace pelplat {
namespace clipboard {

WindowId LocalClipboard::Attach(IClipboardWindowEvents* events) {
  std::lock_guard<std::mutex> hold(mutex_);
  WindowId id = ++lastId_;
  windows_[id] = Window{events, false};
  return id;
}

void LocalClipboard::Detach(WindowId window) {
  std::lock_guard<std::mutex> hold(mutex_);
  windows_.erase(window);
  if (owner_ != window) return;
  // What the owner never rendered goes with it; the rest stays.
  for (UINT format : rendering_) RenderEnded(format, nullptr);
  offer_.erase(std::remove_if(offer_.begin(), offer_.end(), [](const OfferEntry& e) { return !e.data; }),
               offer_.end());
  rendering_.clear();
  ++generation_;
  cv_.notify_all();
}

void LocalClipboard::SetListening(WindowId window, bool on) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = windows_.find(window);
  if (it != windows_.end()) it->second.listening = on;
}

bool LocalClipboard::Publish(WindowId owner, std::vector<OfferEntry> offer) {
  std::lock_guard<std::mutex> hold(mutex_);
  ReplaceOffer(owner, std::move(offer));
  return true;
}

void LocalClipboard::ReplaceOffer(WindowId owner, std::vector<OfferEntry> offer) {
  for (UINT format : rendering_) RenderEnded(format, nullptr);
  owner_ = owner;
  offer_ = std::move(offer);
  rendering_.clear();
  ++generation_;
  cv_.notify_all();
  for (auto& [id, window] : windows_)
    if (window.listening && window.events) window.events->OnClipboardUpdate(owner != 0 && id == owner);
}

bool LocalClipboard::AskRender(UINT format) {
  auto owner = windows_.find(owner_);
  if (owner == windows_.end() || !owner->second.events) return false;
  if (rendering_.insert(format).second) owner->second.events->OnRenderFormat(format);
  return true;
}

void LocalClipboard::CompleteRender(WindowId owner, UINT format, const Bytes* data) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (owner != owner_ || owner == 0) return;
  OfferEntry* entry = Find(format);
  if (!entry || entry->data) return;
  if (data) entry->data = *data;
  rendering_.erase(format);
  RenderEnded(format, data);
  cv_.notify_all();
}

bool LocalClipboard::Formats(std::vector<UINT>* formats) {
  std::lock_guard<std::mutex> hold(mutex_);
  formats->clear();
  for (const OfferEntry& e : offer_) formats->push_back(e.format);
  return true;
}

bool LocalClipboard::Read(WindowId reader, UINT format, Bytes* data) {
  std::unique_lock<std::mutex> hold(mutex_);
  OfferEntry* entry = Find(format);
  if (entry && !entry->data) {
    // The owner has nothing to give itself yet, and its render may need the
    // very thread that reads.
    if (reader == owner_ || !AskRender(format)) {
      SetLastClipboardError(ERROR_NOT_FOUND);
      return false;
    }
    const uint64_t generation = generation_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RenderTimeoutMs());
    if (!cv_.wait_until(hold, deadline,
                        [&] { return generation_ != generation || rendering_.count(format) == 0; })) {
      // The owner may be asked again by the next reader.
      rendering_.erase(format);
      RenderEnded(format, nullptr);
      SetLastClipboardError(ERROR_TIMEOUT);
      return false;
    }
    entry = generation_ == generation ? Find(format) : nullptr;
  }
  if (!entry || !entry->data) {
    SetLastClipboardError(ERROR_NOT_FOUND);
    return false;
  }
  // A fresh buffer for the reader's copy: a large one on huge pages.
  const Bytes& source = *entry->data;
  Bytes copy;
  copy.reserve(source.size());
  AdviseHugePages(copy.data(), copy.capacity());
  copy.assign(source.begin(), source.end());
  *data = std::move(copy);
  return true;
}

WindowId LocalClipboard::Owner() {
  std::lock_guard<std::mutex> hold(mutex_);
  return owner_;
}

OfferEntry* LocalClipboard::Find(UINT format) {
  for (OfferEntry& e : offer_)
    if (e.format == format) return &e;
  return nullptr;
}

std::unique_ptr<IClipboardBackend> MakeModelClipboardBackend() { return std::make_unique<LocalClipboard>(); }

}  // namespace clipboard
}  // namespace pelplat
