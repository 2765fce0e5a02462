// A multimedia redirection server over the "MSVCEXT " slot of one session:
// plays a clip to the client through "TSMF" channel instances as MS-RDPEV
// servers do (a control instance with stream id 0, then one instance per
// stream), and counts what the client answers: capability answers, the
// format checks, the topology answer, one PLAYBACK_ACK per sample it takes,
// its event notifications and the shutdown answer. Like the clipboard
// server it talks through two functions, one that sends a slot payload and
// one that answers every payload the client has sent on the slot so far.
//
// Requests that need no answer are not waited for: the client runs each
// channel instance on a thread of its own, so the host orders the work of
// different instances through the answers it waits for (the topology
// answer before the first sample, the end-of-stream events before the
// shutdown).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "testhost/ClipboardChannel.h"
#include "testhost/TsmfClip.h"
#include "testhost/TsmfMessages.h"

namespace testhost {
namespace tsmf {

// What the client did, as the host saw it. Per-stream vectors follow the
// clip's streams (video first).
struct Report {
  std::vector<uint32_t> streamIds;
  std::vector<bool> video;
  std::vector<size_t> sent;
  std::vector<size_t> acked;
  std::vector<size_t> mostUnacked;  // the highest count in flight
  std::vector<bool> formatSupported;
  uint32_t enabledGroups = 0;
  bool capabilitiesAnswered = false;
  CapabilitiesAnswer capabilities;
  bool topologyAnswered = false;
  bool topologyReady = false;
  int64_t topologyMs = -1;  // from the request to the answer
  // Every client event: stream id and event id, in arrival order.
  std::vector<std::pair<uint32_t, uint32_t>> events;
  bool shutdownAnswered = false;
  std::string error;  // the first step that failed

  bool AllAcknowledged() const;
  // Every stream sent its end-of-stream event.
  bool EndOfStreamSeen() const;
  bool Ok() const { return AllAcknowledged() && EndOfStreamSeen(); }
};

// "tsmf video-samples=N video-acks=N audio-samples=N audio-acks=N
// topology=ready|not-ready topology-ms=N events=201,100,100
// end-of-stream=N shutdown=answered|unanswered" (a stream absent from the
// clip is left out; events "none" when there was none).
std::string Summary(const Report& report);

struct PlayOptions {
  // Placed after the topology when its width and height are not 0.
  Geometry geometry;
  size_t window = 10;  // unacknowledged samples per stream
  int stepTimeoutMs = 30000;
  bool exchangeGroups = true;  // "SC" first, asking for every group
  uint32_t serverGroups = 0x17F;
};

class Server {
 public:
  using Send = std::function<bool(const Bytes& payload)>;
  using Received = std::function<std::vector<Bytes>()>;

  // Channel instances at indexes first, first + 1, ... with server channel
  // ids firstChannelId, firstChannelId + 1, ...
  Server(Send send, Received received, Clip clip, uint16_t firstIndex = 3, uint32_t firstChannelId = 1003);

  // "SC" with the groups; the client's enabled groups in the report.
  bool ExchangeGroups(uint32_t serverGroups, int timeoutMs);
  // Opens the control instance and one instance per stream; each gets the
  // interface manipulation exchange and SET_CHANNEL_PARAMS; the control
  // instance then exchanges capabilities (version 2, platform MF and
  // DirectShow).
  bool Open(int timeoutMs);
  // ON_NEW_PRESENTATION, a format check per stream, ADD_STREAM per stream;
  // false when the client refuses a format.
  bool Present(int timeoutMs);
  // SET_TOPOLOGY_REQ; true when answered (readiness in the report).
  bool SetTopology(int timeoutMs);
  bool UpdateGeometry(const Geometry& geometry);
  bool Start(uint64_t offset = 0, bool seek = false);
  bool Pause();
  bool Restart();
  bool Stop();
  // Sends up to `count` further samples, the earliest decoding time first,
  // keeping at most `window` of each stream unacknowledged (a stream whose
  // window is full lets the other go ahead). False when no acknowledgement
  // came within the time.
  bool SendSamples(size_t window, int timeoutMs, size_t count = SIZE_MAX);
  // Samples from here on start at the first sample of each stream whose
  // decoding time is at or after the offset (for a seek).
  void SkipTo(int64_t offset);
  bool EndStreams();
  bool WaitEndOfStream(int timeoutMs);
  bool WaitAllAcknowledged(int timeoutMs);
  // SHUTDOWN_PRESENTATION_REQ; true when answered with Result 0.
  bool Shutdown(int timeoutMs);
  // "CC" for every instance opened.
  bool Close();

  const Report& GetReport() const { return report_; }
  // Records why a step failed (the first reason stays); false.
  bool Fail(const std::string& why);
  const Clip& GetClip() const { return clip_; }
  // Every message sent, in order: channel index and bytes.
  const std::vector<std::pair<uint16_t, Bytes>>& SentMessages() const { return sentLog_; }

  static const Guid kPresentation;

 private:
  using Clock = std::chrono::steady_clock;
  bool SendOn(uint16_t index, const Bytes& message);
  uint32_t NextId() { return nextMessageId_++; }
  void Collect();
  void Take(const ClientPdu& message);
  bool WaitUntil(const std::function<bool()>& done, int timeoutMs);
  // The answer to a request, once it came.
  bool WaitAnswer(uint32_t messageId, int timeoutMs, ClientPdu* out);
  uint16_t StreamIndex(size_t stream) const { return uint16_t(firstIndex_ + 1 + stream); }
  size_t Unacked(size_t stream) const;

  Send send_;
  Received received_;
  Clip clip_;
  const uint16_t firstIndex_;
  const uint32_t firstChannelId_;
  uint32_t nextMessageId_ = 1;
  size_t seenPayloads_ = 0;
  channels::PduAssembler assembler_;
  std::map<uint32_t, ClientPdu> answers_;
  std::map<uint32_t, Clock::time_point> answeredAt_;
  std::vector<Bytes> groupReplies_;
  std::vector<size_t> next_;
  std::vector<uint16_t> opened_;
  std::vector<std::pair<uint16_t, Bytes>> sentLog_;
  Report report_;
};

// The whole sequence: groups, channels, presentation, topology, geometry,
// start, every sample, end of stream, the client's end-of-stream events,
// shutdown and close. The report says how far it came.
Report Play(Server& server, const PlayOptions& options);

// Command-line values: "X,Y,W,H" and "L,T,R,B;L,T,R,B;..." (visible parts
// relative to the window). False for anything else.
bool ParseGeometry(const std::string& value, Geometry* geometry);
bool ParseVisibleRects(const std::string& value, std::vector<Rect>* rects);

}  // namespace tsmf
}  // namespace testhost
