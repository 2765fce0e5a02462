// The contexts of status-change waits against a model of the service that
// can hold a wait before it registers, which is where a real service loses a
// cancel: the cancel is repeated until the wait has left, and no context is
// released while a wait holds it (pcsclite would block that release for as
// long as the wait runs). Also the buffers the card calls hand the service.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "StatusWaitContexts.h"

namespace {

constexpr uint32_t kCancelled = 0x80100002;
constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::chrono::seconds kBound(60);

// The service: a wait first enters (a cancel now is lost), then registers
// (a cancel ends it), unless registration is held.
struct Service {
  enum WaitState { kIdle, kEntered, kRegistered };
  std::mutex mutex;
  std::condition_variable changed;
  SCARDCONTEXT next = 100;
  std::set<SCARDCONTEXT> open;
  std::map<SCARDCONTEXT, WaitState> waits;
  std::set<SCARDCONTEXT> cancelled;
  bool holdRegistration = false;
  bool holdEstablish = false;
  int establishing = 0;
  bool shutDown = false;  // every wait ends
  int lostCancels = 0;
  int releasedWhileWaiting = 0;

  template <class Pred>
  bool Until(Pred reached) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kBound, reached);
  }
  void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(mutex);
    holdRegistration = hold;
    changed.notify_all();
  }
  std::set<SCARDCONTEXT> Open() {
    std::lock_guard<std::mutex> lock(mutex);
    return open;
  }
  // Under the lock.
  bool AnyWait(WaitState state) const {
    for (const auto& w : waits) {
      if (w.second == state) return true;
    }
    return false;
  }
} service;

// Declared after a test's waits: a test that stops early ends them, so that
// their threads can be joined.
struct ShutDownOnExit {
  ~ShutDownOnExit() {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.shutDown = true;
    service.changed.notify_all();
  }
};

LONG Establish(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  std::unique_lock<std::mutex> lock(service.mutex);
  ++service.establishing;
  service.changed.notify_all();
  service.changed.wait(lock, [] { return !service.holdEstablish || service.shutDown; });
  --service.establishing;
  *context = ++service.next;
  service.open.insert(*context);
  return SCARD_S_SUCCESS;
}

LONG Release(SCARDCONTEXT context) {
  std::lock_guard<std::mutex> lock(service.mutex);
  if (service.waits[context] != Service::kIdle) ++service.releasedWhileWaiting;
  service.open.erase(context);
  service.changed.notify_all();
  return SCARD_S_SUCCESS;
}

LONG GetStatusChange(SCARDCONTEXT context, DWORD, SCARD_READERSTATE*, DWORD) {
  std::unique_lock<std::mutex> lock(service.mutex);
  service.waits[context] = Service::kEntered;
  service.changed.notify_all();
  service.changed.wait(lock, [] { return !service.holdRegistration || service.shutDown; });
  service.waits[context] = Service::kRegistered;
  service.changed.wait(lock, [&] { return service.cancelled.count(context) > 0 || service.shutDown; });
  service.cancelled.erase(context);
  service.waits[context] = Service::kIdle;
  service.changed.notify_all();
  return SCARD_E_CANCELLED;
}

LONG Cancel(SCARDCONTEXT context) {
  std::lock_guard<std::mutex> lock(service.mutex);
  if (service.waits[context] == Service::kRegistered) {
    service.cancelled.insert(context);
  } else {
    ++service.lostCancels;
  }
  service.changed.notify_all();
  return SCARD_S_SUCCESS;
}

class StatusWaits : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.open.clear();
    service.waits.clear();
    service.cancelled.clear();
    service.holdRegistration = false;
    service.holdEstablish = false;
    service.establishing = 0;
    service.shutDown = false;
    service.lostCancels = 0;
    service.releasedWhileWaiting = 0;
  }
  static pcscnative::Pcsc Library() {
    pcscnative::Pcsc pcsc;
    pcsc.Set(pcscnative::kEstablishContext, reinterpret_cast<void*>(&Establish));
    pcsc.Set(pcscnative::kReleaseContext, reinterpret_cast<void*>(&Release));
    pcsc.Set(pcscnative::kGetStatusChange, reinterpret_cast<void*>(&GetStatusChange));
    pcsc.Set(pcscnative::kCancel, reinterpret_cast<void*>(&Cancel));
    return pcsc;
  }
  // A wait held before it registers, so that the first cancels are lost.
  std::future<uint32_t> HeldWait(StatusWaitContexts& set) {
    service.Hold(true);
    std::future<uint32_t> wait = std::async(std::launch::async, [&set] {
      std::vector<pcscnative::ReaderState> states(1);
      return set.Wait(kInfinite, states);
    });
    EXPECT_TRUE(service.Until([] { return service.AnyWait(Service::kEntered); }));
    return wait;
  }
};

}  // namespace

TEST_F(StatusWaits, ACancelLostBeforeTheWaitRegisteredIsRepeatedUntilTheWaitLeaves) {
  StatusWaitContexts set(Library(), 2);
  std::future<uint32_t> wait = HeldWait(set);
  std::future<uint32_t> cancel = std::async(std::launch::async, [&set] { return set.Cancel(kBound); });
  ShutDownOnExit down;
  ASSERT_TRUE(service.Until([] { return service.lostCancels >= 2; }));
  EXPECT_EQ(cancel.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  service.Hold(false);
  ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(wait.get(), kCancelled);
  ASSERT_EQ(cancel.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(cancel.get(), 0u);
  // A context a cancel went to is not used again.
  EXPECT_TRUE(service.Until([] { return service.open.empty(); }));
  EXPECT_EQ(set.InProgress(), 0u);
}

TEST_F(StatusWaits, CloseLeavesARunningWaitsContextToItsThread) {
  StatusWaitContexts set(Library(), 2);
  std::future<uint32_t> wait = HeldWait(set);
  std::future<void> close = std::async(std::launch::async, [&set] { set.Close(); });
  ShutDownOnExit down;
  ASSERT_TRUE(service.Until([] { return service.lostCancels >= 2; }));

  service.Hold(false);
  ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(wait.get(), kCancelled);
  ASSERT_EQ(close.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(service.Until([] { return service.open.empty(); }));
  EXPECT_EQ(service.releasedWhileWaiting, 0);

  // Closed: a wait answers at once and opens nothing.
  std::vector<pcscnative::ReaderState> states(1);
  EXPECT_EQ(set.Wait(kInfinite, states), kCancelled);
  EXPECT_TRUE(service.Open().empty());
}

TEST_F(StatusWaits, AWaitThatEndsOnItsOwnGivesItsContextToTheNext) {
  StatusWaitContexts set(Library(), 2);
  std::future<uint32_t> wait = HeldWait(set);
  ShutDownOnExit down;
  const SCARDCONTEXT first = *service.Open().begin();
  // Ended by the service, as a card event would end it, not by our cancel.
  {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.holdRegistration = false;
    service.cancelled.insert(first);
    service.changed.notify_all();
  }
  ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(set.InProgress(), 0u);
  EXPECT_EQ(service.Open(), std::set<SCARDCONTEXT>{first});

  std::future<uint32_t> next = HeldWait(set);
  ShutDownOnExit downNext;
  EXPECT_EQ(service.Open(), std::set<SCARDCONTEXT>{first});
  service.Hold(false);
  bool any = false;
  EXPECT_EQ(set.Cancel(kBound, &any), 0u);
  EXPECT_TRUE(any);
  ASSERT_EQ(next.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(next.get(), kCancelled);
  set.Close();
  EXPECT_TRUE(service.Open().empty());
  EXPECT_EQ(service.releasedWhileWaiting, 0);
}

// The server's cancel may be served before the thread of a wait it accepted
// earlier has run, or while that thread opens the wait's context: the wait
// still ends, without reaching the service and without a cancel sent to the
// service, which would be lost. A wait accepted after the cancel runs.
TEST_F(StatusWaits, ACancelEndsAWaitReservedBeforeItWhereverTheWaitsThreadHasGot) {
  for (const bool inEstablish : {false, true}) {
    SCOPED_TRACE(inEstablish ? "opening its context" : "not run yet");
    SetUp();
    StatusWaitContexts set(Library(), 2);
    const uint64_t reserved = set.Reserve();
    ASSERT_NE(reserved, 0u);
    auto run = [&set](uint64_t id) {
      return std::async(std::launch::async, [&set, id] {
        std::vector<pcscnative::ReaderState> states(1);
        return set.Wait(id, kInfinite, states);
      });
    };
    std::future<uint32_t> wait;
    if (inEstablish) {
      {
        std::lock_guard<std::mutex> lock(service.mutex);
        service.holdEstablish = true;
      }
      wait = run(reserved);
    }
    ShutDownOnExit down;
    if (inEstablish) {
      ASSERT_TRUE(service.Until([] { return service.establishing == 1; }));
    }

    bool any = false;
    EXPECT_EQ(set.Cancel(kBound, &any), 0u);
    EXPECT_TRUE(any);
    if (inEstablish) {
      std::lock_guard<std::mutex> lock(service.mutex);
      service.holdEstablish = false;
      service.changed.notify_all();
    } else {
      wait = run(reserved);
    }
    ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(wait.get(), kCancelled);
    EXPECT_TRUE(service.waits.empty());
    EXPECT_EQ(service.lostCancels, 0);
    EXPECT_EQ(set.InProgress(), 0u);

    // Reserved after the cancel: the wait reaches the service.
    std::future<uint32_t> later = run(set.Reserve());
    ShutDownOnExit downLater;
    ASSERT_TRUE(service.Until([] { return service.AnyWait(Service::kRegistered); }));
    EXPECT_EQ(set.Cancel(kBound), 0u);
    ASSERT_EQ(later.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(later.get(), kCancelled);
    set.Close();
    EXPECT_TRUE(service.Open().empty());
    EXPECT_EQ(service.releasedWhileWaiting, 0);
  }
}

TEST_F(StatusWaits, ADroppedReservationLeavesNothingToCancelAndAClosedSetReservesNone) {
  StatusWaitContexts set(Library(), 2);
  set.Drop(set.Reserve());
  bool any = true;
  EXPECT_EQ(set.Cancel(kBound, &any), 0u);
  EXPECT_FALSE(any);

  const uint64_t reserved = set.Reserve();
  set.Close();
  EXPECT_EQ(set.Reserve(), 0u);
  std::vector<pcscnative::ReaderState> states(1);
  EXPECT_EQ(set.Wait(reserved, kInfinite, states), kCancelled);
  EXPECT_TRUE(service.Open().empty());
  EXPECT_TRUE(service.waits.empty());
}

namespace {

// The card: answers 90 00 into any buffer pcsclite takes, and refuses a
// longer one as pcsclite does, before the card is asked.
struct Card {
  DWORD offered = 0;
} card;

LONG Transmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE recv, LPDWORD length) {
  card.offered = *length;
  if (*length > MAX_BUFFER_SIZE_EXTENDED) return SCARD_E_INSUFFICIENT_BUFFER;
  if (*length < 2) return SCARD_E_INSUFFICIENT_BUFFER;
  recv[0] = 0x90;
  recv[1] = 0x00;
  *length = 2;
  return SCARD_S_SUCCESS;
}

LONG Control(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID out, DWORD size, LPDWORD returned) {
  card.offered = size;
  if (size > MAX_BUFFER_SIZE_EXTENDED) return SCARD_E_INSUFFICIENT_BUFFER;
  if (size < 2) return SCARD_E_INSUFFICIENT_BUFFER;
  static_cast<BYTE*>(out)[0] = 0x90;
  static_cast<BYTE*>(out)[1] = 0x00;
  *returned = 2;
  return SCARD_S_SUCCESS;
}

}  // namespace

// Every receive or output buffer the server may ask for is one pcsclite
// takes, and the length returned is the card's.
TEST(PcscBuffers, NoBufferIsLongerThanPcsclitesLargest) {
  pcscnative::Pcsc pcsc;
  pcsc.Set(pcscnative::kTransmit, reinterpret_cast<void*>(&Transmit));
  pcsc.Set(pcscnative::kControl, reinterpret_cast<void*>(&Control));
  using Out = pcscnative::OutBuffer;
  const struct {
    bool control;
    Out::Mode mode;
    uint32_t size;
    DWORD offered;
    std::vector<uint8_t> data;
  } cases[] = {
      {false, Out::kNone, 0, MAX_BUFFER_SIZE_EXTENDED, {}},
      {false, Out::kFixed, 258, 258, {0x90, 0x00}},
      {false, Out::kFixed, MAX_BUFFER_SIZE_EXTENDED + 1, MAX_BUFFER_SIZE_EXTENDED, {0x90, 0x00}},
      {false, Out::kFixed, 66560, MAX_BUFFER_SIZE_EXTENDED, {0x90, 0x00}},
      {true, Out::kAuto, 0, MAX_BUFFER_SIZE_EXTENDED, {0x90, 0x00}},
      {true, Out::kFixed, 258, 258, {0x90, 0x00}},
      {true, Out::kFixed, 66560, MAX_BUFFER_SIZE_EXTENDED, {0x90, 0x00}},
  };
  const std::vector<uint8_t> apdu = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.control ? "control" : "transmit") << ", mode " << c.mode << ", size "
                                    << c.size);
    Out out;
    out.mode = c.mode;
    out.size = c.size;
    const uint32_t rc = c.control ? pcsc.Control(1, 0x00313520, nullptr, 0, out)
                                  : pcsc.Transmit(1, 2, {}, apdu.data(), uint32_t(apdu.size()), out);
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(card.offered, c.offered);
    EXPECT_EQ(out.length, 2u);
    EXPECT_EQ(out.data, c.data);
  }
}
