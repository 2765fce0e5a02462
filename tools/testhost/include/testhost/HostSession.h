// The host side of one session over an accepted framed connection: the
// handshake (plain, or with the public-key exchange: the host holds the
// private key, unwraps the session key, opens and checks the hello and
// answers with an encrypted reply 260), then the control slot: scripted
// control messages, echo requests as keep-alive, slot data, and a recording
// of every message the client sends, opened where the host can.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testhost/Framing.h"
#include "testhost/HostCipher.h"

namespace testhost {

// Control message codes the host uses.
namespace code {
constexpr uint32_t kHello = 257;
constexpr uint32_t kReply258 = 258;
constexpr uint32_t kHelloAgain = 259;
constexpr uint32_t kReply260 = 260;
constexpr uint32_t kKeyBlock = 262;
constexpr uint32_t kEchoRequest = 263;
constexpr uint32_t kEchoReply = 264;
constexpr uint32_t kServerText = 266;
constexpr uint32_t kQuery = 271;
constexpr uint32_t kQueryReply = 272;
constexpr uint32_t kEvent = 273;
constexpr uint32_t kPlainQuery = 275;
constexpr uint32_t kPlainQueryReply = 276;
constexpr uint32_t kClipboardText = 288;
constexpr uint32_t kSystemMessage = 1024;
constexpr uint32_t kTunnelFrame = 2560;
constexpr uint32_t kEncryptedTunnelFrame = 2561;
}  // namespace code

// Where the host hangs up during the handshake.
enum class CloseAt { kNever, kBeforeHello, kAfterHello, kAfter258, kAfter259, kAfter260 };

struct HandshakeOptions {
  bool encrypted = false;
  // Plays whichever the client opens with: encrypted after the 28-byte
  // announcement, plain after a whole hello (`encrypted` is then ignored).
  bool followClient = false;
  int keyWords = 16;  // modulus length in 32-bit words: 8, 16 or 32
  uint32_t exponent = 17;
  std::string serverTag = "UTMASRV";  // blank-padded to 7 characters, then the terminator
  uint32_t version = 0x07000001;      // high word, low word
  bool fullReply = true;              // reply 260 of 2032 bytes, else 492
  uint32_t alignWord = 0x8000;
  int slotCountDelta = 0;             // a wrong count in 260 makes the client refuse it
  size_t reply258Size = 0;            // 0: the size the session expects
  CloseAt closeAt = CloseAt::kNever;
  // Where the host stops answering: it keeps the connection open and
  // reads what comes until the client hangs up.
  CloseAt silentAt = CloseAt::kNever;
  // The hello the client should send; when given, every byte of the sealed
  // regions of the opened hello must equal it.
  std::vector<uint8_t> expectedHello;
  // Bytes for the reply's display block; a pattern when empty.
  std::vector<uint8_t> displayBlock;
  // Entry flags the host answers with, per slot (the client's own otherwise).
  std::vector<std::pair<uint16_t, uint16_t>> entryFlags;
  // After the handshake the host reads nothing more (the connection stays
  // open) until ResumeReading: a server that has stopped taking data.
  bool stopReading = false;
};

struct HostSlot {
  std::string name;
  uint16_t a = 0;
  uint16_t b = 0;
  uint16_t flags = 0;
};

struct HandshakeReport {
  std::vector<uint8_t> first;   // message 257 as received, code included
  std::vector<uint8_t> second;  // message 259 as received
  std::vector<uint8_t> hello;   // the record of 259, opened in an encrypted session
  std::vector<HostSlot> slotTable;  // the hello's slot table
  bool keyUnwrapped = false;
  bool digestOk = false;
  bool exchangeOk = false;
  bool regionsMatch = false;
  std::string error;  // empty when the handshake ran to its end
};

// One client message as the host recorded it.
struct HostMessage {
  FrameHeader header;
  std::vector<uint8_t> payload;  // as received
  uint32_t code = 0;             // control messages: the code
  // Control messages: the body behind the code, opened when it was sealed;
  // slot data: the payload, opened when the slot is encrypted.
  std::vector<uint8_t> body;
  bool opened = false;           // it was sealed and the host opened it
  bool openFailed = false;       // it was sealed and did not open
};

class HostSession {
 public:
  explicit HostSession(FramedPeer* peer);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Plays the server's part up to reply 260 (or the chosen hang-up); false
  // with report->error naming the step that failed.
  bool Handshake(const HandshakeOptions& options, HandshakeReport* report, int timeoutMs = 5000);
  bool Encrypted() const { return encrypted_; }
  // The flags of a slot as the host's reply 260 fixed them.
  uint16_t SlotFlags(uint16_t slot) const;
  HostCipher& Cipher() { return cipher_; }

  // A control message: the code and the body, sealed when asked (the
  // session must be encrypted).
  bool SendControl(uint32_t code, const std::vector<uint8_t>& body, bool seal = false, uint16_t kind = 2);
  // Slot data, sealed when the slot's flags say the client opens it.
  bool SendSlot(uint16_t slot, const std::vector<uint8_t>& payload, uint8_t subKind = 0,
                uint8_t index = FrameHeader::kNoIndex);
  // An echo request now, and one every interval until the session stops.
  bool SendEcho(const std::vector<uint8_t>& payload);
  void StartKeepAlive(int intervalMs);

  // Records every client message from now on (the handshake's are recorded
  // too).
  void StartReader();
  // The reader leaves the socket alone (the client's data piles up in the
  // socket buffers) until ResumeReading.
  void StopReading();
  void ResumeReading();
  // Reads one message now (without the reader thread).
  bool ReadMessage(HostMessage* out, int timeoutMs);
  // The first recorded message from `from` on that matches; false after
  // the time-out or once the client has closed.
  bool WaitFor(const std::function<bool(const HostMessage&)>& match, int timeoutMs, HostMessage* out = nullptr,
               size_t from = 0);
  bool WaitClientClosed(int timeoutMs);
  std::vector<HostMessage> Messages();
  // Stops the reader and the keep-alive and hangs up.
  void Stop();

 private:
  bool ReadControl(uint32_t expected, Frame* frame, int timeoutMs, HandshakeReport* report);
  bool OpenHello(const HandshakeOptions& options, HandshakeReport* report);
  std::vector<uint8_t> ReplyBody(const HandshakeOptions& options, const HandshakeReport& report, size_t size,
                                 int countDelta);
  bool Send(const FrameHeader& header, const std::vector<uint8_t>& payload);
  HostMessage Record(Frame&& frame);
  void ReaderMain();

  FramedPeer* peer_;
  HostCipher cipher_;
  bool encrypted_ = false;
  uint16_t helloFlags_ = 0;
  std::vector<uint16_t> slotFlags_;
  std::mutex sendMutex_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HostMessage> messages_;
  bool closed_ = false;
  bool readingStopped_ = false;
  std::atomic<bool> stopping_{false};
  std::thread reader_;
  std::thread keepAlive_;
};

// The hello's slot table and a few fields, one line each, for printing.
std::string DescribeHello(const HandshakeReport& report);
// One recorded message as the command line prints it.
std::string DescribeMessage(const HostMessage& message);

}  // namespace testhost
