// The messages of the stream slot: the coded family (first byte 0) and
// the flag-byte family, each checked against the delivered length before
// any field is used.
#include <cstring>

#include "session/AudioClockRecord.h"
#include "streams/AvsSlotDataProcessor.h"
#include "streams/StreamMessageCodes.h"

using namespace streammsg;

namespace {

// The H.264 subtype: the FOURCC "H264" in the FOURCC GUID family.
constexpr GUID kSubtypeH264 = {0x34363248, 0x0000, 0x0010,
                               {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr uint32_t kLegacyColourKey = 0xFF0000;

struct RequestMapping {
  uint32_t request;
  int value;
};
constexpr RequestMapping kStates[] = {
    {0x60000, 0}, {0x60100, 2}, {0x60200, 3}, {0x60300, 1}};
constexpr RequestMapping kCommands[] = {{0x60400, 1}, {0x60500, 2}, {0x60600, 3}};

template <size_t N>
bool MapRequest(const RequestMapping (&table)[N], uint32_t request, int* value) {
  for (const RequestMapping& m : table)
    if (m.request == request) {
      *value = m.value;
      return true;
    }
  return false;
}

// The flag-byte stream messages: type, header size, least (or exact) value
// of the u32 at offset 4.
struct LegacyRule {
  uint8_t type;
  uint8_t headerSize;
  uint32_t body;
  bool exact;
};
constexpr LegacyRule kLegacyRules[] = {
    {kTypeAudioFormat, 4, 22, false}, {kTypeData, 4, 4, false},      {kTypeData, kSampleHeader, 56, false},
    {kTypeFormat, 4, 68, false},      {kTypeAllocator, 4, 20, true}, {kTypeSegment, 4, 28, true},
};
constexpr uint8_t kControlTypes[] = {kControlState, kControlReserve, kControlClose, kControlCommand};

// Player-stream data: the payload length the player reads, and its end.
constexpr uint32_t kPlayerPayloadLength = 72;
constexpr uint32_t kPlayerPayload = 76;
constexpr uint32_t kPlayerCodecLength = 60;
constexpr uint32_t kPlayerCodecData = 64;
constexpr uint32_t kHardwareBlock = 184;

}  // namespace

struct CAvsSlotDataProcessor::CodedRule {
  uint32_t code;
  uint32_t length;
  bool exact;
  int (CAvsSlotDataProcessor::*handler)(ByteReader&, uint32_t, const uint8_t*, uint32_t, bool);
};

const CAvsSlotDataProcessor::CodedRule CAvsSlotDataProcessor::kCodedRules[] = {
    {kReserve, 88, false, &CAvsSlotDataProcessor::OnReserve},
    {kWindowRect, 48, true, &CAvsSlotDataProcessor::OnWindowRect},
    {kState, 16, false, &CAvsSlotDataProcessor::OnState},
    {kCommand, 16, false, &CAvsSlotDataProcessor::OnCommand},
    {kClose, 12, false, &CAvsSlotDataProcessor::OnClose},
    {kViewUpdate, 56, true, &CAvsSlotDataProcessor::OnViewUpdate},
    {kSegment, 36, false, &CAvsSlotDataProcessor::OnSegment},
    {kDirectShowSample, 53, false, &CAvsSlotDataProcessor::OnDirectShowSample},
    {kJpegFrame, kFrameMinimum, false, &CAvsSlotDataProcessor::OnJpegFrame},
    {kH264Frame, kFrameMinimum, false, &CAvsSlotDataProcessor::OnH264Frame},
    {kPlayerData, 48, false, &CAvsSlotDataProcessor::OnPlayerData},
    {kPlayerData2, 80, false, &CAvsSlotDataProcessor::OnPlayerData},
    {kAllocator, 28, false, &CAvsSlotDataProcessor::OnAllocator},
    {kCreateFromFormat, 92, false, &CAvsSlotDataProcessor::OnCreateFromFormat},
    {kCreateHardware, 184, false, &CAvsSlotDataProcessor::OnCreateHardware},
    {kCreatePlayer, 68, false, &CAvsSlotDataProcessor::OnCreatePlayer},
};

int CAvsSlotDataProcessor::DispatchStreamMessage(const uint8_t* message, uint32_t length,
                                                 bool preDecoded) {
  ByteReader in(message, length);
  const uint32_t code = in.U32();
  in.U32();
  const uint32_t id = in.U32();
  for (const CodedRule& rule : kCodedRules) {
    if (rule.code != code) continue;
    if (rule.exact ? length != rule.length : length < rule.length) return 0;
    // Only a frame this client rewrote counts as pixels.
    (this->*rule.handler)(in, id, message, length, preDecoded && code == kJpegFrame);
    return 0;
  }
  return 0;
}

int CAvsSlotDataProcessor::OnReserve(ByteReader&, uint32_t id, const uint8_t*, uint32_t, bool) {
  return DeleteStream(id);
}

int CAvsSlotDataProcessor::OnWindowRect(ByteReader&, uint32_t id, const uint8_t* message,
                                        uint32_t length, bool) {
  IDisplaySurfaces* windows = session_->Surfaces();
  if (!windows) return -1;
  ByteReader in = At(message, length, 28);
  const RECT rect = ReadRect(in);
  const uint32_t key = in.U32();
  if (CStream* stream = FindStream(id))
    stream->DSSetWindowRect(&rect, windows->WindowId(0), 0, 0, key);
  ScrollStreams(0, 0);
  return 0;
}

int CAvsSlotDataProcessor::OnState(ByteReader& in, uint32_t id, const uint8_t*, uint32_t, bool) {
  int state = 0;
  if (!MapRequest(kStates, in.U32(), &state)) return -1;
  CStream* stream = FindStream(id);
  return stream ? stream->SetState(state) : -1;
}

int CAvsSlotDataProcessor::OnCommand(ByteReader& in, uint32_t id, const uint8_t*, uint32_t, bool) {
  int command = 0;
  if (!MapRequest(kCommands, in.U32(), &command)) return -1;
  CStream* stream = FindStream(id);
  return stream ? stream->FilterEvent(command) : -1;
}

int CAvsSlotDataProcessor::OnClose(ByteReader&, uint32_t id, const uint8_t*, uint32_t, bool) {
  return CloseStream(id);
}

int CAvsSlotDataProcessor::OnViewUpdate(ByteReader&, uint32_t, const uint8_t* message,
                                        uint32_t length, bool) {
  return NspOnUpdateView(message, length);
}

int CAvsSlotDataProcessor::OnSegment(ByteReader& in, uint32_t id, const uint8_t*, uint32_t, bool) {
  SegmentRecord segment;
  if (!segment.Read(in)) return -1;
  CStream* stream = FindStream(id);
  return stream ? stream->NewSegment(segment) : -1;
}

int CAvsSlotDataProcessor::OnDirectShowSample(ByteReader& in, uint32_t id, const uint8_t*,
                                              uint32_t, bool) {
  SampleInfoRecord info;
  info.streamId = id;
  info.typeSpecificFlags = in.U32();
  info.sampleFlags = in.U32();
  info.actual = in.I32();
  info.start = static_cast<int64_t>(in.U64());
  info.stop = static_cast<int64_t>(in.U64());
  in.Skip(8);
  const uint32_t n = in.U32();
  const uint8_t* data = in.Take(n);
  if (!data) return -1;
  info.propertiesStreamId = id;
  info.bufferLength = int32_t(n);
  StreamSampleContext context;
  context.sampleInfo = &info;
  return SendStreamData(id, data, n, context);
}


int CAvsSlotDataProcessor::OnJpegFrame(ByteReader&, uint32_t, const uint8_t* message,
                                       uint32_t length, bool preDecoded) {
  ByteReader in(message, length);
  FrameHeader header;
  if (!header.Read(in) || !in.Take(header.dataLength)) return -1;
  SetKindName("NSP-DJ");
  ISlotSessionPort* port = session_.get();
  if (VideoDrawingOff(port)) return 0;
  ++frames_;
  width_ = Span(header.rect.left, header.rect.right);
  height_ = Span(header.rect.top, header.rect.bottom);
  if (const AudioClockRecord* clock = SyncClock(port)) {
    ring_.Push(header.timestamp, message, length, preDecoded);
    std::unique_ptr<AvSyncEntry> due = ring_.TakeDue(clock->Position(), nullptr, clock->GetMode());
    if (due) DeliverJpegFrame(due->bytes.get(), due->length, due->preDecoded);
  } else {
    DeliverJpegFrame(message, length, preDecoded);
  }
  return 0;
}

void CAvsSlotDataProcessor::DeliverJpegFrame(const uint8_t* frame, uint32_t length,
                                             bool preDecoded) {
  ByteReader in(frame, length);
  FrameHeader header;
  if (!header.Read(in)) return;
  const uint8_t* data = in.Take(header.dataLength);
  if (!data) return;
  StreamSampleContext context;
  if (preDecoded) {
    context.preDecoded = 1;
    context.width = header.width;
    context.height = header.height;
  }
  if (header.rect.right != 0)
    DrawStretchedJpeg(data, header.dataLength, header.rect, context);
  else
    SendStreamData(header.streamId, data, header.dataLength, context);
}

int CAvsSlotDataProcessor::OnH264Frame(ByteReader&, uint32_t, const uint8_t* message,
                                       uint32_t length, bool) {
  ByteReader in(message, length);
  FrameHeader header;
  if (!header.Read(in) || !in.Take(header.dataLength)) return -1;
  SetKindName("NSP-h264");
  ISlotSessionPort* port = session_.get();
  if (!h264_) {
    h264_ = kinds_->Make(StreamKind::kDH264, KindArgs(0, 0, 0));
    if (h264_) {
      StreamFormatRecord record;
      record.subtype = kSubtypeH264;
      h264_->SetFormat(record);
    }
  }
  width_ = Span(header.rect.left, header.rect.right);
  height_ = Span(header.rect.top, header.rect.bottom);
  if (const AudioClockRecord* clock = SyncClock(port)) {
    ring_.Push(header.timestamp, message, length);
    for (;;) {
      bool onTime = false;
      std::unique_ptr<AvSyncEntry> due = ring_.TakeDue(clock->Position(), &onTime, clock->GetMode());
      if (!due) break;
      DeliverH264Frame(due->bytes.get(), due->length);
      if (onTime) break;
    }
  } else {
    DeliverH264Frame(message, length);
  }
  return 0;
}

void CAvsSlotDataProcessor::DeliverH264Frame(const uint8_t* frame, uint32_t length) {
  if (!h264_) return;
  ByteReader in(frame, length);
  FrameHeader header;
  if (!header.Read(in)) return;
  const uint8_t* data = in.Take(header.dataLength);
  if (!data) return;
  h264_->DSSetWindowRect(&header.rect, 0, 0, 0, 0);
  StreamSampleContext context;
  context.preDecoded = 1;
  h264_->ProcessSample(data, header.dataLength, context);
  ++frames_;
}

int CAvsSlotDataProcessor::OnPlayerData(ByteReader&, uint32_t id, const uint8_t* message,
                                        uint32_t length, bool) {
  // The player reads its payload length and payload: both must lie
  // inside the message.
  if (length < kPlayerPayload) return -1;
  const uint32_t n = U32At(message, length, kPlayerPayloadLength);
  if (!BytesAt(message, length, kPlayerPayload, n)) return -1;
  return SendStreamData(id, message, length, StreamSampleContext());
}

int CAvsSlotDataProcessor::OnAllocator(ByteReader& in, uint32_t id, const uint8_t*, uint32_t,
                                       bool) {
  AllocatorPropertiesRecord properties;
  if (!properties.Read(in)) return -1;
  CStream* stream = FindStream(id);
  return stream ? stream->SetAllocator(properties) : -1;
}

int CAvsSlotDataProcessor::OnCreateFromFormat(ByteReader& in, uint32_t id, const uint8_t*,
                                              uint32_t, bool) {
  IDisplaySurfaces* windows = session_->Surfaces();
  if (!windows) return -1;
  StreamFormatRecord record;
  record.size = in.U32();
  record.flags = in.U32();
  record.sampleSize = in.U32();
  in.Skip(8);
  ReadGuid(in, &record.majorType);
  ReadGuid(in, &record.subtype);
  ReadGuid(in, &record.formatType);
  const uint32_t key = in.U32();
  const uint32_t blockLength = in.U32();
  const uint8_t* block = in.Take(blockLength);
  if (!block || record.size < StreamFormatRecord::kHeadSize ||
      uint64_t(record.size) > uint64_t(StreamFormatRecord::kHeadSize) + blockLength)
    return -1;
  record.block.assign(block, block + blockLength);
  return CreateStream(1, id, record, windows->WindowId(0), key);
}

int CAvsSlotDataProcessor::OnCreateHardware(ByteReader&, uint32_t id, const uint8_t* message,
                                            uint32_t length, bool) {
  IDisplaySurfaces* windows = session_->Surfaces();
  if (!windows) return -1;
  StreamFormatRecord record;
  record.size = StreamFormatRecord::kHeadSize + kHardwareBlock;
  ByteReader profile = At(message, length, 16);
  ReadGuid(profile, &record.majorType);
  const uint8_t* block = BytesAt(message, length, 0, kHardwareBlock);
  if (!block || !profile.Ok()) return -1;
  record.block.assign(block, block + kHardwareBlock);
  return CreateStream(2, id, record, windows->WindowId(0), U32At(message, length, 40));
}

int CAvsSlotDataProcessor::OnCreatePlayer(ByteReader&, uint32_t, const uint8_t* message,
                                          uint32_t length, bool) {
  IDisplaySurfaces* windows = session_->Surfaces();
  if (!windows) return -1;
  const uint32_t k = U32At(message, length, kPlayerCodecLength);
  if (!BytesAt(message, length, kPlayerCodecData, k)) return -1;
  return CreatePlayerStream(message, length);
}

bool CAvsSlotDataProcessor::CheckLegacyMessage(const uint8_t* message, uint32_t length) {
  LegacyHead head;
  if (!head.Read(message, length)) return false;
  if (head.flags & kFlagStream) {
    if (!(head.flags & kFlagStreamAlso)) return false;
    // What the u32 at offset 4 counts must have been delivered.
    if (uint64_t(kFlagHeader) + head.body > length) return false;
    for (const LegacyRule& rule : kLegacyRules)
      if (rule.type == head.type && rule.headerSize == head.headerSize)
        return rule.exact ? head.body == rule.body : head.body >= rule.body;
    return false;
  }
  if (head.flags & kFlagControl) {
    for (uint8_t known : kControlTypes)
      if (known == head.type) return true;
  }
  return false;
}

int CAvsSlotDataProcessor::ProcessLegacyMessage(const uint8_t* message, uint32_t length) {
  LegacyHead head;
  head.Read(message, length);
  // Everything read stays inside what the u32 at offset 4 counts (checked
  // against the delivered length).
  const uint32_t end = kFlagHeader + head.body;
  ByteReader in(message, end);
  in.Skip(kFlagHeader);
  const uint32_t id = in.U32();
  const uint32_t rest = end - 12;
  switch (head.type) {
    case kTypeAudioFormat: {
      WaveFormatRecord format;
      if (!format.Read(in)) return -1;
      return CreateAudioStream(id, format);
    }
    case kTypeData:
      if (head.headerSize == kSampleHeader) {
        OnSample(message, end);
        return 0;
      }
      SetKindName("CMT-STREAM");
      return SendStreamData(id, in.Take(rest), rest, StreamSampleContext());
    case kTypeFormat: {
      IDisplaySurfaces* windows = session_->Surfaces();
      StreamFormatRecord record;
      if (!windows || !record.Read(in)) return -1;
      return CreateStream(1, id, record, windows->WindowId(0), kLegacyColourKey);
    }
    case kTypeAllocator: {
      AllocatorPropertiesRecord properties;
      CStream* stream = FindStream(id);
      if (!properties.Read(in) || !stream) return -1;
      return stream->SetAllocator(properties);
    }
    case kTypeSegment: {
      SegmentRecord segment;
      CStream* stream = FindStream(id);
      if (!segment.Read(in) || !stream) return -1;
      return stream->NewSegment(segment);
    }
  }
  return -1;
}

void CAvsSlotDataProcessor::OnSample(const uint8_t* message, uint32_t length) {
  SetKindName("CMT-SAMPLE");
  ISlotSessionPort* port = session_.get();
  const AudioClockRecord* clock = port->Surfaces() ? SyncClock(port) : nullptr;
  if (clock) {
    ring_.Push(I64At(message, length, kSampleStartAt), message, length);
    std::unique_ptr<AvSyncEntry> due = ring_.TakeDue(clock->Position(), nullptr, clock->GetMode());
    if (due) DeliverSample(due->bytes.get(), due->length);
  } else {
    DeliverSample(message, length);
  }
}

void CAvsSlotDataProcessor::DeliverSample(const uint8_t* sample, uint32_t length) {
  ByteReader in = At(sample, length, kSampleInfoAt);
  SampleInfoRecord info;
  if (!info.Read(in) || length < kSampleDataAt) return;
  const uint32_t n = length - kSampleDataAt;
  StreamSampleContext context;
  context.sampleInfo = &info;
  SendStreamData(info.streamId, in.Take(n), n, context);
}

int CAvsSlotDataProcessor::ProcessLegacyControl(const uint8_t* message, uint32_t length) {
  LegacyHead head;
  head.Read(message, length);
  const int value = head.headerSize;
  const uint32_t id = head.body;
  switch (head.type) {
    case kControlState: {
      statisticsOn_ = value == 3;
      CStream* stream = FindStream(id);
      const int result = stream ? stream->SetState(value) : -1;
      if (result != 0 && h264_) return h264_->SetState(value);
      return result;
    }
    case kControlReserve:
      return DeleteStream(id);
    case kControlClose:
      return CloseStream(id);
    case kControlCommand: {
      CStream* stream = FindStream(id);
      return stream ? stream->FilterEvent(value) : -1;
    }
  }
  return -1;
}
