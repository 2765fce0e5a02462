#include "pelplat/thread.h"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <unistd.h>

#include "../handle/handle.h"
#include "pelplat/winerror.h"

using namespace pelplat;

namespace {

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct ThreadStart {
  ObjectRef self;
  LPTHREAD_START_ROUTINE start;
  LPVOID param;
  std::condition_variable* started;  // the creator's, until the id is known
};

void* ThreadMain(void* arg) {
  std::unique_ptr<ThreadStart> ts(static_cast<ThreadStart*>(arg));
  {
    std::lock_guard<std::mutex> lock(KernelLock());
    ts->self->threadId = CallingThreadId();
    ts->started->notify_one();
    ts->started = nullptr;
  }
  const DWORD code = ts->start(ts->param);
  // Before the handle signals, so that whoever waited for this thread finds
  // its mutexes already free.
  AbandonOwnedMutexes();
  std::lock_guard<std::mutex> lock(KernelLock());
  ts->self->exitCode = code;
  ts->self->signalled = true;
  Wake(*ts->self);
  return nullptr;
}

}  // namespace

HANDLE CreateThread(SECURITY_ATTRIBUTES*, size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId) {
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (flags & CREATE_SUSPENDED) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto self = std::make_shared<KernelObject>(ObjectType::kThread);
  self->exitCode = STILL_ACTIVE;
  std::condition_variable started;
  auto* ts = new ThreadStart{self, start, param, &started};

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // Windows takes the size as what to commit at first and still reserves its
  // default; here the default reservation costs nothing until used, so only
  // a larger request changes it. Smaller stacks would also lose room to
  // static TLS, which glibc carves out of the same block.
  size_t defaultSize = 0;
  pthread_attr_getstacksize(&attr, &defaultSize);
  if (stackSize > defaultSize) pthread_attr_setstacksize(&attr, stackSize);

  std::unique_lock<std::mutex> lock(KernelLock());
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, ThreadMain, ts);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete ts;
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : WinErrorFromErrno(rc));
    return nullptr;
  }
  started.wait(lock, [&] { return self->threadId != 0; });
  if (threadId) *threadId = self->threadId;
  return InsertHandle(std::move(self));
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  std::lock_guard<std::mutex> lock(KernelLock());
  ObjectRef object = LookupHandle(thread);
  if (!object || object->type != ObjectType::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = object->exitCode;
  return TRUE;
}

DWORD GetCurrentThreadId() { return CallingThreadId(); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

HANDLE GetCurrentThread() { return kCurrentThreadPseudoHandle; }

BOOL SetThreadPriority(HANDLE thread, int) {
  if (thread == kCurrentThreadPseudoHandle) return TRUE;
  std::lock_guard<std::mutex> lock(KernelLock());
  ObjectRef object = LookupHandle(thread);
  if (!object || object->type != ObjectType::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
