#include "ui/main/QtServerFinder.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <atomic>

#include "settings/AbstractClientSettings.h"
#include "settings/QtText.h"
#include "ui/main/ServerFinderEngine.h"

namespace {
std::atomic<QtServerFinder*> g_instance{nullptr};
}

QtServerFinderThread::QtServerFinderThread(IServerFinderEngine& engine) : engine(engine) {}

void QtServerFinderThread::RequestAgain() {
  QMutexLocker hold(&mutex);
  again = true;
  ++requests;
  condition.wakeAll();
}

void QtServerFinderThread::RequestQuit() {
  QMutexLocker hold(&mutex);
  quit = true;
  condition.wakeAll();
}

void QtServerFinderThread::run() {
  QMutexLocker hold(&mutex);
  for (;;) {
    engine.StartThread();
    engine.Search(CServerFinderCore::kSearchAll);
    // A refresh or the end of the finder cuts the window short.
    QDeadlineTimer window(kCollectMs);
    while (!again && !quit && condition.wait(&mutex, window)) {
    }
    engine.StopThread();
    if (!again) {
      stoppedAt.store(requests.load());
      emit StopSig();
      while (!again && !quit) condition.wait(&mutex);
    }
    again = false;
    if (quit) return;
  }
}

QtServerFinder::QtServerFinder(QWidget* parent, IServerFinderEngine* engineToUse)
    : QWidget(parent), engine(engineToUse != nullptr ? *engineToUse : DiscoveryEngine()), thread(engine) {
  // A child of the main window, never laid out: it must not cover anything.
  hide();
  connect(&thread, SIGNAL(StopSig()), this, SLOT(StopSlot()));
  g_instance.store(this);
  timer.setInterval(kTickMs);
  connect(&timer, SIGNAL(timeout()), this, SLOT(GetTimeProgressSlot()));
  engine.SetListener(this);
}

QtServerFinder::~QtServerFinder() {
  engine.ClearListener();
  QtServerFinder* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
  thread.RequestQuit();
  thread.wait();
}

QtServerFinder* QtServerFinder::Instance() { return g_instance.load(); }

int QtServerFinder::StartSearch() {
  if (state == kSearching) return 1;
  timer.start();
  if (thread.isRunning()) {
    thread.RequestAgain();
  } else {
    thread.start(QThread::LowPriority);
  }
  state = kSearching;
  elapsed = 0;
  emit SearchingStartedSig(kProgressSteps);
  return 0;
}

void QtServerFinder::EndSearch(bool canceled) {
  if (state != kSearching) return;
  state = kFinished;
  timer.stop();
  elapsed = 0;
  emit SearchingFinishedSig(canceled);
}

void QtServerFinder::CancelSearch() { EndSearch(true); }

void QtServerFinder::StopSlot() {
  // A refresh may come while the end of the cycle before it is still queued.
  if (thread.StopIsStale()) return;
  EndSearch(false);
}

void QtServerFinder::GetTimeProgressSlot() {
  elapsed += kTickMs;
  emit UpdateProgressSig(elapsed);
}

void QtServerFinder::OnServersFound() { emit UpdateServerListSig(); }

QStringList QtServerFinder::GetServerList() {
  if (state == kNeverSearched) return serverList;
  serverList.clear();
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  for (const ServerRecord& record : engine.Servers()) {
    size_t length = 0;
    while (length < ServerRecord::kNameChars && record.name[length] != 0) ++length;
    if (length == 0) continue;
    const QString name = QString::fromUtf16(record.name, static_cast<int>(length)).left(kNameChars);
    if (settings != nullptr && settings->FindGroupIndex(ToU16String(name).c_str()) >= 0) continue;
    serverList.append(name);
  }
  return serverList;
}
