// The pellum-testhost command run as a test starts it: with a script in a
// temporary file or with arguments of its own, standard output read back
// line by line, standard input held open until it is done.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    int out[2], in[2];
    if (pipe(out) != 0) return false;
    if (pipe(in) != 0) {
      close(out[0]);
      close(out[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
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
    output_ = fdopen(out[0], "r");
    if (!spawned || !output_) return false;
    char line[256] = {};
    char where[64] = {};
    if (!fgets(line, sizeof line, output_) || sscanf(line, "listening %63s %u", where, port) != 2) return false;
    *address = where;
    return true;
  }

  // Reads the rest of the output and waits for the command; its exit
  // status (-1 when it did not exit normally).
  int Finish(std::string* rest) {
    if (input_ >= 0) close(input_);
    input_ = -1;
    if (output_) {
      char line[512];
      while (fgets(line, sizeof line, output_)) *rest += line;
      fclose(output_);
      output_ = nullptr;
    }
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

 private:
  char scriptPath_[28] = "/tmp/pellum-testhost-XXXXXX";
  bool scriptMade_ = false;
  pid_t pid_ = 0;
  FILE* output_ = nullptr;
  int input_ = -1;
};

}  // namespace testhosttest
