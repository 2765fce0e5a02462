// The wave output and its buffer pool on the virtual clock: buffers finish
// exactly when the test lets the clock move.
#include <gtest/gtest.h>

#include <vector>

#include "WaveTestSupport.h"
#include "session/AudioClockRecord.h"
#include "audio/WaveOut.h"
#include "pelplat/wavebackend.h"

namespace {

using pelplat::wave::VirtualWaveBackend;

class WaveOutTest : public ::testing::Test {
 protected:
  void SetUp() override { pelplat::wave::SetBackend(&backend); }
  void TearDown() override {
    wave.reset();
    pelplat::wave::SetBackend(nullptr);
  }
  CWaveOut& Make() {
    wave = std::make_unique<CWaveOut>();
    return *wave;
  }
  // A playing device whose pool holds buffers of `planBytes`.
  CWaveOut& Playing(uint32_t planBytes = 4096) {
    CWaveOut& w = Make();
    const WAVEFORMATEX f = PcmFormat(2, 44100, 16);
    w.SetFormat(&f, &clock);
    const uint32_t plan[3] = {100, planBytes, 0};
    w.SetBufferPlan(plan);
    w.SetState(3);
    EXPECT_TRUE(w.IsOpen());
    return w;
  }
  void WaitWritten(uint64_t frames) {
    ASSERT_TRUE(Eventually([&] { return backend.FramesWritten() >= frames; }));
  }

  VirtualWaveBackend backend;
  AudioClockRecord clock;
  std::unique_ptr<CWaveOut> wave;
};

TEST_F(WaveOutTest, WriteResultsComeInTheirOrder) {
  CWaveOut& w = Make();
  const uint8_t bytes[400] = {};
  EXPECT_EQ(CWaveOut::kNothing, w.Write(bytes, 0, 0));  // even without a device
  EXPECT_EQ(CWaveOut::kNoDevice, w.Write(bytes, 400, 0));
  w.SetState(3);
  w.SetState(2);
  EXPECT_EQ(CWaveOut::kNothing, w.Write(bytes, 0, 0));
  EXPECT_EQ(CWaveOut::kNotPlaying, w.Write(bytes, 400, 0));
  w.SetState(7);  // stored, no device action
  EXPECT_EQ(7u, w.State());
  EXPECT_EQ(CWaveOut::kNotPlaying, w.Write(bytes, 400, 0));
  w.SetState(3);
  EXPECT_EQ(CWaveOut::kQueued, w.Write(bytes, 400, 0));
  w.SetState(0);
  EXPECT_EQ(CWaveOut::kNoDevice, w.Write(bytes, 400, 0));
  backend.FailOpens(true);
  w.SetState(3);
  EXPECT_FALSE(w.IsOpen());
  EXPECT_EQ(CWaveOut::kNoDevice, w.Write(bytes, 400, 0));
  w.Shutdown();
}

TEST_F(WaveOutTest, BufferPlansPrefillTheirDurationClass) {
  CWaveOut& w = Make();
  const struct {
    uint32_t durationClass;
    uint32_t buffers;
  } cases[] = {{201, 4}, {150, 8}, {100, 16}, {50, 32}, {0, 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.durationClass);
    const uint32_t plan[3] = {c.durationClass, 2048, 99};
    w.SetBufferPlan(plan);
    EXPECT_EQ(2048, w.Pool().BufferSize());
    EXPECT_EQ(c.buffers, w.Pool().FreeBuffers());
    EXPECT_EQ(c.buffers, w.Pool().LiveBuffers());
  }
  w.Shutdown();
}

TEST_F(WaveOutTest, BufferPlanSizeIsClampedToOneKibToOneMib) {
  CWaveOut& w = Make();
  const struct {
    uint32_t asked;
    int32_t kept;
  } cases[] = {{0, 1024}, {10, 1024}, {1024, 1024}, {5000, 5000}, {1 << 20, 1 << 20}, {0xFFFFFFFFu, 1 << 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    const uint32_t plan[3] = {201, c.asked, 0};
    w.SetBufferPlan(plan);
    EXPECT_EQ(c.kept, w.Pool().BufferSize());
  }
  w.Shutdown();
}

TEST_F(WaveOutTest, ALargeWriteRebuildsThePoolAndSmallBuffersAreFreedOnReturn) {
  CWaveOut& w = Playing(1024);
  std::vector<uint8_t> small(1000, 1), large(6000, 2);
  EXPECT_EQ(CWaveOut::kQueued, w.Write(small.data(), 1000, 1));
  EXPECT_EQ(CWaveOut::kQueued, w.Write(large.data(), 6000, 2));
  EXPECT_EQ(6000, w.Pool().BufferSize());
  // 16 taken and given back, one of them now with the device, one spare kept.
  EXPECT_EQ(15u, w.Pool().FreeBuffers());
  WaitWritten(1750);
  backend.Advance(250);
  ASSERT_TRUE(Eventually([&] { return w.Outstanding() == 1; }));
  EXPECT_EQ(15u, w.Pool().FreeBuffers());  // the 1024-byte buffer was freed
  backend.Advance(1500);
  ASSERT_TRUE(Eventually([&] { return w.Outstanding() == 0; }));
  EXPECT_EQ(16u, w.Pool().FreeBuffers());
  EXPECT_TRUE(std::string(1000, '\1') + std::string(6000, '\2') == backend.BytesWritten());
  w.Shutdown();
}

TEST_F(WaveOutTest, FinishedBuffersWriteTheClockAndEveryCloseZeroesIt) {
  CWaveOut& w = Playing();
  std::vector<uint8_t> bytes(400);
  w.Write(bytes.data(), 400, 1111);
  w.Write(bytes.data(), 400, 2222);
  WaitWritten(200);
  EXPECT_EQ(0u, clock.Position());
  backend.Advance(100);
  ASSERT_TRUE(Eventually([&] { return clock.Position() == 1111; }));
  EXPECT_EQ(1111u, clock.timestampCopy.load());
  EXPECT_EQ(0u, clock.reserved.load());
  backend.Advance(100);
  ASSERT_TRUE(Eventually([&] { return clock.Position() == 2222; }));
  w.Close();
  EXPECT_EQ(0u, clock.Position());
  EXPECT_EQ(0u, clock.timestampCopy.load());

  clock.StorePosition(5);
  w.Close();  // no device open: zeroed all the same
  EXPECT_EQ(0u, clock.Position());

  // Without a record nothing is written any more.
  w.SetFormat(nullptr, nullptr);
  w.SetState(3);
  w.Write(bytes.data(), 400, 3333);
  WaitWritten(300);
  backend.Advance(100);
  ASSERT_TRUE(Eventually([&] { return w.Outstanding() == 0; }));
  EXPECT_EQ(0u, clock.Position());
  w.Shutdown();
}

TEST_F(WaveOutTest, BytesInFlightNeverGoBelowZero) {
  CWaveOut& w = Playing();
  std::vector<uint8_t> bytes(2000);
  w.Write(bytes.data(), 2000, 0);
  w.Write(bytes.data(), 2000, 0);
  EXPECT_EQ(4000u, w.GetBytesInFlight());
  WaitWritten(1000);
  backend.Advance(500);
  ASSERT_TRUE(Eventually([&] { return w.GetBytesInFlight() == 2000; }));
  // A reopen zeroes the count while a buffer is still with the old device;
  // its notification must not take the count below zero.
  w.SetState(3);
  ASSERT_TRUE(Eventually([&] { return w.Outstanding() == 0; }));
  EXPECT_EQ(0u, w.GetBytesInFlight());
  w.Shutdown();
}

TEST_F(WaveOutTest, BlocksStillPlayingAtCloseAreAllFinishedBeforeItReturns) {
  CWaveOut& w = Playing();
  const uint32_t pooled = w.Pool().FreeBuffers();
  std::vector<uint8_t> bytes(4000);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CWaveOut::kQueued, w.Write(bytes.data(), 4000, 9));
  WaitWritten(3000);
  EXPECT_EQ(3, w.Outstanding());
  w.Close();  // the clock never moves: the play-out wait runs out, then the reset
  // Every block came back through its done notification before the close
  // returned: none is counted, each is in the pool again.
  EXPECT_EQ(0, w.Outstanding());
  EXPECT_EQ(0u, w.GetBytesInFlight());
  EXPECT_EQ(pooled, w.Pool().FreeBuffers());
  EXPECT_FALSE(w.IsOpen());
  EXPECT_EQ(0, backend.OpenSinks());
  EXPECT_EQ(0u, clock.Position());
  EXPECT_EQ(CWaveOut::kNoDevice, w.Write(bytes.data(), 4000, 0));
  w.Shutdown();
}

TEST_F(WaveOutTest, ACloseWithNothingOutstandingDoesNotWait) {
  CWaveOut& w = Playing();
  w.SetState(0);  // opened, never written
  EXPECT_FALSE(w.IsOpen());
  EXPECT_EQ(0u, w.CloseWaits());

  w.SetState(3);
  std::vector<uint8_t> bytes(400);
  w.Write(bytes.data(), 400, 1);
  WaitWritten(100);
  backend.Advance(100);
  ASSERT_TRUE(Eventually([&] { return w.Outstanding() == 0; }));
  w.SetState(3);  // a reopen closes first
  w.Close();
  w.Shutdown();
  EXPECT_EQ(0u, w.CloseWaits());
  EXPECT_EQ(0, backend.OpenSinks());
}

TEST_F(WaveOutTest, UnplayedFramesFollowTheDevicePosition) {
  CWaveOut& w = Make();
  EXPECT_EQ(0u, w.GetUnplayedFrames());
  const WAVEFORMATEX f = PcmFormat(2, 44100, 16);
  w.SetFormat(&f, nullptr);
  w.SetState(3);
  std::vector<uint8_t> bytes(4000);
  w.Write(bytes.data(), 4000, 0);
  WaitWritten(1000);
  backend.Advance(300);
  EXPECT_EQ(700u, w.GetUnplayedFrames());
  w.Shutdown();
  EXPECT_EQ(0u, w.GetUnplayedFrames());
}

TEST_F(WaveOutTest, AFormatWithoutWholeFramesIsRefusedAndThePreviousKept) {
  CWaveOut& w = Make();
  const WAVEFORMATEX good = PcmFormat(1, 8000, 8);
  w.SetFormat(&good, nullptr);
  EXPECT_EQ(1u, w.FrameSize());
  for (const WAVEFORMATEX& bad : {PcmFormat(0, 8000, 16), PcmFormat(2, 8000, 4), PcmFormat(2, 0, 16)}) {
    w.SetFormat(&bad, &clock);
    EXPECT_EQ(1u, w.FrameSize());
    EXPECT_EQ(8000u, w.Format().nSamplesPerSec);
  }
  w.Shutdown();
}

TEST_F(WaveOutTest, WithoutADeviceEverythingIsHarmless) {
  backend.SetDeviceCounts(0, 0);
  CWaveOut& w = Make();
  EXPECT_FALSE(w.ThreadStarted());
  EXPECT_EQ(0, w.Open());
  const uint8_t bytes[4] = {};
  EXPECT_EQ(CWaveOut::kNoDevice, w.Write(bytes, 4, 0));
  w.Shutdown();
  w.Shutdown();
}

}  // namespace
