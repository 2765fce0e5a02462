// The device redirection channel: its handshake PDUs byte for byte against
// the MS-RDPEFS layouts, the routing of device I/O requests, completion at
// most once and the refusal of requests too short for their fields.
#include <gtest/gtest.h>

#include "RdpdrSupport.h"
#include "virtchan/ChannelMakers.h"

using namespace rdpdrtest;

namespace {

// DR_CORE_CAPABILITY_RSP: header, numCapabilities 5, padding, then
// GENERAL_CAPS_SET (CAPABILITY_HEADER type 1 length 44 version 2; osType,
// osVersion, protocol 1.12, ioCode1, ioCode2, extendedPDU, extraFlags1,
// extraFlags2, SpecialTypeDeviceCap) and the printer, port, drive and smart
// card sets as bare CAPABILITY_HEADERs of version 1.
const Bytes kCapabilityResponse = {
    0x72, 0x44, 0x50, 0x43, 0x05, 0x00, 0x00, 0x00,                          //
    0x01, 0x00, 0x2C, 0x00, 0x02, 0x00, 0x00, 0x00,                          //
    0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00, 0x01, 0x00, 0x0C, 0x00,  //
    0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,  //
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
    0x02, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,                          //
    0x03, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,                          //
    0x04, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,                          //
    0x05, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,
};

// DR_CORE_DEVICELIST_ANNOUNCE_REQ with one DEVICE_ANNOUNCE: RDPDR_DTYP_SMARTCARD,
// DeviceId 1, "SCARD" NUL-padded, no device data.
const Bytes kSmartCardAnnounce = {
    0x72, 0x44, 0x41, 0x44, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x01, 0x00,
    0x00, 0x00, 0x53, 0x43, 0x41, 0x52, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

Bytes Completion(uint32_t deviceId, uint32_t completionId, uint32_t status) {
  Bytes b = Header(0x4472, 0x4943);
  PutU32(b, deviceId);
  PutU32(b, completionId);
  PutU32(b, status);
  PutU32(b, 0);
  return b;
}

using RdpdrChannel = ChannelFixture;

TEST_F(RdpdrChannel, AnnounceReplyEchoesTheClientIdWithVersion1_12) {
  Make(0);
  Receive(ServerAnnounce(0x12345678));
  const std::vector<Bytes> sent = session->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(virtchantest::U16At(sent[0], 0), virtchan::kChannelData);
  EXPECT_EQ(virtchantest::U16At(sent[0], 2), 4);
  EXPECT_EQ(U32At(sent[0], 4), 12u);
  EXPECT_EQ(Pdus()[0], (Bytes{0x72, 0x44, 0x43, 0x43, 0x01, 0x00, 0x0C, 0x00, 0x78, 0x56, 0x34, 0x12}));
}

TEST_F(RdpdrChannel, CapabilityRequestIsAnsweredAndTheSmartCardAnnouncedOnlyWhenTheOptionBitIsSet) {
  struct Case {
    uint32_t options;
    bool announced;
  };
  for (const Case& c : {Case{0x1, true}, Case{0x7, true}, Case{0x0, false}, Case{0x6, false}}) {
    SCOPED_TRACE(c.options);
    Make(c.options);
    session->Clear();
    Receive(ServerCapability());
    const std::vector<Bytes> pdus = Pdus();
    ASSERT_EQ(pdus.size(), c.announced ? 2u : 1u);
    EXPECT_EQ(pdus[0], kCapabilityResponse);
    if (c.announced) {
      EXPECT_EQ(pdus[1], kSmartCardAnnounce);
    }
    EXPECT_EQ(channel->FindDevice(1) != nullptr, c.announced);
  }
}

TEST_F(RdpdrChannel, RequestsForADeviceNotServedFailWithStatusUnsuccessful) {
  struct Case {
    uint32_t options;
    uint32_t deviceId;
  };
  for (const Case& c : {Case{1, 7}, Case{0, 1}, Case{1, 0}}) {
    SCOPED_TRACE(c.deviceId);
    Make(c.options);
    Handshake();
    Receive(ControlRequest(c.deviceId, 0x55, scardioctl::kEstablishContext));
    EXPECT_EQ(Pdus(), std::vector<Bytes>{Completion(c.deviceId, 0x55, 0xC0000001)});
    EXPECT_EQ(channel->PendingCount(), 0u);
  }
  EXPECT_TRUE(recorder.Calls().empty());
}

TEST_F(RdpdrChannel, OtherComponentsAndPacketsGetNoReply) {
  Make(1);
  Bytes printer = IoRequest(1, 3, 14);
  printer[0] = 0x52;
  printer[1] = 0x50;
  for (const Bytes& pdu : {printer, Header(0x4472, 0x4343), Header(0x4472, 0x6472), Header(0x4472, 0x554C),
                           Bytes{0x72}, Bytes{}}) {
    Receive(pdu);
  }
  EXPECT_TRUE(session->Sent().empty());
}

TEST_F(RdpdrChannel, ARequestCompletesOnceHoweverOftenItIsCompleted) {
  Make(1);
  const Bytes bytes = IoRequest(1, 9, 0);
  std::shared_ptr<CRdpRequestPacket> request = CRdpRequestPacket::Make(bytes.data(), uint32_t(bytes.size()));
  ASSERT_TRUE(request);
  const uint8_t data[] = {1, 2};
  EXPECT_EQ(request->Complete(channel, 0), 0);
  EXPECT_EQ(request->Complete(channel, 0xC0000001), -1);
  EXPECT_EQ(request->CompleteDataVia(channel, data, 2), -1);
  EXPECT_EQ(Pdus(), std::vector<Bytes>{Completion(1, 9, 0)});
}

TEST_F(RdpdrChannel, RequestIdsRiseAndCompletionWithoutAChannelSendsNothing) {
  const Bytes bytes = IoRequest(1, 9, 0);
  auto first = CRdpRequestPacket::Make(bytes.data(), uint32_t(bytes.size()));
  auto second = CRdpRequestPacket::Make(bytes.data(), uint32_t(bytes.size()));
  EXPECT_GT(second->Id(), first->Id());
  EXPECT_EQ(first->Complete(nullptr, 0), -1);
  EXPECT_TRUE(first->Completed());
  EXPECT_EQ(first->CompleteStatus(nullptr, 0), -1);
}

TEST_F(RdpdrChannel, EveryTruncatedRequestIsRefusedWithoutReadingPastIt) {
  Make(1);
  Handshake();
  const Bytes whole = ControlRequest(1, 0x77, scardioctl::kEstablishContext, Bytes(12, 0xAB));
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    session->Clear();
    Receive(Bytes(whole.begin(), whole.begin() + length));
    // Without a DeviceId and CompletionId there is nothing to answer.
    if (length < 16)
      EXPECT_TRUE(session->Sent().empty());
    else
      EXPECT_EQ(Pdus(), std::vector<Bytes>{Completion(1, 0x77, 0xC0000001)});
  }
  // An InputBufferLength beyond the bytes received.
  Bytes lying = whole;
  lying[28] = 13;
  session->Clear();
  Receive(lying);
  EXPECT_EQ(Pdus(), std::vector<Bytes>{Completion(1, 0x77, 0xC0000001)});
  EXPECT_TRUE(recorder.Calls().empty());
  EXPECT_EQ(channel->PendingCount(), 0u);
  // The whole request reaches the card.
  session->Clear();
  Receive(whole);
  EXPECT_EQ(recorder.Calls().size(), 1u);
}

TEST_F(RdpdrChannel, TheHostOpensTheChannelByItsName) {
  virtchan::RegisterDeviceChannelMaker();
  virtchan::ChannelMaker maker = virtchan::FindChannelMaker(virtchan::kDeviceChannel);
  ASSERT_NE(maker, nullptr);
  std::shared_ptr<CCVirtChanel> made = maker({0x3EC, 2, 1, session});
  ASSERT_TRUE(made);
  made->Open(made);
  made->OnServerData(ServerAnnounce(5).data(), 12);
  made->OnServerData(ServerCapability().data(), 8);
  EXPECT_TRUE(session->WaitFor(3));
  made->Stop();
  EXPECT_EQ(Pdus().back(), kSmartCardAnnounce);
}

}  // namespace
