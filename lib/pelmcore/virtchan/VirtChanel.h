// Base of every channel object: a worker thread with its data queue, so that
// channel protocols run off the session's receive path, the list of
// finished asynchronous requests the worker reaps, and the sends that wrap
// channel data into "WC" slot messages.
//
// Ownership: the processor's table and the worker each hold a shared
// pointer; callbacks held by other objects may hold more. The worker is
// joined by Stop, which the processor always calls before it drops its
// pointer.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sys/_synchro.h"
#include "virtchan/RdpVirtualChannel.h"
#include "virtchan/VirtChanSession.h"
#include "virtchan/VirtChanWire.h"

class CCVirtChanel : public IRdpVirtualChannel {
 public:
  using SessionPtr = std::shared_ptr<IVirtChanSession>;

  // The worker waits this long for the queue's event before it looks again.
  static constexpr uint32_t kWaitMs = 1000;
  // The marker in front of a record from AllocPacket; never sent.
  static constexpr uint32_t kPacketMarker = 0xE3A4C502;
  static constexpr size_t kPacketHeaderOffset = 4;

  CCVirtChanel(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session);
  ~CCVirtChanel() override;

  int32_t Write(uint32_t length, const void* data) override;
  int32_t Close() override;

  // Starts the worker with a copy of `self`.
  virtual int Open(const std::shared_ptr<CCVirtChanel>& self);
  // Closes the queue, wakes and joins the worker. Not on the worker itself.
  virtual int Stop();
  // The server closed the channel: nothing is sent on it from now on, so
  // late answers cannot reach a channel opened later at the same index.
  void MarkClosed() { closed_.store(true, std::memory_order_release); }
  // Receive path: queues a copy of the payload for the worker.
  virtual int OnServerData(const uint8_t* data, uint32_t length);

  // `buffer` holds 8 free bytes for the header, then `length` bytes.
  int SendDataVia(uint8_t* buffer, uint32_t length, IVirtChanSession* via);
  int SendData(uint8_t* buffer, uint32_t length);
  // `buffer` begins with a filled header.
  int SendFrameVia(const uint8_t* buffer, IVirtChanSession* via);
  int SendFrame(const uint8_t* buffer);
  // A record from AllocPacket.
  int SendPacketVia(const uint8_t* packet, IVirtChanSession* via);
  int SendPacket(const uint8_t* packet);
  // Marker, filled header, then n payload bytes (at kPacketHeaderOffset + 8);
  // null when it cannot be allocated.
  std::unique_ptr<uint8_t[]> AllocPacket(uint32_t n);
  void FillHeader(uint8_t header[virtchan::kHeaderSize], uint32_t n) const;

  // Sends a PDU as "WC" chunks of at most `limit` PDU bytes, each behind a
  // CHANNEL_PDU_HEADER. A PDU of no bytes sends nothing.
  void SendChunked(const uint8_t* pdu, uint32_t total, uint32_t limit);
  // The same for a PDU held in two pieces (a header and its data), so that
  // a large PDU is not copied whole first.
  void SendChunked(const uint8_t* head, uint32_t headLength, const uint8_t* body, uint32_t bodyLength,
                   uint32_t limit);

  // Threads of asynchronous requests hand their finished futures here; the
  // worker waits on them and drops them.
  bool AddFinishedTask(std::future<void>&& task);
  void ReapFinishedTasks();

  uint16_t Index() const { return index_; }
  uint32_t ServerChannelId() const { return serverChannelId_; }
  uint32_t OptionWord() const { return optionWord_; }
  IVirtChanSession* Session() const { return session_.get(); }

  CCVirtChanel(const CCVirtChanel&) = delete;
  CCVirtChanel& operator=(const CCVirtChanel&) = delete;

 protected:
  // One received channel payload, on the worker.
  virtual int OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession* session,
                        const std::shared_ptr<CCVirtChanel>& self);
  virtual void OnRequestDone(uint32_t requestId);

 private:
  static void ChannelThreadEntry(std::shared_ptr<CCVirtChanel> self);
  void ProcessThread(const std::shared_ptr<CCVirtChanel>& self);
  bool Running() const;
  void Send(const uint8_t* frame, uint32_t length, IVirtChanSession* via);

  const uint16_t index_;
  const SessionPtr session_;
  std::thread worker_;
  const uint32_t serverChannelId_;
  std::recursive_mutex taskMutex_;
  std::vector<std::future<void>> finishedTasks_;
  const uint32_t optionWord_;
  std::atomic<bool> closed_{false};
  CxQueue queue_;
};
