// Scripts for the test host's command line: one command per line, what to
// send, what to expect, when to close. '#' starts a comment.
//
//   accept [timeout=MS]                 wait for the client to connect
//   send slot=N [kind=N] [sub=N] [index=N] [length=N] [payload=HEX | fill=N]
//                                       one frame; length defaults to the payload size
//   raw HEX                             bytes as they stand (frames cut anywhere)
//   recv [count=N] [timeout=MS]         read frames and print them
//   sleep MS
//   close                               close the connection
//   wait-close [timeout=MS]             read until the client closes
//   datagram ADDRESS PORT [payload=HEX | fill=N]
//                                       one datagram to a loopback address
//   handshake [encrypted=0|1] [words=N] [version=N] [tag=TEXT] [full=0|1] [timeout=MS]
//                                       the server's part of the handshake; prints the hello
//   control code=N [kind=N] [seal=0|1] [payload=HEX | fill=N]
//                                       one control message (sealed after an encrypted handshake)
//   echo [payload=HEX | fill=N] [timeout=MS]
//                                       an echo request; prints the client's reply
//   record [timeout=MS]                 prints every client message until the client closes
//
// Numbers are decimal or 0x-prefixed hexadecimal.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "testhost/Framing.h"
#include "testhost/HostSession.h"

namespace testhost {

struct Command {
  enum Kind { kAccept, kSend, kRaw, kRecv, kSleep, kClose, kWaitClose, kDatagram, kHandshake, kControl, kEcho, kRecord };
  Kind kind = kAccept;
  int line = 0;
  FrameHeader header;
  bool lengthGiven = false;
  std::vector<uint8_t> bytes;
  int count = 1;
  int timeoutMs = 5000;
  std::string address;
  uint16_t port = 0;
  // handshake and control
  HandshakeOptions handshake;
  uint32_t code = 0;
  bool seal = false;
};

class Script {
 public:
  // False with a message naming the line when the text is not a script.
  bool Parse(const std::string& text, std::string* error);
  // Runs the commands against the listener and prints one line per step;
  // false at the first step that fails.
  bool Run(Listener& listener, std::ostream& out);
  const std::vector<Command>& Commands() const { return commands_; }

 private:
  std::vector<Command> commands_;
};

// One frame as the script prints it.
std::string DescribeFrame(const Frame& frame);

}  // namespace testhost
