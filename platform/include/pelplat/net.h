// Sockets as the session transport uses them: POSIX sockets with the few
// Winsock names the calling code was written with, sends that never raise
// SIGPIPE, a connect whose wait is bounded and can be cut short, the name
// service, and the local adapter list behind a provider that tests replace.
//
// Failures answer -1 (or INVALID_SOCKET) and leave the Windows error number
// in the thread's last error (pelplat/winerror.h).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "pelplat/wintypes.h"

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

// Answered by the non-blocking reads and sends when nothing can move now.
#define SOCKET_WOULD_BLOCK (-2)

// Windows error numbers of the socket failures callers tell apart.
#define WSAETIMEDOUT 10060u
#define WSAECONNREFUSED 10061u
#define WSAEINTR 10004u

// A close-on-exec socket of the family (AF_INET) and type (SOCK_STREAM,
// SOCK_DGRAM).
SOCKET SocketOpen(int family, int type);
int closesocket(SOCKET s);
// Both directions; the descriptor stays valid until closesocket.
int SocketShutdown(SOCKET s);
int SocketSetIntOption(SOCKET s, int level, int name, int value);
int SocketBind(SOCKET s, const sockaddr_in* address);
int SocketLocalAddress(SOCKET s, sockaddr_in* address);

// Connects within timeoutMs. The wait is cut short, answering -1 with
// WSAEINTR, as soon as *abort becomes true (checked every few tens of
// milliseconds; abort may be null). A refused or timed-out connect answers
// -1 with WSAECONNREFUSED or WSAETIMEDOUT. The socket is left in blocking
// mode.
int SocketConnect(SOCKET s, const sockaddr_in* address, DWORD timeoutMs,
                  const std::atomic<bool>* abort);

// One non-blocking send (to the connected peer when `to` is null): the bytes
// taken (possibly fewer than asked), SOCKET_WOULD_BLOCK, or -1.
int SocketSend(SOCKET s, const void* data, int length, const sockaddr_in* to);
// One non-blocking stream read: the bytes read, 0 when the peer closed,
// SOCKET_WOULD_BLOCK, or -1.
int SocketReceive(SOCKET s, void* buffer, int length);
// One non-blocking datagram read: the bytes stored (at most length),
// SOCKET_WOULD_BLOCK, or -1. *datagramLength receives the datagram's real
// size, which is larger than the answer when the buffer was too small.
int SocketReceiveFrom(SOCKET s, void* buffer, int length, sockaddr_in* from,
                      int* datagramLength);
// Bytes waiting to be read (for a datagram socket: the size of the next
// datagram, which may be 0). 0, or -1.
int SocketPendingBytes(SOCKET s, uint32_t* count);

// 1 when the socket can take data (or has failed, so that the next send
// reports it), 0 after timeoutMs, -1 on error.
int SocketWaitWritable(SOCKET s, DWORD timeoutMs);
// Waits until one of the sockets has data, a closed peer or an error to
// report; ready[i] tells which. The count of ready sockets, 0 after
// timeoutMs, -1 on error. Descriptors of any value are fine.
int SocketWaitReadable(const SOCKET* sockets, int count, DWORD timeoutMs, bool* ready);

// The name service: a dotted IPv4 text ("a.b.c.d" only).
bool ParseDottedIPv4(const char* text, in_addr* out);
// IPv4 addresses of a host name in the name service's order, at most max.
// The count, 0 when the name is unknown.
int ResolveHostIPv4(const char* name, in_addr* out, int max);
// The same, but the caller does not have to wait for the name service: the
// lookup runs on a thread of its own and `stopped` is asked every few
// milliseconds; once it answers true this returns 0 at once and the
// lookup's late answer is dropped. Answers -1 when stopped.
int ResolveHostIPv4Until(const char* name, in_addr* out, int max, const std::atomic<bool>& stopped);
// Replaces the lookup behind ResolveHostIPv4Until (null restores the name
// service) and answers the one it replaced; tests put a slow one here.
typedef int (*HostResolver)(const char* name, in_addr* out, int max);
HostResolver SetHostResolver(HostResolver resolver);

// Adapter types as the adapter list reports them.
#define MIB_IF_TYPE_OTHER 1u
#define MIB_IF_TYPE_ETHERNET 6u
#define MIB_IF_TYPE_LOOPBACK 24u
#define IF_TYPE_IEEE80211 71u

struct NetAdapter {
  std::string name;
  DWORD type = MIB_IF_TYPE_OTHER;
  in_addr firstAddress{};  // the adapter's first IPv4 address; 0 when it has none
};

// ERROR_SUCCESS and the list, or a Windows error number.
typedef DWORD (*AdapterListProvider)(std::vector<NetAdapter>& out);
DWORD GetAdapterList(std::vector<NetAdapter>& out);
// Replaces the provider behind GetAdapterList (null restores the system's
// own) and answers the one it replaced.
AdapterListProvider SetAdapterListProvider(AdapterListProvider provider);
// The system's own list: the interfaces getifaddrs reports that are up and,
// but for loopback, broadcast-capable, in its order.
DWORD SystemAdapterList(std::vector<NetAdapter>& out);
