#include "program/ExitSignals.h"

#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

int g_pipe[2] = {-1, -1};
std::atomic<int> g_received{0};

// Async-signal-safe: a byte through the pipe, or the default action.
void OnSignal(int signal) {
  if (g_received.fetch_add(1) == 0) {
    const char byte = static_cast<char>(signal);
    const ssize_t ignored = write(g_pipe[1], &byte, 1);
    (void)ignored;
    return;
  }
  std::signal(signal, SIG_DFL);
  raise(signal);
}

void Handle(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

ExitSignals::ExitSignals(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("pellum: signal pipe");
    return;
  }
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
  Handle(OnSignal);
}

ExitSignals::~ExitSignals() {
  if (!notifier_) return;
  Handle(SIG_DFL);
  delete notifier_;
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void ExitSignals::OnReadable() {
  char byte = 0;
  while (read(g_pipe[0], &byte, 1) == 1) {
  }
  if (onSignal_) {
    std::function<void()> run = std::move(onSignal_);
    onSignal_ = nullptr;
    run();
  }
}
