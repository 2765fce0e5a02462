// The microphone: wave input on the wave mapper at 22,050 Hz, mono, 16 bits,
// sent upstream as audio data messages through the audio slot, straight from
// the capture callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "pelplat/mmsystem.h"
#include "sys/_synchro.h"

class CSlotDataProcessor;

// The abstract device: the flags, the sink and the lock every capture
// device shares.
class CMmDevice {
 public:
  CMmDevice();
  virtual ~CMmDevice();
  virtual int Open() = 0;
  virtual int Start(CSlotDataProcessor* sink) = 0;
  virtual void Stop() = 0;
  virtual void Close() = 0;
  virtual void EnableSending(uint32_t flag);
  virtual void OnBufferDone(HWAVEIN device, WAVEHDR* header) = 0;
  virtual void SetState(CSlotDataProcessor* sink, uint32_t state) = 0;
  virtual int SetFormat(const WAVEFORMATEX* format) = 0;
  virtual int QueryCaps() = 0;
  // The announcement record, new[]-allocated for the caller; its length.
  virtual uint32_t BuildAnnounce(uint8_t** out) = 0;

  bool Capturing() const { return capturing_ != 0; }
  bool IsOpen() const { return open_ != 0; }
  bool SendingEnabled() const { return sendingEnabled_ != 0; }
  // True while a stop waits for the queued buffers to come back.
  bool Stopping();

  CMmDevice(const CMmDevice&) = delete;
  CMmDevice& operator=(const CMmDevice&) = delete;

 protected:
  CSlotDataProcessor* sink_ = nullptr;
  uint32_t capturing_ = 0;
  uint32_t stopping_ = 0;
  uint32_t open_ = 0;
  uint32_t sendingEnabled_ = 0;
  uint32_t supportedFormats_ = 0;
  uint32_t announcedValue_ = 0;
  uint32_t bufferSize_ = 8192;
  uint32_t stopWaitUnit_ = 4000;
  std::unique_ptr<WCHAR[]> deviceName_;
  CxEvent drained_;
  CxLock lock_;
};

class CAudDevice : public CMmDevice {};

class CMicDevice : public CAudDevice {
 public:
  static constexpr uint32_t kAnnouncedValue = 12;
  static constexpr int kQueuedBuffers = 4;
  static constexpr uint32_t kAnnounceBytes = 48;

  CMicDevice();
  ~CMicDevice() override;
  int Open() override;
  int Start(CSlotDataProcessor* sink) override;
  void Stop() override;
  void Close() override;
  void OnBufferDone(HWAVEIN device, WAVEHDR* header) override;
  void SetState(CSlotDataProcessor* sink, uint32_t state) override;
  int SetFormat(const WAVEFORMATEX* format) override;
  int QueryCaps() override;
  uint32_t BuildAnnounce(uint8_t** out) override;

  // Buffers the device has given back so far, sent or not.
  uint32_t BuffersReturned() const { return returned_.load(); }

 private:
  static void CALLBACK_Capture(HANDLE device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);
  // Prepares and adds one fresh buffer; the lock is held or not needed.
  bool QueueBuffer(HWAVEIN device);
  // The wave mapper's input device as the platform names it.
  static std::string InputDeviceName();

  WAVEFORMATEX format_{};
  HWAVEIN device_ = nullptr;
  int32_t queued_ = 0;
  std::atomic<uint32_t> returned_{0};
  bool openFailureLogged_ = false;  // Open runs on the owner's thread only
};
