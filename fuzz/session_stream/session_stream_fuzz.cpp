// The byte stream of a session as the server sends it, read by a real
// connection from a loopback socket: the packet framing (header, length
// check, payload read), the routing by slot (the display and stream remap,
// the control slot, the dispatch threads of the display and stream slots)
// and the delivery to the processors the handshake makes. A fresh
// connection per input; the server side writes the input and closes.
// Input: one setup byte, then the stream (all that is left).
//   bit 0: a session client (a plain session whose handshake the stream
//          carries; its sends only have their bytes read); otherwise a
//          connection without a client, every packet going to a callback.
//   bit 1: (client) a second display.
//   bit 2: (client) the display processors take the shared dispatch
//          thread and the stream processors a thread of their own;
//          otherwise the other way round.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "SessionFuzzRig.h"
#include "transport/ConnectTarget.h"
#include "transport/Connection.h"
#include "session/SlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"

namespace {

constexpr int kAcceptWaitMs = 10000;

std::atomic<bool> g_displayShares{true};

// Stands for every slot's processor: it reads each packet to its end, on
// the thread its mode names.
class ReadingProcessor : public CSlotDataProcessor {
 public:
  explicit ReadingProcessor(int threadMode) : threadMode_(threadMode) {}
  int GetThreadMode() override { return threadMode_; }
  int OnData(const uint8_t* data, uint32_t length) override {
    fuzzrig::ReadAll(data, length);
    return 0;
  }
  int OnClientData(const void*, uint32_t) override { return 0; }

 private:
  const int threadMode_;
};

CSlotDataProcessor* MakeDisplay(const SlotProcessorContext&) {
  return new ReadingProcessor(g_displayShares ? CSlotDataProcessor::kSharedDispatch
                                              : CSlotDataProcessor::kOwnDispatch);
}
CSlotDataProcessor* MakeStream(const SlotProcessorContext&) {
  return new ReadingProcessor(g_displayShares ? CSlotDataProcessor::kOwnDispatch
                                              : CSlotDataProcessor::kSharedDispatch);
}
CSlotDataProcessor* MakeOnConnectionThread(const SlotProcessorContext&) {
  return new ReadingProcessor(CSlotDataProcessor::kConnectionThread);
}

void RegisterProcessorMakers() {
  static const bool once = [] {
    RegisterSlotProcessorMaker(slotname::kDisplay, MakeDisplay);
    RegisterSlotProcessorMaker(slotname::kStream, MakeStream);
    RegisterSlotProcessorMaker(slotname::kKeyboard, MakeOnConnectionThread);
    RegisterSlotProcessorMaker(slotname::kChannels, MakeOnConnectionThread);
    return true;
  }();
  (void)once;
}

int ReadingReceiver(int, const sockaddr_in*, const uint8_t* data, int length, CConnection*, void*) {
  if (data && length > 0) fuzzrig::ReadAll(data, static_cast<size_t>(length));
  return 0;
}

// The server's end: one listening socket on loopback for the whole run.
int Listener(uint16_t* port) {
  static uint16_t boundPort = 0;
  static const int listener = [] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      abort();
    boundPort = ntohs(a.sin_port);
    return s;
  }();
  *port = boundPort;
  return listener;
}

// Takes the connection, writes the stream and closes; the client may end
// the session before it has read everything, which ends the writing too.
void ServeOnce(int listener, const uint8_t* data, size_t size) {
  pollfd wait{listener, POLLIN, 0};
  if (poll(&wait, 1, kAcceptWaitMs) != 1) return;
  const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (s < 0) return;
  for (size_t at = 0; at < size;) {
    const ssize_t n = send(s, data + at, size - at, MSG_NOSIGNAL);
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  shutdown(s, SHUT_WR);
  close(s);
}

void RunClient(uint8_t setup, uint16_t port) {
  RegisterProcessorMakers();
  g_displayShares = (setup & 4) != 0;
  fuzzrig::OfflineSession session;
  clienttest::PlainParameters(&session.params, port);
  if (setup & 2) {
    session.params.extraDisplayCount = 1;
    session.params.display2Size.width = 800;
    session.params.display2Size.height = 600;
  }
  session.Init();
  session.client->Run();
}

void RunWithoutClient(uint16_t port) {
  auto* connection = new CConnection(ReadingReceiver, nullptr);
  ConnectTarget target;
  target.framing = 1;
  target.transport = 1;
  target.addresses[0].sin_family = AF_INET;
  target.addresses[0].sin_port = htons(port);
  target.addresses[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connection->Open(target) == 1) connection->ReceiveLoop();
  connection->Close();
  connection->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzzrig::QuietLog();
  uint16_t port = 0;
  const int listener = Listener(&port);
  std::thread server(ServeOnce, listener, data + 1, size - 1);
  if (data[0] & 1) {
    RunClient(data[0], port);
  } else {
    RunWithoutClient(port);
  }
  server.join();
  return 0;
}
