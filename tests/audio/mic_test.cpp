// The microphone on the virtual clock's capture: the test decides which
// bytes the device records, so pausing and resuming can be followed buffer
// by buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "MicSupport.h"
#include "WaveTestSupport.h"
#include "audio/MicDevice.h"
#include "pelplat/debugout.h"
#include "pelplat/wavebackend.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBuffer = 8192;

Bytes Filled(uint8_t value) { return Bytes(kBuffer, value); }

class Microphone : public ::testing::Test {
 protected:
  void SetUp() override { pelplat::wave::SetBackend(&backend); }
  void TearDown() override {
    StopWithFeeder();
    pelplat::wave::SetBackend(nullptr);
  }
  void Feed(const Bytes& b) { backend.FeedCapture(b.data(), b.size()); }
  // A stop waits for the queued buffers to fill: feed them once it waits,
  // until it ends.
  void StopWithFeeder() {
    std::atomic<bool> done{false};
    std::thread feeder([&] {
      while (!done.load()) {
        if (mic.Stopping()) Feed(Filled(0xEE));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    mic.SetState(&sink, 0);
    done.store(true);
    feeder.join();
  }

  pelplat::wave::VirtualWaveBackend backend;
  RecordingSink sink;
  CMicDevice mic;
};

TEST_F(Microphone, FullBuffersGoOutAsDataMessages) {
  mic.SetState(&sink, 3);
  ASSERT_TRUE(mic.IsOpen());
  ASSERT_TRUE(mic.Capturing());
  Feed(Filled(1));
  Feed(Filled(2));
  ASSERT_TRUE(sink.WaitForMessages(2));
  const auto messages = sink.Messages();
  for (int i = 0; i < 2; ++i) {
    const Bytes& m = messages[i];
    ASSERT_EQ(8200u, m.size());
    EXPECT_EQ(Bytes({0x06, 0x20, 7, 0x1F, 'C', 'M', 'T', ' '}), Bytes(m.begin(), m.begin() + 8));
    EXPECT_TRUE(Filled(static_cast<uint8_t>(i + 1)) == Bytes(m.begin() + 8, m.end()));
  }
}

TEST_F(Microphone, PauseKeepsCapturingWithoutSendingAndResumeSendsAgain) {
  mic.SetState(&sink, 3);
  Feed(Filled(1));
  ASSERT_TRUE(sink.WaitForMessages(1));
  mic.SetState(&sink, 2);
  EXPECT_TRUE(mic.Capturing());
  const uint32_t before = mic.BuffersReturned();
  Feed(Filled(2));
  ASSERT_TRUE(Eventually([&] { return mic.BuffersReturned() == before + 1; }));
  mic.SetState(&sink, 3);
  EXPECT_TRUE(mic.SendingEnabled());
  Feed(Filled(3));
  ASSERT_TRUE(sink.WaitForMessages(2));
  const auto messages = sink.Messages();
  EXPECT_EQ(2u, messages.size());
  EXPECT_TRUE(Filled(3) == Bytes(messages[1].begin() + 8, messages[1].end()));
}

TEST_F(Microphone, StopAndCloseWhileIdleDoNothing) {
  mic.SetState(&sink, 0);
  mic.SetState(&sink, 2);
  mic.SetState(&sink, 9);
  EXPECT_FALSE(mic.IsOpen());
  EXPECT_FALSE(mic.Capturing());
  EXPECT_TRUE(sink.Messages().empty());
}

TEST_F(Microphone, AMicrophoneThatDoesNotOpenSendsNothingAndSaysWhyOnceUntilAnOpenWorks) {
  std::vector<std::string> lines;
  const DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  backend.FailOpens(true);
  mic.SetState(&sink, 3);
  mic.SetState(&sink, 3);
  EXPECT_FALSE(mic.IsOpen());
  EXPECT_FALSE(mic.Capturing());
  EXPECT_TRUE(sink.Messages().empty());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("pellum: the microphone \"virtual\" cannot be opened: the virtual device refuses opens\n",
            lines[0]);
  backend.FailOpens(false);
  ASSERT_EQ(1, mic.Open());
  mic.Close();
  backend.FailOpens(true);
  mic.SetState(&sink, 3);
  SetDebugOutputSink(previous);
  EXPECT_EQ(2u, lines.size());
}

TEST_F(Microphone, StopWaitsForTheQueuedBuffersAndSendsNoneOfThem) {
  mic.SetState(&sink, 3);
  Feed(Filled(1));
  ASSERT_TRUE(sink.WaitForMessages(1));
  StopWithFeeder();
  EXPECT_FALSE(mic.Capturing());
  EXPECT_FALSE(mic.IsOpen());
  EXPECT_EQ(1u, sink.Messages().size());
}

TEST_F(Microphone, TheAnnouncementRecord) {
  uint8_t* record = nullptr;
  ASSERT_EQ(48u, mic.BuildAnnounce(&record));
  const Bytes a(record, record + 48);
  delete[] record;
  const Bytes expected = {46, 0, 20, 0x1F, 'C', 'M', 'T', ' ', 1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          1,  0, 0,  0,    0,   0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(expected, a);
}

}  // namespace
