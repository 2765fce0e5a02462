// Paints a picture on a client: accepts one connection, plays the
// handshake, sends the picture's display packets on the client's first
// display slot and keeps the session alive until told to stop.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "testhost/DisplayEncoder.h"
#include "testhost/Framing.h"
#include "testhost/TsmfServer.h"

namespace testhost {

struct PaintRequest {
  std::string imageFile;
  // Pictures played after the painting, each as one JPEG frame over the
  // whole display on the client's first stream slot.
  std::vector<std::string> frameFiles;
  PaintOptions options;
  bool encrypted = false;
  // Plain or encrypted as the client asks (`encrypted` is then ignored).
  bool followClient = false;
  // After the handshake the host reads nothing the client sends.
  bool stopReading = false;
  int acceptTimeoutMs = 60000;
  // A tone this long played on the client's audio slot after the picture
  // (none when 0 or when the client has no sound).
  int toneMs = 0;
  // Clips played after the pictures into the whole display: kind ("h264",
  // "mjpeg") and file (Annex B with access unit delimiters, or JPEG
  // pictures one after another).
  std::vector<std::pair<std::string, std::string>> clips;
  // A text offered on the client's clipboard channel as CF_UNICODETEXT
  // (none when empty).
  std::string clipboardText;
  // An H.264 byte stream (Annex B) played after the pictures as a player
  // stream over the whole picture, keyed to its magenta (255, 0, 255)
  // pixels; sent with an AVC configuration record when avcc is set.
  std::string h264File;
  bool h264Avcc = false;
  // An MPEG-2 elementary stream played after the frames as a stream of the
  // DirectShow kind at (16, 16) of display 0, its pictures' own size.
  std::string mpeg2File;
  // Browser video: when a stream address is given, the picture gets the key
  // colour in the rectangle and, once painted, the host plays the browser
  // extension and asks the client to play the stream there.
  std::string browserVideoUrl;
  int videoX = 0, videoY = 0, videoWidth = 0, videoHeight = 0;
  // Multimedia redirection: a clip (H.264 and AAC) played through "TSMF"
  // after the picture, placed and played as the options say (none when
  // empty).
  std::string tsmfClip;
  tsmf::PlayOptions tsmfOptions;
  // The client's microphone switched on for this many seconds over the
  // audio slot, then off (never when 0).
  int microphoneSeconds = 0;
  // Smart-card calls through the client's device redirection against its
  // PC/SC service.
  bool smartcard = false;
};

// Reads "X,Y,W,H,URL" (the address may hold commas) into the request;
// false for anything else.
bool ParseBrowserVideo(const std::string& value, PaintRequest* request);

// Reads a comma-separated list of paint settings into options: 16 or 24
// (depth), jpeg (JPEG tiles in containers), frame (JPEG frames), lz4,
// flush. False for an unknown word.
bool ParsePaintSettings(const std::string& list, PaintOptions* options);

// The tone's PCM: `ms` milliseconds of a 660 Hz sine, stereo, 16 bits at
// 44.1 kHz. It is played in whole and closed, so that a short tone plays
// out before the device goes.
std::vector<uint8_t> PaintTone(int ms);

// Prints "painted PACKETS packets on slot SLOT" once the picture is sent,
// "played FRAMES frames on slot SLOT" once the frames are, and "tone of MS
// ms on slot SLOT" when a tone was asked for and the client has sound; then
// holds the session until `until` ends. 0 when all was sent, 1 otherwise.
// With a multimedia redirection clip it prints the clip's summary line
// (see tsmf::Summary) once played, and answers 1 at once unless every
// sample was acknowledged and every stream's end-of-stream event came.
// With the microphone it prints "microphone on slot SLOT for SECONDS s",
// then "microphone FORMAT: BYTES bytes, MS ms" once it is off again; with the
// smart card one line per call (see smartcard::RunCalls).
int RunPaintSession(Listener& listener, const PaintRequest& request, std::istream& until, std::ostream& out);

}  // namespace testhost
