// Synchronisation classes of the common library: the owner-recording lock,
// its scope guard, the event, the thread base, the closable queue and the
// inline-data queue node. Nothing here throws; the classes do not copy.
#pragma once

#include <cstdint>

#include "pelplat/synch.h"
#include "pelplat/wintypes.h"

// Lock record embedded wherever a lock is needed: ready from construction,
// deleted with its owner. The owner fields are for a debugger; no code reads
// them.
struct CxLock {
  CRITICAL_SECTION section;
  int32_t lockCount = 0;
  const char* ownerFile = nullptr;
  int32_t ownerLine = 0;

  CxLock();
  ~CxLock();
  void Acquire(const char* file, int line);
  void Release();
  CxLock(const CxLock&) = delete;
  CxLock& operator=(const CxLock&) = delete;
};

// Scope guard. A null lock makes a guard that does nothing.
class CxAutoLock {
 public:
  explicit CxAutoLock(CxLock* lock);
  ~CxAutoLock();
  void Unlock();
  CxAutoLock(const CxAutoLock&) = delete;
  CxAutoLock& operator=(const CxAutoLock&) = delete;

 private:
  CxLock* held_;
};

class CxEvent {
 public:
  CxEvent() = default;
  // Does not close the OS event: owners call Close themselves.
  virtual ~CxEvent() = default;
  bool Create(bool manualReset, bool initiallySignalled);
  BOOL Close();
  BOOL Set();
  BOOL Reset();
  // True only when signalled within the time; 0xFFFFFFFF waits forever.
  bool Wait(DWORD milliseconds);
  HANDLE handle = nullptr;

  CxEvent(const CxEvent&) = delete;
  CxEvent& operator=(const CxEvent&) = delete;
};

class CxThread {
 public:
  typedef DWORD (*EntryFunction)(void* arg);
  CxThread() = default;
  // Neither joins nor closes the handle: that is the derived class's business.
  virtual ~CxThread() = default;
  virtual int Run() = 0;
  int Start(EntryFunction entry, void* arg);  // 0 or -1
  static DWORD ThreadEntry(void* object);     // calls Run, returns 0
  HANDLE handle = nullptr;

  CxThread(const CxThread&) = delete;
  CxThread& operator=(const CxThread&) = delete;
};

// What every queued object begins with. The queue owns no storage of its
// own; it may free a node with the plain delete operation.
struct CxQueueNode {
  CxQueueNode* prev = nullptr;
  CxQueueNode* next = nullptr;
  uint32_t length = 0;

  CxQueueNode() = default;
  virtual ~CxQueueNode() = default;
  // Nodes may be allocated larger than their class (inline data), so the
  // delete that frees them must not pass the class size on.
  static void* operator new(size_t size) { return ::operator new(size); }
  static void operator delete(void* p) { ::operator delete(p); }
};

// Closable multi-producer, multi-consumer FIFO of linked nodes.
class CxQueue {
 public:
  enum PushFlags { kSignal = 1, kMarked = 2 };

  CxQueue();
  ~CxQueue();
  int Push(CxQueueNode* node, int flags);  // 1 queued, 0 refused (caller keeps it)
  bool Pop(CxQueueNode** out);
  void Unmark();
  void Close();  // frees every queued node; refuses pushes from now on

  CxEvent event;
  int32_t markedCount = 0;
  int32_t nodeCount = 0;
  uint32_t byteTotal = 0;
  CxQueueNode* tail = nullptr;
  CxQueueNode* head = nullptr;
  CxLock lock;
  int32_t open = 0;

  CxQueue(const CxQueue&) = delete;
  CxQueue& operator=(const CxQueue&) = delete;

 private:
  CxQueueNode* UnlinkHeadLocked();
};

// A queue node that carries its data right behind its header.
struct CxInlineBlock : CxQueueNode {
  uint8_t* data = nullptr;

  // One block of header + n bytes; free with delete.
  static CxInlineBlock* Allocate(uint32_t n);
  int Assign(const void* source, uint32_t n);  // 1 copied, 0 for n == 0
  uint8_t* Inline() { return reinterpret_cast<uint8_t*>(this + 1); }
};
