#include "QtTestEnv.h"

#include <unistd.h>

#include <QCoreApplication>
#include <cstring>

#include "qt/QtDataEvent.h"

RecorderWindow::~RecorderWindow() {
  if (CQtSystemApi* api = CQtSystemApi::Instance()) api->UnregisterWindow(this);
}

bool RecorderWindow::event(QEvent* event) {
  if (event->type() != CQtDataEvent::kType) return QObject::event(event);
  auto* data = static_cast<CQtDataEvent*>(event);
  const uint8_t* p = data->Payload();
  received.push_back({data->Code(), std::vector<uint8_t>(p, p + data->Length())});
  if (releaseWaiters) data->ReleaseWaiter();
  return true;
}

void DeliverWindowEvents() { QCoreApplication::sendPostedEvents(nullptr, CQtDataEvent::kType); }

QString TestAppIdKey() { return QStringLiteral("pMPWIND.test.%1").arg(getpid()); }

int32_t I32At(const std::vector<uint8_t>& bytes, size_t at) {
  int32_t value = 0;
  if (at + 4 <= bytes.size()) memcpy(&value, bytes.data() + at, 4);
  return value;
}

std::u16string WideText(const std::vector<uint8_t>& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  memcpy(&text[0], bytes.data(), text.size() * 2);
  return text;
}
