#include "tovix/CGVImageContainer.h"

#include <QGraphicsItemGroup>
#include <QGraphicsScene>
#include <QJsonDocument>
#include <QJsonValue>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QUuid>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "display/SurfaceKeeper.h"
#include "session/ClientConnectionParameter.h"
#include "session/GenericClient.h"
#include "sys/klog.h"
#include "tovix/CTile.h"
#include "tovix/Lplayer.h"
#include "tovix/QMyFrameItem.h"
#include "tovix/TovixJson.h"
#include "tovix/TovixMessages.h"
#include "ui/SessionWindowInput.h"

namespace {

constexpr int kTableSize = 2;
CGVImageContainer* g_displayTable[kTableSize] = {};

// The proxy of the session's connection; empty when none.
QString SessionProxyUrl() {
  CGenericClient* client = tovix::CurrentSessionClient();
  CClientConnectionParameter* parameters = client ? client->Parameters() : nullptr;
  if (!parameters) return QString();
  return QString::fromUtf8(parameters->proxy_url, int(strnlen(parameters->proxy_url, kProxyUrlBytes)));
}

// The frame-buffer lock for the length of a scope.
typedef void (CGVImageContainer::*Handler)(const QJsonObject&);

struct MessageHandler {
  const char* type;
  Handler handler;
};

const MessageHandler kHandlers[] = {
    {"tovix.srcPlaybackControl", &CGVImageContainer::handleSrcPlaybackControl},
    {"tovix.wndPosChanged", &CGVImageContainer::handleWndPosChanged},
    {"tovix.tabParentWindowChanged", &CGVImageContainer::handleTabParentWindowChanged},
    {"tovix.tabParentWindowClosed", &CGVImageContainer::handleTabParentWindowClosed},
    {"tovix.pageUnloaded", &CGVImageContainer::handlePageUnloaded},
    {"tovix.systemVolume", &CGVImageContainer::handleSystemVolume},
    {"tovix.browserFocusChanged", &CGVImageContainer::handleBrowserFocusChanged},
};

}  // namespace

qint64 SeekPositionMs(double seconds) {
  const double ms = seconds * 1000;
  if (!(ms >= 0) || ms >= 9.0e18) return 0;
  return qint64(ms);
}

CGVImageContainer::CGVImageContainer(int displayIndex, const IQtWindowPorts& ports)
    : QGraphicsView(static_cast<QWidget*>(nullptr)), displayIndex_(displayIndex), ports_(ports) {
  if (displayIndex >= 0 && displayIndex < kTableSize) g_displayTable[displayIndex] = this;
  scene_ = new QGraphicsScene(this);
  scene_->setBackgroundBrush(QBrush(Qt::black, Qt::SolidPattern));
  setScene(scene_);
  setViewportUpdateMode(QGraphicsView::BoundingRectViewportUpdate);
  setFocusPolicy(Qt::ClickFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  horizontalScrollBar()->setEnabled(false);
  verticalScrollBar()->setEnabled(false);
  setFrameStyle(0);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  tileGroup_ = new QGraphicsItemGroup;
  tileGroup_->setZValue(0);
  scene_->addItem(tileGroup_);
  setMouseTracking(true);
  newSessionId();
  connect(&timer_, &QTimer::timeout, this, &CGVImageContainer::tovix_timer_proc);
  timer_.setInterval(kTimerIntervalMs);
  // The extension's texts reach display 0 only: another display advertising
  // itself could never be answered.
  if (displayIndex == 0) timer_.start();
}

CGVImageContainer::~CGVImageContainer() {
  deleteAllPlayers();
  for (std::vector<CTile*>& row : tiles_) {
    for (CTile* tile : row) delete tile;
  }
  tiles_.clear();
  if (displayIndex_ >= 0 && displayIndex_ < kTableSize && g_displayTable[displayIndex_] == this)
    g_displayTable[displayIndex_] = nullptr;
  timer_.stop();
  setScene(nullptr);
  delete scene_;
  scene_ = nullptr;
}

CGVImageContainer* CGVImageContainer::forDisplay(int displayIndex) {
  if (displayIndex < 0 || displayIndex >= kTableSize) return nullptr;
  return g_displayTable[displayIndex];
}

bool CGVImageContainer::event(QEvent* event) {
  if (ForwardMouseEvent(this, displayIndex_, event, 0, ports_)) return true;
  return QGraphicsView::event(event);
}

// The pointer events of the view arrive at its viewport, which covers the
// whole widget (no frame, no scroll bars).
bool CGVImageContainer::viewportEvent(QEvent* event) {
  if (ForwardMouseEvent(this, displayIndex_, event, 0, ports_)) return true;
  return QGraphicsView::viewportEvent(event);
}

void CGVImageContainer::mousePressEvent(QMouseEvent* event) { ForwardMouseEvent(this, displayIndex_, event, 1, ports_); }

void CGVImageContainer::mouseDoubleClickEvent(QMouseEvent* event) {
  ForwardMouseEvent(this, displayIndex_, event, 1, ports_);
}

void CGVImageContainer::keyPressEvent(QKeyEvent* event) { event->ignore(); }

void CGVImageContainer::keyReleaseEvent(QKeyEvent* event) { event->ignore(); }

void CGVImageContainer::updateFromFrameBuffer(int x, int y, int width, int height) {
  IQtDisplayFrames* frames = ports_.Frames();
  ISessionStatus* session = ports_.Session();
  if (!frames || !session || !frames->HasSession()) return;
  session->OnDisplayPainted();
  const QRect rect(x, y, width, height);
  {
    QtDisplayFrameHold hold(frames, displayIndex_);
    if (ISurfaceKeeper* surface = hold.surface()) {
      if (const QImage* image = frames->DisplayImage(displayIndex_)) {
        rebuildTiles(surface->GetWidth(), surface->GetHeight());
        copyToTiles(FrameSourceOf(*image, surface->GetBitsPerPixel(), surface->GetWidth(), surface->GetHeight()),
                    rect);
      }
    }
  }
  refreshPixmaps();
  viewport()->update(rect);
}

void CGVImageContainer::rebuildTiles(int width, int height) {
  if (width == frameWidth_ && height == frameHeight_) return;
  frameWidth_ = width;
  frameHeight_ = height;
  for (std::vector<CTile*>& row : tiles_) {
    for (CTile* tile : row) delete tile;
  }
  tiles_.clear();
  const int rows = std::max(0, height) / CTile::kSize + (height > 0 && height % CTile::kSize ? 1 : 0);
  const int columns = std::max(0, width) / CTile::kSize + (width > 0 && width % CTile::kSize ? 1 : 0);
  for (int r = 0; r < rows; ++r) {
    std::vector<CTile*> row;
    for (int c = 0; c < columns; ++c) {
      CTile* tile = new CTile;
      tileGroup_->addToGroup(tile);
      tile->setPos(c * CTile::kSize, r * CTile::kSize);
      row.push_back(tile);
    }
    tiles_.push_back(std::move(row));
  }
  scene_->setSceneRect(0, 0, std::max(0, width), std::max(0, height));
}

void CGVImageContainer::copyToTiles(const TovixFrameSource& source, const QRect& rect) {
  CopyToTiles(source, rect, tiles_);
}

void CGVImageContainer::refreshPixmaps() {
  for (std::vector<CTile*>& row : tiles_) {
    for (CTile* tile : row) tile->refreshPixmap();
  }
}

void CGVImageContainer::newSessionId() {
  sessionId_ = QUuid::createUuid().toString(QUuid::WithBraces).toStdString();
}

void CGVImageContainer::deleteAllPlayers() {
  for (Lplayer* player : players_) delete player;
  players_.clear();
}

Lplayer* CGVImageContainer::findPlayer(const QString& videoId) const {
  for (Lplayer* player : players_) {
    if (player->videoId == videoId) return player;
  }
  return nullptr;
}

void CGVImageContainer::deletePlayersIf(const std::function<bool(Lplayer*)>& doomed) {
  for (auto it = players_.begin(); it != players_.end();) {
    if (doomed(*it)) {
      delete *it;
      it = players_.erase(it);
    } else {
      ++it;
    }
  }
}

void CGVImageContainer::restackPlayers() {
  for (Lplayer* player : players_) player->frameItem()->setZValue(zOrderOf(player->windowId, player->tabId));
}

bool CGVImageContainer::sendMessage(const std::string& text) { return tovix::SendTovixText(text); }

void CGVImageContainer::handleMessage(const char* text) {
  if (!text) return;
  const QByteArray bytes(text);
  silenceCounter_ = 0;
  if (tovix::RepeatsMemberName(bytes)) {
    LogMessageA("CGVImageContainer::handleMessage: a text naming one member twice is ignored");
    return;
  }
  const QJsonDocument document = QJsonDocument::fromJson(bytes);
  if (document.isNull() || !document.isObject()) return;
  const QJsonObject message = document.object();
  const QString type = message.value("type").toString();
  if (type == QLatin1String("tovix.connectionCheck")) {
    discoveryPending_ = 0;
    sendMessage(tovix::ConnectionCheckResponse(sessionId_));
  }
  if (discoveryPending_) return;
  for (const MessageHandler& entry : kHandlers) {
    if (type == QLatin1String(entry.type)) {
      (this->*entry.handler)(message);
      return;
    }
  }
}

void CGVImageContainer::tovix_timer_proc() {
  if (discoveryPending_) {
    sendMessage(tovix::DiscoveryMessage());
    return;
  }
  if (++silenceCounter_ > kSilentTicks) {
    silenceCounter_ = 0;
    discoveryPending_ = 1;
    deleteAllPlayers();
    newSessionId();
  }
}

void CGVImageContainer::handleSrcPlaybackControl(const QJsonObject& message) {
  const int32_t windowId = message.value("chromeWindowId").toInt();
  const int32_t tabId = message.value("chromeTabId").toInt();
  TovixWindowEntry& window = windows_.addTabToWindow(windowId, tabId);
  const QString event = message.value("event").toString();
  const QString videoId = message.value("videoId").toString();
  Lplayer* player = findPlayer(videoId);
  if (!player) {
    CGVImageContainer* second = displayIndex_ != 1 ? forDisplay(1) : nullptr;
    player = new Lplayer(scene_, second ? second->scene() : nullptr, videoId);
    players_.push_front(player);
    player->systemVolume = systemVolume_;
  }
  player->controlSequence = message.value("controlSequence").toInt();
  player->muted = message.value("muted").toBool() ? 1 : 0;
  player->volume = message.value("volume").toDouble();
  player->applyVolume();
  const QJsonObject rect = message.value("rectangle").toObject();
  player->setGeometry(windowId, tabId, window.wndX, window.wndY, rect.value("l").toInt(), rect.value("t").toInt(),
                      rect.value("w").toInt(), rect.value("h").toInt());
  player->frameItem()->setZValue(zOrderOf(windowId, tabId));

  QMediaPlayer& media = player->mediaPlayer();
  if (event == QLatin1String("PLAYBACK")) {
    if (message.value("paused").toBool()) {
      media.pause();
      return;
    }
    const QString page = message.value("sourcePageUrl").toString();
    const QString stream = message.value("source").toObject().value("videoStreamUrl").toString();
    if (page.isEmpty() && !stream.isEmpty()) {
      if (stream != player->currentUrl) {
        player->currentUrl = stream;
        player->setMediaUrl(stream);
      }
      media.play();
    } else if (page == player->currentUrl) {
      media.play();
    } else {
      player->currentUrl = page;
      player->streamWidth = message.value("streamWidth").toInt();
      player->streamHeight = message.value("streamHeight").toInt();
      if (player->streamWidth && player->streamHeight) {
        defaultStreamWidth_ = player->streamWidth;
        defaultStreamHeight_ = player->streamHeight;
      } else {
        player->streamWidth = defaultStreamWidth_;
        player->streamHeight = defaultStreamHeight_;
      }
      player->startResolve(page, SessionProxyUrl());
    }
  } else if (event == QLatin1String("QUALITY")) {
    player->streamWidth = message.value("streamWidth").toInt();
    player->streamHeight = message.value("streamHeight").toInt();
    player->keptPosition = media.position();
    player->selectFormat(player->streamWidth, player->streamHeight);
    defaultStreamWidth_ = player->streamWidth;
    defaultStreamHeight_ = player->streamHeight;
  } else if (event == QLatin1String("SEEK")) {
    media.setPosition(SeekPositionMs(message.value("position").toDouble()));
  } else if (event == QLatin1String("ADVERTISEMENT")) {
    media.pause();
  }
}

void CGVImageContainer::handleWndPosChanged(const QJsonObject& message) {
  const int32_t windowId = message.value("chromeWindowId").toInt();
  TovixWindowEntry& window = windows_.findOrAddWindow(windowId);
  window.wndX = message.value("wndX").toInt();
  window.wndY = message.value("wndY").toInt();
  for (Lplayer* player : players_) {
    if (player->windowId == windowId) player->moveWithWindow(window.wndX, window.wndY);
  }
}

void CGVImageContainer::handleTabParentWindowChanged(const QJsonObject& message) {
  const int32_t tabId = message.value("chromeTabId").toInt();
  const int32_t newWindowId = message.value("newWindowId").toInt();
  windows_.moveTab(tabId, newWindowId);
  for (Lplayer* player : players_) {
    if (player->tabId == tabId) player->windowId = newWindowId;
  }
}

void CGVImageContainer::handleTabParentWindowClosed(const QJsonObject& message) {
  const int32_t windowId = message.value("chromeWindowId").toInt();
  windows_.removeWindow(windowId);
  deletePlayersIf([windowId](Lplayer* player) { return player->windowId == windowId; });
}

void CGVImageContainer::handlePageUnloaded(const QJsonObject& message) {
  const int32_t windowId = message.value("chromeWindowId").toInt();
  const int32_t tabId = message.value("chromeTabId").toInt();
  TovixWindowEntry& window = windows_.raiseWindow(windowId);
  auto tab = std::find(window.tabIds.begin(), window.tabIds.end(), tabId);
  if (tab != window.tabIds.end()) window.tabIds.erase(tab);
  deletePlayersIf([tabId](Lplayer* player) { return player->tabId == tabId; });
}

void CGVImageContainer::handleSystemVolume(const QJsonObject& message) {
  systemVolume_ = message.value("value").toDouble();
  for (Lplayer* player : players_) {
    player->systemVolume = systemVolume_;
    player->applyVolume();
  }
}

void CGVImageContainer::handleBrowserFocusChanged(const QJsonObject& message) {
  const int32_t windowId = message.value("chromeWindowId").toInt();
  const int32_t tabId = message.value("chromeTabId").toInt();
  windows_.addTabToWindow(windowId, tabId);
  TovixWindowEntry& window = windows_.raiseWindow(windowId);
  auto tab = std::find(window.tabIds.begin(), window.tabIds.end(), tabId);
  if (tab != window.tabIds.end()) window.tabIds.splice(window.tabIds.begin(), window.tabIds, tab);
  restackPlayers();
}
