// The pellum-testhost command run as a test starts it: with a script in a
// temporary file or with arguments of its own, standard output read back
// line by line, standard input held open until it is done.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace testhosttest {

class HostCommand {
 public:
  ~HostCommand() {
    std::string ignored;
    Finish(&ignored);
  }

  // Starts the command and reads its first line, "listening ADDRESS PORT".
  bool Start(const std::string& script, std::string* address, unsigned* port) {
    int fd = mkstemp(scriptPath_);
    if (fd < 0) return false;
    scriptMade_ = true;
    const bool written = write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    close(fd);
    return written && StartWith({"--script", scriptPath_}, address, port);
  }

  // The same with the arguments given; its standard input stays open until
  // Finish.
  bool StartWith(const std::vector<std::string>& args, std::string* address, unsigned* port) {
    if (!Spawn(args, -1)) return false;
    std::string line;
    char where[64] = {};
    if (!WaitForLine("listening ", &line, 60000) || sscanf(line.c_str(), "listening %63s %u", where, port) != 2)
      return false;
    *address = where;
    return true;
  }

  // Reads lines until one begins with `prefix` (the line in *line); false
  // at the end of the output or after the time. Lines passed over are kept
  // in Lines().
  bool WaitForLine(const std::string& prefix, std::string* line, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      for (; checked_ < lines_.size(); ++checked_) {
        if (lines_[checked_].compare(0, prefix.size(), prefix) == 0) {
          *line = lines_[checked_++];
          return true;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (output_ < 0 || left <= 0 || !ReadSome(int(left))) return false;
    }
  }
  // The lines read so far.
  const std::vector<std::string>& Lines() const { return lines_; }

  // Reads the rest of the output and waits for the command; its exit
  // status (-1 when it did not exit normally). *rest gets the lines past
  // the last one a wait took.
  int Finish(std::string* rest) {
    if (input_ >= 0) close(input_);
    input_ = -1;
    while (output_ >= 0 && ReadSome(-1)) {
    }
    for (size_t i = checked_; i < lines_.size(); ++i) *rest += lines_[i] + "\n";
    *rest += partial_;
    int status = -1;
    if (pid_ > 0) {
      waitpid(pid_, &status, 0);
      pid_ = 0;
      status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (scriptMade_) unlink(scriptPath_);
    scriptMade_ = false;
    return status;
  }

  // Runs the command with its standard input empty until it ends: its
  // exit status, standard output and standard error.
  static int Run(const std::vector<std::string>& args, std::string* out, std::string* err) {
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) return -1;
    HostCommand command;
    const bool spawned = command.Spawn(args, errPipe[1]);
    close(errPipe[1]);
    close(command.input_);
    command.input_ = -1;
    char buffer[4096];
    ssize_t n;
    while (spawned && (n = read(errPipe[0], buffer, sizeof buffer)) > 0) err->append(buffer, size_t(n));
    close(errPipe[0]);
    std::string rest;
    const int status = spawned ? command.Finish(&rest) : -1;
    *out = rest;
    return status;
  }

 private:
  bool Spawn(const std::vector<std::string>& args, int errFd) {
    // Programs started later (the client) must not hold the command's pipes
    // open: its input would never end.
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(in, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    std::vector<char*> argv = {const_cast<char*>(PELLUM_TESTHOST)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const bool spawned = posix_spawn(&pid_, PELLUM_TESTHOST, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    input_ = in[1];
    output_ = out[0];
    return spawned;
  }

  // One read of the output into whole lines; false at its end or after
  // the time (-1: no limit).
  bool ReadSome(int timeoutMs) {
    pollfd p{output_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(output_, buffer, sizeof buffer);
    if (n <= 0) {
      close(output_);
      output_ = -1;
      return false;
    }
    partial_.append(buffer, size_t(n));
    for (size_t nl; (nl = partial_.find('\n')) != std::string::npos; partial_.erase(0, nl + 1))
      lines_.push_back(partial_.substr(0, nl));
    return true;
  }

  char scriptPath_[28] = "/tmp/pellum-testhost-XXXXXX";
  bool scriptMade_ = false;
  pid_t pid_ = 0;
  int output_ = -1;
  int input_ = -1;
  std::vector<std::string> lines_;
  size_t checked_ = 0;
  std::string partial_;
};

}  // namespace testhosttest
