#include "input/VirtHidSlotDataProcessor.h"

#include <cstring>
#include <new>

#include "pelplat/synch.h"
#include "pelplat/thread.h"
#include "session/ClientConnectionParameter.h"
#include "session/SlotProcessorFactory.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"
#include "sys/sys.h"

namespace {

constexpr int32_t kExtended = 0x100;
constexpr int32_t kBreak = 0x80;
constexpr int32_t kCodeMask = 0x7F;
constexpr uint8_t kExtendedByte = 0xE0;
constexpr uint8_t kBreakByte = 0xF0;
constexpr size_t kFrameHeader = 4;  // u16 length, u16 kind
constexpr size_t kMaxKeyFrame = 16;
constexpr uint32_t kLedReportKind = 1;
constexpr uint32_t kLedReportSize = 28;
constexpr uint32_t kLedValid = 1;
constexpr uint16_t kShortPointerLength = 10;
constexpr uint16_t kLongPointerLength = 22;
constexpr size_t kLongPointerReserved = 8;

// The server learns lock keys only through this sync, in this order.
struct LockKey {
  int32_t bit;
  int32_t make;
};
constexpr LockKey kLockKeys[] = {
    {lockbit::kCaps, 0x3A},
    {lockbit::kScroll, 0x46},
    {lockbit::kNum, 0x45},
};

// The local lock keys themselves never reach the server: the sync above
// stands in for them, so that a lock key pressed outside the session window
// cannot leave the two sides out of step.
constexpr int32_t kSwallowedCodes[] = {0x3A, 0x45, 0x46, 0xBA, 0xC5, 0xC6};

enum class Held { kOnlyLeftShift, kOnlyRightShift, kBothShifts, kNotShiftAndCtrl, kAlways };

// Keys whose set-2 form depends on the modifiers the server believes held:
// keypad slash under Shift, Print Screen and Pause.
struct SpecialSequence {
  int32_t code;
  Held when;
  uint8_t count;
  uint8_t bytes[8];
};
constexpr SpecialSequence kSpecialSequences[] = {
    {0x135, Held::kOnlyLeftShift, 5, {0xE0, 0xF0, 0x12, 0xE0, 0x4A}},
    {0x135, Held::kOnlyRightShift, 5, {0xE0, 0xF0, 0x59, 0xE0, 0x4A}},
    {0x135, Held::kBothShifts, 8, {0xE0, 0xF0, 0x12, 0xE0, 0xF0, 0x59, 0xE0, 0x4A}},
    {0x1B5, Held::kOnlyLeftShift, 5, {0xE0, 0xF0, 0x4A, 0xE0, 0x12}},
    {0x1B5, Held::kOnlyRightShift, 5, {0xE0, 0xF0, 0x4A, 0xE0, 0x59}},
    {0x1B5, Held::kBothShifts, 7, {0xE0, 0xF0, 0x4A, 0xE0, 0x59, 0xE0, 0x12}},
    {0x137, Held::kNotShiftAndCtrl, 4, {0xE0, 0x12, 0xE0, 0x7C}},
    {0x1B7, Held::kNotShiftAndCtrl, 6, {0xE0, 0xF0, 0x7C, 0xE0, 0xF0, 0x12}},
    {0x145, Held::kAlways, 8, {0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77}},
};

bool Applies(Held when, bool leftShift, bool rightShift, bool ctrl) {
  switch (when) {
    case Held::kOnlyLeftShift: return leftShift && !rightShift;
    case Held::kOnlyRightShift: return rightShift && !leftShift;
    case Held::kBothShifts: return leftShift && rightShift;
    case Held::kNotShiftAndCtrl: return !((leftShift || rightShift) && ctrl);
    case Held::kAlways: return true;
  }
  return false;
}

// Every size of a frame on this slot goes out in its first word.
void WriteFrameHeader(ByteWriter& out, size_t frameSize, uint16_t kind) {
  out.U16(static_cast<uint16_t>(frameSize - 2));
  out.U16(kind);
}

}  // namespace

// ---------------------------------------------------------------- records

KeyInputRecord KeyInputRecord::Read(ByteReader& in) {
  KeyInputRecord r;
  r.scanCode = in.I32();
  r.lockBits = in.I32();
  return r;
}

PointerInputRecord PointerInputRecord::Read(ByteReader& in) {
  PointerInputRecord r;
  r.buttons = in.I32();
  r.x = in.I32();
  r.y = in.I32();
  r.moveFlag = in.I32();
  r.yOffset = in.I32();
  r.xOffset = in.I32();
  r.display = in.I32();
  return r;
}

// ---------------------------------------------------------------- scan codes

const uint8_t CVirtHidSlotDataProcessor::ScanCodeSet2ToSet1[256] = {
    // 0x00
    0xFF, 0x43, 0x41, 0x3F, 0x3D, 0x3B, 0x3C, 0x58, 0xFF, 0x44, 0x42, 0x40, 0x3E, 0x0F, 0x29, 0xFF,
    // 0x10
    0xFF, 0x38, 0x2A, 0x70, 0x1D, 0x10, 0x02, 0xFF, 0xFF, 0xFF, 0x2C, 0x1F, 0x1E, 0x11, 0x03, 0x5B,
    // 0x20
    0xFF, 0x2E, 0x2D, 0x20, 0x12, 0x05, 0x04, 0x5C, 0xFF, 0x39, 0x2F, 0x21, 0x14, 0x13, 0x06, 0x5D,
    // 0x30
    0xFF, 0x31, 0x30, 0x23, 0x22, 0x15, 0x07, 0xFF, 0xFF, 0xFF, 0x32, 0x24, 0x16, 0x08, 0x09, 0xFF,
    // 0x40
    0xFF, 0x33, 0x25, 0x17, 0x18, 0x0B, 0x0A, 0xFF, 0xFF, 0x34, 0x35, 0x26, 0x27, 0x19, 0x0C, 0xFF,
    // 0x50
    0xFF, 0x73, 0x28, 0xFF, 0x1A, 0x0D, 0xFF, 0xFF, 0x3A, 0x36, 0x1C, 0x1B, 0xFF, 0x2B, 0xFF, 0xFF,
    // 0x60
    0xFF, 0x56, 0xFF, 0xFF, 0x79, 0xFF, 0x0E, 0x7B, 0xFF, 0x4F, 0x7D, 0x4B, 0x47, 0x7E, 0xFF, 0xFF,
    // 0x70
    0x52, 0x53, 0x50, 0x4C, 0x4D, 0x48, 0x01, 0x45, 0x57, 0x4E, 0x51, 0x4A, 0x37, 0x49, 0x46, 0x54,
    // 0x80
    0xFF, 0xFF, 0xFF, 0x41, 0x54, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0x90
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0xA0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0xB0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0xC0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0xD0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0xE0
    0xE0, 0xE1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    // 0xF0
    0xF0, 0xF1, 0xF2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

const uint8_t* CVirtHidSlotDataProcessor::ScanCodeSet1ToSet2() {
  struct Inverse {
    uint8_t codes[256] = {};
    Inverse() {
      // Where two set-2 codes share a set-1 code the higher one wins; the
      // server has always been sent F7 as 0x83 and Alt+Print as 0x84.
      for (int i = 0; i < 256; ++i) codes[ScanCodeSet2ToSet1[i]] = static_cast<uint8_t>(i);
    }
  };
  static const Inverse inverse;
  return inverse.codes;
}

// ---------------------------------------------------------------- lifecycle

CVirtHidSlotDataProcessor::CVirtHidSlotDataProcessor() {
  ScanCodeSet1ToSet2();
  if (!SysCreateMutex(&pendingMutex)) {
    pendingMutex = nullptr;
    LogMessageA("CVirtHidSlotDataProcessor: no mutex; pointer records will be dropped");
  }
  if (!wakeSender.Create(false, false))
    LogMessageA("CVirtHidSlotDataProcessor: no wake event; pointer moves will not be paced");
}

CVirtHidSlotDataProcessor::~CVirtHidSlotDataProcessor() {
  const bool locked = LockPending();
  running.store(false);
  if (locked) UnlockPending();
  wakeSender.Set();
  if (senderThread) {
    SetThreadPriority(senderThread, THREAD_PRIORITY_TIME_CRITICAL);
    // Waits for as long as the thread takes: it uses this object until it
    // has left its loop. A send in progress takes the client's processor
    // lock, so the processor is never deleted with that lock held.
    SysJoinThread(senderThread);
    senderThread = nullptr;
  }
  if (pendingMutex) SysCloseHandle(&pendingMutex);
  wakeSender.Close();
}

void CVirtHidSlotDataProcessor::AttachPort(uint16_t newSlot, std::unique_ptr<ISlotSessionPort> port) {
  const bool attaching = port != nullptr;
  // The sender thread reads the port and the slot under the pending mutex.
  const bool locked = LockPending();
  CSlotDataProcessor::AttachPort(newSlot, std::move(port));
  if (locked) UnlockPending();

  periodMs.store(kConfiguredPeriodMs);
  if (!attaching) {
    OnActivate(0);
    return;
  }
  const CClientConnectionParameter* parameters = Session()->Parameters();
  if (parameters && parameters->useWanNetwork != 0) periodMs.store(kWanPeriodMs);
  running.store(true);
  StartSender();
}

void CVirtHidSlotDataProcessor::StartSender() {
  if (senderThread && !senderAlive.load()) {
    SysJoinThread(senderThread);
    senderThread = nullptr;
  }
  if (senderThread || !wakeSender.handle || !pendingMutex) return;
  senderAlive.store(true);
  senderThread = SysCreateThread(SenderEntry, this);
  if (!senderThread) {
    senderAlive.store(false);
    LogMessageA("CVirtHidSlotDataProcessor::Attach: no sender thread; pointer moves are sent at once");
    return;
  }
  senderStarts.fetch_add(1);
}

void CVirtHidSlotDataProcessor::OnActivate(int value) {
  // A window that loses activation never sees the modifiers' releases.
  if (value == 0) modifiers.store(0);
}

// ---------------------------------------------------------------- input

int CVirtHidSlotDataProcessor::OnClientData(const void* record, uint32_t length) {
  if (!record) return 0;
  ByteReader in(record, length);
  if (length == KeyInputRecord::kSize) return OnKey(KeyInputRecord::Read(in));
  if (length == PointerInputRecord::kSize) OnPointer(PointerInputRecord::Read(in));
  return 0;
}

void CVirtHidSlotDataProcessor::SetModifier(Modifier which, bool down) {
  if (down) {
    modifiers.fetch_or(which);
  } else {
    modifiers.fetch_and(~static_cast<uint32_t>(which));
  }
}

int CVirtHidSlotDataProcessor::OnKey(const KeyInputRecord& key) {
  const int32_t local = key.lockBits & lockbit::kAll;
  // An LED report that lands meanwhile is kept for the next key.
  const int32_t differ = (rememberedLocks.exchange(local) ^ local) & lockbit::kAll;
  for (const LockKey& lock : kLockKeys) {
    if (!(differ & lock.bit)) continue;
    SendKey(lock.make);
    SendKey(lock.make | kBreak);
  }

  struct ModifierCode {
    int32_t code;
    Modifier which;
    bool down;
  };
  static constexpr ModifierCode kModifierCodes[] = {
      {0x1D, kLeftCtrl, true},   {0x9D, kLeftCtrl, false},   {0x11D, kRightCtrl, true}, {0x19D, kRightCtrl, false},
      {0x2A, kLeftShift, true},  {0xAA, kLeftShift, false},  {0x36, kRightShift, true}, {0xB6, kRightShift, false},
  };
  for (const ModifierCode& m : kModifierCodes) {
    if (m.code == key.scanCode) SetModifier(m.which, m.down);
  }
  for (int32_t swallowed : kSwallowedCodes) {
    if (swallowed == key.scanCode) return kSwallowed;
  }
  SendKey(key.scanCode);
  return 0;
}

bool CVirtHidSlotDataProcessor::SendKey(int32_t code) {
  const bool leftShift = IsHeld(kLeftShift);
  const bool rightShift = IsHeld(kRightShift);
  const bool ctrl = IsHeld(kLeftCtrl | kRightCtrl);
  uint8_t frame[kMaxKeyFrame];

  for (const SpecialSequence& s : kSpecialSequences) {
    if (s.code != code || !Applies(s.when, leftShift, rightShift, ctrl)) continue;
    // The server expects a 0x00 behind these sequences, counted in the
    // length.
    const size_t size = kFrameHeader + s.count + 1;
    ByteWriter out(frame, sizeof frame);
    WriteFrameHeader(out, size, kKeyFrameKind);
    out.Bytes(s.bytes, s.count);
    out.U8(0);
    if (!out.Ok()) return false;
    SendFrame(frame, out.Position());
    return true;
  }

  if ((code & kCodeMask) == 0) return false;
  uint8_t bytes[3];
  size_t count = 0;
  if (code & kExtended) bytes[count++] = kExtendedByte;
  if (code & kBreak) bytes[count++] = kBreakByte;
  bytes[count++] = ScanCodeSet1ToSet2()[code & kCodeMask];
  ByteWriter out(frame, sizeof frame);
  WriteFrameHeader(out, kFrameHeader + count, kKeyFrameKind);
  out.Bytes(bytes, count);
  if (!out.Ok()) return false;
  SendFrame(frame, out.Position());
  return true;
}

void CVirtHidSlotDataProcessor::SendFrame(const uint8_t* frame, size_t size) {
  // Keys come through the client's processor lock, which Attach never runs
  // against: the session port cannot change under this read.
  if (session) session->SendOnSlot(frame, static_cast<uint32_t>(size));
}

void CVirtHidSlotDataProcessor::OnPointer(const PointerInputRecord& pointer) {
  if (!running.load()) return;
  if (!LockPending()) return;
  const bool longFrame = pointer.display != 0;
  const uint16_t length = longFrame ? kLongPointerLength : kShortPointerLength;
  ByteWriter out(pendingFrame, sizeof pendingFrame);
  out.U16(length);
  out.U16(kPointerFrameKind);
  out.U32(static_cast<uint32_t>(pointer.buttons));
  // Wraps like the 16-bit fields it goes into.
  out.U16(static_cast<uint16_t>(static_cast<uint32_t>(pointer.x) + static_cast<uint32_t>(pointer.xOffset)));
  out.U16(static_cast<uint16_t>(static_cast<uint32_t>(pointer.y) + static_cast<uint32_t>(pointer.yOffset)));
  if (longFrame) {
    out.U32(static_cast<uint32_t>(pointer.display));
    out.Zeros(kLongPointerReserved);
  }
  pendingSize = out.Ok() ? out.Position() : 0;
  pending = pendingSize != 0;

  // A move is left to the sender only while one runs to take it.
  const bool paced = (pointer.moveFlag & 0xFF) != 0 && periodMs.load() != 0 && senderAlive.load();
  uint8_t frame[kMaxPointerFrame];
  ISlotSessionPort* through = nullptr;
  const size_t size = paced ? 0 : TakePendingReport(frame, &through);
  UnlockPending();
  if (size) through->SendOnSlot(frame, static_cast<uint32_t>(size));
}

// ---------------------------------------------------------------- pacing

bool CVirtHidSlotDataProcessor::LockPending() {
  if (!pendingMutex) return false;
  const DWORD rc = SysWaitHandle(&pendingMutex);
  return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

void CVirtHidSlotDataProcessor::UnlockPending() { SysReleaseMutex(&pendingMutex); }

size_t CVirtHidSlotDataProcessor::TakePendingReport(uint8_t* frame, ISlotSessionPort** through) {
  if (!pending || !session || slot == kDetached || pendingSize <= 2 || pendingSize > kMaxPointerFrame) return 0;
  memcpy(frame, pendingFrame, pendingSize);
  pending = false;
  *through = session.get();
  return pendingSize;
}

DWORD CVirtHidSlotDataProcessor::SenderEntry(void* self) {
  static_cast<CVirtHidSlotDataProcessor*>(self)->SenderThread();
  return 0;
}

void CVirtHidSlotDataProcessor::SenderThread() {
  while (running.load()) {
    wakeSender.Wait(periodMs.load());
    if (!running.load()) break;
    if (!LockPending()) break;
    uint8_t frame[kMaxPointerFrame];
    ISlotSessionPort* through = nullptr;
    const size_t size = TakePendingReport(frame, &through);
    UnlockPending();
    if (size) through->SendOnSlot(frame, static_cast<uint32_t>(size));
  }
  senderAlive.store(false);
}

// ---------------------------------------------------------------- LED report

int CVirtHidSlotDataProcessor::OnData(const uint8_t* data, uint32_t length) {
  if (!data) return length == 0xFFFFFFFFu ? 0 : -1;
  ByteReader in(data, length);
  const uint32_t kind = in.U32();
  const uint32_t size = in.U32();
  const uint32_t flags = in.U32();
  const uint32_t leds = in.U32();
  if (!in.Ok()) {
    LogMessageA("CVirtHidSlotDataProcessor::OnData: %u bytes are no LED report; ignored", length);
    return 0;
  }
  if (kind != kLedReportKind || size != kLedReportSize || !(flags & kLedValid)) return 0;
  // The LED bits are the lock bits; the next key brings the server back in
  // step with the local keyboard.
  rememberedLocks.store(static_cast<int32_t>(leds) & lockbit::kAll);
  return 0;
}

// ---------------------------------------------------------------- factory

void RegisterVirtHidProcessorMaker() {
  RegisterSlotProcessorMaker(slotname::kKeyboard, [](const SlotProcessorContext&) -> CSlotDataProcessor* {
    return new (std::nothrow) CVirtHidSlotDataProcessor;
  });
}
