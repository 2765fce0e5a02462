// The virtual-clock backend: nothing plays until the test says how much time
// passed, so buffer completion happens exactly when a test wants it.
#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "wavecommon.h"

namespace pelplat {
namespace wave {

struct VirtualWaveBackend::State {
  std::mutex mutex;
  struct Sink {
    uint32_t frameBytes;
    uint64_t written = 0;
    uint64_t played = 0;
    bool paused = false;
    ProgressFn progress;
  };
  std::vector<Sink*> sinks;
  std::vector<ProgressFn*> captureWatchers;
  std::deque<uint8_t> capture;
  bool failOpens = false;
  bool failWrites = false;
  bool keepBytes = true;
  bool playAsWritten = false;
  uint64_t framesWritten = 0;
  std::string bytesWritten;
};

namespace {

using State = VirtualWaveBackend::State;

class VirtualSink : public IPlaybackSink {
 public:
  VirtualSink(std::shared_ptr<State> state, uint32_t frameBytes, ProgressFn progress) : state_(std::move(state)) {
    sink_.frameBytes = frameBytes;
    sink_.progress = std::move(progress);
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->sinks.push_back(&sink_);
  }
  ~VirtualSink() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& sinks = state_->sinks;
    sinks.erase(std::remove(sinks.begin(), sinks.end(), &sink_), sinks.end());
  }

  long Write(const uint8_t* data, uint32_t frames) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failWrites) return -1;
    sink_.written += frames;
    if (state_->playAsWritten && !sink_.paused) sink_.played = sink_.written;
    state_->framesWritten += frames;
    if (state_->keepBytes)
      state_->bytesWritten.append(reinterpret_cast<const char*>(data), size_t(frames) * sink_.frameBytes);
    return static_cast<long>(frames);
  }
  uint64_t Played() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return sink_.played;
  }
  void Pause(bool paused) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    sink_.paused = paused;
  }
  void Drop() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    sink_.written = 0;
    sink_.played = 0;
  }
  int PollIntervalMs() override { return -1; }

 private:
  std::shared_ptr<State> state_;
  State::Sink sink_;
};

class VirtualSource : public ICaptureSource {
 public:
  VirtualSource(std::shared_ptr<State> state, uint32_t frameBytes, ProgressFn progress)
      : state_(std::move(state)), frameBytes_(frameBytes), progress_(std::move(progress)) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->captureWatchers.push_back(&progress_);
  }
  ~VirtualSource() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& watchers = state_->captureWatchers;
    watchers.erase(std::remove(watchers.begin(), watchers.end(), &progress_), watchers.end());
  }
  bool Start() override { return true; }
  void Stop() override {}
  long Read(uint8_t* data, uint32_t frames) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    const size_t whole = state_->capture.size() / frameBytes_;
    const size_t n = std::min<size_t>(whole, frames) * frameBytes_;
    std::copy(state_->capture.begin(), state_->capture.begin() + static_cast<long>(n), data);
    state_->capture.erase(state_->capture.begin(), state_->capture.begin() + static_cast<long>(n));
    return static_cast<long>(n / frameBytes_);
  }
  int PollIntervalMs() override { return -1; }

 private:
  std::shared_ptr<State> state_;
  uint32_t frameBytes_;
  ProgressFn progress_;
};

}  // namespace

VirtualWaveBackend::VirtualWaveBackend() : state_(std::make_shared<State>()) {}
VirtualWaveBackend::~VirtualWaveBackend() = default;

void VirtualWaveBackend::Advance(uint64_t frames) {
  std::vector<ProgressFn> wake;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (State::Sink* sink : state_->sinks) {
      if (sink->paused) continue;
      sink->played = std::min(sink->written, sink->played + frames);
      wake.push_back(sink->progress);
    }
  }
  // Outside our lock: the device thread takes its own lock, then ours.
  for (auto& fn : wake) fn();
}

void VirtualWaveBackend::FeedCapture(const uint8_t* data, size_t size) {
  std::vector<ProgressFn> wake;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->capture.insert(state_->capture.end(), data, data + size);
    for (ProgressFn* fn : state_->captureWatchers) wake.push_back(*fn);
  }
  for (auto& fn : wake) fn();
}

size_t VirtualWaveBackend::CaptureBacklog() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->capture.size();
}

void VirtualWaveBackend::FailOpens(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failOpens = fail;
}

void VirtualWaveBackend::FailWrites(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->failWrites = fail;
}

void VirtualWaveBackend::PlayAsWritten(bool on) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->playAsWritten = on;
}

void VirtualWaveBackend::KeepBytes(bool keep) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->keepBytes = keep;
}

uint64_t VirtualWaveBackend::FramesWritten() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->framesWritten;
}

std::string VirtualWaveBackend::BytesWritten() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->bytesWritten;
}

int VirtualWaveBackend::OpenSinks() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<int>(state_->sinks.size());
}

std::unique_ptr<IPlaybackSink> VirtualWaveBackend::OpenPlayback(const WAVEFORMATEX& format, ProgressFn progress,
                                                                MMRESULT* error) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failOpens) {
      SetOpenFailure("the virtual device refuses opens");
      *error = MMSYSERR_NODRIVER;
      return nullptr;
    }
  }
  return std::make_unique<VirtualSink>(state_, PcmFrameBytes(format), std::move(progress));
}

std::unique_ptr<ICaptureSource> VirtualWaveBackend::OpenCapture(const WAVEFORMATEX& format, ProgressFn progress,
                                                                MMRESULT* error) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failOpens) {
      SetOpenFailure("the virtual device refuses opens");
      *error = MMSYSERR_NODRIVER;
      return nullptr;
    }
  }
  return std::make_unique<VirtualSource>(state_, PcmFrameBytes(format), std::move(progress));
}

}  // namespace wave
}  // namespace pelplat
