#include "streams/AvsSlotDataProcessor.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "display/JpegDecoder.h"
#include "display/JpegOutBuffer.h"
#include "display/SurfaceKeeper.h"
#include "pelplat/systime.h"
#include "session/AudioClockRecord.h"
#include "session/ClientConnectionParameter.h"
#include "session/SurfaceLock.h"
#include "streams/StreamMessageCodes.h"
#include "sys/ByteWriter.h"
#include "sys/_synchro.h"
#include "sys/klog.h"

using namespace streammsg;

namespace {

constexpr uint32_t kPixelBytes = 3;

// The pixel bytes of a w x h picture of 3-byte pixels, or 0 when the
// geometry is not a picture.
uint64_t PictureBytes(int64_t width, int64_t height) {
  if (width <= 0 || height <= 0) return 0;
  return uint64_t(width) * uint64_t(height) * kPixelBytes;
}

// Decodes a JPEG into 3-byte pixels, rows last first. False when it does
// not decode into exactly width x height 3-byte pixels.
bool DecodeFrame(const uint8_t* bytes, uint32_t length, int* width, int* height,
                 JpegOutBuffer* out) {
  if (DecodeJpegToRgb(bytes, length, width, height, 1, 1, out) != 0) return false;
  const uint64_t expected = PictureBytes(*width, *height);
  return expected != 0 && out->GetData() && out->GetSize() == expected;
}

}  // namespace

CAvsSlotDataProcessor::CAvsSlotDataProcessor(int displayIndex)
    : displayIndex_(displayIndex), kinds_(new CRegisteredStreamKinds) {}

CAvsSlotDataProcessor::~CAvsSlotDataProcessor() {
  if (slicer_ && slicer_->Enabled() && slicer_->Started()) {
    slicer_->Stop();
    slicer_->Forget();
  }
  slicer_.reset();
  {
    // The GUI thread may be walking the table for a paint.
    CxAutoLock hold(tableLock_.Record());
    for (TableEntry& entry : table_)
      if (entry.stream) entry.stream->Close();
    for (TableEntry& entry : table_) {
      entry.id = 0;
      std::unique_ptr<CStream> stream = std::move(entry.stream);
      stream.reset();
    }
  }
  ring_.Clear();
  h264_.reset();
  if (std::shared_ptr<ISlotSessionPort> port = std::atomic_exchange(&port_, std::shared_ptr<ISlotSessionPort>()))
    port->Cut();
}

int CAvsSlotDataProcessor::OnData(const uint8_t* data, uint32_t length) {
  return OnSlotData(data, length);
}

void CAvsSlotDataProcessor::AttachPort(uint16_t newSlot, std::shared_ptr<ISlotSessionPort> port) {
  std::shared_ptr<ISlotSessionPort> old = std::atomic_exchange(&port_, port);
  // A stream's threads may still hold the old port: it stays with them, cut.
  if (old && old != port) old->Cut();
  slot = port ? newSlot : kDetached;
  if (!port || slicer_) return;
  if (const CClientConnectionParameter* parameters = port->Parameters()) {
    syncSwitch_ = parameters->useAudioVideoSynch;
    poolSwitch_ = parameters->dataSlicerMode == 1 || parameters->dataSlicerMode == 2;
    soundSwitch_ = parameters->useSound != 0;
  } else {
    syncSwitch_ = 0;
    poolSwitch_ = false;
  }
  slicer_.reset(new DataSlicer<CAvsSlotDataProcessor>(poolSwitch_, kPoolInputLimit,
                                                       kPoolReorderLimit, kPoolWorkers));
  slicer_->Start(this);
}

void CAvsSlotDataProcessor::SetStreamKindFactory(std::unique_ptr<StreamKindFactory> factory) {
  kinds_ = factory ? std::move(factory) : std::unique_ptr<StreamKindFactory>(new CRegisteredStreamKinds);
}

int CAvsSlotDataProcessor::OnSlotData(const uint8_t* payload, uint32_t length) {
  if (poolSwitch_ && slicer_ && length != 0xFFFFFFFFu)
    slicer_->Put(payload, length, 0);
  else
    ProcessMessage(payload, length);
  return 0;
}

int CAvsSlotDataProcessor::ProcessMessage(const uint8_t* message, uint32_t length, bool preDecoded) {
  if (length == 0xFFFFFFFFu || !message || length == 0) return 0;
  // The session stays as it is for the whole message, even when it is
  // detached meanwhile.
  session_ = Port();
  if (!session_) return 0;
  if (FirstByte(message, length) == 0) {
    DispatchStreamMessage(message, length, preDecoded);
  } else {
    if (!CheckLegacyMessage(message, length)) {
      session_.reset();
      return 0;
    }
    if (FirstByte(message, length) & kFlagStream)
      ProcessLegacyMessage(message, length);
    else
      ProcessLegacyControl(message, length);
  }
  CountMessage(length);
  session_.reset();
  return 0;
}

void CAvsSlotDataProcessor::CountMessage(uint32_t length) {
  bytes_ += length;
  queued_ = int(ring_.Count());
  if (!statisticsOn_) return;
  const DWORD now = GetTickCount();
  if (DWORD(now - lastStatisticsTick_) < kStatisticsPeriodMs) return;
  lastStatisticsTick_ = now;
  std::printf("%s %dx%d FPS:%d BPS:%d inQue:%d\n", kindName_, width_, height_, int(frames_),
              int(bytes_), queued_);
  std::fflush(stdout);
  frames_ = 0;
  bytes_ = 0;
}

void CAvsSlotDataProcessor::SetKindName(const char* name) {
  std::snprintf(kindName_, sizeof kindName_, "%s", name);
}

bool CAvsSlotDataProcessor::PrepareMessage(std::unique_ptr<uint8_t[]>& message, uint32_t& length,
                                           bool& preDecoded) {
  SliceBuffer buffer;
  buffer.bytes = std::move(message);
  buffer.capacity = length;
  // Nothing kept: every decode gets a buffer of its own.
  SliceBuffers fresh(0, 0);
  PrepareMessage(buffer, length, preDecoded, fresh);
  message = std::move(buffer.bytes);
  return true;
}

bool CAvsSlotDataProcessor::PrepareMessage(SliceBuffer& message, uint32_t& length,
                                           bool& preDecoded, SliceBuffers& spare) {
  const uint8_t* m = message.bytes.get();
  if (!m || length == 0 || preDecoded) return true;
  if (VideoDrawingOff(Port().get())) return true;

  FrameHeader header;
  const uint8_t* jpeg = nullptr;
  uint32_t jpegLength = 0;
  LegacyHead head;
  head.Read(m, length);
  if (head.flags == 0) {
    ByteReader in(m, length);
    if (length < kFrameMinimum || !header.Read(in) || header.code != kJpegFrame) return true;
    jpegLength = header.dataLength;
    jpeg = in.Take(jpegLength);
  } else {
    if (!CheckLegacyMessage(m, length) || !(head.flags & kFlagStream) || head.type != kTypeData ||
        head.headerSize != kSampleHeader)
      return true;
    jpegLength = head.body - kSampleHeader;
    jpeg = BytesAt(m, length, kSampleDataAt, jpegLength);
    header.code = kJpegFrame;
    header.streamId = U32At(m, length, kSampleInfoAt);
    header.timestamp = I64At(m, length, kSampleStartAt);
    header.field32 = 1;
    header.field36 = 1;
    // A zero rectangle: the frame goes to its stream.
  }
  if (!jpeg) return true;
  // The pixels go straight behind the header of the message that replaces
  // this one: no copy of the picture is made.
  SliceBuffer frame;
  uint64_t total = 0;
  int width = 0, height = 0;
  const int decoded = DecodeJpegToRgbAt(jpeg, jpegLength, &width, &height,
                                        [&](int w, int h, int components) -> BYTE* {
    const uint64_t pixels = PictureBytes(w, h);
    if (components != int(kPixelBytes) || pixels == 0) return nullptr;
    total = uint64_t(kFrameHeader) + pixels;
    if (total >= 0xFFFFFFFFu) return nullptr;
    frame = spare.Take(size_t(total));
    return frame.bytes ? frame.bytes.get() + kFrameHeader : nullptr;
  });
  if (decoded != 0 || PictureBytes(width, height) + kFrameHeader != total) {
    spare.Give(std::move(frame));
    return true;
  }
  header.dataLength = uint32_t(total - kFrameHeader);
  header.width = width;
  header.height = height;
  ByteWriter out(frame.bytes.get(), kFrameHeader);
  header.Write(out);
  if (!out.Ok()) {
    spare.Give(std::move(frame));
    return true;
  }
  spare.Give(std::move(message));
  message = std::move(frame);
  length = uint32_t(total);
  preDecoded = true;
  return true;
}

int CAvsSlotDataProcessor::DrawStretchedJpeg(const uint8_t* bytes, uint32_t length,
                                             const RECT& rect, const StreamSampleContext& context) {
  int width = context.width;
  int height = context.height;
  const uint8_t* pixels = bytes;
  if (!context.preDecoded) {
    if (!drawPixels_) drawPixels_.reset(new (std::nothrow) JpegOutBuffer);
    if (!drawPixels_ || !DecodeFrame(bytes, length, &width, &height, drawPixels_.get())) return 0;
    pixels = drawPixels_->GetData();
  } else {
    const uint64_t need = PictureBytes(width, height);
    if (need == 0 || need > length) return 0;
  }
  std::shared_ptr<ISlotSessionPort> port = session_ ? session_ : Port();
  SurfaceLock lock(port.get(), displayIndex_);
  ISurfaceKeeper* surface = lock.Surface();
  if (!surface) return 0;
  const int64_t rectWidth = int64_t(rect.right) - rect.left;
  const int64_t rectHeight = int64_t(rect.bottom) - rect.top;
  if (width == rectWidth && height == rectHeight) {
    LogMessageA("DrawStretchedJpeg - BitBlt\n");
    surface->BitBlt(rect.left, rect.top, -width, height, kPixelBytes, pixels);
  } else {
    LogMessageA("DrawStretchedJpeg - BitBltWithStretchRegion\n");
    surface->StretchBlt(width, height, rect, kPixelBytes, pixels);
  }
  surface->AddDamage(rect.left, rect.top, int(rectWidth), int(rectHeight));
  return 0;
}

CAvsSlotDataProcessor::TableEntry* CAvsSlotDataProcessor::FindEntry(uint32_t id) {
  for (TableEntry& entry : table_)
    if (entry.id == id) return &entry;
  return nullptr;
}

CStream* CAvsSlotDataProcessor::FindStream(uint32_t id) {
  TableEntry* entry = FindEntry(id);
  return entry ? entry->stream.get() : nullptr;
}

bool CAvsSlotDataProcessor::HasEntry(uint32_t id) { return FindEntry(id) != nullptr; }

void CAvsSlotDataProcessor::CloseAndDelete(TableEntry* entry) {
  if (entry->stream) entry->stream->Close();
  entry->stream.reset();
}

StreamKindArgs CAvsSlotDataProcessor::KindArgs(UINT_PTR window, uint32_t colourKey,
                                               int display) const {
  StreamKindArgs args;
  args.port = session_ ? session_ : Port();
  args.displayIndex = display;
  args.window = window;
  args.colourKey = colourKey;
  args.sound = soundSwitch_;
  return args;
}

int CAvsSlotDataProcessor::AddStreamEntry(uint32_t id, std::unique_ptr<CStream> stream) {
  CxAutoLock hold(tableLock_.Record());
  for (TableEntry& entry : table_) {
    if (entry.id == 0 && !entry.stream) {
      entry.id = id;
      entry.stream = std::move(stream);
      return 0;
    }
  }
  return -1;
}

int CAvsSlotDataProcessor::DeleteStream(uint32_t id) {
  CxAutoLock hold(tableLock_.Record());
  if (TableEntry* entry = FindEntry(id)) {
    CloseAndDelete(entry);
    entry->id = 0;
  }
  return AddStreamEntry(id, nullptr);
}

int CAvsSlotDataProcessor::CloseStream(uint32_t id) {
  CxAutoLock hold(tableLock_.Record());
  TableEntry* entry = FindEntry(id);
  if (!entry) return -1;
  CloseAndDelete(entry);
  entry->id = 0;
  return 0;
}

int CAvsSlotDataProcessor::CreateStream(int kind, uint32_t id, const StreamFormatRecord& record,
                                        UINT_PTR window, uint32_t colourKey) {
  TableEntry* entry = FindEntry(id);
  if (!entry) return -1;
  {
    CxAutoLock hold(tableLock_.Record());
    CloseAndDelete(entry);
  }
  const StreamKindArgs args = KindArgs(window, colourKey, displayIndex_);
  std::unique_ptr<CStream> accepted;
  for (StreamKind tried : {StreamKind::kVideo, StreamKind::kAudio, StreamKind::kDH264,
                           StreamKind::kDJ}) {
    std::unique_ptr<CStream> stream = kinds_->Make(tried, args);
    if (stream && stream->SetFormat(record) == 0) {
      accepted = std::move(stream);
      break;
    }
  }
  if (!accepted) {
    std::unique_ptr<CStream> stream =
        kinds_->Make(kind == 2 ? StreamKind::kDxva : StreamKind::kDirectShow, args);
    if (!stream || stream->SetFormat(record) != 0) return -1;
    accepted = std::move(stream);
  }
  accepted->SetFormatRecord(record);
  CxAutoLock hold(tableLock_.Record());
  entry->stream = std::move(accepted);
  return 0;
}

int CAvsSlotDataProcessor::CreatePlayerStream(const uint8_t* message, uint32_t length) {
  TableEntry* entry = FindEntry(U32At(message, length, 8));
  if (!entry) return -1;
  CxAutoLock hold(tableLock_.Record());
  // Another kind under the id gives way to the player, as other creations
  // replace what the id held.
  if (entry->stream && !dynamic_cast<IPlayerStream*>(entry->stream.get())) CloseAndDelete(entry);
  if (!entry->stream) {
    std::unique_ptr<CStream> made = kinds_->Make(StreamKind::kPlayer, KindArgs(0, 0, displayIndex_));
    IPlayerStream* player = dynamic_cast<IPlayerStream*>(made.get());
    if (!player || player->CreateDecoder(message, length) != 0) return -1;
    entry->stream = std::move(made);
    return 0;
  }
  // A player that exists keeps playing its other part when this decoder fails.
  dynamic_cast<IPlayerStream*>(entry->stream.get())->CreateDecoder(message, length);
  return 0;
}

int CAvsSlotDataProcessor::CreateAudioStream(uint32_t id, const WaveFormatRecord& format) {
  CxAutoLock hold(tableLock_.Record());
  TableEntry* entry = FindEntry(id);
  if (!entry) return -1;
  CloseAndDelete(entry);
  std::unique_ptr<CStream> stream = kinds_->Make(StreamKind::kAudio, KindArgs(0, 0, displayIndex_));
  if (!stream || stream->SetWaveFormat(format) != 0) return -1;
  entry->stream = std::move(stream);
  return 0;
}

int CAvsSlotDataProcessor::SendStreamData(uint32_t id, const uint8_t* data, uint32_t length,
                                          const StreamSampleContext& context) {
  CStream* stream = FindStream(id);
  if (!stream) return -1;
  const int result = stream->ProcessSample(data, length, context);
  const RECT& r = stream->CurrentRect();
  width_ = Span(r.left, r.right);
  height_ = Span(r.top, r.bottom);
  ++frames_;
  return result;
}

int CAvsSlotDataProcessor::NspOnUpdateView(const uint8_t* message, uint32_t length) {
  CStream* stream = FindStream(U32At(message, length, 8));
  return stream ? stream->OnUpdateView(message, length) : -1;
}

void CAvsSlotDataProcessor::OnParentPaint(UINT_PTR window, UINT_PTR deviceContext) {
  CxAutoLock hold(tableLock_.Record());
  for (TableEntry& entry : table_)
    if (entry.stream) entry.stream->OnParentPaint(window, deviceContext);
}

void CAvsSlotDataProcessor::ScrollStreams(int x, int y) {
  CxAutoLock hold(tableLock_.Record());
  for (TableEntry& entry : table_)
    if (entry.stream) entry.stream->UpdateWindowRectToScroll(x, y);
}

void CAvsSlotDataProcessor::CloseAll() {
  CxAutoLock hold(tableLock_.Record());
  for (TableEntry& entry : table_)
    if (entry.stream) entry.stream->Close();
}

bool CAvsSlotDataProcessor::VideoDrawingOff(ISlotSessionPort* port) {
  IDisplaySurfaces* surfaces = port ? port->Surfaces() : nullptr;
  return !surfaces || surfaces->VideoDrawing() == 0;
}

const AudioClockRecord* CAvsSlotDataProcessor::SyncClock(ISlotSessionPort* port) const {
  if (!syncSwitch_ || !port) return nullptr;
  const AudioClockRecord* clock = port->AudioClock();
  return clock && clock->Position() != 0 ? clock : nullptr;
}
