// Writes the seed corpus of remoteio_answer_fuzz: request steps and the
// test host's answers to them (RemoteIoServer's encoder), the probe's
// sequence and the answers a hostile server could send.
//   remoteio_answer_seeds <corpus dir>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "testhost/RemoteIoServer.h"
#include "testhost/Wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using RIO = testhost::RemoteIoServer;
using testhost::wire::Append;

// The fuzz target's ops.
enum Op : uint8_t { kOpen, kSize, kSeek, kRead, kClose, kAnswer, kTake, kDetach };
constexpr uint8_t kRawId = 0xFF;

class Script {
 public:
  Script& Do(Op op) {
    bytes_.push_back(op);
    return *this;
  }
  Script& With(Op op, int32_t operand) {
    Do(op);
    Append(bytes_, static_cast<uint32_t>(operand), 4);
    return *this;
  }
  // `which` picks the request whose id the fuzz target writes in.
  Script& Answer(uint8_t which, const Bytes& answer) {
    Do(kAnswer);
    bytes_.push_back(which);
    Append(bytes_, answer.size(), 2);
    bytes_.insert(bytes_.end(), answer.begin(), answer.end());
    return *this;
  }
  void Write(const std::string& path) const {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()), std::streamsize(bytes_.size()));
  }

 private:
  Bytes bytes_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: remoteio_answer_seeds <corpus dir>\n");
    return 2;
  }
  const std::string dir = argv[1];
  Bytes block(64);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 3);

  // The probe: open, size, seek, read, close, each answered in turn.
  Script()
      .Do(kOpen)
      .Answer(0, RIO::EncodeAnswer(0, 0, RIO::kHandle, 0, 0, RIO::kOpen, {}))
      .Do(kTake)
      .Do(kSize)
      .Answer(1, RIO::EncodeAnswer(0, 0, 0, 5000, 0, RIO::kSize, {}))
      .With(kSeek, 16)
      .Answer(2, RIO::EncodeAnswer(0, 0, 0, 16, 0, RIO::kSeek, {}))
      .With(kRead, 262144)
      .Answer(3, RIO::EncodeAnswer(0, int32_t(block.size()), int32_t(block.size()), 0, 0, RIO::kRead, block))
      .Do(kTake)
      .Do(kClose)
      .Answer(4, RIO::EncodeAnswer(0, 0, 0, 0, 0, RIO::kClose, {}))
      .Do(kTake)
      .Write(dir + "/probe");

  // Data lengths the payload does not hold, and an open the server refuses.
  Script()
      .Do(kOpen)
      .Answer(0, RIO::EncodeAnswer(0, 0, RIO::kHandle, 0, 0, RIO::kOpen, {}))
      .With(kRead, 100)
      .Answer(1, RIO::EncodeAnswer(0, 100, 100, 0, 0, RIO::kRead, {1, 2, 3}))
      .Answer(1, RIO::EncodeAnswer(0, -1, 0, 0, 0, RIO::kRead, {}))
      .Answer(1, Bytes(20, 0))
      .Do(kTake)
      .Write(dir + "/bad-lengths");
  Script()
      .Do(kOpen)
      .Answer(0, RIO::EncodeAnswer(0, 0, 0, 0, 0, RIO::kOpen, {}))
      .Do(kTake)
      .Do(kSize)
      .Write(dir + "/open-refused");

  // Answers out of order: the later one ends the earlier request.
  Script()
      .Do(kOpen)
      .Answer(0, RIO::EncodeAnswer(0, 0, RIO::kHandle, 0, 0, RIO::kOpen, {}))
      .Do(kSize)
      .With(kSeek, -5)
      .Answer(2, RIO::EncodeAnswer(0, 0, 0, 0, 0, RIO::kSeek, {}))
      .Answer(1, RIO::EncodeAnswer(0, 0, 0, 9, 0, RIO::kSize, {}))
      .Answer(kRawId, RIO::EncodeAnswer(12345, 0, 0, 0, 0, RIO::kClose, {}))
      .Do(kTake)
      .Write(dir + "/out-of-order");

  // Requests after the object has left its client.
  Script()
      .Do(kOpen)
      .Answer(0, RIO::EncodeAnswer(0, 0, RIO::kHandle, 0, 0, RIO::kOpen, {}))
      .Do(kDetach)
      .Do(kSize)
      .Do(kClose)
      .Do(kTake)
      .Write(dir + "/detached");
  return 0;
}
