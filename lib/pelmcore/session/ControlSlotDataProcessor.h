// The processor of the control slot 0xFAFA: it answers the server's echo
// requests and queries, shows the server's texts, passes clipboard text both
// ways, unwraps tunnel frames for the tunnel registry and sends the client's
// events. Handshake replies it leaves to the client (not consumed).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "session/ClipboardInterface.h"
#include "session/ControlEvents.h"
#include "session/SlotDataProcessor.h"

class CControlSlotDataProcessor : public CSlotDataProcessor, public IClipboardListener, public IControlEvents {
 public:
  // Control message codes.
  enum Code : uint32_t {
    kHello = 257,
    kReply258 = 258,
    kHelloAgain = 259,
    kReply260 = 260,
    kKeyBlock = 262,
    kEchoRequest = 263,
    kEchoReply = 264,
    kServerText = 266,
    kQuery = 271,
    kQueryReply = 272,
    kEvent = 273,
    kIgnored = 274,
    kPlainQuery = 275,
    kPlainQueryReply = 276,
    kClipboardText = 288,
    kSystemMessage = 1024,
    kTunnelFrame = 2560,
    kEncryptedTunnelFrame = 2561,
  };
  static constexpr uint32_t kEchoLimit = 296;
  static constexpr uint32_t kServerTextLimit = 260;
  static constexpr uint32_t kSystemMessageSize = 656;
  static constexpr uint16_t kEchoReplyKind = 5;
  static constexpr uint32_t kRefusalStatus = 1608;

  CControlSlotDataProcessor() = default;
  ~CControlSlotDataProcessor() override;

  int OnData(const uint8_t* message, uint32_t length) override;
  // Sends a whole control message as given: 0 when every byte went out.
  int OnClientData(const void* message, uint32_t length) override;
  void Attach(uint16_t slot, ISlotHost* host) override;
  void HookClipboard() override;

  int OnClipboardText(int format, const void* data, uint32_t length) override;

  // 1 when the record went out encrypted; replies are never sent plain.
  int SendReply(CGenericClient* client, uint32_t code, const void* record, uint32_t length);
  int SendEvent(CGenericClient* client, uint32_t code, const void* data, uint32_t length) override;

  int OnQueryMessage(uint32_t code, CGenericClient* client, const uint8_t* body, uint32_t length);
  int OnQuery(CGenericClient* client, const uint8_t* query, uint32_t length);
  int OnServerEvent(CGenericClient* client, const uint8_t* event, uint32_t length);
  int OnPlainQuery(CGenericClient* client, const uint8_t* query, uint32_t length);
  int OnTunnelFrame(CGenericClient* client, const uint8_t* frame, uint32_t length);

 private:
  int OnKeyBlock(CGenericClient* client, const uint8_t* payload, uint32_t length);
  int OnEchoRequest(CGenericClient* client, const uint8_t* payload, uint32_t length);
  int OnServerText(const uint8_t* payload, uint32_t length);
  int OnSystemMessage(const uint8_t* payload, uint32_t length);
  // Decrypts an encrypted control payload (none in replay mode) into body.
  bool OpenEncrypted(CGenericClient* client, const uint8_t* payload, uint32_t length, std::vector<uint8_t>* body);
  int SendQueryReply(CGenericClient* client, uint32_t id, uint32_t type, uint32_t context, const void* data,
                     uint32_t n);
  void UnhookClipboard();

  // The attached host's client, null while detached.
  CGenericClient* client = nullptr;
  // The attached host's system API; kept once detached.
  CClientSystemApi* systemApi = nullptr;
  // The clipboard whose listener this processor is, until detached.
  std::mutex hookMutex;
  CClipboardInterface* hooked = nullptr;
};
