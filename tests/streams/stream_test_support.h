// Doubles for the stream slot's tests: a session port with a real Qt
// surface, stream kinds that record what reaches them, and a JPEG picture.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "stream_port.h"
#include "streams/AvsSlotDataProcessor.h"
#include "streams/StreamKindFactory.h"
#include "testhost/StreamEncoder.h"

using Bytes = std::vector<uint8_t>;
namespace hs = testhost::stream;

// What reached the streams, in order, as short texts, plus the samples.
struct StreamLog {
  struct Sample {
    std::string stream;
    Bytes data;
    StreamSampleContext context;
    bool hasInfo = false;
    SampleInfoRecord info;
  };

  void Add(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(line);
    changed.notify_all();
  }
  void AddSample(Sample sample) {
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(sample.stream + ".ProcessSample");
    samples.push_back(std::move(sample));
    changed.notify_all();
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> hold(lock);
    return lines;
  }
  std::vector<Sample> Samples() {
    std::lock_guard<std::mutex> hold(lock);
    return samples;
  }
  bool Contains(const std::string& line) {
    std::vector<std::string> all = Lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  // Waits (generously) for n samples.
  bool WaitSamples(size_t n) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(60), [&] { return samples.size() >= n; });
  }

  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> lines;
  std::vector<Sample> samples;
};

class FakeStream : public CStream {
 public:
  FakeStream(std::string name, StreamLog* log, bool accepts) : name_(std::move(name)), log_(log), accepts_(accepts) {}
  ~FakeStream() override { log_->Add(name_ + ".~"); }

  int SetWaveFormat(const WaveFormatRecord& f) override {
    log_->Add(name_ + ".SetWaveFormat " + std::to_string(f.samplesPerSec));
    return accepts_ ? 0 : -1;
  }
  int SetFormat(const StreamFormatRecord& r) override {
    log_->Add(name_ + ".SetFormat " + std::to_string(r.size));
    return accepts_ ? 0 : -1;
  }
  int ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext& c) override {
    StreamLog::Sample s;
    s.stream = name_;
    s.data.assign(data, data + length);
    s.context = c;
    if (c.sampleInfo) {
      s.hasInfo = true;
      s.info = *c.sampleInfo;
    }
    log_->AddSample(std::move(s));
    return 0;
  }
  int SetState(int state) override {
    log_->Add(name_ + ".SetState " + std::to_string(state));
    return stateResult;
  }
  int NewSegment(const SegmentRecord& s) override {
    log_->Add(name_ + ".NewSegment " + std::to_string(s.start));
    return 0;
  }
  int SetAllocator(const AllocatorPropertiesRecord& p) override {
    log_->Add(name_ + ".SetAllocator " + std::to_string(p.buffers));
    return 0;
  }
  int Close() override {
    log_->Add(name_ + ".Close");
    return 0;
  }
  int FilterEvent(int command) override {
    log_->Add(name_ + ".FilterEvent " + std::to_string(command));
    return 0;
  }
  int DSSetWindowRect(const RECT* r, UINT_PTR window, int, int, uint32_t key) override {
    currentRect_ = r ? *r : RECT{};
    log_->Add(name_ + ".DSSetWindowRect " + std::to_string(currentRect_.right) + " " +
              std::to_string(window) + " " + std::to_string(key));
    return 0;
  }
  int UpdateWindowRectToScroll(int, int) override {
    log_->Add(name_ + ".Scroll");
    return 0;
  }
  int OnUpdateView(const uint8_t*, uint32_t length) override {
    log_->Add(name_ + ".OnUpdateView " + std::to_string(length));
    return 0;
  }
  int stateResult = 0;

 protected:
  std::string name_;
  StreamLog* log_;
  bool accepts_;
};

class FakePlayerStream : public FakeStream, public IPlayerStream {
 public:
  using FakeStream::FakeStream;
  int CreateDecoder(const uint8_t*, uint32_t length) override {
    log_->Add(name_ + ".CreateDecoder");
    (void)length;
    return accepts_ ? 0 : -1;
  }
};

// Makes the kinds it is told to, each accepting or refusing every format.
class FakeKinds : public StreamKindFactory {
 public:
  explicit FakeKinds(StreamLog* log) : log_(log) {}
  std::unique_ptr<CStream> Make(StreamKind kind, const StreamKindArgs&) override {
    if (!makes.count(kind)) return nullptr;
    log_->Add("make " + Name(kind));
    const bool accepting = accepts.count(kind) > 0;
    if (kind == StreamKind::kPlayer)
      return std::unique_ptr<CStream>(new FakePlayerStream(Name(kind), log_, accepting));
    return std::unique_ptr<CStream>(new FakeStream(Name(kind), log_, accepting));
  }
  static std::string Name(StreamKind kind) {
    static const char* const names[] = {"video", "audio", "h264", "dj", "ds", "dxva", "player"};
    return names[int(kind)];
  }
  std::set<StreamKind> makes;
  std::set<StreamKind> accepts;

 private:
  StreamLog* log_;
};

// The smallest format a creation message may carry: a 4-byte block.
inline hs::FormatRecord SmallFormat() {
  hs::FormatRecord format;
  format.majorType = hs::VideoMajorType();
  format.subtype = hs::FourccGuid(0x47504A4D);
  format.block = Bytes(4, 0);
  return format;
}

// A w x h picture of smooth gradients.
inline testhost::RgbImage Picture(int width, int height) {
  testhost::RgbImage image{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      image.rgb.push_back(uint8_t(x * 255 / std::max(1, width - 1)));
      image.rgb.push_back(uint8_t(y * 255 / std::max(1, height - 1)));
      image.rgb.push_back(uint8_t((x + y) * 3));
    }
  return image;
}
