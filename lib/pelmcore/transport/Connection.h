// The transport of one session or of server discovery: a table of socket
// entries, a receive loop on the owner's thread that cuts the TCP stream into
// framed packets (or reads raw datagrams), routing to the session client or a
// plain callback, and the writers.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pelplat/net.h"
#include "pelplat/netwait.h"
#include "transport/ConnectTarget.h"
#include "transport/ConnectionClient.h"
#include "transport/PacketHeader.h"
#include "transport/PacketRouter.h"
#include "transport/PacketStorage.h"
#include "transport/ProcessThread.h"
#include "transport/Status.h"
#include "sys/_synchro.h"

class CConnection;
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
  // The packet being received once its header is in.
  PacketBuffer* pending = nullptr;
  // Stream bytes received but not yet cut into packets: fewer than a
  // header after each pass (readBuffer holds them).
  uint32_t readFilled = 0;
  // The last packet was read straight into its own buffer: the next read
  // takes only the next header, so that a large body can be read straight
  // in too instead of through the read buffer.
  bool directNext = false;

  SocketSlot() = default;
  SocketSlot(const SocketSlot&) = delete;
  SocketSlot& operator=(const SocketSlot&) = delete;
};

class CConnection : public CPacketRouter {
 public:
  static constexpr int kSocketSlots = 8;
  // How long one address may take to accept a connect.
  static constexpr DWORD kConnectWaitMs = 21000;
  static constexpr DWORD kSelectTimeoutMs = 1000;
  // The largest payload a framed packet may announce: what the pool's size
  // classes hold. Anything larger ends the session.
  static constexpr uint64_t kMaxPayload = 67108712;
  static constexpr int kReaderClosed = kStatusNoConnection;
  // While the receive loop runs, framed sends go to an outgoing queue that
  // the loop writes as the socket takes it, so no sender ever waits for the
  // server. Above the soft bound only input-sized frames (keys, pointer
  // reports) are still queued; larger ones are refused. The hard bound is
  // there only for a sender gone wild: the stall limit ends a session long
  // before typing could reach it.
  static constexpr uint64_t kOutgoingSoftBound = 4u << 20;
  static constexpr uint64_t kOutgoingHardBound = 16u << 20;
  static constexpr uint32_t kInputFrameBytes = 256;
  // How long queued bytes may wait without the server taking any of them.
  static constexpr DWORD kDefaultStallLimitMs = 30000;

  CConnection(ConnectionCallback callback, void* userData);
  ~CConnection() override;

  int SetClient(IConnectionClient* client);
  // 1 when the sockets are up and the connected notification was accepted.
  int Open(const ConnectTarget& target);
  // Runs until the peer has closed every socket, a reader or receiver fails,
  // or StopLoop; 1 then, 0 at once without a socket.
  int ReceiveLoop();
  // Also cuts short a connect that Open is waiting for.
  void StopLoop(int sleepFirst) override;
  int Close();
  // The writer's result: framed, the payload length once the frame is on
  // its way (sent, or queued behind earlier frames while the loop runs), 0
  // when nothing was sent (socket 0 stayed unwritable, or the queue is over
  // its bound), -1 when the frame broke off (the session ends); raw, 0 when
  // one socket sent it, else 9999. `extra` is the kind word (framed) or the
  // destination address (raw). Framed sends never wait for the server while
  // the receive loop runs.
  int Send(uint16_t slot, const void* data, uint32_t length, const void* extra);
  // Framed bytes waiting for the socket.
  uint64_t QueuedBytes();
  // The stall limit of connections made from now on, and of this one (0:
  // no limit).
  static void SetDefaultStallLimit(DWORD ms);
  void SetStallLimit(DWORD ms) { stallLimitMs_.store(ms); }

  // 1 when the receiver kept the buffer.
  uint8_t RoutePacket(PacketBuffer* buffer) override;
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
  // The blocking writer, when no loop runs to write a queue.
  int SendNow(SocketSlot& socket0, const PacketHeader& header, const void* data);
  int QueueFrame(SocketSlot& socket0, const PacketHeader& header, const void* data);
  // Writes queued bytes until the socket takes no more (one write only
  // when `once`); -1 after a failure that ended the session. Called with
  // socket 0's lock held.
  int WriteQueued(SocketSlot& socket0, bool once);
  // The loop's part: wants POLLOUT, writes when writable, ends a stall.
  bool HasQueued();
  int FlushQueued();
  bool OutgoingStalled();
  void DropQueued();
  int ReadBytes(int index, uint8_t* destination, uint32_t n, int* fullLength);
  // full: the read got every byte it asked for, so more may be waiting.
  int ReadBurst(int index, uint32_t limit, bool* full = nullptr);
  // Hands what the last read cut over to the dispatch threads.
  void HandOver();
  // Cuts the bytes in the read buffer into packets; a partial packet goes
  // to slot.pending, less than a header stays.
  int CutPackets(int index);
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

  IConnectionClient* client_ = nullptr;
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
  // The dispatch thread of the slot last looked up during one read (the
  // table changes only between reads).
  uint16_t readSlot_ = 0xFFFF;
  std::shared_ptr<dezo::ProcessThread> readThread_;
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

  // Framed bytes not yet taken by socket 0, oldest first, from
  // outgoingHead_ on; guarded by socket 0's lock. The buffer keeps its
  // capacity, so a steady stream of sends allocates nothing.
  std::vector<uint8_t> outgoing_;
  size_t outgoingHead_ = 0;
  ULONGLONG outgoingProgress_ = 0;  // last time the queue started or moved
  bool refusalLogged_ = false;
  std::atomic<bool> loopActive_{false};
  std::atomic<DWORD> stallLimitMs_;
  // Cuts the loop's wait short: a queue that has just become non-empty, a
  // stop.
  SocketWakeup wakeup_;
};
