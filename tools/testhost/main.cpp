// pellum-testhost: the host side of the protocol on a loopback address,
// for tests, demos and trying the client by hand. It runs a script, answers
// discovery probes, or paints a picture on one client and plays what its
// options ask for. `pellum-testhost --help` lists every option.
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

constexpr char kUsage[] =
    "usage: pellum-testhost [--address A] [--port N] [--script FILE]\n"
    "       pellum-testhost [--address A] --discovery NAME\n"
    "       pellum-testhost [--address A] [--port N] --paint IMAGE [--paint-with LIST] [--play IMAGE]...\n"
    "                       [--tone MS] [--stop-reading] [--clipboard TEXT]\n"
    "                       [--play-h264 CLIP] [--play-mjpeg CLIP]\n"
    "                       [--play-player FILE | --play-player-avc1 FILE] [--play-mpeg2 FILE]\n"
    "                       [--browser-video X,Y,W,H,STREAM-URL]\n"
    "                       [--play-tsmf CLIP [--tsmf-geometry X,Y,W,H] [--tsmf-visible L,T,R,B;...]\n"
    "                        [--tsmf-window N]]\n"
    "                       [--microphone SECONDS] [--smartcard]\n"
    "       pellum-testhost --help\n";

// One line of meaning per option, in the order --help prints them.
struct OptionHelp {
  const char* option;
  const char* meaning;
};
constexpr OptionHelp kOptions[] = {
    {"--address A", "listen on loopback address A (127.0.0.1)"},
    {"--port N", "listen on port N; 0, the default, takes a free one (printed as \"listening A N\")"},
    {"--script FILE", "play the script in FILE (standard input without --script or --paint)"},
    {"--discovery NAME", "answer discovery probes as the server NAME until standard input ends"},
    {"--paint IMAGE", "take one client, plain or encrypted as it asks, paint IMAGE (PPM, PNG...) on its display, "
                      "play what the options below ask, hold the session until standard input ends"},
    {"--paint-with LIST", "paint settings, comma-separated: 16 or 24 (depth), jpeg, frame, lz4, flush"},
    {"--play IMAGE", "after painting, IMAGE as one JPEG frame over the display (stream slot; repeatable)"},
    {"--tone MS", "a tone of MS milliseconds on the client's sound (audio slot)"},
    {"--stop-reading", "read nothing after the handshake: a server that has stopped taking data"},
    {"--clipboard TEXT", "offer TEXT on the client's clipboard; print the client's pastes (its requests) and "
                         "copies (format lists and texts)"},
    {"--play-h264 CLIP", "stream kind H.264: an Annex B clip with access unit delimiters drawn into the display"},
    {"--play-mjpeg CLIP", "stream kind MJPEG: JPEG pictures one after another drawn into the display"},
    {"--play-player FILE", "stream kind player: an H.264 byte stream over the picture, keyed to its magenta pixels"},
    {"--play-player-avc1 FILE", "the same, announced with an AVC configuration record"},
    {"--play-mpeg2 FILE", "stream kind DirectShow: an MPEG-2 elementary stream at (16, 16) of the display"},
    {"--browser-video X,Y,W,H,URL", "browser video: the key colour in the rectangle, then the extension asks the "
                                    "client to play the stream URL there"},
    {"--play-tsmf CLIP", "multimedia redirection: an MP4 clip (H.264 and AAC) played by the client; ends with 1 "
                         "unless every sample was acknowledged"},
    {"--tsmf-geometry X,Y,W,H", "the redirected video's window in the session window"},
    {"--tsmf-visible L,T,R,B;...", "the parts of that window left visible (all of it when not given)"},
    {"--tsmf-window N", "at most N samples a stream unacknowledged (10)"},
    {"--microphone SECONDS", "switch the client's microphone on for SECONDS, print what arrived (format, bytes, "
                             "duration), switch it off"},
    {"--smartcard", "smart-card calls through the client's device redirection against its PC/SC service: "
                    "context, readers, state, connect, a SELECT and its answer, each result printed"},
    {"--help", "print this help and exit"},
};

int Usage() {
  std::cerr << kUsage << "pellum-testhost --help tells what each option does.\n";
  return 2;
}

int Help() {
  std::cout << kUsage << "\n";
  for (const OptionHelp& o : kOptions) std::cout << "  " << o.option << "\n      " << o.meaning << "\n";
  std::cout << "\nExit status: 0 when all went as asked, 1 when a step failed, 2 for a bad command line or "
               "script.\n";
  return 0;
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
    if (arg == "--help") return Help();
    if (arg == "--smartcard") {
      paint.smartcard = true;
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
    } else if (arg == "--microphone") {
      char* end = nullptr;
      const long seconds = strtol(value.c_str(), &end, 10);
      if (!end || *end || seconds < 1 || seconds > 3600) return Usage();
      paint.microphoneSeconds = static_cast<int>(seconds);
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
  if ((paint.microphoneSeconds || paint.smartcard) && paint.imageFile.empty()) return Usage();
  if (paint.tsmfClip.empty() && (paint.tsmfOptions.geometry.width || !paint.tsmfOptions.geometry.visible.empty()))
    return Usage();
  if (!paint.tsmfOptions.geometry.width && !paint.tsmfOptions.geometry.visible.empty()) return Usage();
  // A window without visible rectangles shows whole.
  testhost::tsmf::Geometry& geometry = paint.tsmfOptions.geometry;
  if (geometry.width && geometry.visible.empty())
    geometry.visible.push_back({0, 0, int32_t(geometry.width), int32_t(geometry.height)});
  if (!paint.imageFile.empty()) {
    paint.followClient = true;
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
