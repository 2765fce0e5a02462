#include "handle.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <unistd.h>
#include <unordered_map>

#include "pelplat/synch.h"
#include "pelplat/winerror.h"

namespace pelplat {

DWORD CallingThreadId() {
  thread_local const DWORD id = static_cast<DWORD>(gettid());
  return id;
}

struct Waiter {
  Waiter(const ObjectRef* o, DWORD n, bool all, DWORD self, OwnedMutexes* list)
      : objects(o), count(n), waitAll(all), thread(self), owned(list) {}
  const ObjectRef* objects;
  DWORD count;
  bool waitAll;
  DWORD thread;
  OwnedMutexes* owned;
  std::condition_variable wakeup;
  bool done = false;
  DWORD result = WAIT_FAILED;
};

struct OwnedMutexes {
  std::vector<ObjectRef> held;
  ~OwnedMutexes() { AbandonAll(); }
  void AbandonAll();
};

namespace {

struct HandleEntry {
  ObjectRef object;
  DWORD references;
};

using HandleTable = std::unordered_map<uintptr_t, HandleEntry>;

// Never destroyed: threads may still wait or end while statics go away.
struct Kernel {
  std::mutex lock;
  HandleTable handles;
  // Handle values are never reused, so a stale handle fails instead of
  // reaching a newer object.
  uintptr_t nextHandle = 0x100;
};

Kernel& TheKernel() {
  static Kernel* kernel = new Kernel;
  return *kernel;
}

// The list lives on the heap behind a trivially destructible pointer: code
// that runs after the thread's own thread-locals are gone (destructors of
// globals on the main thread) may still take and release mutexes.
thread_local OwnedMutexes* t_owned = nullptr;

struct OwnedMutexesReaper {
  ~OwnedMutexesReaper() {
    delete t_owned;  // abandons what the thread still holds
    t_owned = nullptr;
  }
};

OwnedMutexes& Owned() {
  if (!t_owned) {
    t_owned = new OwnedMutexes;
    // Initialised on the first pass only; a list made again after the reaper
    // ran (at process exit) is left to the end of the process.
    thread_local OwnedMutexesReaper reaper;
    (void)reaper;
  }
  return *t_owned;
}

bool Available(const KernelObject& o, const Waiter& w) {
  if (o.type == ObjectType::kMutex) return o.recursion == 0 || o.owner == w.thread;
  return o.signalled;
}

// Takes one available object for the waiter: WAIT_OBJECT_0 or WAIT_ABANDONED.
DWORD Take(const ObjectRef& ref, Waiter& w) {
  KernelObject& o = *ref;
  if (o.type == ObjectType::kEvent && !o.manualReset) o.signalled = false;
  if (o.type != ObjectType::kMutex) return WAIT_OBJECT_0;
  if (o.recursion++ == 0) {
    o.owner = w.thread;
    o.ownerList = w.owned;
    w.owned->held.push_back(ref);
  }
  const bool abandoned = o.abandoned;
  o.abandoned = false;
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool TrySatisfy(Waiter& w) {
  if (!w.waitAll) {
    for (DWORD i = 0; i < w.count; ++i) {
      if (Available(*w.objects[i], w)) {
        w.result = Take(w.objects[i], w) + i;
        return true;
      }
    }
    return false;
  }
  for (DWORD i = 0; i < w.count; ++i)
    if (!Available(*w.objects[i], w)) return false;
  w.result = WAIT_OBJECT_0;
  for (DWORD i = 0; i < w.count; ++i)
    if (Take(w.objects[i], w) == WAIT_ABANDONED && w.result == WAIT_OBJECT_0) w.result = WAIT_ABANDONED_0 + i;
  return true;
}

void Register(Waiter& w) {
  for (DWORD i = 0; i < w.count; ++i) w.objects[i]->waiters.push_back(&w);
}

void Unregister(Waiter& w) {
  for (DWORD i = 0; i < w.count; ++i) {
    auto& list = w.objects[i]->waiters;
    list.erase(std::remove(list.begin(), list.end(), &w), list.end());
  }
}

bool HasDuplicates(const ObjectRef* objects, DWORD count) {
  for (DWORD i = 0; i < count; ++i)
    for (DWORD j = i + 1; j < count; ++j)
      if (objects[i] == objects[j]) return true;
  return false;
}

template <class Change>
BOOL ChangeReferences(HANDLE handle, Change change) {
  Kernel& k = TheKernel();
  std::lock_guard<std::mutex> lock(k.lock);
  auto it = k.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == k.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  change(k.handles, it);
  return TRUE;
}

}  // namespace

std::mutex& KernelLock() { return TheKernel().lock; }

HANDLE InsertHandle(ObjectRef object) {
  Kernel& k = TheKernel();
  const uintptr_t value = k.nextHandle;
  k.nextHandle += 4;
  k.handles.emplace(value, HandleEntry{std::move(object), 1});
  return reinterpret_cast<HANDLE>(value);
}

ObjectRef LookupHandle(HANDLE handle) {
  Kernel& k = TheKernel();
  auto it = k.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == k.handles.end() ? nullptr : it->second.object;
}

ObjectRef LookupTyped(HANDLE handle, ObjectType type) {
  ObjectRef object = LookupHandle(handle);
  if (!object || object->type != type) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

DWORD WaitFor(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
  if (count == 0 || count > 64 || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  OwnedMutexes& owned = Owned();
  const DWORD self = CallingThreadId();
  std::unique_lock<std::mutex> lock(KernelLock());
  ObjectRef objects[64];
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = LookupHandle(handles[i]);
    if (!objects[i]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  // One object twice in a wait for all cannot be taken twice at once.
  if (waitAll && HasDuplicates(objects, count)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  Waiter w(objects, count, waitAll, self, &owned);
  if (TrySatisfy(w)) return w.result;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  Register(w);
  if (milliseconds == INFINITE) {
    w.wakeup.wait(lock, [&] { return w.done; });
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    if (!w.wakeup.wait_until(lock, deadline, [&] { return w.done; })) {
      Unregister(w);
      return WAIT_TIMEOUT;
    }
  }
  return w.result;
}

void Wake(KernelObject& object) {
  auto& list = object.waiters;
  for (size_t i = 0; i < list.size();) {
    Waiter& w = *list[i];
    if (!TrySatisfy(w)) {
      ++i;
      continue;
    }
    Unregister(w);  // removes list[i]
    w.done = true;
    w.wakeup.notify_one();
  }
}

void OwnedMutexes::AbandonAll() {
  std::lock_guard<std::mutex> lock(KernelLock());
  for (const ObjectRef& m : held) {
    m->owner = 0;
    m->recursion = 0;
    m->ownerList = nullptr;
    m->abandoned = true;
    Wake(*m);
  }
  held.clear();
}

void AbandonOwnedMutexes() { Owned().AbandonAll(); }

void TakeOwnership(const ObjectRef& mutex) {
  OwnedMutexes& owned = Owned();
  mutex->owner = CallingThreadId();
  mutex->recursion = 1;
  mutex->ownerList = &owned;
  owned.held.push_back(mutex);
}

void DropOwnership(const ObjectRef& mutex) {
  auto& held = mutex->ownerList->held;
  held.erase(std::find(held.begin(), held.end(), mutex));
  mutex->owner = 0;
  mutex->ownerList = nullptr;
}

}  // namespace pelplat

using namespace pelplat;

BOOL CloseHandle(HANDLE handle) {
  return ChangeReferences(handle, [](HandleTable& handles, HandleTable::iterator it) {
    if (--it->second.references == 0) handles.erase(it);
  });
}

BOOL DuplicateHandleRef(HANDLE handle) {
  return ChangeReferences(handle, [](HandleTable&, HandleTable::iterator it) { ++it->second.references; });
}
