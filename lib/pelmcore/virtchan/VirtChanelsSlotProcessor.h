// The processor of the "MSVCEXT " slot: a table of 14 channel entries,
// opened and closed when the server says so, received channel data handed
// to the channel that owns it, and the answer to the server's capability
// exchange with the channel groups this client enables.
//
// Every slot message is checked against the bytes that arrived: a message
// whose header or fixed fields run past them is dropped with one log line.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "session/SlotDataProcessor.h"
#include "virtchan/VirtChanel.h"
#include "virtchan/VirtChanSession.h"

class CVirtChanelsSlotProcessor : public CSlotDataProcessor {
 public:
  CVirtChanelsSlotProcessor(uint16_t slotNumber, std::shared_ptr<IVirtChanSession> session);
  ~CVirtChanelsSlotProcessor() override;

  // One slot message; the client argument is not used (the processor talks
  // to its session port).
  int OnData(const uint8_t* data, uint32_t length, CGenericClient* client) override;
  int OnClientData(const void* record, uint32_t length) override;
  int InjectData(const uint8_t* data, uint32_t length) override;
  // Detaching ends the session's channels: the port is cut and every
  // channel stopped, so nothing is sent into a client that is going away.
  void Attach(uint16_t slot, ISlotHost* host) override;

  int FeedServerData(const uint8_t* data, uint32_t length);
  // Stops the old channel at the new one's index after starting the new one.
  void SetChannel(std::shared_ptr<CCVirtChanel> channel);
  std::shared_ptr<CCVirtChanel> ReleaseChannel(uint16_t index);
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
  std::shared_ptr<IVirtChanSession> session_;
  uint32_t clientMask_;
  uint32_t enabledMask_;
  std::array<std::shared_ptr<CCVirtChanel>, virtchan::kChannelCount> channels_;
};

// Makes the "MSVCEXT " slot's processor, talking to its session through a
// port over the client, and registers the clipboard channel's maker.
void RegisterChannelsProcessorMaker();
