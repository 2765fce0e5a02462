// Message boxes: the payload the first window gets, who waits for the user
// and that a waiting caller is always released.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "QtTestEnv.h"
#include "qt/QtDataEvent.h"
#include "sys/_synchro.h"

namespace {

using ApiPtr = std::unique_ptr<CQtSystemApi, ApiRelease>;

MessageBoxPayload BoxOf(const ReceivedEvent& e) {
  MessageBoxPayload box{};
  EXPECT_EQ(e.payload.size(), sizeof box);
  if (e.payload.size() == sizeof box) memcpy(&box, e.payload.data(), sizeof box);
  return box;
}

// Runs ShowMessageBox on a thread of its own, as the waiter thread does,
// and delivers window events until it has returned.
void ShowFromWorker(CQtSystemApi* api, const WCHAR* caption, const WCHAR* text, int noWait) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    api->ShowMessageBox(caption, text, noWait);
    done = true;
  });
  while (!done) {
    DeliverWindowEvents();
    std::this_thread::yield();
  }
  worker.join();
}

TEST(MessageBoxTest, CallerWaitsUntilTheWindowHasShownTheBox) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  api->RegisterWindow(0, &window);
  const std::u16string longCaption(200, u'c');
  const std::u16string longText(400, u't');
  ShowFromWorker(api.get(), longCaption.c_str(), longText.c_str(), 0);

  ASSERT_EQ(window.received.size(), 1u);
  EXPECT_EQ(window.received[0].code, CQtDataEvent::kMessageBox);
  const MessageBoxPayload box = BoxOf(window.received[0]);
  EXPECT_EQ(std::u16string(box.caption), longCaption.substr(0, 127));
  EXPECT_EQ(std::u16string(box.text), longText.substr(0, 255));
  EXPECT_NE(box.done, nullptr);
  EXPECT_EQ(box.noWait, 0u);
}

TEST(MessageBoxTest, NoWaitFlagCarriesNoEvent) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  window.releaseWaiters = false;
  api->RegisterWindow(0, &window);
  std::thread([&] { api->ShowMessageBox(u"Error", u"text", 1); }).join();
  DeliverWindowEvents();
  ASSERT_EQ(window.received.size(), 1u);
  const MessageBoxPayload box = BoxOf(window.received[0]);
  EXPECT_EQ(box.done, nullptr);
  EXPECT_EQ(box.noWait, 1u);
}

TEST(MessageBoxTest, WithoutTheFirstWindowNobodyWaits) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow other;
  api->RegisterWindow(1, &other);
  std::thread([&] { api->ShowMessageBox(u"Error", u"text", 0); }).join();
  DeliverWindowEvents();
  EXPECT_TRUE(other.received.empty());
}

TEST(MessageBoxTest, SwitchedOffMessagesPostNothing) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  api->RegisterWindow(0, &window);
  api->showNormalMessages.store(0);
  api->showSystemMessages.store(0);
  std::thread([&] { api->ShowMessageBox(u"Error", u"text", 0); }).join();
  uint8_t record[SystemMessageBoxPayload::kRecordBytes] = {};
  api->ShowSystemMessageBox(record);
  DeliverWindowEvents();
  EXPECT_TRUE(window.received.empty());
}

TEST(MessageBoxTest, OnTheGuiThreadTheBoxIsPostedWithoutWaiting) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  window.releaseWaiters = false;
  api->RegisterWindow(0, &window);
  api->ShowMessageBox(u"Error", u"text", 0);  // returns: nobody could show it meanwhile
  DeliverWindowEvents();
  ASSERT_EQ(window.received.size(), 1u);
  EXPECT_EQ(BoxOf(window.received[0]).done, nullptr);
}

// A window that handles the event without answering (it died during its
// box) still lets the caller go once the event is freed.
TEST(MessageBoxTest, AnUnansweredBoxReleasesTheCallerWhenItsEventGoes) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  window.releaseWaiters = false;
  api->RegisterWindow(0, &window);
  ShowFromWorker(api.get(), u"Error", u"text", 0);
  EXPECT_EQ(window.received.size(), 1u);
}

TEST(MessageBoxTest, AWindowDestroyedWithTheEventQueuedReleasesTheCaller) {
  CxEvent done;
  ASSERT_TRUE(done.Create(false, false));
  MessageBoxPayload box{};
  box.done = &done;
  auto* window = new RecorderWindow;
  QCoreApplication::postEvent(window, new CQtDataEvent(CQtDataEvent::kMessageBox, sizeof box, &box));
  EXPECT_FALSE(done.Wait(0));
  delete window;  // Qt frees the events still queued for it
  EXPECT_TRUE(done.Wait(0));
  done.Close();
}

TEST(MessageBoxTest, ReleaseSetsTheEventOnce) {
  CxEvent done;
  ASSERT_TRUE(done.Create(false, false));
  MessageBoxPayload box{};
  box.done = &done;
  {
    CQtDataEvent event(CQtDataEvent::kMessageBox, sizeof box, &box);
    event.ReleaseWaiter();
    EXPECT_TRUE(done.Wait(0));  // auto-reset: consumed
  }
  // Neither a second release nor the destructor set it again.
  EXPECT_FALSE(done.Wait(0));
  done.Close();
}

// After the event loop has ended nobody shows a queued box: stopping the
// system API releases its caller, however the two meet.
TEST(MessageBoxTest, StopReleasesACallerWhoseBoxIsNeverShown) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  api->RegisterWindow(0, &window);
  std::thread waiter([&] { api->ShowMessageBox(u"Error", u"text", 0); });
  api->Stop();
  waiter.join();
  // Once stopped, nobody waits at all.
  std::thread([&] { api->ShowMessageBox(u"Error", u"later", 0); }).join();
  DeliverWindowEvents();
  // The first box was taken away, or posted after the stop without a
  // waiter; either way nothing waits.
  ASSERT_FALSE(window.received.empty());
  EXPECT_LE(window.received.size(), 2u);
  EXPECT_EQ(std::u16string(BoxOf(window.received.back()).text), u"later");
  for (const ReceivedEvent& e : window.received) EXPECT_EQ(BoxOf(e).done, nullptr);
}

TEST(MessageBoxTest, SystemMessageIsPostedAndNeverWaitedFor) {
  ApiPtr api(new ScreenSystemApi);
  RecorderWindow window;
  window.releaseWaiters = false;
  api->RegisterWindow(0, &window);
  uint8_t record[SystemMessageBoxPayload::kRecordBytes] = {};
  strcpy(reinterpret_cast<char*>(record + 16), "Maintenance");
  strcpy(reinterpret_cast<char*>(record + 144), "The server restarts at noon");
  LogCapture log;
  // The connection thread calls this; no window handles code 9.
  std::thread([&] { api->ShowSystemMessageBox(record); }).join();
  DeliverWindowEvents();
  ASSERT_EQ(window.received.size(), 1u);
  EXPECT_EQ(window.received[0].code, CQtDataEvent::kSystemMessageBox);
  SystemMessageBoxPayload box{};
  ASSERT_EQ(window.received[0].payload.size(), sizeof box);
  memcpy(&box, window.received[0].payload.data(), sizeof box);
  EXPECT_EQ(memcmp(box.record, record, sizeof record), 0);
  EXPECT_EQ(box.done, nullptr);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], "pelm: System Msg box Maintenance - The server restarts at noon\n");
}

}  // namespace
