// The lock record and its guard, events, the thread base, the queue and the
// inline-data node.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "pelplat/synch.h"
#include "pelplat/thread.h"
#include "sys/CxMutex.h"
#include "sys/_synchro.h"

namespace {

// Polls a condition for up to ten seconds; only a hang bounds it, never a
// result that the test checks.
template <class F>
bool Eventually(F condition) {
  for (int i = 0; i < 10000; ++i) {
    if (condition()) return true;
    Sleep(1);
  }
  return condition();
}

// Gives threads that should not wake a chance to do so before a count is
// checked. Only lets a fault show; correct code passes however short it is.
void Settle() { Sleep(50); }

bool HeldElsewhere(CxLock* lock) {
  bool entered = false;
  std::thread other([&] {
    entered = TryEnterCriticalSection(&lock->section) != FALSE;
    if (entered) LeaveCriticalSection(&lock->section);
  });
  other.join();
  return !entered;
}

// ---- CxLock, CxAutoLock, CxMutex -------------------------------------------

TEST(CxLock, RecordsOwnerAndCountsRecursiveAcquisitions) {
  CxLock lock;
  EXPECT_EQ(lock.lockCount, 0);
  EXPECT_EQ(lock.ownerFile, nullptr);
  EXPECT_EQ(lock.ownerLine, 0);

  lock.Acquire("first.cpp", 10);
  lock.Acquire("second.cpp", 20);
  EXPECT_EQ(lock.lockCount, 2);
  EXPECT_STREQ(lock.ownerFile, "second.cpp");
  EXPECT_EQ(lock.ownerLine, 20);
  EXPECT_TRUE(HeldElsewhere(&lock));

  lock.Release();
  EXPECT_EQ(lock.lockCount, 1);
  EXPECT_TRUE(HeldElsewhere(&lock));
  lock.Release();
  EXPECT_EQ(lock.lockCount, 0);
  EXPECT_FALSE(HeldElsewhere(&lock));
}

TEST(CxAutoLock, RecordsItsHeaderPositionAndReleasesOnce) {
  CxLock lock;
  {
    CxAutoLock guard(&lock);
    EXPECT_EQ(lock.lockCount, 1);
    EXPECT_STREQ(lock.ownerFile, "_synchro.h");
    EXPECT_EQ(lock.ownerLine, 174);
    guard.Unlock();
    EXPECT_EQ(lock.lockCount, 0);
    EXPECT_FALSE(HeldElsewhere(&lock));
    guard.Unlock();  // a second early release does nothing
  }
  EXPECT_EQ(lock.lockCount, 0);  // scope end released nothing more

  {
    CxAutoLock nothing(nullptr);
    nothing.Unlock();
  }
}

TEST(CxAutoLock, ReleasesWhenAnExceptionLeavesTheScope) {
  CxLock lock;
  try {
    CxAutoLock guard(&lock);
    throw 1;
  } catch (int) {
  }
  EXPECT_EQ(lock.lockCount, 0);
  EXPECT_FALSE(HeldElsewhere(&lock));
}

TEST(CxMutex, LockRecordsItsHeaderPosition) {
  CxMutex mutex;
  mutex.Lock();
  EXPECT_STREQ(mutex.Record()->ownerFile, "CxMutex.h");
  EXPECT_EQ(mutex.Record()->ownerLine, 27);
  EXPECT_EQ(mutex.Record()->lockCount, 1);
  EXPECT_TRUE(HeldElsewhere(mutex.Record()));
  mutex.Unlock();
  EXPECT_FALSE(HeldElsewhere(mutex.Record()));
}

TEST(CxMutex, ExcludesOtherThreads) {
  CxMutex mutex;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        mutex.Lock();
        ++counter;
        mutex.Unlock();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

// ---- CxEvent ---------------------------------------------------------------

TEST(CxEvent, WithoutAnEventEverythingFailsHarmlessly) {
  CxEvent event;
  EXPECT_EQ(event.handle, nullptr);
  EXPECT_FALSE(event.Set());
  EXPECT_FALSE(event.Reset());
  EXPECT_FALSE(event.Wait(0));
  EXPECT_TRUE(event.Close());
}

TEST(CxEvent, AutoAndManualResetStates) {
  struct Case {
    bool manual;
    bool initial;
    bool firstWait;   // Wait(0) right after Create
    bool secondWait;  // a second Wait(0)
  };
  const Case cases[] = {
      {false, false, false, false},
      {false, true, true, false},  // the first wait consumes the signal
      {true, false, false, false},
      {true, true, true, true},  // stays signalled until Reset
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "manual=" << c.manual << " initial=" << c.initial);
    CxEvent event;
    ASSERT_TRUE(event.Create(c.manual, c.initial));
    EXPECT_EQ(event.Wait(0), c.firstWait);
    EXPECT_EQ(event.Wait(0), c.secondWait);
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_EQ(event.Wait(0), c.manual);
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.Wait(1));  // times out
    EXPECT_TRUE(event.Close());
    EXPECT_EQ(event.handle, nullptr);
  }
}

// Starts `count` threads that wait without limit and count their wake-ups.
struct Waiters {
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;

  Waiters(CxEvent* event, int count) {
    for (int i = 0; i < count; ++i)
      threads.emplace_back([this, event] {
        if (event->Wait(INFINITE)) ++woken;
      });
  }
  void Join() {
    for (auto& t : threads) t.join();
  }
};

TEST(CxEvent, AutoResetWakesOneWaiterPerSet) {
  CxEvent event;
  ASSERT_TRUE(event.Create(false, false));
  Waiters waiters(&event, 4);
  Settle();
  EXPECT_EQ(waiters.woken, 0);
  for (int n = 1; n <= 4; ++n) {
    event.Set();
    ASSERT_TRUE(Eventually([&] { return waiters.woken >= n; }));
    Settle();
    EXPECT_EQ(waiters.woken, n);
  }
  waiters.Join();
  EXPECT_FALSE(event.Wait(0));  // every signal was consumed by one waiter
  event.Close();
}

TEST(CxEvent, ManualResetWakesEveryWaiter) {
  CxEvent event;
  ASSERT_TRUE(event.Create(true, false));
  Waiters waiters(&event, 4);
  event.Set();
  waiters.Join();
  EXPECT_EQ(waiters.woken, 4);
  EXPECT_TRUE(event.Wait(0));
  event.Close();
}

// ---- CxThread --------------------------------------------------------------

class RecordingThread : public CxThread {
 public:
  int Run() override {
    ranOn = GetCurrentThreadId();
    return 42;
  }
  DWORD ranOn = 0;
};

TEST(CxThread, RunsOnItsOwnThreadAndExitsWithZero) {
  RecordingThread thread;
  ASSERT_EQ(thread.Start(CxThread::ThreadEntry, &thread), 0);
  ASSERT_NE(thread.handle, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_NE(thread.ranOn, 0u);
  EXPECT_NE(thread.ranOn, GetCurrentThreadId());
  DWORD exitCode = 1;
  ASSERT_TRUE(GetExitCodeThread(thread.handle, &exitCode));
  EXPECT_EQ(exitCode, 0u);  // whatever Run returned
  CloseHandle(thread.handle);
}

TEST(CxThread, DestructorLeavesTheHandleToTheOwner) {
  auto thread = std::make_unique<RecordingThread>();
  ASSERT_EQ(thread->Start(CxThread::ThreadEntry, thread.get()), 0);
  HANDLE handle = thread->handle;
  ASSERT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
  thread.reset();
  // Still open: the destructor neither joined nor closed it.
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(handle));
}

// ---- CxQueue ---------------------------------------------------------------

std::atomic<int> liveNodes{0};

struct CountedNode : CxQueueNode {
  explicit CountedNode(uint32_t len = 0, int tag = 0) : tag(tag) {
    length = len;
    ++liveNodes;
  }
  ~CountedNode() override { --liveNodes; }
  int tag;
};

void ExpectEmpty(const CxQueue& queue) {
  EXPECT_EQ(queue.nodeCount, 0);
  EXPECT_EQ(queue.byteTotal, 0u);
  EXPECT_EQ(queue.head, nullptr);
  EXPECT_EQ(queue.tail, nullptr);
}

TEST(CxQueue, StartsOpenAndEmptyWithAnEvent) {
  CxQueue queue;
  EXPECT_EQ(queue.open, 1);
  EXPECT_NE(queue.event.handle, nullptr);
  EXPECT_EQ(queue.markedCount, 0);
  ExpectEmpty(queue);
  EXPECT_FALSE(queue.event.Wait(0));
}

TEST(CxQueue, RefusedPushesLeaveEverythingUnchanged) {
  CxQueue queue;
  EXPECT_EQ(queue.Push(nullptr, CxQueue::kSignal | CxQueue::kMarked), 0);
  ExpectEmpty(queue);
  EXPECT_EQ(queue.markedCount, 0);

  queue.Close();
  CountedNode node(5);
  EXPECT_EQ(queue.Push(&node, CxQueue::kSignal | CxQueue::kMarked), 0);
  ExpectEmpty(queue);
  EXPECT_EQ(queue.markedCount, 0);
  EXPECT_FALSE(queue.event.Wait(0));
}

TEST(CxQueue, PopOnEmptyOrWithoutOutput) {
  CxQueue queue;
  CxQueueNode* out = reinterpret_cast<CxQueueNode*>(&queue);
  EXPECT_FALSE(queue.Pop(&out));
  EXPECT_EQ(out, nullptr);

  CountedNode node(7);
  ASSERT_EQ(queue.Push(&node, 0), 1);
  EXPECT_FALSE(queue.Pop(nullptr));
  EXPECT_EQ(queue.nodeCount, 1);
  EXPECT_EQ(queue.byteTotal, 7u);
  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(out, &node);
}

TEST(CxQueue, CountsFollowPushesAndPopsInOrder) {
  CxQueue queue;
  CountedNode a(10, 1), b(20, 2);
  ASSERT_EQ(queue.Push(&a, 0), 1);
  ASSERT_EQ(queue.Push(&b, 0), 1);
  EXPECT_EQ(queue.byteTotal, 30u);
  EXPECT_EQ(queue.nodeCount, 2);
  EXPECT_EQ(queue.head, &a);
  EXPECT_EQ(queue.tail, &b);
  EXPECT_EQ(a.prev, nullptr);
  EXPECT_EQ(a.next, &b);
  EXPECT_EQ(b.prev, &a);
  EXPECT_EQ(b.next, nullptr);

  CxQueueNode* out = nullptr;
  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(out, &a);
  EXPECT_EQ(a.next, &b);  // links of a popped node are left as they were
  EXPECT_EQ(b.prev, nullptr);
  EXPECT_EQ(queue.byteTotal, 20u);
  EXPECT_EQ(queue.nodeCount, 1);

  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(out, &b);
  ExpectEmpty(queue);
}

TEST(CxQueue, ByteTotalNeverWraps) {
  CxQueue queue;
  CountedNode small(5), large(100);
  ASSERT_EQ(queue.Push(&small, 0), 1);
  ASSERT_EQ(queue.Push(&large, 0), 1);
  queue.byteTotal = 50;  // less than the large node's length
  CxQueueNode* out;
  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(queue.byteTotal, 45u);
  ASSERT_TRUE(queue.Pop(&out));
  EXPECT_EQ(queue.byteTotal, 0u);
}

TEST(CxQueue, MarkedCount) {
  struct Case {
    int markedPushes;
    int unmarks;
    int expected;
  };
  const Case cases[] = {{0, 1, 0}, {2, 1, 1}, {1, 3, 0}, {3, 0, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.markedPushes << " marked, " << c.unmarks << " unmarks");
    CxQueue queue;
    for (int i = 0; i < c.markedPushes; ++i) queue.Push(new CountedNode(1), CxQueue::kMarked);
    queue.Push(new CountedNode(1), 0);  // unmarked pushes leave the count alone
    for (int i = 0; i < c.unmarks; ++i) queue.Unmark();
    EXPECT_EQ(queue.markedCount, c.expected);
    CxQueueNode* out;
    while (queue.Pop(&out)) delete out;
    EXPECT_EQ(queue.markedCount, c.expected);  // popping does not unmark
  }
  EXPECT_EQ(liveNodes, 0);
}

TEST(CxQueue, CloseFreesQueuedNodesAndStaysClosed) {
  liveNodes = 0;
  CxQueue queue;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue.Push(new CountedNode(8, i), CxQueue::kMarked), 1);
  EXPECT_EQ(liveNodes, 3);
  queue.Close();
  EXPECT_EQ(liveNodes, 0);
  ExpectEmpty(queue);
  EXPECT_EQ(queue.open, 0);
  EXPECT_EQ(queue.markedCount, 3);  // Close leaves it
  queue.Close();                    // finds nothing
  EXPECT_EQ(liveNodes, 0);
}

TEST(CxQueue, DestructorFreesQueuedNodes) {
  liveNodes = 0;
  {
    CxQueue queue;
    queue.Push(new CountedNode(1), 0);
    queue.Push(new CountedNode(2), CxQueue::kSignal);
  }
  EXPECT_EQ(liveNodes, 0);
}

TEST(CxQueue, SignalFlagWakesExactlyOneWaiter) {
  CxQueue queue;
  Waiters waiters(&queue.event, 3);
  Settle();
  queue.Push(new CountedNode(1), 0);
  queue.Push(new CountedNode(1), CxQueue::kMarked);
  Settle();
  EXPECT_EQ(waiters.woken, 0);  // silent pushes wake nobody

  queue.Push(new CountedNode(1), CxQueue::kSignal);
  ASSERT_TRUE(Eventually([&] { return waiters.woken >= 1; }));
  Settle();
  EXPECT_EQ(waiters.woken, 1);

  queue.Push(new CountedNode(1), CxQueue::kSignal | CxQueue::kMarked);
  queue.Push(new CountedNode(1), CxQueue::kSignal);
  waiters.Join();
  EXPECT_EQ(waiters.woken, 3);
}

// Producers push tagged nodes and signal; consumers wait on the event with a
// short time-out and drain, as the display and stream consumers do.
TEST(CxQueue, ManyProducersManyConsumersDeliverEveryNodeOnce) {
  constexpr int kProducers = 4, kConsumers = 4, kPerProducer = 5000;
  constexpr int kTotal = kProducers * kPerProducer;
  liveNodes = 0;
  CxQueue queue;
  std::vector<std::atomic<int>> seen(kTotal);
  std::atomic<int> received{0};
  std::atomic<bool> producersDone{false};

  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; ++c)
    consumers.emplace_back([&] {
      for (;;) {
        queue.event.Wait(5);
        CxQueueNode* node;
        while (queue.Pop(&node)) {
          auto* counted = static_cast<CountedNode*>(node);
          ++seen[counted->tag];
          delete counted;
          ++received;
        }
        if (producersDone && received == kTotal) return;
      }
    });

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        int tag = p * kPerProducer + i;
        ASSERT_EQ(queue.Push(new CountedNode(tag % 97, tag), i % 3 == 0 ? 0 : CxQueue::kSignal), 1);
      }
    });
  for (auto& t : producers) t.join();
  producersDone = true;
  for (auto& t : consumers) t.join();

  EXPECT_EQ(received, kTotal);
  int wrong = 0;
  for (auto& s : seen) wrong += s != 1;
  EXPECT_EQ(wrong, 0);
  ExpectEmpty(queue);
  EXPECT_EQ(liveNodes, 0);
}

// A push that passed the open check just before Close must not link its node
// after Close has drained the queue.
TEST(CxQueue, PushRacingCloseNeverLeavesANodeBehind) {
  liveNodes = 0;
  for (int round = 0; round < 200; ++round) {
    auto queue = std::make_unique<CxQueue>();
    std::atomic<int> started{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p)
      producers.emplace_back([&] {
        ++started;
        for (;;) {
          auto* node = new CountedNode(4);
          if (!queue->Push(node, CxQueue::kSignal)) {
            delete node;  // refused: still ours
            return;
          }
        }
      });
    while (started < 3) std::this_thread::yield();
    queue->Close();
    for (auto& t : producers) t.join();
    ASSERT_EQ(queue->head, nullptr) << "round " << round;
    ASSERT_EQ(queue->nodeCount, 0) << "round " << round;
    ASSERT_EQ(liveNodes, 0) << "round " << round;
  }
}

// ---- CxInlineBlock ---------------------------------------------------------

TEST(CxInlineBlock, AssignCopiesBehindTheHeader) {
  const char payload[] = "inline payload";
  CxInlineBlock* block = CxInlineBlock::Allocate(sizeof(payload));
  ASSERT_NE(block, nullptr);
  block->prev = block->next = block;
  EXPECT_EQ(block->Assign(payload, sizeof(payload)), 1);
  EXPECT_EQ(block->prev, nullptr);
  EXPECT_EQ(block->next, nullptr);
  EXPECT_EQ(block->length, sizeof(payload));
  EXPECT_EQ(block->data, reinterpret_cast<uint8_t*>(block + 1));
  EXPECT_EQ(std::memcmp(block->data, payload, sizeof(payload)), 0);
  delete block;
}

TEST(CxInlineBlock, AssignOfNothing) {
  CxInlineBlock* block = CxInlineBlock::Allocate(0);
  ASSERT_NE(block, nullptr);
  block->data = block->Inline();
  EXPECT_EQ(block->Assign(nullptr, 0), 0);
  EXPECT_EQ(block->data, nullptr);
  EXPECT_EQ(block->length, 0u);
  delete block;
}

// The blocks are larger than their class; the queue frees them through the
// base class, which the sanitizer build checks for size and leaks.
TEST(CxInlineBlock, QueueFreesBlocksOfAnySize) {
  CxQueue queue;
  std::vector<uint8_t> bytes(4096, 0x5A);
  for (uint32_t n : {0u, 1u, 15u, 16u, 17u, 4096u}) {
    CxInlineBlock* block = CxInlineBlock::Allocate(n);
    ASSERT_NE(block, nullptr);
    block->Assign(bytes.data(), n);
    ASSERT_EQ(queue.Push(block, 0), 1);
  }
  EXPECT_EQ(queue.byteTotal, 0u + 1 + 15 + 16 + 17 + 4096);
  CxQueueNode* first;
  ASSERT_TRUE(queue.Pop(&first));
  delete first;
  queue.Close();
  ExpectEmpty(queue);
}

}  // namespace
