// The road of a key press and of pointer events through a whole session:
// the local lock keys as GetKeyState reports them, the system API's input
// operations, the session client's input sink and the keyboard and pointer
// processor, out over loopback to the test host; and the host's LED report
// back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "ClientDoubles.h"
#include "SessionDoubles.h"
#include "support/FakeSystemApi.h"
#include "input/VirtHidSlotDataProcessor.h"
#include "pelplat/hookfeed.h"
#include "pelplat/winuser.h"
#include "session/HtClient.h"
#include "session/SlotProcessorFactory.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 15000;

// The lock bits the session window reports with every key.
int32_t LocalLockBits() {
  int32_t bits = 0;
  if (GetKeyState(VK_SCROLL) & 1) bits |= lockbit::kScroll;
  if (GetKeyState(VK_NUMLOCK) & 1) bits |= lockbit::kNum;
  if (GetKeyState(VK_CAPITAL) & 1) bits |= lockbit::kCaps;
  return bits;
}

Bytes KeyFrame(const Bytes& codes) {
  Bytes frame = {static_cast<uint8_t>(codes.size() + 2), 0, 2, 0};
  frame.insert(frame.end(), codes.begin(), codes.end());
  return frame;
}

class VirtHidSession : public testing::Test {
 protected:
  void SetUp() override {
    RegisterVirtHidProcessorMaker();
    PlatSetLockKeyStateProvider([](int key) { return key == VK_CAPITAL; });
  }
  void TearDown() override {
    PlatSetLockKeyStateProvider(nullptr);
    RegisterSlotProcessorMaker(slotname::kKeyboard, nullptr);
  }

  // What the host has received on the keyboard and pointer slot.
  std::vector<Bytes> HidFrames(testhost::HostSession& session, uint16_t hid) {
    std::vector<Bytes> frames;
    for (const testhost::HostMessage& m : session.Messages())
      if (m.header.slot == hid) frames.push_back(m.body);
    return frames;
  }
  bool WaitHidFrames(testhost::HostSession& session, uint16_t hid, size_t count) {
    for (int i = 0; i < kWaitMs / 10; ++i) {
      if (HidFrames(session, hid).size() >= count) return true;
      usleep(10000);
    }
    return false;
  }
};

TEST_F(VirtHidSession, KeysPointerAndLedReportOverLoopback) {
  inputtest::Host host;
  host.Serve();
  testsupport::FakeSystemApi* api = new testsupport::FakeSystemApi;
  CClientConnectionParameter params;
  clienttest::PlainParameters(&params, host.Port());
  CHtClient* client = new CHtClient;
  ASSERT_EQ(client->Init(api, &params), 0);
  ASSERT_EQ(client->Start(), 0);
  ASSERT_TRUE(api->runEvent.Wait(kWaitMs));
  ASSERT_EQ(api->ConnectionState(), 5);
  host.Join();
  ASSERT_TRUE(host.ok) << host.report.error;
  testhost::HostSession& session = *host.session;
  // An answered echo means the connection thread is past the handshake and
  // the input sink is in place.
  ASSERT_TRUE(session.SendEcho({1}));
  ASSERT_TRUE(session.WaitFor([](const testhost::HostMessage& m) { return m.code == testhost::code::kEchoReply; },
                              kWaitMs));
  const uint16_t hid = client->HidSlot();
  ASSERT_NE(hid, CGenericClient::kNoSlot);

  // Caps Lock is on here and, as far as the client knows, off there.
  const Bytes a = KeyFrame({0x1C});
  const Bytes capsMake = KeyFrame({0x58}), capsBreak = KeyFrame({0xF0, 0x58});
  EXPECT_EQ(api->ForwardKeyInput(0x1E, LocalLockBits()), 1);
  EXPECT_EQ(api->ForwardKeyInput(0x9E, LocalLockBits()), 1);
  // The local Caps Lock key itself is answered "not consumed".
  EXPECT_EQ(api->ForwardKeyInput(0x3A, LocalLockBits()), 0);
  ASSERT_TRUE(WaitHidFrames(session, hid, 4));

  api->ForwardPointerInput(100, 200, 1, 0, 0, 0, 0);
  api->ForwardPointerInput(300, 400, 0, 0, 0, 1, 1);
  ASSERT_TRUE(WaitHidFrames(session, hid, 6));
  const std::vector<Bytes> expected = {
      capsMake,
      capsBreak,
      a,
      KeyFrame({0xF0, 0x1C}),
      {0x0A, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x64, 0x00, 0xC8, 0x00},
      {0x16, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x90, 0x01,
       0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
  };
  EXPECT_EQ(HidFrames(session, hid), expected);

  // The server reports its Caps Lock off: a later key turns it on again.
  // The report travels on another thread than the keys, so keys go until
  // the resync shows.
  ASSERT_TRUE(session.SendSlot(hid, {1, 0, 0, 0, 28, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  bool resynced = false;
  for (int i = 0; i < 200 && !resynced; ++i) {
    const size_t before = HidFrames(session, hid).size();
    ASSERT_EQ(api->ForwardKeyInput(0x1E, LocalLockBits()), 1);
    // The key's own frame is the last one sent for it.
    std::vector<Bytes> now;
    for (int w = 0; w < kWaitMs / 10; ++w) {
      now = HidFrames(session, hid);
      if (now.size() > before && now.back() == a) break;
      usleep(10000);
    }
    if (now.size() == before + 3) {
      EXPECT_EQ(now[before], capsMake);
      EXPECT_EQ(now[before + 1], capsBreak);
      EXPECT_EQ(now[before + 2], a);
      resynced = true;
    } else {
      ASSERT_EQ(now.size(), before + 1);
      EXPECT_EQ(now[before], a);
    }
  }
  EXPECT_TRUE(resynced);

  // The end of the session releases the processor and joins its sender.
  client->Stop();
  client->ReleaseAllProcessors();
  client->Release();
  api->Stop();
  api->Release();
}

}  // namespace
