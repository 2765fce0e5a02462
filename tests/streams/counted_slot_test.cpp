// The stream parts' counted slot: what Reset lets go and when, what Share
// hands out, and a slot replaced on one thread while another uses it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "streams/CountedSlot.h"

namespace {

// A listener-like object with the stream parts' int counts.
class Listener {
 public:
  explicit Listener(std::atomic<int>* gone, CountedSlot<Listener>* slot = nullptr) : gone_(gone), slot_(slot) {}
  int AddRef() { return ++refs_; }
  int Release() {
    const int left = --refs_;
    if (left == 0) {
      // A last release that reaches back into the slot finds it unlocked.
      if (slot_) slot_->Share();
      ++*gone_;
      delete this;
    }
    return left;
  }
  int Count() {
    AddRef();
    return Release();
  }

 private:
  ~Listener() = default;
  std::atomic<int> refs_{1};
  std::atomic<int>* gone_;
  CountedSlot<Listener>* slot_;
};

TEST(CountedSlot, ResetLetsGoOfWhatWasHeldAndShareHandsAReferenceOfItsOwn) {
  std::atomic<int> gone{0};
  CountedSlot<Listener> slot;
  Listener* first = new Listener(&gone);
  slot.Reset(first);
  {
    const pelplat::Ref<Listener> shared = slot.Share();
    EXPECT_EQ(shared.get(), first);
    EXPECT_EQ(first->Count(), 2);
  }
  EXPECT_EQ(first->Count(), 1);

  Listener* second = new Listener(&gone);
  pelplat::Ref<Listener> previous = slot.Exchange(second);
  EXPECT_EQ(previous.get(), first);
  EXPECT_EQ(gone.load(), 0);
  previous.reset();
  EXPECT_EQ(gone.load(), 1);

  int seen = 0;
  slot.WhileHeld([&](Listener* held) { seen += held == second; });
  EXPECT_EQ(seen, 1);
  slot.Reset(nullptr);
  EXPECT_EQ(gone.load(), 2);
  EXPECT_FALSE(slot.Share());
  slot.WhileHeld([&](Listener*) { ++seen; });
  EXPECT_EQ(seen, 1);
}

TEST(CountedSlot, WhatWasHeldIsReleasedAfterTheSlotsLockIsLetGo) {
  std::atomic<int> gone{0};
  CountedSlot<Listener> slot;
  slot.Reset(new Listener(&gone, &slot));
  slot.Reset(nullptr);
  EXPECT_EQ(gone.load(), 1);
}

TEST(CountedSlot, OneThreadReplacesWhileAnotherUses) {
  constexpr int kRounds = 2000;
  std::atomic<int> gone{0};
  CountedSlot<Listener> slot;
  std::atomic<bool> done{false};
  std::thread user([&] {
    while (!done.load())
      if (const pelplat::Ref<Listener> held = slot.Share()) held->Count();
  });
  for (int i = 0; i < kRounds; ++i) slot.Reset(new Listener(&gone));
  slot.Reset(nullptr);
  done = true;
  user.join();
  EXPECT_EQ(gone.load(), kRounds);
}

}  // namespace
