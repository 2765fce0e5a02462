#include "sys/_synchro.h"

#include <cstring>
#include <new>

#include "pelplat/thread.h"

// ---- CxLock ----------------------------------------------------------------

CxLock::CxLock() { InitializeCriticalSection(&section); }

CxLock::~CxLock() { DeleteCriticalSection(&section); }

void CxLock::Acquire(const char* file, int line) {
  EnterCriticalSection(&section);
  ++lockCount;
  ownerFile = file;
  ownerLine = line;
}

void CxLock::Release() {
  // The count must change while the section is still ours.
  --lockCount;
  LeaveCriticalSection(&section);
}

// ---- CxAutoLock ------------------------------------------------------------

// The guard records its own header position, so a debugger shows which
// acquisitions went through a guard rather than through a direct Acquire.
static const char kGuardFile[] = "_synchro.h";
static const int kGuardLine = 174;

CxAutoLock::CxAutoLock(CxLock* lock) : held_(lock) {
  if (held_) held_->Acquire(kGuardFile, kGuardLine);
}

CxAutoLock::~CxAutoLock() { Unlock(); }

void CxAutoLock::Unlock() {
  if (!held_) return;
  CxLock* lock = held_;
  held_ = nullptr;
  lock->Release();
}

// ---- CxEvent ---------------------------------------------------------------

bool CxEvent::Create(bool manualReset, bool initiallySignalled) {
  handle = CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE,
                        nullptr);
  return handle != nullptr;
}

BOOL CxEvent::Close() {
  if (!handle) return TRUE;
  BOOL closed = CloseHandle(handle);
  if (closed) handle = nullptr;
  return closed;
}

BOOL CxEvent::Set() { return handle ? SetEvent(handle) : FALSE; }

BOOL CxEvent::Reset() { return handle ? ResetEvent(handle) : FALSE; }

bool CxEvent::Wait(DWORD milliseconds) {
  if (!handle) return false;
  return WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0;
}

// ---- CxThread --------------------------------------------------------------

int CxThread::Start(EntryFunction entry, void* arg) {
  handle = CreateThread(nullptr, 0, entry, arg, 0, nullptr);
  return handle ? 0 : -1;
}

DWORD CxThread::ThreadEntry(void* object) {
  if (object) static_cast<CxThread*>(object)->Run();
  return 0;
}

// ---- CxQueue ---------------------------------------------------------------

// `open` is read once without the lock as a fast refusal; every write happens
// under the lock, and both go through atomic accesses so that the unlocked
// read is not a data race.
static int32_t LoadOpen(const int32_t* open) { return __atomic_load_n(open, __ATOMIC_ACQUIRE); }
static void StoreOpen(int32_t* open, int32_t value) {
  __atomic_store_n(open, value, __ATOMIC_RELEASE);
}

CxQueue::CxQueue() {
  event.Create(false, false);
  StoreOpen(&open, 1);
}

CxQueue::~CxQueue() {
  Close();
  event.Close();
}

int CxQueue::Push(CxQueueNode* node, int flags) {
  if (!LoadOpen(&open) || !node) return 0;
  CxAutoLock guard(&lock);
  // Close may have drained the queue between the check above and the lock; a
  // node linked now would never be freed.
  if (!LoadOpen(&open)) return 0;

  node->next = nullptr;
  node->prev = tail;
  if (tail)
    tail->next = node;
  else
    head = node;
  tail = node;

  byteTotal += node->length;
  ++nodeCount;
  if (flags & kMarked) ++markedCount;
  if (flags & kSignal) event.Set();
  return 1;
}

CxQueueNode* CxQueue::UnlinkHeadLocked() {
  CxQueueNode* node = head;
  if (!node) return nullptr;
  byteTotal = node->length > byteTotal ? 0 : byteTotal - node->length;
  head = node->next;
  if (head)
    head->prev = nullptr;
  else
    tail = nullptr;
  --nodeCount;
  return node;
}

bool CxQueue::Pop(CxQueueNode** out) {
  if (!out) return false;
  CxAutoLock guard(&lock);
  *out = UnlinkHeadLocked();
  return *out != nullptr;
}

void CxQueue::Unmark() {
  CxAutoLock guard(&lock);
  if (markedCount != 0) --markedCount;
}

void CxQueue::Close() {
  {
    // Cleared under the lock: a Push that holds the lock now links before the
    // drain below, and every later Push sees the queue closed.
    CxAutoLock guard(&lock);
    StoreOpen(&open, 0);
  }
  for (;;) {
    CxQueueNode* node;
    {
      CxAutoLock guard(&lock);
      node = UnlinkHeadLocked();
    }
    if (!node) break;
    delete node;
  }
}

// ---- CxInlineBlock ---------------------------------------------------------

CxInlineBlock* CxInlineBlock::Allocate(uint32_t n) {
  void* block = ::operator new(sizeof(CxInlineBlock) + size_t{n}, std::nothrow);
  if (!block) return nullptr;
  return ::new (block) CxInlineBlock();
}

int CxInlineBlock::Assign(const void* source, uint32_t n) {
  prev = nullptr;
  next = nullptr;
  length = n;
  if (n == 0) {
    data = nullptr;
    return 0;
  }
  data = Inline();
  std::memcpy(data, source, n);
  return 1;
}
