// Shared pieces of the session window tests: a system API that records what
// reaches the session, a main window that records what the session windows
// ask of it, and an answer for the next modal message box.
#pragma once

#include <QCoreApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "qt/QtDataEvent.h"
#include "qt/QtSystemApi.h"
#include "settings/AbstractClientApp.h"
#include "settings/AbstractClientSettings.h"
#include "ui/QtRdpWindow.h"
#include "ui/QtSessionWindowHost.h"

// An id table of this test process only.
QString TestAppIdKey();

class SessionApi : public CQtSystemApi {
 public:
  SessionApi();
  ~SessionApi() override;

  void OnSessionEnded(int reason, int display) override;
  void SetState(int state) { StoreConnectionState(state); }
  std::vector<std::vector<int32_t>> KeyRecords() const;
  std::vector<std::vector<int32_t>> PointerRecords() const;

  std::vector<std::pair<int, int>> ended;  // reason, display
  std::vector<std::vector<int32_t>> records;

 private:
  static int32_t Sink(const void* record, uint32_t length, void* context);
};

class FakeHost : public CAbstractClientApp, public QtSessionWindowHost {
 public:
  void ToggleFullScreen() override { ++toggles; }
  QtRdpWindow* FindSessionWindowAt(const QPoint&) override { return windowUnderPointer; }
  void RaiseSessionWindows(int displayIndex) override { raised.push_back(displayIndex); }

  int toggles = 0;
  QtRdpWindow* windowUnderPointer = nullptr;
  std::vector<int> raised;
};

// The system API, the settings and the main window of one test.
class SessionFixture {
 public:
  SessionFixture();
  ~SessionFixture();

  // Posts an event as the session threads do and delivers it.
  void Post(QtRdpWindow& window, int32_t code, const std::vector<int32_t>& values);
  void PostText(QtRdpWindow& window, const std::u16string& text);

  SessionApi* api;
  CAbstractClientSettings settings{false};
  FakeHost host;
};

// Presses a button of the next modal message box once it shows, and keeps
// its text.
class BoxAnswer : public QObject {
 public:
  explicit BoxAnswer(QMessageBox::StandardButton button, std::function<void()> whileShown = {});
  QString text, caption;
  int shown = 0;

 private:
  QTimer timer_;
  QMessageBox::StandardButton button_;
  std::function<void()> whileShown_;
};

void DeliverEvents();
