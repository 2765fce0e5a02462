#include "virtchan/VirtChanel.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "sys/ByteWriter.h"
#include "sys/klog.h"

using namespace virtchan;

CCVirtChanel::CCVirtChanel(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session)
    : index_(index), session_(std::move(session)), serverChannelId_(serverChannelId), optionWord_(optionWord) {}

CCVirtChanel::~CCVirtChanel() {
  // Stop joins the worker before the last outside pointer goes; the worker
  // itself may still be the one dropping the last pointer.
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id())
      worker_.detach();
    else
      worker_.join();
  }
}

int32_t CCVirtChanel::Write(uint32_t, const void*) { return -1; }

int32_t CCVirtChanel::Close() { return -1; }

int CCVirtChanel::Open(const std::shared_ptr<CCVirtChanel>& self) {
  try {
    worker_ = std::thread(&CCVirtChanel::ChannelThreadEntry, self);
  } catch (const std::system_error&) {
    LogMessageA("CCVirtChanel::Open: channel %u: no worker thread", unsigned{index_});
  }
  return 0;
}

int CCVirtChanel::Stop() {
  {
    CxAutoLock hold(&queue_.lock);
    __atomic_store_n(&queue_.open, 0, __ATOMIC_RELEASE);
  }
  queue_.event.Set();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
  return 0;
}

bool CCVirtChanel::Running() const { return __atomic_load_n(&queue_.open, __ATOMIC_ACQUIRE) != 0; }

int CCVirtChanel::OnServerData(const uint8_t* data, uint32_t length) {
  CxInlineBlock* item = CxInlineBlock::Allocate(length);
  if (!item) {
    LogMessageA("CCVirtChanel::OnServerData: channel %u: %u bytes dropped, no memory", unsigned{index_}, length);
    return 0;
  }
  item->Assign(data, length);
  if (!queue_.Push(item, CxQueue::kSignal)) delete item;
  return 0;
}

void CCVirtChanel::ChannelThreadEntry(std::shared_ptr<CCVirtChanel> self) {
  self->ProcessThread(self);
  // The worker's pointer goes here, which may be the channel's last.
}

void CCVirtChanel::ProcessThread(const std::shared_ptr<CCVirtChanel>& self) {
  while (Running()) {
    queue_.event.Wait(kWaitMs);
    if (!Running()) break;
    CxQueueNode* node = nullptr;
    while (Running() && queue_.Pop(&node)) {
      std::unique_ptr<CxInlineBlock> item(static_cast<CxInlineBlock*>(node));
      if (item->length == 0)
        ReapFinishedTasks();
      else
        OnReceive(item->data, item->length, session_.get(), self);
    }
  }
}

int CCVirtChanel::OnReceive(const uint8_t*, uint32_t, IVirtChanSession*, const std::shared_ptr<CCVirtChanel>&) {
  return 0;
}

void CCVirtChanel::OnRequestDone(uint32_t) {}

bool CCVirtChanel::AddFinishedTask(std::future<void>&& task) {
  {
    std::lock_guard<std::recursive_mutex> hold(taskMutex_);
    finishedTasks_.push_back(std::move(task));
  }
  CxInlineBlock* wake = CxInlineBlock::Allocate(0);
  if (!wake) return false;
  wake->Assign(nullptr, 0);
  if (queue_.Push(wake, CxQueue::kSignal)) return true;
  delete wake;
  return false;
}

void CCVirtChanel::ReapFinishedTasks() {
  std::vector<std::future<void>> taken;
  {
    std::lock_guard<std::recursive_mutex> hold(taskMutex_);
    taken.swap(finishedTasks_);
  }
  for (std::future<void>& task : taken) {
    if (task.valid()) task.wait();
  }
}

// ---------------------------------------------------------------- sends

void CCVirtChanel::FillHeader(uint8_t header[kHeaderSize], uint32_t n) const {
  WriteChannelHeader(header, ChannelHeader{kChannelData, index_, n});
}

void CCVirtChanel::Send(const uint8_t* frame, uint32_t length, IVirtChanSession* via) {
  if (via && !closed_.load(std::memory_order_acquire)) via->SendOnChannelSlot(frame, length);
}

int CCVirtChanel::SendDataVia(uint8_t* buffer, uint32_t length, IVirtChanSession* via) {
  if (!buffer || uint64_t{length} + kHeaderSize > UINT32_MAX) return 0;
  FillHeader(buffer, length);
  Send(buffer, length + kHeaderSize, via);
  return 0;
}

int CCVirtChanel::SendData(uint8_t* buffer, uint32_t length) { return SendDataVia(buffer, length, session_.get()); }

int CCVirtChanel::SendFrameVia(const uint8_t* buffer, IVirtChanSession* via) {
  ChannelHeader header;
  if (!buffer || !ReadChannelHeader(buffer, kHeaderSize, &header)) return 0;
  if (uint64_t{header.length} + kHeaderSize > UINT32_MAX) return 0;
  Send(buffer, header.length + kHeaderSize, via);
  return 0;
}

int CCVirtChanel::SendFrame(const uint8_t* buffer) { return SendFrameVia(buffer, session_.get()); }

int CCVirtChanel::SendPacketVia(const uint8_t* packet, IVirtChanSession* via) {
  return packet ? SendFrameVia(packet + kPacketHeaderOffset, via) : 0;
}

int CCVirtChanel::SendPacket(const uint8_t* packet) { return SendPacketVia(packet, session_.get()); }

std::unique_ptr<uint8_t[]> CCVirtChanel::AllocPacket(uint32_t n) {
  const uint64_t size = uint64_t{n} + kPacketHeaderOffset + kHeaderSize;
  if (size > UINT32_MAX) return nullptr;
  std::unique_ptr<uint8_t[]> packet(new (std::nothrow) uint8_t[size]());
  if (!packet) return nullptr;
  ByteWriter w(packet.get(), kPacketHeaderOffset);
  w.U32(kPacketMarker);
  FillHeader(packet.get() + kPacketHeaderOffset, n);
  return packet;
}

void CCVirtChanel::SendChunked(const uint8_t* pdu, uint32_t total, uint32_t limit) {
  SendChunked(pdu, total, nullptr, 0, limit);
}

void CCVirtChanel::SendChunked(const uint8_t* head, uint32_t headLength, const uint8_t* body, uint32_t bodyLength,
                               uint32_t limit) {
  const uint64_t total = uint64_t{headLength} + bodyLength;
  if (total == 0 || total > UINT32_MAX || limit == 0 || (headLength && !head) || (bodyLength && !body)) return;
  const uint32_t largest = static_cast<uint32_t>(std::min<uint64_t>(total, limit));
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[kHeaderSize + kPduHeaderSize + largest]);
  if (!frame) {
    LogMessageA("CCVirtChanel::SendChunked: channel %u: %u bytes not sent, no memory", unsigned{index_},
                static_cast<uint32_t>(total));
    return;
  }
  for (uint64_t offset = 0; offset < total;) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(limit, total - offset));
    ByteWriter w(frame.get() + kHeaderSize, kPduHeaderSize + chunk);
    w.U32(static_cast<uint32_t>(total));
    w.U32(ChunkFlags(offset, chunk, total));
    // The chunk's bytes from the head, then from the body.
    const uint64_t fromHead = offset < headLength ? std::min<uint64_t>(headLength - offset, chunk) : 0;
    if (fromHead) w.Bytes(head + offset, fromHead);
    if (chunk > fromHead) w.Bytes(body + (offset + fromHead - headLength), chunk - fromHead);
    SendData(frame.get(), static_cast<uint32_t>(kPduHeaderSize + chunk));
    offset += chunk;
  }
}
