// The worker pool: arrival order under random preparation times, the
// back-pressure that favours small packets, the way out of a full reorder
// queue, and the stream slot processor running on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "stream_test_support.h"
#include "streams/DataSlicer.h"

namespace {

using Clock = std::chrono::steady_clock;

Bytes Packet(uint32_t index, size_t size) {
  Bytes out(std::max<size_t>(size, 4), uint8_t(index));
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(index >> (8 * i));
  return out;
}

uint32_t IndexOf(const uint8_t* data) {
  return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

class RecordingOwner {
 public:
  bool PrepareMessage(std::unique_ptr<uint8_t[]>& message, uint32_t& length, bool& preDecoded) {
    if (onPrepare) onPrepare(IndexOf(message.get()));
    // Rewrites the packet so that the sequencer's side sees the worker's
    // buffer and mark.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
    std::memcpy(copy.get(), message.get(), length);
    message = std::move(copy);
    preDecoded = true;
    return true;
  }
  int ProcessMessage(const uint8_t* message, uint32_t, bool preDecoded) {
    std::lock_guard<std::mutex> hold(lock);
    processed.push_back(IndexOf(message));
    allMarked &= preDecoded;
    changed.notify_all();
    return 0;
  }
  bool WaitProcessed(size_t n) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(60), [&] { return processed.size() >= n; });
  }
  std::vector<uint32_t> Processed() {
    std::lock_guard<std::mutex> hold(lock);
    return processed;
  }

  std::function<void(uint32_t)> onPrepare;
  bool allMarked = true;

 private:
  std::mutex lock;
  std::condition_variable changed;
  std::vector<uint32_t> processed;
};

// Holds preparation of chosen packets until opened.
class Gate {
 public:
  void Hold(uint32_t index) {
    std::unique_lock<std::mutex> hold(lock);
    ++waiting;
    changed.notify_all();
    changed.wait(hold, [&] { return open; });
    (void)index;
  }
  bool WaitWaiting(int n) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(60), [&] { return waiting >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    changed.notify_all();
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  int waiting = 0;
  bool open = false;
};

std::vector<uint32_t> Sequence(uint32_t from, uint32_t to) {
  std::vector<uint32_t> out;
  for (uint32_t i = from; i < to; ++i) out.push_back(i);
  return out;
}

}  // namespace

TEST(DataSlicer, PacketsComeBackInArrivalOrder) {
  RecordingOwner owner;
  owner.onPrepare = [](uint32_t index) {
    thread_local std::mt19937 random(index);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
  };
  DataSlicer<RecordingOwner> slicer(true, 16, 16, 4);
  ASSERT_TRUE(slicer.Start(&owner));
  EXPECT_FALSE(slicer.Start(&owner));
  for (uint32_t i = 0; i < 1000; ++i) {
    const Bytes p = Packet(i, 16 + i % 300);
    ASSERT_TRUE(slicer.Put(p.data(), uint32_t(p.size()), 0));
  }
  ASSERT_TRUE(owner.WaitProcessed(1000));
  slicer.Stop();
  EXPECT_EQ(owner.Processed(), Sequence(0, 1000));
  EXPECT_TRUE(owner.allMarked);
  EXPECT_EQ(slicer.RunningWorkers(), 0);
  EXPECT_FALSE(slicer.SequencerRunning());
}

TEST(DataSlicer, BackPressureDropsALargePacketAndKeepsASmallOne) {
  RecordingOwner owner;
  Gate gate;
  owner.onPrepare = [&](uint32_t index) { gate.Hold(index); };
  DataSlicer<RecordingOwner> slicer(true, 16, 16, 4);
  ASSERT_TRUE(slicer.Start(&owner));
  for (uint32_t i = 0; i < 4; ++i) {
    const Bytes p = Packet(i, 100);
    ASSERT_TRUE(slicer.Put(p.data(), uint32_t(p.size()), 0));
  }
  ASSERT_TRUE(gate.WaitWaiting(4));  // every worker holds one
  for (uint32_t i = 4; i < 20; ++i) {
    const Bytes p = Packet(i, i % 2 ? 100 : 5000);
    ASSERT_TRUE(slicer.Put(p.data(), uint32_t(p.size()), 0));
  }
  EXPECT_EQ(slicer.InputCount(), 16u);
  const Bytes large = Packet(20, 5000);
  const Bytes small = Packet(21, 100);
  const Bytes limit = Packet(22, 4096);
  EXPECT_FALSE(slicer.Put(large.data(), uint32_t(large.size()), 0));
  EXPECT_TRUE(slicer.Put(small.data(), uint32_t(small.size()), 0));
  EXPECT_TRUE(slicer.Put(limit.data(), uint32_t(limit.size()), 0));
  gate.Open();
  ASSERT_TRUE(owner.WaitProcessed(22));
  slicer.Stop();
  std::vector<uint32_t> expected = Sequence(0, 20);
  expected.push_back(21);
  expected.push_back(22);
  EXPECT_EQ(owner.Processed(), expected);
}

TEST(DataSlicer, AFullReorderQueueStillTakesThePacketTheSequencerWaitsFor) {
  RecordingOwner owner;
  Gate gate;
  owner.onPrepare = [&](uint32_t index) {
    if (index == 0) gate.Hold(index);
  };
  // Two workers, room for four prepared packets.
  DataSlicer<RecordingOwner> slicer(true, 16, 4, 2);
  ASSERT_TRUE(slicer.Start(&owner));
  for (uint32_t i = 0; i < 8; ++i) {
    const Bytes p = Packet(i, 64);
    ASSERT_TRUE(slicer.Put(p.data(), uint32_t(p.size()), 0));
  }
  ASSERT_TRUE(gate.WaitWaiting(1));
  // The other worker fills the queue with 1..4 and then holds 5.
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while ((slicer.ReorderCount() != 4 || slicer.InputCount() != 2) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(slicer.ReorderCount(), 4u);
  ASSERT_EQ(slicer.InputCount(), 2u);
  gate.Open();
  ASSERT_TRUE(owner.WaitProcessed(8));
  slicer.Stop();
  EXPECT_EQ(owner.Processed(), Sequence(0, 8));
}

TEST(DataSlicer, ADisabledPoolHandsPacketsOnAtOnce) {
  RecordingOwner owner;
  DataSlicer<RecordingOwner> slicer(false, 16, 16, 4);
  EXPECT_FALSE(slicer.Start(&owner));
  const Bytes p = Packet(5, 10);
  EXPECT_TRUE(slicer.Put(p.data(), uint32_t(p.size()), 0));
  EXPECT_EQ(owner.Processed(), (std::vector<uint32_t>{5}));
  EXPECT_EQ(slicer.RunningWorkers(), 0);
  slicer.Stop();
}

TEST(DataSlicer, AStartedPoolRefusesEmptyPackets) {
  RecordingOwner owner;
  DataSlicer<RecordingOwner> slicer(true, 16, 16, 4);
  const Bytes p = Packet(1, 10);
  EXPECT_FALSE(slicer.Put(p.data(), uint32_t(p.size()), 0));  // not started
  ASSERT_TRUE(slicer.Start(&owner));
  EXPECT_FALSE(slicer.Put(nullptr, 10, 0));
  EXPECT_FALSE(slicer.Put(p.data(), 0, 0));
}

TEST(StreamSlotPool, FramesArePreDecodedOnWorkersAndDeliveredInOrder) {
  StreamLog log;
  CClientConnectionParameter parameters;
  parameters.useSound = 1;
  parameters.dataSlicerMode = 1;
  auto port = MakeStreamPort();
  port->parameters = &parameters;
  FakeKinds* kinds = new FakeKinds(&log);
  kinds->makes = {StreamKind::kDJ};
  kinds->accepts = {StreamKind::kDJ};
  CAvsSlotDataProcessor processor(0);
  processor.SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(kinds));
  processor.AttachPort(3, port);
  ASSERT_TRUE(processor.PoolRunning());
  auto send = [&](const Bytes& m) { processor.OnSlotData(m.data(), uint32_t(m.size())); };
  send(hs::Reserve(7));
  send(hs::CreateFromFormat(7, SmallFormat(), 0));
  const uint8_t never = 0;
  processor.OnSlotData(&never, 0xFFFFFFFFu);

  const Bytes jpeg = hs::JpegOf(Picture(16, 8));
  hs::SampleInfo info;
  info.streamId = 7;
  const int kRounds = 30;
  for (int i = 0; i < kRounds; ++i) {
    send(i % 3 == 2 ? hs::LegacySample(info, jpeg) : hs::JpegFrame(7, jpeg));
    send(hs::LegacyData(7, Bytes{uint8_t(i)}));
  }
  ASSERT_TRUE(log.WaitSamples(2 * kRounds));
  const std::vector<StreamLog::Sample> samples = log.Samples();
  ASSERT_EQ(samples.size(), size_t(2 * kRounds));
  for (int i = 0; i < kRounds; ++i) {
    SCOPED_TRACE(i);
    const StreamLog::Sample& frame = samples[2 * i];
    EXPECT_EQ(frame.context.preDecoded, 1);
    EXPECT_EQ(frame.context.width, 16);
    EXPECT_EQ(frame.context.height, 8);
    EXPECT_EQ(frame.data.size(), 16u * 8 * 3);
    EXPECT_FALSE(frame.hasInfo);
    EXPECT_EQ(samples[2 * i + 1].data, Bytes{uint8_t(i)});
  }
}

TEST(StreamSlotPool, APoolThatNeverStartedEndsQuietly) {
  auto port = MakeStreamPort();
  std::unique_ptr<CAvsSlotDataProcessor> processor(new CAvsSlotDataProcessor(1));
  processor->AttachPort(4, port);
  EXPECT_FALSE(processor->PoolRunning());
  processor->Attach(CSlotDataProcessor::kDetached, nullptr);
  processor.reset();
}

TEST(StreamSlotThreads, PaintWalksMeetNoStreamBeingReplaced) {
  StreamLog log;
  auto port = MakeStreamPort();
  FakeKinds* kinds = new FakeKinds(&log);
  kinds->makes = {StreamKind::kDJ, StreamKind::kAudio};
  kinds->accepts = {StreamKind::kDJ, StreamKind::kAudio};
  CAvsSlotDataProcessor processor(0);
  processor.SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(kinds));
  processor.AttachPort(3, port);
  std::atomic<bool> done{false};
  std::thread gui([&] {
    while (!done) {
      processor.OnWindowMoved(1, 2);
      processor.OnDisplayUpdated(0, 0);
    }
  });
  auto send = [&](const Bytes& m) { processor.OnSlotData(m.data(), uint32_t(m.size())); };
  for (int round = 0; round < 200; ++round) {
    const uint32_t id = 1 + round % 4;
    send(hs::Reserve(id));
    send(hs::CreateFromFormat(id, SmallFormat(), 0));
    send(hs::LegacyAudioFormat(id, hs::WaveFormat()));
    send(hs::WindowRect(id, hs::Rect{0, 0, 8, 8}, 0));
    if (round % 3 == 0) send(hs::Close(id));
  }
  done = true;
  gui.join();
  EXPECT_TRUE(log.Contains("dj.Scroll") || log.Contains("audio.Scroll"));
}

TEST(StreamSlotThreads, DetachingWhileThePoolWorksIsSafe) {
  StreamLog log;
  CClientConnectionParameter parameters;
  parameters.useSound = 1;
  parameters.dataSlicerMode = 2;
  auto port = MakeStreamPort();
  port->parameters = &parameters;
  FakeKinds* kinds = new FakeKinds(&log);
  kinds->makes = {StreamKind::kDJ};
  kinds->accepts = {StreamKind::kDJ};
  std::unique_ptr<CAvsSlotDataProcessor> processor(new CAvsSlotDataProcessor(0));
  processor->SetStreamKindFactory(std::unique_ptr<StreamKindFactory>(kinds));
  processor->AttachPort(3, port);
  auto send = [&](const Bytes& m) { processor->OnSlotData(m.data(), uint32_t(m.size())); };
  send(hs::Reserve(7));
  send(hs::CreateFromFormat(7, SmallFormat(), 0));
  const Bytes jpeg = hs::JpegOf(Picture(16, 8));
  for (int i = 0; i < 20; ++i) send(hs::JpegFrame(7, jpeg));
  ASSERT_TRUE(log.WaitSamples(1));
  for (int i = 0; i < 20; ++i) send(hs::JpegFrame(7, jpeg));
  processor->Attach(CSlotDataProcessor::kDetached, nullptr);
  // The port may go now: a message in flight holds its own reference.
  port.reset();
  for (int i = 0; i < 5; ++i) send(hs::JpegFrame(7, jpeg));
  processor.reset();
  EXPECT_TRUE(log.Contains("dj.Close"));
}
