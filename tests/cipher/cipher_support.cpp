#include "cipher_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "cryptlib/cipherblocks.h"

std::string Hex(const uint8_t* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

namespace {

std::deque<uint8_t>& RandomQueue() {
  static std::deque<uint8_t> queue;
  return queue;
}

bool ScriptedSource(uint8_t* out, size_t n) {
  auto& queue = RandomQueue();
  if (queue.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    out[i] = queue.front();
    queue.pop_front();
  }
  return true;
}

}  // namespace

ScriptedRandom::ScriptedRandom() : previous_(SetRandomSource(ScriptedSource)) {
  RandomQueue().clear();
}

ScriptedRandom::~ScriptedRandom() {
  SetRandomSource(previous_);
  RandomQueue().clear();
}

void ScriptedRandom::Queue(const Bytes& bytes) {
  RandomQueue().insert(RandomQueue().end(), bytes.begin(), bytes.end());
}

size_t ScriptedRandom::Pending() const { return RandomQueue().size(); }

std::vector<std::string> AskReference(const std::vector<std::string>& requests) {
  char path[] = "/tmp/cipher_requests_XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  if (fd < 0) return {};
  close(fd);
  {
    std::ofstream file(path);
    for (const auto& r : requests) file << r << '\n';
  }
  const std::string command =
      std::string("'") + PELLUM_PYTHON + "' '" + CIPHER_REFERENCE + "' batch < " + path;
  std::vector<std::string> answers;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe != nullptr) {
    std::string line;
    int c;
    while ((c = fgetc(pipe)) != EOF) {
      if (c == '\n') {
        answers.push_back(line);
        line.clear();
      } else {
        line += static_cast<char>(c);
      }
    }
    EXPECT_EQ(pclose(pipe), 0);
  }
  unlink(path);
  EXPECT_EQ(answers.size(), requests.size()) << "the reference model did not answer every request";
  answers.resize(requests.size());
  for (size_t i = 0; i < answers.size(); ++i) {
    EXPECT_NE(answers[i].rfind("error", 0), 0u) << requests[i] << " -> " << answers[i];
  }
  return answers;
}

std::vector<Bytes> Fields(const std::string& answer) {
  std::vector<Bytes> out;
  std::istringstream in(answer);
  std::string field;
  while (in >> field) out.push_back(FromHex(field));
  return out;
}

KeyMaterial MakeKeyMaterial(uint32_t seed) {
  KeyMaterial m;
  Bytes local = Pattern(ExchangeRecord::kSize, seed);
  Bytes remote = Pattern(RemoteExchangeRecord::kSize, seed + 1000);
  memcpy(m.local.bytes, local.data(), local.size());
  memcpy(m.remote.bytes, remote.data(), remote.size());
  m.sessionKey = Pattern(16, seed + 2000);
  return m;
}

void Activate(CSessionCipher* cipher, KeyMaterial* material) {
  ASSERT_EQ(MakeExchangeValue(&material->local), 0);
  ASSERT_EQ(cipher->SetLocalHalf(&material->local), 0);
  {
    ScriptedRandom random;
    random.Queue(material->sessionKey);
    ASSERT_EQ(cipher->WrapRandomKey(nullptr, nullptr, 0), 0);
  }
  ASSERT_EQ(cipher->SetRemoteHalf(&material->remote), 0);
  ASSERT_TRUE(cipher->IsActive());
}

Level0Server::Level0Server(const Bytes& sessionKey) { ::DeriveLevel0Key(sessionKey.data(), key_); }

Bytes Level0Server::Encrypt(const Bytes& pad, const Bytes& payload, bool chained) const {
  Bytes data;
  data.push_back(static_cast<uint8_t>(pad.size()));
  data.insert(data.end(), pad.begin(), pad.end());
  data.insert(data.end(), payload.begin(), payload.end());
  EXPECT_EQ(data.size() % 8, 0u);
  Rc5Block rc5(key_, 8, Rc5Block::kEncrypt);
  for (size_t i = 0; i + 8 <= data.size(); i += 8) {
    if (chained && i != 0) {
      for (size_t j = 0; j < 8; ++j) data[i + j] ^= data[j];
    }
    rc5.Process(&data[i]);
  }
  return data;
}

Bytes Level0Server::Decrypt(Bytes data, bool chained, bool* ok) const {
  *ok = false;
  if (data.empty() || data.size() % 8 != 0) return {};
  Rc5Block rc5(key_, 8, Rc5Block::kDecrypt);
  const Bytes received = data;
  for (size_t i = 0; i < data.size(); i += 8) {
    rc5.Process(&data[i]);
    if (chained && i != 0) {
      for (size_t j = 0; j < 8; ++j) data[i + j] ^= received[j];
    }
  }
  const size_t pad = data[0];
  // The client pads its slot packets with up to eight bytes.
  if (pad > 8 || pad + 1 > data.size()) return {};
  *ok = true;
  return Bytes(data.begin() + 1 + static_cast<long>(pad), data.end());
}
