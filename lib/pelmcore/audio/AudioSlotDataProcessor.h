// The processor of the audio slot: checks and queues the server's audio
// messages on the connection thread; its own dispatch thread plays them
// through the wave output, switches the microphone and sends the playback
// reports. Everything it needs of the session goes through its port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/MicDevice.h"
#include "transport/ProcessThread.h"
#include "session/SlotDataProcessor.h"
#include "sys/_synchro.h"

struct AudioClockRecord;
class CVorbisDecoder;
class CWaveOut;
class CAudioSlotDataProcessor;

class CAudioSlotDispatchThread : public dezo::ProcessThread {
 public:
  static constexpr uint8_t kGroup = 33;
  explicit CAudioSlotDispatchThread(CAudioSlotDataProcessor* processor);
  uint8_t ProcessPacket(PacketBuffer* buffer) override;
  void Run() override;

 private:
  CAudioSlotDataProcessor* processor_;
};

class CAudioSlotDataProcessor : public CSlotDataProcessor {
 public:
  // Accumulated PCM goes to the device in buffers of 100 ms.
  static constexpr uint32_t kVorbisOutputBytes = 800000;
  static constexpr uint32_t kInitialCapacity = 4096;
  // Larger 100 ms buffers than any real format needs are refused.
  static constexpr uint64_t kMaxCapacity = 4u << 20;

  CAudioSlotDataProcessor();
  ~CAudioSlotDataProcessor() override;

  int GetThreadMode() override;
  int OnData(const uint8_t* data, uint32_t length) override;
  uint8_t OnPacket(PacketBuffer* buffer) override;
  int OnClientData(const void* record, uint32_t length) override;
  // Takes the profile's dispatch priority when it is a known one.
  void AttachPort(uint16_t slot, std::unique_ptr<ISlotSessionPort> port) override;

  void StartDispatch();
  void StopDispatch();
  // The dispatch thread's body.
  void DispatchLoop();

  bool Enabled() const { return enabled_ != 0; }
  CWaveOut* WaveOut() { return waveOut_.get(); }
  CMicDevice& Microphone() { return microphone_; }
  uint32_t PacketCount() const { return packetCount_.load(); }
  // Messages the dispatch thread has finished; what it changed before is
  // visible to a thread that saw the count.
  uint32_t Processed() const { return processed_.load(std::memory_order_acquire); }
  // Waits until Processed() reaches `count`, at most `ms`; true when it did.
  bool WaitProcessed(uint32_t count, DWORD ms);
  int DispatchPriority() const { return dispatchPriority_.load(); }
  // Run on the dispatch thread only (tests read them once it is idle).
  int32_t Capacity() const { return capacity_; }
  int32_t Fill() const { return fill_; }
  uint32_t FrameSize() const { return frameSize_; }
  bool VorbisMode() const { return vorbisMode_ != 0; }
  uint64_t WritePosition() const { return writePosition_; }

 private:
  // One message from the queue, tag and kind already checked.
  void Execute(const uint8_t* payload, uint32_t size);
  void ApplyFormat(const uint8_t* d, uint32_t n);
  void ApplyPcmFormat(const uint8_t* d, uint32_t n);
  void ApplyVorbisFormat(const uint8_t* d, uint32_t n);
  bool SetCapacity(uint64_t bytes);
  void FlushBuffer();
  void FlushAndClose();
  void PlayData(const uint8_t* d, uint32_t n);
  void PlayPositionedData(const uint8_t* d, uint32_t n, bool timestamped);
  void DecodeAndWrite(const uint8_t* d, uint32_t n);
  void WriteToDevice(const uint8_t* d, uint32_t n, uint64_t timestamp);
  void ApplyBufferPlan(const uint8_t* d, uint32_t n);
  void SendReport();
  void SendAnnouncementWhenDue();
  void Count(uint32_t length);
  static uint64_t NowMs();
  // The session's audio clock; null while detached.
  AudioClockRecord* Clock();
  void LogOnce(uint32_t bit, const char* text);

  // The port is there and not cut; the dispatch thread reads it.
  std::atomic<bool> attached_{false};
  std::unique_ptr<CVorbisDecoder> vorbis_;
  int32_t capacity_ = 0;
  std::unique_ptr<uint8_t[]> accumulation_;
  int32_t fill_ = 0;
  uint32_t enabled_ = 0;
  std::unique_ptr<CWaveOut> waveOut_;
  std::shared_ptr<CAudioSlotDispatchThread> dispatch_;
  CxQueue queue_;
  std::atomic<uint32_t> running_{0};
  uint32_t state_ = 0;
  CMicDevice microphone_;
  std::atomic<uint32_t> announceSent_{0};
  std::atomic<int> dispatchPriority_{15};
  uint32_t frameSize_ = 4;
  uint32_t reportKind_ = 1;
  uint64_t writePosition_ = 0;
  uint64_t lastReportTime_ = 0;
  uint8_t vorbisMode_ = 0;
  uint64_t timestamp_ = 0;

  std::atomic<uint32_t> processed_{0};
  std::mutex processedMutex_;
  std::condition_variable processedChanged_;
  std::atomic<uint32_t> packetCount_{0};
  std::atomic<uint64_t> byteTotal_{0};
  std::unique_ptr<uint8_t[]> decoded_;
  uint32_t loggedOnce_ = 0;
};
