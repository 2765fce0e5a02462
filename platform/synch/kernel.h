// The kernel-object model behind HANDLE: events, mutexes and threads with
// reference counts, and the waits on them. Internal to the platform library.
//
// One process-wide lock guards the handle table, every object's state and
// every waiter list. A blocked wait registers a Waiter on each object it
// waits for; whoever makes an object signalled hands it straight to the
// waiters that can now be satisfied (FIFO) and wakes only those.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "pelplat/thread.h"

namespace pelplat {

enum class ObjectType { kEvent, kMutex, kThread };

struct Waiter;
struct OwnedMutexes;

struct KernelObject {
  explicit KernelObject(ObjectType t) : type(t) {}
  const ObjectType type;
  bool manualReset = false;  // event
  bool signalled = false;    // event set, or thread ended
  DWORD owner = 0;           // mutex: owning thread id while recursion > 0
  DWORD recursion = 0;
  bool abandoned = false;    // mutex: its owner ended without releasing it
  OwnedMutexes* ownerList = nullptr;
  DWORD threadId = 0;        // thread
  DWORD exitCode = STILL_ACTIVE;
  std::vector<Waiter*> waiters;
};

using ObjectRef = std::shared_ptr<KernelObject>;

std::mutex& KernelLock();
// With KernelLock held:
HANDLE InsertHandle(ObjectRef object);
ObjectRef LookupHandle(HANDLE handle);  // null when the handle is not open
void Wake(KernelObject& object);        // call after the object became signalled

// Gives up the mutexes the calling thread still owns, as abandoned.
void AbandonOwnedMutexes();

}  // namespace pelplat
