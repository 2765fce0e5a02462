// Wraps one Media Foundation decoder transform for a player stream: maps
// the stream's four-character code to a subtype, finds and creates the
// first decoder for it, negotiates NV12 or RGB32 output, turns H.264 codec
// data given as an AVC configuration record into Annex B, and hands every
// decoded frame, copied into a recycled sample, to its listener.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "pelplat/mfidl.h"
#include "streams/CountedSlot.h"

class CVrRecycleManager;
class CVrSample;

class IDecoderDataListener {
 public:
  virtual int AddRef() = 0;
  virtual int Release() = 0;
  virtual void SetVideoOutputFormat(REFGUID subtype, int width, int height) = 0;
  virtual void SetAudioOutputFormat(const BYTE* waveFormat, uint32_t length) = 0;
  virtual void OnDecodedSample(CVrSample* sample) = 0;

 protected:
  virtual ~IDecoderDataListener() = default;
};

struct VideoCodecRow {
  uint32_t fourCC;  // the record's four bytes read as one little-endian value
  GUID subtype;
  uint32_t capability;
};
// Up to the end row (capability 0).
extern const VideoCodecRow VideoCodecTable[];

class CVlcDecoder {
 public:
  // Format changes the transform may report in one output call before the
  // call gives up.
  static constexpr int kMaxRenegotiations = 4;

  CVlcDecoder();

  virtual int SetListener(IDecoderDataListener* listener);
  virtual HRESULT SetFormat(const uint8_t* record, uint32_t length);
  virtual HRESULT ProcessInput(const uint8_t* record, uint32_t length);
  virtual HRESULT Start();
  virtual HRESULT Stop();
  virtual int Shutdown();
  virtual HRESULT Flush() { return E_NOTIMPL; }

  int AddRef() { return ++refs_; }
  int Release();

  uint32_t EnumerateVideoCodecs();
  uint32_t EnumerateAudioCodecs();

  // What a test looks at.
  bool HasTransform();
  bool ParameterSetsPending() const { return parameterSetsPending_; }
  bool LengthPrefixed() const { return lengthPrefixed_; }
  uint32_t NalLengthSize() const { return nalLengthSize_; }
  uint32_t OutputFourCC() const { return outputFourCC_; }
  // The bytes and sample time of the last input handed to the transform.
  std::vector<uint8_t> LastInput();
  int64_t LastInputTime() const { return lastInputTime_; }
  // The codec data given to the transform's input type.
  const std::vector<uint8_t>& CodecData() const { return codecData_; }

  CVlcDecoder(const CVlcDecoder&) = delete;
  CVlcDecoder& operator=(const CVlcDecoder&) = delete;

 protected:
  virtual ~CVlcDecoder();

 private:
  HRESULT SetVideoFormat(const uint8_t* record, uint32_t length);
  HRESULT SetVideoInputType(REFGUID subtype, IMFTransform* transform, const std::vector<uint8_t>& codecData);
  HRESULT SetVideoOutputType(IMFTransform* transform);
  HRESULT CreateInputSample(IMFTransform* transform, uint32_t size, IMFSample** sample);
  HRESULT ProcessOutput(IMFTransform* transform);
  void DeliverOutput(IMFSample* output);
  IMFTransform* TakeTransform();
  void ClearParameterSets();

  CountedSlot<IDecoderDataListener> listener_;
  IMFTransform* transform_ = nullptr;
  IMFSample* outputSample_ = nullptr;
  std::atomic<int> refs_{1};
  uint32_t mediaType_ = 0;
  std::mutex transformLock_;
  bool lengthPrefixed_ = false;
  bool parameterSetsPending_ = false;
  std::vector<uint8_t> sps_, pps_, spsExtension_;
  uint32_t nalLengthSize_ = 0;
  const uint32_t startCodeLength_ = 4;
  DWORD inputStreamId_ = 0;
  DWORD outputStreamId_ = 0;
  uint32_t outputFourCC_ = 0;
  int width_ = 0;
  int height_ = 0;
  int outputBits_ = 0;
  CountedSlot<CVrRecycleManager> recycle_;
  std::vector<uint8_t> codecData_;
  std::mutex lastInputLock_;
  std::vector<uint8_t> lastInput_;
  std::atomic<int64_t> lastInputTime_{0};
};
