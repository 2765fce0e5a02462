#include "tovix/Lplayer.h"

#include <QGraphicsScene>
#include <QMediaContent>
#include <QUrl>
#include <QVideoSurfaceFormat>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "session/GenericClient.h"
#include "tovix/QMyFrameItem.h"
#include "tovix/TovixMessages.h"
#include "tovix/youtubedlWorker.h"

namespace {

constexpr double kItemZ = -1;

QMyFrameItem* NewItem(QGraphicsScene* scene) {
  QMyFrameItem* item = new QMyFrameItem;
  item->setZValue(kItemZ);
  scene->addItem(item);
  return item;
}

// One format of a lookup: false when a member it must have is missing or
// of the wrong kind.
struct Format {
  std::string url, acodec, vcodec;
  int64_t width = 0, height = 0;
};

bool ReadFormat(const nlohmann::json& element, Format* out) {
  if (!element.is_object()) return false;
  const auto text = [&element](const char* name, std::string* value) {
    auto it = element.find(name);
    if (it == element.end() || !it->is_string()) return false;
    *value = it->get<std::string>();
    return true;
  };
  if (!text("url", &out->url) || !text("acodec", &out->acodec) || !text("vcodec", &out->vcodec)) return false;
  if (out->vcodec == "none") return true;
  const auto number = [&element](const char* name, int64_t* value) {
    auto it = element.find(name);
    if (it == element.end() || !it->is_number_integer()) return false;
    *value = it->get<int64_t>();
    return true;
  };
  return number("width", &out->width) && number("height", &out->height);
}

}  // namespace

Lplayer::Lplayer(QGraphicsScene* scene, QGraphicsScene* secondScene, const QString& id)
    : player_(nullptr, QMediaPlayer::VideoSurface),
      workerThread_(new QThread(this)),
      abortLookup_(std::make_shared<std::atomic<bool>>(false)),
      scene_(scene) {
  videoId = id;
  item_ = NewItem(scene_);
  if (secondScene) {
    secondScene_ = secondScene;
    secondItem_ = NewItem(secondScene);
    // The scene deletes its items when it goes.
    connect(secondScene, &QObject::destroyed, this, [this] { secondItem_ = nullptr; });
    if (CGenericClient* client = tovix::CurrentSessionClient()) {
      const DisplayOrigin origin = client->GetDisplayOrigin(1);
      secondX_ = origin.x;
      secondY_ = origin.y;
    }
  }
  player_.setVideoOutput(this);
  connect(&player_, &QMediaPlayer::positionChanged, this, &Lplayer::notifyPlayPosChanged);
  connect(&player_, &QMediaPlayer::mediaStatusChanged, this, &Lplayer::notifyMediaStatusChanged);
  connect(&player_, &QMediaPlayer::bufferStatusChanged, this, &Lplayer::notifyBufferStatusChanged);
}

Lplayer::~Lplayer() {
  disconnect(&player_, nullptr, this, nullptr);
  player_.stop();
  player_.setVideoOutput(static_cast<QAbstractVideoSurface*>(nullptr));
  abortLookup_->store(true);
  workerThread_->quit();
  workerThread_->wait();
  if (item_) {
    if (item_->scene()) item_->scene()->removeItem(item_);
    delete item_;
  }
  if (secondItem_ && secondScene_) {
    secondScene_->removeItem(secondItem_);
    delete secondItem_;
  }
}

QList<QVideoFrame::PixelFormat> Lplayer::supportedPixelFormats(QAbstractVideoBuffer::HandleType) const {
  return {QVideoFrame::Format_BGR24,  QVideoFrame::Format_RGB24, QVideoFrame::Format_ARGB32,
          QVideoFrame::Format_BGRA32, QVideoFrame::Format_RGB32, QVideoFrame::Format_BGR32};
}

bool Lplayer::start(const QVideoSurfaceFormat& format) { return QAbstractVideoSurface::start(format); }

void Lplayer::stop() { QAbstractVideoSurface::stop(); }

std::vector<QMyFrameItem*> Lplayer::items() const {
  std::vector<QMyFrameItem*> list;
  if (item_) list.push_back(item_);
  if (secondItem_) list.push_back(secondItem_);
  return list;
}

bool Lplayer::rebuildImages(int width, int height, int bytesPerLine, QImage::Format format) {
  const size_t bytes = size_t(bytesPerLine) * size_t(height);
  if (bytes == frameBytes_ && width == frameWidth_ && height == frameHeight_ && bytesPerLine == frameBytesPerLine_ &&
      format == frameFormat_)
    return true;
  // The items let go of the old buffer before it is freed.
  for (QMyFrameItem* item : items()) item->setImage(QImage());
  frameBuffer_.reset(new (std::nothrow) uint8_t[bytes]);
  frameBytes_ = frameBuffer_ ? bytes : 0;
  frameWidth_ = frameHeight_ = frameBytesPerLine_ = 0;
  frameFormat_ = QImage::Format_Invalid;
  if (!frameBuffer_) return false;
  const QImage image(frameBuffer_.get(), width, height, bytesPerLine, format);
  if (image.isNull()) return false;
  frameWidth_ = width;
  frameHeight_ = height;
  frameBytesPerLine_ = bytesPerLine;
  frameFormat_ = format;
  for (QMyFrameItem* item : items()) item->setImage(image);
  return true;
}

bool Lplayer::present(const QVideoFrame& frame) {
  if (!frame.isValid()) return false;
  QVideoFrame mapped(frame);
  if (!mapped.map(QAbstractVideoBuffer::ReadOnly)) return false;
  QImage::Format format = QVideoFrame::imageFormatFromPixelFormat(mapped.pixelFormat());
  const uint8_t* bits = mapped.bits();
  int width = mapped.width(), height = mapped.height(), bytesPerLine = mapped.bytesPerLine();
  // Formats an image cannot hold (planar YUV and the like) are converted, so
  // that a picture appears whatever the decoder delivers.
  QImage converted;
  if (format == QImage::Format_Invalid) {
    mapped.unmap();
    converted = frame.image().convertToFormat(QImage::Format_RGB32);
    if (converted.isNull()) return false;
    bits = converted.constBits();
    width = converted.width();
    height = converted.height();
    bytesPerLine = converted.bytesPerLine();
    format = QImage::Format_RGB32;
  }
  const int64_t minimumLine = int64_t(width) * QImage::toPixelFormat(format).bitsPerPixel() / 8;
  bool shown = false;
  if (bits && width > 0 && height > 0 && bytesPerLine >= minimumLine &&
      rebuildImages(width, height, bytesPerLine, format)) {
    memcpy(frameBuffer_.get(), bits, frameBytes_);
    for (QMyFrameItem* item : items()) item->update();
    shown = true;
  }
  if (mapped.isMapped()) mapped.unmap();
  return shown;
}

void Lplayer::placeItems() {
  const QSizeF size(double(w_) + 1, double(h_));
  if (item_) {
    item_->setPos(double(wndX_) + l_, double(wndY_) + t_);
    item_->setSize(size);
  }
  if (secondItem_) {
    secondItem_->setPos(double(wndX_) + l_ - secondX_, double(wndY_) + t_ - secondY_);
    secondItem_->setSize(size);
  }
}

void Lplayer::setGeometry(int32_t window, int32_t tab, int32_t wndX, int32_t wndY, int32_t l, int32_t t,
                          int32_t w, int32_t h) {
  windowId = window;
  tabId = tab;
  wndX_ = wndX;
  wndY_ = wndY;
  l_ = l;
  t_ = t;
  w_ = w;
  h_ = h;
  placeItems();
}

void Lplayer::moveWithWindow(int32_t wndX, int32_t wndY) {
  wndX_ = wndX;
  wndY_ = wndY;
  placeItems();
}

void Lplayer::setMediaUrl(const QString& url) { player_.setMedia(QMediaContent(QUrl(url, QUrl::TolerantMode))); }

int VolumePercent(double factor) {
  const double percent = factor * 100;
  if (!(percent > 0)) return 0;
  if (percent >= 100) return 100;
  return int(percent);
}

void Lplayer::applyVolume() {
  player_.setVolume(VolumePercent(systemVolume * volume));
  player_.setMuted(muted != 0);
}

void Lplayer::startResolve(const QString& pageUrl, const QString& proxyUrl) {
  keptPosition = 0;
  // One worker serves every lookup of the player, connected once: each
  // lookup gives exactly one answer.
  if (!worker_) {
    worker_ = new youtubedlWorker(abortLookup_, lookupTimeLimitMs_);
    worker_->moveToThread(workerThread_);
    connect(workerThread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(this, &Lplayer::operate, worker_, &youtubedlWorker::findRealUrl, Qt::QueuedConnection);
    connect(worker_, &youtubedlWorker::urlReady, this, &Lplayer::notifyYoutubeUrlReady, Qt::QueuedConnection);
  }
  workerThread_->start(QThread::InheritPriority);
  lastLookupArguments_ = youtubedlWorker::lookupArguments(pageUrl, proxyUrl);
  emit operate(lastLookupArguments_);
}

void Lplayer::notifyYoutubeUrlReady(const QString& output) {
  lookupOutput_ = output;
  if (output.isEmpty()) {
    sendMessage(tovix::PlaybackFailedMessage(videoId.toStdString()));
    return;
  }
  selectFormat(streamWidth, streamHeight);
}

bool Lplayer::selectFormat(int32_t, int32_t wantedHeight) {
  const nlohmann::json document = nlohmann::json::parse(lookupOutput_.toStdString(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) return false;
  auto formats = document.find("formats");
  if (formats == document.end() || !formats->is_array()) return false;
  bool found = false;
  uint64_t best = 0;
  Format chosen;
  for (const nlohmann::json& element : *formats) {
    Format format;
    if (!ReadFormat(element, &format)) return false;
    const bool candidate = format.vcodec != "none" && format.vcodec.compare(0, 1, "v") != 0 && format.acodec != "none";
    if (!candidate) continue;
    // In unsigned arithmetic: any two heights have a distance.
    const uint64_t d = format.height > wantedHeight ? uint64_t(format.height) - uint64_t(int64_t(wantedHeight))
                                                    : uint64_t(int64_t(wantedHeight)) - uint64_t(format.height);
    if (!found || d < best) {
      found = true;
      best = d;
      chosen = format;
    }
  }
  selectedFormatUrl_ = QString::fromStdString(chosen.url);
  if (chosen.width != playedWidth_ || chosen.height != playedHeight_) {
    playedWidth_ = chosen.width;
    playedHeight_ = chosen.height;
    setMediaUrl(selectedFormatUrl_);
    player_.play();
  }
  return true;
}

void Lplayer::sendMessage(const std::string& text) { tovix::SendTovixText(text); }

void Lplayer::notifyPlayPosChanged(qint64 position) {
  const bool ended = player_.mediaStatus() == QMediaPlayer::EndOfMedia;
  sendMessage(tovix::PlaybackProgressMessage(videoId.toStdString(), position, ended, controlSequence));
}

void Lplayer::notifyMediaStatusChanged(QMediaPlayer::MediaStatus status) {
  for (QMyFrameItem* item : items()) item->setMediaStatus(status);
  if (status == QMediaPlayer::BufferedMedia) {
    if (player_.bufferStatus() == 100) {
      for (QMyFrameItem* item : items()) item->setBufferPercent(100);
      if (keptPosition) {
        player_.setPosition(keptPosition);
        keptPosition = 0;
      }
    }
  } else if (status == QMediaPlayer::EndOfMedia) {
    notifyPlayPosChanged(player_.position());
    for (QMyFrameItem* item : items()) item->update();
  }
}

void Lplayer::notifyBufferStatusChanged(int percent) {
  for (QMyFrameItem* item : items()) {
    item->setBufferPercent(percent);
    item->update();
  }
}
