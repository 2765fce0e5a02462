// pellum-testhost: the host side of the protocol on a loopback address, run
// by a script (from a file or standard input).
//
//   pellum-testhost [--address A] [--port N] [--script FILE]
//   pellum-testhost [--address A] --discovery NAME
//   pellum-testhost [--address A] [--port N] --paint IMAGE [--paint-with LIST] [--play IMAGE]...
//                   [--tone MS] [--stop-reading] [--clipboard TEXT]
//                   [--play-h264 CLIP] [--play-mjpeg CLIP]
//                   [--play-player FILE | --play-player-avc1 FILE] [--play-mpeg2 FILE]
//                   [--browser-video X,Y,W,H,STREAM-URL]
//                   [--play-tsmf CLIP [--tsmf-geometry X,Y,W,H] [--tsmf-visible L,T,R,B;...]
//                    [--tsmf-window N]]
//
// Prints "listening ADDRESS PORT" first (port 0 takes an ephemeral port),
// then one line per script step. Exit status 0 when every step succeeded,
// 1 when one failed, 2 for a bad command line or script. With --discovery it
// answers discovery probes as the server NAME instead, printing "discovery
// ADDRESS LIST-PORT SERVER-PORT", until its input ends. With --paint it
// waits for one client, plays the handshake and paints the image (PPM, PNG,
// ...) on the client's display; LIST holds 16 or 24 (depth, default 24),
// jpeg, frame, lz4, flush, comma-separated. Each --play picture then goes
// to the client's stream slot as one JPEG frame over the display, and
// --tone plays a tone of MS milliseconds on the client's audio slot. It
// holds the session until its input ends. With --stop-reading it reads
// nothing after the handshake (the connection stays open): a server that
// has stopped taking data. --play-h264 and --play-mjpeg play a clip over
// the display after the pictures: an Annex B file cut into its access
// units, as "NSP-h264" frames; JPEG pictures one after another, as a
// stream of their own. With --clipboard TEXT it also offers TEXT on the
// client's clipboard redirection channel and answers its requests for it.
// --play-player FILE (or --play-player-avc1 FILE, the same sent with an AVC
// configuration record) plays an H.264 byte stream after the pictures as a
// player stream over the painted picture, keyed to its magenta pixels.
// --play-mpeg2 FILE plays an MPEG-2 elementary stream after the frames, as a
// stream of the DirectShow kind at (16, 16) of the display. With
// --browser-video the picture gets the key colour in the rectangle and,
// once painted, the host plays the browser extension and asks the client to
// play the stream there; it prints the client's first playback progress
// text. The session is encrypted when the client asks for it (browser
// video needs that).
// --play-tsmf plays an MP4 clip (H.264 and AAC) through multimedia
// redirection after the picture: the video window at the geometry (in the
// session window), visible where the rectangles say (relative to the
// window; all of it when none is given), at most N samples a stream
// unacknowledged (10); it prints one summary line and ends with 1 unless
// every sample was acknowledged and both streams ended.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "testhost/DiscoveryResponder.h"
#include "testhost/DisplayPainter.h"
#include "testhost/Framing.h"
#include "testhost/Script.h"

namespace {

int Usage() {
  std::cerr << "usage: pellum-testhost [--address A] [--port N] [--script FILE]\n"
               "       pellum-testhost [--address A] --discovery NAME\n"
               "       pellum-testhost [--address A] [--port N] --paint IMAGE [--paint-with LIST] [--play IMAGE]...\n"
               "                       [--tone MS] [--stop-reading] [--clipboard TEXT]\n"
               "                       [--play-h264 CLIP] [--play-mjpeg CLIP]\n"
               "                       [--play-player FILE | --play-player-avc1 FILE] [--play-mpeg2 FILE]\n"
               "                       [--browser-video X,Y,W,H,STREAM-URL]\n"
               "                       [--play-tsmf CLIP [--tsmf-geometry X,Y,W,H] [--tsmf-visible L,T,R,B;...]\n"
               "                        [--tsmf-window N]]\n";
  return 2;
}

// Listens and prints "listening ADDRESS PORT"; false after printing why not.
bool StartListening(testhost::Listener& listener, const std::string& address, long port) {
  if (!listener.Listen(address.c_str(), static_cast<uint16_t>(port))) {
    std::cerr << "cannot listen on " << address << " port " << port << ": " << strerror(errno) << "\n";
    return false;
  }
  std::cout << "listening " << address << " " << listener.Port() << std::endl;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  std::string scriptFile;
  std::string discoveryName;
  testhost::PaintRequest paint;
  long port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--stop-reading") {
      paint.stopReading = true;
      continue;
    }
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
    } else if (arg == "--discovery" && !value.empty()) {
      discoveryName = value;
    } else if (arg == "--paint" && !value.empty()) {
      paint.imageFile = value;
    } else if (arg == "--play-mpeg2" && !value.empty()) {
      paint.mpeg2File = value;
    } else if (arg == "--play" && !value.empty()) {
      paint.frameFiles.push_back(value);
    } else if ((arg == "--play-h264" || arg == "--play-mjpeg") && !value.empty()) {
      paint.clips.emplace_back(arg.substr(7), value);
    } else if ((arg == "--play-player" || arg == "--play-player-avc1") && !value.empty()) {
      paint.h264File = value;
      paint.h264Avcc = arg == "--play-player-avc1";
    } else if (arg == "--paint-with") {
      if (!testhost::ParsePaintSettings(value, &paint.options)) return Usage();
    } else if (arg == "--clipboard" && !value.empty()) {
      paint.clipboardText = value;
    } else if (arg == "--browser-video") {
      if (!testhost::ParseBrowserVideo(value, &paint)) return Usage();
    } else if (arg == "--play-tsmf" && !value.empty()) {
      paint.tsmfClip = value;
    } else if (arg == "--tsmf-geometry") {
      if (!testhost::tsmf::ParseGeometry(value, &paint.tsmfOptions.geometry)) return Usage();
    } else if (arg == "--tsmf-visible") {
      if (!testhost::tsmf::ParseVisibleRects(value, &paint.tsmfOptions.geometry.visible)) return Usage();
    } else if (arg == "--tsmf-window") {
      char* end = nullptr;
      const long n = strtol(value.c_str(), &end, 10);
      if (!end || *end || n < 1 || n > 1000) return Usage();
      paint.tsmfOptions.window = size_t(n);
    } else if (arg == "--tone") {
      char* end = nullptr;
      const long ms = strtol(value.c_str(), &end, 10);
      if (!end || *end || ms < 1 || ms > 10000) return Usage();
      paint.toneMs = static_cast<int>(ms);
    } else {
      return Usage();
    }
  }
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) {
    std::cerr << "pellum-testhost listens on loopback addresses only\n";
    return 2;
  }
  if (!discoveryName.empty())
    return testhost::RunDiscoveryResponder(address, std::u16string(discoveryName.begin(), discoveryName.end()),
                                           std::cin, std::cout);

  if ((!paint.frameFiles.empty() || paint.stopReading || !paint.h264File.empty()) && paint.imageFile.empty())
    return Usage();
  if (!paint.clips.empty() && paint.imageFile.empty()) return Usage();
  if (!paint.clipboardText.empty() && paint.imageFile.empty()) return Usage();
  if (!paint.mpeg2File.empty() && paint.imageFile.empty()) return Usage();
  if (!paint.tsmfClip.empty() && paint.imageFile.empty()) return Usage();
  if (paint.tsmfClip.empty() && (paint.tsmfOptions.geometry.width || !paint.tsmfOptions.geometry.visible.empty()))
    return Usage();
  if (!paint.tsmfOptions.geometry.width && !paint.tsmfOptions.geometry.visible.empty()) return Usage();
  // A window without visible rectangles shows whole.
  testhost::tsmf::Geometry& geometry = paint.tsmfOptions.geometry;
  if (geometry.width && geometry.visible.empty())
    geometry.visible.push_back({0, 0, int32_t(geometry.width), int32_t(geometry.height)});
  if (!paint.imageFile.empty()) {
    paint.encryptionFromClient = true;
    testhost::Listener listener;
    if (!StartListening(listener, address, port)) return 1;
    return testhost::RunPaintSession(listener, paint, std::cin, std::cout);
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
  if (!StartListening(listener, address, port)) return 1;
  return script.Run(listener, std::cout) ? 0 : 1;
}
