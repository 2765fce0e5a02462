// Shared pieces of the Qt system API tests: a window that records the
// events posted to it, a system API with injected screens and the key of a
// private application-id table. The debug-log capture is the settings
// tests' one.
#pragma once

#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "../settings/SettingsTestEnv.h"
#include "qt/QtSystemApi.h"

class CQtDataEvent;

struct ReceivedEvent {
  int32_t code;
  std::vector<uint8_t> payload;
};

class RecorderWindow : public QObject {
 public:
  // Leaves the table before it goes, as a session window does.
  ~RecorderWindow() override;

  std::vector<ReceivedEvent> received;
  // Message boxes count as closed by the user at once.
  bool releaseWaiters = true;

 protected:
  bool event(QEvent* event) override;
};

// Delivers every posted window event.
void DeliverWindowEvents();

// An id table of this test process only.
QString TestAppIdKey();

// A system API of the test's own id table, with these local screens.
class ScreenSystemApi : public CQtSystemApi {
 public:
  explicit ScreenSystemApi(QList<QSize> screens = {}) : CQtSystemApi(TestAppIdKey()), screens_(screens) {}

 protected:
  QList<QSize> LocalScreenSizes() const override { return screens_; }

 private:
  QList<QSize> screens_;
};

// Releases (never deletes) a reference-counted system API.
struct ApiRelease {
  void operator()(CQtSystemApi* api) const { api->Release(); }
};

int32_t I32At(const std::vector<uint8_t>& bytes, size_t at);
std::u16string WideText(const std::vector<uint8_t>& bytes);
