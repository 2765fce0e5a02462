// The display widget of a session window while browser-video redirection
// is on: the remote display as a grid of 128 x 128 tiles in a graphics
// scene, with the local videos below the tiles showing through where the
// server painted the colour key. On display 0 it also talks to the browser
// extension in the session (discovery, the connection check, the window
// and tab model) and owns the players. GUI thread only.
#pragma once

#include <QGraphicsView>
#include <QJsonObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "qt/QtLiveWindowPorts.h"
#include "tovix/TovixTiles.h"
#include "tovix/TovixWindowModel.h"

class CTile;
class Lplayer;
class QGraphicsItemGroup;
class QGraphicsScene;

class CGVImageContainer : public QGraphicsView {
  Q_OBJECT

 public:
  static constexpr int kTimerIntervalMs = 3000;
  // Ticks without a text from the extension that it survives.
  static constexpr int kSilentTicks = 3;

  explicit CGVImageContainer(int displayIndex, const IQtWindowPorts& ports = LiveSystemApiPorts());
  ~CGVImageContainer() override;

  // The container of display 0 or 1, or null.
  static CGVImageContainer* forDisplay(int displayIndex);

  int displayIndex() const { return displayIndex_; }
  QGraphicsScene* scene() const { return scene_; }

  // A dirty rectangle of the display: copied from the frame buffer into
  // the tiles it meets, which are then repainted.
  void updateFromFrameBuffer(int x, int y, int width, int height);
  // One text from the browser extension.
  void handleMessage(const char* text);
  bool sendMessage(const std::string& text);

  void rebuildTiles(int width, int height);
  void copyToTiles(const TovixFrameSource& source, const QRect& rect);
  void refreshPixmaps();

  void newSessionId();
  void deleteAllPlayers();
  Lplayer* findPlayer(const QString& videoId) const;
  double zOrderOf(int32_t windowId, int32_t tabId) const { return windows_.zOrderOf(windowId, tabId); }

  void handleSrcPlaybackControl(const QJsonObject& message);
  void handleWndPosChanged(const QJsonObject& message);
  void handleTabParentWindowChanged(const QJsonObject& message);
  void handleTabParentWindowClosed(const QJsonObject& message);
  void handlePageUnloaded(const QJsonObject& message);
  void handleSystemVolume(const QJsonObject& message);
  void handleBrowserFocusChanged(const QJsonObject& message);

  const TileGrid& tiles() const { return tiles_; }
  QSize frameSize() const { return QSize(frameWidth_, frameHeight_); }
  TovixWindowModel& windowModel() { return windows_; }
  const std::list<Lplayer*>& players() const { return players_; }
  const std::string& sessionId() const { return sessionId_; }
  bool discoveryPending() const { return discoveryPending_ != 0; }
  int silenceCounter() const { return silenceCounter_; }
  double systemVolume() const { return systemVolume_; }
  QSize defaultStreamSize() const { return QSize(defaultStreamWidth_, defaultStreamHeight_); }
  QTimer& timer() { return timer_; }

 public slots:
  void tovix_timer_proc();

 protected:
  bool event(QEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  // Keys belong to the session: they never scroll the view (the frame's
  // rows are wider than the display) nor reach the scene.
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  void deletePlayersIf(const std::function<bool(Lplayer*)>& doomed);
  void restackPlayers();

  int32_t frameWidth_ = 0;
  int32_t frameHeight_ = 0;
  TovixWindowModel windows_;
  double systemVolume_ = 0.5;
  const int32_t displayIndex_;
  const IQtWindowPorts& ports_;
  QGraphicsScene* scene_ = nullptr;
  QGraphicsItemGroup* tileGroup_ = nullptr;
  TileGrid tiles_;
  std::list<Lplayer*> players_;  // the newest first
  int32_t defaultStreamWidth_ = 640;
  int32_t defaultStreamHeight_ = 360;
  std::string sessionId_;
  QTimer timer_;
  int32_t silenceCounter_ = 0;
  uint8_t discoveryPending_ = 1;
};

// The media position of a SEEK: seconds to whole milliseconds, truncated;
// 0 for what is no number or out of range.
qint64 SeekPositionMs(double seconds);
