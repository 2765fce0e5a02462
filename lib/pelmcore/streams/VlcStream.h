// The player stream of the stream slot: compressed video through a Media
// Foundation decoder (and the colour converter when the decoder gives
// NV12) to the sample renderer, which draws it keyed into the display.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "streams/ColorConverter.h"
#include "streams/Stream.h"
#include "streams/StreamKindFactory.h"
#include "streams/VlcDecoder.h"

class CVrSampleRenderer;
class ISlotSessionPort;

class CVlcStream : public CStream, public IPlayerStream, public IDecoderDataListener, public IConverterListener {
 public:
  static constexpr int kRefused = 0x1005;

  CVlcStream(std::shared_ptr<ISlotSessionPort> port, int displayIndex);
  // The probe form: no session, no renderer.
  CVlcStream();
  ~CVlcStream() override;

  // CStream
  int SetFormat(const StreamFormatRecord& record) override;
  int ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext& context) override;
  int SetState(int state) override;
  int NewSegment(const SegmentRecord& segment) override;
  int Close() override { return 0; }
  int DSSetWindowRect(const RECT* rect, UINT_PTR window, int x, int y, uint32_t colourKey) override;
  int OnUpdateView(const uint8_t* message, uint32_t length) override;

  // IPlayerStream
  int CreateDecoder(const uint8_t* message, uint32_t length) override;

  // IDecoderDataListener and IConverterListener share one count.
  int AddRef() override;
  int Release() override;
  void SetVideoOutputFormat(REFGUID subtype, int width, int height) override;
  void SetAudioOutputFormat(const BYTE*, uint32_t) override {}
  void OnDecodedSample(CVrSample* sample) override;
  void OnConvertedSample(CVrSample* sample) override;

  uint32_t ProbeVideoCodecs();
  uint32_t ProbeAudioCodecs();

  // What a test looks at.
  CVrSampleRenderer* Renderer() { return renderer_; }
  CVlcDecoder* Decoder();
  CColorConverter* Converter();
  bool VideoInputOpen();
  size_t QueuedRecords();
  uint32_t ColourKey();
  RECT TargetRect();

 private:
  void Start();
  void Stop();
  void Flush();
  void VideoInputDataThread();
  void StopConverter(CColorConverter* converter);

  std::shared_ptr<ISlotSessionPort> port_;
  std::atomic<int> refs_{1};
  std::mutex mainLock_;
  bool videoInputOpen_ = false;
  const int displayIndex_;
  std::deque<std::vector<uint8_t>> videoRecords_;
  std::mutex videoInputLock_;
  std::thread videoInputThread_;
  bool videoThreadStarted_ = false;
  bool videoThreadEnding_ = false;
  CVlcDecoder* videoDecoder_ = nullptr;
  CColorConverter* converter_ = nullptr;
  CVrSampleRenderer* renderer_ = nullptr;
  uint32_t colourKey_ = 0;
  RECT targetRect_{};
};

// Makes the player kind for the stream slot and announces the Media
// Foundation codecs the platform really decodes in the hello.
void RegisterMediaFoundationStreams();
// The codec bits of the hello: the probe stream's video and audio masks.
uint32_t ProbeVlcStreamCodecs();
