#include "transport/ProcessThread.h"

#include <system_error>

#include "transport/PacketPool.h"
#include "transport/PacketRouter.h"
#include "sys/klog.h"

namespace dezo {

namespace {
constexpr DWORD kIdleWaitMs = 1000;
}

ProcessThread::ProcessThread(uint8_t group, CPacketRouter* connection)
    : connection_(connection), group_(group) {
  if (connection_) connection_->AddRef();
}

ProcessThread::~ProcessThread() {
  if (thread_.joinable()) {
    // Only reached when the thread itself dropped the last reference.
    RequestStop();
    Join();
  }
  // A batch the producer never handed over (it always does, after each read).
  for (PacketBuffer* buffer : batch_) CPacketPool::Release(buffer);
  if (connection_) connection_->Release();
}

uint8_t ProcessThread::ProcessPacket(PacketBuffer* buffer) {
  return connection_ ? connection_->RoutePacket(buffer) : 0;
}

void ProcessThread::Run() {
  while (running_.load()) {
    queue_.event.Wait(kIdleWaitMs);
    // One lock for everything queued so far; a packet that arrives later
    // finds the queue empty and sets the event again.
    CxQueueNode* node = TakeAll(false);
    while (node) {
      PacketBuffer* buffer = static_cast<PacketBuffer*>(node);
      node = node->next;
      // Packets still queued when a stop comes are released, not routed.
      if (!running_.load()) {
        CPacketPool::Release(buffer);
        continue;
      }
      if (ProcessPacket(buffer)) continue;
      const int32_t result = buffer->result;
      CPacketPool::Release(buffer);
      // A delivery that fails here must end the session just as it does on
      // the connection thread.
      if (result != 0 && connection_) {
        LogMessageA("dispatch thread %d: delivery result %d ends the session", static_cast<int>(group_),
                    static_cast<int>(result));
        connection_->StopLoop(0);
      }
    }
  }
  Drain();
  queue_.Close();
}

CxQueueNode* ProcessThread::TakeAll(bool evenClosed) {
  CxAutoLock hold(&queue_.lock);
  if (!queue_.open && !evenClosed) return nullptr;
  CxQueueNode* first = queue_.head;
  queue_.head = queue_.tail = nullptr;
  queue_.nodeCount = 0;
  queue_.byteTotal = 0;
  return first;
}

bool ProcessThread::Append(PacketBuffer* const* buffers, size_t count) {
  CxAutoLock hold(&queue_.lock);
  // The thread takes the whole queue before it waits again, so only
  // packets into an empty queue have to wake it.
  const bool wasEmpty = queue_.head == nullptr;
  for (size_t i = 0; i < count; ++i) {
    // Under the lock the queue is open for all of them or for none.
    if (queue_.Push(buffers[i], wasEmpty && i + 1 == count ? CxQueue::kSignal : 0) != 1) return false;
  }
  return true;
}

void ProcessThread::Drain() {
  CxQueueNode* node = TakeAll(true);
  while (node) {
    CxQueueNode* next = node->next;
    CPacketPool::Release(static_cast<PacketBuffer*>(node));
    node = next;
  }
}

void ProcessThread::Start(const std::shared_ptr<ProcessThread>& thread) {
  if (!thread) return;
  uint8_t idle = 0;
  if (!thread->running_.compare_exchange_strong(idle, 1)) return;
  try {
    thread->thread_ = std::thread([self = thread] { self->Run(); });
  } catch (const std::system_error& e) {
    LogMessageA("dispatch thread %d cannot start: %s", static_cast<int>(thread->group_), e.what());
    thread->running_.store(0);
  }
}

void ProcessThread::RequestStop() {
  running_.store(0);
  queue_.event.Set();
  CxAutoLock hold(&queue_.lock);
  queue_.open = 0;
}

void ProcessThread::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // a thread cannot join itself; it ends on its own
    return;
  }
  thread_.join();
}

void ProcessThread::Stop() {
  RequestStop();
  Join();
}

bool ProcessThread::Enqueue(PacketBuffer* buffer, bool deferWake) {
  if (!running_.load() || !buffer) return false;
  if (deferWake) {
    batch_.push_back(buffer);
    return true;
  }
  return Append(&buffer, 1);
}

void ProcessThread::WakeIfOwed() {
  if (batch_.empty()) return;
  if (!Append(batch_.data(), batch_.size())) {
    for (PacketBuffer* buffer : batch_) CPacketPool::Release(buffer);
  }
  // Keeps its room for the next read's packets.
  batch_.clear();
}

}  // namespace dezo

DispatchTable::~DispatchTable() { StopAll(); }

std::shared_ptr<dezo::ProcessThread> DispatchTable::Find(uint16_t slot) const {
  if (slot >= kEntries) return nullptr;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return entries_[slot];
}

std::shared_ptr<dezo::ProcessThread> DispatchTable::Assign(int group, CPacketRouter* connection,
                                                           const uint16_t* ids, int count) {
  if (group == 0) return nullptr;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (group == -1) group = nextGroup_++;
  auto thread = std::make_shared<dezo::ProcessThread>(static_cast<uint8_t>(group), connection);
  threads_.push_back(thread);
  dezo::ProcessThread::Start(thread);
  for (int i = 0; i < count; ++i) {
    if (ids[i] < kEntries) entries_[ids[i]] = thread;
  }
  return thread;
}

void DispatchTable::StopAll() {
  std::vector<std::shared_ptr<dezo::ProcessThread>> stopping;
  {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    for (auto& entry : entries_) entry.reset();
    for (auto& thread : threads_) thread->RequestStop();
    stopping.swap(threads_);
  }
  for (auto& thread : stopping) thread->Stop();
}

void DispatchTable::WakeOwed() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  for (auto& thread : threads_) thread->WakeIfOwed();
}

size_t DispatchTable::ThreadCount() const {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return threads_.size();
}
