// The smart-card device over a recording smart-card API: the control-code
// table (operation, operation name, own thread or not), the major
// functions, a context call served while a status-change wait blocks, and
// a stop that ends a blocked request's thread.
#include <gtest/gtest.h>

#include "RdpdrSupport.h"

using namespace rdpdrtest;

namespace {

struct Expected {
  uint32_t code;
  const char* operation;  // "" : no API operation, STATUS_UNSUCCESSFUL
  const char* name;       // "" : the code's hex text
  bool ownThread;
};

const Expected kTable[] = {
    {0x00090014, "EstablishContext", "SCARD_IOCTL_ESTABLISHCONTEXT", false},
    {0x00090018, "HandleContext", "SCARD_IOCTL_RELEASECONTEXT", false},
    {0x0009001C, "HandleContext", "", false},
    {0x00090020, "ListReaderGroups", "", false},
    {0x00090024, "ListReaderGroups", "", false},
    {0x00090028, "ListReaders", "", false},
    {0x0009002C, "ListReaders", "", false},
    {0x00090050, "ContextAndString", "", false},
    {0x00090054, "ContextAndString", "", false},
    {0x00090058, "ContextAndString", "", false},
    {0x0009005C, "ContextAndString", "", false},
    {0x00090060, "ContextAndTwoStringA", "HandleContextAndTwoStringA", false},
    {0x00090064, "ContextAndTwoStringW", "HandleContextAndTwoStringW", false},
    {0x00090068, "ContextAndString", "", false},
    {0x0009006C, "ContextAndString", "", false},
    {0x00090070, "ContextAndTwoStringA", "HandleContextAndTwoStringA", false},
    {0x00090074, "ContextAndTwoStringW", "HandleContextAndTwoStringW", false},
    {0x00090078, "ContextAndTwoStringA", "HandleContextAndTwoStringA", false},
    {0x0009007C, "ContextAndTwoStringW", "HandleContextAndTwoStringW", false},
    {0x000900A0, "GetStatusChangeA", "SCARD_IOCTL_GETSTATUSCHANGEA", true},
    {0x000900A4, "GetStatusChangeW", "SCARD_IOCTL_GETSTATUSCHANGEW", true},
    {0x000900A8, "HandleContext", "SCARD_IOCTL_CANCEL", false},
    {0x000900AC, "ConnectA", "SCARD_IOCTL_CONNECTA", true},
    {0x000900B0, "ConnectW", "SCARD_IOCTL_CONNECTW", true},
    {0x000900B4, "Reconnect", "SCARD_IOCTL_RECONNECT", true},
    {0x000900B8, "HCardAndDisposition", "SCARD_IOCTL_DISCONNECT", true},
    {0x000900BC, "HCardAndDisposition", "SCARD_IOCTL_BEGINTRANSACTION", true},
    {0x000900C0, "HCardAndDisposition", "SCARD_IOCTL_ENDTRANSACTION", true},
    {0x000900C4, "", "", true},
    {0x000900C8, "Status", "SCARD_IOCTL_STATUS", false},
    {0x000900CC, "Status", "SCARD_IOCTL_STATUS", false},
    {0x000900D0, "Transmit", "TRANSMIT", true},
    {0x000900D4, "Control", "SCARD_IOCTL_CONTROL", true},
    {0x000900D8, "GetAttrib", "SCARD_IOCTL_GETATTRIB", true},
    {0x000900DC, "SetAttrib", "SCARD_IOCTL_SETATTRIB", true},
    {0x000900E0, "AccessStartedEvent", "SCARD_IOCTL_ACCESSSTARTEDEVENT", true},
    {0x000900E8, "LocateCardsByATRA", "SCARD_IOCTL_LOCATECARDSBYATRA", false},
    {0x000900EC, "LocateCardsByATRW", "SCARD_IOCTL_LOCATECARDSBYATRW", false},
    {0x000900F0, "ReadCache", "", false},
    {0x000900F4, "ReadCache", "", false},
    {0x000900F8, "WriteCache", "", false},
    {0x000900FC, "WriteCache", "", false},
    {0x00090100, "GetTransmitCount", "SCARD_IOCTL_GETTRANSMITCOUNT", true},
    // Not served: completed inline.
    {0x00090098, "", "", false},
    {0x0009009C, "", "", false},
    {0x000900E4, "", "", false},
    {0x00090104, "", "", false},
    {0x00090108, "", "", false},
    {0xDEADBEEF, "", "", false},
};

class SmartCardDevice : public ChannelFixture {
 protected:
  void SetUp() override {
    ChannelFixture::SetUp();
    Make(1);
    Handshake();
  }
  // The one response to a request, waited for.
  Bytes Response() {
    EXPECT_TRUE(session->WaitFor(1));
    std::vector<Bytes> pdus = Pdus();
    return pdus.empty() ? Bytes() : pdus.back();
  }
};

TEST_F(SmartCardDevice, EveryControlCodeReachesItsOperationOnTheRightThread) {
  uint32_t completionId = 100;
  for (const Expected& e : kTable) {
    SCOPED_TRACE(::testing::Message() << std::hex << e.code);
    session->Clear();
    const size_t before = recorder.Calls().size();
    Receive(ControlRequest(1, ++completionId, e.code));
    const Bytes response = Response();
    ASSERT_GE(response.size(), 20u);
    EXPECT_EQ(U32At(response, 8), completionId);
    EXPECT_EQ(CRdpSmartCardDevice::IsBlockingIoctl(e.code), e.ownThread);
    const std::vector<Call> calls = recorder.Calls();
    if (*e.operation == '\0') {
      EXPECT_EQ(calls.size(), before);
      EXPECT_EQ(response.size(), 20u);
      EXPECT_EQ(U32At(response, 12), 0xC0000001u);
      EXPECT_EQ(U32At(response, 16), 0u);
      continue;
    }
    ASSERT_EQ(calls.size(), before + 1);
    const Call& call = calls.back();
    EXPECT_EQ(call.operation, e.operation);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", e.code);
    EXPECT_EQ(call.name, *e.name ? e.name : hex);
    EXPECT_EQ(call.thread != std::this_thread::get_id(), e.ownThread);
    // The data form: IoStatus 0, one output byte.
    EXPECT_EQ(U32At(response, 12), 0u);
    EXPECT_EQ(U32At(response, 16), 1u);
    EXPECT_EQ(response.size(), 21u);
  }
  EXPECT_EQ(channel->PendingCount(), 0u);
}

TEST_F(SmartCardDevice, CreateAndCloseSucceedAndOtherMajorFunctionsFail) {
  struct Case {
    uint32_t major;
    uint32_t status;
  };
  for (const Case& c : {Case{0, 0}, Case{2, 0}, Case{3, 0xC0000001}, Case{4, 0xC0000001}, Case{99, 0xC0000001}}) {
    SCOPED_TRACE(c.major);
    session->Clear();
    Receive(IoRequest(1, 40 + c.major, c.major));
    const Bytes response = Response();
    ASSERT_EQ(response.size(), 20u);
    EXPECT_EQ(U32At(response, 4), 1u);
    EXPECT_EQ(U32At(response, 8), 40 + c.major);
    EXPECT_EQ(U32At(response, 12), c.status);
    EXPECT_EQ(U32At(response, 16), 0u);
  }
  EXPECT_TRUE(recorder.Calls().empty());
}

// The wait is accepted on the channel's worker, in the server's order and
// ahead of its own thread, so that a cancel served next reaches it; a
// request served on the worker is not.
TEST_F(SmartCardDevice, AContextCallIsAnsweredWhileAStatusChangeWaitBlocks) {
  recorder.HoldWaits();
  Receive(ControlRequest(1, 1, scardioctl::kGetStatusChangeW));
  ASSERT_TRUE(recorder.WaitForWaiters(1));
  Receive(ControlRequest(1, 2, scardioctl::kEstablishContext));
  ASSERT_TRUE(session->WaitFor(1));
  EXPECT_EQ(U32At(Pdus()[0], 8), 2u);
  EXPECT_EQ(channel->PendingCount(), 1u);
  recorder.Release();
  ASSERT_TRUE(session->WaitFor(2));
  EXPECT_EQ(U32At(Pdus()[1], 8), 1u);
  const std::vector<Call> hooks = recorder.Hooks();
  ASSERT_EQ(hooks.size(), 1u);
  EXPECT_EQ(hooks[0].operation, "Accept");
  EXPECT_EQ(hooks[0].thread, std::this_thread::get_id());
  EXPECT_EQ(recorder.Order(), (std::vector<std::string>{"Accept", "GetStatusChangeW", "EstablishContext"}));
}

// The host's order at session end: stop the channel, then drop it. The stop
// ends the blocked wait (the API's StopAll) and joins its thread; nothing
// is left running that could release the device or the channel later.
TEST_F(SmartCardDevice, StopWithABlockedRequestEndsCleanly) {
  recorder.HoldWaits();
  channel->Open(channel);
  for (uint32_t id = 1; id <= 3; ++id) {
    const Bytes request = ControlRequest(1, id, scardioctl::kGetStatusChangeW);
    channel->OnServerData(request.data(), uint32_t(request.size()));
  }
  ASSERT_TRUE(recorder.WaitForWaiters(3));
  channel->Stop();
  std::weak_ptr<ChannelRDPDR> gone = channel;
  channel.reset();
  EXPECT_TRUE(gone.expired());
}

// A blocked call holds neither the device nor the channel: dropping the
// channel ends the wait, joins its thread and sends nothing more.
TEST_F(SmartCardDevice, DroppingTheChannelEndsABlockedRequestWithoutAReply) {
  recorder.HoldWaits();
  Receive(ControlRequest(1, 1, scardioctl::kGetStatusChangeW));
  ASSERT_TRUE(recorder.WaitForWaiters(1));
  channel.reset();
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(SmartCardDevice, ARequestAfterStopFailsAtOnce) {
  channel->FindDevice(1)->Stop();
  Receive(ControlRequest(1, 5, scardioctl::kTransmit));
  const Bytes response = Response();
  EXPECT_EQ(U32At(response, 12), 0xC0000001u);
  EXPECT_TRUE(recorder.Calls().empty());
  // Accepted, then given up as its thread did not start.
  EXPECT_EQ(recorder.Order(), (std::vector<std::string>{"Accept", "Drop"}));
}

// For a service that never blocks: the blocking codes the policy names run
// on the channel's thread, accepted as on a thread of their own.
TEST_F(SmartCardDevice, BlockingCodesTheInlinePolicyNamesRunOnTheChannelsThread) {
  struct Restore {
    CRdpSmartCardDevice::InlinePolicy previous =
        CRdpSmartCardDevice::SetInlinePolicy([](uint32_t code) { return code == scardioctl::kTransmit; });
    ~Restore() { CRdpSmartCardDevice::SetInlinePolicy(previous); }
  } restore;
  const struct {
    uint32_t code;
    bool inlined;
  } cases[] = {{scardioctl::kTransmit, true}, {scardioctl::kControl, false}};
  uint32_t completionId = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.code);
    session->Clear();
    Receive(ControlRequest(1, ++completionId, c.code));
    EXPECT_EQ(U32At(Response(), 8), completionId);
    ASSERT_FALSE(recorder.Calls().empty());
    EXPECT_EQ(recorder.Calls().back().thread == std::this_thread::get_id(), c.inlined);
  }
  EXPECT_EQ(recorder.Order(), (std::vector<std::string>{"Accept", "Transmit", "Accept", "Control"}));
}

}  // namespace
