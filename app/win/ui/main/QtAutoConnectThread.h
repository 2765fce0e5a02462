// Waits for the first discovery search to end (at most 2000 ms), then has
// the main window connect on the GUI thread.
#pragma once

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

class QtClientGui;

class QtAutoConnectThread : public QThread {
  Q_OBJECT

 public:
  static constexpr unsigned long kWaitMs = 2000;

  explicit QtAutoConnectThread(QtClientGui* mainWindow);

 signals:
  void AutoConnectSig();

 public slots:
  // Ends the wait at once; a wake before the thread waits is lost.
  void SearchingFinishedSlot(bool bCanceled);

 protected:
  void run() override;

 private:
  QMutex mutex;
  QWaitCondition condition;
};
