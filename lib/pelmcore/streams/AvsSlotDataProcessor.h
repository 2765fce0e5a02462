// The processor of the stream slot "ZEVOROD ", one per remote display: a
// table of up to 10 media streams, routing of every message to the stream
// it names, JPEG frames with their own target rectangle drawn straight into
// the display surface, an optional worker pool that decodes JPEG frames
// ahead, and the sync ring that holds frames back against the audio clock.
// Everything the processor needs of the session goes through its
// ISlotSessionPort.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "pelplat/wintypes.h"
#include "session/SlotDataProcessor.h"
#include "streams/AvSyncRing.h"
#include "streams/DataSlicer.h"
#include "streams/Stream.h"
#include "streams/StreamKindFactory.h"
#include "session/SlotSessionPort.h"
#include "sys/CxMutex.h"

class ByteReader;
class JpegOutBuffer;

class CAvsSlotDataProcessor : public CSlotDataProcessor {
 public:
  static constexpr int kTableSize = 10;
  static constexpr int kPoolInputLimit = 16;
  static constexpr int kPoolReorderLimit = 16;
  static constexpr int kPoolWorkers = 4;
  static constexpr DWORD kStatisticsPeriodMs = 1000;

  explicit CAvsSlotDataProcessor(int displayIndex);
  ~CAvsSlotDataProcessor() override;

  int OnData(const uint8_t* data, uint32_t length) override;
  int OnClientData(const void*, uint32_t) override { return 0; }
  void OnWindowMoved(UINT_PTR window, UINT_PTR deviceContext) override {
    OnParentPaint(window, deviceContext);
  }
  void OnDisplayUpdated(UINT_PTR x, UINT_PTR y) override { ScrollStreams(int(x), int(y)); }
  void CloseAll() override;

  // The attach proper: null detaches and cuts the port. The streams share
  // the port; one of an earlier attach stays until they let it go. Reads
  // the settings and starts the pool when it is enabled; the pool is made
  // once.
  void AttachPort(uint16_t slot, std::shared_ptr<ISlotSessionPort> port);
  void AttachPort(uint16_t slot, std::unique_ptr<ISlotSessionPort> port) override {
    AttachPort(slot, std::shared_ptr<ISlotSessionPort>(std::move(port)));
  }
  // Replaces the stream kinds (the registered ones by default).
  void SetStreamKindFactory(std::unique_ptr<StreamKindFactory> factory);

  int OnSlotData(const uint8_t* payload, uint32_t length);
  // preDecoded: only for messages that PrepareMessage rewrote to pixels.
  int ProcessMessage(const uint8_t* message, uint32_t length, bool preDecoded = false);
  // Decodes a JPEG frame or JPEG sample into pixels ahead of dispatch; the
  // message is replaced (and marked) only when that worked. Always true.
  bool PrepareMessage(std::unique_ptr<uint8_t[]>& message, uint32_t& length, bool& preDecoded);
  // The same, decoding into a buffer taken from spare; the buffer that is
  // not handed on goes back there.
  bool PrepareMessage(SliceBuffer& message, uint32_t& length, bool& preDecoded,
                      SliceBuffers& spare);
  void OnParentPaint(UINT_PTR window, UINT_PTR deviceContext);
  void ScrollStreams(int x, int y);

  int AddStreamEntry(uint32_t id, std::unique_ptr<CStream> stream);
  int DeleteStream(uint32_t id);
  int CloseStream(uint32_t id);
  int CreateStream(int kind, uint32_t id, const StreamFormatRecord& record, UINT_PTR window,
                   uint32_t colourKey);
  int CreatePlayerStream(const uint8_t* message, uint32_t length);
  int CreateAudioStream(uint32_t id, const WaveFormatRecord& format);
  int SendStreamData(uint32_t id, const uint8_t* data, uint32_t length,
                     const StreamSampleContext& context);
  int DrawStretchedJpeg(const uint8_t* bytes, uint32_t length, const RECT& rect,
                        const StreamSampleContext& context);
  int NspOnUpdateView(const uint8_t* message, uint32_t length);

  // What the processing thread sees; for tests once it is idle.
  CStream* FindStream(uint32_t id);
  bool HasEntry(uint32_t id);
  CStream* DispatcherH264Stream() const { return h264_.get(); }
  uint32_t QueuedFrames() const { return ring_.Count(); }
  bool StatisticsOn() const { return statisticsOn_; }
  const char* KindName() const { return kindName_; }
  uint32_t FrameCount() const { return frames_; }
  uint32_t ByteCount() const { return bytes_; }
  int StatisticsWidth() const { return width_; }
  int StatisticsHeight() const { return height_; }
  bool PoolRunning() const { return slicer_ && slicer_->Started(); }

 private:
  struct TableEntry {
    std::unique_ptr<CStream> stream;
    uint32_t id = 0;
  };
  struct CodedRule;
  static const CodedRule kCodedRules[];

  std::shared_ptr<ISlotSessionPort> Port() const { return std::atomic_load(&port_); }
  TableEntry* FindEntry(uint32_t id);
  // Close, then free: a stream deleted while it runs would leave its player
  // behind.
  static void CloseAndDelete(TableEntry* entry);
  StreamKindArgs KindArgs(UINT_PTR window, uint32_t colourKey, int display) const;

  int DispatchStreamMessage(const uint8_t* message, uint32_t length, bool preDecoded);
  bool CheckLegacyMessage(const uint8_t* message, uint32_t length);
  int ProcessLegacyMessage(const uint8_t* message, uint32_t length);
  int ProcessLegacyControl(const uint8_t* message, uint32_t length);
  void CountMessage(uint32_t length);
  void SetKindName(const char* name);

  // Handlers of the coded messages; the reader stands after the stream id.
  int OnReserve(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnWindowRect(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnState(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnCommand(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnClose(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnViewUpdate(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnSegment(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnDirectShowSample(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length,
                         bool pre);
  int OnJpegFrame(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnH264Frame(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnPlayerData(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnAllocator(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length, bool pre);
  int OnCreateFromFormat(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length,
                         bool pre);
  int OnCreateHardware(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length,
                       bool pre);
  int OnCreatePlayer(ByteReader& in, uint32_t id, const uint8_t* message, uint32_t length,
                     bool pre);

  void DeliverJpegFrame(const uint8_t* frame, uint32_t length, bool preDecoded);
  void DeliverH264Frame(const uint8_t* frame, uint32_t length);
  void OnSample(const uint8_t* message, uint32_t length);
  void DeliverSample(const uint8_t* sample, uint32_t length);
  // The clock, when the ring is in use for this frame.
  const AudioClockRecord* SyncClock(ISlotSessionPort* port) const;
  // No port, no windows, or the display slot has video drawing off.
  static bool VideoDrawingOff(ISlotSessionPort* port);

  const int displayIndex_;
  std::shared_ptr<ISlotSessionPort> port_;  // read and swapped atomically
  // The port of the message being processed (processing thread only).
  std::shared_ptr<ISlotSessionPort> session_;
  std::unique_ptr<StreamKindFactory> kinds_;

  std::unique_ptr<CStream> h264_;  // the dispatcher's own, never in the table
  std::array<TableEntry, kTableSize> table_;
  AvSyncRing ring_;

  DWORD lastStatisticsTick_ = 0;
  bool statisticsOn_ = false;
  int width_ = 0;
  int height_ = 0;
  int queued_ = 0;
  uint32_t frames_ = 0;
  uint32_t bytes_ = 0;
  char kindName_[16] = {};

  uint32_t syncSwitch_ = 0;
  CxMutex tableLock_;
  bool poolSwitch_ = false;
  bool soundSwitch_ = true;
  std::unique_ptr<DataSlicer<CAvsSlotDataProcessor>> slicer_;
  // Frames decoded while drawing, on the processing thread only: one block
  // filled again frame after frame.
  std::unique_ptr<JpegOutBuffer> drawPixels_;
};
