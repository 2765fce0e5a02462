#include "pelplat/synch.h"

#include <chrono>
#include <sched.h>
#include <thread>

#include "../handle/handle.h"
#include "pelplat/winerror.h"

using namespace pelplat;

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_destroy(&cs->mutex); }
void EnterCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_lock(&cs->mutex); }
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) { return pthread_mutex_trylock(&cs->mutex) == 0; }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_unlock(&cs->mutex); }

// Names are not shared between processes here; every call makes a new object.
HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR) {
  auto event = std::make_shared<KernelObject>(ObjectType::kEvent);
  event->manualReset = manualReset != FALSE;
  event->signalled = initialState != FALSE;
  std::lock_guard<std::mutex> lock(KernelLock());
  return InsertHandle(std::move(event));
}

BOOL SetEvent(HANDLE handle) {
  std::lock_guard<std::mutex> lock(KernelLock());
  ObjectRef event = LookupTyped(handle, ObjectType::kEvent);
  if (!event) return FALSE;
  event->signalled = true;
  Wake(*event);
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  std::lock_guard<std::mutex> lock(KernelLock());
  ObjectRef event = LookupTyped(handle, ObjectType::kEvent);
  if (!event) return FALSE;
  event->signalled = false;
  return TRUE;
}

HANDLE CreateMutexW(SECURITY_ATTRIBUTES*, BOOL initialOwner, LPCWSTR) {
  auto mutex = std::make_shared<KernelObject>(ObjectType::kMutex);
  std::lock_guard<std::mutex> lock(KernelLock());
  if (initialOwner) TakeOwnership(mutex);
  return InsertHandle(std::move(mutex));
}

BOOL ReleaseMutex(HANDLE handle) {
  const DWORD self = CallingThreadId();
  std::lock_guard<std::mutex> lock(KernelLock());
  ObjectRef mutex = LookupTyped(handle, ObjectType::kMutex);
  if (!mutex) return FALSE;
  if (mutex->recursion == 0 || mutex->owner != self) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mutex->recursion == 0) {
    DropOwnership(mutex);
    Wake(*mutex);
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) { return WaitFor(1, &handle, false, milliseconds); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return WaitFor(count, handles, waitAll != FALSE, milliseconds);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
  } else if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}
