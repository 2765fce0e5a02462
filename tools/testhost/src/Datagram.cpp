#include "testhost/Datagram.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "testhost/Framing.h"

namespace testhost {

namespace {
constexpr size_t kLargestDatagram = 65536;
}

sockaddr_in LoopbackAddress(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

DatagramPeer::~DatagramPeer() { Close(); }

bool DatagramPeer::Bind(const char* address, uint16_t port) {
  Close();
  sockaddr_in a = LoopbackAddress(address, port);
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  socklen_t len = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    Close();
    return false;
  }
  bound_ = a;
  port_ = ntohs(a.sin_port);
  return true;
}

bool DatagramPeer::SendTo(const sockaddr_in& to, const void* data, size_t size) {
  for (;;) {
    ssize_t n = sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n >= 0) return static_cast<size_t>(n) == size;
    if (errno != EINTR) return false;
  }
}

bool DatagramPeer::Receive(std::vector<uint8_t>* out, sockaddr_in* from, int timeoutMs) {
  if (!WaitReadable(fd_, timeoutMs)) return false;
  out->resize(kLargestDatagram);
  sockaddr_in sender{};
  socklen_t len = sizeof sender;
  ssize_t n = recvfrom(fd_, out->data(), out->size(), 0, reinterpret_cast<sockaddr*>(&sender), &len);
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n));
  if (from) *from = sender;
  return true;
}

void DatagramPeer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace testhost
