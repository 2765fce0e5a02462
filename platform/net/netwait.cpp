#include "pelplat/netwait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "pelplat/winerror.h"

namespace {

constexpr int kMaxSockets = 64;

int FailWith(int err) {
  SetLastError(WinErrorFromErrno(err));
  return -1;
}

}  // namespace

SocketWakeup::SocketWakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SocketWakeup::~SocketWakeup() {
  if (fd_ >= 0) close(fd_);
}

void SocketWakeup::Set() {
  if (fd_ < 0) return;
  const uint64_t one = 1;
  // A full counter is still set; nothing else can go wrong here.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void SocketWakeup::Clear() const {
  if (fd_ < 0) return;
  uint64_t value = 0;
  while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

int SocketWaitEvents(const SOCKET* sockets, int count, const bool* wantWrite, const SocketWakeup* wakeup,
                     DWORD timeoutMs, bool* readable, bool* writable) {
  if (count < 0 || count > kMaxSockets) return FailWith(EINVAL);
  pollfd p[kMaxSockets + 1];
  for (int i = 0; i < count; ++i) {
    const short events = static_cast<short>(POLLIN | ((wantWrite && wantWrite[i]) ? POLLOUT : 0));
    p[i] = pollfd{sockets[i], events, 0};
    readable[i] = writable[i] = false;
  }
  nfds_t n = static_cast<nfds_t>(count);
  if (wakeup && wakeup->Valid()) p[n++] = pollfd{wakeup->Handle(), POLLIN, 0};
  const int timeout = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
  const int r = poll(p, n, timeout);
  if (r < 0) return errno == EINTR ? 0 : FailWith(errno);
  if (n > static_cast<nfds_t>(count) && (p[count].revents & POLLIN)) wakeup->Clear();
  int ready = 0;
  for (int i = 0; i < count; ++i) {
    readable[i] = (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    // A failed socket counts as writable, so that the next send reports it.
    writable[i] = (p[i].events & POLLOUT) && (p[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    ready += (readable[i] || writable[i]) ? 1 : 0;
  }
  return ready;
}
