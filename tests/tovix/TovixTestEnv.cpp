#include "TovixTestEnv.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

std::vector<std::string> TovixClient::Texts() {
  std::vector<std::string> texts;
  for (const testhost::TunnelCall& call : SentCalls()) {
    if (call.object != ".tovix" || call.method != "post") continue;
    std::string text(call.payload.begin(), call.payload.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    texts.push_back(text);
  }
  return texts;
}

TovixSession::TovixSession(bool withClient) {
  api = new CQtSystemApi(QStringLiteral("pMPWIND.tovix.%1").arg(getpid()));
  if (withClient) {
    client = new TovixClient;
    client->SetParameters(&parameters);
    api->AttachObserver(client);
  }
}

TovixSession::~TovixSession() {
  QCoreApplication::sendPostedEvents();
  if (client) client->SetParameters(nullptr);
  api->Release();
  if (client) client->Release();
}

bool WaitFor(const std::function<bool()>& condition, int seconds) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > seconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(5);
  }
  return true;
}
