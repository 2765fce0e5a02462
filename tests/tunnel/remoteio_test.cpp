// The remote I/O client against a recording session client: the request
// payloads as the test host reads them, the matching of answers to pending
// requests, and what an answer may claim about its own length.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <future>

#include "TunnelDoubles.h"
#include "services/RemoteIo.h"
#include "testhost/RemoteIoServer.h"
#include "testhost/Wire.h"

using qmt::RemoteIo;
using testhost::RemoteIoRequest;
using testhost::RemoteIoServer;
using tunneltest::RecordingClient;

namespace {

bool Ready(RemoteIo::PendingAnswer& f) {
  return f.valid() && f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

std::vector<uint8_t> Answer(uint64_t id, uint32_t code, int32_t result = 0, const std::vector<uint8_t>& data = {}) {
  return RemoteIoServer::EncodeAnswer(id, static_cast<int32_t>(data.size()), result, 0, 0, code, data);
}

class RemoteIoTest : public testing::Test {
 protected:
  void TearDown() override {
    io_.reset();
    client_->Release();
  }

  RemoteIoRequest LastRequest() {
    auto requests = client_->SentRequests();
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? RemoteIoRequest() : requests.back();
  }
  void Deliver(const std::vector<uint8_t>& payload) { io_->OnAnswer(payload.data(), payload.size()); }

  // Opens "movie.mp4" and answers with the handle.
  void OpenFile(int32_t handle = 3) {
    RemoteIo::PendingAnswer open = io_->Open(u"movie.mp4");
    ASSERT_TRUE(open.valid());
    Deliver(Answer(LastRequest().id, RemoteIo::kOpen, handle));
    RemoteIo::Answer a = RemoteIo::Wait(open, 0);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->result, handle);
  }

  RecordingClient* client_ = new RecordingClient;
  std::unique_ptr<RemoteIo> io_ = std::make_unique<RemoteIo>(client_);
};

TEST_F(RemoteIoTest, RequestsGoOutAsTheHostReadsThem) {
  OpenFile(9);
  io_->Size();
  io_->Seek(-5);
  io_->Read(4096);
  io_->Close();
  auto requests = client_->SentRequests();
  ASSERT_EQ(requests.size(), 5u);
  const char* methods[] = {"open", "size", "seek", "read", "close"};
  const size_t sizes[] = {2056, 12, 24, 16, 12};
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].method, methods[i]);
    EXPECT_EQ(requests[i].payloadSize, sizes[i]);
    EXPECT_GE(requests[i].id, 13u);
    if (i) {
      EXPECT_EQ(requests[i].id, requests[i - 1].id + 1) << "ids are taken in request order";
      EXPECT_EQ(requests[i].handle, 9u);
    }
  }
  EXPECT_EQ(requests[0].path, u"movie.mp4");
  EXPECT_EQ(requests[2].offset, -5);  // sign-extended to 64 bits
  EXPECT_EQ(requests[3].byteCount, 4096);
  // The word between offset and id of a seek is zero.
  auto calls = client_->SentCalls();
  EXPECT_EQ(testhost::wire::Read(calls[2].payload, 12, 4), 0u);
  for (const auto& call : calls) EXPECT_EQ(call.object, ".micro_io");
}

TEST_F(RemoteIoTest, AnAnswerEndsEveryOlderRequestStillPending) {
  OpenFile();
  RemoteIo::PendingAnswer size = io_->Size();
  RemoteIo::PendingAnswer seek = io_->Seek(16);
  RemoteIo::PendingAnswer read = io_->Read(100);
  auto requests = client_->SentRequests();
  ASSERT_EQ(requests.size(), 4u);

  Deliver(Answer(requests[1].id, RemoteIo::kSize));
  EXPECT_TRUE(Ready(size));
  EXPECT_FALSE(Ready(seek));
  Deliver(Answer(requests[3].id, RemoteIo::kRead, 3, {1, 2, 3}));
  RemoteIo::Answer sizeAnswer = RemoteIo::Wait(size, 0);
  RemoteIo::Answer seekAnswer = RemoteIo::Wait(seek, 0);
  RemoteIo::Answer readAnswer = RemoteIo::Wait(read, 0);
  ASSERT_TRUE(sizeAnswer);
  EXPECT_EQ(sizeAnswer->requestId, requests[1].id);
  EXPECT_FALSE(seekAnswer);
  ASSERT_TRUE(readAnswer);
  EXPECT_EQ(readAnswer->code, RemoteIo::kRead);
  EXPECT_EQ(std::vector<uint8_t>(readAnswer->Data(), readAnswer->Data() + 3), std::vector<uint8_t>({1, 2, 3}));

  // A late answer to the request that was given up on matches nothing.
  Deliver(Answer(requests[2].id, RemoteIo::kSeek));
  EXPECT_EQ(io_->Handle(), 3);
}

TEST_F(RemoteIoTest, ARefusedOpenLeavesNothingToAskAndTheNextOpenIsSent) {
  RemoteIo::PendingAnswer open = io_->Open(u"missing.mp4");
  Deliver(Answer(LastRequest().id, RemoteIo::kOpen, 0));
  ASSERT_TRUE(RemoteIo::Wait(open, 0));
  EXPECT_EQ(io_->Handle(), 0);
  EXPECT_EQ(io_->Path(), u"");
  EXPECT_FALSE(io_->Size().valid());
  EXPECT_FALSE(io_->Seek(16).valid());
  EXPECT_FALSE(io_->Read(262144).valid());
  EXPECT_FALSE(io_->Close().valid());
  EXPECT_EQ(client_->SentRequests().size(), 1u);

  EXPECT_TRUE(io_->Open(u"missing.mp4").valid());
  EXPECT_EQ(client_->SentRequests().size(), 2u);
}

TEST_F(RemoteIoTest, OpenWhileAFileIsOpenSendsNothing) {
  OpenFile();
  EXPECT_FALSE(io_->Open(u"other.mp4").valid());
  EXPECT_EQ(io_->Path(), u"movie.mp4");
  EXPECT_EQ(client_->SentRequests().size(), 1u);
  EXPECT_FALSE(io_->Open(u"").valid());
  EXPECT_FALSE(io_->Open(nullptr).valid());

  RemoteIo::PendingAnswer close = io_->Close();
  Deliver(Answer(LastRequest().id, RemoteIo::kClose));
  ASSERT_TRUE(RemoteIo::Wait(close, 0));
  EXPECT_EQ(io_->Handle(), 0);
  EXPECT_EQ(io_->Path(), u"");
}

TEST_F(RemoteIoTest, ALongPathIsCutTo1023Characters) {
  std::u16string path(1100, u'p');
  for (size_t i = 0; i < path.size(); ++i) path[i] = static_cast<char16_t>(u'a' + i % 26);
  io_->Open(path.c_str());
  RemoteIoRequest r = LastRequest();
  EXPECT_EQ(r.path, path.substr(0, 1023));
  auto call = client_->SentCalls().back();
  EXPECT_EQ(testhost::wire::Read(call.payload, 2046, 2), 0u);  // the terminator
  EXPECT_EQ(io_->Path(), path.substr(0, 1023));
}

TEST_F(RemoteIoTest, AWholeBlockIsCopied) {
  OpenFile();
  RemoteIo::PendingAnswer read = io_->Read(262144);
  std::vector<uint8_t> block(262144);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  std::vector<uint8_t> payload = Answer(LastRequest().id, RemoteIo::kRead, 262144, block);
  Deliver(payload);
  RemoteIo::Answer a = RemoteIo::Wait(read, 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->dataLength, 262144);
  EXPECT_EQ(a->bytes, payload);  // head and data, 28 + 262144 bytes
}

TEST_F(RemoteIoTest, AnswersThatOverstateOrUnderstateTheirDataAreDropped) {
  OpenFile();
  RemoteIo::PendingAnswer read = io_->Read(8);
  const uint64_t id = LastRequest().id;
  std::vector<uint8_t> shortHead = Answer(id, RemoteIo::kRead);
  shortHead.pop_back();
  struct Case {
    const char* what;
    std::vector<uint8_t> payload;
  } cases[] = {
      {"negative length", RemoteIoServer::EncodeAnswer(id, -1, 0, 0, 0, RemoteIo::kRead, {1, 2})},
      {"one byte more than sent", RemoteIoServer::EncodeAnswer(id, 3, 0, 0, 0, RemoteIo::kRead, {1, 2})},
      {"the largest length", RemoteIoServer::EncodeAnswer(id, INT_MAX, 0, 0, 0, RemoteIo::kRead, {})},
      {"the smallest length", RemoteIoServer::EncodeAnswer(id, INT_MIN, 0, 0, 0, RemoteIo::kRead, {1})},
      {"a short head", shortHead},
  };
  for (const Case& c : cases) {
    Deliver(c.payload);
    EXPECT_FALSE(Ready(read)) << c.what;
  }
  // A length below what arrived is taken: the bytes behind it are not data.
  Deliver(RemoteIoServer::EncodeAnswer(id, 1, 0, 0, 0, RemoteIo::kRead, {5, 6}));
  RemoteIo::Answer a = RemoteIo::Wait(read, 0);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->bytes.size(), 29u);
  EXPECT_EQ(a->Data()[0], 5);
}

TEST_F(RemoteIoTest, AFailedSendLeavesNoPendingRequest) {
  client_->SetSendAnswer(0);
  EXPECT_FALSE(io_->Open(u"movie.mp4").valid());
  EXPECT_EQ(io_->Path(), u"");
  client_->SetSendAnswer(-1);
  OpenFile();

  io_->Detach();
  client_->ClearSent();
  EXPECT_FALSE(io_->Size().valid());
  EXPECT_TRUE(client_->Sent().empty());
}

TEST_F(RemoteIoTest, GoingAwayWithAFileOpenSendsCloseWithoutWaiting) {
  OpenFile(4);
  RemoteIo::PendingAnswer size = io_->Size();
  io_.reset();  // returns at once: no answer to the close can come
  ASSERT_TRUE(Ready(size));
  EXPECT_FALSE(size.get());
  RemoteIoRequest close = LastRequest();
  EXPECT_EQ(close.method, "close");
  EXPECT_EQ(close.handle, 4u);
}

TEST_F(RemoteIoTest, WaitingGivesUpAfterItsTime) {
  OpenFile();
  RemoteIo::PendingAnswer size = io_->Size();
  EXPECT_FALSE(RemoteIo::Wait(size, 10));
  RemoteIo::PendingAnswer none;
  EXPECT_FALSE(RemoteIo::Wait(none, 10));
}

}  // namespace
