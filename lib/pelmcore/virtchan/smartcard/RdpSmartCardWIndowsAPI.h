// The smart-card API over the platform's "winscard.dll", which on this
// platform is pcsclite loaded at run time (see PcscNative.h for the
// translations).
//
// Each context the server establishes is a native context, whose value the
// server sees and which serves every call but the status-change waits, and a
// set of native contexts for those waits, one per wait in progress (see
// StatusWaitContexts.h): pcsclite holds a context's lock for the whole of a
// wait and would otherwise block every other call on it, cancellation
// included. The wire's null context has a native context and a set of our
// own, established when first needed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CardDataCache.h"
#include "PcscNative.h"
#include "RdpSmartCardAPI.h"
#include "RdpScardStructs.h"
#include "StatusWaitContexts.h"
#include "pelplat/wintypes.h"

// Sets its event when the request is cancelled.
class CRdpCancelRequestByEvent : public CRdpCancelRequestPacket {
 public:
  CRdpCancelRequestByEvent();
  ~CRdpCancelRequestByEvent() override;
  uint32_t Cancel(IRdpScardRequest* request, uint32_t code) override;
  HANDLE Event() const { return event_; }

 private:
  HANDLE event_;
};

class CRdpSmartCardWIndowsAPI : public CRdpSmartCardAPI {
 public:
  // The library name is "winscard.dll"; tests pass another to model a
  // machine without one.
  explicit CRdpSmartCardWIndowsAPI(std::string libraryName = "winscard.dll");
  // A service given as its entry points instead of a library to load: a
  // scripted service that stands in for pcscd where none can run.
  explicit CRdpSmartCardWIndowsAPI(const pcscnative::Pcsc& service);
  ~CRdpSmartCardWIndowsAPI() override;

  int32_t AccessStartedEvent(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t EstablishContext(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ListReaders(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ListReaderGroups(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t HandleContext(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ContextAndString(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ContextAndTwoStringW(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ContextAndTwoStringA(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t HCardAndDisposition(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t GetStatusChangeW(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t GetStatusChangeA(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t LocateCardsByATRA(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t LocateCardsByATRW(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ConnectA(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ConnectW(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t Reconnect(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t GetTransmitCount(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t Transmit(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t Control(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t Status(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t State(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t GetAttrib(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t SetAttrib(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t ReadCache(IRdpScardDevice* device, IRdpScardRequest* request) override;
  int32_t WriteCache(IRdpScardDevice* device, IRdpScardRequest* request) override;
  bool Init() override;
  bool StopAll() override;
  void Accept(IRdpScardRequest* request) override;
  void Drop(IRdpScardRequest* request) override;

  bool LoadLibrary();
  // 0 the service has started, 1 stopped, 2 the extra event, 0x102 after
  // 40 s, 0xFFFFFFFF when the wait failed; or an error code.
  uint32_t WaitStartedEvent(HANDLE extraEvent);

  // The binding table: every function the server's calls name, and the
  // pcsclite entry point that serves it (none where pcsclite has none; the
  // API itself serves the transmit count and the card cache).
  struct Binding {
    const char* name;
    int native;  // a pcscnative::Fn, or -1
  };
  static const Binding kBindingTable[];
  static const size_t kBindingCount;

  // What an IoStatus carries for a decoding or encoding failure: the code as
  // a failure status of the device I/O layer.
  static uint32_t IoStatusOf(uint32_t marshalError);

  // Status-change waits between taking a native context and giving it back.
  size_t StatusWaitsInProgress();

 private:
  struct NativePair {
    int64_t main = 0;
    // Null for a value the registry does not hold, which goes to the
    // service as it is and has no waits of ours.
    std::shared_ptr<StatusWaitContexts> waits;
  };

  // A status-change wait reserved when its request was accepted.
  struct Reservation {
    std::shared_ptr<StatusWaitContexts> waits;
    uint64_t id = 0;
  };
  Reservation TakeReservation(IRdpScardRequest* request);
  template <class CharT>
  void Reserve(IRdpScardRequest* request);

  uint32_t CheckContext(uint32_t* context, const rdpesc::REDIR_SCARDCONTEXT& c);
  static uint32_t CheckHandle(uint32_t* card, const rdpesc::REDIR_SCARDHANDLE& h);
  uint32_t CheckCardThenContext(uint32_t* card, const rdpesc::REDIR_SCARDHANDLE& h);
  bool RegisterContext(uint32_t context, NativePair pair);
  bool UnregisterContext(uint32_t context, NativePair* pair);
  // The native contexts for a wire context (0: our own pair); false when
  // the null pair cannot be established, or no more after StopAll.
  bool Native(uint32_t context, NativePair* pair, uint32_t* error);
  NativePair NewPair(uint32_t scope, uint32_t* error);
  // Ends the pair's waits, then releases its context; that release's result.
  uint32_t ReleasePair(const NativePair& pair);

  int32_t CompleteLongReturn(IRdpScardDevice* device, IRdpScardRequest* request, uint32_t returnCode);
  int32_t CompleteMultiString(IRdpScardDevice* device, IRdpScardRequest* request, uint32_t returnCode,
                              const uint8_t* data, uint32_t length);
  int32_t CompleteReaderStates(uint32_t returnCode, const std::vector<pcscnative::ReaderState>& states,
                               IRdpScardDevice* device, IRdpScardRequest* request);
  template <class T>
  int32_t CompleteWith(IRdpScardDevice* device, IRdpScardRequest* request, const T& reply);
  template <class CharT>
  int32_t GetStatusChange(IRdpScardDevice* device, IRdpScardRequest* request);
  template <class CharT>
  int32_t LocateCardsByATR(IRdpScardDevice* device, IRdpScardRequest* request);
  template <class CharT>
  int32_t Connect(IRdpScardDevice* device, IRdpScardRequest* request);
  template <class CharT>
  int32_t ContextAndTwoString(IRdpScardDevice* device, IRdpScardRequest* request);
  int32_t MultiStringOperation(IRdpScardDevice* device, IRdpScardRequest* request, bool readers);

  // What the API keeps for the calls pcsclite has no counterpart of: the
  // card data cache of each context and the successful transmissions on
  // each card handle since its connect.
  struct CardRecord {
    uint32_t context = 0;
    uint32_t transmits = 0;
  };
  void RememberCard(uint32_t card, uint32_t context);
  void ForgetCard(uint32_t card);
  void CountTransmit(uint32_t card);
  // A released context's cache and cards go with it.
  void ForgetContextData(uint32_t context);

  std::string libraryName_;
  HANDLE stopEvent_;
  HMODULE library_ = nullptr;
  bool haveService_ = false;  // a library loaded or a service given
  pcscnative::Pcsc pcsc_;
  std::recursive_mutex mutex_;
  std::vector<uint32_t> registry_;
  std::map<uint32_t, NativePair> natives_;
  std::map<IRdpScardRequest*, Reservation> reserved_;
  std::map<uint32_t, CardDataCache> caches_;
  std::map<uint32_t, CardRecord> cards_;
  bool haveNullPair_ = false;
  NativePair nullPair_;
  bool stopped_ = false;
};
