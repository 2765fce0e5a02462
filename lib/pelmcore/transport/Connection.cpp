#include "transport/Connection.h"

#include <netinet/tcp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "pelplat/synch.h"
#include "pelplat/utf16.h"
#include "pelplat/winerror.h"
#include "transport/PacketPool.h"
#include "sys/ByteWriter.h"
#include "pelplat/systime.h"
#include "sys/klog.h"

namespace {

constexpr uint64_t kBufferStep = 1024;
constexpr uint64_t kKeepBufferBelow = 65536;
constexpr uint32_t kInitialReadBuffer = 1024;
// A stream socket's bytes are read in bursts of up to this much and cut
// into packets; the rest of a packet that still lacks at least
// kDirectReadFrom bytes is read straight into its own buffer instead, so
// large packets are mostly copied once, by the kernel.
constexpr uint32_t kStreamReadBuffer = 256 * 1024;
constexpr uint64_t kDirectReadFrom = 16 * 1024;
// Reads of one socket in a row while each brings all it asked for, before
// the loop looks at the other sockets again.
constexpr int kReadsPerPass = 16;
constexpr int kDatagramReceiveBuffer = 65536;
constexpr DWORD kReplayPassMs = 100;
constexpr int kReplayIdlePasses = 100;
constexpr DWORD kStopPauseMs = 100;
// Datagrams read in one pass before the loop looks at the other sockets.
constexpr int kDatagramsPerPass = 64;
constexpr const char* kSystemLogFile = "pellum_system.log";

int StreamReceive(SOCKET s, void* buffer, int length, sockaddr_in*, int* fullLength) {
  int r = SocketReceive(s, buffer, length);
  if (fullLength) *fullLength = r;
  return r;
}

int StreamSend(SOCKET s, const void* data, int length, const sockaddr_in*) {
  return SocketSend(s, data, length, nullptr);
}

int NoReceiver(int, const sockaddr_in*, const uint8_t*, int, CConnection*, void*) { return 0; }

bool UsableAddress(const sockaddr_in& a) { return a.sin_port != 0 && a.sin_addr.s_addr != 0; }

int ClampToInt(uint64_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

std::atomic<DWORD> g_defaultStallLimitMs{CConnection::kDefaultStallLimitMs};

// The header, then the payload: header.length bytes.
bool WriteFrame(uint8_t* to, uint64_t room, const PacketHeader& header, const void* payload) {
  uint8_t headerBytes[PacketHeader::kSize];
  header.Write(headerBytes, sizeof headerBytes);
  ByteWriter writer(to, room);
  writer.Bytes(headerBytes, sizeof headerBytes);
  writer.Bytes(payload, header.length);
  return writer.Ok();
}

}  // namespace

CConnection::CConnection(ConnectionCallback callback, void* userData)
    : callback_(callback ? callback : NoReceiver),
      userData_(callback ? userData : nullptr),
      stallLimitMs_(g_defaultStallLimitMs.load()) {}

void CConnection::SetDefaultStallLimit(DWORD ms) { g_defaultStallLimitMs.store(ms); }

CConnection::~CConnection() {
  dispatch_.StopAll();
  for (int i = 0; i < kSocketSlots; ++i) CloseSocket(i);
  if (replayWindow_ && storage_) storage_->FreeReplayed(replayWindow_);
  storage_.reset();
}

int CConnection::SetClient(IConnectionClient* client) {
  client_ = client;
  return 1;
}

// ---------------------------------------------------------------- opening

int CConnection::Open(const ConnectTarget& target) {
  struct Transport {
    int socketType;
    SocketReceiver receive;
    SocketSender send;
    OptionSetter options;
    Connector connect;
  };
  static const Transport kTransports[] = {
      {SOCK_STREAM, StreamReceive, StreamSend, &CConnection::SetStreamOptions, &CConnection::ConnectAll},
      {SOCK_DGRAM, SocketReceiveFrom, SocketSend, &CConnection::SetDatagramOptions, &CConnection::SetConnected},
  };
  struct Framing {
    Reader reader;
    Writer writer;
  };
  static const Framing kFramings[] = {
      {&CConnection::ReadStream, &CConnection::SendPacket},
      {&CConnection::ReadDatagram, &CConnection::SendRaw},
  };

  target_ = target;
  family_ = 0;
  socketType_ = 0;
  mode_ = kConnectionNormal;
  if (target_.transport != 1 && target_.transport != 2) return 0;
  const Transport& transport = kTransports[target_.transport - 1];
  family_ = AF_INET;
  socketType_ = transport.socketType;
  socketReceive_ = transport.receive;
  socketSend_ = transport.send;
  socketOptions_ = transport.options;
  connectAll_ = transport.connect;
  if (target_.transport == 1) {
    AddServerSockets();
  } else {
    AddAdapterSockets();
  }

  if (SocketCount() == 0) return 0;
  if (target_.framing != 1 && target_.framing != 2) return 0;
  reader_ = kFramings[target_.framing - 1].reader;
  writer_ = kFramings[target_.framing - 1].writer;

  if (target_.transport == 1) OpenStorage();
  if (Replaying()) {
    if (client_) client_->SetReplaying(true);
  } else {
    if (client_) client_->SetReplaying(false);
    if ((this->*connectAll_)(1) != 0) return 0;
  }

  if (Notify(kNotifyConnected) != 0) return 0;
  // A stop that came while connecting wins over the start of the loop.
  running_.store(stopRequested_.load() ? 0 : 1);
  return 1;
}

// Record and replay mode keep a packet storage; without one the session
// simply runs normally.
void CConnection::OpenStorage() {
  const int mode = GetConnectionMode();
  if (mode != kConnectionRecord && mode != kConnectionReplay) return;
  const std::u16string file = GetConnectionModeFile();
  try {
    storage_ = std::make_shared<bps::EmptyPacketStorage>(file, mode == kConnectionRecord);
    mode_ = mode;
  } catch (const std::exception& e) {
    LogMessageA("error during creation Bps \"%s\"", e.what());
  }
}

void CConnection::AddServerSockets() {
  for (const sockaddr_in& address : target_.addresses) {
    if (UsableAddress(address)) AddSocket(&address, nullptr);
  }
}

// One socket per Ethernet or wireless adapter with an address, bound to it.
void CConnection::AddAdapterSockets() {
  std::vector<NetAdapter> adapters;
  const DWORD rc = GetAdapterList(adapters);
  if (rc != ERROR_SUCCESS) {
    AppendToLogFile(LogMessageA("GetAdaptersInfo returns %d", static_cast<int>(rc)), kSystemLogFile);
    return;
  }
  for (const NetAdapter& adapter : adapters) {
    const uint32_t address = adapter.firstAddress.s_addr;
    if (adapter.type != MIB_IF_TYPE_ETHERNET && adapter.type != IF_TYPE_IEEE80211) continue;
    if (address == 0 || address == 0xFFFFFFFFu) continue;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = adapter.firstAddress;
    AddSocket(nullptr, &local);
  }
}

int CConnection::AddSocket(const sockaddr_in* remote, const sockaddr_in* bindAddress) {
  CxAutoLock hold(&setLock_);
  if (socketCount_ + 1 >= kSocketSlots) return -1;
  const SOCKET s = SocketOpen(family_, socketType_);
  if (s == INVALID_SOCKET) return -1;
  SocketSlot& slot = slots_[socketCount_];
  CxAutoLock slotHold(&slot.lock);
  if (socketOptions_) (this->*socketOptions_)(s);
  if (bindAddress && SocketBind(s, bindAddress) != 0) {
    SocketShutdown(s);
    closesocket(s);
    return -1;
  }
  slot.remote = remote ? *remote : sockaddr_in{};
  SocketLocalAddress(s, &slot.local);
  slot.socket = s;
  slot.connected = 0;
  const uint32_t readSize = socketType_ == SOCK_STREAM ? kStreamReadBuffer : kInitialReadBuffer;
  slot.readBuffer = new (std::nothrow) uint8_t[readSize];
  slot.readBufferSize = slot.readBuffer ? readSize : 0;
  slot.readFilled = 0;
  slot.sendBuffer = nullptr;
  slot.sendBufferSize = 0;
  return ++socketCount_;
}

void CConnection::SetStreamOptions(SOCKET s) {
  SocketSetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
  // Nagle's algorithm stays on for sessions over a wide-area network.
  const int noDelay = (client_ && client_->GetParamFlags() == 0) ? 1 : 0;
  SocketSetIntOption(s, IPPROTO_TCP, TCP_NODELAY, noDelay);
}

void CConnection::SetDatagramOptions(SOCKET s) {
  SocketSetIntOption(s, SOL_SOCKET, SO_RCVBUF, kDatagramReceiveBuffer);
  SocketSetIntOption(s, SOL_SOCKET, SO_BROADCAST, 1);
  // Port-unreachable reports never reach an unconnected datagram socket
  // here, so there is nothing to switch off.
}

int CConnection::ConnectAll(int flag) {
  CxAutoLock hold(&setLock_);
  if (!flag) {
    for (int i = 0; i < kSocketSlots; ++i) CloseSocket(i);
    socketCount_ = 0;
    connectedCount_ = 0;
    return 1;
  }
  connectedCount_ = 0;
  for (int i = 0; i < socketCount_ && connectedCount_ == 0; ++i) {
    SocketSlot& slot = slots_[i];
    if (slot.socket == INVALID_SOCKET) continue;
    if (SocketConnect(slot.socket, &slot.remote, kConnectWaitMs, &stopRequested_) == 0) {
      CxAutoLock slotHold(&slot.lock);
      slot.connected = 1;
      ++connectedCount_;
    }
  }
  DropDeadSockets();
  return connectedCount_ ? 0 : -1;
}

int CConnection::SetConnected(int flag) {
  CxAutoLock hold(&setLock_);
  connectedCount_ = flag ? 1 : 0;
  return 0;
}

// ---------------------------------------------------------------- sockets

void CConnection::ResetReader(SocketSlot& slot) {
  if (slot.pending) CPacketPool::Release(slot.pending);
  slot.pending = nullptr;
  slot.readFilled = 0;
  slot.directNext = false;
}

void CConnection::CloseSocket(int index) {
  SocketSlot& slot = slots_[index];
  CxAutoLock hold(&slot.lock);
  if (slot.socket != INVALID_SOCKET) {
    SocketShutdown(slot.socket);
    closesocket(slot.socket);
    slot.socket = INVALID_SOCKET;
  }
  slot.connected = 0;
  delete[] slot.readBuffer;
  slot.readBuffer = nullptr;
  slot.readBufferSize = 0;
  delete[] slot.sendBuffer;
  slot.sendBuffer = nullptr;
  slot.sendBufferSize = 0;
  slot.remote = sockaddr_in{};
  ResetReader(slot);
  if (index == 0) DropQueued();
}

void CConnection::MoveSocket(int from, int to) {
  SocketSlot& source = slots_[from];
  SocketSlot& target = slots_[to];
  CxAutoLock holdTarget(&target.lock);
  CxAutoLock holdSource(&source.lock);
  target.socket = source.socket;
  target.connected = source.connected;
  target.remote = source.remote;
  target.sender = source.sender;
  target.local = source.local;
  target.readBuffer = source.readBuffer;
  target.readBufferSize = source.readBufferSize;
  target.sendBuffer = source.sendBuffer;
  target.sendBufferSize = source.sendBufferSize;
  target.pending = source.pending;
  target.readFilled = source.readFilled;
  target.directNext = source.directNext;
  source.socket = INVALID_SOCKET;
  source.connected = 0;
  source.remote = source.sender = source.local = sockaddr_in{};
  source.readBuffer = source.sendBuffer = nullptr;
  source.readBufferSize = source.sendBufferSize = 0;
  source.pending = nullptr;
  source.readFilled = 0;
  source.directNext = false;
}

// Called with setLock_ held. The live sockets keep their order.
void CConnection::DropDeadSockets() {
  int kept = 0;
  for (int i = 0; i < socketCount_; ++i) {
    const SocketSlot& slot = slots_[i];
    const bool dead = slot.socket == INVALID_SOCKET || (socketType_ == SOCK_STREAM && !slot.connected);
    if (dead) {
      CloseSocket(i);
      continue;
    }
    if (kept != i) MoveSocket(i, kept);
    ++kept;
  }
  socketCount_ = kept;
}

void CConnection::OnSocketClosed(int index) {
  CxAutoLock hold(&setLock_);
  bool noted = false;
  {
    SocketSlot& slot = slots_[index];
    CxAutoLock slotHold(&slot.lock);
    // Only a socket that was connected counts down, so a socket that never
    // was (replay) cannot drive the count below zero.
    if (slot.connected && slot.socket != INVALID_SOCKET && connectedCount_ > 0) {
      --connectedCount_;
      noted = true;
    }
    slot.connected = 0;
  }
  if (connectedCount_ <= 0) running_.store(0);
  if (noted) DropDeadSockets();
}

int CConnection::SocketCount() {
  CxAutoLock hold(&setLock_);
  return socketCount_;
}

int CConnection::ConnectedCount() {
  CxAutoLock hold(&setLock_);
  return connectedCount_;
}

sockaddr_in CConnection::RemoteAddress(int index) {
  if (index < 0 || index >= kSocketSlots) return sockaddr_in{};
  CxAutoLock hold(&setLock_);
  return slots_[index].remote;
}

sockaddr_in CConnection::LocalAddress(int index) {
  if (index < 0 || index >= kSocketSlots) return sockaddr_in{};
  CxAutoLock hold(&setLock_);
  return slots_[index].local;
}

bool CConnection::EnsureBuffer(uint8_t** buffer, uint32_t* size, uint64_t need) {
  const uint64_t want = (need + kBufferStep - 1) / kBufferStep * kBufferStep;
  if (want > UINT32_MAX) return false;
  const bool tooSmall = *size < want;
  const bool oversized = *size > kKeepBufferBelow && want <= kKeepBufferBelow;
  if (*buffer && !tooSmall && !oversized) return true;
  uint8_t* fresh = new (std::nothrow) uint8_t[want];
  if (!fresh) return false;
  delete[] *buffer;
  *buffer = fresh;
  *size = static_cast<uint32_t>(want);
  return true;
}

// ---------------------------------------------------------------- the loop

bool CConnection::Replaying() const { return mode_ == kConnectionReplay && storage_; }

int CConnection::Notify(int code) {
  if (client_) return client_->OnControlMessage(nullptr, code, this);
  return callback_(-1, nullptr, nullptr, code, this, userData_);
}

int CConnection::NotifyReceiver(int slot, const sockaddr_in* sender, const uint8_t* data, int length) {
  if (client_) return client_->OnControlMessage(data, length, this);
  return callback_(slot, sender, data, length, this, userData_);
}

std::shared_ptr<dezo::ProcessThread> CConnection::AssignDispatchThreads(int group, const uint16_t* ids,
                                                                        int count) {
  return dispatch_.Assign(group, this, ids, count);
}

int CConnection::ReceiveLoop() {
  if (SocketCount() == 0) return 0;
  lastResult_.store(0);

  if (client_) {
    const uint16_t bases[2] = {client_->DisplaySlotTable()[0], client_->StreamSlotTable()[0]};
    uint16_t shared[2];
    int sharedCount = 0;
    for (int i = 0; i < 2; ++i) {
      uint16_t id = bases[i];
      // Only ids below the table size can have a thread.
      if (id >= DispatchTable::kEntries || (i == 1 && id == bases[0])) continue;
      const int threadMode = client_->GetSlotThreadMode(id);
      if (threadMode == IConnectionClient::kSharedDispatch) {
        shared[sharedCount++] = id;
      } else if (threadMode == IConnectionClient::kOwnDispatch) {
        AssignDispatchThreads(-1, &id, 1);
      }
    }
    if (sharedCount) AssignDispatchThreads(2, shared, sharedCount);
  }

  AddRef();
  loopActive_.store(true);
  while (running_.load()) {
    SOCKET sockets[kSocketSlots];
    bool ready[kSocketSlots] = {};
    bool writable[kSocketSlots] = {};
    int count = 0;
    {
      CxAutoLock hold(&setLock_);
      count = socketCount_;
      for (int i = 0; i < count; ++i) sockets[i] = slots_[i].socket;
    }
    if (count == 0) break;

    if (Replaying()) {
      Sleep(kReplayPassMs);
      const bool more = storage_->AvailableCount() > storage_->ReplayedCount();
      if (!more && ++idlePasses_ <= kReplayIdlePasses) continue;
      ready[0] = true;
    } else {
      bool wantWrite[kSocketSlots] = {};
      wantWrite[0] = HasQueued();
      SocketWaitEvents(sockets, count, wantWrite, &wakeup_, selectTimeoutMs_, ready, writable);
      if (writable[0] && FlushQueued() != 0) break;
      if (OutgoingStalled()) break;
      if (std::find(ready, ready + count, true) == ready + count) {
        if (ReplyDeadlinePassed()) break;
        continue;
      }
    }

    // The framed reader takes whatever one read brings; the datagram
    // reader sizes its buffer by the next datagram.
    const bool bursts = reader_ == &CConnection::ReadStream;
    for (int i = 0; i < count && running_.load(); ++i) {
      if (!ready[i]) continue;
      uint32_t available = 0;
      if (Replaying()) {
        ReplayRead(&available);
      } else if (!bursts && SocketPendingBytes(sockets[i], &available) != 0) {
        break;
      }
      // A stream socket with nothing to read has been closed by its peer
      // (the framed reader finds out from its read); a datagram socket may
      // hold an empty datagram, which its reader takes off the queue.
      int rc;
      if (available == 0 && (Replaying() || (!bursts && socketType_ == SOCK_STREAM))) {
        rc = kReaderClosed;
      } else {
        rc = (this->*reader_)(i, available);
        HandOver();
      }
      if (rc == 0) continue;
      lastResult_.store(rc);
      if (rc == kReaderClosed) {
        OnSocketClosed(i);
      } else {
        running_.store(0);
      }
      break;  // the table may have changed
    }
  }
  {
    // Sends from now on write for themselves, behind what is still queued.
    CxAutoLock hold(&slots_[0].lock);
    loopActive_.store(false);
  }
  dispatch_.StopAll();
  Release();
  return 1;
}

void CConnection::SetReplyDeadline(DWORD ms) { replyDeadline_.store(ms ? GetTickCount64() + ms : 0); }

bool CConnection::ReplyDeadlinePassed() {
  const ULONGLONG deadline = replyDeadline_.load();
  if (deadline == 0 || GetTickCount64() < deadline) return false;
  LogMessageA("CConnection::ReceiveLoop: the server has not answered in time; the connection ends");
  replyTimedOut_.store(true);
  running_.store(0);
  return true;
}

void CConnection::StopLoop(int sleepFirst) {
  stopRequested_.store(true);
  running_.store(0);
  wakeup_.Set();
  if (sleepFirst) Sleep(kStopPauseMs);
}

int CConnection::Close() {
  Notify(kNotifyClosed);
  std::shared_ptr<bps::IBasePacketStorage> gone;
  {
    // Framed sends from other threads look at the storage under socket 0's
    // lock; one may still be on its way while the session thread closes.
    CxAutoLock hold(&slots_[0].lock);
    if (replayWindow_ && storage_) storage_->FreeReplayed(replayWindow_);
    replayWindow_ = nullptr;
    replayLength_ = replayPosition_ = 0;
    gone.swap(storage_);
  }
  gone.reset();
  if (connectAll_) (this->*connectAll_)(0);
  return 1;
}

// ---------------------------------------------------------------- readers

int CConnection::ReadBytes(int index, uint8_t* destination, uint32_t n, int* fullLength) {
  if (Replaying()) {
    if (replayLength_ - replayPosition_ < n) {
      running_.store(0);
      return -1;
    }
    memcpy(destination, replayWindow_ + replayPosition_, n);
    replayPosition_ += n;
    if (fullLength) *fullLength = static_cast<int>(n);
    return static_cast<int>(n);
  }
  SocketSlot& slot = slots_[index];
  const int r = socketReceive_(slot.socket, destination, ClampToInt(n), &slot.sender, fullLength);
  if (r == -1) running_.store(0);
  return r;
}

int CConnection::ReplayRead(uint32_t* available) {
  if (replayPosition_ >= replayLength_) {
    if (replayWindow_) storage_->FreeReplayed(replayWindow_);
    replayWindow_ = nullptr;
    replayLength_ = replayPosition_ = 0;
    int kind = 0;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    if (!storage_->ReadNext(&kind, &buffer, &length) || kind != bps::kReplayPacket) {
      if (buffer) storage_->FreeReplayed(buffer);
      *available = 0;
      return 0;
    }
    replayWindow_ = buffer;
    replayLength_ = length;
  }
  *available = replayLength_ - replayPosition_;
  return static_cast<int>(*available);
}

// A socket is read again, up to kReadsPerPass times, while each read gets
// all it asked for; a replay window is taken whole.
int CConnection::ReadStream(int index, uint32_t available) {
  if (!Replaying()) {
    for (int reads = 1;; ++reads) {
      bool full = false;
      const int rc = ReadBurst(index, UINT32_MAX, &full);
      if (rc != 0 || !full || reads == kReadsPerPass) return rc;
      HandOver();
    }
  }
  while (available > 0) {
    const uint32_t before = replayPosition_;
    const int rc = ReadBurst(index, available);
    if (rc != 0) return rc;
    available -= std::min(available, replayPosition_ - before);
  }
  return 0;
}

// One read: into the packet being received when it still lacks much, else
// into the read buffer, which is then cut into as many packets as it holds.
int CConnection::ReadBurst(int index, uint32_t limit, bool* full) {
  SocketSlot& slot = slots_[index];
  if (!slot.readBuffer) return kStatusFailure;
  uint8_t* to;
  uint32_t room;
  PacketBuffer* direct = slot.pending;
  const uint64_t lacking =
      direct ? PacketHeader::kSize + static_cast<uint64_t>(direct->PayloadLength()) - direct->filled : 0;
  if (direct && lacking >= kDirectReadFrom) {
    to = direct->data + direct->filled;
    room = static_cast<uint32_t>(std::min<uint64_t>(lacking, INT_MAX));
  } else {
    direct = nullptr;
    to = slot.readBuffer + slot.readFilled;
    room = slot.readBufferSize - slot.readFilled;
    if (slot.directNext && slot.readFilled < PacketHeader::kSize) room = PacketHeader::kSize - slot.readFilled;
  }
  const uint32_t asked = std::min(room, limit);
  const int r = ReadBytes(index, to, asked, nullptr);
  if (r == SOCKET_WOULD_BLOCK) return 0;
  if (r <= 0) {
    ResetReader(slot);
    return r == 0 ? kReaderClosed : kStatusFailure;
  }
  if (full) *full = static_cast<uint32_t>(r) == asked;
  if (!direct) {
    slot.readFilled += static_cast<uint32_t>(r);
    return CutPackets(index);
  }
  direct->filled += static_cast<uint32_t>(r);
  if (static_cast<uint64_t>(r) < lacking) return 0;
  slot.pending = nullptr;
  slot.directNext = true;
  return CompletePacket(index, direct);
}

void CConnection::HandOver() {
  dispatch_.WakeOwed();
  readThread_.reset();
  readSlot_ = 0xFFFF;
}

int CConnection::CutPackets(int index) {
  SocketSlot& slot = slots_[index];
  const uint8_t* bytes = slot.readBuffer;
  const uint32_t end = slot.readFilled;
  uint32_t at = 0;
  int rc = 0;
  while (rc == 0) {
    if (PacketBuffer* packet = slot.pending) {
      const uint64_t total = PacketHeader::kSize + static_cast<uint64_t>(packet->PayloadLength());
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(total - packet->filled, end - at));
      memcpy(packet->data + packet->filled, bytes + at, n);
      packet->filled += n;
      at += n;
      if (packet->filled < total) break;
      slot.pending = nullptr;
      slot.directNext = false;
      rc = CompletePacket(index, packet);
      continue;
    }
    if (end - at < PacketHeader::kSize) break;
    PacketHeader header;
    PacketHeader::Read(bytes + at, PacketHeader::kSize, &header);
    if (header.length > kMaxPayload) {
      LogMessageA("CConnection::ReadStream: a packet for slot 0x%04X announces %u payload bytes, "
                  "more than the %u a packet may carry; the session ends",
                  static_cast<unsigned>(header.slot), static_cast<unsigned>(header.length),
                  static_cast<unsigned>(kMaxPayload));
      ResetReader(slot);
      return kStatusFailure;
    }
    PacketBuffer* packet = CPacketPool::Global().Acquire(header.length, 0);
    if (!packet) {
      LogMessageA("CConnection::ReadStream: no buffer for a packet of %u payload bytes; the session ends",
                  static_cast<unsigned>(header.length));
      ResetReader(slot);
      return kStatusFailure;
    }
    header.Write(packet->data, packet->area);
    packet->filled = PacketHeader::kSize;
    at += PacketHeader::kSize;
    slot.pending = packet;
  }
  // Less than a header is left (or the rest after a failed delivery, which
  // ends the loop): it moves to the front for the next read.
  if (at != 0) memmove(slot.readBuffer, slot.readBuffer + at, end - at);
  slot.readFilled = end - at;
  return rc;
}

int CConnection::CompletePacket(int index, PacketBuffer* packet) {
  packet->socketIndex = index;
  packet->result = 0;
  const uint16_t slot = packet->Header().slot;
  if (slot != readSlot_) {
    readThread_ = dispatch_.Find(slot);
    readSlot_ = slot;
  }
  if (readThread_) {
    // Handed over once the whole read is cut (HandOver).
    if (readThread_->Enqueue(packet, true)) return 0;
    // Only a thread that could not start refuses while the loop reads: its
    // packets are routed here rather than lost.
  }
  if (RoutePacket(packet)) return 0;
  const int rc = packet->result;
  CPacketPool::Release(packet);
  return rc;
}

namespace {
constexpr uint32_t kLargestDatagram = 65536;  // above any UDP payload
}  // namespace

int CConnection::ReadDatagram(int index, uint32_t available) {
  SocketSlot& slot = slots_[index];
  uint32_t next = available;
  for (int reads = 0; reads < kDatagramsPerPass; ++reads) {
    // Room for the largest datagram: one that arrives after the pending
    // size was read is taken whole, never cut.
    if (!EnsureBuffer(&slot.readBuffer, &slot.readBufferSize, std::max<uint32_t>(next, kLargestDatagram)))
      return kStatusFailure;
    int fullLength = 0;
    const int r = ReadBytes(index, slot.readBuffer, slot.readBufferSize, &fullLength);
    if (r == SOCKET_WOULD_BLOCK) return 0;
    if (r < 0) return NotifyReceiver(PacketHeader::kControlSlot, &slot.sender, nullptr, -1);
    if (fullLength == 0) {
      if (socketType_ == SOCK_STREAM) return kReaderClosed;
      // An empty datagram carries nothing; anyone could send one.
    } else if (fullLength > r) {
      LogMessageA("CConnection::ReadDatagram: a datagram of %d bytes did not fit the %d-byte buffer; dropped",
                  fullLength, r);
    } else {
      const sockaddr_in sender = slot.sender;
      const int rc = NotifyReceiver(PacketHeader::kControlSlot, &sender, slot.readBuffer, r);
      if (rc != 0) return rc;
    }
    if (SocketPendingBytes(slot.socket, &next) != 0) return 0;
  }
  return 0;
}

// ---------------------------------------------------------------- routing

void CConnection::RecordPacket(int direction, const uint8_t* packet, uint64_t length) {
  if (mode_ != kConnectionRecord || !storage_) return;
  PacketHeader header;
  PacketHeader::Read(packet, PacketHeader::kSize, &header);
  const char* prefix = direction == bps::kReceived ? "[IN_] Slot " : "[OUT] Slot ";
  char trace[64];
  if (header.slot == PacketHeader::kControlSlot) {
    SnPrintf(trace, sizeof trace, "%s CONTROL", prefix);
  } else {
    SnPrintf(trace, sizeof trace, "%s %d", prefix, static_cast<int>(header.slot));
  }
  storage_->Record(direction, packet, static_cast<uint32_t>(length), trace);
}

uint8_t CConnection::RoutePacket(PacketBuffer* buffer) {
  PacketHeader header = buffer->Header();
  if (client_) {
    const uint16_t* displays = client_->DisplaySlotTable();
    const uint16_t* streams = client_->StreamSlotTable();
    const uint16_t* table = nullptr;
    unsigned index = 0;
    if (header.slot == displays[0]) {
      table = displays;
      index = header.IndexNumber();
    } else if (header.slot == streams[0]) {
      table = streams;
      index = header.subKind == PacketHeader::kRemapSubKind ? header.IndexNumber() : 0;
    }
    if (table) {
      constexpr unsigned kSameAsFirst = 10;
      if (index == kSameAsFirst || !client_->RemapsSlots()) index = 0;
      const uint16_t mapped = index < IConnectionClient::kSlotTableSize ? table[index] : PacketHeader::kNoSlot;
      if (mapped == PacketHeader::kNoSlot) return 0;  // no such display or stream: dropped
      if (mapped != header.slot) {
        header.slot = mapped;
        header.Write(buffer->data, buffer->area);
      }
    }
  }
  // Recorded before delivery: a receiver that keeps the buffer may give it
  // back to the pool on another thread at once.
  RecordPacket(bps::kReceived, buffer->data, PacketHeader::kSize + static_cast<uint64_t>(header.length));
  return DeliverPacket(buffer);
}

uint8_t CConnection::DeliverPacket(PacketBuffer* buffer) {
  const PacketHeader header = buffer->Header();
  const int length = static_cast<int>(header.length);
  if (!client_) {
    const int index = buffer->socketIndex;
    const sockaddr_in sender = (index >= 0 && index < kSocketSlots) ? slots_[index].sender : sockaddr_in{};
    buffer->result = callback_(header.slot, &sender, buffer->Payload(), length, this, userData_);
    return 0;
  }
  if (header.slot == PacketHeader::kControlSlot) {
    buffer->result = client_->OnControlMessage(buffer->Payload(), length, this);
    return 0;
  }
  if (header.slot == PacketHeader::kNoSlot) {
    buffer->result = 0;
    return 0;
  }
  return client_->DeliverSlotPacket(buffer, this);
}

// ---------------------------------------------------------------- writers

int CConnection::Send(uint16_t slot, const void* data, uint32_t length, const void* extra) {
  if (!data || length == 0 || !writer_) return 0;
  return (this->*writer_)(slot, data, length, extra);
}

int CConnection::SendAll(SocketSlot& slot, const uint8_t* bytes, uint64_t total) {
  uint64_t sent = 0;
  while (sent < total) {
    const int r = socketSend_(slot.socket, bytes + sent, ClampToInt(total - sent), nullptr);
    if (r > 0) {
      sent += static_cast<uint64_t>(r);
      continue;
    }
    if (r != SOCKET_WOULD_BLOCK) break;
    const int writable = SocketWaitWritable(slot.socket, selectTimeoutMs_);
    if (writable == 1) continue;
    if (writable == 0 && sent == 0) return 0;  // nothing went out: the stream is intact
    // Half a frame is out; a peer that still reads will take the rest, but
    // once the loop has stopped nobody waits for it.
    if (writable == 0 && running_.load()) continue;
    break;
  }
  if (sent == total) return 1;
  LogMessageA("CConnection::SendPacket: the frame broke off after %llu of %llu bytes; the session ends",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total));
  // Whatever follows would be read as part of the broken frame.
  SocketShutdown(slot.socket);
  running_.store(0);
  return -1;
}

int CConnection::SendPacket(uint16_t slot, const void* data, uint32_t length, const void* extra) {
  PacketHeader header;
  header.length = length;
  header.kind = extra ? *static_cast<const uint16_t*>(extra) : 0;
  header.slot = slot;
  SocketSlot& socket0 = slots_[0];
  CxAutoLock hold(&socket0.lock);
  if (socket0.socket == INVALID_SOCKET) return 0;
  if (Replaying()) return static_cast<int>(std::min<uint32_t>(length, INT_MAX));
  if (PacketHeader::kSize + static_cast<uint64_t>(length) > INT_MAX) return 0;
  return loopActive_.load() ? QueueFrame(socket0, header, data) : SendNow(socket0, header, data);
}

int CConnection::SendNow(SocketSlot& socket0, const PacketHeader& header, const void* data) {
  // What a loop left queued goes first; if none of it moves, neither does
  // this frame.
  const size_t queued = outgoing_.size() - outgoingHead_;
  if (queued) {
    const int rc = SendAll(socket0, outgoing_.data() + outgoingHead_, queued);
    if (rc == 0) return 0;
    DropQueued();
    if (rc < 0) return rc;
  }
  if (SocketWaitWritable(socket0.socket, selectTimeoutMs_) != 1) return 0;

  const uint64_t total = PacketHeader::kSize + static_cast<uint64_t>(header.length);
  if (!EnsureBuffer(&socket0.sendBuffer, &socket0.sendBufferSize, total)) return 0;
  if (!WriteFrame(socket0.sendBuffer, socket0.sendBufferSize, header, data)) return 0;
  const int rc = SendAll(socket0, socket0.sendBuffer, total);
  if (rc <= 0) return rc;
  RecordPacket(bps::kSent, socket0.sendBuffer, total);
  return static_cast<int>(header.length);
}

int CConnection::QueueFrame(SocketSlot& socket0, const PacketHeader& header, const void* data) {
  const uint64_t total = PacketHeader::kSize + static_cast<uint64_t>(header.length);
  const uint64_t queued = outgoing_.size() - outgoingHead_;
  const uint64_t after = queued + total;
  if (queued != 0 && after > kOutgoingSoftBound && (total > kInputFrameBytes || after > kOutgoingHardBound)) {
    if (!refusalLogged_) {
      LogMessageA("CConnection::SendPacket: %llu bytes are waiting for the server; frames of more than %u bytes "
                  "are refused until it takes them",
                  static_cast<unsigned long long>(queued), static_cast<unsigned>(kInputFrameBytes));
      refusalLogged_ = true;
    }
    return 0;
  }
  // The bytes already sent are dropped once they are the larger part, so
  // the buffer stays within twice what is queued.
  if (outgoingHead_ != 0 && outgoingHead_ >= queued) {
    outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(outgoingHead_));
    outgoingHead_ = 0;
  }
  const size_t at = outgoing_.size();
  try {
    outgoing_.resize(at + total);
  } catch (const std::bad_alloc&) {
    LogMessageA("CConnection::SendPacket: no memory to queue %llu bytes; not sent",
                static_cast<unsigned long long>(total));
    return 0;
  }
  if (!WriteFrame(outgoing_.data() + at, total, header, data)) {
    outgoing_.resize(at);
    return 0;
  }
  RecordPacket(bps::kSent, outgoing_.data() + at, total);
  if (queued != 0) return static_cast<int>(header.length);

  // The queue was empty: one write now, so that a key normally goes out on
  // the caller's thread at once; whatever the socket does not take waits
  // for the loop.
  outgoingProgress_ = GetTickCount64();
  if (WriteQueued(socket0, true) != 0) return -1;
  if (outgoing_.size() != outgoingHead_) wakeup_.Set();
  return static_cast<int>(header.length);
}

int CConnection::WriteQueued(SocketSlot& socket0, bool once) {
  while (outgoingHead_ < outgoing_.size()) {
    const uint64_t queued = outgoing_.size() - outgoingHead_;
    const int r = socketSend_(socket0.socket, outgoing_.data() + outgoingHead_, ClampToInt(queued), nullptr);
    if (r == SOCKET_WOULD_BLOCK) break;
    if (r <= 0) {
      LogMessageA("CConnection::SendPacket: the socket failed with %llu bytes still to send; the session ends",
                  static_cast<unsigned long long>(queued));
      SocketShutdown(socket0.socket);
      DropQueued();
      running_.store(0);
      return -1;
    }
    outgoingHead_ += static_cast<size_t>(r);
    outgoingProgress_ = GetTickCount64();
    if (once) break;
  }
  if (outgoingHead_ == outgoing_.size()) DropQueued();
  return 0;
}

void CConnection::DropQueued() {
  outgoing_.clear();
  outgoingHead_ = 0;
  refusalLogged_ = false;
}

uint64_t CConnection::QueuedBytes() {
  CxAutoLock hold(&slots_[0].lock);
  return outgoing_.size() - outgoingHead_;
}

bool CConnection::HasQueued() { return QueuedBytes() != 0; }

int CConnection::FlushQueued() {
  SocketSlot& socket0 = slots_[0];
  CxAutoLock hold(&socket0.lock);
  if (socket0.socket == INVALID_SOCKET || WriteQueued(socket0, false) == 0) return 0;
  lastResult_.store(kStatusFailure);
  return -1;
}

bool CConnection::OutgoingStalled() {
  const DWORD limit = stallLimitMs_.load();
  CxAutoLock hold(&slots_[0].lock);
  const uint64_t queued = outgoing_.size() - outgoingHead_;
  if (queued == 0 || limit == 0 || GetTickCount64() - outgoingProgress_ < limit) return false;
  LogMessageA("CConnection::ReceiveLoop: the server has taken none of %llu waiting bytes for %u ms; "
              "the connection ends",
              static_cast<unsigned long long>(queued), static_cast<unsigned>(limit));
  lastResult_.store(kStatusFailure);
  running_.store(0);
  return true;
}

int CConnection::SendRaw(uint16_t, const void* data, uint32_t length, const void* extra) {
  const sockaddr_in* destination = static_cast<const sockaddr_in*>(extra);
  if (!destination || length > INT_MAX) return kStatusFailure;
  bool sent = false;
  CxAutoLock hold(&setLock_);
  for (int i = 0; i < socketCount_; ++i) {
    SocketSlot& slot = slots_[i];
    CxAutoLock slotHold(&slot.lock);
    if (slot.socket == INVALID_SOCKET) continue;
    if (SocketWaitWritable(slot.socket, selectTimeoutMs_) != 1) continue;
    if (socketSend_(slot.socket, data, static_cast<int>(length), destination) == static_cast<int>(length))
      sent = true;
  }
  return sent ? 0 : kStatusFailure;
}
