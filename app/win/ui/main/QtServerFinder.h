// The discovery front end: runs the engine's search cycles on a worker
// thread and turns the engine's notifications and a 250 ms progress timer
// into Qt signals, so that the lists change only on the GUI thread.
#pragma once

#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>
#include <QWidget>
#include <atomic>

#include "discovery/ServerFinderCore.h"

class IServerFinderEngine;
class QtServerFinder;

// One search cycle after another: open the receive socket, probe, collect
// for the window, close the socket; then report the end and wait for the
// next search. A new search asked for during the window ends it early.
class QtServerFinderThread : public QThread {
  Q_OBJECT

 public:
  static constexpr unsigned long kCollectMs = 2000;

  explicit QtServerFinderThread(IServerFinderEngine& engine);

  // Both under the thread's mutex; each wakes the thread.
  void RequestAgain();
  void RequestQuit();
  // True for a cycle's end that arrives after a newer search was asked
  // for: that search's own cycle reports its end.
  bool StopIsStale() const { return stoppedAt.load() != requests.load(); }

 signals:
  void StopSig();

 protected:
  void run() override;

 private:
  IServerFinderEngine& engine;
  QMutex mutex;
  QWaitCondition condition;
  bool quit = false;
  bool again = false;
  // Searches asked for through RequestAgain, and their count when the last
  // cycle ended.
  std::atomic<unsigned> requests{0};
  std::atomic<unsigned> stoppedAt{0};
};

class QtServerFinder : public QWidget, public IServerFinderListener {
  Q_OBJECT

 public:
  enum State { kNeverSearched = 0, kSearching = 1, kFinished = 2 };
  static constexpr int kProgressSteps = 2000;
  static constexpr int kTickMs = 250;
  static constexpr int kNameChars = 31;

  // Becomes the process-wide instance and the engine's listener.
  explicit QtServerFinder(QWidget* parent, IServerFinderEngine* engine = nullptr);
  ~QtServerFinder() override;

  static QtServerFinder* Instance();

  // 1 while a search runs (nothing changes), else 0.
  int StartSearch();
  void CancelSearch();
  // The names of the servers found, without those named like a server group.
  QStringList GetServerList();

  int State() const { return state; }
  int Elapsed() const { return elapsed; }

  // On the engine's receive thread.
  void OnServersFound() override;

 signals:
  void SearchingStartedSig(int StepNum);
  void UpdateProgressSig(int Step);
  void UpdateServerListSig();
  void SearchingFinishedSig(bool bCanceled);

 public slots:
  void GetTimeProgressSlot();
  void StopSlot();

 private:
  void EndSearch(bool canceled);

  IServerFinderEngine& engine;
  QtServerFinderThread thread;
  int state = kNeverSearched;
  int elapsed = 0;
  QTimer timer;
  QStringList serverList;
};
