#include "StatusWaitContexts.h"

#include <algorithm>

namespace {

constexpr uint32_t kCancelled = 0x80100002;  // SCARD_E_CANCELLED
// A cancel is sent again after these pauses, growing while its wait has not
// left (a wait on a loaded machine may take a while to reach pcscd).
constexpr std::chrono::milliseconds kFirstRepeat(5);
constexpr std::chrono::milliseconds kLongestRepeat(100);

}  // namespace

StatusWaitContexts::StatusWaitContexts(const pcscnative::Pcsc& pcsc, uint32_t scope) : pcsc_(pcsc), scope_(scope) {}

StatusWaitContexts::~StatusWaitContexts() {
  // Every wait holds the set while it runs: none is left here.
  for (int64_t context : idle_) pcsc_.ReleaseContext(context);
}

uint32_t StatusWaitContexts::Wait(uint32_t timeout, std::vector<pcscnative::ReaderState>& states) {
  int64_t context = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return kCancelled;
    if (!idle_.empty()) {
      context = idle_.back();
      idle_.pop_back();
    }
  }
  if (context == 0) {
    if (const uint32_t rc = pcsc_.EstablishContext(scope_, &context)) return rc;
  }
  std::list<Entry>::iterator self;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) {
      lock.unlock();
      pcsc_.ReleaseContext(context);
      return kCancelled;
    }
    self = running_.insert(running_.end(), Entry{nextId_++, context, false});
  }

  const uint32_t rc = pcsc_.GetStatusChange(context, timeout, states);

  bool keep = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A context a cancel was sent to is not used again: a repeat of that
    // cancel may still be on its way and would end the next wait.
    keep = !closed_ && !self->cancelled && idle_.empty();
    if (keep) idle_.push_back(context);
    running_.erase(self);
    left_.notify_all();
  }
  if (!keep) pcsc_.ReleaseContext(context);
  return rc;
}

bool StatusWaitContexts::AnyOf(const std::vector<uint64_t>& ids) const {
  return std::any_of(running_.begin(), running_.end(),
                     [&](const Entry& e) { return std::find(ids.begin(), ids.end(), e.id) != ids.end(); });
}

uint32_t StatusWaitContexts::Cancel(std::chrono::milliseconds bound, bool* any) {
  return CancelRunning(std::max(bound, std::chrono::milliseconds(1)), any);
}

void StatusWaitContexts::Close() {
  std::vector<int64_t> idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    idle.swap(idle_);
  }
  for (int64_t context : idle) pcsc_.ReleaseContext(context);
  CancelRunning(std::chrono::milliseconds(0), nullptr);
}

uint32_t StatusWaitContexts::CancelRunning(std::chrono::milliseconds bound, bool* any) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<uint64_t> ids;
  for (Entry& e : running_) {
    e.cancelled = true;
    ids.push_back(e.id);
  }
  if (any) *any = !ids.empty();
  uint32_t last = 0;
  std::chrono::milliseconds pause = kFirstRepeat;
  while (AnyOf(ids)) {
    std::vector<int64_t> contexts;
    for (const Entry& e : running_) {
      if (std::find(ids.begin(), ids.end(), e.id) != ids.end()) contexts.push_back(e.context);
    }
    // Outside the lock: a wait that the cancel ends takes it to leave.
    lock.unlock();
    for (int64_t context : contexts) last = pcsc_.Cancel(context);
    lock.lock();
    // Without the library's cancel nothing ends them.
    if (last == pcscnative::kCallNotImplemented) break;
    auto until = std::chrono::steady_clock::now() + pause;
    if (bound.count() > 0) {
      if (until - start > bound) until = start + bound;
      if (std::chrono::steady_clock::now() >= until) break;
    }
    left_.wait_until(lock, until, [&] { return !AnyOf(ids); });
    pause = std::min(pause * 2, kLongestRepeat);
  }
  // A cancel that found its wait not (or no longer) registered with pcscd
  // says so; what counts is whether the waits have left.
  return AnyOf(ids) ? last : 0;
}

size_t StatusWaitContexts::InProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_.size();
}
