#include "streams/SampleRenderer.h"
#include "session/SurfaceLock.h"

#include <chrono>

#include "display/SurfaceKeeper.h"
#include "session/SlotSessionPort.h"
#include "streams/VrSample.h"
#include "sys/klog.h"

CVrSampleRenderer::CVrSampleRenderer(std::shared_ptr<ISlotSessionPort> port, int displayIndex)
    : port_(std::move(port)), displayIndex_(displayIndex) {
  pace_ = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPaceMs));
    return true;
  };
  LogMessageA("CVrSampleRenderer::CVrSampleRenderer(...)\n");
}

CVrSampleRenderer::~CVrSampleRenderer() {
  LogMessageA("~CVrSampleRenderer::CVrSampleRenderer()\n");
  {
    std::lock_guard<std::mutex> hold(videoLock_);
    videoRunning_ = false;
  }
  if (videoThread_.joinable()) videoThread_.join();
  EraseVideoDataQueue();
  ClearSurface();
}

void CVrSampleRenderer::SetPace(std::function<bool()> wait) {
  std::lock_guard<std::mutex> hold(videoLock_);
  pace_ = std::move(wait);
}

int CVrSampleRenderer::SetVideoFormat(int width, int height, int bitsPerPixel) {
  if (width <= 0 || height <= 0 || (bitsPerPixel != 32 && bitsPerPixel != 24)) return E_INVALIDARG;
  {
    SurfaceLock lock(port_.get(), displayIndex_);
    if (ISurfaceKeeper* surface = lock.Surface()) surface->SyncBuffers();
  }
  std::lock_guard<std::mutex> hold(videoLock_);
  videoFormatSet_ = true;
  if (!videoThread_.joinable()) {
    // Running from the start, so a Stop that comes before the thread's
    // first pass is not undone by it.
    videoRunning_ = true;
    videoThread_ = std::thread(&CVrSampleRenderer::VideoDataThread, this);
  }
  return 0;
}

int CVrSampleRenderer::AddSample(CVrSample* sample) {
  if (!sample) return E_INVALIDARG;
  if (sample->GetType() == CVrSample::kAudio) return 0x1005;
  if (sample->GetType() != CVrSample::kVideo) return E_INVALIDARG;
  CVrSample* dropped = nullptr;
  {
    std::lock_guard<std::mutex> hold(videoLock_);
    if (!videoFormatSet_) return 0x1005;
    sample->AddRef();
    video_.push_back(sample);
    if (kVideoQueueLimit != 0 && video_.size() > static_cast<size_t>(kVideoQueueLimit)) {
      dropped = video_.front();
      video_.pop_front();
    }
  }
  if (dropped) dropped->Release();
  return 0;
}

void CVrSampleRenderer::SetColourKey(uint32_t key) {
  std::lock_guard<std::mutex> hold(videoLock_);
  colourKey_ = key;
}

void CVrSampleRenderer::SetTargetRect(const RECT& rect) {
  std::lock_guard<std::mutex> hold(videoLock_);
  rect_ = rect;
}

int CVrSampleRenderer::Repaint() {
  CVrVideoSample* frame;
  uint32_t key;
  RECT rect;
  {
    std::lock_guard<std::mutex> hold(videoLock_);
    key = colourKey_;
    rect = rect_;
    frame = lastFrame_;
    if (frame) frame->AddRef();
  }
  if (!frame) return 0;
  RenderVideo(frame, key, rect);
  frame->Release();
  return 0;
}

int CVrSampleRenderer::Flush() {
  EraseVideoDataQueue();
  return 0;
}

int CVrSampleRenderer::Stop() {
  std::lock_guard<std::mutex> hold(videoLock_);
  videoRunning_ = false;
  return 0;
}

int CVrSampleRenderer::AddRef() {
  std::lock_guard<std::mutex> hold(refLock_);
  return ++refs_;
}

int CVrSampleRenderer::Release() {
  int left;
  {
    std::lock_guard<std::mutex> hold(refLock_);
    left = --refs_;
  }
  if (left == 0) delete this;
  return left;
}

int CVrSampleRenderer::QueuedVideo() {
  std::lock_guard<std::mutex> hold(videoLock_);
  return static_cast<int>(video_.size());
}

bool CVrSampleRenderer::HasLastFrame() {
  std::lock_guard<std::mutex> hold(videoLock_);
  return lastFrame_ != nullptr;
}

void CVrSampleRenderer::VideoDataThread() {
  for (;;) {
    std::function<bool()> pace;
    {
      std::lock_guard<std::mutex> hold(videoLock_);
      pace = pace_;
    }
    const bool go = pace();
    CVrSample* taken = nullptr;
    uint32_t key;
    RECT rect;
    bool running;
    {
      std::lock_guard<std::mutex> hold(videoLock_);
      running = videoRunning_ && go;
      key = colourKey_;
      rect = rect_;
      if (video_.size() > static_cast<size_t>(kHoldBack)) {
        taken = video_.front();
        video_.pop_front();
      }
    }
    if (!running) {
      if (taken) taken->Release();
      return;
    }
    if (!taken) continue;
    CVrVideoSample* frame = static_cast<CVrVideoSample*>(taken);
    RenderVideo(frame, key, rect);
    CVrVideoSample* previous;
    {
      std::lock_guard<std::mutex> hold(videoLock_);
      previous = lastFrame_;
      lastFrame_ = frame;
    }
    if (previous) previous->Release();
  }
}

void CVrSampleRenderer::RenderVideo(CVrVideoSample* sample, uint32_t key, const RECT& rect) {
  if (!sample || !port_) return;
  const int width = sample->GetWidth();
  const int height = sample->GetHeight();
  if (sample->GetBitsPerPixel() != 32 || width <= 0 || height <= 0) return;
  const int64_t rectWidth = static_cast<int64_t>(rect.right) - rect.left;
  const int64_t rectHeight = static_cast<int64_t>(rect.bottom) - rect.top;
  if ((rect.left < 0 && rect.top < 0 && rect.right < 0 && rect.bottom < 0) || rectWidth == 0 || rectHeight == 0)
    return;
  SurfaceLock lock(port_.get(), displayIndex_);
  ISurfaceKeeper* surface = lock.Surface();
  if (!surface) return;
  surface->SetVideoRect(rect);
  BYTE* data = nullptr;
  int length = 0;
  if (sample->Lock(&data, nullptr, &length)) {
    // A frame shorter than its geometry says is not drawn.
    if (data && static_cast<int64_t>(length) >= static_cast<int64_t>(width) * height * 4) {
      if (width == rectWidth && height == rectHeight)
        surface->BitBltKeyed(rect.left, rect.top, width, height, 4, data, static_cast<int>(key));
      else
        surface->StretchBltKeyed(-width, height, rect, 4, data, static_cast<int>(key));
    }
    sample->Unlock();
  }
  surface->AddDamage(rect.left, rect.top, static_cast<int>(rectWidth), static_cast<int>(rectHeight));
}

void CVrSampleRenderer::EraseVideoDataQueue() {
  std::deque<CVrSample*> queued;
  CVrVideoSample* last;
  {
    std::lock_guard<std::mutex> hold(videoLock_);
    queued.swap(video_);
    last = lastFrame_;
    lastFrame_ = nullptr;
  }
  for (CVrSample* sample : queued) sample->Release();
  if (last) last->Release();
}

void CVrSampleRenderer::ClearSurface() {
  {
    SurfaceLock lock(port_.get(), displayIndex_);
    ISurfaceKeeper* surface = lock.Surface();
    if (!surface) return;
    surface->SetSingleBuffer();
    surface->SetVideoRect(RECT{0, 0, 0, 0});
  }
  // The desktop under the video area is stale: ask the server to send it.
  const uint32_t one = 1;
  port_->SendClientEvent(kRefreshEvent, &one, sizeof one);
}
