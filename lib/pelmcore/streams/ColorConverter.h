// Turns the decoder's NV12 frames into RGB32 frames for the renderer on a
// thread of its own: through the platform's colour converter transform
// when it can be made, else in software with an integer formula.
#pragma once

#include <deque>
#include <mutex>
#include <thread>

#include "pelplat/mfidl.h"
#include "streams/CountedSlot.h"

class CVrRecycleManager;
class CVrSample;
class CVrVideoSample;

class IConverterListener {
 public:
  virtual int AddRef() = 0;
  virtual int Release() = 0;
  virtual void OnConvertedSample(CVrSample* sample) = 0;

 protected:
  virtual ~IConverterListener() = default;
};

class CColorConverter {
 public:
  enum class Processor { kEmpty, kNativeDSP, kSoftware };

  CColorConverter();
  virtual int SetListener(IConverterListener* listener);

  HRESULT Initialize(REFGUID inputSubtype, REFGUID outputSubtype, int width, int height);
  int AddSample(CVrVideoSample* sample);
  HRESULT OnStart();
  int OnStop();
  int StopThread();
  void EraseInputDataQueue();
  int AddRef();
  int Release();

  Processor CurrentProcessor();
  int QueuedInput();

  // The software picture: width x height pixels 0xFFRRGGBB, rows top-down,
  // from NV12 of `length` bytes. False (nothing written) for an odd width
  // or fewer bytes than the picture needs.
  static bool ConvertNv12ToRgb32(const BYTE* nv12, uint64_t length, int width, int height, uint32_t* out);

  CColorConverter(const CColorConverter&) = delete;
  CColorConverter& operator=(const CColorConverter&) = delete;

 private:
  virtual ~CColorConverter();
  void InputDataProcessorThread();
  void RunProcessor(Processor processor, CVrVideoSample* sample);
  void InputDataProcessorNativeDSP(CVrVideoSample* sample);
  void InputDataProcessorSoftware(CVrVideoSample* sample);
  HRESULT ProcessOutputNativeDSP(IMFTransform* transform);
  HRESULT ProcessInputNativeDSP(IMFTransform* transform, CVrVideoSample* sample);
  IMFTransform* CreateTransform(REFGUID inputSubtype, REFGUID outputSubtype);
  void Deliver(CVrSample* sample);
  void ReleaseTransform();
  void StartThread();

  Processor processor_ = Processor::kEmpty;
  int refs_ = 1;
  std::mutex stateLock_;
  IMFTransform* transform_ = nullptr;
  IMFSample* outputSample_ = nullptr;
  CountedSlot<IConverterListener> listener_;
  DWORD inputStreamId_ = 0;
  DWORD outputStreamId_ = 0;
  int width_ = 0;
  int height_ = 0;
  int inputBits_ = 0;
  int outputBits_ = 0;
  uint32_t outputFourCC_ = 0;
  std::deque<CVrVideoSample*> queue_;
  std::mutex queueLock_;
  std::thread thread_;
  bool running_ = false;
  CountedSlot<CVrRecycleManager> recycle_;
};
