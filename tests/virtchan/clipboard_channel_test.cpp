// The clipboard redirection channel with the local clipboard over the
// in-process clipboard model: the MS-RDPECLIP example PDUs through
// OnReceive, both paste paths with a local program on the model, chunking,
// refusals, PDUs cut short, and the channel gone once stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "VirtChanSupport.h"
#include "pelplat/clipboard.h"
#include "testhost/ClipboardChannel.h"
#include "virtchan/ChannelRDPCLIP.h"

using namespace virtchantest;
namespace clip = pelplat::clipboard;
namespace host = testhost::cliprdr;
using testhost::channels::PduAssembler;

namespace {

constexpr uint16_t kIndex = 3;

// MS-RDPECLIP 4.1.3: the client's capabilities PDU, without
// CB_STREAM_FILECLIP_ENABLED (0x04) in its general flags: no file is served.
const Bytes kClientCapabilities = {0x07, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                   0x01, 0x00, 0x0c, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00};
// MS-RDPECLIP 4.1.2 (monitor ready) and 4.2.2 (format list response, OK).
const Bytes kMonitorReady = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kListResponseOk = {0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes Utf16(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) PutU16(b, c);
  PutU16(b, 0);
  return b;
}

// A local program: a clipboard window of its own on the model.
struct LocalProgram {
  clip::ClipboardWindow window{nullptr};
  void Put(const std::vector<std::pair<UINT, Bytes>>& formats) {
    ASSERT_TRUE(window.Open());
    window.Empty();
    for (const auto& f : formats) window.SetData(f.first, &f.second);
    window.Close();
  }
  std::optional<Bytes> Get(UINT format) {
    if (!window.Open()) return std::nullopt;
    std::optional<Bytes> data = window.GetData(format);
    window.Close();
    return data;
  }
  bool Offers(UINT format) {
    if (!window.Open()) return false;
    const bool offered = window.IsFormatAvailable(format);
    window.Close();
    return offered;
  }
};

class ClipboardChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clip::SetClipboardBackend(model_.get());
    clip::SetRenderTimeoutMs(120000);  // the tests end renders themselves
    program_ = std::make_unique<LocalProgram>();
    channel_ = std::make_shared<ChannelRDPCLIP>(77, kIndex, 0x10, session_);
    channel_->Open(channel_);
  }
  void TearDown() override {
    if (channel_) channel_->Stop();
    channel_.reset();
    program_.reset();
    clip::SetRenderTimeoutMs(10000);
    clip::SetClipboardBackend(nullptr);
  }

  void Receive(const Bytes& pdu) {
    channel_->OnReceive(pdu.data(), uint32_t(pdu.size()), session_.get(), channel_);
  }
  // The whole PDUs the channel sent, reassembled from its chunks; waits
  // for at least n.
  std::vector<Bytes> Pdus(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      PduAssembler assembler;
      for (const Bytes& m : session_->Sent()) {
        const auto message = testhost::channels::ReadMessage(m);
        EXPECT_TRUE(message.ok);
        EXPECT_EQ(message.index, kIndex);
        EXPECT_TRUE(assembler.Add(message.index, message.payload));
      }
      std::vector<Bytes> pdus = assembler.Take(kIndex);
      if (pdus.size() >= n) return pdus;
      session_->WaitFor(session_->Sent().size() + 1, std::chrono::seconds(1));
    }
    return {};
  }
  // A local program copies; the channel answers the change with a format
  // list, which is waited for and set aside.
  void Copy(const std::vector<std::pair<UINT, Bytes>>& formats) {
    program_->Put(formats);
    ASSERT_EQ(Pdus(1).at(0).at(0), host::kFormatList);
    session_->Clear();
  }
  void ServerWithLongNames() {
    Receive(host::ServerCapabilities(0x0E));
    session_->Clear();
  }

  std::unique_ptr<clip::IClipboardBackend> model_ = clip::MakeModelClipboardBackend();
  std::shared_ptr<RecordingSession> session_ = std::make_shared<RecordingSession>();
  std::shared_ptr<ChannelRDPCLIP> channel_;
  std::unique_ptr<LocalProgram> program_;  // made on the model
};

TEST_F(ClipboardChannelTest, MonitorReadyIsAnsweredWithTheExampleCapabilitiesThenTheList) {
  const UINT html = clip::RegisterClipboardFormatW(u"HTML Format");
  Bytes hdrop = {20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  const Bytes path = Utf16(u"/tmp/a");
  hdrop.insert(hdrop.end(), path.begin(), path.end());
  PutU16(hdrop, 0);
  Copy({{13, Utf16(u"text")}, {html, Bytes{'<', 'b', '>'}}, {CF_HDROP, hdrop}});
  Receive(kMonitorReady);
  const std::vector<Bytes> pdus = Pdus(2);
  ASSERT_EQ(pdus.size(), 2u);
  EXPECT_EQ(pdus[0], kClientCapabilities);
  // The capabilities travel as one 32-byte chunk.
  const auto first = testhost::channels::ReadMessage(session_->Sent()[0]);
  EXPECT_EQ(first.payload.size(), 32u);
  EXPECT_EQ(U32At(first.payload, 0), 24u);
  EXPECT_EQ(U32At(first.payload, 4), 0x13u);
  // Plain text goes by the session's own message and files are not
  // served: only the registered format is listed.
  const auto list = host::ReadPdu(pdus[1]);
  ASSERT_TRUE(list.ok);
  EXPECT_EQ(list.type, host::kFormatList);
  std::vector<host::Format> formats;
  ASSERT_TRUE(host::ReadFormatList(list.data, &formats));
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].id, html);
  EXPECT_EQ(formats[0].name, u"HTML Format");
}

TEST_F(ClipboardChannelTest, OnlyPredefinedFormatsMakeAnEmptyList) {
  Copy({{13, Utf16(u"text")}});
  Receive(kMonitorReady);
  const std::vector<Bytes> pdus = Pdus(2);
  ASSERT_EQ(pdus.size(), 2u);
  EXPECT_EQ(pdus[1], host::FormatList({}));
}

TEST_F(ClipboardChannelTest, ServerTextIsPastedLocallyThroughADataRequest) {
  Receive(kClientCapabilities);  // a server announcing the same flags
  EXPECT_EQ(channel_->ServerGeneralFlags(), 0x0Au);
  session_->Clear();
  Receive(host::FormatList({{13, u""}, {0xC0FE, u"Rich Text Format"}}));
  ASSERT_EQ(Pdus(1).at(0), kListResponseOk);
  ASSERT_TRUE(program_->Offers(13));
  const std::vector<CClipFormat> server = channel_->ServerFormats();
  ASSERT_EQ(server.size(), 2u);
  EXPECT_EQ(server[0].localFormat, 13u);
  EXPECT_NE(server[1].localFormat, 0u);
  EXPECT_EQ(channel_->LocalToServerFormat(server[1].localFormat), 0xC0FEu);

  session_->Clear();
  auto pasted = std::async(std::launch::async, [&] { return program_->Get(13); });
  const std::vector<Bytes> request = Pdus(1);
  ASSERT_EQ(request.size(), 1u);
  EXPECT_EQ(request[0], host::FormatDataRequest(13));
  EXPECT_EQ(channel_->RequestedFormat(), 13u);
  Receive(host::FormatDataResponse(true, Utf16(u"hello")));
  ASSERT_EQ(pasted.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(pasted.get(), std::optional<Bytes>(Utf16(u"hello")));
  EXPECT_EQ(channel_->RequestedFormat(), 0u);
}

TEST_F(ClipboardChannelTest, AFailedDataResponseEndsTheLocalPasteWithoutData) {
  ServerWithLongNames();
  Receive(host::FormatList({{13, u""}}));
  session_->Clear();
  auto pasted = std::async(std::launch::async, [&] { return program_->Get(13); });
  ASSERT_EQ(Pdus(1).size(), 1u);
  Receive(host::FormatDataResponse(false, {}));
  // Bounded far below the render time-out: the failure ends the wait.
  ASSERT_EQ(pasted.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(pasted.get(), std::nullopt);
}

TEST_F(ClipboardChannelTest, ServersWithoutLongNamesAreAnsweredButNothingIsAnnounced) {
  Copy({{13, Utf16(u"mine")}});
  struct Case {
    const char* what;
    uint32_t serverFlags;
    uint16_t listFlags;
  };
  for (const Case& c : {Case{"no long names", 0x0C, 0}, Case{"ascii names", 0x0E, host::kAsciiNames}}) {
    SCOPED_TRACE(c.what);
    Receive(host::ServerCapabilities(c.serverFlags));
    session_->Clear();
    Receive(host::FormatList({{0xC0AA, u"Server Only"}}, c.listFlags));
    EXPECT_EQ(Pdus(1).at(0), kListResponseOk);
    EXPECT_TRUE(channel_->ServerFormats().empty());
    EXPECT_EQ(program_->Get(13), std::optional<Bytes>(Utf16(u"mine")));
  }
}

TEST_F(ClipboardChannelTest, ServerRequestsForLocalDataAreAnsweredOrRefused) {
  const UINT html = clip::RegisterClipboardFormatW(u"HTML Format");
  Bytes big(3000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 13);
  Copy({{html, big}});
  ServerWithLongNames();
  Receive(host::FormatDataRequest(html));
  const std::vector<Bytes> sent = session_->Sent();
  ASSERT_EQ(sent.size(), 3u);
  const size_t sizes[] = {8 + 8 + 1500, 8 + 8 + 1500, 8 + 8 + 8};
  const uint32_t flags[] = {0x11, 0x10, 0x12};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].size(), sizes[i]);
    EXPECT_EQ(U32At(sent[i], 8), 3008u);
    EXPECT_EQ(U32At(sent[i], 12), flags[i]);
  }
  EXPECT_EQ(Pdus(1).at(0), host::FormatDataResponse(true, big));

  struct Refusal {
    const char* what;
    Bytes request;
    Bytes answer;
  };
  Bytes streamFail = host::Pdu(host::kFileContentsResponse, host::kResponseFail, {0x44, 0x33, 0x22, 0x11});
  const uint32_t fileDescriptor = clip::RegisterClipboardFormatW(u"FileGroupDescriptorW");
  const Refusal refusals[] = {
      {"a format nobody offers", host::FormatDataRequest(0xC0DD), host::FormatDataResponse(false, {})},
      {"the file list: no file is served", host::FormatDataRequest(fileDescriptor), host::FormatDataResponse(false, {})},
      {"a request without its format", host::Pdu(host::kFormatDataRequest, 0, {1, 2}), host::FormatDataResponse(false, {})},
      {"file contents", host::FileContentsRequest(0x11223344, 0), streamFail},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    session_->Clear();
    Receive(r.request);
    EXPECT_EQ(Pdus(1).at(0), r.answer);
  }
}

TEST_F(ClipboardChannelTest, RenderRequestsMapLocalToServerFormats) {
  EXPECT_EQ(channel_->RenderFormatRequest(0xC123), ChannelRDPCLIP::kNoServerFormat);
  EXPECT_TRUE(session_->Sent().empty());
  EXPECT_EQ(channel_->RenderFormatRequest(16), 0);
  const std::vector<Bytes> sent = session_->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (Bytes{0x57, 0x43, kIndex, 0, 20, 0, 0, 0, 12, 0, 0, 0, 0x13, 0, 0, 0,
                            4, 0, 0, 0, 4, 0, 0, 0, 16, 0, 0, 0}));
}

TEST_F(ClipboardChannelTest, PdusCutShortAreReadOnlyInsideTheirBytes) {
  const Bytes caps = host::ServerCapabilities(0x0E);
  Bytes longSet = caps;
  longSet[14] = 0x40;  // lengthCapability past the PDU
  Bytes shortSet = caps;
  shortSet[14] = 0x02;  // lengthCapability below its own header
  Bytes pastEnd = caps;
  pastEnd[4] = 0x11;  // one byte more than came
  Bytes twoSets = caps;
  twoSets[8] = 2;  // a second set that is not there
  struct Case {
    const char* what;
    Bytes pdu;
    uint32_t flags;
  };
  const Case cases[] = {
      {"header only half there", Bytes{0x07, 0x00, 0x00}, 0},
      {"dataLen past the bytes", pastEnd, 0},
      {"set length past the PDU", longSet, 0},
      {"set length below its header", shortSet, 0},
      {"a set count past the sets", twoSets, 0x0E},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fresh = std::make_shared<ChannelRDPCLIP>(1, kIndex, 0x10, session_);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[c.pdu.size()]);
    std::copy(c.pdu.begin(), c.pdu.end(), exact.get());
    fresh->OnReceive(exact.get(), uint32_t(c.pdu.size()), session_.get(), fresh);
    EXPECT_EQ(fresh->ServerGeneralFlags(), c.flags);
  }
  // A format list whose last name runs to the end: the entries before it
  // stand, the answer is a failure.
  ServerWithLongNames();
  Bytes list = host::FormatList({{13, u""}, {0xC0AB, u"Cut"}});
  list.resize(list.size() - 2);
  list[4] = uint8_t(list.size() - 8);
  Receive(list);
  EXPECT_EQ(Pdus(1).at(0), host::FormatListResponse(false));
  ASSERT_EQ(channel_->ServerFormats().size(), 1u);
  EXPECT_EQ(channel_->ServerFormats()[0].format, 13u);
}

TEST_F(ClipboardChannelTest, AStoppedChannelTakesNoCallbackAndIsDestroyed) {
  std::weak_ptr<ChannelRDPCLIP> weak = channel_;
  channel_->Stop();
  EXPECT_EQ(channel_->RenderFormatRequest(13), ChannelRDPCLIP::kChannelGone);
  channel_->LocalClipboardChanged();
  EXPECT_TRUE(session_->Sent().empty());
  channel_.reset();
  // The local clipboard lets go of its callback when its thread has ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(weak.expired());
}

}  // namespace
