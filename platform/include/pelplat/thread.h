// Threads. The handle is waitable and signalled when the thread ends; closing
// it does not stop the thread.
#pragma once

#include "pelplat/synch.h"

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID param);

#define CREATE_SUSPENDED 0x00000004u
#define STILL_ACTIVE 259u

#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15

// CREATE_SUSPENDED is not supported (returns null). stackSize 0 = default.
HANDLE CreateThread(SECURITY_ATTRIBUTES* sa, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
// Accepted and ignored: an unprivileged Linux process could lower a thread's
// priority but never raise it back.
BOOL SetThreadPriority(HANDLE thread, int priority);
HANDLE GetCurrentThread();  // pseudo handle, valid only for SetThreadPriority
