#include "pelplat/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <memory>
#include <thread>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "pelplat/winerror.h"

namespace {

// Socket failures carry the Winsock numbers that callers and log lines
// quote; everything else goes through the general errno mapping.
struct SocketErrorName {
  int err;
  DWORD code;
};
const SocketErrorName kSocketErrors[] = {
    {EINTR, WSAEINTR},          {EACCES, 10013},       {EINVAL, 10022},
    {EMFILE, 10024},            {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036},
    {EALREADY, 10037},          {ENOTSOCK, 10038},     {EMSGSIZE, 10040},
    {EADDRINUSE, 10048},        {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},       {ECONNABORTED, 10053}, {ECONNRESET, 10054},
    {ENOBUFS, 10055},           {EISCONN, 10056},      {ENOTCONN, 10057},
    {EPIPE, 10058},             {ETIMEDOUT, WSAETIMEDOUT}, {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTUNREACH, 10065},
};

int Fail(int err) {
  DWORD code = WinErrorFromErrno(err);
  for (const SocketErrorName& e : kSocketErrors) {
    if (e.err == err) {
      code = e.code;
      break;
    }
  }
  SetLastError(code);
  return -1;
}

int FailOrWouldBlock(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) return SOCKET_WOULD_BLOCK;
  return Fail(err);
}

int PollTimeout(DWORD timeoutMs) {
  return timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
}

constexpr int kConnectPollSliceMs = 25;
constexpr int kMaxWaitSockets = 64;

}  // namespace

SOCKET SocketOpen(int family, int type) {
  SOCKET s = socket(family, type | SOCK_CLOEXEC, 0);
  if (s < 0) {
    Fail(errno);
    return INVALID_SOCKET;
  }
  return s;
}

int closesocket(SOCKET s) { return close(s) == 0 ? 0 : Fail(errno); }

int SocketShutdown(SOCKET s) { return shutdown(s, SHUT_RDWR) == 0 ? 0 : Fail(errno); }

int SocketSetIntOption(SOCKET s, int level, int name, int value) {
  return setsockopt(s, level, name, &value, sizeof value) == 0 ? 0 : Fail(errno);
}

int SocketBind(SOCKET s, const sockaddr_in* address) {
  return bind(s, reinterpret_cast<const sockaddr*>(address), sizeof *address) == 0 ? 0 : Fail(errno);
}

int SocketLocalAddress(SOCKET s, sockaddr_in* address) {
  socklen_t len = sizeof *address;
  memset(address, 0, sizeof *address);
  if (getsockname(s, reinterpret_cast<sockaddr*>(address), &len) != 0) {
    memset(address, 0, sizeof *address);
    return Fail(errno);
  }
  return 0;
}

int SocketConnect(SOCKET s, const sockaddr_in* address, DWORD timeoutMs,
                  const std::atomic<bool>* abort) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0) return Fail(errno);
  if (fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(errno);

  int err = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      using Clock = std::chrono::steady_clock;
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
      for (;;) {
        if (abort && abort->load()) {
          err = EINTR;
          break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
          err = ETIMEDOUT;
          break;
        }
        pollfd p{s, POLLOUT, 0};
        int r = poll(&p, 1, static_cast<int>(left < kConnectPollSliceMs ? left : kConnectPollSliceMs));
        if (r > 0) {
          socklen_t len = sizeof err;
          if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
          break;
        }
        if (r < 0 && errno != EINTR) {
          err = errno;
          break;
        }
      }
    }
  }
  fcntl(s, F_SETFL, flags);
  return err ? Fail(err) : 0;
}

int SocketSend(SOCKET s, const void* data, int length, const sockaddr_in* to) {
  if (length < 0) return Fail(EINVAL);
  for (;;) {
    ssize_t n = to ? sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT,
                            reinterpret_cast<const sockaddr*>(to), sizeof *to)
                   : send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return FailOrWouldBlock(errno);
  }
}

int SocketReceive(SOCKET s, void* buffer, int length) {
  if (length < 0) return Fail(EINVAL);
  for (;;) {
    ssize_t n = recv(s, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return FailOrWouldBlock(errno);
  }
}

int SocketReceiveFrom(SOCKET s, void* buffer, int length, sockaddr_in* from, int* datagramLength) {
  if (length < 0) return Fail(EINVAL);
  for (;;) {
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    ssize_t n = recvfrom(s, buffer, static_cast<size_t>(length), MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&sender), &len);
    if (n >= 0) {
      if (from) *from = sender;
      if (datagramLength) *datagramLength = static_cast<int>(n);
      return n > length ? length : static_cast<int>(n);
    }
    if (errno != EINTR) return FailOrWouldBlock(errno);
  }
}

int SocketPendingBytes(SOCKET s, uint32_t* count) {
  int n = 0;
  if (ioctl(s, FIONREAD, &n) != 0) return Fail(errno);
  *count = n < 0 ? 0u : static_cast<uint32_t>(n);
  return 0;
}

int SocketWaitWritable(SOCKET s, DWORD timeoutMs) {
  pollfd p{s, POLLOUT, 0};
  int r = poll(&p, 1, PollTimeout(timeoutMs));
  if (r < 0) return errno == EINTR ? 0 : Fail(errno);
  if (r == 0) return 0;
  return (p.revents & POLLNVAL) ? Fail(EBADF) : 1;
}

int SocketWaitReadable(const SOCKET* sockets, int count, DWORD timeoutMs, bool* ready) {
  if (count < 0 || count > kMaxWaitSockets) return Fail(EINVAL);
  pollfd p[kMaxWaitSockets];
  for (int i = 0; i < count; ++i) {
    p[i] = pollfd{sockets[i], POLLIN, 0};
    ready[i] = false;
  }
  int r = poll(p, static_cast<nfds_t>(count), PollTimeout(timeoutMs));
  if (r < 0) return errno == EINTR ? 0 : Fail(errno);
  int n = 0;
  for (int i = 0; i < count; ++i) {
    ready[i] = (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    n += ready[i];
  }
  return n;
}

bool ParseDottedIPv4(const char* text, in_addr* out) {
  return text && inet_pton(AF_INET, text, out) == 1;
}

int ResolveHostIPv4(const char* name, in_addr* out, int max) {
  if (!name || !*name || max <= 0) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0 || !list) return 0;
  int n = 0;
  for (addrinfo* a = list; a && n < max; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    in_addr address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || out[i].s_addr == address.s_addr;
    if (!seen) out[n++] = address;
  }
  freeaddrinfo(list);
  return n;
}

namespace {

std::atomic<HostResolver> g_resolver{nullptr};

// What a lookup thread and the caller waiting for it share; whoever leaves
// last frees it.
struct PendingLookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int count = 0;
  std::vector<in_addr> found;
};

}  // namespace

HostResolver SetHostResolver(HostResolver resolver) { return g_resolver.exchange(resolver); }

int ResolveHostIPv4Until(const char* name, in_addr* out, int max, const std::atomic<bool>& stopped) {
  if (!name || !*name || max <= 0) return 0;
  auto lookup = std::make_shared<PendingLookup>();
  HostResolver resolver = g_resolver.load();
  if (!resolver) resolver = ResolveHostIPv4;
  try {
    std::thread([lookup, resolver, host = std::string(name), max] {
      std::vector<in_addr> found(static_cast<size_t>(max));
      const int n = resolver(host.c_str(), found.data(), max);
      std::lock_guard<std::mutex> hold(lookup->mutex);
      lookup->count = n < 0 ? 0 : (n > max ? max : n);
      lookup->found = std::move(found);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return stopped.load() ? -1 : resolver(name, out, max);  // no thread to spare: wait for it here
  }
  std::unique_lock<std::mutex> hold(lookup->mutex);
  while (!lookup->finished) {
    if (stopped.load()) return -1;
    lookup->done.wait_for(hold, std::chrono::milliseconds(20));
  }
  for (int i = 0; i < lookup->count; ++i) out[i] = lookup->found[static_cast<size_t>(i)];
  return lookup->count;
}

namespace {

std::mutex g_providerMutex;
AdapterListProvider g_provider = nullptr;

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The kernel's hardware type of an interface (ARPHRD_*), -1 when unknown.
int HardwareType(const std::string& name) {
  FILE* f = fopen(("/sys/class/net/" + name + "/type").c_str(), "re");
  if (!f) return -1;
  int type = -1;
  if (fscanf(f, "%d", &type) != 1) type = -1;
  fclose(f);
  return type;
}

DWORD AdapterType(const std::string& name, unsigned flags) {
  constexpr int kArphrdEther = 1;
  if (flags & IFF_LOOPBACK) return MIB_IF_TYPE_LOOPBACK;
  if (PathExists("/sys/class/net/" + name + "/wireless")) return IF_TYPE_IEEE80211;
  int hw = HardwareType(name);
  // Without sysfs nothing tells the kinds apart; Ethernet is what such a
  // machine almost always has.
  return (hw == kArphrdEther || hw < 0) ? MIB_IF_TYPE_ETHERNET : MIB_IF_TYPE_OTHER;
}

}  // namespace

DWORD SystemAdapterList(std::vector<NetAdapter>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    Fail(errno);
    return GetLastError();
  }
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_name) continue;
    // Only interfaces that can carry a broadcast now: discovery sends one
    // probe per listed adapter.
    const bool loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
    if (!(a->ifa_flags & IFF_UP) || (!loopback && !(a->ifa_flags & IFF_BROADCAST))) continue;
    NetAdapter* adapter = nullptr;
    for (NetAdapter& known : out) {
      if (known.name == a->ifa_name) adapter = &known;
    }
    if (!adapter) {
      out.push_back(NetAdapter{a->ifa_name, AdapterType(a->ifa_name, a->ifa_flags), in_addr{}});
      adapter = &out.back();
    }
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && adapter->firstAddress.s_addr == 0)
      adapter->firstAddress = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
  }
  freeifaddrs(list);
  return ERROR_SUCCESS;
}

DWORD GetAdapterList(std::vector<NetAdapter>& out) {
  AdapterListProvider provider;
  {
    std::lock_guard<std::mutex> hold(g_providerMutex);
    provider = g_provider;
  }
  return provider ? provider(out) : SystemAdapterList(out);
}

AdapterListProvider SetAdapterListProvider(AdapterListProvider provider) {
  std::lock_guard<std::mutex> hold(g_providerMutex);
  AdapterListProvider old = g_provider;
  g_provider = provider;
  return old;
}
