// The end of the Media Foundation pipeline: a short queue of RGB32 frames
// drawn by a video thread into the display surface, keyed onto the remote
// desktop's colour-key pixels inside the target rectangle, one frame per
// pass (20 ms) with a hold-back of 15 frames; the last frame drawn is kept
// for repaints.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "pelplat/wintypes.h"

class CVrSample;
class CVrVideoSample;
class ISlotSessionPort;

class CVrSampleRenderer {
 public:
  static constexpr int kVideoQueueLimit = 20;
  static constexpr int kHoldBack = 15;
  static constexpr int kPaceMs = 20;
  static constexpr uint32_t kRefreshEvent = 0x4A000;

  CVrSampleRenderer(std::shared_ptr<ISlotSessionPort> port, int displayIndex);

  // What the video thread waits on between passes (20 ms by default);
  // false ends the thread. Set before the video format.
  void SetPace(std::function<bool()> wait);

  int SetVideoFormat(int width, int height, int bitsPerPixel);
  int AddSample(CVrSample* sample);
  void SetColourKey(uint32_t key);
  void SetTargetRect(const RECT& rect);
  int Repaint();
  int Flush();
  int Stop();
  int AddRef();
  int Release();

  int QueuedVideo();
  bool HasLastFrame();

  CVrSampleRenderer(const CVrSampleRenderer&) = delete;
  CVrSampleRenderer& operator=(const CVrSampleRenderer&) = delete;

 private:
  ~CVrSampleRenderer();
  void VideoDataThread();
  void RenderVideo(CVrVideoSample* sample, uint32_t key, const RECT& rect);
  void EraseVideoDataQueue();
  void ClearSurface();

  std::shared_ptr<ISlotSessionPort> port_;
  std::mutex refLock_;
  std::mutex videoLock_;
  std::thread videoThread_;
  int refs_ = 1;
  const int displayIndex_;
  bool videoFormatSet_ = false;
  bool videoRunning_ = false;
  uint32_t colourKey_ = 0;
  RECT rect_{};
  std::deque<CVrSample*> video_;
  CVrVideoSample* lastFrame_ = nullptr;
  std::function<bool()> pace_;
};
