// Packets the connection thread cuts from one read wait in its batch and
// reach the dispatch thread together, in order; a batch that meets a
// stopped thread is released unrouted.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "SessionDoubles.h"
#include "transport/PacketPool.h"
#include "transport/ProcessThread.h"

namespace {

// Delivers the tag byte of every packet it routes to an inbox.
class RecordingThread : public dezo::ProcessThread {
 public:
  RecordingThread() : dezo::ProcessThread(2, nullptr) {}
  ~RecordingThread() override { Stop(); }

  uint8_t ProcessPacket(PacketBuffer* buffer) override {
    inbox.Add(sessiontest::Delivery{0, {buffer->data[0]}, std::this_thread::get_id()});
    return 0;
  }
  std::vector<uint8_t> Routed() {
    std::vector<uint8_t> tags;
    for (const sessiontest::Delivery& d : inbox.All()) tags.push_back(d.payload[0]);
    return tags;
  }
  sessiontest::Inbox inbox;
};

PacketBuffer* Packet(CPacketPool& pool, uint8_t tag) {
  PacketBuffer* b = pool.Acquire(100, 0);
  b->data[0] = tag;
  return b;
}

}  // namespace

TEST(ProcessThreadBatch, ABatchIsRoutedInOrderOnceHandedOver) {
  CPacketPool pool;
  auto thread = std::make_shared<RecordingThread>();
  dezo::ProcessThread::Start(thread);
  std::vector<uint8_t> expected;
  for (uint8_t round = 0; round < 20; ++round) {
    for (uint8_t i = 0; i < 10; ++i) {
      const uint8_t tag = static_cast<uint8_t>(round * 10 + i);
      ASSERT_TRUE(thread->Enqueue(Packet(pool, tag), true));
      expected.push_back(tag);
    }
    // A packet queued at once goes behind the batches handed over before it.
    thread->WakeIfOwed();
    ASSERT_TRUE(thread->Enqueue(Packet(pool, 250)));
    expected.push_back(250);
  }
  thread->WakeIfOwed();  // nothing owed: nothing happens
  ASSERT_TRUE(thread->inbox.WaitFor(expected.size(), 30000));
  thread->Stop();
  EXPECT_EQ(thread->Routed(), expected);
}

TEST(ProcessThreadBatch, ABatchThatMeetsAStoppedThreadIsReleased) {
  CPacketPool pool;
  auto thread = std::make_shared<RecordingThread>();
  dezo::ProcessThread::Start(thread);
  for (uint8_t i = 1; i <= 5; ++i) ASSERT_TRUE(thread->Enqueue(Packet(pool, i), true));
  thread->Stop();
  thread->WakeIfOwed();
  EXPECT_TRUE(thread->Routed().empty());
  EXPECT_EQ(pool.FreeCount(0), 5);
  // A stopped thread takes nothing more, batched or not.
  PacketBuffer* late = Packet(pool, 6);
  EXPECT_FALSE(thread->Enqueue(late, true));
  CPacketPool::Release(late);
}
