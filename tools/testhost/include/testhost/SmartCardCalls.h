// The paint session's smart-card calls: on the client's "MSVCEXT " slot it
// opens "RDPDR", takes the client's smart-card device and runs a short
// sequence of smart-card calls through it against whatever PC/SC service
// the client's machine has: establish a context, list the readers, read the
// first reader's state (waiting a little for a card), connect, send one
// SELECT and read its answer, disconnect and release the context. The calls
// are encoded with the smart-card NDR codec of the client's library.
#pragma once

#include <iosfwd>

#include "testhost/HostSession.h"

namespace testhost {
namespace smartcard {

// Prints "smartcard device ID "NAME"" for the announced device, then one
// line per call: "smartcard CALL: RESULT[ (meaning)] DETAILS". False after
// a line saying why the sequence could not go on (no channel, no device, a
// call the client did not complete, a failing result).
bool RunCalls(HostSession& session, const HandshakeReport& report, std::ostream& out);

}  // namespace smartcard
}  // namespace testhost
