// The smart-card calls of the API carried out with pcsclite's own entry
// points, which the caller resolves from the loaded library. Values cross
// in the wire's shapes (32-bit codes, states, protocols and control codes
// as the server numbers them; narrow text as UTF-8) and are translated here
// to pcsclite's: its 64-bit DWORD and LONG, its protocol and control-code
// numbers, its card-state bit mask, its 33-byte ATR, its auto-allocation
// marker and the error codes it numbers differently. Reader states and I/O
// requests are built in pcsclite's own layout.
//
// This file knows nothing of the platform layer's types, so that pcsclite's
// headers, which define DWORD and LONG of their own, stay inside one source.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pcscnative {

enum Fn {
  kEstablishContext,
  kReleaseContext,
  kIsValidContext,
  kListReaderGroups,
  kListReaders,
  kFreeMemory,
  kGetStatusChange,
  kCancel,
  kConnect,
  kReconnect,
  kDisconnect,
  kBeginTransaction,
  kEndTransaction,
  kStatus,
  kTransmit,
  kControl,
  kGetAttrib,
  kSetAttrib,
  kFnCount
};

// pcsclite's exported names, by Fn.
extern const char* const kFnNames[kFnCount];

// Wire (Windows-numbered) constants the translations use.
constexpr uint32_t kAutoAllocate = 0xFFFFFFFF;
constexpr uint32_t kWireProtocolRaw = 0x00010000;
constexpr uint32_t kWireProtocolDefault = 0x80000000;
constexpr uint32_t kUnsupportedFeature = 0x80100022;
constexpr uint32_t kInsufficientBuffer = 0x80100008;
constexpr uint32_t kNoMemory = 0x80100006;
constexpr uint32_t kInvalidParameter = 0x80100004;
constexpr uint32_t kCallNotImplemented = 120;  // ERROR_CALL_NOT_IMPLEMENTED
// pcsclite's MAX_BUFFER_SIZE_EXTENDED: the longest receive or control output
// buffer it takes (an extended APDU's reply).
constexpr uint32_t kMaxBufferExtended = 65548;

// How the caller wants an output buffer.
struct OutBuffer {
  enum Mode { kNone, kFixed, kAuto } mode = kNone;
  uint32_t size = 0;           // kFixed: the buffer's size
  std::vector<uint8_t> data;   // the bytes returned (kFixed, kAuto)
  uint32_t length = 0;         // the length the library returned
};

struct ReaderState {
  bool hasReader = false;
  std::string reader;  // UTF-8
  uint32_t currentState = 0;
  uint32_t eventState = 0;
  uint32_t cbAtr = 0;
  std::array<uint8_t, 36> atr{};
};

class Pcsc {
 public:
  void Set(Fn fn, void* symbol) { fns_[fn] = symbol; }
  bool Has(Fn fn) const { return fns_[fn] != nullptr; }
  void Clear() {
    for (void*& f : fns_) f = nullptr;
  }

  // Every call answers the wire code; a missing entry point answers 120.
  uint32_t EstablishContext(uint32_t scope, int64_t* context) const;
  uint32_t ReleaseContext(int64_t context) const;
  uint32_t Cancel(int64_t context) const;
  // Multi-strings come back with their terminators (UTF-8).
  uint32_t ListReaders(int64_t context, const std::string* groups, bool wantList, std::string* msz) const;
  uint32_t ListReaderGroups(int64_t context, bool wantList, std::string* msz) const;
  uint32_t GetStatusChange(int64_t context, uint32_t timeout, std::vector<ReaderState>& states) const;
  uint32_t Connect(int64_t context, const std::string& reader, uint32_t shareMode, uint32_t protocols,
                   int64_t* card, uint32_t* activeProtocol) const;
  uint32_t Reconnect(int64_t card, uint32_t shareMode, uint32_t protocols, uint32_t initialization,
                     uint32_t* activeProtocol) const;
  uint32_t Disconnect(int64_t card, uint32_t disposition) const;
  uint32_t BeginTransaction(int64_t card) const;
  uint32_t EndTransaction(int64_t card, uint32_t disposition) const;
  // names: UTF-8 multi-string with terminators; atr up to 33 bytes.
  uint32_t Status(int64_t card, std::string* names, uint32_t* state, uint32_t* protocol,
                  std::vector<uint8_t>* atr) const;
  uint32_t Transmit(int64_t card, uint32_t protocol, const std::vector<uint8_t>& extra, const uint8_t* send,
                    uint32_t sendLength, OutBuffer& recv) const;
  uint32_t Control(int64_t card, uint32_t controlCode, const uint8_t* in, uint32_t inLength, OutBuffer& out) const;
  uint32_t GetAttrib(int64_t card, uint32_t attrId, OutBuffer& out) const;
  uint32_t SetAttrib(int64_t card, uint32_t attrId, const uint8_t* data, uint32_t length) const;

  // Number translations, public for tests.
  static uint64_t ProtocolsToNative(uint32_t wire);
  static uint32_t ProtocolToWire(uint64_t native);
  static uint64_t ControlCodeToNative(uint32_t wire);
  static uint32_t CardStateToWire(uint64_t nativeMask);
  static uint32_t ErrorToWire(int64_t native);

 private:
  void* fns_[kFnCount] = {};
};

}  // namespace pcscnative
