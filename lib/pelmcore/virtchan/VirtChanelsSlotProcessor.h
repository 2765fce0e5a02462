// The processor of the "MSVCEXT " slot: a table of 14 channel entries,
// opened and closed when the server says so, received channel data handed
// to the channel that owns it, and the answer to the server's capability
// exchange with the channel groups this client enables.
//
// Every slot message is checked against the bytes that arrived: a message
// whose header or fixed fields run past them is dropped with one log line.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "session/SlotDataProcessor.h"
#include "virtchan/VirtChanel.h"
#include "virtchan/VirtChanSession.h"

// Stops the channels the server closed or replaced on a thread of its own.
// Slot messages arrive under the client's processor lock, which every send
// of a channel's worker takes too: joining a worker there could wait for
// ever. Channels are stopped one at a time in the order they were handed in.
class ChannelCloser {
 public:
  ChannelCloser() = default;
  ~ChannelCloser();

  // The channel sends nothing from now on; it is stopped soon after.
  void Retire(std::shared_ptr<CCVirtChanel> channel);
  // Stops every channel handed in so far and ends the thread; a later
  // Retire starts a new one. Never under the client's processor lock.
  void Finish();

  ChannelCloser(const ChannelCloser&) = delete;
  ChannelCloser& operator=(const ChannelCloser&) = delete;

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<CCVirtChanel>> queue_;
  bool finishing_ = false;
  std::thread thread_;
};

class CVirtChanelsSlotProcessor : public CSlotDataProcessor {
 public:
  CVirtChanelsSlotProcessor(uint16_t slotNumber, std::shared_ptr<ChannelSlotSession> session);
  ~CVirtChanelsSlotProcessor() override;

  // One slot message; the client argument is not used (the processor talks
  // to its session port).
  int OnData(const uint8_t* data, uint32_t length) override;
  int OnClientData(const void* record, uint32_t length) override;
  int InjectData(const uint8_t* data, uint32_t length) override;
  // Attaching binds the channels' session to the port. Detaching ends the
  // session's channels: their session is cut and every channel stopped, so
  // nothing is sent into a client that is going away.
  void AttachPort(uint16_t slot, std::unique_ptr<ISlotSessionPort> port) override;

  int FeedServerData(const uint8_t* data, uint32_t length);
  // Starts the new channel, then retires the old one at its index (the old
  // one sends nothing more and is stopped off this thread).
  void SetChannel(std::shared_ptr<CCVirtChanel> channel);
  std::shared_ptr<CCVirtChanel> ReleaseChannel(uint16_t index);
  // Stops the channels closed earlier, in order, then every open one; on
  // return no channel of this processor runs. Not under the processor lock.
  void CloseAllChannels();

  std::shared_ptr<CCVirtChanel> Channel(uint16_t index) const;
  uint16_t SlotNumber() const { return slotNumber_; }
  uint32_t EnabledMask() const { return enabledMask_; }
  // The groups this client offers: device and clipboard (while the
  // clipboard is shared), multimedia while it is redirected.
  uint32_t ClientGroups() const;

 private:
  void OnOpen(uint16_t index, const uint8_t* payload, uint32_t length);
  void OnClose(uint16_t index, const uint8_t* payload, uint32_t length);
  int OnCapabilities(const uint8_t* payload, uint32_t length);

  const uint16_t slotNumber_;
  std::shared_ptr<ChannelSlotSession> session_;
  uint32_t clientMask_;
  uint32_t enabledMask_;
  std::array<std::shared_ptr<CCVirtChanel>, virtchan::kChannelCount> channels_;
  ChannelCloser closer_;
};

// Makes the "MSVCEXT " slot's processor, talking to its session through a
// port over the client, and registers the clipboard channel's maker.
void RegisterChannelsProcessorMaker();
