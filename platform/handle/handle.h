// The kernel-object model behind HANDLE: events, mutexes and threads with
// reference counts, and the waits on them. Shared by the synch and thread
// areas, which include this and nothing of each other. Internal to the
// platform library.
//
// One process-wide lock guards the handle table, every object's state and
// every waiter list. A blocked wait registers a Waiter on each object it
// waits for; whoever makes an object signalled hands it straight to the
// waiters that can now be satisfied (FIFO) and wakes only those.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "pelplat/wintypes.h"

namespace pelplat {

enum class ObjectType { kEvent, kMutex, kThread };

struct Waiter;

// The mutexes a thread owns, given up as abandoned when it ends.
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
  DWORD exitCode = 0;        // thread: set by its creator while it runs
  std::vector<Waiter*> waiters;
};

using ObjectRef = std::shared_ptr<KernelObject>;

// The kernel's id of the calling thread.
DWORD CallingThreadId();

std::mutex& KernelLock();
// With KernelLock held:
HANDLE InsertHandle(ObjectRef object);
ObjectRef LookupHandle(HANDLE handle);  // null when the handle is not open
// Null with ERROR_INVALID_HANDLE unless the handle is open and of that type.
ObjectRef LookupTyped(HANDLE handle, ObjectType type);
void Wake(KernelObject& object);        // call after the object became signalled
// With KernelLock held: records the calling thread as the new owner of an
// unowned mutex.
void TakeOwnership(const ObjectRef& mutex);
// With KernelLock held: the owner's last release.
void DropOwnership(const ObjectRef& mutex);

// Waits for any or all of the handles (the semantics of
// WaitForMultipleObjects); takes KernelLock itself.
DWORD WaitFor(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds);

// Gives up the mutexes the calling thread still owns, as abandoned.
void AbandonOwnedMutexes();

}  // namespace pelplat
