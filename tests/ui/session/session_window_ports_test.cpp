// A session window and its display widget call the ports they were built
// with, never the live system API beside them.
#include <gtest/gtest.h>

#include <QMouseEvent>

#include "SessionTestEnv.h"
#include "support/FakeWindowPorts.h"

namespace {

class SessionWindowPortsTest : public ::testing::Test, public SessionFixture {};

TEST_F(SessionWindowPortsTest, KeysPointerCloseAndLeavingGoToTheHandedPorts) {
  testsupport::FakeWindowPorts ports;
  auto* window = new QtRdpWindow(1, 0, ports);
  window->show();
  DeliverEvents();

  MSG key{window->Handle(), QtRdpWindow::kHookedKeyMessage, 0x1E, 0, 0, {0, 0}};
  long result = 0;
  EXPECT_TRUE(window->HandleSystemKeyMessage(&key, &result));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 6), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window->DisplayWidget(), &press);
  window->close();

  EXPECT_EQ(ports.keys, std::vector<int32_t>({0x1E}));
  EXPECT_EQ(ports.pointers, std::vector<std::vector<int32_t>>({{5, 6, 1, 1}}));
  EXPECT_EQ(ports.ended, (std::vector<std::pair<int, int>>{{1, 1}}));
  EXPECT_TRUE(api->KeyRecords().empty());
  EXPECT_TRUE(api->PointerRecords().empty());
  EXPECT_TRUE(api->ended.empty());

  delete window;
  EXPECT_EQ(ports.unregistered, std::vector<QObject*>({window}));
}

}  // namespace
