#include "cli/WinConsole.h"

#include <unistd.h>

#include <cstdio>

CWinConsole::CWinConsole() : CWinConsole(nullptr) {}

CWinConsole::CWinConsole(TerminalProbe probe) : probe_(std::move(probe)) {
  if (!probe_) probe_ = [](int fd) { return isatty(fd) == 1; };
}

CWinConsole::~CWinConsole() { Detach(); }

bool CWinConsole::Attach() {
  if (!attached_) attached_ = probe_(STDOUT_FILENO) || probe_(STDERR_FILENO);
  return attached_;
}

void CWinConsole::Detach() {
  if (!attached_) return;
  // The descriptors stay open: unlike a borrowed console they belong to
  // the process for its whole life.
  fflush(stdout);
  fflush(stderr);
  attached_ = false;
}
