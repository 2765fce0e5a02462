// The "MSVCEXT " slot processor against a recording session: the capability
// reply byte for byte, the channel names it opens, replacement and close
// order, chunking, and every message cut short dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VirtChanSupport.h"
#include "session/ClientConnectionParameter.h"
#include "virtchan/ChannelMakers.h"
#include "virtchan/VirtChanel.h"
#include "virtchan/VirtChanelsSlotProcessor.h"

using namespace virtchantest;
using namespace virtchan;

namespace {

// What the test channels did, in order: "open <id>", "stop <id>".
struct EventLog {
  std::mutex mutex;
  std::vector<std::string> events;
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> hold(mutex);
    events.push_back(e);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> hold(mutex);
    std::vector<std::string> out;
    out.swap(events);
    return out;
  }
};
EventLog gLog;

// Echoes every payload it receives as a multimedia-sized chunked PDU.
class RecordingChannel : public CCVirtChanel {
 public:
  using CCVirtChanel::CCVirtChanel;
  int Open(const std::shared_ptr<CCVirtChanel>& self) override {
    gLog.Add("open " + std::to_string(ServerChannelId()));
    return CCVirtChanel::Open(self);
  }
  int Stop() override {
    gLog.Add("stop " + std::to_string(ServerChannelId()));
    return CCVirtChanel::Stop();
  }
  int received = 0;  // worker only

 protected:
  int OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession*,
                const std::shared_ptr<CCVirtChanel>&) override {
    ++received;
    SendChunked(data, length, kMultimediaChunk);
    return 0;
  }
};

std::shared_ptr<CCVirtChanel> MakeRecording(const ChannelMakeContext& c) {
  return std::make_shared<RecordingChannel>(c.serverChannelId, c.index, c.optionWord, c.session);
}

class ChannelHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char16_t* name : {kDeviceChannel, kClipboardChannel, kMultimediaChannel})
      saved_.push_back(RegisterChannelMaker(name, MakeRecording));
    gLog.Take();
    session_->parameters = &parameters_;
    parameters_.clipboardShare = 1;
    parameters_.useWmpChannelRedirection = 1;
  }
  void TearDown() override {
    processor_.reset();
    const char16_t* names[] = {kDeviceChannel, kClipboardChannel, kMultimediaChannel};
    for (size_t i = 0; i < 3; ++i) RegisterChannelMaker(names[i], saved_[i]);
  }
  void Feed(const Bytes& m) { processor_->FeedServerData(m.data(), uint32_t(m.size())); }

  std::vector<ChannelMaker> saved_;
  CClientConnectionParameter parameters_;
  std::shared_ptr<RecordingSession> session_ = std::make_shared<RecordingSession>();
  std::unique_ptr<CVirtChanelsSlotProcessor> processor_ =
      std::make_unique<CVirtChanelsSlotProcessor>(4, session_);
};

TEST_F(ChannelHostTest, CapabilityReplyIsTwentyFourBytesWithTheEnabledGroups) {
  struct Case {
    const char* what;
    bool parameters;
    uint32_t multimedia;
    uint32_t clipboard;
    uint32_t serverMask;
    uint32_t enabled;
  };
  const Case cases[] = {
      {"multimedia on", true, 1, 1, 0x17F, 0x111},
      {"multimedia off", true, 0, 1, 0x17F, 0x11},
      {"no parameters", false, 1, 1, 0x17F, 0x11},
      {"clipboard not shared", true, 1, 0, 0x17F, 0x101},
      {"server offers the clipboard only", true, 1, 1, 0x70, 0x10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    parameters_.useWmpChannelRedirection = c.multimedia;
    parameters_.clipboardShare = c.clipboard;
    session_->parameters = c.parameters ? &parameters_ : nullptr;
    session_->Clear();
    Feed(Capabilities(kCapabilityMagic, 0xA1B2C3D4, c.serverMask));
    ASSERT_EQ(session_->Sent().size(), 1u);
    const Bytes expected = {0x53, 0x43, 0x00, 0x80, 0x10, 0x00, 0x00, 0x00,   // header
                            0x01, 0xCA, 0x00, 0x80, 0xD4, 0xC3, 0xB2, 0xA1,   // magic, 0x8000, echo
                            uint8_t(c.enabled), uint8_t(c.enabled >> 8), 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(session_->Sent()[0], expected);
    EXPECT_EQ(processor_->EnabledMask(), c.enabled);
  }
}

TEST_F(ChannelHostTest, CapabilityExchangeWithoutTheMagicIsNotAnswered) {
  Feed(Capabilities(0xCA02, 1, 0x100));
  EXPECT_TRUE(session_->Sent().empty());
  EXPECT_EQ(processor_->EnabledMask(), 0x11u);
}

TEST_F(ChannelHostTest, OnlyTheExactNamesOpenAChannel) {
  struct Case {
    const char* what;
    Bytes message;
    bool opens;
    uint32_t option;
  };
  const Case cases[] = {
      {"device", OpenNamed(1, 7, u"RDPDR"), true, 0x1},
      {"clipboard", OpenNamed(1, 7, u"CLIPRDR"), true, 0x10},
      {"multimedia before any exchange", OpenNamed(1, 7, u"TSMF"), true, 0x0},
      {"other case", OpenNamed(1, 7, u"rdpdr"), false, 0},
      {"a character more", OpenNamed(1, 7, u"RDPDRX"), false, 0},
      {"unknown name", OpenNamed(1, 7, u"DRDYNVC"), false, 0},
      {"unterminated, cut by the message end", Open(1, 7, u"RDPDR"), false, 0},
      {"sixteen units without terminator", Open(1, 7, u"RDPDRRDPDRRDPDRR"), false, 0},
      {"index past the table", OpenNamed(14, 7, u"RDPDR"), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Feed(c.message);
    std::shared_ptr<CCVirtChanel> channel = processor_->Channel(1);
    EXPECT_EQ(channel != nullptr, c.opens);
    if (channel) {
      EXPECT_EQ(channel->ServerChannelId(), 7u);
      EXPECT_EQ(channel->OptionWord(), c.option);
    }
    processor_->CloseAllChannels();
  }
}

TEST_F(ChannelHostTest, SettingsKeepClipboardAndMultimediaShut) {
  parameters_.clipboardShare = 0;
  parameters_.useWmpChannelRedirection = 0;
  Feed(OpenNamed(2, 1, u"CLIPRDR"));
  Feed(OpenNamed(3, 2, u"TSMF"));
  EXPECT_EQ(processor_->Channel(2), nullptr);
  EXPECT_EQ(processor_->Channel(3), nullptr);
  session_->parameters = nullptr;  // no parameters: no multimedia either
  Feed(OpenNamed(3, 2, u"TSMF"));
  EXPECT_EQ(processor_->Channel(3), nullptr);
}

TEST_F(ChannelHostTest, AnOpenAtAnOccupiedIndexStartsTheNewChannelBeforeStoppingTheOld) {
  Feed(OpenNamed(5, 100, u"RDPDR"));
  Feed(OpenNamed(5, 200, u"CLIPRDR"));
  EXPECT_EQ(processor_->Channel(5)->ServerChannelId(), 200u);
  Feed(OpenNamed(5, 300, u"NOSUCH"));  // another name leaves it be
  EXPECT_EQ(processor_->Channel(5)->ServerChannelId(), 200u);
  Feed(Close(5, 999));  // not its id
  EXPECT_EQ(processor_->Channel(5)->ServerChannelId(), 200u);
  Feed(Close(5, 200));
  EXPECT_EQ(processor_->Channel(5), nullptr);
  processor_->CloseAllChannels();  // the closed ones are stopped off this thread: settle them
  EXPECT_EQ(gLog.Take(), (std::vector<std::string>{"open 100", "open 200", "stop 100", "stop 200"}));
}

// A session port whose sends wait at a gate, as real sends wait for the
// client's processor lock that the thread delivering slot messages holds.
class GatedSession : public RecordingSession {
 public:
  void SendOnChannelSlot(const void* data, uint32_t length) override {
    {
      std::lock_guard<std::mutex> hold(enteredMutex_);
      ++entered_;
    }
    entered.notify_all();
    std::lock_guard<std::mutex> hold(gate);
    RecordingSession::SendOnChannelSlot(data, length);
  }
  bool WaitEntered(int n) {
    std::unique_lock<std::mutex> hold(enteredMutex_);
    return entered.wait_for(hold, std::chrono::seconds(60), [&] { return entered_ >= n; });
  }
  std::mutex gate;
  std::condition_variable entered;

 private:
  std::mutex enteredMutex_;
  int entered_ = 0;
};

// The server closes a channel whose worker is sending while the delivering
// thread holds what the send waits for: the close returns at once, the
// channel sends nothing more, and it is stopped once its send went through.
TEST_F(ChannelHostTest, ACloseWhileTheWorkerSendsUnderTheDeliveryLockReturns) {
  auto gated = std::make_shared<GatedSession>();
  gated->parameters = &parameters_;
  processor_ = std::make_unique<CVirtChanelsSlotProcessor>(4, gated);
  std::unique_lock<std::mutex> delivering(gated->gate);
  Feed(OpenNamed(3, 30, u"RDPDR"));
  std::shared_ptr<CCVirtChanel> channel = processor_->Channel(3);
  Feed(Message(kChannelData, 3, {1, 2, 3}));
  ASSERT_TRUE(gated->WaitEntered(1));
  auto closing = std::async(std::launch::async, [&] { Feed(Close(3, 30)); });
  if (closing.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "the close waited for the worker's send: deadlock\n");
    std::abort();
  }
  EXPECT_EQ(processor_->Channel(3), nullptr);
  uint8_t late[kHeaderSize + 2] = {};
  channel->SendData(late, 2);  // after the close: dropped
  delivering.unlock();
  processor_->CloseAllChannels();
  ASSERT_EQ(gated->Sent().size(), 1u);  // the echo that was on its way
  EXPECT_EQ(gLog.Take(), (std::vector<std::string>{"open 30", "stop 30"}));
}

TEST_F(ChannelHostTest, EmptyDataReachesNoReceiveAndDataIsHandedToTheWorker) {
  Feed(OpenNamed(0, 1, u"RDPDR"));
  auto channel = std::static_pointer_cast<RecordingChannel>(processor_->Channel(0));
  std::promise<void> done;
  done.set_value();
  channel->AddFinishedTask(done.get_future());
  Feed(Message(kChannelData, 0, {}));
  Feed(Message(kChannelData, 0, {0xAB, 0xCD}));
  ASSERT_TRUE(session_->WaitFor(1));
  processor_->CloseAllChannels();  // joins the worker: its count is settled
  EXPECT_EQ(channel->received, 1);
  const Bytes echoed = session_->Sent().at(0);
  EXPECT_EQ(echoed, (Bytes{0x57, 0x43, 0, 0, 10, 0, 0, 0, 2, 0, 0, 0, 0x13, 0, 0, 0, 0xAB, 0xCD}));
}

TEST_F(ChannelHostTest, MultimediaChunksHoldAtMost1592Bytes) {
  struct Case {
    uint32_t total;
    std::vector<uint32_t> flags;
  };
  for (const Case& c : {Case{1592, {0x13}}, Case{1593, {0x11, 0x12}}, Case{3185, {0x11, 0x10, 0x12}}}) {
    SCOPED_TRACE(c.total);
    session_->Clear();
    RecordingChannel channel(1, 9, 0, session_);
    Bytes pdu(c.total);
    for (size_t i = 0; i < pdu.size(); ++i) pdu[i] = uint8_t(i * 7);
    channel.SendChunked(pdu.data(), c.total, kMultimediaChunk);
    const std::vector<Bytes> sent = session_->Sent();
    ASSERT_EQ(sent.size(), c.flags.size());
    Bytes joined;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(U16At(sent[i], 0), kChannelData);
      EXPECT_EQ(U16At(sent[i], 2), 9u);
      EXPECT_EQ(U32At(sent[i], 4), sent[i].size() - 8);
      EXPECT_LE(sent[i].size(), 8u + 1600u);
      EXPECT_EQ(U32At(sent[i], 8), c.total);
      EXPECT_EQ(U32At(sent[i], 12), c.flags[i]);
      joined.insert(joined.end(), sent[i].begin() + 16, sent[i].end());
    }
    EXPECT_EQ(joined, pdu);
  }
}

TEST_F(ChannelHostTest, EveryMessageCutShortIsDropped) {
  Feed(OpenNamed(2, 5, u"RDPDR"));
  gLog.Take();
  Bytes data = Message(kChannelData, 2, {1, 2, 3, 4});
  Bytes capabilities = Capabilities(kCapabilityMagic, 1, 0x17F);
  Bytes open = OpenNamed(3, 6, u"RDPDR");
  Bytes close = Close(2, 5);
  std::vector<Bytes> cut;
  for (const Bytes* m : {&data, &capabilities, &open, &close}) {
    for (size_t n = 0; n < m->size(); ++n) cut.emplace_back(m->begin(), m->begin() + n);
  }
  // Stated lengths past the bytes that came, with the bytes all there.
  for (const Bytes* m : {&data, &capabilities, &close}) {
    Bytes longer = *m;
    longer[4] = uint8_t(longer[4] + 1);
    cut.push_back(longer);
  }
  // Fixed fields past a stated length that fits the message.
  cut.push_back(Message(kCapabilities, 0, Bytes(11, 0x01)));
  cut.push_back(Message(kChannelClose, 2, Bytes(3, 0x05)));
  cut.push_back(Message(kChannelOpen, 3, Bytes(7, 0x00)));
  for (const Bytes& m : cut) {
    // Each in a buffer of its own size, so that a read past it shows.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size() + 1]);
    std::copy(m.begin(), m.end(), exact.get());
    processor_->FeedServerData(exact.get(), uint32_t(m.size()));
  }
  processor_->CloseAllChannels();
  EXPECT_TRUE(session_->Sent().empty());
  EXPECT_EQ(processor_->EnabledMask(), 0x11u);
  EXPECT_EQ(gLog.Take(), (std::vector<std::string>{"stop 5"}));
}

TEST_F(ChannelHostTest, StopEndsTheWorkerWithoutWaitingOutItsPeriod) {
  Feed(OpenNamed(0, 1, u"RDPDR"));
  std::shared_ptr<CCVirtChanel> channel = processor_->ReleaseChannel(0);
  auto stopped = std::async(std::launch::async, [&] { channel->Stop(); });
  // Bounded, generous: the worker wakes on the stop, not on its 1 s period.
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST_F(ChannelHostTest, DataAfterStopIsRefused) {
  Feed(OpenNamed(0, 1, u"RDPDR"));
  std::shared_ptr<CCVirtChanel> channel = processor_->ReleaseChannel(0);
  channel->Stop();
  const uint8_t byte = 1;
  channel->OnServerData(&byte, 1);
  EXPECT_TRUE(session_->Sent().empty());
}

TEST_F(ChannelHostTest, DetachingCutsTheSessionAndStopsEveryChannel) {
  Feed(OpenNamed(0, 1, u"RDPDR"));
  Feed(OpenNamed(13, 2, u"TSMF"));
  processor_->Attach(0, nullptr);
  EXPECT_EQ(processor_->Channel(0), nullptr);
  EXPECT_EQ(processor_->Channel(13), nullptr);
  Feed(Capabilities(kCapabilityMagic, 1, 0x11));
  EXPECT_TRUE(session_->Sent().empty());
}

// Opens, data and closes at every index while the workers echo: run under
// ThreadSanitizer.
TEST_F(ChannelHostTest, OpenCloseStorm) {
  Bytes payload(100, 0x5A);
  for (int round = 0; round < 40; ++round) {
    for (uint16_t i = 0; i < kChannelCount; ++i) {
      const uint32_t id = uint32_t(round * 100 + i);
      Feed(OpenNamed(i, id, (i % 3 == 0) ? u"CLIPRDR" : u"RDPDR"));
      Feed(Message(kChannelData, i, payload));
      if (round % 2) Feed(Close(i, id));
    }
  }
  processor_.reset();
  for (const Bytes& m : session_->Sent()) EXPECT_EQ(m.size(), 8u + 8u + payload.size());
}

}  // namespace
