// The smart-card API's own answers, with no smart-card library behind it:
// decoding failures, context and handle checks, and what a missing library
// or function answers.
#include <gtest/gtest.h>

#include <set>

#include "RdpSmartCardWIndowsAPI.h"
#include "ScardApiSupport.h"
#include "ScardSamples.h"

using namespace rdpesc;
using namespace scardsamples;

namespace {

class SmartCardApiWithoutLibrary : public ::testing::Test {
 protected:
  void SetUp() override { api.Init(); }
  CRdpSmartCardWIndowsAPI api{"no-such-smartcard-library.dll"};
};

}  // namespace

TEST_F(SmartCardApiWithoutLibrary, DecodingFailuresAreAnsweredWithFailureStatuses) {
  const std::vector<uint8_t> empty;
  const std::vector<uint8_t> truncated = [] {
    std::vector<uint8_t> b = Encoded(ConnectA_Call());
    b.resize(b.size() - 4);
    return b;
  }();
  const struct {
    const char* what;
    ScardOp op;
    uint32_t code;
  } asIoStatus[] = {
      {"ConnectA", &CRdpSmartCardAPI::ConnectA, scardioctl::kConnectA},
      {"ConnectW", &CRdpSmartCardAPI::ConnectW, scardioctl::kConnectW},
      {"SetAttrib", &CRdpSmartCardAPI::SetAttrib, scardioctl::kSetAttrib},
      {"Reconnect", &CRdpSmartCardAPI::Reconnect, scardioctl::kReconnect},
      {"ListReadersA", &CRdpSmartCardAPI::ListReaders, scardioctl::kListReadersA},
      {"Disconnect", &CRdpSmartCardAPI::HCardAndDisposition, scardioctl::kDisconnect},
      {"Transmit", &CRdpSmartCardAPI::Transmit, scardioctl::kTransmit},
      {"Control", &CRdpSmartCardAPI::Control, scardioctl::kControl},
      {"StatusA", &CRdpSmartCardAPI::Status, scardioctl::kStatusA},
      {"GetAttrib", &CRdpSmartCardAPI::GetAttrib, scardioctl::kGetAttrib},
      {"GetTransmitCount", &CRdpSmartCardAPI::GetTransmitCount, scardioctl::kGetTransmitCount},
      {"LocateCardsByATRA", &CRdpSmartCardAPI::LocateCardsByATRA, scardioctl::kLocateCardsByAtrA},
  };
  for (const auto& c : asIoStatus) {
    for (const auto* input : {&empty, &truncated}) {
      SCOPED_TRACE(c.what);
      const Completion done = RunRaw(api, c.op, c.code, *input);
      ASSERT_TRUE(done.done);
      EXPECT_FALSE(done.withData);
      // RPC_NT_BAD_STUB_DATA: a failure status, never 0 or a Win32 number.
      EXPECT_EQ(done.ioStatus, 0xC002000Cu);
    }
  }

  // Where the design answers in the reply's ReturnCode, the RPC status.
  const struct {
    const char* what;
    ScardOp op;
    uint32_t code;
  } inReply[] = {
      {"EstablishContext", &CRdpSmartCardAPI::EstablishContext, scardioctl::kEstablishContext},
      {"ReleaseContext", &CRdpSmartCardAPI::HandleContext, scardioctl::kReleaseContext},
      {"GetStatusChangeW", &CRdpSmartCardAPI::GetStatusChangeW, scardioctl::kGetStatusChangeW},
      {"WriteCacheA", &CRdpSmartCardAPI::WriteCache, scardioctl::kWriteCacheA},
      {"ReadCacheW", &CRdpSmartCardAPI::ReadCache, scardioctl::kReadCacheW},
      {"IntroduceReaderA", &CRdpSmartCardAPI::ContextAndTwoStringA, scardioctl::kIntroduceReaderA},
  };
  for (const auto& c : inReply) {
    SCOPED_TRACE(c.what);
    const Completion done = RunRaw(api, c.op, c.code, empty);
    ASSERT_TRUE(done.withData);
    // Every reply starts with its ReturnCode.
    Long_Return r;
    ASSERT_EQ(NdrDecode(done.data.data(), done.data.size(), r), 0u);
    EXPECT_EQ(r.ReturnCode, kRpcBadStubData);
  }
}

TEST_F(SmartCardApiWithoutLibrary, UnknownContextsAndHandlesAreRefused) {
  Context_Call unknown;
  unknown.Context = Context(0x12345678);
  EXPECT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HandleContext, scardioctl::kIsValidContext, unknown).ReturnCode,
            0x80100004u);
  // The null context needs no service to be released.
  EXPECT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HandleContext, scardioctl::kReleaseContext, Context_Call())
                .ReturnCode,
            0u);

  ConnectA_Call connect;
  connect.szReader = NdrStrA::Of("r");
  connect.Common.Context.cbContext = 8;
  connect.Common.Context.pbContext = NdrBlob::Of("12345678", 8);
  EXPECT_EQ(RunCall<Connect_Return>(api, &CRdpSmartCardAPI::ConnectA, scardioctl::kConnectA, connect).ReturnCode,
            0x80100004u);
  ConnectA_Call noReader;
  EXPECT_EQ(RunCall<Connect_Return>(api, &CRdpSmartCardAPI::ConnectA, scardioctl::kConnectA, noReader).ReturnCode,
            0x80100011u);

  HCardAndDisposition_Call shortHandle;
  shortHandle.hCard.cbHandle = 2;
  shortHandle.hCard.pbHandle = NdrBlob::Of("ab", 2);
  EXPECT_EQ(RunCall<Long_Return>(api, &CRdpSmartCardAPI::HCardAndDisposition, scardioctl::kDisconnect, shortHandle)
                .ReturnCode,
            0x80100004u);

  Transmit_Call transmit;
  transmit.hCard = Card(0x12345678, 1);
  EXPECT_EQ(RunCall<Transmit_Return>(api, &CRdpSmartCardAPI::Transmit, scardioctl::kTransmit, transmit).ReturnCode,
            0x80100004u);
}

TEST_F(SmartCardApiWithoutLibrary, MissingLibraryAndFunctionsAnswerAsDesigned) {
  FakeDevice device;
  FakeRequest started(scardioctl::kAccessStartedEvent, {});
  api.AccessStartedEvent(&device, &started);
  Long_Return r;
  const Completion c = device.WaitFor(&started);
  ASSERT_TRUE(c.withData);
  ASSERT_EQ(NdrDecode(c.data.data(), c.data.size(), r), 0u);
  EXPECT_EQ(r.ReturnCode, 0x8010001Fu);
  EXPECT_NE(started.cancel_, nullptr);

  LocateCardsByATRW_Call locate;
  EXPECT_EQ(RunCall<LocateCards_Return>(api, &CRdpSmartCardAPI::LocateCardsByATRW, scardioctl::kLocateCardsByAtrW, locate)
                .ReturnCode,
            120u);
  ReadCacheW_Call read;
  EXPECT_EQ(RunCall<ReadCache_Return>(api, &CRdpSmartCardAPI::ReadCache, scardioctl::kWriteCacheW, read).ReturnCode,
            0x80100022u);

  FakeRequest state(0x000900C4, {});
  EXPECT_EQ(api.State(&device, &state), static_cast<int32_t>(0x80100022));
  EXPECT_FALSE(device.Done(&state));
}

TEST(SmartCardApi, MarshallingFailuresBecomeFailureIoStatuses) {
  for (size_t i = 0; i < kNdrFaultCodeCount; ++i) {
    const uint32_t s = CRdpSmartCardWIndowsAPI::IoStatusOf(kNdrFaultCodes[i].code);
    EXPECT_EQ(s & 0xC0000000u, 0xC0000000u) << kNdrFaultCodes[i].text;
  }
}

TEST(SmartCardApi, TheBindingTableNamesEveryFunctionOnce) {
  std::set<std::string> names;
  for (size_t i = 0; i < CRdpSmartCardWIndowsAPI::kBindingCount; ++i) {
    EXPECT_TRUE(names.insert(CRdpSmartCardWIndowsAPI::kBindingTable[i].name).second);
  }
  EXPECT_EQ(names.size(), 45u);
}

TEST(SmartCardApi, WindowsNumbersBecomePcscliteNumbersAndBack) {
  using pcscnative::Pcsc;
  const struct {
    uint32_t wire;
    uint64_t native;
  } protocols[] = {{1, 1}, {2, 2}, {3, 3}, {0x00010000, 4}, {0x80000000, 3}, {0, 0}};
  for (const auto& p : protocols) EXPECT_EQ(Pcsc::ProtocolsToNative(p.wire), p.native) << p.wire;
  EXPECT_EQ(Pcsc::ProtocolToWire(4), 0x00010000u);
  EXPECT_EQ(Pcsc::ProtocolToWire(2), 2u);

  // CTL_CODE(FILE_DEVICE_SMARTCARD, 3400, METHOD_BUFFERED, FILE_ANY_ACCESS)
  // is pcsclite's SCARD_CTL_CODE(3400); other codes pass as they are.
  EXPECT_EQ(Pcsc::ControlCodeToNative(0x00313520), 0x42000D48u);
  EXPECT_EQ(Pcsc::ControlCodeToNative(0x00090014), 0x00090014u);

  // pcsclite's card-state bits against Windows' enumeration.
  const struct {
    uint64_t mask;
    uint32_t wire;
  } states[] = {{0x0001, 0}, {0x0002, 1}, {0x0004, 2}, {0x0008 | 0x0004, 3}, {0x0010 | 0x0004, 4},
                {0x0020 | 0x0010 | 0x0004, 5}, {0x0040 | 0x0010 | 0x0004, 6}};
  for (const auto& s : states) EXPECT_EQ(Pcsc::CardStateToWire(s.mask), s.wire) << s.mask;
}
