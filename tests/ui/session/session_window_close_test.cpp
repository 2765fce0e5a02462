// Closing a session window: by the session's own end, by the user while
// connected (with the question), while connecting and afterwards.
#include <gtest/gtest.h>

#include <QEvent>

#include "SessionTestEnv.h"

namespace {

class SessionWindowCloseTest : public ::testing::Test, public SessionFixture {
 protected:
  using Ended = std::vector<std::pair<int, int>>;
};

TEST_F(SessionWindowCloseTest, SessionEndClosesWithItsReasonOnce) {
  QtRdpWindow window(1);
  window.show();
  Post(window, CQtDataEvent::kClose, {8});
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(window.CloseReason(), 8);
  EXPECT_EQ(api->ended, Ended({{8, 1}}));
  // A second reason changes nothing; a later close passes straight through.
  Post(window, CQtDataEvent::kClose, {3});
  EXPECT_EQ(window.CloseReason(), 8);
  window.show();
  window.close();
  EXPECT_EQ(api->ended, Ended({{8, 1}, {8, 1}}));
}

TEST_F(SessionWindowCloseTest, ReasonZeroDoesNotClose) {
  QtRdpWindow window(0);
  window.show();
  Post(window, CQtDataEvent::kClose, {0});
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(api->ended.empty());
}

TEST_F(SessionWindowCloseTest, ConnectedUserIsAskedAndNoKeepsTheSession) {
  api->SetConnectionState(connection_state::kConnected, 0);
  QtRdpWindow window(0);
  window.show();
  DeliverEvents();
  int activations = 0;
  struct Counter : QObject {
    int* count;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::ActivationChange) ++*count;
      return false;
    }
  } counter;
  counter.count = &activations;
  window.installEventFilter(&counter);

  {
    BoxAnswer no(QMessageBox::No);
    window.close();
    EXPECT_EQ(no.shown, 1);
    EXPECT_EQ(no.caption, "Kelvane Vesk Client(tm)");
    EXPECT_EQ(no.text, "Do you really want to terminate connection?");
  }
  DeliverEvents();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.CloseReason(), 0);
  EXPECT_TRUE(api->ended.empty());
  EXPECT_GE(activations, 1);  // the window is re-activated

  BoxAnswer yes(QMessageBox::Yes);
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(api->ended, Ended({{1, 0}}));
  window.removeEventFilter(&counter);
}

// The session ends while the user still looks at the question: the window
// closes with the session's reason whatever the answer.
TEST_F(SessionWindowCloseTest, SessionEndingDuringTheQuestionClosesTheWindow) {
  api->SetConnectionState(connection_state::kConnected, 0);
  QtRdpWindow window(0);
  window.show();
  const int32_t reason = 7;
  BoxAnswer no(QMessageBox::No, [&] {
    QCoreApplication::postEvent(&window, new CQtDataEvent(CQtDataEvent::kClose, 4, &reason));
    DeliverEvents();
  });
  window.close();
  EXPECT_EQ(no.shown, 1);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(api->ended, Ended({{7, 0}}));
}

TEST_F(SessionWindowCloseTest, CloseWhileConnectingIsRefusedOnce) {
  api->SetConnectionState(connection_state::kConnecting, 0);
  QtRdpWindow window(0);
  window.show();
  window.close();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(api->ended.empty());
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(api->ended, Ended({{1, 0}}));
}

// The refusal must not swallow the session's own end: the failure that
// follows still closes the window and reports its reason.
TEST_F(SessionWindowCloseTest, RefusedCloseLetsTheSessionEndCloseTheWindow) {
  api->SetConnectionState(connection_state::kConnecting, 0);
  QtRdpWindow window(1);
  ASSERT_TRUE(api->RegisterWindow(1, &window));
  window.show();
  window.close();
  ASSERT_TRUE(window.isVisible());
  api->SetConnectionState(connection_state::kNetError, 1);
  DeliverEvents();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(window.CloseReason(), 8);
  EXPECT_EQ(api->ended, Ended({{8, 1}}));
}

TEST_F(SessionWindowCloseTest, NotConnectedClosesAtOnce) {
  api->SetConnectionState(connection_state::kDisconnected, 0);
  QtRdpWindow window(0);
  window.show();
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(api->ended, Ended({{1, 0}}));
}

TEST_F(SessionWindowCloseTest, WithoutASystemApiTheCloseIsAccepted) {
  auto* window = new QtRdpWindow(0);
  window->show();
  api->Release();
  api = nullptr;
  window->close();
  EXPECT_FALSE(window->isVisible());
  delete window;
  api = new SessionApi;
  SetSessionWindowHost(&host);
}

}  // namespace
