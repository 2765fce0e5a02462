// The socket wait with writability and a wakeup: a full socket is not
// writable, a drained one is, and a wakeup set from another thread (or
// before the wait) ends it once.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "pelplat/netwait.h"

namespace {

struct SocketPair {
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
  ~SocketPair() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

TEST(NetWait, ReadableWritableAndWakeup) {
  SocketPair pair;
  SocketWakeup wakeup;
  ASSERT_TRUE(wakeup.Valid());
  const SOCKET s = pair.fds[0];
  const bool wantWrite = true;
  bool readable = false, writable = false;
  EXPECT_EQ(SocketWaitEvents(&s, 1, &wantWrite, &wakeup, 5000, &readable, &writable), 1);
  EXPECT_TRUE(writable);
  EXPECT_FALSE(readable);

  // Filled up: neither way ready until the other side reads or writes.
  std::vector<char> block(65536, 'x');
  while (SocketSend(s, block.data(), static_cast<int>(block.size()), nullptr) > 0) {
  }
  EXPECT_EQ(SocketWaitEvents(&s, 1, &wantWrite, &wakeup, 50, &readable, &writable), 0);
  EXPECT_FALSE(writable);
  ASSERT_EQ(write(pair.fds[1], "y", 1), 1);
  EXPECT_EQ(SocketWaitEvents(&s, 1, &wantWrite, &wakeup, 5000, &readable, &writable), 1);
  EXPECT_TRUE(readable);
  EXPECT_FALSE(writable);

  // A set made before the wait is not lost; one from another thread ends
  // a wait that would otherwise run its whole time.
  char c;
  ASSERT_EQ(read(s, &c, 1), 1);
  wakeup.Set();
  EXPECT_EQ(SocketWaitEvents(&s, 1, &wantWrite, &wakeup, 60000, &readable, &writable), 0);
  // That wait cleared it.
  pollfd still{wakeup.Handle(), POLLIN, 0};
  EXPECT_EQ(poll(&still, 1, 0), 0);
  std::thread setter([&] { wakeup.Set(); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketWaitEvents(&s, 1, nullptr, &wakeup, 60000, &readable, &writable), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  setter.join();
}

}  // namespace
