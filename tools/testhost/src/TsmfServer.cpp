#include "testhost/TsmfServer.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "testhost/Wire.h"

namespace testhost {
namespace tsmf {

namespace {

constexpr int kPollMs = 10;
// A wait gives up only after this many looks as well as its time: a host
// that was not scheduled for a while still looks at what came meanwhile.
constexpr int kMinLooks = 5;
constexpr uint32_t kMultimediaGroup = 0x100;
constexpr uint32_t kVersion2 = 2;
constexpr uint32_t kPlatformMfAndDirectShow = 3;

bool ParseInts(const std::string& text, int count, long* out, long low, long high) {
  std::stringstream in(text);
  std::string field;
  int n = 0;
  while (std::getline(in, field, ',')) {
    if (n == count || field.empty()) return false;
    char* end = nullptr;
    const long v = strtol(field.c_str(), &end, 10);
    if (!end || *end || v < low || v > high) return false;
    out[n++] = v;
  }
  return n == count && (text.empty() || text.back() != ',');
}

}  // namespace

const Guid Server::kPresentation = GuidOf("9F04F4A8-0C1D-4E6B-8C5A-3E1D2B7A6C50");

bool Report::AllAcknowledged() const {
  size_t total = 0;
  for (size_t i = 0; i < sent.size(); ++i) {
    if (acked[i] != sent[i]) return false;
    total += sent[i];
  }
  return total > 0;
}

bool Report::EndOfStreamSeen() const {
  if (streamIds.empty()) return false;
  for (uint32_t id : streamIds) {
    const bool seen = std::any_of(events.begin(), events.end(), [id](const std::pair<uint32_t, uint32_t>& e) {
      return e.first == id && e.second == kEventEndOfStream;
    });
    if (!seen) return false;
  }
  return true;
}

std::string Summary(const Report& r) {
  std::ostringstream out;
  out << "tsmf";
  for (size_t i = 0; i < r.streamIds.size(); ++i) {
    const char* kind = r.video[i] ? "video" : "audio";
    out << " " << kind << "-samples=" << r.sent[i] << " " << kind << "-acks=" << r.acked[i];
  }
  out << " topology=" << (r.topologyReady ? "ready" : "not-ready") << " topology-ms=" << r.topologyMs << " events=";
  size_t endOfStream = 0;
  for (size_t i = 0; i < r.events.size(); ++i) {
    out << (i ? "," : "") << r.events[i].second;
    endOfStream += r.events[i].second == kEventEndOfStream;
  }
  if (r.events.empty()) out << "none";
  out << " end-of-stream=" << endOfStream << " shutdown=" << (r.shutdownAnswered ? "answered" : "unanswered");
  return out.str();
}

Server::Server(Send send, Received received, Clip clip, uint16_t firstIndex, uint32_t firstChannelId)
    : send_(std::move(send)),
      received_(std::move(received)),
      clip_(std::move(clip)),
      firstIndex_(firstIndex),
      firstChannelId_(firstChannelId) {
  const size_t n = clip_.streams.size();
  next_.assign(n, 0);
  report_.sent.assign(n, 0);
  report_.acked.assign(n, 0);
  report_.mostUnacked.assign(n, 0);
  report_.formatSupported.assign(n, false);
  for (size_t i = 0; i < n; ++i) {
    report_.streamIds.push_back(uint32_t(i + 1));  // 0 is the control instance's
    report_.video.push_back(clip_.streams[i].video);
  }
}

bool Server::Fail(const std::string& why) {
  if (report_.error.empty()) report_.error = why;
  return false;
}

bool Server::SendOn(uint16_t index, const Bytes& message) {
  sentLog_.emplace_back(index, message);
  return send_(channels::Data(index, message)) || Fail("sending failed");
}

void Server::Collect() {
  const std::vector<Bytes> all = received_();
  const uint16_t last = uint16_t(firstIndex_ + clip_.streams.size());
  for (; seenPayloads_ < all.size(); ++seenPayloads_) {
    const channels::SlotMessage m = channels::ReadMessage(all[seenPayloads_]);
    if (!m.ok) continue;
    if (m.code == channels::kCapabilities) {
      groupReplies_.push_back(all[seenPayloads_]);
    } else if (m.code == channels::kData && m.index >= firstIndex_ && m.index <= last &&
               assembler_.Add(m.index, m.payload)) {
      for (const Bytes& pdu : assembler_.Take(m.index)) Take(ReadClientPdu(pdu));
    }
  }
}

void Server::Take(const ClientPdu& m) {
  switch (m.kind) {
    case ClientPdu::kAnswer:
    case ClientPdu::kRimAnswer:
      if (!answers_.count(m.messageId)) {
        answers_[m.messageId] = m;
        answeredAt_[m.messageId] = Clock::now();
      }
      break;
    case ClientPdu::kAck:
      for (size_t i = 0; i < report_.streamIds.size(); ++i)
        if (report_.streamIds[i] == m.streamId) ++report_.acked[i];
      break;
    case ClientPdu::kEvent:
      report_.events.emplace_back(m.streamId, m.event);
      break;
    case ClientPdu::kBad:
      break;
  }
}

bool Server::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int looks = 1;; ++looks) {
    Collect();
    if (done()) return true;
    if (Clock::now() >= end && looks >= kMinLooks) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

bool Server::WaitAnswer(uint32_t messageId, int timeoutMs, ClientPdu* out) {
  if (!WaitUntil([&] { return answers_.count(messageId) > 0; }, timeoutMs)) return false;
  *out = answers_[messageId];
  return true;
}

size_t Server::Unacked(size_t stream) const {
  return report_.sent[stream] > report_.acked[stream] ? report_.sent[stream] - report_.acked[stream] : 0;
}

bool Server::ExchangeGroups(uint32_t serverGroups, int timeoutMs) {
  // Other servers on the slot (the clipboard's) may have exchanged groups
  // before: this exchange's reply is the first that echoes its value.
  constexpr uint32_t kEcho = 0x75F0;
  size_t at = groupReplies_.size();
  auto answered = [&] {
    for (; at < groupReplies_.size(); ++at)
      if (channels::ReadCapabilityReply(groupReplies_[at]).echo == kEcho) return true;
    return false;
  };
  if (!send_(channels::Capabilities(kEcho, serverGroups))) return Fail("sending failed");
  if (!WaitUntil(answered, timeoutMs)) return Fail("no channel-group reply");
  const channels::CapabilityReply reply = channels::ReadCapabilityReply(groupReplies_[at]);
  if (!reply.ok) return Fail("a malformed channel-group reply");
  report_.enabledGroups = reply.enabledGroups;
  return (reply.enabledGroups & kMultimediaGroup) || Fail("the client does not enable multimedia redirection");
}

bool Server::Open(int timeoutMs) {
  std::vector<uint32_t> rimIds;
  for (size_t i = 0; i <= clip_.streams.size(); ++i) {
    const uint16_t index = uint16_t(firstIndex_ + i);
    if (!send_(channels::Open(index, firstChannelId_ + uint32_t(i), u"TSMF"))) return Fail("sending failed");
    opened_.push_back(index);
    rimIds.push_back(NextId());
    if (!SendOn(index, RimExchangeCapabilityRequest(rimIds.back())) ||
        !SendOn(index, SetChannelParams(NextId(), kPresentation, i == 0 ? 0 : report_.streamIds[i - 1])))
      return false;
  }
  const uint32_t id = NextId();
  if (!SendOn(firstIndex_, ExchangeCapabilitiesReq(
                               id, {{kCapabilityVersion, kVersion2}, {kCapabilityPlatform, kPlatformMfAndDirectShow}})))
    return false;
  for (uint32_t rim : rimIds) {
    ClientPdu answer;
    if (!WaitAnswer(rim, timeoutMs, &answer)) return Fail("no interface manipulation answer");
    if (answer.kind != ClientPdu::kRimAnswer || answer.body.size() != 8 || wire::Read(answer.body, 0, 4) != 1)
      return Fail("a malformed interface manipulation answer");
  }
  ClientPdu answer;
  if (!WaitAnswer(id, timeoutMs, &answer)) return Fail("no capability answer");
  report_.capabilitiesAnswered = ReadCapabilitiesAnswer(answer.body, &report_.capabilities);
  return report_.capabilitiesAnswered || Fail("a malformed capability answer");
}

bool Server::Present(int timeoutMs) {
  if (!SendOn(firstIndex_, OnNewPresentation(NextId(), kPresentation))) return false;
  std::vector<uint32_t> checks;
  for (const ClipStream& s : clip_.streams) {
    checks.push_back(NextId());
    if (!SendOn(firstIndex_, CheckFormatSupportReq(checks.back(), MediaTypeBytes(s.type)))) return false;
  }
  for (size_t i = 0; i < checks.size(); ++i) {
    ClientPdu answer;
    uint32_t supported = 0, cookie = 0, result = 0;
    if (!WaitAnswer(checks[i], timeoutMs, &answer)) return Fail("no format check answer");
    if (!ReadFormatSupportAnswer(answer.body, &supported, &cookie, &result))
      return Fail("a malformed format check answer");
    report_.formatSupported[i] = supported == 1;
  }
  for (size_t i = 0; i < clip_.streams.size(); ++i)
    if (!report_.formatSupported[i])
      return Fail(std::string("the client does not play the ") + (report_.video[i] ? "video" : "audio") + " format");
  for (size_t i = 0; i < clip_.streams.size(); ++i) {
    if (!SendOn(firstIndex_,
                AddStream(NextId(), kPresentation, report_.streamIds[i], MediaTypeBytes(clip_.streams[i].type))))
      return false;
  }
  return true;
}

bool Server::SetTopology(int timeoutMs) {
  const uint32_t id = NextId();
  const auto asked = Clock::now();
  if (!SendOn(firstIndex_, SetTopologyReq(id, kPresentation))) return false;
  ClientPdu answer;
  if (!WaitAnswer(id, timeoutMs, &answer)) return Fail("no topology answer");
  uint32_t ready = 0, result = 0;
  if (!ReadTopologyAnswer(answer.body, &ready, &result)) return Fail("a malformed topology answer");
  report_.topologyAnswered = true;
  report_.topologyReady = ready == 1 && result == 0;
  report_.topologyMs = std::chrono::duration_cast<std::chrono::milliseconds>(answeredAt_[id] - asked).count();
  return true;
}

bool Server::UpdateGeometry(const Geometry& geometry) {
  return SendOn(firstIndex_, UpdateGeometryInfo(NextId(), kPresentation, geometry));
}

bool Server::Start(uint64_t offset, bool seek) {
  return SendOn(firstIndex_, OnPlaybackStarted(NextId(), kPresentation, offset, seek));
}

bool Server::Pause() { return SendOn(firstIndex_, PresentationCommand(kOnPlaybackPaused, NextId(), kPresentation)); }

bool Server::Restart() {
  return SendOn(firstIndex_, PresentationCommand(kOnPlaybackRestarted, NextId(), kPresentation));
}

bool Server::Stop() { return SendOn(firstIndex_, PresentationCommand(kOnPlaybackStopped, NextId(), kPresentation)); }

bool Server::SendSamples(size_t window, int timeoutMs, size_t count) {
  if (window == 0) return Fail("a window of no samples");
  for (size_t done = 0; done < count; ++done) {
    auto pick = [&]() -> int {
      int best = -1;
      for (size_t i = 0; i < clip_.streams.size(); ++i) {
        if (next_[i] >= clip_.streams[i].samples.size() || Unacked(i) >= window) continue;
        if (best < 0 ||
            clip_.streams[i].decodeTimes[next_[i]] < clip_.streams[size_t(best)].decodeTimes[next_[size_t(best)]])
          best = int(i);
      }
      return best;
    };
    auto remaining = [&] {
      for (size_t i = 0; i < clip_.streams.size(); ++i)
        if (next_[i] < clip_.streams[i].samples.size()) return true;
      return false;
    };
    Collect();
    if (!remaining()) return true;
    int stream = pick();
    if (stream < 0) {
      if (!WaitUntil([&] { return pick() >= 0; }, timeoutMs)) return Fail("samples were not acknowledged");
      stream = pick();
    }
    const size_t s = size_t(stream);
    const DataSample& sample = clip_.streams[s].samples[next_[s]];
    if (!SendOn(StreamIndex(s), OnSample(NextId(), kPresentation, report_.streamIds[s], sample))) return false;
    ++next_[s];
    ++report_.sent[s];
    report_.mostUnacked[s] = std::max(report_.mostUnacked[s], Unacked(s));
  }
  return true;
}

void Server::SkipTo(int64_t offset) {
  for (size_t i = 0; i < clip_.streams.size(); ++i) {
    const std::vector<int64_t>& times = clip_.streams[i].decodeTimes;
    next_[i] = size_t(std::lower_bound(times.begin(), times.end(), offset) - times.begin());
  }
}

bool Server::EndStreams() {
  for (size_t i = 0; i < clip_.streams.size(); ++i)
    if (!SendOn(StreamIndex(i), StreamCommand(kOnEndOfStream, NextId(), kPresentation, report_.streamIds[i])))
      return false;
  return true;
}

bool Server::WaitEndOfStream(int timeoutMs) {
  return WaitUntil([&] { return report_.EndOfStreamSeen(); }, timeoutMs) || Fail("the client did not end every stream");
}

bool Server::WaitAllAcknowledged(int timeoutMs) {
  return WaitUntil([&] { return report_.AllAcknowledged(); }, timeoutMs) || Fail("not every sample was acknowledged");
}

bool Server::Shutdown(int timeoutMs) {
  const uint32_t id = NextId();
  if (!SendOn(firstIndex_, PresentationCommand(kShutdownPresentationReq, id, kPresentation))) return false;
  ClientPdu answer;
  uint32_t result = 1;
  if (!WaitAnswer(id, timeoutMs, &answer)) return Fail("no shutdown answer");
  report_.shutdownAnswered = ReadResultAnswer(answer.body, &result) && result == 0;
  return report_.shutdownAnswered || Fail("a malformed shutdown answer");
}

bool Server::Close() {
  bool ok = true;
  for (size_t i = 0; i < opened_.size(); ++i)
    ok = send_(channels::Close(opened_[i], firstChannelId_ + uint32_t(opened_[i] - firstIndex_))) && ok;
  opened_.clear();
  return ok || Fail("sending failed");
}

Report Play(Server& server, const PlayOptions& o) {
  const int t = o.stepTimeoutMs;
  bool ok = (!o.exchangeGroups || server.ExchangeGroups(o.serverGroups, t)) && server.Open(t);
  // From the presentation on, a failed step still ends it.
  const bool presenting = ok;
  ok = ok && server.Present(t) && server.SetTopology(t) &&
       (server.GetReport().topologyReady || server.Fail("the topology is not ready"));
  if (ok && o.geometry.width && o.geometry.height) ok = server.UpdateGeometry(o.geometry);
  ok = ok && server.Start() && server.SendSamples(o.window, t) && server.EndStreams() && server.WaitEndOfStream(t);
  // Acknowledgements of one stream may still be on their way behind the
  // other stream's end.
  if (ok) server.WaitAllAcknowledged(t);
  if (presenting) server.Shutdown(t);
  server.Close();
  return server.GetReport();
}

bool ParseGeometry(const std::string& value, Geometry* g) {
  long v[4];
  if (!ParseInts(value, 4, v, 0, 32767) || v[2] == 0 || v[3] == 0) return false;
  g->left = int32_t(v[0]);
  g->top = int32_t(v[1]);
  g->width = uint32_t(v[2]);
  g->height = uint32_t(v[3]);
  return true;
}

bool ParseVisibleRects(const std::string& value, std::vector<Rect>* rects) {
  std::vector<Rect> out;
  std::stringstream in(value);
  std::string item;
  while (std::getline(in, item, ';')) {
    long v[4];
    if (!ParseInts(item, 4, v, 0, 32767) || v[2] <= v[0] || v[3] <= v[1]) return false;
    out.push_back({int32_t(v[0]), int32_t(v[1]), int32_t(v[2]), int32_t(v[3])});
  }
  if (out.empty() || value.back() == ';') return false;
  *rects = out;
  return true;
}

}  // namespace tsmf
}  // namespace testhost
