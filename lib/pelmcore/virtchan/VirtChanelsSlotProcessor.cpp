#include "virtchan/VirtChanelsSlotProcessor.h"

#include <system_error>
#include <utility>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"
#include "virtchan/ChannelMakers.h"

using namespace virtchan;

ChannelCloser::~ChannelCloser() { Finish(); }

void ChannelCloser::Retire(std::shared_ptr<CCVirtChanel> channel) {
  if (!channel) return;
  channel->MarkClosed();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!thread_.joinable()) {
      try {
        finishing_ = false;
        thread_ = std::thread(&ChannelCloser::Run, this);
      } catch (const std::system_error&) {
        LogMessageA("ChannelCloser: no thread; channel %u is stopped where it was closed", unsigned{channel->Index()});
      }
    }
    if (thread_.joinable()) {
      queue_.push_back(std::move(channel));
      wake_.notify_one();
      return;
    }
  }
  channel->Stop();
}

void ChannelCloser::Finish() {
  std::thread ending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    finishing_ = true;
    ending.swap(thread_);
  }
  wake_.notify_one();
  if (ending.joinable()) ending.join();
}

void ChannelCloser::Run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    wake_.wait(hold, [this] { return finishing_ || !queue_.empty(); });
    if (queue_.empty()) return;  // finishing, nothing left
    std::shared_ptr<CCVirtChanel> channel = std::move(queue_.front());
    queue_.pop_front();
    hold.unlock();
    channel->Stop();
    channel.reset();
    hold.lock();
  }
}

CVirtChanelsSlotProcessor::CVirtChanelsSlotProcessor(uint16_t slotNumber, std::shared_ptr<ChannelSlotSession> session)
    : slotNumber_(slotNumber),
      session_(std::move(session)),
      clientMask_(kDefaultClientGroups),
      enabledMask_(kDefaultClientGroups) {}

CVirtChanelsSlotProcessor::~CVirtChanelsSlotProcessor() {
  // The port goes with the base: the channels' session lets go of it first.
  if (session_ && Session()) session_->Cut();
  CloseAllChannels();
}

int CVirtChanelsSlotProcessor::OnClientData(const void*, uint32_t) { return 0; }

int CVirtChanelsSlotProcessor::InjectData(const uint8_t*, uint32_t) { return 0; }

void CVirtChanelsSlotProcessor::AttachPort(uint16_t newSlot, std::unique_ptr<ISlotSessionPort> port) {
  if (!port) {
    if (session_) session_->Cut();
    CloseAllChannels();
  }
  CSlotDataProcessor::AttachPort(newSlot, std::move(port));
  if (Session() && Slot() != kDetached && session_) session_->Bind(Session());
}

int CVirtChanelsSlotProcessor::OnData(const uint8_t* data, uint32_t length) {
  return FeedServerData(data, length);
}

int CVirtChanelsSlotProcessor::FeedServerData(const uint8_t* data, uint32_t length) {
  ChannelHeader header;
  if (!ReadChannelHeader(data, length, &header)) {
    LogMessageA("CVirtChanelsSlotProcessor: a message of %u bytes has no header; dropped", length);
    return 0;
  }
  if (uint64_t{header.length} > uint64_t{length} - kHeaderSize) {
    LogMessageA("CVirtChanelsSlotProcessor: message 0x%04x states %u payload bytes, %u came; dropped",
                unsigned{header.code}, header.length, unsigned(length - kHeaderSize));
    return 0;
  }
  const uint8_t* payload = data + kHeaderSize;
  switch (header.code) {
    case kChannelData:
      if (header.index < kChannelCount && channels_[header.index]) {
        std::shared_ptr<CCVirtChanel> copy = channels_[header.index];
        copy->OnServerData(payload, header.length);
      }
      break;
    case kChannelOpen:
      OnOpen(header.index, payload, header.length);
      break;
    case kChannelClose:
      OnClose(header.index, payload, header.length);
      break;
    case kCapabilities:
      OnCapabilities(payload, header.length);
      break;
    default:
      break;
  }
  return 0;
}

uint32_t CVirtChanelsSlotProcessor::ClientGroups() const {
  const CClientConnectionParameter* parameters = session_ ? session_->Parameters() : nullptr;
  uint32_t groups = clientMask_;
  if (!ClipboardShared(parameters)) groups &= ~kClipboardGroup;
  if (MultimediaRedirected(parameters)) groups |= kMultimediaGroup;
  return groups;
}

void CVirtChanelsSlotProcessor::OnOpen(uint16_t index, const uint8_t* payload, uint32_t length) {
  ByteReader r(payload, length);
  r.Skip(4);
  const uint32_t serverChannelId = r.U32();
  if (!r.Ok()) {
    LogMessageA("CVirtChanelsSlotProcessor: open of %u bytes is too short; dropped", length);
    return;
  }
  // The name ends at its terminator or fills its 16 units; one cut short by
  // the end of the message names nothing.
  char16_t name[kOpenNameUnits] = {};
  size_t units = 0;
  bool terminated = false;
  while (units < kOpenNameUnits && r.Remaining() >= 2) {
    const char16_t unit = r.U16();
    if (unit == 0) {
      terminated = true;
      break;
    }
    name[units++] = unit;
  }
  if (!terminated && units < kOpenNameUnits) {
    LogMessageA("CVirtChanelsSlotProcessor: open at %u carries an unterminated name; dropped", unsigned{index});
    return;
  }
  if (index >= kChannelCount) return;
  const ChannelKind* kind = FindChannelKind(name, units);
  if (!kind || !kind->allowed(session_ ? session_->Parameters() : nullptr)) return;
  const ChannelMaker maker = FindChannelMaker(kind->name);
  if (!maker) return;  // no object of this kind in this program
  std::shared_ptr<CCVirtChanel> channel =
      maker(ChannelMakeContext{serverChannelId, index, enabledMask_ & kind->groupMask, session_});
  if (!channel) {
    LogMessageA("CVirtChanelsSlotProcessor: channel at %u could not be made", unsigned{index});
    return;
  }
  SetChannel(std::move(channel));
}

void CVirtChanelsSlotProcessor::OnClose(uint16_t index, const uint8_t* payload, uint32_t length) {
  ByteReader r(payload, length);
  const uint32_t serverChannelId = r.U32();
  if (!r.Ok()) {
    LogMessageA("CVirtChanelsSlotProcessor: close of %u bytes is too short; dropped", length);
    return;
  }
  if (index >= kChannelCount || !channels_[index]) return;
  if (channels_[index]->ServerChannelId() != serverChannelId) return;
  closer_.Retire(ReleaseChannel(index));
}

int CVirtChanelsSlotProcessor::OnCapabilities(const uint8_t* payload, uint32_t length) {
  const uint32_t groups = ClientGroups();
  ByteReader r(payload, length);
  const uint16_t magic = r.U16();
  r.Skip(2);
  const uint32_t echo = r.U32();
  const uint32_t serverMask = r.U32();
  if (!r.Ok()) {
    LogMessageA("CVirtChanelsSlotProcessor: capability exchange of %u bytes is too short; dropped", length);
    return 0;
  }
  if (magic != kCapabilityMagic) return 0;
  enabledMask_ = groups & serverMask;
  uint8_t reply[kHeaderSize + kCapabilityReplyPayload];
  WriteChannelHeader(reply, ChannelHeader{kCapabilities, kReplyIndex, kCapabilityReplyPayload});
  ByteWriter w(reply + kHeaderSize, kCapabilityReplyPayload);
  w.U16(kCapabilityMagic);
  w.U16(kReplyIndex);
  w.U32(echo);
  w.U32(enabledMask_);
  w.U32(0);
  if (session_) session_->SendOnChannelSlot(reply, sizeof reply);
  return 0;
}

void CVirtChanelsSlotProcessor::SetChannel(std::shared_ptr<CCVirtChanel> channel) {
  if (!channel || channel->Index() >= kChannelCount) return;
  channel->Open(channel);
  closer_.Retire(ReleaseChannel(channel->Index()));
  channels_[channel->Index()] = std::move(channel);
}

std::shared_ptr<CCVirtChanel> CVirtChanelsSlotProcessor::ReleaseChannel(uint16_t index) {
  if (index >= kChannelCount) return nullptr;
  return std::move(channels_[index]);
}

void CVirtChanelsSlotProcessor::CloseAllChannels() {
  closer_.Finish();
  for (uint16_t i = 0; i < kChannelCount; ++i) {
    std::shared_ptr<CCVirtChanel> channel = ReleaseChannel(i);
    if (channel) channel->Stop();
  }
}

std::shared_ptr<CCVirtChanel> CVirtChanelsSlotProcessor::Channel(uint16_t index) const {
  return index < kChannelCount ? channels_[index] : nullptr;
}
