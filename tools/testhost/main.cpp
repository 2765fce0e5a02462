// pellum-testhost: the host side of the protocol on a loopback address, run
// by a script (from a file or standard input).
//
//   pellum-testhost [--address A] [--port N] [--script FILE]
//
// Prints "listening ADDRESS PORT" first (port 0 takes an ephemeral port),
// then one line per script step. Exit status 0 when every step succeeded,
// 1 when one failed, 2 for a bad command line or script.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "testhost/Framing.h"
#include "testhost/Script.h"

namespace {

int Usage() {
  std::cerr << "usage: pellum-testhost [--address A] [--port N] [--script FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  std::string scriptFile;
  long port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string value = argv[++i];
    if (arg == "--address") {
      address = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      port = strtol(value.c_str(), &end, 10);
      if (!end || *end || port < 0 || port > 65535) return Usage();
    } else if (arg == "--script") {
      scriptFile = value;
    } else {
      return Usage();
    }
  }
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) {
    std::cerr << "pellum-testhost listens on loopback addresses only\n";
    return 2;
  }

  std::stringstream text;
  if (scriptFile.empty()) {
    text << std::cin.rdbuf();
  } else {
    std::ifstream in(scriptFile);
    if (!in) {
      std::cerr << "cannot read " << scriptFile << "\n";
      return 2;
    }
    text << in.rdbuf();
  }
  testhost::Script script;
  std::string error;
  if (!script.Parse(text.str(), &error)) {
    std::cerr << error << "\n";
    return 2;
  }

  testhost::Listener listener;
  if (!listener.Listen(address.c_str(), static_cast<uint16_t>(port))) {
    std::cerr << "cannot listen on " << address << " port " << port << ": " << strerror(errno) << "\n";
    return 1;
  }
  std::cout << "listening " << address << " " << listener.Port() << std::endl;
  return script.Run(listener, std::cout) ? 0 : 1;
}
