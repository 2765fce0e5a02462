// A server that stops reading: sends from the GUI thread still return at
// once, everything sent arrives in order once it reads again, and a server
// that takes nothing for the stall limit ends the session. Run under
// ThreadSanitizer as well: senders and the connection thread share the
// outgoing queue.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ClientDoubles.h"
#include "HostRun.h"
#include "SessionDoubles.h"
#include "transport/Connection.h"

namespace {

using clienttest::ClientRig;
using clienttest::HostRun;

constexpr int kWaitMs = 15000;
constexpr uint16_t kKeyboardSlot = 0;
constexpr int kDisconnectedState = 6;

// A plain session against a host that reads nothing after the handshake.
class StalledServer : public testing::Test {
 protected:
  void SetUp() override {
    testhost::HandshakeOptions options;
    options.stopReading = true;
    host.Serve(options);
    clienttest::PlainParameters(&rig.params, host.Port());
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->Start(), 0);
    host.Join();
    ASSERT_TRUE(host.ok) << host.report.error;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (rig.client->SessionState() != CGenericClient::kRunning && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(rig.client->SessionState(), CGenericClient::kRunning);
  }

  // Bulk frames until the client refuses one: the socket buffers are full
  // and the outgoing queue is over its bound. The count sent.
  int FillUntilRefused() {
    const std::vector<uint8_t> bulk(64 * 1024, 0xB0);
    const int size = static_cast<int>(bulk.size());
    int sent = 0;
    while (sent < 100000 && rig.client->SendOnSlot(kKeyboardSlot, bulk.data(), size) == size) ++sent;
    return sent;
  }

  HostRun host;
  ClientRig rig;
};

std::vector<uint8_t> KeyFrame(int i) {
  return {0x1C, 0, 0, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x5A, 0};
}

TEST_F(StalledServer, KeysNeverWaitAndAllArriveInOrderOnceItReads) {
  const int bulkFrames = FillUntilRefused();
  ASSERT_GT(bulkFrames, 0);

  // The test thread plays the GUI thread. A send that waited for the
  // server would take the select time-out (a second) per key and then
  // report nothing sent.
  constexpr int kKeys = 100;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kKeys; ++i) {
    const std::vector<uint8_t> key = KeyFrame(i);
    ASSERT_EQ(rig.client->SendOnSlot(kKeyboardSlot, key.data(), static_cast<uint32_t>(key.size())), 8) << i;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  host.session->ResumeReading();
  const std::vector<uint8_t> last = KeyFrame(kKeys - 1);
  ASSERT_TRUE(host.session->WaitFor([&](const testhost::HostMessage& m) { return m.payload == last; }, kWaitMs));
  std::vector<std::vector<uint8_t>> keyboard;
  for (const testhost::HostMessage& m : host.session->Messages())
    if (m.header.slot == kKeyboardSlot) keyboard.push_back(m.payload);
  ASSERT_EQ(keyboard.size(), static_cast<size_t>(bulkFrames + kKeys));
  for (int i = 0; i < bulkFrames; ++i) EXPECT_EQ(keyboard[i].size(), 64u * 1024u) << i;
  for (int i = 0; i < kKeys; ++i) EXPECT_EQ(keyboard[bulkFrames + i], KeyFrame(i)) << i;
  EXPECT_EQ(rig.client->SessionState(), CGenericClient::kRunning);
}

TEST_F(StalledServer, OneThatTakesNothingForTheStallLimitEndsTheSession) {
  sessiontest::DebugCapture log;
  // Only connections made after this take the short limit: the one running
  // is told directly.
  CConnection* connection = rig.client->AddConnectionRef();
  ASSERT_NE(connection, nullptr);
  connection->SetStallLimit(2000);
  connection->Release();

  ASSERT_GT(FillUntilRefused(), 0);
  const std::vector<uint8_t> key = KeyFrame(1);
  EXPECT_EQ(rig.client->SendOnSlot(kKeyboardSlot, key.data(), static_cast<uint32_t>(key.size())), 8);
  ASSERT_TRUE(rig.api->WaitForState(kDisconnectedState, kWaitMs));
  EXPECT_TRUE(rig.api->endEvent.Wait(kWaitMs));
  EXPECT_TRUE(log.Contains("the server has taken none of")) << "no log line for the stall";
}

}  // namespace
