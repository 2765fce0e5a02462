// Paints a picture on a client: accepts one connection, plays the
// handshake, sends the picture's display packets on the client's first
// display slot and keeps the session alive until told to stop.
#pragma once

#include <iosfwd>
#include <string>

#include "testhost/DisplayEncoder.h"
#include "testhost/Framing.h"

namespace testhost {

struct PaintRequest {
  std::string imageFile;
  PaintOptions options;
  bool encrypted = false;
  // After the handshake the host reads nothing the client sends.
  bool stopReading = false;
  int acceptTimeoutMs = 60000;
};

// Reads a comma-separated list of paint settings into options: 16 or 24
// (depth), jpeg (JPEG tiles in containers), frame (JPEG frames), lz4,
// flush. False for an unknown word.
bool ParsePaintSettings(const std::string& list, PaintOptions* options);

// Prints "painted PACKETS packets on slot SLOT" once the picture is sent,
// then holds the session until `until` ends. 0 when painted, 1 otherwise.
int RunPaintSession(Listener& listener, const PaintRequest& request, std::istream& until, std::ostream& out);

}  // namespace testhost
