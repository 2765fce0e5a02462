// The console the command line writes to. The program runs as a windowed
// application; its output is for a user who started it from a terminal, so
// the console counts as attached only while standard output or standard
// error is a terminal.
#pragma once

#include <functional>

class CWinConsole {
 public:
  // Answers whether a descriptor is a terminal; tests replace it (null
  // means isatty).
  using TerminalProbe = std::function<bool(int fd)>;

  CWinConsole();
  explicit CWinConsole(TerminalProbe probe);
  ~CWinConsole();

  // True when a terminal was found (and the mark is set).
  bool Attach();
  // Flushes what was written and clears the mark.
  void Detach();
  bool IsAttached() const { return attached_; }

  CWinConsole(const CWinConsole&) = delete;
  CWinConsole& operator=(const CWinConsole&) = delete;

 private:
  TerminalProbe probe_;
  bool attached_ = false;
};
