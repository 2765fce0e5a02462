// PCM player over wave output on the wave mapper. One message thread per
// instance takes the device's done notifications, recycles the buffers,
// keeps the counters and writes the clock record. The owner serialises its
// own calls; the message thread runs beside it.
#pragma once

#include <atomic>
#include <cstdint>

#include "audio/WaveBufferPool.h"
#include "pelplat/mmsystem.h"
#include "sys/_synchro.h"

struct AudioClockRecord;

class CWaveOut {
 public:
  enum WriteResult {
    kNothing = 0,
    kNoDevice = 1,
    kNotPlaying = 2,
    kClosing = 3,
    kNoBuffer = 4,
    kQueued = 5,
    kRefused = 6,
  };
  // The message that ends the message thread.
  static constexpr UINT kQuitMessage = 0xFAAF;

  CWaveOut();
  virtual ~CWaveOut();

  // Null keeps the format; a format whose frame size would be 0 (no
  // channels, under 8 bits) or whose rate is 0 is refused too. The clock
  // record pointer is replaced in every case. False when a format was
  // given and refused.
  bool SetFormat(const WAVEFORMATEX* format, AudioClockRecord* clock);
  // Three u32: duration class, buffer size (clamped to 1 KiB..1 MiB), unused.
  virtual void SetBufferPlan(const uint32_t plan[3]);
  int Open();
  uint32_t SetState(uint32_t state);
  int Write(const uint8_t* data, uint32_t count, uint64_t timestamp);
  void Close();
  void Shutdown();
  uint32_t GetBytesInFlight() const { return bytesInFlight_.load(); }
  uint32_t GetUnplayedFrames();

  bool ThreadStarted() const { return threadStarted_ != 0; }
  bool IsOpen() const { return device_ != nullptr; }
  int32_t Outstanding() const { return outstanding_.load(); }
  uint32_t FramesWritten() const { return framesWritten_.load(); }
  uint32_t FrameSize() const { return frameSize_; }
  uint32_t State() const { return state_; }
  const WAVEFORMATEX& Format() const { return format_; }
  WaveBufferPool& Pool() { return pool_; }
  // How many times a close has waited for outstanding blocks so far.
  uint32_t CloseWaits() const { return closeWaits_.load(); }

  // How long a close lets outstanding blocks play before it drops them, and
  // how long it then waits for the dropped ones to come back.
  static constexpr DWORD kPlayOutWaitMs = 600;
  static constexpr DWORD kResetWaitMs = 2000;
  static constexpr uint32_t kMinPlanBytes = 1024;
  static constexpr uint32_t kMaxPlanBytes = 1024 * 1024;

  CWaveOut(const CWaveOut&) = delete;
  CWaveOut& operator=(const CWaveOut&) = delete;

 private:
  static DWORD MessageThreadEntry(void* self);
  void MessageThread();
  void OnDone(HWAVEOUT device, WAVEHDR* header);
  // Waits for the drained event, up to `ms`, when buffers are outstanding.
  bool WaitDrained(DWORD ms);

  WaveBufferPool pool_;
  std::atomic<DWORD> threadId_{0};
  uint32_t threadStarted_ = 0;
  HANDLE thread_ = nullptr;
  UINT deviceId_ = WAVE_MAPPER;
  std::atomic<int32_t> outstanding_{0};
  uint32_t frameSize_ = 4;
  WAVEFORMATEX format_{};
  HWAVEOUT device_ = nullptr;
  CxEvent drained_;
  CxEvent started_;
  std::atomic<uint32_t> closing_{0};
  uint32_t state_ = 0;
  std::atomic<uint32_t> bytesInFlight_{0};
  std::atomic<uint32_t> framesWritten_{0};
  std::atomic<AudioClockRecord*> clock_{nullptr};
  bool formatRefusalLogged_ = false;
  std::atomic<uint32_t> closeWaits_{0};
};
