// The smart-card API against a real smart-card service: pcscd with the
// virtual reader driver, started by pcsc_rig.sh, and a virtual ISO 7816 card
// that the test inserts by starting vicc.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "RdpSmartCardWIndowsAPI.h"
#include "ScardApiSupport.h"
#include "ScardSamples.h"
#include "../support/VirtualCard.h"
#include "pelplat/utf16.h"

extern char** environ;

using namespace rdpesc;
using namespace scardsamples;

namespace {

constexpr uint32_t kStatePresent = 0x0020;
constexpr uint32_t kStateChanged = 0x0002;
constexpr uint32_t kStateAtrMatch = 0x0040;
constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kCancelled = 0x80100002;
constexpr uint32_t kServiceStopped = 0x8010001E;
// Generous: CI is a loaded machine and these tests run under sanitizers.
constexpr std::chrono::seconds kBound(60);
constexpr uint32_t kShareShared = 2;
constexpr uint32_t kProtocolsT0T1 = 3;
constexpr uint32_t kAttrAtrString = 0x00090303;

// Runs a call that must not block for good; one that does not return within
// the bound ends the program at once, naming the call, rather than leaving
// the test to its time limit.
void Bounded(const char* what, const std::function<void()>& call) {
  std::promise<void> returned;
  std::future<void> done = returned.get_future();
  std::thread thread([&] {
    call();
    returned.set_value();
  });
  if (done.wait_for(kBound) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(kBound.count()));
    std::abort();
  }
  thread.join();
}

// Waits, within the bound, for a state that other threads bring about.
bool Eventually(const std::function<bool()>& reached) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!reached()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

uint32_t ReturnOf(const Completion& c) {
  GetStatusChange_Return r;
  EXPECT_TRUE(c.withData) << "the wait did not complete with a reply";
  if (!c.withData || NdrDecode(c.data.data(), c.data.size(), r) != 0) return 0xFFFFFFFF;
  return r.ReturnCode;
}

// Declared after the requests of a test, so that a test that stops early
// ends their waits before their threads are joined.
struct StopBeforeJoining {
  CRdpSmartCardAPI& api;
  ~StopBeforeJoining() { api.StopAll(); }
};

class SmartCardApiOnPcsc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PELLUM_VICC")) GTEST_SKIP() << "runs inside pcsc_rig.sh";
    api.Init();
  }
  // As the device does before it deletes the API.
  void TearDown() override { api.StopAll(); }

  uint32_t Establish() {
    EstablishContext_Call call;
    call.dwScope = 2;
    const EstablishContext_Return r =
        RunCall<EstablishContext_Return>(*on_, &CRdpSmartCardAPI::EstablishContext, scardioctl::kEstablishContext, call);
    EXPECT_EQ(r.ReturnCode, 0u);
    EXPECT_EQ(r.Context.cbContext, 4u);
    return r.Context.pbContext.bytes.size() == 4 ? ValueOf(r.Context.pbContext) : 0;
  }
  static uint32_t ValueOf(const NdrBlob& b) {
    return b.bytes[0] | (b.bytes[1] << 8) | (b.bytes[2] << 16) | (uint32_t(b.bytes[3]) << 24);
  }
  uint32_t Validity(uint32_t context) {
    Context_Call c;
    c.Context = Context(context);
    return RunCall<Long_Return>(*on_, &CRdpSmartCardAPI::HandleContext, scardioctl::kIsValidContext, c).ReturnCode;
  }
  ListReaders_Return List(const REDIR_SCARDCONTEXT& context, uint32_t code, uint32_t cch) {
    ListReaders_Call c;
    c.Context = context;
    c.cchReaders = cch;
    return RunCall<ListReaders_Return>(*on_, &CRdpSmartCardAPI::ListReaders, code, c);
  }
  std::string FirstReader(uint32_t context) {
    const ListReaders_Return r = List(Context(context), scardioctl::kListReadersA, kInfinite);
    EXPECT_EQ(r.ReturnCode, 0u);
    return r.msz.present ? std::string(reinterpret_cast<const char*>(r.msz.bytes.data())) : std::string();
  }
  // The reader's state now, as the service reports it.
  uint32_t StateOf(uint32_t context, const std::string& reader) {
    const GetStatusChange_Return r = RunCall<GetStatusChange_Return>(
        *on_, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA, WaitCall(context, reader, 0, 0));
    EXPECT_EQ(r.ReturnCode, 0u);
    return r.rgReaderStates.items.empty() ? 0 : r.rgReaderStates.items[0].dwEventState & ~kStateChanged;
  }
  static GetStatusChangeA_Call WaitCall(uint32_t context, const std::string& reader, uint32_t current,
                                        uint32_t timeout) {
    GetStatusChangeA_Call c = StatusChangeA({reader}, timeout);
    c.Context = context ? Context(context) : REDIR_SCARDCONTEXT();  // 0: the null context
    c.rgReaderStates.items[0].Common.dwCurrentState = current;
    return c;
  }
  static Long_Return LongOf(const Completion& c) {
    Long_Return r;
    EXPECT_TRUE(c.withData);
    EXPECT_EQ(NdrDecode(c.data.data(), c.data.size(), r), 0u);
    return r;
  }
  // A cancel or release, which must not block for good.
  uint32_t OnContext(uint32_t code, uint32_t context) {
    Context_Call c;
    c.Context = Context(context);
    Long_Return r;
    Bounded("a context call", [&] { r = RunCall<Long_Return>(*on_, &CRdpSmartCardAPI::HandleContext, code, c); });
    return r.ReturnCode;
  }
  Transmit_Return Send(const REDIR_SCARDHANDLE& card, uint32_t protocol, const std::vector<uint8_t>& apdu,
                       uint32_t recvLength = 258, bool recvIsNull = false) {
    Transmit_Call t;
    t.hCard = card;
    t.ioSendPci.dwProtocol = protocol;
    t.cbSendLength = static_cast<uint32_t>(apdu.size());
    t.pbSendBuffer = NdrBlob::Of(apdu.data(), apdu.size());
    t.fpbRecvBufferIsNULL = recvIsNull ? 1 : 0;
    t.cbRecvLength = recvLength;
    return RunCall<Transmit_Return>(*on_, &CRdpSmartCardAPI::Transmit, scardioctl::kTransmit, t);
  }
  uint32_t TransmitCount(const REDIR_SCARDHANDLE& card, uint32_t* count) {
    GetTransmitCount_Call c;
    c.hCard = card;
    const GetTransmitCount_Return r =
        RunCall<GetTransmitCount_Return>(*on_, &CRdpSmartCardAPI::GetTransmitCount, scardioctl::kGetTransmitCount, c);
    *count = r.value;
    return r.ReturnCode;
  }
  // The reader's state as LocateCardsByATR reports it for one mask.
  LocateCards_Return Locate(uint32_t context, const std::string& reader, bool wide, const std::vector<uint8_t>& atr,
                            const std::vector<uint8_t>& mask, uint32_t current) {
    LocateCards_ATRMask m;
    m.cbAtr = static_cast<uint32_t>(atr.size());
    std::copy(atr.begin(), atr.end(), m.rgbAtr.begin());
    std::copy(mask.begin(), mask.end(), m.rgbMask.begin());
    if (wide) {
      return RunCall<LocateCards_Return>(*on_, &CRdpSmartCardAPI::LocateCardsByATRW, scardioctl::kLocateCardsByAtrW,
                                         LocateCall<LocateCardsByATRW_Call>(context, m, Utf8ToUtf16(reader), current));
    }
    return RunCall<LocateCards_Return>(*on_, &CRdpSmartCardAPI::LocateCardsByATRA, scardioctl::kLocateCardsByAtrA,
                                       LocateCall<LocateCardsByATRA_Call>(context, m, reader, current));
  }
  template <class Call, class Text>
  static Call LocateCall(uint32_t context, const LocateCards_ATRMask& mask, const Text& reader, uint32_t current) {
    Call c;
    c.Context = Context(context);
    c.cAtrs = 1;
    c.rgAtrMasks.present = true;
    c.rgAtrMasks.items = {mask};
    c.cReaders = 1;
    c.rgReaderStates.present = true;
    c.rgReaderStates.items.resize(1);
    c.rgReaderStates.items[0].szReader.present = true;
    c.rgReaderStates.items[0].szReader.text = reader;
    c.rgReaderStates.items[0].Common.dwCurrentState = current;
    return c;
  }
  uint32_t Cancel(uint32_t context) {
    Context_Call c;
    c.Context = context ? Context(context) : REDIR_SCARDCONTEXT();  // 0: the null context
    Long_Return r;
    Bounded("a cancel", [&] { r = RunCall<Long_Return>(*on_, &CRdpSmartCardAPI::HandleContext, scardioctl::kCancel, c); });
    return r.ReturnCode;
  }

  CRdpSmartCardWIndowsAPI api;
  // The API the helpers above talk to.
  CRdpSmartCardWIndowsAPI* on_ = &api;
};

// A request running on a thread of its own, as the device runs the
// blocking control codes.
class Pending {
 public:
  Pending(CRdpSmartCardAPI& api, ScardOp op, uint32_t code, std::vector<uint8_t> input)
      : request_(code, std::move(input)), thread_([this, &api, op] { (api.*op)(&device_, &request_); }) {}
  // Accepted as the device accepts it, then `meanwhile` runs before the
  // request's own thread starts.
  Pending(CRdpSmartCardAPI& api, ScardOp op, uint32_t code, std::vector<uint8_t> input,
          const std::function<void()>& meanwhile)
      : request_(code, std::move(input)) {
    api.Accept(&request_);
    meanwhile();
    thread_ = std::thread([this, &api, op] { (api.*op)(&device_, &request_); });
  }
  ~Pending() { thread_.join(); }
  Completion Wait(std::chrono::seconds bound = kBound) { return device_.WaitFor(&request_, bound); }
  bool Done() { return device_.Done(&request_); }

 private:
  FakeDevice device_;
  FakeRequest request_;
  std::thread thread_;
};

}  // namespace

TEST_F(SmartCardApiOnPcsc, ACardAppearsAndAnswersItsCommands) {
  const uint32_t context = Establish();
  EXPECT_EQ(Validity(context), 0u);
  EXPECT_EQ(Validity(context ^ 0x5A5A5A5A), 0x80100004u);

  const std::string reader = FirstReader(context);
  ASSERT_NE(reader.find("Virtual PCD"), std::string::npos) << reader;

  // The wide list is the same list in UTF-16, its length in bytes.
  const ListReaders_Return a = List(Context(context), scardioctl::kListReadersA, kInfinite);
  const ListReaders_Return w = List(Context(context), scardioctl::kListReadersW, kInfinite);
  ASSERT_EQ(w.ReturnCode, 0u);
  EXPECT_EQ(w.cBytes, 2 * a.cBytes);
  EXPECT_EQ(Utf16ToUtf8(reinterpret_cast<const char16_t*>(w.msz.bytes.data()), w.cBytes / 2),
            std::string(a.msz.bytes.begin(), a.msz.bytes.end()));
  // Length only: a zero-filled block of the length the list needs.
  const ListReaders_Return length = List(Context(context), scardioctl::kListReadersA, 0);
  EXPECT_EQ(length.ReturnCode, 0u);
  EXPECT_EQ(length.cBytes, a.cBytes);
  EXPECT_EQ(length.msz.bytes, std::vector<uint8_t>(a.cBytes, 0));
  // A context of 8 bytes lists with the null context.
  REDIR_SCARDCONTEXT eight;
  eight.cbContext = 8;
  eight.pbContext = NdrBlob::Of("12345678", 8);
  EXPECT_EQ(List(eight, scardioctl::kListReadersA, kInfinite).msz, a.msz);

  // Wait for the card, then insert it.
  const uint32_t empty = StateOf(context, reader);
  EXPECT_FALSE(empty & kStatePresent);
  Pending wait(api, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA,
               Encoded(WaitCall(context, reader, empty, kInfinite)));
  VirtualCard card;
  ASSERT_TRUE(card.Insert());
  const Completion seen = wait.Wait();
  if (!seen.done) api.StopAll();  // ends the wait so the thread can be joined
  ASSERT_TRUE(seen.withData);
  GetStatusChange_Return change;
  ASSERT_EQ(NdrDecode(seen.data.data(), seen.data.size(), change), 0u);
  ASSERT_EQ(change.ReturnCode, 0u);
  ASSERT_EQ(change.cReaders, 1u);
  const ReaderState_Return& state = change.rgReaderStates.items[0];
  EXPECT_TRUE(state.dwEventState & kStatePresent);
  ASSERT_GT(state.cbAtr, 0u);
  const std::vector<uint8_t> atr(state.rgbAtr.begin(), state.rgbAtr.begin() + state.cbAtr);

  ConnectA_Call connect;
  connect.szReader = NdrStrA::Of(reader);
  connect.Common.Context = Context(context);
  connect.Common.dwShareMode = kShareShared;
  connect.Common.dwPreferredProtocols = kProtocolsT0T1;
  const Connect_Return connected =
      RunCall<Connect_Return>(api, &CRdpSmartCardAPI::ConnectA, scardioctl::kConnectA, connect);
  ASSERT_EQ(connected.ReturnCode, 0u);
  EXPECT_EQ(connected.hCard.Context, Context(context));
  ASSERT_EQ(connected.hCard.cbHandle, 4u);
  EXPECT_NE(connected.dwActiveProtocol, 0u);
  const REDIR_SCARDHANDLE& hCard = connected.hCard;

  const std::vector<uint8_t> selectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  const Transmit_Return mf = Send(hCard, connected.dwActiveProtocol, selectMf);
  ASSERT_EQ(mf.ReturnCode, 0u);
  EXPECT_EQ(mf.pbRecvBuffer.bytes, (std::vector<uint8_t>{0x90, 0x00}));
  // Receive buffers pcsclite would refuse as they are: each is asked for
  // with the largest it takes.
  const struct {
    const char* what;
    uint32_t length;
    bool isNull;
    std::vector<uint8_t> reply;
  } buffers[] = {
      {"allocated", kInfinite, false, {0x90, 0x00}},
      {"none", 258, true, {0, 0}},  // the length only
      {"beyond pcsclite's largest", 65549, false, {0x90, 0x00}},
      {"the wire's largest", kMaxIoBytes, false, {0x90, 0x00}},
  };
  for (const auto& b : buffers) {
    SCOPED_TRACE(b.what);
    const Transmit_Return r = Send(hCard, connected.dwActiveProtocol, selectMf, b.length, b.isNull);
    ASSERT_EQ(r.ReturnCode, 0u);
    EXPECT_EQ(r.cbRecvLength, 2u);
    EXPECT_EQ(r.pbRecvBuffer.bytes, b.reply);
  }
  const Transmit_Return absent = Send(hCard, connected.dwActiveProtocol,
                                      {0x00, 0xA4, 0x04, 0x0C, 0x07, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x99, 0x01});
  ASSERT_EQ(absent.ReturnCode, 0u);
  EXPECT_EQ(absent.pbRecvBuffer.bytes, (std::vector<uint8_t>{0x6A, 0x82}));

  for (const uint32_t code : {scardioctl::kStatusA, scardioctl::kStatusW}) {
    SCOPED_TRACE(code);
    Status_Call s;
    s.hCard = hCard;
    s.cchReaderLen() = kInfinite;
    s.cbAtrLen() = 32;
    const Status_Return st = RunCall<Status_Return>(api, &CRdpSmartCardAPI::Status, code, s);
    ASSERT_EQ(st.ReturnCode, 0u);
    const std::string names = code == scardioctl::kStatusA
                                  ? std::string(st.mszReaderNames.bytes.begin(), st.mszReaderNames.bytes.end())
                                  : Utf16ToUtf8(reinterpret_cast<const char16_t*>(st.mszReaderNames.bytes.data()),
                                                st.cBytes / 2);
    EXPECT_EQ(names.substr(0, reader.size()), reader);
    EXPECT_EQ(st.dwState, 6u);  // specific: the protocol is set
    EXPECT_EQ(st.dwProtocol, connected.dwActiveProtocol);
    EXPECT_EQ(std::vector<uint8_t>(st.pbAtr.begin(), st.pbAtr.begin() + st.cbAtrLen), atr);
  }

  GetAttrib_Call attr;
  attr.hCard = hCard;
  attr.dwAttrId() = kAttrAtrString;
  attr.cbAttrLen() = kInfinite;
  const GetAttrib_Return got = RunCall<GetAttrib_Return>(api, &CRdpSmartCardAPI::GetAttrib, scardioctl::kGetAttrib, attr);
  ASSERT_EQ(got.ReturnCode, 0u);
  EXPECT_EQ(got.pb.bytes, atr);
  attr.fpbAttrIsNULL() = 1;
  const GetAttrib_Return size = RunCall<GetAttrib_Return>(api, &CRdpSmartCardAPI::GetAttrib, scardioctl::kGetAttrib, attr);
  ASSERT_EQ(size.ReturnCode, 0u);
  EXPECT_EQ(size.pb.bytes, std::vector<uint8_t>(atr.size(), 0));
  // One the reader does not have: pcsclite's code for it, in Windows numbers.
  attr.dwAttrId() = 0x0007A007;  // SCARD_ATTR_MAXINPUT
  EXPECT_EQ(RunCall<GetAttrib_Return>(api, &CRdpSmartCardAPI::GetAttrib, scardioctl::kGetAttrib, attr).ReturnCode,
            0x80100022u);

  HCardAndDisposition_Call transaction;
  transaction.hCard = hCard;
  for (const uint32_t code : {scardioctl::kBeginTransaction, scardioctl::kEndTransaction}) {
    EXPECT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HCardAndDisposition, code, transaction).ReturnCode, 0u)
        << code;
  }
  Reconnect_Call reconnect;
  reconnect.hCard = hCard;
  reconnect.dwShareMode() = kShareShared;
  reconnect.dwPreferredProtocols() = kProtocolsT0T1;
  const Reconnect_Return again =
      RunCall<Reconnect_Return>(api, &CRdpSmartCardAPI::Reconnect, scardioctl::kReconnect, reconnect);
  EXPECT_EQ(again.ReturnCode, 0u);
  EXPECT_EQ(again.value, connected.dwActiveProtocol);
  // Every transmit above succeeded, the one the card answered 6A 82 too.
  uint32_t transmits = 0;
  EXPECT_EQ(TransmitCount(hCard, &transmits), 0u);
  EXPECT_EQ(transmits, 6u);
  EXPECT_EQ(TransmitCount(Card(context, 0x0BADCAFE), &transmits), 0x80100003u);

  // The card's ATR under masks: matched where the masked bits agree.
  std::vector<uint8_t> otherAtr = atr;
  otherAtr.back() ^= 0x0F;
  std::vector<uint8_t> loose(atr.size(), 0xFF);
  loose.back() = 0xF0;
  const std::vector<uint8_t> full(atr.size(), 0xFF);
  const std::vector<uint8_t> shorter(atr.begin(), atr.end() - 1);
  const struct {
    const char* what;
    bool wide;
    std::vector<uint8_t> atr, mask;
    bool match;
  } masks[] = {
      {"its own ATR", false, atr, full, true},
      {"its own ATR, wide", true, atr, full, true},
      {"another ATR", false, otherAtr, full, false},
      {"another ATR whose difference is masked out", false, otherAtr, loose, true},
      {"a shorter ATR", false, shorter, std::vector<uint8_t>(shorter.size(), 0xFF), false},
  };
  for (const auto& m : masks) {
    SCOPED_TRACE(m.what);
    const LocateCards_Return r = Locate(context, reader, m.wide, m.atr, m.mask, 0);
    ASSERT_EQ(r.ReturnCode, 0u);
    ASSERT_EQ(r.cReaders, 1u);
    const ReaderState_Return& s = r.rgReaderStates.items[0];
    EXPECT_TRUE(s.dwEventState & kStatePresent);
    EXPECT_EQ((s.dwEventState & kStateAtrMatch) != 0, m.match);
    EXPECT_TRUE(s.dwEventState & kStateChanged);  // the caller knew nothing
    EXPECT_EQ(std::vector<uint8_t>(s.rgbAtr.begin(), s.rgbAtr.begin() + s.cbAtr), atr);
    // Told the state it has now, nothing changed.
    const LocateCards_Return again =
        Locate(context, reader, m.wide, m.atr, m.mask, s.dwEventState & ~kStateChanged);
    ASSERT_EQ(again.ReturnCode, 0u);
    EXPECT_EQ(again.rgReaderStates.items[0].dwEventState, s.dwEventState & ~kStateChanged);
  }

  ListReaderGroups_Call groups;
  groups.Context = Context(context);
  groups.cchGroups = kInfinite;
  const ListReaderGroups_Return g =
      RunCall<ListReaderGroups_Return>(api, &CRdpSmartCardAPI::ListReaderGroups, scardioctl::kListReaderGroupsA, groups);
  EXPECT_EQ(g.ReturnCode, 0u);
  EXPECT_EQ(std::string(g.msz.bytes.begin(), g.msz.bytes.end()), std::string("SCard$DefaultReaders\0\0", 22));

  HCardAndDisposition_Call disconnect;
  disconnect.hCard = hCard;
  EXPECT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HCardAndDisposition, scardioctl::kDisconnect, disconnect)
                .ReturnCode,
            0u);
  EXPECT_EQ(TransmitCount(hCard, &transmits), 0x80100003u);
  Context_Call release;
  release.Context = Context(context);
  // Take the card out and see the reader empty again, so that the next
  // test's waits start from a settled reader.
  const uint32_t present = StateOf(context, reader);
  card.Remove();
  const GetStatusChange_Return removed = RunCall<GetStatusChange_Return>(
      api, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA, WaitCall(context, reader, present, 60000));
  ASSERT_EQ(removed.ReturnCode, 0u);
  EXPECT_FALSE(removed.rgReaderStates.items[0].dwEventState & kStatePresent);

  EXPECT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HandleContext, scardioctl::kReleaseContext, release).ReturnCode,
            0u);
  EXPECT_EQ(Validity(context), 0x80100004u);
}

TEST_F(SmartCardApiOnPcsc, OneCancelEndsEveryWaitOnItsContextWhileOtherCallsGoOn) {
  const uint32_t context = Establish();
  const std::string reader = FirstReader(context);
  ASSERT_FALSE(reader.empty());
  const uint32_t current = StateOf(context, reader);
  GetStatusChangeW_Call wide;
  wide.Context = Context(context);
  wide.dwTimeOut = kInfinite;
  wide.cReaders = 1;
  wide.rgReaderStates.present = true;
  wide.rgReaderStates.items.resize(1);
  wide.rgReaderStates.items[0].szReader = NdrStrW::Of(Utf8ToUtf16(reader));
  wide.rgReaderStates.items[0].Common.dwCurrentState = current;
  Pending first(api, &CRdpSmartCardAPI::GetStatusChangeW, scardioctl::kGetStatusChangeW, Encoded(wide));
  Pending second(api, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA,
                 Encoded(WaitCall(context, reader, current, kInfinite)));
  StopBeforeJoining stop{api};
  ASSERT_TRUE(Eventually([&] { return api.StatusWaitsInProgress() == 2; }));

  // Two waits on one context at once; calls on that context are served.
  Bounded("calls beside the waits", [&] {
    EXPECT_EQ(FirstReader(context), reader);
    EXPECT_NE(Establish(), 0u);
  });
  EXPECT_FALSE(first.Done());
  EXPECT_FALSE(second.Done());

  // However far each wait has got towards the service, the cancel reaches it.
  EXPECT_EQ(OnContext(scardioctl::kCancel, context), 0u);
  for (Pending* wait : {&first, &second}) {
    EXPECT_EQ(ReturnOf(wait->Wait()), kCancelled);
  }
  // A cancel with no wait in progress is answered too, and the context
  // waits as before.
  EXPECT_EQ(OnContext(scardioctl::kCancel, context), 0u);
  EXPECT_EQ(StateOf(context, reader), current);
}

// The device accepts a wait on the channel's worker and runs it on a thread
// of its own: a cancel the worker serves before that thread has run ends
// the wait all the same, on a server context and on the null context.
TEST_F(SmartCardApiOnPcsc, ACancelServedBeforeAWaitsThreadRunsEndsThatWait) {
  const uint32_t context = Establish();
  const std::string reader = FirstReader(context);
  ASSERT_FALSE(reader.empty());
  for (const uint32_t on : {context, 0u}) {
    SCOPED_TRACE(on ? "server context" : "null context");
    const uint32_t current = StateOf(on, reader);
    Completion done;
    {
      Pending wait(api, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA,
                   Encoded(WaitCall(on, reader, current, kInfinite)), [&] { EXPECT_EQ(Cancel(on), 0u); });
      done = wait.Wait();
      if (!done.done) api.StopAll();  // ends the wait so the thread can be joined
    }
    EXPECT_EQ(ReturnOf(done), kCancelled);
    EXPECT_EQ(api.StatusWaitsInProgress(), 0u);
    if (HasFatalFailure()) return;
    // The next wait is not ended by that cancel.
    EXPECT_EQ(StateOf(on, reader), current);
  }
}

TEST_F(SmartCardApiOnPcsc, ReleasingAContextEndsItsWait) {
  const uint32_t context = Establish();
  const std::string reader = FirstReader(context);
  ASSERT_FALSE(reader.empty());
  Pending wait(api, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA,
               Encoded(WaitCall(context, reader, StateOf(context, reader), kInfinite)));
  StopBeforeJoining stop{api};
  ASSERT_TRUE(Eventually([&] { return api.StatusWaitsInProgress() == 1; }));

  EXPECT_EQ(OnContext(scardioctl::kReleaseContext, context), 0u);
  EXPECT_EQ(ReturnOf(wait.Wait()), kCancelled);
  EXPECT_EQ(Validity(context), 0x80100004u);
}

// StopAll, as the channel's stop calls it, ends a wait of a server context or
// of the null context wherever the wait has got: not started yet, past the
// context check, on its way to the service, or waiting there. Whether the
// wait is in progress is known in every fourth round; in the others the
// stop comes a little later each round, to meet the wait at many points.
TEST_F(SmartCardApiOnPcsc, StopAllEndsEveryWaitWhereverItHasGot) {
  std::string reader;
  {
    const uint32_t context = Establish();
    reader = FirstReader(context);
    ASSERT_FALSE(reader.empty());
  }
  for (const bool nullContext : {false, true}) {
    for (int round = 0; round < 60; ++round) {
      const bool inProgress = round % 4 == 3;
      SCOPED_TRACE(testing::Message() << (nullContext ? "null context" : "server context") << ", round "
                                      << round);
      CRdpSmartCardWIndowsAPI stopping;
      stopping.Init();
      on_ = &stopping;
      const uint32_t context = nullContext ? 0 : Establish();
      const uint32_t current = StateOf(context, reader);
      {
        const auto started = std::chrono::steady_clock::now();
        Pending wait(stopping, &CRdpSmartCardAPI::GetStatusChangeA, scardioctl::kGetStatusChangeA,
                     Encoded(WaitCall(context, reader, current, kInfinite)));
        StopBeforeJoining stop{stopping};
        if (inProgress) {
          ASSERT_TRUE(Eventually([&] { return stopping.StatusWaitsInProgress() == 1; }));
        } else {
          const auto at = started + std::chrono::microseconds(25 * round);
          while (std::chrono::steady_clock::now() < at) {
          }
        }
        Bounded("StopAll", [&] { stopping.StopAll(); });
        const uint32_t rc = ReturnOf(wait.Wait());
        if (inProgress) {
          EXPECT_EQ(rc, kCancelled);
        } else {
          // Refused at the check, or ended by the stop.
          EXPECT_TRUE(rc == kCancelled || rc == 0x80100004u || rc == kServiceStopped) << std::hex << rc;
        }
      }
      if (!nullContext) {
        EXPECT_EQ(Validity(context), 0x80100004u);
      }
      // After the stop a wait of the null context opens nothing new.
      GetStatusChange_Return late;
      Bounded("a wait after StopAll", [&] {
        late = RunCall<GetStatusChange_Return>(stopping, &CRdpSmartCardAPI::GetStatusChangeA,
                                               scardioctl::kGetStatusChangeA, WaitCall(0, reader, current, kInfinite));
      });
      EXPECT_EQ(late.ReturnCode, kServiceStopped);
      on_ = &api;
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(SmartCardApiOnPcsc, AfterStopAllTheStartedEventAnswersStopped) {
  FakeDevice device;
  FakeRequest started(scardioctl::kAccessStartedEvent, {});
  api.AccessStartedEvent(&device, &started);
  EXPECT_EQ(LongOf(device.WaitFor(&started)).ReturnCode, 0u);
  api.StopAll();
  FakeRequest again(scardioctl::kAccessStartedEvent, {});
  api.AccessStartedEvent(&device, &again);
  EXPECT_EQ(LongOf(device.WaitFor(&again)).ReturnCode, 1u);
}
