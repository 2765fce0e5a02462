#include "testhost/BrowserExtension.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "testhost/HostSession.h"
#include "testhost/Tunnel.h"

namespace testhost {

namespace {

const char kDiscoveryType[] = "\"type\":\"tovix.extensionDiscovery\"";
const char kResponseType[] = "\"type\":\"tovix.connectionCheckResponse\"";

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string Number(double value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

}  // namespace

BrowserExtension::BrowserExtension(HostSession* session) : session_(session) {}

std::vector<std::string> BrowserExtension::ClientTexts() {
  std::vector<std::string> texts;
  for (const HostMessage& m : session_->Messages()) {
    TunnelCall call;
    if (m.header.slot != FrameHeader::kControlSlot || m.code != code::kTunnelFrame) continue;
    if (!TunnelCall::Decode(m.payload, &call) || call.object != ".tovix" || call.method != "post") continue;
    std::string text(call.payload.begin(), call.payload.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    texts.push_back(text);
  }
  return texts;
}

bool BrowserExtension::WaitForClientText(const std::function<bool(const std::string&)>& match, int timeoutMs,
                                         std::string* out, size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::vector<std::string> texts = ClientTexts();
    for (size_t i = from; i < texts.size(); ++i) {
      if (match(texts[i])) {
        if (out) *out = texts[i];
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Waits for the next message the client sends; once the client has
    // gone that wait returns at once, and the pause keeps the loop calm.
    const size_t seen = session_->Messages().size();
    if (!session_->WaitFor([](const HostMessage&) { return true; }, 200, nullptr, seen))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool BrowserExtension::Send(const std::string& text) {
  TunnelCall call;
  call.object = ".tovix";
  call.method = "post";
  call.payload.assign(text.begin(), text.end());
  call.payload.push_back(0);
  const std::vector<uint8_t> message = call.EncodeMessage();
  return session_->SendControl(code::kTunnelFrame, std::vector<uint8_t>(message.begin() + 4, message.end()));
}

bool BrowserExtension::Connect(int timeoutMs, std::string* sessionId) {
  const auto has = [](const char* part) {
    return [part](const std::string& text) { return text.find(part) != std::string::npos; };
  };
  if (!WaitForClientText(has(kDiscoveryType), timeoutMs)) return false;
  const size_t before = ClientTexts().size();
  if (!Send(ConnectionCheck())) return false;
  std::string response;
  if (!WaitForClientText(has(kResponseType), timeoutMs, &response, before)) return false;
  if (sessionId) {
    const std::string key = "\"sessionId\":\"";
    const size_t at = response.find(key);
    const size_t end = at == std::string::npos ? at : response.find('"', at + key.size());
    *sessionId = end == std::string::npos ? std::string() : response.substr(at + key.size(), end - at - key.size());
  }
  return true;
}

std::string BrowserExtension::ConnectionCheck() { return "{\"type\":\"tovix.connectionCheck\"}"; }

std::string BrowserExtension::FocusChanged(int32_t windowId, int32_t tabId) {
  return "{\"type\":\"tovix.browserFocusChanged\",\"chromeWindowId\":" + std::to_string(windowId) +
         ",\"chromeTabId\":" + std::to_string(tabId) + "}";
}

std::string BrowserExtension::WindowMoved(int32_t windowId, int32_t x, int32_t y) {
  return "{\"type\":\"tovix.wndPosChanged\",\"chromeWindowId\":" + std::to_string(windowId) +
         ",\"wndX\":" + std::to_string(x) + ",\"wndY\":" + std::to_string(y) + "}";
}

std::string BrowserExtension::TabMoved(int32_t tabId, int32_t newWindowId) {
  return "{\"type\":\"tovix.tabParentWindowChanged\",\"chromeTabId\":" + std::to_string(tabId) +
         ",\"newWindowId\":" + std::to_string(newWindowId) + "}";
}

std::string BrowserExtension::WindowClosed(int32_t windowId) {
  return "{\"type\":\"tovix.tabParentWindowClosed\",\"chromeWindowId\":" + std::to_string(windowId) + "}";
}

std::string BrowserExtension::PageUnloaded(int32_t windowId, int32_t tabId) {
  return "{\"type\":\"tovix.pageUnloaded\",\"chromeWindowId\":" + std::to_string(windowId) +
         ",\"chromeTabId\":" + std::to_string(tabId) + "}";
}

std::string BrowserExtension::SystemVolume(double value) {
  return "{\"type\":\"tovix.systemVolume\",\"value\":" + Number(value) + "}";
}

std::string BrowserExtension::Playback(const ExtensionPlayback& p) {
  std::string text = "{\"type\":\"tovix.srcPlaybackControl\",\"chromeWindowId\":" + std::to_string(p.windowId) +
                     ",\"chromeTabId\":" + std::to_string(p.tabId) + ",\"event\":" + Quoted(p.event) +
                     ",\"videoId\":" + Quoted(p.videoId) + ",\"controlSequence\":" + std::to_string(p.controlSequence) +
                     ",\"muted\":" + (p.muted ? "true" : "false") + ",\"volume\":" + Number(p.volume) +
                     ",\"rectangle\":{\"t\":" + std::to_string(p.rectangle.top()) +
                     ",\"l\":" + std::to_string(p.rectangle.left()) + ",\"w\":" + std::to_string(p.rectangle.width()) +
                     ",\"h\":" + std::to_string(p.rectangle.height()) + "}";
  text += ",\"paused\":" + std::string(p.paused ? "true" : "false") + ",\"sourcePageUrl\":" + Quoted(p.sourcePageUrl) +
          ",\"source\":{\"videoStreamUrl\":" + Quoted(p.videoStreamUrl) + "}" +
          ",\"streamWidth\":" + std::to_string(p.streamWidth) + ",\"streamHeight\":" + std::to_string(p.streamHeight) +
          ",\"position\":" + Number(p.position) + "}";
  return text;
}

QImage KeyedPicture(const QSize& size, const QRect& video, QRgb desktop) {
  QImage picture(size, QImage::Format_RGB888);
  picture.fill(desktop);
  const QRect area = video & picture.rect();
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) picture.setPixel(x, y, qRgb(1, 2, 3));
  }
  return picture;
}

}  // namespace testhost
