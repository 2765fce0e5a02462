// The datagram module of the test host: one UDP socket on a loopback
// address that sends datagrams to the client's discovery sockets and takes
// what they send.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

namespace testhost {

sockaddr_in LoopbackAddress(const char* address, uint16_t port);

class DatagramPeer {
 public:
  DatagramPeer() = default;
  ~DatagramPeer();
  DatagramPeer(const DatagramPeer&) = delete;
  DatagramPeer& operator=(const DatagramPeer&) = delete;

  bool Bind(const char* address = "127.0.0.1", uint16_t port = 0);
  uint16_t Port() const { return port_; }
  sockaddr_in Address() const { return bound_; }
  // One datagram, possibly empty.
  bool SendTo(const sockaddr_in& to, const void* data, size_t size);
  // One datagram; false after timeoutMs.
  bool Receive(std::vector<uint8_t>* out, sockaddr_in* from, int timeoutMs);
  void Close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in bound_{};
};

}  // namespace testhost
