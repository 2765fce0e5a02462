// The native contexts on which the status-change waits of one server context
// run.
//
// pcsclite holds a context's lock for the whole of a status-change wait, and
// a thread that waits for a context's lock inside the library holds the
// library's global lock meanwhile, which every other call takes, the cancel
// included. So a context that a wait holds is never touched by another
// thread here: each wait runs on a native context of its own, taken from
// this set and given back when the wait ends, and nothing but a cancel is
// ever sent to it while the wait runs.
//
// A cancel reaches pcscd only once the wait has registered there; one sent
// earlier is lost. A cancel is therefore sent again and again until every
// wait it was meant for has left. Closing never releases a context a wait
// holds: the waits' own threads release their contexts when the waits
// return.
//
// A wait runs on a thread of its own, which may start well after the server's
// cancel has been served. So a wait is reserved when its request is accepted:
// a cancel marks a reserved wait, which then answers SCARD_E_CANCELLED
// without calling the library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "PcscNative.h"

class StatusWaitContexts {
 public:
  // scope: the scope the server's context was established with.
  StatusWaitContexts(const pcscnative::Pcsc& pcsc, uint32_t scope);
  ~StatusWaitContexts();
  StatusWaitContexts(const StatusWaitContexts&) = delete;
  StatusWaitContexts& operator=(const StatusWaitContexts&) = delete;

  // A wait to come, which a cancel from now on ends: its id for Wait, or 0
  // when the set is closed.
  uint64_t Reserve();
  // A reserved wait that will not run.
  void Drop(uint64_t reserved);

  // Runs the reserved wait on a context of its own: the library's answer,
  // or SCARD_E_CANCELLED at once when the set is closed (a reservation of 0
  // included) or a cancel came after the reservation.
  uint32_t Wait(uint64_t reserved, uint32_t timeout, std::vector<pcscnative::ReaderState>& states);
  // Reserves and runs a wait at once.
  uint32_t Wait(uint32_t timeout, std::vector<pcscnative::ReaderState>& states);

  // Cancels the waits reserved or in progress and waits up to bound for
  // each of those in progress to leave, repeating the cancel meanwhile: 0
  // when they have left, else the last cancel's result. None is sent to a
  // wait that has no context yet. *any is false when no wait is reserved or
  // in progress.
  uint32_t Cancel(std::chrono::milliseconds bound, bool* any = nullptr);

  // No wait starts any more: the idle contexts are released, and the waits
  // in progress are cancelled until every one has left.
  void Close();

  // Waits between taking a context and giving it back.
  size_t InProgress();

 private:
  struct Entry {
    uint64_t id;
    int64_t context;  // 0 while reserved
    bool cancelled;
  };

  bool AnyOf(const std::vector<uint64_t>& ids) const;
  std::list<Entry>::iterator Find(uint64_t id);
  // bound 0: no limit.
  uint32_t CancelRunning(std::chrono::milliseconds bound, bool* any);

  const pcscnative::Pcsc pcsc_;
  const uint32_t scope_;
  std::mutex mutex_;
  std::condition_variable left_;
  // Reserved and in progress.
  std::list<Entry> running_;
  // At most one context kept for the next wait.
  std::vector<int64_t> idle_;
  uint64_t nextId_ = 1;
  bool closed_ = false;
};
