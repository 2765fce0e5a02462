// A replay with nothing to replay ends on its own: its socket was never
// connected, so it must not count the connected sockets below zero.
#include <gtest/gtest.h>

#include "SessionDoubles.h"
#include "transport/ConnectTarget.h"
#include "transport/Status.h"

using namespace sessiontest;

TEST(Replay, AnEmptyReplayEndsTheLoopByItself) {
  int status = -1;
  ConnectTarget target = ResolvedTarget(u"host=nothing.rec", 40000, &status);
  ASSERT_EQ(status, kStatusOk);
  TestClient* client = new TestClient;
  auto* connection = new CConnection(nullptr, nullptr);
  connection->SetClient(client);
  ASSERT_EQ(connection->Open(target), 1);
  std::atomic<bool> ended{false};
  std::thread loop([&] {
    connection->ReceiveLoop();
    ended = true;
  });
  // About ten seconds of idle passes; a stop after a generous wait keeps
  // the test from hanging when the loop does not end.
  for (int i = 0; i < 600 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const bool endedByItself = ended;
  connection->StopLoop(0);
  loop.join();
  EXPECT_TRUE(endedByItself);
  EXPECT_EQ(connection->ConnectedCount(), 0);
  EXPECT_EQ(connection->LastResult(), kStatusNoConnection);
  connection->Close();
  EXPECT_EQ(client->disconnected.load(), 1);
  connection->Release();
  client->Release();
}
