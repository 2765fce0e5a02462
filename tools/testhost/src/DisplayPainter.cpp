#include "testhost/DisplayPainter.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <istream>
#include <ostream>
#include <sstream>
#include <thread>

#include "testhost/AudioSlot.h"
#include "testhost/ClipboardPlayer.h"
#include "testhost/BrowserExtension.h"
#include "testhost/HostSession.h"
#include "testhost/PlayerStream.h"
#include "testhost/SmartCardCalls.h"
#include "testhost/Mpeg2Stream.h"
#include "testhost/StreamEncoder.h"
#include "testhost/VideoClips.h"

namespace testhost {

namespace {

constexpr char kDisplaySlotName[] = "HPVCARD ";
constexpr char kStreamSlotName[] = "ZEVOROD ";
constexpr char kAudioSlotName[] = "KOVAUDIO";
constexpr uint32_t kToneRate = 44100;
constexpr double kToneHz = 660;
constexpr size_t kDisplayBlockBytes = 796;
constexpr size_t kCacheSizeAt = 0x260;
constexpr uint32_t kDefaultCacheBytes = 0x0C000000;
constexpr int kKeepAliveMs = 1000;

int FindSlot(const HandshakeReport& report, const char* name) {
  for (size_t i = 0; i < report.slotTable.size(); ++i)
    if (report.slotTable[i].name == name) return int(i);
  return -1;
}

// The tone in messages of 100 ms (a message's length is 16 bits).
bool PlayTone(HostSession& session, uint16_t slot, int ms) {
  const std::vector<uint8_t> tone = PaintTone(ms);
  const size_t piece = kToneRate / 10 * 4;
  if (!session.SendSlot(slot, audio::PcmFormat(2, kToneRate, 16)) || !session.SendSlot(slot, audio::PlaybackState(3)))
    return false;
  for (size_t at = 0; at < tone.size(); at += piece) {
    const size_t end = std::min(tone.size(), at + piece);
    if (!session.SendSlot(slot, audio::Data(audio::Bytes(tone.begin() + long(at), tone.begin() + long(end)))))
      return false;
  }
  return session.SendSlot(slot, audio::FlushAndClose());
}

}  // namespace

std::vector<uint8_t> PaintTone(int ms) {
  return audio::Tone(uint32_t(uint64_t(kToneRate) * uint32_t(ms) / 1000), 2, kToneRate, kToneHz);
}

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

// Each picture as one JPEG frame over the display; false after saying why.
// Sends the stream's messages on the first stream slot; prints "played
// MPEG-2 stream of PICTURES pictures on slot SLOT".
bool PlayMpeg2(HostSession& session, const HandshakeReport& report, const std::string& file, std::ostream& out) {
  const int slot = FindSlot(report, kStreamSlotName);
  std::ifstream in(file, std::ios::binary);
  const stream::Bytes elementary((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int width = 0, height = 0;
  if (slot < 0 || !stream::Mpeg2PictureSize(elementary, &width, &height)) {
    out << "no stream slot or no MPEG-2 sequence header" << std::endl;
    return false;
  }
  const stream::Rect rect{16, 16, 16 + width, 16 + height};
  const std::vector<stream::Bytes> messages = stream::Mpeg2StreamMessages(1, elementary, rect, 0x00FF00FF);
  for (const stream::Bytes& message : messages) {
    if (!session.SendSlot(uint16_t(slot), message)) {
      out << "sending failed" << std::endl;
      return false;
    }
  }
  out << "played MPEG-2 stream of " << stream::Mpeg2Pictures(elementary).size() << " pictures on slot " << slot
      << std::endl;
  return true;
}

bool PlayFrames(HostSession& session, const HandshakeReport& report, const std::vector<RgbImage>& frames,
                std::ostream& out) {
  const int slot = FindSlot(report, kStreamSlotName);
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

bool PlayClips(HostSession& session, const HandshakeReport& report,
               const std::vector<std::pair<std::string, std::string>>& clips, const RgbImage& image,
               std::ostream& out) {
  const int slot = FindSlot(report, kStreamSlotName);
  if (slot < 0) {
    out << "the client announced no stream slot" << std::endl;
    return false;
  }
  const stream::Rect whole{0, 0, image.width, image.height};
  for (const auto& clip : clips) {
    std::vector<stream::Bytes> samples;
    if (!stream::ReadClipSamples(clip.first, clip.second, &samples)) {
      out << "cannot read the " << clip.first << " clip " << clip.second << std::endl;
      return false;
    }
    for (const stream::Bytes& message : stream::ClipMessages(clip.first, samples, whole)) {
      if (!session.SendSlot(uint16_t(slot), message)) {
        out << "sending failed" << std::endl;
        return false;
      }
    }
    out << "played " << samples.size() << " " << clip.first << " frames on slot " << slot << std::endl;
  }
  return true;
}

bool PlayPlayerClip(HostSession& session, const HandshakeReport& report, const PaintRequest& request,
                    const RgbImage& image, std::ostream& out) {
  const int slot = FindSlot(report, kStreamSlotName);
  std::ifstream file(request.h264File, std::ios::binary);
  const stream::Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const stream::PlayerClip clip = stream::PlayerClipOf(bytes, request.h264Avcc);
  if (slot < 0 || clip.frames.empty()) {
    out << (slot < 0 ? "the client announced no stream slot" : "no H.264 pictures in " + request.h264File) << std::endl;
    return false;
  }
  constexpr uint32_t kId = 5, kMagenta = 0x00FF00FF;
  const stream::Rect whole{0, 0, image.width, image.height};
  bool sent = session.SendSlot(uint16_t(slot), stream::Reserve(kId)) &&
              session.SendSlot(uint16_t(slot), stream::CreatePlayerFor(kId, clip, image.width, image.height)) &&
              session.SendSlot(uint16_t(slot), stream::State(kId, stream::kRun));
  for (size_t i = 0; sent && i < clip.frames.size(); ++i)
    sent = session.SendSlot(uint16_t(slot), stream::PlayerFrame(kId, clip.frames[i], kMagenta, whole, 0, 0,
                                                                static_cast<int64_t>(i) * 40000));
  if (!sent) {
    out << "sending failed" << std::endl;
    return false;
  }
  out << "played " << clip.frames.size() << " H.264 pictures on slot " << slot << std::endl;
  return true;
}

// The key colour (red 1, green 2, blue 3) where the video is to show.
void KeyBrowserVideo(const PaintRequest& request, RgbImage* image) {
  const int x1 = std::min(image->width, request.videoX + request.videoWidth);
  const int y1 = std::min(image->height, request.videoY + request.videoHeight);
  for (int y = request.videoY; y < y1; ++y) {
    for (int x = request.videoX; x < x1; ++x) {
      uint8_t* p = &image->rgb[(size_t(y) * image->width + x) * 3];
      p[0] = 1;
      p[1] = 2;
      p[2] = 3;
    }
  }
}

// Answers the client's discovery as the browser extension, then focuses
// window 1, tab 1 and plays the stream at the rectangle.
bool PlayBrowserVideo(HostSession& session, const PaintRequest& request, std::ostream& out) {
  // The client takes tunnel frames only in an encrypted session and ends a
  // plain one on the first.
  if (!session.Encrypted()) {
    out << "browser video needs an encrypted session" << std::endl;
    return false;
  }
  BrowserExtension extension(&session);
  std::string sessionId;
  if (!extension.Connect(request.acceptTimeoutMs, &sessionId)) {
    out << "no browser-video discovery from the client" << std::endl;
    return false;
  }
  ExtensionPlayback playback;
  playback.videoStreamUrl = request.browserVideoUrl;
  playback.rectangle = QRect(request.videoX, request.videoY, request.videoWidth, request.videoHeight);
  if (!extension.Send(BrowserExtension::FocusChanged(playback.windowId, playback.tabId)) ||
      !extension.Send(BrowserExtension::Playback(playback))) {
    out << "sending failed" << std::endl;
    return false;
  }
  out << "browser video in session " << sessionId << std::endl;
  std::string progress;
  if (!extension.WaitForClientText(
          [](const std::string& text) { return text.find("\"type\":\"tovix.clientPlaybackProgress\"") != std::string::npos; },
          request.acceptTimeoutMs, &progress)) {
    out << "no playback progress from the client" << std::endl;
    return false;
  }
  out << "client playback " << progress << std::endl;
  return true;
}

// Plays the clip through multimedia redirection on the channel slot and
// prints the summary; true when the client took and ended everything.
bool PlayTsmfClip(HostSession& session, const HandshakeReport& report, const PaintRequest& request,
                  std::ostream& out) {
  const int slot = FindSlot(report, "MSVCEXT ");
  tsmf::Clip clip;
  std::string error;
  if (slot < 0 || !tsmf::ReadClip(request.tsmfClip, &clip, &error)) {
    out << (slot < 0 ? "the client announced no channel slot" : error) << std::endl;
    return false;
  }
  const uint16_t id = uint16_t(slot);
  tsmf::Server server([&session, id](const tsmf::Bytes& payload) { return session.SendSlot(id, payload); },
                      [&session, id] {
                        std::vector<tsmf::Bytes> payloads;
                        for (const HostMessage& m : session.Messages())
                          if (m.header.slot == id && m.code == 0) payloads.push_back(m.body);
                        return payloads;
                      },
                      std::move(clip));
  const tsmf::Report played = tsmf::Play(server, request.tsmfOptions);
  out << tsmf::Summary(played) << std::endl;
  if (!played.error.empty()) out << "tsmf stopped: " << played.error << std::endl;
  return played.Ok();
}

// Switches the microphone on, lets it send for the time, switches it off
// and prints what arrived in between.
bool RecordMicrophone(HostSession& session, const HandshakeReport& report, int seconds, std::ostream& out) {
  const int slot = FindSlot(report, kAudioSlotName);
  if (slot < 0) {
    out << "the client announced no audio slot" << std::endl;
    return false;
  }
  const size_t from = session.Messages().size();
  if (!session.SendSlot(uint16_t(slot), audio::MicrophoneState(3))) {
    out << "sending failed" << std::endl;
    return false;
  }
  out << "microphone on slot " << slot << " for " << seconds << " s" << std::endl;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  if (!session.SendSlot(uint16_t(slot), audio::MicrophoneState(0))) {
    out << "sending failed" << std::endl;
    return false;
  }
  uint64_t bytes = 0;
  bool noDevice = false;
  const std::vector<HostMessage> messages = session.Messages();
  for (size_t i = from; i < messages.size(); ++i) {
    if (messages[i].header.slot != slot) continue;
    const audio::Upstream up = audio::ReadUpstream(messages[i].body);
    if (up.kind == audio::Upstream::kMicData) bytes += up.pcm.size();
    noDevice |= up.kind == audio::Upstream::kNoDevice;
  }
  const uint64_t bytesPerSecond = uint64_t(audio::kMicRate) * audio::kMicChannels * audio::kMicBits / 8;
  out << "microphone PCM " << audio::kMicRate << " Hz, " << audio::kMicChannels << " channel, " << audio::kMicBits
      << " bits: " << bytes << " bytes, " << bytes * 1000 / bytesPerSecond << " ms"
      << (noDevice ? " (the client has no sound device)" : "") << std::endl;
  return true;
}

}  // namespace

bool ParseBrowserVideo(const std::string& value, PaintRequest* request) {
  int numbers[4] = {};
  size_t at = 0;
  for (int& n : numbers) {
    const size_t comma = value.find(',', at);
    if (comma == std::string::npos) return false;
    char* end = nullptr;
    const std::string field = value.substr(at, comma - at);
    const long v = strtol(field.c_str(), &end, 10);
    if (field.empty() || !end || *end || v < 0 || v > 32767) return false;
    n = int(v);
    at = comma + 1;
  }
  if (at >= value.size() || numbers[2] == 0 || numbers[3] == 0) return false;
  request->videoX = numbers[0];
  request->videoY = numbers[1];
  request->videoWidth = numbers[2];
  request->videoHeight = numbers[3];
  request->browserVideoUrl = value.substr(at);
  return true;
}

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
  if (!request.browserVideoUrl.empty()) KeyBrowserVideo(request, &image);
  std::unique_ptr<FramedPeer> peer = listener.Accept(request.acceptTimeoutMs);
  if (!peer) {
    out << "no client connected" << std::endl;
    return 1;
  }
  HostSession session(peer.get());
  HandshakeOptions handshake;
  handshake.encrypted = request.encrypted;
  handshake.followClient = request.followClient;
  handshake.stopReading = request.stopReading;
  // The server's tile-cache size in its display block: the default, which
  // the encoder's model of the client's caches assumes.
  handshake.displayBlock.assign(kDisplayBlockBytes, 0);
  for (int i = 0; i < 4; ++i) handshake.displayBlock[kCacheSizeAt + i] = uint8_t(kDefaultCacheBytes >> (8 * i));
  HandshakeReport report;
  // A client may take a while over its hello (its capability probes start
  // media frameworks).
  if (!session.Handshake(handshake, &report, request.acceptTimeoutMs)) {
    out << "handshake failed: " << report.error << std::endl;
    return 1;
  }
  const int slot = FindSlot(report, kDisplaySlotName);
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
  if (!request.clips.empty() && !PlayClips(session, report, request.clips, image, out)) return 1;
  if (!request.h264File.empty() && !PlayPlayerClip(session, report, request, image, out)) return 1;
  if (!request.mpeg2File.empty() && !PlayMpeg2(session, report, request.mpeg2File, out)) return 1;
  const int audioSlot = FindSlot(report, kAudioSlotName);
  if (request.toneMs > 0 && audioSlot >= 0) {
    if (!PlayTone(session, uint16_t(audioSlot), request.toneMs)) {
      out << "sending failed" << std::endl;
      return 1;
    }
    out << "tone of " << request.toneMs << " ms on slot " << audioSlot << std::endl;
  }
  session.StartKeepAlive(kKeepAliveMs);
  ClipboardPlayer clipboard;
  if (!request.clipboardText.empty() && !clipboard.Start(session, report, request.clipboardText, out)) return 1;
  if (!request.browserVideoUrl.empty() && !PlayBrowserVideo(session, request, out)) return 1;
  if (!request.tsmfClip.empty() && !PlayTsmfClip(session, report, request, out)) return 1;
  if (request.microphoneSeconds > 0 && !RecordMicrophone(session, report, request.microphoneSeconds, out)) return 1;
  if (request.smartcard && !smartcard::RunCalls(session, report, out)) return 1;
  std::string line;
  while (std::getline(until, line)) {
  }
  session.Stop();
  return 0;
}

}  // namespace testhost
