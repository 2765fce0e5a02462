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

uint64_t StatusWaitContexts::Reserve() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return 0;
  const uint64_t id = nextId_++;
  running_.push_back(Entry{id, 0, false});
  return id;
}

std::list<StatusWaitContexts::Entry>::iterator StatusWaitContexts::Find(uint64_t id) {
  return std::find_if(running_.begin(), running_.end(), [&](const Entry& e) { return e.id == id; });
}

void StatusWaitContexts::Drop(uint64_t reserved) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = Find(reserved);
  if (it != running_.end() && it->context == 0) running_.erase(it);
}

uint32_t StatusWaitContexts::Wait(uint32_t timeout, std::vector<pcscnative::ReaderState>& states) {
  const uint64_t reserved = Reserve();
  return reserved ? Wait(reserved, timeout, states) : kCancelled;
}

uint32_t StatusWaitContexts::Wait(uint64_t reserved, uint32_t timeout, std::vector<pcscnative::ReaderState>& states) {
  if (reserved == 0) return kCancelled;
  int64_t context = 0;
  std::list<Entry>::iterator self;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    self = Find(reserved);
    if (self == running_.end()) return kCancelled;
    if (closed_ || self->cancelled) {
      running_.erase(self);
      return kCancelled;
    }
    if (!idle_.empty()) {
      context = idle_.back();
      idle_.pop_back();
    }
  }
  if (context == 0) {
    if (const uint32_t rc = pcsc_.EstablishContext(scope_, &context)) {
      std::lock_guard<std::mutex> lock(mutex_);
      running_.erase(self);
      return rc;
    }
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_ || self->cancelled) {
      // No cancel went to the context: it may serve the next wait.
      const bool keep = !closed_ && idle_.empty();
      if (keep) idle_.push_back(context);
      running_.erase(self);
      lock.unlock();
      if (!keep) pcsc_.ReleaseContext(context);
      return kCancelled;
    }
    self->context = context;
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
  // A wait without a context yet answers at once when it comes to run: only
  // those in progress are waited for.
  std::vector<uint64_t> ids;
  for (Entry& e : running_) {
    e.cancelled = true;
    if (e.context != 0) ids.push_back(e.id);
  }
  if (any) *any = !running_.empty();
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
  return std::count_if(running_.begin(), running_.end(), [](const Entry& e) { return e.context != 0; });
}
