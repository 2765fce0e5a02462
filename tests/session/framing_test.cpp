// The framed reader, routing and the end of a session, against the test host
// over loopback.
#include <gtest/gtest.h>

#include <map>

#include "SessionDoubles.h"
#include "transport/PacketHeader.h"
#include "transport/Status.h"

using namespace sessiontest;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); }

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

TEST(Framing, HeaderInPiecesAndEmptyPayloadsKeepTheStreamInStep) {
  LoopbackSession s;
  ASSERT_TRUE(s.Start({3}));

  testhost::FrameHeader h;
  h.slot = 3;
  h.length = 5;
  auto header = h.Encode();
  const uint8_t payload[] = {'h', 'e', 'l', 'l', 'o'};
  // The header in three receive calls, the payload in two.
  ASSERT_TRUE(s.peer->SendBytes(header.data(), 1));
  Pause();
  ASSERT_TRUE(s.peer->SendBytes(header.data() + 1, 4));
  Pause();
  ASSERT_TRUE(s.peer->SendBytes(header.data() + 5, 7));
  Pause();
  ASSERT_TRUE(s.peer->SendBytes(payload, 2));
  Pause();
  ASSERT_TRUE(s.peer->SendBytes(payload + 2, 3));
  // An empty payload completes with its header; the next frame follows.
  ASSERT_TRUE(s.peer->SendFrame(3, {}));
  ASSERT_TRUE(s.peer->SendFrame(3, Bytes({7, 8, 9})));

  ASSERT_TRUE(s.inbox.WaitFor(3));
  auto got = s.inbox.All();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].payload, Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_TRUE(got[1].payload.empty());
  EXPECT_EQ(got[2].payload, Bytes({7, 8, 9}));
  EXPECT_TRUE(s.connection->IsRunning());
}

TEST(Framing, ManyFramesInOneWriteAreCutApart) {
  LoopbackSession s;
  ASSERT_TRUE(s.Start({4}));

  // Sizes around the pool's class edges, all in one stream write.
  const std::vector<uint32_t> sizes = {0, 1, 292, 293, 4004, 70000, 1048485, 3};
  std::vector<uint8_t> stream;
  for (size_t i = 0; i < sizes.size(); ++i) {
    testhost::FrameHeader h;
    h.slot = 4;
    h.length = sizes[i];
    auto bytes = h.Encode();
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    for (uint32_t k = 0; k < sizes[i]; ++k) stream.push_back(static_cast<uint8_t>(k * 7 + i));
  }
  ASSERT_TRUE(s.peer->SendBytes(stream.data(), stream.size()));

  ASSERT_TRUE(s.inbox.WaitFor(sizes.size()));
  auto got = s.inbox.All();
  for (size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(got[i].payload.size(), sizes[i]) << i;
    for (uint32_t k = 0; k < sizes[i]; ++k) {
      if (got[i].payload[k] != static_cast<uint8_t>(k * 7 + i)) FAIL() << "frame " << i << " byte " << k;
    }
  }
}

// A length from the wire that no buffer class holds ends the session with
// a log line, whatever the rest of the stream holds.
TEST(Framing, HostileLengthsEndTheSessionCleanly) {
  const uint32_t lengths[] = {0xFFFFFFFFu, 0xFFFFFFF5u, 67108713u, 0x10000000u};
  for (uint32_t length : lengths) {
    SCOPED_TRACE(length);
    DebugCapture log;
    LoopbackSession s;
    ASSERT_TRUE(s.Start({3}));

    testhost::FrameHeader h;
    h.slot = 3;
    h.length = length;
    const uint8_t few[] = {1, 2, 3, 4};
    ASSERT_TRUE(s.peer->SendFrame(h, few, sizeof few));
    ASSERT_TRUE(s.WaitLoopEnd());
    EXPECT_EQ(s.connection->LastResult(), kStatusFailure);
    EXPECT_TRUE(log.Contains("payload bytes"));
    EXPECT_TRUE(s.inbox.All().empty());
    s.Stop();
    EXPECT_EQ(s.client->disconnected.load(), 1);
    EXPECT_TRUE(s.peer->WaitClosed(5000));
  }
}

TEST(Framing, PeerCloseEndsTheLoopAndCloseNotifies104) {
  LoopbackSession s;
  ASSERT_TRUE(s.Open());
  EXPECT_EQ(s.client->connected.load(), 1);
  s.StartLoop();
  s.peer->Close();
  ASSERT_TRUE(s.WaitLoopEnd());
  EXPECT_EQ(s.connection->LastResult(), kStatusNoConnection);
  EXPECT_EQ(s.connection->SocketCount(), 0);
  EXPECT_EQ(s.client->disconnected.load(), 0);
  s.Stop();
  EXPECT_EQ(s.client->disconnected.load(), 1);
}

TEST(Framing, PeerClosingInsideAFrameEndsTheLoop) {
  LoopbackSession s;
  ASSERT_TRUE(s.Start({3}));
  testhost::FrameHeader h;
  h.slot = 3;
  h.length = 100;
  const uint8_t part[10] = {};
  ASSERT_TRUE(s.peer->SendFrame(h, part, sizeof part));
  Pause();
  s.peer->Close();
  ASSERT_TRUE(s.WaitLoopEnd());
  EXPECT_EQ(s.connection->LastResult(), kStatusNoConnection);
  EXPECT_TRUE(s.inbox.All().empty());
}

TEST(Framing, ControlMessagesGoToTheHandshakeAndItsAnswerCounts) {
  struct Case {
    int answer;
    bool ends;
  };
  for (Case c : {Case{0, false}, Case{kStatusNotConsumed, true}, Case{7, true}}) {
    SCOPED_TRACE(c.answer);
    LoopbackSession s;
    s.client->SetHandshakeAnswer(c.answer);
    ASSERT_TRUE(s.Open());
    s.StartLoop();
    ASSERT_TRUE(s.peer->SendFrame(PacketHeader::kControlSlot, Bytes({1, 1, 0, 0, 42}), 5));
    ASSERT_TRUE(s.client->WaitForControlMessages(1));
    EXPECT_EQ(s.client->ControlMessages()[0], Bytes({1, 1, 0, 0, 42}));
    if (c.ends) {
      ASSERT_TRUE(s.WaitLoopEnd());
      EXPECT_EQ(s.connection->LastResult(), c.answer);
    } else {
      ASSERT_TRUE(s.peer->SendFrame(PacketHeader::kControlSlot, Bytes({2})));
      ASSERT_TRUE(s.client->WaitForControlMessages(2));
      EXPECT_TRUE(s.connection->IsRunning());
    }
  }
}

TEST(Framing, APacketBeyondTheProcessorsEndsTheSessionAnEmptySlotDoesNot) {
  LoopbackSession s;
  ASSERT_TRUE(s.Start({5}));  // processor count 6, slots 0 to 4 empty
  ASSERT_TRUE(s.peer->SendFrame(2, Bytes({1})));
  ASSERT_TRUE(s.peer->SendFrame(5, Bytes({2})));
  ASSERT_TRUE(s.inbox.WaitFor(1));
  EXPECT_TRUE(s.connection->IsRunning());
  ASSERT_TRUE(s.peer->SendFrame(6, Bytes({3})));
  ASSERT_TRUE(s.WaitLoopEnd());
  EXPECT_EQ(s.connection->LastResult(), kStatusFailure);
  EXPECT_EQ(s.inbox.All().size(), 1u);
}

// Display slots {1, 5, 6, none}, stream slots {2, 7, 8, none}; slot 3 is
// an ordinary slot on the connection thread.
struct RouteCase {
  const char* what;
  uint16_t slot;
  uint8_t subKind;
  uint8_t index;
  int remapOn;    // expected processor slot with the remap flag, -1 dropped
  int remapOff;   // expected processor slot without it
};

const RouteCase kRoutes[] = {
    {"display, no index", 1, 0, 0xAA, 1, 1},
    {"display index 2", 1, 0, 0x02, 6, 1},
    {"display index 1, upper bits ignored", 1, 0, 0x71, 5, 1},
    {"display index 10 is display 0", 1, 0, 0x0A, 1, 1},
    {"display without that display", 1, 0, 0x03, -1, 1},
    {"display index past the table", 1, 0, 0x05, -1, 1},
    {"stream index 1 with sub-kind 16", 2, 16, 0x01, 7, 2},
    {"stream index 2 with sub-kind 16", 2, 16, 0x02, 8, 2},
    {"stream sub-kind other than 16", 2, 0, 0x01, 2, 2},
    {"stream sub-kind 17", 2, 17, 0x02, 2, 2},
    {"slot 0xFFFF", 0xFFFF, 0, 0xAA, -1, -1},
    {"plain slot", 3, 16, 0x02, 3, 3},
};

void RunRoutes(bool remapAllowed) {
  LoopbackSession s;
  s.client->SetSlots({1, 5, 6}, {2, 7, 8}, remapAllowed);
  ASSERT_TRUE(s.Start({1, 2, 3, 5, 6, 7, 8}));

  size_t expected = 0;
  for (size_t i = 0; i < std::size(kRoutes); ++i) {
    const RouteCase& r = kRoutes[i];
    ASSERT_TRUE(s.peer->SendFrame(r.slot, Bytes({static_cast<uint8_t>(i)}), 2, r.subKind, r.index));
    expected += (remapAllowed ? r.remapOn : r.remapOff) >= 0;
  }
  // Markers behind the cases on both paths: once they are in, every case
  // that was going to arrive has.
  ASSERT_TRUE(s.peer->SendFrame(1, Bytes({0xEE})));
  ASSERT_TRUE(s.peer->SendFrame(3, Bytes({0xEE})));
  ASSERT_TRUE(s.inbox.WaitFor(expected + 2));
  EXPECT_TRUE(s.connection->IsRunning());

  std::map<uint8_t, Delivery> byCase;
  for (const Delivery& d : s.inbox.All()) {
    ASSERT_EQ(d.payload.size(), 1u);
    if (d.payload[0] != 0xEE) byCase.emplace(d.payload[0], d);
  }
  for (size_t i = 0; i < std::size(kRoutes); ++i) {
    const RouteCase& r = kRoutes[i];
    SCOPED_TRACE(r.what);
    const int want = remapAllowed ? r.remapOn : r.remapOff;
    auto it = byCase.find(static_cast<uint8_t>(i));
    if (want < 0) {
      EXPECT_EQ(it, byCase.end());
      continue;
    }
    ASSERT_NE(it, byCase.end());
    EXPECT_EQ(it->second.slot, want);
    // Display and stream packets run on the dispatch thread, others on the
    // connection thread.
    const bool dispatched = r.slot == 1 || r.slot == 2;
    EXPECT_EQ(it->second.thread == s.loopThread, !dispatched);
  }
}

TEST(Routing, WithRemapFlag) { RunRoutes(true); }
TEST(Routing, WithoutRemapFlag) { RunRoutes(false); }

TEST(Routing, ThreadModesChooseTheDispatchThreads) {
  struct Case {
    int displayMode;
    int streamMode;
    bool displayOnLoop;
    bool streamOnLoop;
    bool sameThread;
  };
  const Case cases[] = {
      {0, 0, false, false, true},   // one shared dispatch thread
      {1, 1, false, false, false},  // a thread each
      {2, 0, true, false, false},   // display stays on the connection thread
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.displayMode << "/" << c.streamMode);
    LoopbackSession s;
    s.client->SetSlots({1}, {2}, false);
    s.client->RegisterSlotProcessor(1, new RecordingProcessor(&s.inbox, c.displayMode));
    s.client->RegisterSlotProcessor(2, new RecordingProcessor(&s.inbox, c.streamMode));
    ASSERT_TRUE(s.Open());
    s.StartLoop();
    ASSERT_TRUE(s.peer->SendFrame(1, Bytes({1})));
    ASSERT_TRUE(s.inbox.WaitFor(1));
    ASSERT_TRUE(s.peer->SendFrame(2, Bytes({2})));
    ASSERT_TRUE(s.inbox.WaitFor(2));
    auto got = s.inbox.All();
    EXPECT_EQ(got[0].thread == s.loopThread, c.displayOnLoop);
    EXPECT_EQ(got[1].thread == s.loopThread, c.streamOnLoop);
    EXPECT_EQ(got[0].thread == got[1].thread, c.sameThread);
  }
}

TEST(Routing, StoppingReleasesQueuedPacketsUnrouted) {
  LoopbackSession s;
  s.client->SetSlots({1}, {}, false);
  auto* gate = new GateProcessor(&s.inbox);
  s.client->RegisterSlotProcessor(1, gate);
  ASSERT_TRUE(s.Open());
  s.StartLoop();
  for (uint8_t i = 0; i < 20; ++i) ASSERT_TRUE(s.peer->SendFrame(1, std::vector<uint8_t>(1000, i)));
  ASSERT_TRUE(s.inbox.WaitFor(1));  // the first is held inside the processor
  std::shared_ptr<dezo::ProcessThread> thread = s.connection->Dispatch().Find(1);
  ASSERT_TRUE(thread);
  // Wait until the loop has read the rest of the packets into the queue.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  s.connection->StopLoop(0);
  while (thread->Running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  gate->Open();
  ASSERT_TRUE(s.WaitLoopEnd());
  EXPECT_EQ(s.inbox.All().size(), 1u);
  EXPECT_EQ(s.connection->Dispatch().ThreadCount(), 0u);
}

// A dispatch thread that is not running (its start failed) takes no
// packets; its slot's packets are routed on the connection thread instead.
TEST(Routing, PacketsForADispatchThreadThatIsNotRunningAreNotLost) {
  LoopbackSession s;
  s.client->SetSlots({1}, {}, false);
  s.client->RegisterSlotProcessor(1, new RecordingProcessor(&s.inbox));
  s.client->RegisterSlotProcessor(3, new RecordingProcessor(&s.inbox));
  ASSERT_TRUE(s.Open());
  s.StartLoop();
  std::shared_ptr<dezo::ProcessThread> thread;
  while (!(thread = s.connection->Dispatch().Find(1))) std::this_thread::yield();
  thread->Stop();
  ASSERT_TRUE(s.peer->SendFrame(1, Bytes({1})));
  // Slot 3 has no dispatch thread: once it is delivered, the loop is done
  // with the frame before it.
  ASSERT_TRUE(s.peer->SendFrame(3, Bytes({3})));
  auto delivered = [&](uint16_t slot) {
    for (const Delivery& d : s.inbox.All())
      if (d.slot == slot) return true;
    return false;
  };
  for (size_t n = 1; n <= 2 && !delivered(3); ++n) s.inbox.WaitFor(n);
  ASSERT_TRUE(delivered(3));
  auto got = s.inbox.All();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].slot, 1);
  EXPECT_EQ(got[0].payload, Bytes({1}));
  EXPECT_EQ(got[0].thread, s.loopThread);
}

TEST(Routing, WithoutAClientEverythingGoesToTheCallback) {
  struct Seen {
    std::mutex mutex;
    std::vector<std::pair<int, int>> calls;  // slot, length
  } seen;
  auto callback = [](int slot, const sockaddr_in*, const uint8_t*, int length, CConnection*, void* user) {
    auto* s = static_cast<Seen*>(user);
    std::lock_guard<std::mutex> hold(s->mutex);
    s->calls.emplace_back(slot, length);
    return 0;
  };
  testhost::Listener host;
  ASSERT_TRUE(host.Listen());
  auto* connection = new CConnection(callback, &seen);
  ASSERT_EQ(connection->Open(SessionTarget({host.Address()})), 1);
  auto peer = host.Accept(5000);
  ASSERT_TRUE(peer);
  std::thread loop([&] { connection->ReceiveLoop(); });
  ASSERT_TRUE(peer->SendFrame(PacketHeader::kControlSlot, Bytes({1, 2})));
  ASSERT_TRUE(peer->SendFrame(9, Bytes({1, 2, 3})));
  peer->Close();
  loop.join();
  connection->Close();
  connection->Release();
  std::vector<std::pair<int, int>> want = {{-1, kNotifyConnected}, {0xFAFA, 2}, {9, 3}, {-1, kNotifyClosed}};
  EXPECT_EQ(seen.calls, want);
}

}  // namespace
