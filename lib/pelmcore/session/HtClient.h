// The session client of the host protocol: it builds the hello, creates the
// slot processors the hello announces, runs the three-step handshake on the
// control slot (plain or with the public-key exchange) and sends slot data,
// encrypting it where the slot table says so.
#pragma once

#include <cstdint>
#include <vector>

#include "session/GenericClient.h"
#include "session/HelloRecord.h"

class CHtClient : public CGenericClient {
 public:
  // Handshake steps.
  static constexpr int32_t kAwaitHello = 100;
  static constexpr int32_t kAwaitReply258 = 101;
  static constexpr int32_t kAwaitReply260 = 102;
  // Sizes of the key record handed from reply 258 to message 259.
  static constexpr size_t kKeyRecordSize = 320;
  // How long each handshake step waits for the server's reply.
  static constexpr DWORD kHandshakeStepMs = 30000;

  CHtClient();
  ~CHtClient() override;

  bool ResolveServer(ConnectTarget* target) override;
  int OnHandshakeMessage(const uint8_t* data, int length, CConnection* connection) override;
  uint32_t QueryFeature() override;
  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override;
  int SendControl(uint16_t kind, const void* data, uint32_t length) override;
  int BuildHello(CClientConnectionParameter* parameters) override;
  const char* GetClientType() override;
  uint16_t GetSlotFlags(uint16_t slot) override;
  int OnConnected() override;
  int OnDisconnected() override;
  int RegisterSlotProcessor(uint16_t slot, CSlotDataProcessor* processor) override;
  bool AlignsContainers() override { return alignFlag != 0; }
  virtual void SetRequestedMode(uint32_t low, uint32_t high);
  virtual void SetRequestedModeKind(int32_t kind);

  // A host that takes the connection and never answers ends the session
  // as a time-out after this long per step (tests shorten it).
  void SetHandshakeStepTimeout(DWORD ms) { handshakeStepMs = ms; }

  int SendHello();
  int CheckReply258(const uint8_t* data, int length);
  // The reply is decrypted in place in an encrypted session.
  int CheckReply260(uint8_t* data, int length);
  // Takes the key record (null when there is none).
  int SendHelloAgain(std::vector<uint8_t>* keyRecord, int keyWords);
  int EncryptHello(const std::vector<uint8_t>& keyRecord, int keyWords, uint8_t* hello, size_t size);
  void CreateProcessors(const CClientConnectionParameter* parameters);
  void ConfigureFromHello(const uint8_t* hello, size_t size);

  // What the handshake decided, for the user interface and tests.
  int32_t Handshake() const { return handshake; }
  uint8_t AlignFlag() const { return alignFlag; }
  uint8_t Remap() const { return remap; }
  int32_t Mode() const { return mode; }
  const uint8_t* Hello() const { return hello; }
  uint32_t HelloSize() const { return helloSize; }
  uint16_t DisplaySlot(int index) const { return index >= 0 && index < kMaxDisplays ? displaySlots[index] : kNoSlot; }
  uint16_t StreamSlot(int index) const { return index >= 0 && index < kMaxDisplays ? streamSlots[index] : kNoSlot; }
  uint16_t AudioSlot() const { return audioSlot; }
  uint16_t ChannelSlot() const { return channelSlot; }
  uint16_t ProcessorCount();

 protected:
  // The client's exchange record over a hello, its value computed and
  // stored back, and the cipher's local half set.
  void ComputeExchangeValue(uint8_t* hello, size_t size);
  // Processors registered at the slot ids the table gave them.
  void CreateSlotProcessor(const char* slotName, uint16_t slot, int displayIndex,
                           const CClientConnectionParameter* parameters);

  // Arms (or, with 0, clears) the connection's wait for the next reply.
  void AwaitReplyFor(DWORD ms);

  int32_t handshake = kAwaitHello;
  std::atomic<DWORD> handshakeStepMs{kHandshakeStepMs};
  uint8_t alignFlag = 1;
  uint32_t requestedLow = 0;
  uint32_t requestedHigh = 0;
  int32_t requestedKind = 0;
};
