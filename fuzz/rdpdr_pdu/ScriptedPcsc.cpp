#include "ScriptedPcsc.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace scriptedpcsc {
namespace {

struct Script {
  std::mutex mutex;
  std::vector<uint8_t> bytes;
  size_t at = 0;
  SCARDCONTEXT nextContext = kFirstContext;
  SCARDHANDLE nextCard = kFirstCard;
} script;

// Under the script's lock.
uint8_t Byte() { return script.at < script.bytes.size() ? script.bytes[script.at++] : 0; }
uint32_t U32() {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{Byte()} << (8 * i);
  return v;
}

LONG Result() {
  static const LONG kErrors[] = {SCARD_E_TIMEOUT,        SCARD_E_CANCELLED,        SCARD_E_NO_SMARTCARD,
                                 SCARD_E_UNKNOWN_READER, SCARD_E_INVALID_HANDLE,   SCARD_W_REMOVED_CARD,
                                 SCARD_E_NO_SERVICE,     SCARD_E_NOT_TRANSACTED};
  const uint8_t b = Byte();
  return b >= 0xF8 ? kErrors[b - 0xF8] : SCARD_S_SUCCESS;
}

// Fills n bytes with a pattern that starts at a scripted byte.
void Pattern(uint8_t* out, size_t n) {
  uint8_t v = Byte();
  for (size_t i = 0; i < n; ++i) out[i] = v++;
}

// A scripted length up to max.
DWORD LengthUpTo(DWORD max) { return max == 0 ? 0 : U32() % (max + 1); }

// Up to three names of scripted bytes (never NUL, high bytes included, so
// that the wide replies meet text that is not UTF-8), as a multi-string.
std::string Names() {
  std::string msz;
  const int count = Byte() % 4;
  for (int i = 0; i < count; ++i) {
    const int length = 1 + Byte() % 24;
    for (int c = 0; c < length; ++c) {
      const uint8_t b = Byte();
      msz.push_back(static_cast<char>(b ? b : 'R'));
    }
    msz.push_back('\0');
  }
  msz.push_back('\0');
  return msz;
}

// pcsclite's three ways of returning a multi-string: the length only, an
// allocation of its own, or the caller's buffer.
LONG GiveMultiString(LPSTR out, LPDWORD length) {
  const std::string msz = Names();
  const DWORD n = static_cast<DWORD>(msz.size());
  if (!out) {
    *length = n;
    return SCARD_S_SUCCESS;
  }
  if (*length == SCARD_AUTOALLOCATE) {
    char* p = static_cast<char*>(std::malloc(n));
    if (!p) return SCARD_E_NO_MEMORY;
    std::memcpy(p, msz.data(), n);
    *reinterpret_cast<char**>(out) = p;
    *length = n;
    return SCARD_S_SUCCESS;
  }
  const DWORD room = *length;
  *length = n;
  if (room < n) return SCARD_E_INSUFFICIENT_BUFFER;
  std::memcpy(out, msz.data(), n);
  return SCARD_S_SUCCESS;
}

LONG Establish(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv == SCARD_S_SUCCESS) *context = script.nextContext++;
  return rv;
}

LONG OnContext(SCARDCONTEXT) {
  std::lock_guard<std::mutex> lock(script.mutex);
  return Result();
}

LONG ListGroups(SCARDCONTEXT, LPSTR groups, LPDWORD length) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  return rv == SCARD_S_SUCCESS ? GiveMultiString(groups, length) : rv;
}

LONG ListReaders(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD length) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  return rv == SCARD_S_SUCCESS ? GiveMultiString(readers, length) : rv;
}

LONG FreeMemory(SCARDCONTEXT, LPCVOID memory) {
  std::free(const_cast<void*>(memory));
  return SCARD_S_SUCCESS;
}

LONG StatusChange(SCARDCONTEXT, DWORD, SCARD_READERSTATE* states, DWORD count) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv != SCARD_S_SUCCESS) return rv;
  for (DWORD i = 0; i < count; ++i) {
    states[i].dwEventState = U32();
    states[i].cbAtr = Byte() % (MAX_ATR_SIZE + 1);
    Pattern(states[i].rgbAtr, states[i].cbAtr);
  }
  return rv;
}

LONG Connect(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE card, LPDWORD active) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv != SCARD_S_SUCCESS) return rv;
  *card = script.nextCard++;
  *active = DWORD{1} << (Byte() % 3);
  return rv;
}

LONG Reconnect(SCARDHANDLE, DWORD, DWORD, DWORD, LPDWORD active) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv == SCARD_S_SUCCESS) *active = DWORD{1} << (Byte() % 3);
  return rv;
}

LONG OnCard(SCARDHANDLE) {
  std::lock_guard<std::mutex> lock(script.mutex);
  return Result();
}

LONG OnCardWith(SCARDHANDLE, DWORD) {
  std::lock_guard<std::mutex> lock(script.mutex);
  return Result();
}

LONG Status(SCARDHANDLE, LPSTR names, LPDWORD namesLength, LPDWORD state, LPDWORD protocol, LPBYTE atr,
            LPDWORD atrLength) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv != SCARD_S_SUCCESS) return rv;
  // Names of any length the 8-bit form can hold; too long for the buffer
  // is pcsclite's insufficient buffer with the length it needs.
  const DWORD n = 1 + U32() % 2100;
  const DWORD room = *namesLength;
  *namesLength = n;
  if (names && room < n) return SCARD_E_INSUFFICIENT_BUFFER;
  if (names) {
    Pattern(reinterpret_cast<uint8_t*>(names), n);
    names[n - 1] = '\0';
  }
  *state = U32();
  *protocol = U32();
  const DWORD a = std::min<DWORD>(Byte() % (MAX_ATR_SIZE + 1), *atrLength);
  Pattern(atr, a);
  *atrLength = a;
  return rv;
}

LONG Transmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE recv,
              LPDWORD recvLength) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv != SCARD_S_SUCCESS) return rv;
  *recvLength = recv ? LengthUpTo(*recvLength) : 0;
  if (recv) Pattern(recv, *recvLength);
  return rv;
}

LONG Control(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID out, DWORD outLength, LPDWORD returned) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv != SCARD_S_SUCCESS) return rv;
  *returned = out ? LengthUpTo(outLength) : 0;
  if (out) Pattern(static_cast<uint8_t*>(out), *returned);
  return rv;
}

LONG GetAttrib(SCARDHANDLE, DWORD, LPBYTE attr, LPDWORD length) {
  std::lock_guard<std::mutex> lock(script.mutex);
  const LONG rv = Result();
  if (rv != SCARD_S_SUCCESS) return rv;
  *length = LengthUpTo(*length);
  if (attr) Pattern(attr, *length);
  return rv;
}

LONG SetAttrib(SCARDHANDLE, DWORD, LPCBYTE, DWORD) {
  std::lock_guard<std::mutex> lock(script.mutex);
  return Result();
}

// Each stand-in has pcsclite's own type, so the API calls it as it would
// call pcsclite (whose library is never linked: only its type is named).
template <class Theirs, class Mine>
void* Entry(Mine mine) {
  static_assert(std::is_same<Mine, Theirs>::value, "pcsclite's signature");
  return reinterpret_cast<void*>(mine);
}

}  // namespace

void Begin(const uint8_t* bytes, size_t size) {
  std::lock_guard<std::mutex> lock(script.mutex);
  script.bytes.assign(bytes, bytes + size);
  script.at = 0;
  script.nextContext = kFirstContext;
  script.nextCard = kFirstCard;
}

pcscnative::Pcsc Service() {
  using namespace pcscnative;
  Pcsc pcsc;
  pcsc.Set(kEstablishContext, Entry<decltype(&::SCardEstablishContext)>(&Establish));
  pcsc.Set(kReleaseContext, Entry<decltype(&::SCardReleaseContext)>(&OnContext));
  pcsc.Set(kIsValidContext, Entry<decltype(&::SCardIsValidContext)>(&OnContext));
  pcsc.Set(kListReaderGroups, Entry<decltype(&::SCardListReaderGroups)>(&ListGroups));
  pcsc.Set(kListReaders, Entry<decltype(&::SCardListReaders)>(&ListReaders));
  pcsc.Set(kFreeMemory, Entry<decltype(&::SCardFreeMemory)>(&FreeMemory));
  pcsc.Set(kGetStatusChange, Entry<decltype(&::SCardGetStatusChange)>(&StatusChange));
  pcsc.Set(kCancel, Entry<decltype(&::SCardCancel)>(&OnContext));
  pcsc.Set(kConnect, Entry<decltype(&::SCardConnect)>(&Connect));
  pcsc.Set(kReconnect, Entry<decltype(&::SCardReconnect)>(&Reconnect));
  pcsc.Set(kDisconnect, Entry<decltype(&::SCardDisconnect)>(&OnCardWith));
  pcsc.Set(kBeginTransaction, Entry<decltype(&::SCardBeginTransaction)>(&OnCard));
  pcsc.Set(kEndTransaction, Entry<decltype(&::SCardEndTransaction)>(&OnCardWith));
  pcsc.Set(kStatus, Entry<decltype(&::SCardStatus)>(&Status));
  pcsc.Set(kTransmit, Entry<decltype(&::SCardTransmit)>(&Transmit));
  pcsc.Set(kControl, Entry<decltype(&::SCardControl)>(&Control));
  pcsc.Set(kGetAttrib, Entry<decltype(&::SCardGetAttrib)>(&GetAttrib));
  pcsc.Set(kSetAttrib, Entry<decltype(&::SCardSetAttrib)>(&SetAttrib));
  return pcsc;
}

}  // namespace scriptedpcsc
