// Ctrl-C and SIGTERM end the program as its user would: the first signal is
// handed to the GUI thread, which closes the session as its window's close
// does (the server is told, the status file is written, the exit code is a
// window close's); a second signal, while that is under way, ends the
// process at once.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

class ExitSignals : public QObject {
  Q_OBJECT

 public:
  // At most one exists; onSignal runs on the GUI thread, once.
  explicit ExitSignals(std::function<void()> onSignal, QObject* parent = nullptr);
  ~ExitSignals() override;

 private:
  void OnReadable();

  std::function<void()> onSignal_;
  QSocketNotifier* notifier_ = nullptr;
};
