// The host's multimedia redirection server against a scripted client made
// of the same message builders: the order of the requests on each channel
// instance, the throttle on unacknowledged samples, the client's answers
// reassembled from small chunks, the summary line, and what the report says
// when the client leaves something out.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testhost/ClipboardChannel.h"
#include "testhost/TsmfServer.h"
#include "testhost/Wire.h"

namespace {

namespace tsmf = testhost::tsmf;
namespace channels = testhost::channels;
using testhost::wire::Append;
using testhost::wire::Read;
using tsmf::Bytes;

// A client that answers as the program's channel does, acknowledges one
// waiting sample per stream each time the host looks for news, and can be
// told to leave things out.
class ScriptedClient {
 public:
  size_t chunk = 7;  // data bytes per chunk of its messages
  bool supportAudio = true;
  bool topologyReady = true;
  bool endAudio = true;
  bool loseOneAck = false;
  uint32_t enabledGroups = 0x111;

  bool Send(const Bytes& payload) {
    const channels::SlotMessage m = channels::ReadMessage(payload);
    if (!m.ok) return false;
    if (m.code == channels::kCapabilities) {
      Bytes reply;
      Append(reply, 0xCA01, 2);
      Append(reply, 0x8000, 2);
      Append(reply, Read(m.payload, 4, 4), 4);
      Append(reply, enabledGroups & Read(m.payload, 8, 4), 4);
      Append(reply, 0, 4);
      out_.push_back(channels::Message(channels::kCapabilities, 0x8000, reply));
    } else if (m.code == channels::kOpen) {
      open_.insert(m.index);
    } else if (m.code == channels::kClose) {
      closed_.insert(m.index);
    } else if (m.code == channels::kData) {
      if (!open_.count(m.index)) return true;  // dropped, as the program does
      Request(m.index, m.payload);
    }
    return true;
  }

  // A slow client: one acknowledgement per stream every third look.
  std::vector<Bytes> Received() {
    if (++looks_ % 3) return out_;
    for (auto& [stream, waiting] : waiting_) {
      if (waiting.empty()) continue;
      AckFront(stream);
    }
    return out_;
  }

  std::vector<uint32_t> Functions(uint16_t index) { return functions_[index]; }
  size_t MostWaiting(uint32_t stream) { return mostWaiting_[stream]; }
  const std::set<uint16_t>& Closed() const { return closed_; }
  uint32_t StreamOf(uint16_t index) { return streamOf_[index]; }

 private:
  struct Waiting {
    uint16_t index;
    uint64_t duration, size;
  };

  void Write(uint16_t index, const Bytes& message) {
    for (size_t at = 0; at < message.size(); at += chunk) {
      const size_t n = std::min(chunk, message.size() - at);
      Bytes payload;
      Append(payload, message.size(), 4);
      Append(payload, 0x10 | (at == 0 ? 0x01 : 0) | (at + n == message.size() ? 0x02 : 0), 4);
      payload.insert(payload.end(), message.begin() + long(at), message.begin() + long(at + n));
      out_.push_back(channels::Data(index, payload));
    }
  }

  void AckFront(uint32_t stream) {
    Waiting w = waiting_[stream].front();
    waiting_[stream].erase(waiting_[stream].begin());
    if (loseOneAck && !lost_) {
      lost_ = true;
      return;
    }
    Write(w.index, tsmf::PlaybackAck(stream, w.duration, w.size));
  }

  void Request(uint16_t index, const Bytes& m) {
    const uint32_t interfaceId = uint32_t(Read(m, 0, 4));
    const uint32_t id = uint32_t(Read(m, 4, 4));
    const uint32_t function = uint32_t(Read(m, 8, 4));
    functions_[index].push_back(function);
    if (interfaceId == tsmf::kCapabilities) {
      Bytes body;
      Append(body, 1, 4);
      Append(body, 0, 4);
      Write(index, tsmf::Answer(id, body, tsmf::kCapabilities));
      return;
    }
    switch (function) {
      case tsmf::kExchangeCapabilitiesReq: {
        const uint64_t n = Read(m, 12, 4);
        Bytes body;
        Append(body, n, 4);
        for (uint64_t i = 0; i < n; ++i) {
          const uint32_t type = uint32_t(Read(m, size_t(16 + 12 * i), 4));
          Append(body, type, 4);
          Append(body, 4, 4);
          Append(body, type == tsmf::kCapabilityPlatform ? 1 : Read(m, size_t(24 + 12 * i), 4), 4);
        }
        Append(body, 0, 4);
        Write(index, tsmf::Answer(id, body));
        break;
      }
      case tsmf::kSetChannelParams:
        streamOf_[index] = uint32_t(Read(m, 28, 4));
        break;
      case tsmf::kCheckFormatSupportReq: {
        const bool audio =
            Read(m, 24, 4) == Read(Bytes(tsmf::kMediaTypeAudio.begin(), tsmf::kMediaTypeAudio.end()), 0, 4);
        Bytes body;
        Append(body, audio && !supportAudio ? 0 : 1, 4);
        Append(body, 1, 4);
        Append(body, 0, 4);
        Write(index, tsmf::Answer(id, body));
        break;
      }
      case tsmf::kSetTopologyReq: {
        Bytes body;
        Append(body, topologyReady ? 1 : 0, 4);
        Append(body, 0, 4);
        Write(index, tsmf::Answer(id, body));
        break;
      }
      case tsmf::kOnPlaybackStarted:
        Write(index, tsmf::ClientEvent(0, tsmf::kEventStartCompleted));
        break;
      case tsmf::kOnSample: {
        const uint32_t stream = uint32_t(Read(m, 28, 4));
        waiting_[stream].push_back({index, Read(m, 52, 8), Read(m, 68, 4)});
        mostWaiting_[stream] = std::max(mostWaiting_[stream], waiting_[stream].size());
        break;
      }
      case tsmf::kOnEndOfStream: {
        const uint32_t stream = uint32_t(Read(m, 28, 4));
        while (!waiting_[stream].empty()) AckFront(stream);
        if (endAudio || stream != 2) Write(index, tsmf::ClientEvent(stream, tsmf::kEventEndOfStream));
        break;
      }
      case tsmf::kShutdownPresentationReq: {
        Bytes body;
        Append(body, 0, 4);
        Write(index, tsmf::Answer(id, body));
        break;
      }
      default:
        break;
    }
  }

  std::vector<Bytes> out_;
  std::set<uint16_t> open_, closed_;
  std::map<uint16_t, std::vector<uint32_t>> functions_;
  std::map<uint16_t, uint32_t> streamOf_;
  std::map<uint32_t, std::vector<Waiting>> waiting_;
  std::map<uint32_t, size_t> mostWaiting_;
  bool lost_ = false;
  size_t looks_ = 0;
};

// Two streams of small samples: 25 pictures and 40 audio frames in a
// second.
tsmf::Clip SmallClip() {
  tsmf::Clip clip;
  for (int kind = 0; kind < 2; ++kind) {
    tsmf::ClipStream s;
    s.video = kind == 0;
    s.type = s.video ? tsmf::H264MediaType(64, 48, 400000, {0, 0, 0, 1, 0x67})
                     : tsmf::AacMediaType(1, 48000, 64000, {0x11, 0x88});
    const int count = s.video ? 25 : 40;
    const int64_t step = s.video ? 400000 : 250000;
    for (int i = 0; i < count; ++i) {
      tsmf::DataSample d;
      d.start = i * step;
      d.throttle = uint64_t(step);
      d.end = d.start + step;
      d.data.assign(size_t(10 + i), uint8_t(i));
      s.samples.push_back(d);
      s.decodeTimes.push_back(d.start);
    }
    clip.streams.push_back(s);
  }
  return clip;
}

tsmf::Server ServerFor(ScriptedClient& client) {
  return tsmf::Server([&client](const Bytes& p) { return client.Send(p); }, [&client] { return client.Received(); },
                      SmallClip());
}

tsmf::PlayOptions Options(int timeoutMs = 30000) {
  tsmf::PlayOptions o;
  o.window = 4;
  o.stepTimeoutMs = timeoutMs;
  o.geometry.left = 10;
  o.geometry.top = 20;
  o.geometry.width = 64;
  o.geometry.height = 48;
  o.geometry.visible = {{0, 0, 64, 48}};
  return o;
}

TEST(TsmfServer, PlaysTheClipInTheOrderOfTheProtocolAndCountsEveryAcknowledgement) {
  ScriptedClient client;
  tsmf::Server server = ServerFor(client);
  const tsmf::Report report = tsmf::Play(server, Options());
  EXPECT_TRUE(report.error.empty()) << report.error;
  EXPECT_TRUE(report.Ok());
  EXPECT_EQ(report.enabledGroups, 0x111u);
  EXPECT_TRUE(report.topologyReady);
  EXPECT_TRUE(report.shutdownAnswered);
  ASSERT_EQ(report.capabilities.capabilities.size(), 2u);
  EXPECT_EQ(report.capabilities.capabilities[0], std::make_pair(1u, 2u));
  EXPECT_EQ(report.capabilities.capabilities[1], std::make_pair(2u, 1u));
  EXPECT_EQ(tsmf::Summary(report),
            "tsmf video-samples=25 video-acks=25 audio-samples=40 audio-acks=40 topology=ready topology-ms=" +
                std::to_string(report.topologyMs) + " events=201,100,100 end-of-stream=2 shutdown=answered");

  // The control instance carries the presentation's commands; each stream
  // instance its parameters, its samples and its end.
  using F = std::vector<uint32_t>;
  EXPECT_EQ(client.Functions(3),
            (F{tsmf::kRimExchangeCapabilityRequest, tsmf::kSetChannelParams, tsmf::kExchangeCapabilitiesReq,
               tsmf::kOnNewPresentation, tsmf::kCheckFormatSupportReq, tsmf::kCheckFormatSupportReq, tsmf::kAddStream,
               tsmf::kAddStream, tsmf::kSetTopologyReq, tsmf::kUpdateGeometryInfo, tsmf::kOnPlaybackStarted,
               tsmf::kShutdownPresentationReq}));
  EXPECT_EQ(client.StreamOf(3), 0u);
  for (uint16_t index : {uint16_t(4), uint16_t(5)}) {
    SCOPED_TRACE(index);
    const F f = client.Functions(index);
    const size_t samples = index == 4 ? 25 : 40;
    ASSERT_EQ(f.size(), 3 + samples);
    EXPECT_EQ(f[0], tsmf::kRimExchangeCapabilityRequest);
    EXPECT_EQ(f[1], tsmf::kSetChannelParams);
    EXPECT_EQ(std::count(f.begin(), f.end(), uint32_t(tsmf::kOnSample)), long(samples));
    EXPECT_EQ(f.back(), tsmf::kOnEndOfStream);
    EXPECT_EQ(client.StreamOf(index), index - 3u);
  }
  // Never more than the window in flight, and the window was used.
  EXPECT_EQ(client.MostWaiting(1), 4u);
  EXPECT_EQ(client.MostWaiting(2), 4u);
  EXPECT_EQ(report.mostUnacked, (std::vector<size_t>{4, 4}));
  EXPECT_EQ(client.Closed(), (std::set<uint16_t>{3, 4, 5}));
}

TEST(TsmfServer, SamplesGoOutInDecodingOrderAcrossTheStreams) {
  ScriptedClient client;
  tsmf::Server server = ServerFor(client);
  ASSERT_TRUE(server.ExchangeGroups(0x17F, 30000));
  ASSERT_TRUE(server.Open(30000) && server.Present(30000) && server.SetTopology(30000)) << server.GetReport().error;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.SendSamples(100, 30000, 10));
  // The first ten by time: video at 0, 40, 80, 120 ms; audio every 25 ms.
  std::vector<int64_t> times;
  for (const auto& [index, message] : server.SentMessages())
    if (Read(message, 8, 4) == tsmf::kOnSample) times.push_back(int64_t(Read(message, 36, 8)));
  EXPECT_EQ(times, (std::vector<int64_t>{0, 0, 250000, 400000, 500000, 750000, 800000, 1000000, 1200000, 1250000}));
  EXPECT_EQ(server.GetReport().sent, (std::vector<size_t>{4, 6}));
  // A seek: the rest starts at 600 ms.
  server.SkipTo(6000000);
  const size_t before = server.SentMessages().size();
  ASSERT_TRUE(server.Start(6000000, true));
  ASSERT_TRUE(server.SendSamples(100, 30000));
  EXPECT_EQ(server.GetReport().sent, (std::vector<size_t>{4 + 10, 6 + 16}));
  const Bytes& started = server.SentMessages()[before].second;
  EXPECT_EQ(Read(started, 8, 4), uint32_t(tsmf::kOnPlaybackStarted));
  EXPECT_EQ(Read(started, 28, 8), 6000000u);
  EXPECT_EQ(Read(started, 36, 4), 1u);
  EXPECT_EQ(Read(server.SentMessages()[before + 1].second, 36, 8), 6000000u);
}

TEST(TsmfServer, PlaybackCommandsAndGeometryChangesGoOnTheControlInstance) {
  ScriptedClient client;
  tsmf::Server server = ServerFor(client);
  ASSERT_TRUE(server.Open(30000) && server.Present(30000) && server.SetTopology(30000)) << server.GetReport().error;
  tsmf::Geometry moved = Options().geometry;
  moved.left = 100;
  moved.visible.push_back({10, 10, 20, 20});
  ASSERT_TRUE(server.Start() && server.Pause() && server.UpdateGeometry(moved) && server.Restart() && server.Stop());
  const std::vector<uint32_t> f = client.Functions(3);
  ASSERT_GE(f.size(), 5u);
  EXPECT_EQ(std::vector<uint32_t>(f.end() - 5, f.end()),
            (std::vector<uint32_t>{tsmf::kOnPlaybackStarted, tsmf::kOnPlaybackPaused, tsmf::kUpdateGeometryInfo,
                                   tsmf::kOnPlaybackRestarted, tsmf::kOnPlaybackStopped}));
  const Bytes& geometry = server.SentMessages()[server.SentMessages().size() - 3].second;
  EXPECT_EQ(geometry, tsmf::UpdateGeometryInfo(uint32_t(Read(geometry, 4, 4)), tsmf::Server::kPresentation, moved));
  EXPECT_EQ(Read(geometry, 52, 4), 100u);     // Left
  EXPECT_EQ(Read(geometry, 76, 4), 2u * 16);  // cbVisibleRect
  EXPECT_EQ(client.Functions(4).size(), 2u);  // nothing but the set-up on the stream instances
}

TEST(TsmfServer, TheReportSaysWhatTheClientLeftOut) {
  struct Case {
    const char* name;
    void (*set)(ScriptedClient&);
    const char* error;
    bool acked, ended, shutdown;
    size_t sampleMessages;
  } cases[] = {
      {"no audio end", [](ScriptedClient& c) { c.endAudio = false; }, "the client did not end every stream", true,
       false, true, 65},
      {"one ack lost", [](ScriptedClient& c) { c.loseOneAck = true; }, "not every sample was acknowledged", false, true,
       true, 65},
      {"audio refused", [](ScriptedClient& c) { c.supportAudio = false; }, "the client does not play the audio format",
       false, false, true, 0},
      {"topology not ready", [](ScriptedClient& c) { c.topologyReady = false; }, "the topology is not ready", false,
       false, true, 0},
      {"no multimedia group", [](ScriptedClient& c) { c.enabledGroups = 0x11; },
       "the client does not enable multimedia redirection", false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedClient client;
    c.set(client);
    tsmf::Server server = ServerFor(client);
    // The wait for what never comes ends after two seconds; what does come
    // needs a few looks.
    const tsmf::Report report = tsmf::Play(server, Options(2000));
    EXPECT_EQ(report.error, c.error);
    EXPECT_FALSE(report.Ok());
    EXPECT_EQ(report.AllAcknowledged(), c.acked);
    EXPECT_EQ(report.EndOfStreamSeen(), c.ended);
    EXPECT_EQ(report.shutdownAnswered, c.shutdown);
    size_t samples = 0, adds = 0;
    for (const auto& [index, message] : server.SentMessages()) {
      samples += Read(message, 8, 4) == tsmf::kOnSample && Read(message, 0, 4) == tsmf::kServerData;
      adds += Read(message, 8, 4) == tsmf::kAddStream && Read(message, 0, 4) == tsmf::kServerData;
    }
    EXPECT_EQ(samples, c.sampleMessages);
    if (std::string(c.name) == "audio refused") {
      EXPECT_EQ(adds, 0u);
    }
  }
}

}  // namespace
