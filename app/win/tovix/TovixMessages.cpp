#include "tovix/TovixMessages.h"

#include <QString>
#include <cstdio>

#include "qt/QtSystemApi.h"
#include "services/Tunnel.h"
#include "session/GenericClient.h"

namespace tovix {

namespace {

constexpr char kVersion[] = "1.2.0.5";

}  // namespace

std::string JsonText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(u));
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string DiscoveryMessage() {
  return std::string("{\"type\":\"tovix.extensionDiscovery\",\"v\":\"") + kVersion + "\"}";
}

std::string ConnectionCheckResponse(const std::string& sessionId) {
  return std::string("{\"type\":\"tovix.connectionCheckResponse\",\"features\":[1],\"apiVersion\":1,\"v\":\"") +
         kVersion + "\",\"sessionId\":" + JsonText(sessionId) + "}";
}

std::string PlaybackProgressMessage(const std::string& videoId, int64_t positionMs, bool ended,
                                    int32_t controlSequence) {
  const std::string position = QString::number(double(positionMs) / 1000.0, 'g', 6).toStdString();
  return "{\"type\":\"tovix.clientPlaybackProgress\",\"videoId\":" + JsonText(videoId) + ",\"position\":" +
         position + ",\"ended\":" + (ended ? "true" : "false") +
         ",\"controlSequence\":" + std::to_string(controlSequence) + "}";
}

std::string PlaybackFailedMessage(const std::string& videoId) {
  return "{\"type\":\"tovix.clientPlaybackFailed\",\"videoId\":" + JsonText(videoId) + "}";
}

ITunnelClient* CurrentTunnelClient() {
  CQtSystemApi* api = CQtSystemApi::Instance();
  ISessionObserver* observer = api ? api->Observer() : nullptr;
  return dynamic_cast<ITunnelClient*>(observer);
}

CGenericClient* CurrentSessionClient() {
  CQtSystemApi* api = CQtSystemApi::Instance();
  ISessionObserver* observer = api ? api->Observer() : nullptr;
  return dynamic_cast<CGenericClient*>(observer);
}

bool SendTovixText(const std::string& text) {
  std::unique_ptr<ybx::tunnel::TunnelFrame> frame =
      ybx::tunnel::BuildTunnelFrame(".tovix", "post", text.c_str(), int64_t(text.size()) + 1);
  if (!frame) return false;
  ITunnelClient* client = CurrentTunnelClient();
  if (!client) return false;
  // Until the handshake is over the server expects nothing but the hello
  // on the control slot.
  CGenericClient* session = CurrentSessionClient();
  if (session && session->SessionState() != CGenericClient::kRunning) return false;
  return ybx::tunnel::SendTunnelFrame(frame.get(), client) == 0;
}

}  // namespace tovix
