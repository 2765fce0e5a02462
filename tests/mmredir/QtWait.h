// Waiting in the tests of the players' video windows: the event loop runs
// until a condition holds, with a generous bound for a loaded machine.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

template <class Condition>
bool ProcessUntil(Condition condition) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > 30000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}
