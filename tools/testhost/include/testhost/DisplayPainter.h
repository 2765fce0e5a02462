// Paints a picture on a client: accepts one connection, plays the
// handshake, sends the picture's display packets on the client's first
// display slot and keeps the session alive until told to stop.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "testhost/DisplayEncoder.h"
#include "testhost/Framing.h"

namespace testhost {

struct PaintRequest {
  std::string imageFile;
  // Pictures played after the painting, each as one JPEG frame over the
  // whole display on the client's first stream slot.
  std::vector<std::string> frameFiles;
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
// and "played FRAMES frames on slot SLOT" once the frames are, then holds
// the session until `until` ends. 0 when all was sent, 1 otherwise.
int RunPaintSession(Listener& listener, const PaintRequest& request, std::istream& until, std::ostream& out);

}  // namespace testhost
