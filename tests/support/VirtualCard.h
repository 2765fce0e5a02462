// The virtual smart card of the pcscd rig (tests/smartcard/pcsc_rig.sh
// names its program in PELLUM_VICC): present in the virtual reader while
// its program runs, and taken out when the object goes.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

class VirtualCard {
 public:
  // False outside the rig or when the program cannot start.
  bool Insert() {
    const char* vicc = std::getenv("PELLUM_VICC");
    if (!vicc) return false;
    char* argv[] = {const_cast<char*>(vicc), const_cast<char*>("-t"), const_cast<char*>("iso7816"), nullptr};
    return posix_spawn(&pid_, vicc, nullptr, nullptr, argv, environ) == 0;
  }
  void Remove() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
  }
  ~VirtualCard() { Remove(); }

 private:
  pid_t pid_ = 0;
};
