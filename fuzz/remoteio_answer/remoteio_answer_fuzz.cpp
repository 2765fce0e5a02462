// Remote I/O answers (".micro_io" "status" payloads) as qmt::RemoteIo takes
// them, between the requests they answer: a fresh object per input over a
// session client that is never connected and notes the id of every
// request sent, so that an answer can carry the id of a request really
// sent.
// Input: a series of steps, an op byte (taken modulo 8) and its operands:
//   0 open  1 size  2 seek (i32)  3 read (i32)  4 close
//   5 an answer: u8 which, u16 length, bytes. `which` below 0x80 picks one
//     of the requests sent so far, whose id goes over the answer's first
//     eight bytes; otherwise the bytes stand as they are.
//   6 take every answer that has come, without waiting
//   7 detach the object from the client
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "SessionFuzzRig.h"
#include "services/RemoteIo.h"
#include "services/Tunnel.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every request payload ends in its request id, and every request goes
// out as a tunnel frame in a control message.
class RequestReadingClient : public fuzzrig::OfflineClient {
 public:
  int SendOnSlot(uint16_t slot, const void* data, uint32_t length) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (length >= 4 + ybx::tunnel::kTunnelHeaderSize + 8) {
      uint64_t id = 0;
      for (int i = 7; i >= 0; --i) id = id << 8 | p[length - 8 + i];
      sentIds.push_back(id);
    }
    return fuzzrig::OfflineClient::SendOnSlot(slot, data, length);
  }
  std::vector<uint64_t> sentIds;
};

class Steps {
 public:
  Steps(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(U8()) << (8 * i);
    return v;
  }
  // Up to n bytes, in a buffer of their own size so that a read beyond
  // them shows.
  Bytes Take(size_t n) {
    n = std::min(n, size_ - at_);
    Bytes out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// What the object promises of every answer it hands out.
void Check(const tools::MicroIoAnswer& answer) {
  if (answer.dataLength < 0 ||
      answer.bytes.size() != tools::MicroIoAnswer::kHeadSize + static_cast<size_t>(answer.dataLength))
    abort();
  fuzzrig::ReadAll(answer.bytes.data(), answer.bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzrig::QuietLog();
  auto* client = new RequestReadingClient;
  {
    qmt::RemoteIo io(client);
    std::vector<qmt::RemoteIo::PendingAnswer> pending;
    Steps in(data, size);
    while (in.More()) {
      switch (in.U8() % 8) {
        case 0:
          pending.push_back(io.Open(u"/srv/media/clip.ts"));
          break;
        case 1:
          pending.push_back(io.Size());
          break;
        case 2:
          pending.push_back(io.Seek(static_cast<int32_t>(in.U32())));
          break;
        case 3:
          pending.push_back(io.Read(static_cast<int32_t>(in.U32())));
          break;
        case 4:
          pending.push_back(io.Close());
          break;
        case 5: {
          const uint8_t which = in.U8();
          const size_t length = in.U8() | size_t(in.U8()) << 8;
          Bytes answer = in.Take(length);
          const std::vector<uint64_t>& ids = client->sentIds;
          if (which < 0x80 && !ids.empty() && answer.size() >= 8) {
            const uint64_t id = ids[which % ids.size()];
            for (int i = 0; i < 8; ++i) answer[i] = static_cast<uint8_t>(id >> (8 * i));
          }
          io.OnAnswer(answer.data(), answer.size());
          break;
        }
        case 6:
          for (qmt::RemoteIo::PendingAnswer& p : pending) {
            if (!p.valid()) continue;
            if (qmt::RemoteIo::Answer answer = qmt::RemoteIo::Wait(p, 0)) Check(*answer);
          }
          break;
        case 7:
          io.Detach();
          break;
      }
    }
    // The object goes first: it may still send "close" through the client.
  }
  client->Release();
  return 0;
}
