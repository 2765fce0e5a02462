// Server discovery over loopback only: the engine's sockets are bound to a
// loopback "adapter" given through the adapter-list seam, and its probes go
// to loopback ports named by the test, never to a broadcast address. The
// answers come from the test host, its responder or hand-made datagrams.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "pelplat/debugout.h"
#include "pelplat/net.h"
#include "pelplat/winerror.h"
#include "discovery/ServerFinderCore.h"
#include "testhost/Datagram.h"
#include "testhost/DiscoveryResponder.h"
#include "testhost/Wire.h"

using testhost::DiscoveryEntry;
using testhost::DiscoveryResponder;
using testhost::ServerState;

namespace {

DWORD LoopbackAdapter(std::vector<NetAdapter>& out) {
  NetAdapter a;
  a.name = "eth0";
  a.type = MIB_IF_TYPE_ETHERNET;
  inet_pton(AF_INET, "127.0.0.1", &a.firstAddress);
  out = {a};
  return ERROR_SUCCESS;
}

DWORD NoAdapterList(std::vector<NetAdapter>&) { return ERROR_NOT_SUPPORTED; }
DWORD OutOfMemory(std::vector<NetAdapter>&) { throw std::bad_alloc(); }
DWORD SystemFailure(std::vector<NetAdapter>&) { throw std::system_error(EPERM, std::generic_category(), "adapters"); }
DWORD OddFailure(std::vector<NetAdapter>&) { throw 42; }

std::string Dotted(uint32_t networkOrder) {
  in_addr a{};
  a.s_addr = networkOrder;
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &a, text, sizeof text);
}

bool IsLoopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

struct Listed {
  std::u16string name;
  std::string address;
  bool operator==(const Listed& o) const { return name == o.name && address == o.address; }
};

std::ostream& operator<<(std::ostream& out, const Listed& l) {
  out << "{";
  for (char16_t c : l.name) out << (c < 128 ? static_cast<char>(c) : '?');
  return out << ", " << l.address << "}";
}

std::vector<Listed> Table(const CServerFinderCore& engine) {
  std::vector<Listed> out;
  for (const ServerRecord& r : engine.Servers()) out.push_back(Listed{std::u16string(r.name), Dotted(r.address)});
  return out;
}

class CountingListener : public IServerFinderListener {
 public:
  void OnServersFound() override {
    std::lock_guard<std::mutex> hold(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool WaitFor(int count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return count_ >= count; });
  }
  int Count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

class DebugLines {
 public:
  DebugLines() {
    previous_ = SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex_);
      text_ += line;
    });
  }
  ~DebugLines() { SetDebugOutputSink(previous_); }
  bool Contains(const std::string& s) {
    std::lock_guard<std::mutex> hold(mutex_);
    return text_.find(s) != std::string::npos;
  }

 private:
  DebugOutputSink previous_;
  std::mutex mutex_;
  std::string text_;
};

class DiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetAdapterListProvider(LoopbackAdapter);
    ASSERT_TRUE(probeSink_.Bind("127.0.0.1"));
  }
  void TearDown() override { SetAdapterListProvider(previous_); }

  static DiscoveryDestinations To(const sockaddr_in& list, const sockaddr_in& server) {
    DiscoveryDestinations d{list, server};
    EXPECT_TRUE(IsLoopback(d.listProbe) && IsLoopback(d.serverProbe)) << "tests send to loopback only";
    return d;
  }

  AdapterListProvider previous_ = nullptr;
  testhost::DatagramPeer probeSink_;
};

// An engine whose probes both go to the test's own socket, so the test
// learns the engine's address from them and answers by hand.
class AnswerTableTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    engine_.reset(new CServerFinderCore(To(probeSink_.Address(), probeSink_.Address())));
    engine_->SetListener(&listener_);
    engine_->StartThread();
  }
  void TearDown() override {
    engine_->StopThread();
    engine_->ClearListener();
    engine_.reset();
    DiscoveryTest::TearDown();
  }
  // A new search: both probes received, the table empty.
  void Search() {
    ASSERT_EQ(engine_->Search(1), 0);
    for (int i = 0; i < 2; ++i) {
      std::vector<uint8_t> probe;
      ASSERT_TRUE(probeSink_.Receive(&probe, &engineAddress_, 5000));
    }
  }
  // Sends the answers and waits until the engine has looked at each.
  void Answer(const std::vector<std::pair<const char*, std::vector<uint8_t>>>& answers) {
    const int before = listener_.Count();
    for (const auto& a : answers) {
      testhost::DatagramPeer source;
      ASSERT_TRUE(source.Bind(a.first));
      ASSERT_TRUE(source.SendTo(engineAddress_, a.second.data(), a.second.size()));
    }
    ASSERT_TRUE(listener_.WaitFor(before + static_cast<int>(answers.size())));
  }

  std::unique_ptr<CServerFinderCore> engine_;
  CountingListener listener_;
  sockaddr_in engineAddress_{};
};

std::vector<uint8_t> ListOf(std::vector<DiscoveryEntry> entries) { return DiscoveryResponder::ListAnswer(entries); }

std::vector<DiscoveryEntry> Entries(int n) {
  std::vector<DiscoveryEntry> e;
  for (int i = 0; i < n; ++i) {
    std::u16string name = u"HOST-";
    name += static_cast<char16_t>(u'A' + i % 26);
    name += static_cast<char16_t>(u'0' + i / 26);
    e.push_back(DiscoveryEntry{name, "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1)});
  }
  return e;
}

std::vector<Listed> ListedOf(const std::vector<DiscoveryEntry>& entries) {
  std::vector<Listed> out;
  for (const auto& e : entries) out.push_back(Listed{e.name, e.address});
  return out;
}

std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t offset, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

TEST_F(AnswerTableTest, ListAnswers) {
  const std::vector<DiscoveryEntry> eight = Entries(8);
  std::vector<DiscoveryEntry> repeat = Entries(4);
  repeat[2].address = repeat[0].address;
  const std::u16string full(32, u'N');
  struct Case {
    const char* what;
    std::vector<uint8_t> answer;
    std::vector<Listed> table;
  } cases[] = {
      {"564 bytes with eight entries", ListOf(eight), ListedOf(eight)},
      {"563 bytes", Cut(ListOf(eight), 563), {}},
      {"the probe's own tag first", Patched(ListOf(eight), 0, 0x53425355, 4), {}},
      {"a wrong magic", Patched(ListOf(eight), 12, 0xAA550004u, 4), {}},
      {"a count beyond the data", Patched(ListOf(eight), 16, 1000, 4), ListedOf(eight)},
      {"a repeated address ends the list",
       ListOf(repeat),
       {ListedOf(repeat)[0], ListedOf(repeat)[1]}},
      {"a name without terminator", ListOf({{full, "10.1.1.1"}}), {{full.substr(0, 31), "10.1.1.1"}}},
      {"more than the table holds", ListOf(Entries(60)), ListedOf(Entries(50))},
  };
  for (const Case& c : cases) {
    Search();
    Answer({{"127.0.0.1", c.answer}});
    EXPECT_EQ(Table(*engine_), c.table) << c.what;
  }
}

TEST_F(AnswerTableTest, ServerAnswers) {
  const std::vector<uint8_t> normal = DiscoveryResponder::ServerAnswer(u"ALPHA", ServerState{0, 1, 1});
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, std::vector<uint8_t>>> answers;
    std::vector<Listed> table;
  } cases[] = {
      {"324 bytes", {{"127.0.0.2", normal}}, {{u"ALPHA", "127.0.0.2"}}},
      {"323 bytes", {{"127.0.0.2", Cut(normal, 323)}}, {}},
      {"another tag", {{"127.0.0.2", Patched(normal, 0, 0x53414358, 4)}}, {}},
      {"busy", {{"127.0.0.2", DiscoveryResponder::ServerAnswer(u"ALPHA", ServerState{1, 1, 1})}},
       {{u"", "127.0.0.2"}}},
      {"word B 0 with word A set", {{"127.0.0.2", DiscoveryResponder::ServerAnswer(u"ALPHA", ServerState{0, 1, 0})}},
       {{u"", "127.0.0.2"}}},
      {"words A and B 0", {{"127.0.0.2", DiscoveryResponder::ServerAnswer(u"ALPHA", ServerState{0, 0, 0})}},
       {{u"ALPHA", "127.0.0.2"}}},
      {"a name without terminator", {{"127.0.0.2", DiscoveryResponder::ServerAnswer(std::u16string(32, u'Z'), {})}},
       {{std::u16string(31, u'Z'), "127.0.0.2"}}},
      {"two servers",
       {{"127.0.0.2", normal}, {"127.0.0.3", DiscoveryResponder::ServerAnswer(u"BETA", {})}},
       {{u"ALPHA", "127.0.0.2"}, {u"BETA", "127.0.0.3"}}},
      {"a known server turns busy",
       {{"127.0.0.2", normal}, {"127.0.0.2", DiscoveryResponder::ServerAnswer(u"ALPHA", ServerState{7, 1, 1})}},
       {{u"", "127.0.0.2"}}},
      {"a known server answers again", {{"127.0.0.2", normal}, {"127.0.0.2", normal}}, {{u"ALPHA", "127.0.0.2"}}},
      {"neither layout", {{"127.0.0.2", std::vector<uint8_t>(600, 0x11)}}, {}},
  };
  for (const Case& c : cases) {
    Search();
    Answer(c.answers);
    EXPECT_EQ(Table(*engine_), c.table) << c.what;
  }
}

TEST_F(AnswerTableTest, AFullTableTakesNoFurtherServer) {
  Search();
  Answer({{"127.0.0.1", ListOf(Entries(50))}, {"127.0.0.2", DiscoveryResponder::ServerAnswer(u"LATE", {})}});
  std::vector<Listed> table = Table(*engine_);
  EXPECT_EQ(table, ListedOf(Entries(50)));
}

TEST_F(AnswerTableTest, ProbesAreExactlyTheTwoKnownDatagrams) {
  std::vector<uint8_t> list;
  std::vector<uint8_t> server;
  sockaddr_in from{};
  EXPECT_EQ(engine_->Search(0), 5);
  ASSERT_EQ(engine_->Search(1), 0);
  ASSERT_TRUE(probeSink_.Receive(&list, &from, 5000));
  ASSERT_TRUE(probeSink_.Receive(&server, &from, 5000));
  EXPECT_EQ(Dotted(from.sin_addr.s_addr), "127.0.0.1");

  const std::vector<uint8_t> wantList = {21, 0,    0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 0x90, 1,
                                         0,  0,    2, 0, 5,    2,    0,    0,    0, 0, 0, 0, 0,    0};
  std::vector<uint8_t> wantServer(128, 0);
  memcpy(wantServer.data(), "USBS", 4);
  EXPECT_EQ(list, wantList);
  EXPECT_EQ(server, wantServer);
  EXPECT_EQ(CServerFinderCore::ListProbe(), wantList);
  EXPECT_EQ(CServerFinderCore::ServerProbe(), wantServer);
  // Search(0) sent nothing: only these two arrived.
  std::vector<uint8_t> more;
  EXPECT_FALSE(probeSink_.Receive(&more, &from, 200));
}

TEST_F(DiscoveryTest, SearchNeedsAnOpenSocket) {
  CServerFinderCore engine(To(probeSink_.Address(), probeSink_.Address()));
  EXPECT_EQ(engine.Search(1), 6);
  EXPECT_EQ(engine.Search(0), 5);

  DebugLines log;
  SetAdapterListProvider(NoAdapterList);
  engine.StartThread();
  EXPECT_EQ(engine.Search(1), 6);
  engine.StopThread();
  EXPECT_TRUE(log.Contains("Server Finder doesn't work"));
}

TEST_F(DiscoveryTest, StartThreadReturnsWhateverTheReceiveThreadMeets) {
  struct Case {
    AdapterListProvider provider;
    const char* line;
  } cases[] = {
      {OutOfMemory, "Bad alloc in thread"},
      {SystemFailure, "Error 1 in thread"},
      {OddFailure, "Failure in exception"},
  };
  for (const Case& c : cases) {
    DebugLines log;
    SetAdapterListProvider(c.provider);
    CServerFinderCore engine(To(probeSink_.Address(), probeSink_.Address()));
    engine.StartThread();  // must not wait for ever
    engine.StopThread();
    EXPECT_TRUE(log.Contains(c.line)) << c.line;
    EXPECT_EQ(engine.Search(1), 6);
  }
}

TEST_F(DiscoveryTest, ALoopbackRunListsTheTestHost) {
  DiscoveryResponder host;
  host.SetName(u"PELLUM-HOST");
  host.SetEntries({{u"LISTED-ONE", "127.0.0.5"}});
  ASSERT_TRUE(host.Start("127.0.0.1"));
  CServerFinderCore engine(To(host.ListAddress(), host.ServerAddress()));
  CountingListener listener;
  engine.SetListener(&listener);

  // The user interface reads while the receive thread writes.
  std::atomic<bool> reading{true};
  std::atomic<int> reads{0};
  std::atomic<int> oversized{0};
  std::thread reader([&] {
    while (reading) {
      in_addr a{};
      engine.FindServer(u"pellum-host", &a);
      if (engine.Servers().size() > 2) ++oversized;
      ++reads;
    }
  });

  for (int cycle = 0; cycle < 2; ++cycle) {
    engine.StartThread();
    const int before = listener.Count();
    ASSERT_EQ(engine.Search(1), 0);
    ASSERT_TRUE(listener.WaitFor(before + 2));
    engine.StopThread();
    std::vector<Listed> table = Table(engine);
    std::sort(table.begin(), table.end(), [](const Listed& a, const Listed& b) { return a.address < b.address; });
    EXPECT_EQ(table, std::vector<Listed>({{u"PELLUM-HOST", "127.0.0.1"}, {u"LISTED-ONE", "127.0.0.5"}}));
  }
  reading = false;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(oversized.load(), 0);

  in_addr address{};
  ASSERT_TRUE(engine.FindServer(u"pellum-HOST", &address));
  EXPECT_EQ(Dotted(address.s_addr), "127.0.0.1");
  EXPECT_FALSE(engine.FindServer(u"PELLUM", &address));
  EXPECT_EQ(host.ListProbes().size(), 2u);
  EXPECT_EQ(host.ServerProbes().size(), 2u);
  engine.ClearListener();
}

// The test host's command line in discovery mode: it prints its ports and
// answers until its input closes.
TEST_F(DiscoveryTest, TheTestHostCommandAnswersAsItsName) {
  int toHost[2];
  int fromHost[2];
  ASSERT_EQ(pipe(toHost), 0);
  ASSERT_EQ(pipe(fromHost), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(toHost[0], 0);
    dup2(fromHost[1], 1);
    close(toHost[1]);
    close(fromHost[0]);
    execl(PELLUM_TESTHOST, PELLUM_TESTHOST, "--address", "127.0.0.1", "--discovery", "CLI-HOST",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toHost[0]);
  close(fromHost[1]);
  FILE* out = fdopen(fromHost[0], "r");
  ASSERT_TRUE(out);
  char line[128] = {};
  ASSERT_TRUE(fgets(line, sizeof line, out));
  char address[32] = {};
  unsigned listPort = 0;
  unsigned serverPort = 0;
  ASSERT_EQ(sscanf(line, "discovery %31s %u %u", address, &listPort, &serverPort), 3) << line;
  EXPECT_STREQ(address, "127.0.0.1");

  CServerFinderCore engine(To(testhost::LoopbackAddress("127.0.0.1", static_cast<uint16_t>(listPort)),
                              testhost::LoopbackAddress("127.0.0.1", static_cast<uint16_t>(serverPort))));
  CountingListener listener;
  engine.SetListener(&listener);
  engine.StartThread();
  ASSERT_EQ(engine.Search(1), 0);
  EXPECT_TRUE(listener.WaitFor(2));
  engine.StopThread();
  engine.ClearListener();
  EXPECT_EQ(Table(engine), std::vector<Listed>({{u"CLI-HOST", "127.0.0.1"}}));

  close(toHost[1]);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  fclose(out);
}

}  // namespace
