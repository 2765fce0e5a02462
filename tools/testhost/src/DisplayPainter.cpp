#include "testhost/DisplayPainter.h"

#include <istream>
#include <ostream>
#include <sstream>

#include "testhost/HostSession.h"
#include "testhost/StreamEncoder.h"

namespace testhost {

namespace {

constexpr char kDisplaySlotName[] = "HPVCARD ";
constexpr char kStreamSlotName[] = "ZEVOROD ";
constexpr size_t kDisplayBlockBytes = 796;
constexpr size_t kCacheSizeAt = 0x260;
constexpr uint32_t kDefaultCacheBytes = 0x0C000000;
constexpr int kKeepAliveMs = 1000;

}  // namespace

bool ParsePaintSettings(const std::string& list, PaintOptions* options) {
  std::stringstream words(list);
  std::string word;
  while (std::getline(words, word, ',')) {
    if (word == "16" || word == "24")
      options->depth = std::stoi(word);
    else if (word == "jpeg")
      options->jpeg = JpegTiles::kContainer;
    else if (word == "frame")
      options->jpeg = JpegTiles::kFrame;
    else if (word == "lz4")
      options->lz4 = true;
    else if (word == "flush")
      options->flush = true;
    else if (!word.empty())
      return false;
  }
  return true;
}

namespace {

int FirstSlotNamed(const HandshakeReport& report, const char* name) {
  for (size_t i = 0; i < report.slotTable.size(); ++i)
    if (report.slotTable[i].name == name) return int(i);
  return -1;
}

// Each picture as one JPEG frame over the display; false after saying why.
bool PlayFrames(HostSession& session, const HandshakeReport& report, const std::vector<RgbImage>& frames,
                std::ostream& out) {
  const int slot = FirstSlotNamed(report, kStreamSlotName);
  if (slot < 0) {
    out << "the client announced no stream slot" << std::endl;
    return false;
  }
  for (const RgbImage& frame : frames) {
    const stream::Rect whole{0, 0, frame.width, frame.height};
    if (!session.SendSlot(uint16_t(slot), stream::JpegFrame(0, stream::JpegOf(frame), whole))) {
      out << "sending failed" << std::endl;
      return false;
    }
  }
  out << "played " << frames.size() << " frames on slot " << slot << std::endl;
  return true;
}

}  // namespace

int RunPaintSession(Listener& listener, const PaintRequest& request, std::istream& until, std::ostream& out) {
  RgbImage image;
  std::string error;
  if (!LoadImageFile(request.imageFile, &image, &error)) {
    out << error << std::endl;
    return 1;
  }
  std::vector<RgbImage> frames(request.frameFiles.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!LoadImageFile(request.frameFiles[i], &frames[i], &error)) {
      out << error << std::endl;
      return 1;
    }
  }
  std::unique_ptr<FramedPeer> peer = listener.Accept(request.acceptTimeoutMs);
  if (!peer) {
    out << "no client connected" << std::endl;
    return 1;
  }
  HostSession session(peer.get());
  HandshakeOptions handshake;
  handshake.encrypted = request.encrypted;
  handshake.stopReading = request.stopReading;
  // The server's tile-cache size in its display block: the default, which
  // the encoder's model of the client's caches assumes.
  handshake.displayBlock.assign(kDisplayBlockBytes, 0);
  for (int i = 0; i < 4; ++i) handshake.displayBlock[kCacheSizeAt + i] = uint8_t(kDefaultCacheBytes >> (8 * i));
  HandshakeReport report;
  if (!session.Handshake(handshake, &report)) {
    out << "handshake failed: " << report.error << std::endl;
    return 1;
  }
  const int slot = FirstSlotNamed(report, kDisplaySlotName);
  if (slot < 0) {
    out << "the client announced no display slot" << std::endl;
    return 1;
  }
  session.StartReader();
  PaintOptions options = request.options;
  options.alignContainers = (handshake.alignWord & 0x8000) != 0;
  DisplayEncoder encoder;
  const std::vector<Packet> packets = encoder.Paint(image, options);
  for (const Packet& packet : packets) {
    if (!session.SendSlot(uint16_t(slot), packet)) {
      out << "sending failed" << std::endl;
      return 1;
    }
  }
  out << "painted " << packets.size() << " packets on slot " << slot << std::endl;
  if (!frames.empty() && !PlayFrames(session, report, frames, out)) return 1;
  session.StartKeepAlive(kKeepAliveMs);
  std::string line;
  while (std::getline(until, line)) {
  }
  session.Stop();
  return 0;
}

}  // namespace testhost
