// The transport of one session or of server discovery: a table of socket
// entries, a receive loop on the owner's thread that cuts the TCP stream into
// framed packets (or reads raw datagrams), routing to the session client or a
// plain callback, and the writers.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "pelplat/net.h"
#include "sys/Atom.h"
#include "transport/ConnectTarget.h"
#include "transport/PacketHeader.h"
#include "transport/PacketStorage.h"
#include "transport/ProcessThread.h"
#include "transport/Status.h"
#include "sys/_synchro.h"

class CConnection;
class CGenericClient;
struct PacketBuffer;

// The receiver when there is no client: (slot id, sender, data, length,
// connection, user data). Notifications arrive as slot -1, no data and the
// code as length; a datagram read error as length -1.
typedef int (*ConnectionCallback)(int slot, const sockaddr_in* sender, const uint8_t* data, int length,
                                  CConnection* connection, void* userData);

struct SocketSlot {
  SOCKET socket = INVALID_SOCKET;
  int32_t connected = 0;
  sockaddr_in remote{};
  sockaddr_in sender{};
  sockaddr_in local{};
  uint8_t* readBuffer = nullptr;
  uint32_t readBufferSize = 0;
  uint8_t* sendBuffer = nullptr;
  uint32_t sendBufferSize = 0;
  CxLock lock;
  PacketBuffer* pending = nullptr;
  // The first 12 bytes of a packet, until its size is known.
  uint8_t headerBytes[PacketHeader::kSize] = {};
  uint32_t headerFilled = 0;

  SocketSlot() { lock.Setup(); }
  ~SocketSlot() { lock.Teardown(); }
  SocketSlot(const SocketSlot&) = delete;
  SocketSlot& operator=(const SocketSlot&) = delete;
};

class CConnection : public CAtom {
 public:
  static constexpr int kSocketSlots = 8;
  // How long one address may take to accept a connect.
  static constexpr DWORD kConnectWaitMs = 21000;
  static constexpr DWORD kSelectTimeoutMs = 1000;
  // The largest payload a framed packet may announce: what the pool's size
  // classes hold. Anything larger ends the session.
  static constexpr uint64_t kMaxPayload = 67108712;
  static constexpr int kReaderClosed = kStatusNoConnection;

  CConnection(ConnectionCallback callback, void* userData);
  ~CConnection() override;

  int SetClient(CGenericClient* client);
  // 1 when the sockets are up and the connected notification was accepted.
  int Open(const ConnectTarget& target);
  // Runs until the peer has closed every socket, a reader or receiver fails,
  // or StopLoop; 1 then, 0 at once without a socket.
  int ReceiveLoop();
  // Also cuts short a connect that Open is waiting for.
  void StopLoop(int sleepFirst);
  int Close();
  // The writer's result: framed, the payload bytes sent, 0 when socket 0
  // stayed unwritable (nothing sent), -1 when the frame broke off (the
  // session ends); raw, 0 when one socket sent it, else 9999. `extra` is the
  // kind word (framed) or the destination address (raw).
  int Send(uint16_t slot, const void* data, uint32_t length, const void* extra);

  // 1 when the receiver kept the buffer.
  uint8_t RoutePacket(PacketBuffer* buffer);
  uint8_t DeliverPacket(PacketBuffer* buffer);

  // The new socket count, or -1.
  int AddSocket(const sockaddr_in* remote, const sockaddr_in* bindAddress);
  std::shared_ptr<dezo::ProcessThread> AssignDispatchThreads(int group, const uint16_t* ids, int count);
  DispatchTable& Dispatch() { return dispatch_; }

  int SocketCount();
  int ConnectedCount();
  bool IsRunning() const { return running_.load() != 0; }
  sockaddr_in RemoteAddress(int index);
  sockaddr_in LocalAddress(int index);
  // What ended the last receive loop: 0 (stopped), 3 (peer closed) or the
  // reader's or receiver's code.
  int LastResult() const { return lastResult_.load(); }
  // Ends the receive loop when nothing arrives from the server within
  // `ms` from now (0: wait as long as the server takes). The handshake
  // sets it for each step it waits on.
  void SetReplyDeadline(DWORD ms);
  // The receive loop ended because the server left a reply deadline pass.
  bool ReplyTimedOut() const { return replyTimedOut_.load(); }

 private:
  typedef int (CConnection::*Reader)(int index, uint32_t available);
  typedef int (CConnection::*Writer)(uint16_t slot, const void* data, uint32_t length, const void* extra);
  typedef int (*SocketReceiver)(SOCKET s, void* buffer, int length, sockaddr_in* from, int* fullLength);
  typedef int (*SocketSender)(SOCKET s, const void* data, int length, const sockaddr_in* to);
  typedef void (CConnection::*OptionSetter)(SOCKET s);
  typedef int (CConnection::*Connector)(int flag);

  int ReadStream(int index, uint32_t available);
  int ReadDatagram(int index, uint32_t available);
  int CompletePacket(int index, PacketBuffer* buffer);
  int SendPacket(uint16_t slot, const void* data, uint32_t length, const void* extra);
  int SendRaw(uint16_t slot, const void* data, uint32_t length, const void* extra);
  int SendAll(SocketSlot& slot, const uint8_t* bytes, uint64_t total);
  int ReadBytes(int index, uint8_t* destination, uint32_t n, int* fullLength);
  int ReplayRead(uint32_t* available);

  void AddServerSockets();
  void OpenStorage();
  void AddAdapterSockets();
  void SetStreamOptions(SOCKET s);
  void SetDatagramOptions(SOCKET s);
  int ConnectAll(int flag);
  int SetConnected(int flag);
  void CloseSocket(int index);
  void DropDeadSockets();
  void MoveSocket(int from, int to);
  void OnSocketClosed(int index);
  // After a wait with nothing read: true, and the loop told to end, once
  // the reply deadline has passed.
  bool ReplyDeadlinePassed();
  void ResetReader(SocketSlot& slot);
  int Notify(int code);
  int NotifyReceiver(int slot, const sockaddr_in* sender, const uint8_t* data, int length);
  bool EnsureBuffer(uint8_t** buffer, uint32_t* size, uint64_t need);
  void RecordPacket(int direction, const uint8_t* packet, uint64_t length);
  bool Replaying() const;

  CGenericClient* client_ = nullptr;
  ConnectionCallback callback_;
  void* userData_;
  ConnectTarget target_;
  Reader reader_ = nullptr;
  Writer writer_ = nullptr;
  int family_ = 0;
  int socketType_ = 0;
  SocketSender socketSend_ = nullptr;
  SocketReceiver socketReceive_ = nullptr;
  OptionSetter socketOptions_ = nullptr;
  Connector connectAll_ = nullptr;
  CxLock setLock_;
  int32_t connectedCount_ = 0;
  int32_t socketCount_ = 0;
  SocketSlot slots_[kSocketSlots];
  DispatchTable dispatch_;
  DWORD selectTimeoutMs_ = kSelectTimeoutMs;
  std::atomic<int32_t> running_{0};
  // Set for good by StopLoop; a connect in progress watches it.
  std::atomic<bool> stopRequested_{false};
  std::atomic<int32_t> lastResult_{0};
  std::atomic<ULONGLONG> replyDeadline_{0};  // GetTickCount64 value, 0 for none
  std::atomic<bool> replyTimedOut_{false};
  std::shared_ptr<bps::IBasePacketStorage> storage_;
  int mode_ = kConnectionNormal;
  uint8_t* replayWindow_ = nullptr;
  uint32_t replayLength_ = 0;
  uint32_t replayPosition_ = 0;
  int idlePasses_ = 0;
};
