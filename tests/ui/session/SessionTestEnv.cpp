#include "SessionTestEnv.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <cstring>

QString TestAppIdKey() { return QStringLiteral("pMPWIND.session.%1").arg(getpid()); }

SessionApi::SessionApi() : CQtSystemApi(TestAppIdKey()) { SetInputSink(&SessionApi::Sink, this); }

SessionApi::~SessionApi() { SetInputSink(nullptr, nullptr); }

int32_t SessionApi::Sink(const void* record, uint32_t length, void* context) {
  auto* self = static_cast<SessionApi*>(context);
  std::vector<int32_t> values(length / 4);
  memcpy(values.data(), record, values.size() * 4);
  self->records.push_back(values);
  return 0;
}

void SessionApi::OnSessionEnded(int reason, int display) {
  ended.emplace_back(reason, display);
  CQtSystemApi::OnSessionEnded(reason, display);
}

std::vector<std::vector<int32_t>> SessionApi::KeyRecords() const {
  std::vector<std::vector<int32_t>> keys;
  for (const auto& r : records) {
    if (r.size() == 2) keys.push_back(r);
  }
  return keys;
}

std::vector<std::vector<int32_t>> SessionApi::PointerRecords() const {
  std::vector<std::vector<int32_t>> pointers;
  for (const auto& r : records) {
    if (r.size() == 7) pointers.push_back(r);
  }
  return pointers;
}

SessionFixture::SessionFixture() : api(new SessionApi) {
  SetSessionWindowHost(&host);
  settings.fullScreen = 0;
  settings.autoDetectAudioVideo = 0;
}

SessionFixture::~SessionFixture() {
  DeliverEvents();
  SetSessionWindowHost(nullptr);
  api->Release();
}

void SessionFixture::Post(QtRdpWindow& window, int32_t code, const std::vector<int32_t>& values) {
  QCoreApplication::postEvent(
      &window, new CQtDataEvent(code, int32_t(values.size() * 4), values.empty() ? nullptr : values.data()));
  DeliverEvents();
}

void SessionFixture::PostText(QtRdpWindow& window, const std::u16string& text) {
  QCoreApplication::postEvent(
      &window, new CQtDataEvent(CQtDataEvent::kStatusText, int32_t((text.size() + 1) * 2), text.c_str()));
  DeliverEvents();
}

BoxAnswer::BoxAnswer(QMessageBox::StandardButton button, std::function<void()> whileShown)
    : button_(button), whileShown_(std::move(whileShown)) {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    if (whileShown_) {
      // Runs until it has nothing left to do, inside the box's own loop.
      auto step = std::move(whileShown_);
      whileShown_ = nullptr;
      step();
    }
    text = box->text();
    caption = box->windowTitle();
    ++shown;
    timer_.stop();
    if (QAbstractButton* b = box->button(button_)) b->click();
  });
  timer_.start();
}

void DeliverEvents() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}
