// The paint session's clipboard server: on the client's "MSVCEXT " slot it
// plays the capability exchange, opens "CLIPRDR", offers one text as
// CF_UNICODETEXT and answers the client's data requests for it until it is
// destroyed. Prints "clipboard offered BYTES bytes on slot SLOT" once the
// client has accepted the offer, and one line for each thing the client
// does afterwards:
//   clipboard request FORMAT answered|refused     a paste on the client
//   clipboard formats ID[ "NAME"], ...            a copy on the client
//   clipboard data FORMAT: TEXT                   the copied text, asked for
//   clipboard text: TEXT                          a text copy sent as control
//                                                 text
#pragma once

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "testhost/ClipboardServer.h"
#include "testhost/Wire.h"
#include "testhost/HostSession.h"

namespace testhost {

class ClipboardPlayer {
 public:
  ClipboardPlayer() = default;
  ~ClipboardPlayer();
  ClipboardPlayer(const ClipboardPlayer&) = delete;
  ClipboardPlayer& operator=(const ClipboardPlayer&) = delete;

  // `text` in UTF-8. False with a line in `out` when the client has no
  // channel slot or the exchange fails.
  bool Start(HostSession& session, const HandshakeReport& report, const std::string& text, std::ostream& out);

 private:
  void Serve(HostSession& session, const std::vector<uint8_t>& offered, std::ostream& out);

  std::unique_ptr<cliprdr::ClipboardServer> server_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace testhost
