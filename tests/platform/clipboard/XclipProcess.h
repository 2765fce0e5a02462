// xclip as the other program on the test display: a paste that prints what
// it got, and a copy that stays as the selection owner until it is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pelplat/clipboard.h"

namespace xclip {

// One connection to the test display for the whole program: Xvfb resets
// when its last client leaves, and a connection made during a reset fails.
inline pelplat::clipboard::IClipboardBackend* DisplayBackend() {
  static std::unique_ptr<pelplat::clipboard::IClipboardBackend> backend =
      pelplat::clipboard::MakeX11ClipboardBackend();
  return backend.get();
}

struct Output {
  bool exited = false;  // false: killed at the bound
  int status = -1;
  std::string out;
};

inline pid_t Spawn(const std::vector<std::string>& args, int stdinFd, int stdoutFd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (stdinFd >= 0) dup2(stdinFd, 0);
    if (stdoutFd >= 0) dup2(stdoutFd, 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// `xclip -selection clipboard -t <target> -o`, killed after `bound`.
inline Output Paste(const std::string& target, std::chrono::seconds bound = std::chrono::seconds(60)) {
  int pipeFds[2];
  Output result;
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  pid_t pid = Spawn({"xclip", "-selection", "clipboard", "-t", target, "-o"}, -1, pipeFds[1]);
  close(pipeFds[1]);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  char buffer[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&fd, 1, int(left.count())) <= 0) break;
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) {
      result.exited = true;
      break;
    }
    result.out.append(buffer, size_t(n));
  }
  close(pipeFds[0]);
  if (!result.exited) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// `xclip -selection clipboard -t <target> -i -quiet` fed `data` (without
// -t for an empty target: xclip's own text targets): it takes the selection
// once it has read everything and serves it in the foreground until killed.
class Copy {
 public:
  Copy(const std::string& target, const std::string& data) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<std::string> args = {"xclip", "-selection", "clipboard", "-i", "-quiet"};
    if (!target.empty()) args.insert(args.end(), {"-t", target});
    pid_ = Spawn(args, pipeFds[0], quiet);
    close(pipeFds[0]);
    if (quiet >= 0) close(quiet);
    signal(SIGPIPE, SIG_IGN);
    for (size_t at = 0; at < data.size();) {
      ssize_t n = write(pipeFds[1], data.data() + at, data.size() - at);
      if (n <= 0) break;
      at += size_t(n);
    }
    close(pipeFds[1]);
  }
  ~Copy() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;

 private:
  pid_t pid_ = -1;
};

}  // namespace xclip
