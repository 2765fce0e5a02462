// The processor of the virtual keyboard and pointer slot "VIRTHID ": it
// keeps the server's lock keys in step with the local ones, turns set-1 scan
// codes into set-2 key frames sent at once, and sends pointer frames either
// at once or, for moves, paced by a sender thread that sends only the latest
// move of each period. The server reports its keyboard LEDs on the slot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pelplat/wintypes.h"
#include "session/SlotDataProcessor.h"
#include "sys/_synchro.h"

class ByteReader;

// A key from the local side: a set-1 scan code (0x100 added for E0 keys,
// 0x80 set on release) and the local lock keys at that moment.
struct KeyInputRecord {
  static constexpr uint32_t kSize = 8;
  int32_t scanCode = 0;
  int32_t lockBits = 0;
  static KeyInputRecord Read(ByteReader& in);
};

// Lock bits of KeyInputRecord and of the remembered server state.
namespace lockbit {
constexpr int32_t kScroll = 1;
constexpr int32_t kNum = 2;
constexpr int32_t kCaps = 4;
constexpr int32_t kAll = kScroll | kNum | kCaps;
}  // namespace lockbit

// A pointer event from the local side, seven i32 in this order.
struct PointerInputRecord {
  static constexpr uint32_t kSize = 28;
  int32_t buttons = 0;  // buttons low 16 bits, wheel delta high 16 bits
  int32_t x = 0;
  int32_t y = 0;
  int32_t moveFlag = 0;
  int32_t yOffset = 0;
  int32_t xOffset = 0;
  int32_t display = 0;
  static PointerInputRecord Read(ByteReader& in);
};

class CVirtHidSlotDataProcessor : public CSlotDataProcessor {
 public:
  static constexpr uint16_t kKeyFrameKind = 2;
  static constexpr uint16_t kPointerFrameKind = 3;
  static constexpr DWORD kConfiguredPeriodMs = 30;
  static constexpr DWORD kWanPeriodMs = 50;
  // OnClientData's answer for a lock key: the lock sync stands in for it.
  static constexpr int kSwallowed = 7;
  // The largest pointer frame that may be sent.
  static constexpr size_t kMaxPointerFrame = 32;

  CVirtHidSlotDataProcessor();
  ~CVirtHidSlotDataProcessor() override;
  int OnData(const uint8_t* data, uint32_t length) override;
  int OnClientData(const void* record, uint32_t length) override;
  void AttachPort(uint16_t slot, std::unique_ptr<ISlotSessionPort> port) override;
  void OnActivate(int value) override;

  int OnKey(const KeyInputRecord& key);
  void OnPointer(const PointerInputRecord& pointer);
  // Sends one key code as a key frame; false when nothing was sent.
  bool SendKey(int32_t code);
  // How long the sender lets pointer moves gather before it sends the last.
  DWORD PeriodMs() const { return periodMs.load(); }

  // Set 2 to set 1; 0xFF where a set-2 code has no set-1 code.
  static const uint8_t ScanCodeSet2ToSet1[256];
  // Set 1 to set 2, built from the table above (0 where none).
  static const uint8_t* ScanCodeSet1ToSet2();

  // How many sender threads this processor has started in its life: one
  // runs at a time, and attaches while it runs start no other.
  unsigned SenderStarts() const { return senderStarts.load(); }

  CVirtHidSlotDataProcessor(const CVirtHidSlotDataProcessor&) = delete;
  CVirtHidSlotDataProcessor& operator=(const CVirtHidSlotDataProcessor&) = delete;

 private:
  enum Modifier : uint32_t { kLeftCtrl = 1, kRightCtrl = 2, kLeftShift = 4, kRightShift = 8 };

  static DWORD SenderEntry(void* self);
  void SenderThread();
  void StartSender();
  bool LockPending();
  void UnlockPending();
  // With the pending mutex held: moves the pending frame into `frame` and
  // answers its byte count (0 when there is none to send) and the port to
  // send it through, which stays while the processor does.
  size_t TakePendingReport(uint8_t* frame, ISlotSessionPort** through);
  void SendFrame(const uint8_t* frame, size_t size);
  bool IsHeld(uint32_t mask) const { return (modifiers.load() & mask) != 0; }
  void SetModifier(Modifier which, bool down);

  // Touched by the input path, the LED report (connection thread) and
  // OnActivate without a common lock.
  std::atomic<int32_t> rememberedLocks{0};
  std::atomic<uint32_t> modifiers{0};

  // Guarded by pendingMutex, like the base's port and slot fields, which
  // the sender thread reads.
  uint8_t pendingFrame[kMaxPointerFrame] = {};
  size_t pendingSize = 0;
  bool pending = false;
  HANDLE pendingMutex = nullptr;

  std::atomic<DWORD> periodMs{kConfiguredPeriodMs};
  std::atomic<bool> running{true};
  // Set while a sender thread runs its loop; it may end on its own.
  std::atomic<bool> senderAlive{false};
  std::atomic<unsigned> senderStarts{0};
  // Only Attach and the destructor touch the handle, never at the same time.
  HANDLE senderThread = nullptr;
  CxEvent wakeSender;  // auto-reset
};

// Makes the session client create this processor for "VIRTHID " slots.
void RegisterVirtHidProcessorMaker();
