// A loopback address of this test process's own, ending in `n` (127.a.b.n
// with a and b from the process id): suites that run side by side on one
// machine never listen on the same address, even where the program's
// default port fixes the port.
#pragma once

#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

inline const char* LoopbackHost(int n) {
  static std::mutex mutex;
  static std::map<int, std::string> hosts;
  std::lock_guard<std::mutex> hold(mutex);
  std::string& host = hosts[n];
  if (host.empty()) {
    const unsigned pid = static_cast<unsigned>(getpid());
    host = "127." + std::to_string(1 + pid % 254) + "." + std::to_string(pid / 254 % 256) + "." +
           std::to_string(n);
  }
  return host.c_str();
}
