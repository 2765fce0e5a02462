// The reference-counted samples of the Media Foundation pipeline and the
// pool that recycles video samples between the decoder, the colour
// converter and the renderer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>

#include "pelplat/wintypes.h"

class CVrRecycleManager;

// Sample objects constructed and destroyed in the process; the player
// stream logs and resets them when it ends.
extern std::atomic<int> g_vrSamplesCreated;
extern std::atomic<int> g_vrSamplesDestroyed;

class CVrSample {
 public:
  enum { kVideo = 1, kAudio = 2 };

  virtual int AddRef();
  // Back to its manager when only the manager's reference is left;
  // destroyed at 0.
  virtual int Release();
  virtual void SetLength(int length);
  virtual int GetLength();
  virtual int GetCapacity();
  // False when neither data nor length is asked for; a data request counts
  // one outstanding lock until Unlock.
  virtual bool Lock(BYTE** data, int* capacity, int* length);
  virtual void Unlock();
  virtual int GetType() { return type_; }
  virtual void SetTag(int tag) { tag_ = tag; }
  virtual int GetTag() { return tag_; }
  virtual void SetTime(int64_t time);
  virtual int64_t GetTime();
  virtual void SetAuxTime(int64_t time) { auxTime_ = time; }
  virtual int64_t GetAuxTime() { return auxTime_; }

  // Attaches the manager (taking the caller's reference to it); releases
  // a manager attached before.
  void SetManager(CVrRecycleManager* manager);
  void DetachManager();

  CVrSample(const CVrSample&) = delete;
  CVrSample& operator=(const CVrSample&) = delete;

 protected:
  CVrSample(int type, uint32_t size);
  CVrSample(int type, const BYTE* bytes, uint32_t length);
  virtual ~CVrSample();

 private:
  friend class CVrRecycleManager;

  std::mutex lock_;
  int refs_ = 1;
  int locks_ = 0;
  BYTE* data_ = nullptr;
  int capacity_ = 0;
  int length_ = 0;
  const int type_;
  int tag_ = 0;
  int64_t time_ = 0;
  int64_t auxTime_ = 0;
  CVrRecycleManager* manager_ = nullptr;
};

class CVrVideoSample : public CVrSample {
 public:
  CVrVideoSample(uint32_t size, int width, int height, int bitsPerPixel, uint32_t fourCC);
  CVrVideoSample(const BYTE* bytes, uint32_t length, int width, int height, int bitsPerPixel, uint32_t fourCC);

  virtual int GetWidth() { return width_; }
  virtual int GetHeight() { return height_; }
  virtual int GetBitsPerPixel() { return bitsPerPixel_; }
  virtual uint32_t GetFourCC() { return fourCC_; }
  void Describe(int width, int height, int bitsPerPixel, uint32_t fourCC);

 private:
  int width_, height_, bitsPerPixel_;
  uint32_t fourCC_;
};

// The sample kind that would carry a wave format to the renderer's audio
// half; nothing in the pipeline makes one, since no audio format is taken.
class CVrAudioSample : public CVrSample {
 public:
  CVrAudioSample(uint32_t size, const BYTE waveFormat[18]);
  virtual const BYTE* GetWaveFormat() { return waveFormat_; }

 private:
  BYTE waveFormat_[18];
};

class CVrRecycleManager {
 public:
  CVrRecycleManager() = default;
  virtual int AddRef();
  virtual int Release();

  // A video sample of at least `size` bytes describing that frame, length 0;
  // the caller owns one reference, the in-use set another. Null when out of
  // memory.
  CVrVideoSample* GetSample(uint32_t size, int width, int height, int bitsPerPixel, uint32_t fourCC);
  CVrVideoSample* CopySample(const BYTE* bytes, uint32_t length, int width, int height, int bitsPerPixel,
                             uint32_t fourCC);
  bool Recycle(CVrSample* sample);

  int FreeCount();
  int Created() { return created_; }
  int Recycled() { return recycled_; }

  CVrRecycleManager(const CVrRecycleManager&) = delete;
  CVrRecycleManager& operator=(const CVrRecycleManager&) = delete;

 private:
  virtual ~CVrRecycleManager();
  CVrVideoSample* TakeFreeSample(uint32_t size);

  std::atomic<int> refs_{1};
  std::mutex freeLock_;
  std::mutex inUseLock_;
  std::deque<CVrSample*> free_;
  std::set<CVrSample*> inUse_;
  const uint32_t freeLimit_ = 5;
  std::atomic<int> created_{0};
  std::atomic<int> recycled_{0};
};
