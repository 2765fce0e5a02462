// Events, mutexes, critical sections and waits. A HANDLE is a reference to a
// kernel-object model (event, mutex, thread); CloseHandle drops one
// reference.
#pragma once

#include <pthread.h>

#include "pelplat/wintypes.h"

struct SECURITY_ATTRIBUTES;

// Recursive for the owning thread, as on Windows.
struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// Auto-reset events wake one waiter per Set; manual-reset events wake all
// and stay signalled until Reset. Object names are ignored: every call makes
// a new object.
HANDLE CreateEventW(SECURITY_ATTRIBUTES* sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Unnamed mutex, recursive for its owner. Release by another thread fails
// with ERROR_NOT_OWNER.
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* sa, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED (a mutex whose owner thread
// ended) or WAIT_FAILED. INFINITE waits without limit. Thread handles are
// signalled when the thread has ended.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits for any (waitAll false) or all of up to 64 handles; returns
// WAIT_OBJECT_0 + index of a signalled one (the lowest when several are),
// WAIT_ABANDONED_0 + index for an abandoned mutex, WAIT_TIMEOUT or
// WAIT_FAILED. A wait for all takes every object at once or none.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
BOOL DuplicateHandleRef(HANDLE handle);  // adds one reference (for owners that share)

void Sleep(DWORD milliseconds);
