// Thread message queues: the audio device notifications travel this way to
// the thread that asked for them, as the callers were designed.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "pelplat/systime.h"
#include "pelplat/thread.h"
#include "pelplat/winerror.h"
#include "pelplat/winuser.h"

namespace {

struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<MSG> messages;
};

struct QueueRegistry {
  std::mutex mutex;
  std::map<DWORD, std::weak_ptr<ThreadQueue>> queues;
};

// Never destroyed: threads may post while the process exits.
QueueRegistry& Registry() {
  static QueueRegistry* registry = new QueueRegistry;
  return *registry;
}

// Unregisters the queue when its thread ends, so a recycled thread id
// starts without one.
struct QueueOwner {
  std::shared_ptr<ThreadQueue> queue;
  DWORD id = 0;
  ~QueueOwner() {
    if (!queue) return;
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.queues.find(id);
    if (it != registry.queues.end() && it->second.lock() == queue) registry.queues.erase(it);
  }
};

ThreadQueue& OwnQueue() {
  thread_local QueueOwner owner;
  if (!owner.queue) {
    owner.queue = std::make_shared<ThreadQueue>();
    owner.id = GetCurrentThreadId();
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.queues[owner.id] = owner.queue;
  }
  return *owner.queue;
}

bool FiltersServed(HWND window, UINT filterMin, UINT filterMax) {
  if (window || filterMin || filterMax) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

}  // namespace

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  {
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.queues.find(threadId);
    if (it != registry.queues.end()) queue = it->second.lock();
  }
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->messages.push_back(MSG{nullptr, message, wParam, lParam, GetTickCount(), POINT{0, 0}});
  }
  queue->ready.notify_one();
  return TRUE;
}

BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!msg || !FiltersServed(window, filterMin, filterMax)) return -1;
  ThreadQueue& queue = OwnQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  queue.ready.wait(lock, [&] { return !queue.messages.empty(); });
  *msg = queue.messages.front();
  queue.messages.pop_front();
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (!FiltersServed(window, filterMin, filterMax)) return FALSE;
  ThreadQueue& queue = OwnQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.messages.empty()) return FALSE;
  if (msg) *msg = queue.messages.front();
  if (removeFlags & PM_REMOVE) queue.messages.pop_front();
  return TRUE;
}
