// Dispatch threads and the dispatch table, without a connection.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/PacketPool.h"
#include "transport/ProcessThread.h"

namespace {

// Records the payload byte of every packet it routes and the threads it ran
// on; the first packet may be held at a gate.
class CountingThread : public dezo::ProcessThread {
 public:
  explicit CountingThread(bool gated = false) : dezo::ProcessThread(2, nullptr), gated_(gated) {}
  ~CountingThread() override { Stop(); }

  uint8_t ProcessPacket(PacketBuffer* buffer) override {
    std::unique_lock<std::mutex> hold(mutex_);
    routed_.push_back(buffer->data[0]);
    thread_ids_.push_back(std::this_thread::get_id());
    changed_.notify_all();
    if (gated_) gate_.wait(hold, [&] { return open_; });
    return 0;
  }
  void Run() override {
    ++runs_;
    dezo::ProcessThread::Run();
  }
  void OpenGate() {
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = true;
    gate_.notify_all();
  }
  bool WaitRouted(size_t n) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(5), [&] { return routed_.size() >= n; });
  }
  std::vector<uint8_t> Routed() {
    std::lock_guard<std::mutex> hold(mutex_);
    return routed_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> hold(mutex_);
    return thread_ids_;
  }
  std::atomic<int> runs_{0};

 private:
  bool gated_;
  bool open_ = false;
  std::mutex mutex_;
  std::condition_variable changed_, gate_;
  std::vector<uint8_t> routed_;
  std::vector<std::thread::id> thread_ids_;
};

PacketBuffer* Packet(CPacketPool& pool, uint8_t tag) {
  PacketBuffer* b = pool.Acquire(100, 0);
  b->data[0] = tag;
  return b;
}

TEST(ProcessThread, RoutesInOrderOnItsOwnThreadAndStartsOnce) {
  CPacketPool pool;
  auto thread = std::make_shared<CountingThread>();
  PacketBuffer* early = Packet(pool, 0);
  EXPECT_FALSE(thread->Enqueue(early));  // not started: refused, the caller keeps it
  CPacketPool::Release(early);
  dezo::ProcessThread::Start(thread);
  dezo::ProcessThread::Start(thread);
  for (uint8_t i = 1; i <= 50; ++i) ASSERT_TRUE(thread->Enqueue(Packet(pool, i)));
  ASSERT_TRUE(thread->WaitRouted(50));
  thread->Stop();
  EXPECT_EQ(thread->runs_.load(), 1);
  auto routed = thread->Routed();
  for (uint8_t i = 1; i <= 50; ++i) EXPECT_EQ(routed[i - 1], i);
  for (auto id : thread->Threads()) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(ProcessThread, StopReleasesQueuedPacketsWithoutRoutingThem) {
  CPacketPool pool;
  auto thread = std::make_shared<CountingThread>(true);
  dezo::ProcessThread::Start(thread);
  for (uint8_t i = 1; i <= 6; ++i) ASSERT_TRUE(thread->Enqueue(Packet(pool, i)));
  ASSERT_TRUE(thread->WaitRouted(1));
  std::thread stopper([&] { thread->Stop(); });
  while (thread->Running()) std::this_thread::yield();
  thread->OpenGate();
  stopper.join();
  EXPECT_EQ(thread->Routed(), std::vector<uint8_t>({1}));
  PacketBuffer* late = Packet(pool, 7);
  EXPECT_FALSE(thread->Enqueue(late));
  CPacketPool::Release(late);
  // Six buffers of one class went back: the pool keeps them all.
  EXPECT_EQ(pool.FreeCount(0), 6);
}

TEST(DispatchTable, AssignFindAndStopAll) {
  DispatchTable table;
  EXPECT_EQ(table.Assign(0, nullptr, nullptr, 0), nullptr);
  const uint16_t shared[] = {1, 2, 40};
  auto a = table.Assign(2, nullptr, shared, 3);
  const uint16_t own1[] = {3};
  const uint16_t own2[] = {2};
  auto b = table.Assign(-1, nullptr, own1, 1);
  auto c = table.Assign(-1, nullptr, own2, 1);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->Group(), 2);
  EXPECT_EQ(b->Group(), 64);
  EXPECT_EQ(c->Group(), 65);
  EXPECT_TRUE(a->Running() && b->Running() && c->Running());
  EXPECT_EQ(table.Find(1), a);
  EXPECT_EQ(table.Find(2), c);  // the later assignment replaces the entry
  EXPECT_EQ(table.Find(3), b);
  EXPECT_EQ(table.Find(40), nullptr);
  EXPECT_EQ(table.Find(0), nullptr);
  EXPECT_EQ(table.ThreadCount(), 3u);
  table.StopAll();
  EXPECT_EQ(table.ThreadCount(), 0u);
  EXPECT_EQ(table.Find(1), nullptr);
  EXPECT_FALSE(a->Running() || b->Running() || c->Running());
}

}  // namespace
