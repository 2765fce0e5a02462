// The stream slot's worker pool: workers prepare packets (decode JPEG
// frames ahead) in parallel, one sequencer hands them to the owner in the
// order they were accepted. The owner offers
//   bool PrepareMessage(std::unique_ptr<uint8_t[]>& message, uint32_t& length, bool& preDecoded)
//   int ProcessMessage(const uint8_t* message, uint32_t length, bool preDecoded)
// PrepareMessage runs on any worker, ProcessMessage only on the sequencer
// (or on the caller of Put while the pool is disabled).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

template <class Owner>
class DataSlicer {
 public:
  // Packets up to this size are never refused.
  static constexpr uint32_t kSmallPacket = 4096;

  DataSlicer(bool enabled, int inputLimit, int reorderLimit, int workerCount)
      : enabled_(enabled), inputLimit_(inputLimit), reorderLimit_(reorderLimit),
        workerCount_(workerCount) {}
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
    std::lock_guard<std::mutex> hold(lock_);
    if (length > kSmallPacket &&
        (int(input_.size()) >= inputLimit_ || int(reorder_.size()) >= reorderLimit_ / 2))
      return false;
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[length ? length : 1]);
    if (!copy) return false;
    if (length) std::memcpy(copy.get(), data, length);
    input_.push_back(SlicedPacket{next_++, std::move(copy), length, false});
    changed_.notify_all();
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    changed_.notify_all();
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

  DataSlicer(const DataSlicer&) = delete;
  DataSlicer& operator=(const DataSlicer&) = delete;

 private:
  struct SlicedPacket {
    uint64_t sequence;
    std::unique_ptr<uint8_t[]> data;
    uint32_t length;
    bool preDecoded;  // rewritten by PrepareMessage, not as sent
  };

  // Waits are bounded so that a missed wake-up costs one idle period at most.
  static constexpr std::chrono::milliseconds kIdle{10};

  void WorkerMain() {
    running_.fetch_add(1);
    SlicedPacket held{0, nullptr, 0, false};
    bool holding = false;
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
      if (!holding) {
        if (input_.empty()) {
          changed_.wait_for(hold, kIdle);
          continue;
        }
        held = std::move(input_.front());
        input_.pop_front();
        holding = true;
        hold.unlock();
        owner_->PrepareMessage(held.data, held.length, held.preDecoded);
        hold.lock();
        continue;
      }
      // The packet the sequencer waits for always gets in: otherwise a
      // queue full of later packets would wait for it forever.
      if (int(reorder_.size()) < reorderLimit_ || held.sequence == expected_) {
        reorder_.push_back(std::move(held));
        holding = false;
        changed_.notify_all();
        continue;
      }
      changed_.wait_for(hold, kIdle);
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
        changed_.wait_for(hold, kIdle);
        continue;
      }
      SlicedPacket packet = std::move(*found);
      reorder_.erase(found);
      ++expected_;
      changed_.notify_all();
      hold.unlock();
      owner_->ProcessMessage(packet.data.get(), packet.length, packet.preDecoded);
      packet.data.reset();
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

  std::mutex lock_;
  std::condition_variable changed_;
  bool stop_ = false;
  uint64_t next_ = 0;
  uint64_t expected_ = 0;
  std::deque<SlicedPacket> input_;
  std::deque<SlicedPacket> reorder_;

  std::deque<std::thread> workers_;
  std::thread sequencer_;
};
