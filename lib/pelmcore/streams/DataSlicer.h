// The stream slot's worker pool: workers prepare packets (decode JPEG
// frames ahead) in parallel, one sequencer hands them to the owner in the
// order they were accepted. The owner offers
//   bool PrepareMessage(std::unique_ptr<uint8_t[]>& message, uint32_t& length, bool& preDecoded)
// or, to fill buffers the pool hands round instead of fresh ones,
//   bool PrepareMessage(SliceBuffer& message, uint32_t& length, bool& preDecoded,
//                       SliceBuffers& spare)
// and
//   int ProcessMessage(const uint8_t* message, uint32_t length, bool preDecoded)
// PrepareMessage runs on any worker, ProcessMessage only on the sequencer
// (or on the caller of Put while the pool is disabled).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

// A message buffer with the bytes it can hold, so that a later message can
// fill it again.
struct SliceBuffer {
  std::unique_ptr<uint8_t[]> bytes;
  size_t capacity = 0;
};

// Spare message buffers. A frame's buffers go round (copied in, decoded
// into, drawn from, given back): a buffer used before spares the
// allocation and the page faults of fresh memory on every frame. Any
// thread may take and give.
class SliceBuffers {
 public:
  // Buffers this small are not worth keeping.
  static constexpr size_t kSmallest = 4096;

  SliceBuffers(size_t keepCount, size_t keepBytes) : keepCount_(keepCount), keepBytes_(keepBytes) {}

  // At least n bytes, as left by their last user; null bytes when memory
  // runs out.
  SliceBuffer Take(size_t n) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      // The best fit, but never a picture's buffer for a much smaller
      // message: the next picture would have to allocate again. Among
      // equals the one given back last, whose bytes are likeliest still in
      // a cache.
      size_t best = kept_.size();
      for (size_t i = kept_.size(); i-- > 0;) {
        const size_t c = kept_[i].capacity;
        if (c >= n && c <= 2 * n + kSmallest && (best == kept_.size() || c < kept_[best].capacity))
          best = i;
      }
      if (best != kept_.size()) {
        SliceBuffer found = std::move(kept_[best]);
        kept_.erase(kept_.begin() + std::ptrdiff_t(best));
        keptBytes_ -= found.capacity;
        return found;
      }
    }
    // Room for a slightly bigger message of the same kind next time, when
    // the buffer may come back.
    const size_t room =
        n <= kSmallest || keepCount_ == 0 ? (n ? n : 1) : (n + n / 8 + 4095) / 4096 * 4096;
    SliceBuffer made;
    made.bytes.reset(new (std::nothrow) uint8_t[room]);
    made.capacity = made.bytes ? room : 0;
    return made;
  }

  // Keeps the buffer for a later Take, or frees it (after the lock) when
  // enough are kept.
  void Give(SliceBuffer buffer) {
    if (!buffer.bytes || buffer.capacity <= kSmallest) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (kept_.size() >= keepCount_ || keptBytes_ + buffer.capacity > keepBytes_) return;
    keptBytes_ += buffer.capacity;
    kept_.push_back(std::move(buffer));
  }

  size_t KeptCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return kept_.size();
  }

  SliceBuffers(const SliceBuffers&) = delete;
  SliceBuffers& operator=(const SliceBuffers&) = delete;

 private:
  const size_t keepCount_;
  const size_t keepBytes_;
  std::mutex lock_;
  std::vector<SliceBuffer> kept_;
  size_t keptBytes_ = 0;
};

template <class Owner>
class DataSlicer {
 public:
  // Packets up to this size are never refused.
  static constexpr uint32_t kSmallPacket = 4096;
  // Idle memory the spare buffers may hold: a handful of 1080p pictures,
  // and as many buffers as the frames a full pool has on their way.
  static constexpr size_t kSpareBytes = size_t(48) << 20;
  static constexpr size_t kSpareCount = 24;

  DataSlicer(bool enabled, int inputLimit, int reorderLimit, int workerCount)
      : enabled_(enabled), inputLimit_(inputLimit), reorderLimit_(reorderLimit),
        workerCount_(workerCount),
        spare_(kSpareCount, kSpareBytes) {}
  ~DataSlicer() {
    Stop();
    std::lock_guard<std::mutex> hold(lock_);
    input_.clear();
    reorder_.clear();
  }

  // False when the pool is disabled or already started.
  bool Start(Owner* owner) {
    if (started_) return false;
    // A disabled pool still hands packets to its owner, on the caller's thread.
    owner_ = owner;
    if (!enabled_) return false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      next_ = 0;
      expected_ = 0;
      input_.clear();
      reorder_.clear();
      stop_ = false;
    }
    for (int i = 0; i < workerCount_; ++i) workers_.emplace_back([this] { WorkerMain(); });
    sequencer_ = std::thread([this] { SequencerMain(); });
    started_ = true;
    return true;
  }

  // True when the packet was handed on. A disabled pool processes it on
  // the calling thread. A refused packet is retried every retryMs
  // milliseconds, or dropped when retryMs is 0 or less.
  bool Put(const uint8_t* data, uint32_t length, int retryMs) {
    if (!enabled_) {
      if (!owner_) return false;
      owner_->ProcessMessage(data, length, false);
      return true;
    }
    if (!data || length == 0 || !started_) return false;
    for (;;) {
      if (TryPut(data, length)) return true;
      if (retryMs <= 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(retryMs));
    }
  }

  // Queues a copy unless a large packet meets a backlog.
  bool TryPut(const uint8_t* data, uint32_t length) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (length > kSmallPacket &&
          (int(input_.size()) >= inputLimit_ || int(reorder_.size()) >= reorderLimit_ / 2))
        return false;
      SliceBuffer copy = spare_.Take(length);
      if (!copy.bytes) return false;
      if (length) std::memcpy(copy.bytes.get(), data, length);
      input_.push_back(SlicedPacket{next_++, std::move(copy), length, false});
      wake = idleWorkers_ > 0;
    }
    // All of them: a worker woken by an earlier packet may not have taken
    // it yet, and one signal for two packets would leave one waiting.
    if (wake) inputArrived_.notify_all();
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    inputArrived_.notify_all();
    roomMade_.notify_all();
    expectedReady_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    if (sequencer_.joinable()) sequencer_.join();
    started_ = false;
  }

  void Forget() { owner_ = nullptr; }
  bool Enabled() const { return enabled_; }
  bool Started() const { return started_; }
  int RunningWorkers() const { return running_.load(); }
  bool SequencerRunning() const { return sequencerRunning_.load(); }
  size_t InputCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return input_.size();
  }
  size_t ReorderCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return reorder_.size();
  }
  size_t SpareCount() { return spare_.KeptCount(); }

  DataSlicer(const DataSlicer&) = delete;
  DataSlicer& operator=(const DataSlicer&) = delete;

 private:
  struct SlicedPacket {
    uint64_t sequence;
    SliceBuffer data;
    uint32_t length;
    bool preDecoded;  // rewritten by PrepareMessage, not as sent
  };

  // Waits are bounded so that a missed wake-up costs one idle period at most.
  static constexpr std::chrono::milliseconds kIdle{10};

  template <class O>
  auto Prepare(O* owner, SlicedPacket& p, int)
      -> decltype(owner->PrepareMessage(p.data, p.length, p.preDecoded,
                                        std::declval<SliceBuffers&>()),
                  void()) {
    owner->PrepareMessage(p.data, p.length, p.preDecoded, spare_);
  }
  // An owner without spare buffers replaces the buffer with one of the
  // new length.
  template <class O>
  void Prepare(O* owner, SlicedPacket& p, long) {
    const uint8_t* before = p.data.bytes.get();
    owner->PrepareMessage(p.data.bytes, p.length, p.preDecoded);
    if (p.data.bytes.get() != before) p.data.capacity = p.data.bytes ? p.length : 0;
  }

  void WorkerMain() {
    running_.fetch_add(1);
    SlicedPacket held{0, SliceBuffer(), 0, false};
    bool holding = false;
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
      if (!holding) {
        if (input_.empty()) {
          ++idleWorkers_;
          inputArrived_.wait_for(hold, kIdle);
          --idleWorkers_;
          continue;
        }
        held = std::move(input_.front());
        input_.pop_front();
        holding = true;
        hold.unlock();
        Prepare(owner_, held, 0);
        hold.lock();
        continue;
      }
      // The packet the sequencer waits for always gets in: otherwise a
      // queue full of later packets would wait for it forever.
      if (int(reorder_.size()) < reorderLimit_ || held.sequence == expected_) {
        const bool awaited = held.sequence == expected_;
        reorder_.push_back(std::move(held));
        holding = false;
        if (awaited) {
          hold.unlock();
          expectedReady_.notify_one();
          hold.lock();
        }
        continue;
      }
      ++blockedWorkers_;
      roomMade_.wait_for(hold, kIdle);
      --blockedWorkers_;
    }
    running_.fetch_sub(1);
  }

  void SequencerMain() {
    sequencerRunning_.store(true);
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
      auto found = reorder_.begin();
      while (found != reorder_.end() && found->sequence != expected_) ++found;
      if (found == reorder_.end()) {
        expectedReady_.wait_for(hold, kIdle);
        continue;
      }
      SlicedPacket packet = std::move(*found);
      reorder_.erase(found);
      ++expected_;
      const bool wake = blockedWorkers_ > 0;
      hold.unlock();
      if (wake) roomMade_.notify_all();
      owner_->ProcessMessage(packet.data.bytes.get(), packet.length, packet.preDecoded);
      spare_.Give(std::move(packet.data));
      hold.lock();
    }
    sequencerRunning_.store(false);
  }

  const bool enabled_;
  const int inputLimit_;
  const int reorderLimit_;
  const int workerCount_;
  std::atomic<bool> started_{false};
  Owner* owner_ = nullptr;
  std::atomic<int> running_{0};
  std::atomic<bool> sequencerRunning_{false};
  SliceBuffers spare_;

  std::mutex lock_;
  // Idle workers wait for input, workers holding a prepared packet for
  // room in the reorder queue, the sequencer for the packet it expects.
  std::condition_variable inputArrived_;
  std::condition_variable roomMade_;
  std::condition_variable expectedReady_;
  int idleWorkers_ = 0;
  int blockedWorkers_ = 0;
  bool stop_ = false;
  uint64_t next_ = 0;
  uint64_t expected_ = 0;
  std::deque<SlicedPacket> input_;
  std::deque<SlicedPacket> reorder_;

  std::deque<std::thread> workers_;
  std::thread sequencer_;
};
