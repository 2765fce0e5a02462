#include "streams/VrSample.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "sys/klog.h"

std::atomic<int> g_vrSamplesCreated{0};
std::atomic<int> g_vrSamplesDestroyed{0};

CVrSample::CVrSample(int type, uint32_t size) : type_(type) {
  ++g_vrSamplesCreated;
  if (size) {
    std::lock_guard<std::mutex> hold(lock_);
    data_ = static_cast<BYTE*>(std::malloc(size));
    if (data_) capacity_ = static_cast<int>(size);
  }
}

CVrSample::CVrSample(int type, const BYTE* bytes, uint32_t length) : type_(type) {
  ++g_vrSamplesCreated;
  if (bytes && length) {
    data_ = static_cast<BYTE*>(std::malloc(length));
    if (data_) {
      std::memcpy(data_, bytes, length);
      capacity_ = length_ = static_cast<int>(length);
    }
  }
}

CVrSample::~CVrSample() {
  ++g_vrSamplesDestroyed;
  std::lock_guard<std::mutex> hold(lock_);
  if (locks_ == 0) std::free(data_);
  data_ = nullptr;
  capacity_ = length_ = 0;
}

int CVrSample::AddRef() {
  std::lock_guard<std::mutex> hold(lock_);
  return ++refs_;
}

int CVrSample::Release() {
  CVrRecycleManager* manager = nullptr;
  int left;
  {
    std::lock_guard<std::mutex> hold(lock_);
    left = --refs_;
    if (left == 1 && manager_ && type_ == kVideo) {
      manager = manager_;
      manager->AddRef();
    }
  }
  if (manager) {
    manager->Recycle(this);
    manager->Release();
  }
  if (left == 0) delete this;
  return left;
}

void CVrSample::SetLength(int length) {
  std::lock_guard<std::mutex> hold(lock_);
  length_ = length;
}

int CVrSample::GetLength() {
  std::lock_guard<std::mutex> hold(lock_);
  return length_;
}

int CVrSample::GetCapacity() {
  std::lock_guard<std::mutex> hold(lock_);
  return capacity_;
}

bool CVrSample::Lock(BYTE** data, int* capacity, int* length) {
  if (!data && !length) return false;
  std::lock_guard<std::mutex> hold(lock_);
  if (data) {
    *data = data_;
    ++locks_;
  }
  if (capacity) *capacity = capacity_;
  if (length) *length = length_;
  return true;
}

void CVrSample::Unlock() {
  std::lock_guard<std::mutex> hold(lock_);
  if (locks_ > 0) --locks_;
}

void CVrSample::SetTime(int64_t time) {
  std::lock_guard<std::mutex> hold(lock_);
  time_ = time;
}

int64_t CVrSample::GetTime() {
  std::lock_guard<std::mutex> hold(lock_);
  return time_;
}

void CVrSample::SetManager(CVrRecycleManager* manager) {
  CVrRecycleManager* previous;
  {
    std::lock_guard<std::mutex> hold(lock_);
    previous = manager_;
    manager_ = manager;
  }
  if (previous) previous->Release();
}

void CVrSample::DetachManager() { SetManager(nullptr); }

CVrVideoSample::CVrVideoSample(uint32_t size, int width, int height, int bitsPerPixel, uint32_t fourCC)
    : CVrSample(kVideo, size), width_(width), height_(height), bitsPerPixel_(bitsPerPixel), fourCC_(fourCC) {}

CVrVideoSample::CVrVideoSample(const BYTE* bytes, uint32_t length, int width, int height, int bitsPerPixel,
                               uint32_t fourCC)
    : CVrSample(kVideo, bytes, length),
      width_(width),
      height_(height),
      bitsPerPixel_(bitsPerPixel),
      fourCC_(fourCC) {}

void CVrVideoSample::Describe(int width, int height, int bitsPerPixel, uint32_t fourCC) {
  width_ = width;
  height_ = height;
  bitsPerPixel_ = bitsPerPixel;
  fourCC_ = fourCC;
}

CVrAudioSample::CVrAudioSample(uint32_t size, const BYTE waveFormat[18]) : CVrSample(kAudio, size) {
  std::memcpy(waveFormat_, waveFormat, sizeof waveFormat_);
}

int CVrRecycleManager::AddRef() { return ++refs_; }

int CVrRecycleManager::Release() {
  const int left = --refs_;
  if (left == 0) delete this;
  return left;
}

CVrRecycleManager::~CVrRecycleManager() {
  LogMessageA("CVrRecycleManager::~CVrRecycleManager: created [%d] objects, recycled[%d]\n", created_.load(),
              recycled_.load());
  std::set<CVrSample*> inUse;
  std::deque<CVrSample*> idle;
  {
    std::lock_guard<std::mutex> hold(inUseLock_);
    inUse.swap(inUse_);
  }
  {
    std::lock_guard<std::mutex> hold(freeLock_);
    idle.swap(free_);
  }
  for (CVrSample* sample : inUse) sample->Release();
  for (CVrSample* sample : idle) sample->Release();
}

CVrVideoSample* CVrRecycleManager::TakeFreeSample(uint32_t size) {
  CVrSample* oldest = nullptr;
  {
    std::lock_guard<std::mutex> hold(freeLock_);
    if (free_.empty()) return nullptr;
    oldest = free_.front();
    free_.pop_front();
  }
  // Only the oldest is looked at: too small, it goes.
  if (oldest->GetCapacity() < static_cast<int64_t>(size)) {
    oldest->Release();
    return nullptr;
  }
  ++recycled_;
  return static_cast<CVrVideoSample*>(oldest);
}

CVrVideoSample* CVrRecycleManager::GetSample(uint32_t size, int width, int height, int bitsPerPixel,
                                             uint32_t fourCC) {
  CVrVideoSample* sample = TakeFreeSample(size);
  if (sample) {
    sample->Describe(width, height, bitsPerPixel, fourCC);
  } else {
    sample = new (std::nothrow) CVrVideoSample(size, width, height, bitsPerPixel, fourCC);
    if (!sample) return nullptr;
    if (size && sample->GetCapacity() == 0) {
      sample->Release();
      return nullptr;
    }
    ++created_;
  }
  sample->SetLength(0);
  AddRef();
  sample->SetManager(this);
  sample->AddRef();
  std::lock_guard<std::mutex> hold(inUseLock_);
  inUse_.insert(sample);
  return sample;
}

CVrVideoSample* CVrRecycleManager::CopySample(const BYTE* bytes, uint32_t length, int width, int height,
                                              int bitsPerPixel, uint32_t fourCC) {
  CVrVideoSample* sample = GetSample(length, width, height, bitsPerPixel, fourCC);
  if (!sample || !bytes) return sample;
  BYTE* data = nullptr;
  if (sample->Lock(&data, nullptr, nullptr)) {
    if (data && length) std::memcpy(data, bytes, length);
    sample->Unlock();
  }
  sample->SetLength(static_cast<int>(length));
  return sample;
}

bool CVrRecycleManager::Recycle(CVrSample* sample) {
  bool found = false;
  {
    std::lock_guard<std::mutex> hold(inUseLock_);
    found = inUse_.erase(sample) > 0;
  }
  if (!found) return true;  // not handed out by this manager: nothing to take back
  sample->DetachManager();
  CVrSample* dropped = nullptr;
  {
    std::lock_guard<std::mutex> hold(freeLock_);
    free_.push_back(sample);
    if (freeLimit_ != 0 && free_.size() > freeLimit_) {
      dropped = free_.front();
      free_.pop_front();
    }
  }
  if (dropped) dropped->Release();
  return true;
}

int CVrRecycleManager::FreeCount() {
  std::lock_guard<std::mutex> hold(freeLock_);
  return static_cast<int>(free_.size());
}
