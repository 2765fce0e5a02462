// The browser extension of the remote session, as the test host plays it:
// JSON texts through the ".tovix" "post" tunnel service. It answers the
// client's discovery with a connection check, reads the client's texts,
// and sends window, tab and playback messages. KeyedPicture makes the
// desktop picture in which the remote browser leaves the key colour where
// a video should show.
#pragma once

#include <QImage>
#include <QRect>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testhost {

class HostSession;

struct ExtensionPlayback {
  int32_t windowId = 1;
  int32_t tabId = 1;
  std::string videoId = "video";
  std::string event = "PLAYBACK";
  QRect rectangle;  // inside the browser window
  bool paused = false;
  std::string sourcePageUrl;
  std::string videoStreamUrl;
  int32_t streamWidth = 0;
  int32_t streamHeight = 0;
  double position = 0;  // SEEK, seconds
  int32_t controlSequence = 1;
  double volume = 1;
  bool muted = false;
};

class BrowserExtension {
 public:
  // The session's reader must run (HostSession::StartReader).
  explicit BrowserExtension(HostSession* session);

  // The texts the client posted so far, in order, without their NUL.
  std::vector<std::string> ClientTexts();
  // The first client text from `from` on that matches.
  bool WaitForClientText(const std::function<bool(const std::string&)>& match, int timeoutMs,
                         std::string* out = nullptr, size_t from = 0);
  // One text, with its NUL, as a ".tovix" "post" call.
  bool Send(const std::string& text);
  // Waits for the client's discovery, answers with the connection check
  // and waits for the response; its session id in sessionId.
  bool Connect(int timeoutMs, std::string* sessionId = nullptr);

  static std::string ConnectionCheck();
  static std::string FocusChanged(int32_t windowId, int32_t tabId);
  static std::string WindowMoved(int32_t windowId, int32_t x, int32_t y);
  static std::string TabMoved(int32_t tabId, int32_t newWindowId);
  static std::string WindowClosed(int32_t windowId);
  static std::string PageUnloaded(int32_t windowId, int32_t tabId);
  static std::string SystemVolume(double value);
  static std::string Playback(const ExtensionPlayback& playback);

 private:
  HostSession* session_;
};

// A desktop of the colour with the key colour (red 1, green 2, blue 3) in
// the rectangle, in 24-bit RGB: painted losslessly, the client shows its
// local video there.
QImage KeyedPicture(const QSize& size, const QRect& video, QRgb desktop = qRgb(255, 255, 255));

}  // namespace testhost
