#include "pelplat/synch.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pelplat/winerror.h"

namespace {

HANDLE NewEvent(bool manual, bool set = false) { return CreateEventW(nullptr, manual, set, nullptr); }

// Waiters that report each wake-up through an auto-reset event of their own.
struct WaiterGroup {
  explicit WaiterGroup(HANDLE waitFor, int n) {
    for (int i = 0; i < n; ++i) {
      threads.emplace_back([this, waitFor] {
        if (WaitForSingleObject(waitFor, INFINITE) == WAIT_OBJECT_0) ++woken;
        SetEvent(report);
      });
    }
  }
  ~WaiterGroup() {
    for (auto& t : threads) t.join();
    CloseHandle(report);
  }
  HANDLE report = NewEvent(false);
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
};

}  // namespace

TEST(Event, AutoResetWakesExactlyOneWaiterPerSet) {
  HANDLE event = NewEvent(false);
  {
    WaiterGroup group(event, 3);
    for (int round = 1; round <= 3; ++round) {
      ASSERT_TRUE(SetEvent(event));
      ASSERT_EQ(WaitForSingleObject(group.report, INFINITE), WAIT_OBJECT_0);
      Sleep(30);  // room for a wrong second wake-up to show
      EXPECT_EQ(group.woken.load(), round);
    }
  }
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the last Set was consumed";
  CloseHandle(event);
}

TEST(Event, ManualResetWakesAllAndStaysSet) {
  HANDLE event = NewEvent(true);
  {
    WaiterGroup group(event, 3);
    ASSERT_TRUE(SetEvent(event));
  }  // joins: every waiter came back
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(Event, TimeoutsAndInfiniteWaits) {
  HANDLE event = NewEvent(false);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(event, 25), WAIT_TIMEOUT);
  DWORD result = 0;
  std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
  Sleep(20);
  SetEvent(event);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  HANDLE initiallySet = NewEvent(false, true);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_TIMEOUT);
  CloseHandle(initiallySet);
  CloseHandle(event);
}

TEST(WaitForMultipleObjects, AnyReturnsTheLowestSignalledIndex) {
  HANDLE h[3] = {NewEvent(false), NewEvent(false), NewEvent(false)};
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(h[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT) << "only the one returned is consumed";
  SetEvent(h[2]);
  SetEvent(h[0]);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, INFINITE), WAIT_OBJECT_0 + 2);

  DWORD result = 0;
  std::thread waiter([&] { result = WaitForMultipleObjects(3, h, FALSE, INFINITE); });
  Sleep(20);
  SetEvent(h[2]);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0 + 2);
  for (HANDLE e : h) CloseHandle(e);
}

TEST(WaitForMultipleObjects, AllTakesEveryObjectAtOnceOrNone) {
  HANDLE h[2] = {NewEvent(false), NewEvent(true)};
  SetEvent(h[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 15), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0) << "a failed wait for all consumed nothing";

  SetEvent(h[0]);
  DWORD result = 0;
  std::thread waiter([&] { result = WaitForMultipleObjects(2, h, TRUE, INFINITE); });
  Sleep(20);
  SetEvent(h[1]);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT) << "the auto-reset one was taken";
  EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_OBJECT_0) << "the manual-reset one stays set";
  for (HANDLE e : h) CloseHandle(e);
}

TEST(WaitForMultipleObjects, RejectsBadArguments) {
  HANDLE e = NewEvent(true, true);
  HANDLE twice[2] = {e, e};
  HANDLE closed = NewEvent(true, true);
  CloseHandle(closed);
  HANDLE withClosed[2] = {e, closed};
  HANDLE many[65];
  std::fill(std::begin(many), std::end(many), e);
  const struct {
    DWORD count;
    const HANDLE* handles;
    BOOL all;
    DWORD error;
  } cases[] = {
      {0, twice, FALSE, ERROR_INVALID_PARAMETER},  {65, many, FALSE, ERROR_INVALID_PARAMETER},
      {1, nullptr, FALSE, ERROR_INVALID_PARAMETER}, {2, twice, TRUE, ERROR_INVALID_PARAMETER},
      {2, withClosed, FALSE, ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(64, many, FALSE, 0), WAIT_OBJECT_0);
  CloseHandle(e);
}

TEST(Mutex, IsRecursiveForItsOwnerOnly) {
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);

  BOOL releasedByOther = TRUE;
  DWORD otherError = 0, otherWait = 0;
  std::thread other([&] {
    releasedByOther = ReleaseMutex(m);
    otherError = GetLastError();
    otherWait = WaitForSingleObject(m, 10);
  });
  other.join();
  EXPECT_FALSE(releasedByOther);
  EXPECT_EQ(otherError, ERROR_NOT_OWNER);
  EXPECT_EQ(otherWait, WAIT_TIMEOUT);

  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  CloseHandle(m);
}

TEST(Mutex, PassesToTheNextWaiterOnRelease) {
  HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
  HANDLE acquired = NewEvent(false), letGo = NewEvent(false);
  DWORD result = 0;
  std::thread other([&] {
    result = WaitForSingleObject(m, INFINITE);
    SetEvent(acquired);
    WaitForSingleObject(letGo, INFINITE);
    ReleaseMutex(m);
  });
  Sleep(20);
  EXPECT_TRUE(ReleaseMutex(m));
  ASSERT_EQ(WaitForSingleObject(acquired, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
  SetEvent(letGo);
  other.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  ReleaseMutex(m);
  for (HANDLE h : {m, acquired, letGo}) CloseHandle(h);
}

TEST(Mutex, OwnerThatEndsLeavesItAbandoned) {
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE held = NewEvent(false), finish = NewEvent(false);
  std::thread owner([&] {
    WaitForSingleObject(m, INFINITE);
    WaitForSingleObject(m, INFINITE);  // recursion does not survive the owner either
    SetEvent(held);
    WaitForSingleObject(finish, INFINITE);
  });
  ASSERT_EQ(WaitForSingleObject(held, INFINITE), WAIT_OBJECT_0);
  SetEvent(finish);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
  owner.join();
  EXPECT_TRUE(ReleaseMutex(m)) << "the abandoned mutex now belongs to the waiter, once";
  EXPECT_FALSE(ReleaseMutex(m));

  std::thread([&] { WaitForSingleObject(m, INFINITE); }).join();
  HANDLE both[2] = {held, m};
  SetEvent(held);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_ABANDONED_0 + 1);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandonment is reported once";
  ReleaseMutex(m);
  ReleaseMutex(m);
  for (HANDLE h : {m, held, finish}) CloseHandle(h);
}

TEST(Mutex, CountsStayExactUnderContention) {
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        WaitForSingleObject(m, INFINITE);
        ++counter;
        ReleaseMutex(m);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 2000);
  CloseHandle(m);
}

TEST(Event, PingPongBetweenTwoThreads) {
  HANDLE ping = NewEvent(false), pong = NewEvent(false);
  int bounces = 0;
  std::thread other([&] {
    for (int i = 0; i < 1000; ++i) {
      WaitForSingleObject(ping, INFINITE);
      ++bounces;
      SetEvent(pong);
    }
  });
  for (int i = 0; i < 1000; ++i) {
    SetEvent(ping);
    ASSERT_EQ(WaitForSingleObject(pong, 1000 * 60), WAIT_OBJECT_0);
  }
  other.join();
  EXPECT_EQ(bounces, 1000);
  CloseHandle(ping);
  CloseHandle(pong);
}

TEST(Handle, ReferencesAndStaleHandles) {
  HANDLE e = NewEvent(true);
  ASSERT_TRUE(DuplicateHandleRef(e));
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_TRUE(SetEvent(e)) << "one reference is left";
  EXPECT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(DuplicateHandleRef(nullptr));

  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  SetLastError(0);
  EXPECT_FALSE(SetEvent(m)) << "not an event";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE ev = NewEvent(false);
  EXPECT_FALSE(ReleaseMutex(ev)) << "not a mutex";
  CloseHandle(m);
  CloseHandle(ev);
}

TEST(Handle, ClosingWhileAnotherThreadWaitsIsSafe) {
  HANDLE e = NewEvent(false);
  DWORD result = 0;
  std::thread waiter([&] { result = WaitForSingleObject(e, 100); });
  Sleep(20);
  CloseHandle(e);
  waiter.join();
  EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED);
}

TEST(CriticalSection, IsRecursiveAndExcludesOthers) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  auto otherCanEnter = [&] {
    BOOL entered = FALSE;
    std::thread([&] {
      entered = TryEnterCriticalSection(&cs);
      if (entered) LeaveCriticalSection(&cs);
    }).join();
    return entered != FALSE;
  };
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(otherCanEnter());
  DeleteCriticalSection(&cs);
}
