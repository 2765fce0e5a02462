#include "ui/main/QtAutoConnectThread.h"

#include <QMutexLocker>

#include "ui/main/QtClientGui.h"
#include "ui/main/QtServerFinder.h"

QtAutoConnectThread::QtAutoConnectThread(QtClientGui* mainWindow) : QThread(mainWindow) {
  if (QtServerFinder* finder = QtServerFinder::Instance())
    connect(finder, SIGNAL(SearchingFinishedSig(bool)), this, SLOT(SearchingFinishedSlot(bool)));
  connect(this, SIGNAL(AutoConnectSig()), mainWindow, SLOT(AutoConnectSlot()));
}

void QtAutoConnectThread::SearchingFinishedSlot(bool) {
  QMutexLocker hold(&mutex);
  condition.wakeAll();
}

void QtAutoConnectThread::run() {
  QMutexLocker hold(&mutex);
  condition.wait(&mutex, kWaitMs);
  emit AutoConnectSig();
}
