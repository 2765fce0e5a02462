// A socket wait that also watches for writability and can be cut short by
// another thread: what WSAEventSelect with FD_READ | FD_WRITE and an extra
// event set by hand give a Winsock loop.
#pragma once

#include "pelplat/net.h"

// An event another thread sets to end a socket wait at once. It stays set
// until a wait sees it (or Clear), so a set between two waits is not lost.
class SocketWakeup {
 public:
  SocketWakeup();
  ~SocketWakeup();
  SocketWakeup(const SocketWakeup&) = delete;
  SocketWakeup& operator=(const SocketWakeup&) = delete;

  bool Valid() const { return fd_ >= 0; }
  void Set();
  void Clear() const;
  int Handle() const { return fd_; }

 private:
  int fd_;
};

// Waits until one of the sockets has data, a closed peer or an error to
// report (readable[i]), one whose wantWrite[i] is true can take data
// (writable[i]), or the wakeup is set (wakeup may be null; a wait that sees
// it set clears it). The count of sockets ready either way (0 when only the
// wakeup ended the wait, or after timeoutMs), -1 on error. wantWrite may be
// null for none.
int SocketWaitEvents(const SOCKET* sockets, int count, const bool* wantWrite, const SocketWakeup* wakeup,
                     DWORD timeoutMs, bool* readable, bool* writable);
