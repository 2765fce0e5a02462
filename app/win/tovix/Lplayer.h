// One video of the remote browser played locally: a video surface over a
// QMediaPlayer that copies every frame into the frame items of the tiled
// displays (display 0, and display 1 when it has a tiled display), where
// they lie under the tiles at the video's rectangle. A page address is
// looked up with youtube-dl on a worker thread of the player's own.
#pragma once

#include <QAbstractVideoSurface>
#include <QMediaPlayer>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class QGraphicsScene;
class QMyFrameItem;
class youtubedlWorker;

class Lplayer : public QAbstractVideoSurface {
  Q_OBJECT

 public:
  Lplayer(QGraphicsScene* scene, QGraphicsScene* secondScene, const QString& videoId);
  ~Lplayer() override;

  QList<QVideoFrame::PixelFormat> supportedPixelFormats(
      QAbstractVideoBuffer::HandleType type = QAbstractVideoBuffer::NoHandle) const override;
  bool start(const QVideoSurfaceFormat& format) override;
  void stop() override;
  bool present(const QVideoFrame& frame) override;

  void setGeometry(int32_t windowId, int32_t tabId, int32_t wndX, int32_t wndY, int32_t l, int32_t t, int32_t w,
                   int32_t h);
  void moveWithWindow(int32_t wndX, int32_t wndY);
  void setMediaUrl(const QString& url);
  // Looks the page up through youtube-dl, with the proxy when one is given.
  void startResolve(const QString& pageUrl, const QString& proxyUrl);
  // Chooses the format of the last lookup nearest the wanted height; false
  // when the lookup output cannot be read.
  bool selectFormat(int32_t wantedWidth, int32_t wantedHeight);
  void sendMessage(const std::string& text);

  QMediaPlayer& mediaPlayer() { return player_; }
  QMyFrameItem* frameItem() const { return item_; }
  QMyFrameItem* secondFrameItem() const { return secondItem_; }

  QString videoId;
  QString currentUrl;
  int64_t keptPosition = 0;
  uint8_t muted = 0;
  double volume = 0.5;
  double systemVolume = 0.5;
  int32_t controlSequence = 0;
  int32_t windowId = 0;
  int32_t tabId = 0;
  int32_t streamWidth = 0;
  int32_t streamHeight = 0;

  int32_t wndX() const { return wndX_; }
  int32_t wndY() const { return wndY_; }
  QString selectedFormatUrl() const { return selectedFormatUrl_; }
  QString lookupOutput() const { return lookupOutput_; }
  int64_t playedWidth() const { return playedWidth_; }
  int64_t playedHeight() const { return playedHeight_; }
  // The arguments of the last lookup started.
  QStringList lastLookupArguments() const { return lastLookupArguments_; }
  // The youtube-dl time limit of lookups not yet started.
  void setLookupTimeLimit(int ms) { lookupTimeLimitMs_ = ms; }
  // Applies the media player's volume and muted state from the player's
  // volume, its copy of the system volume and its muted flag.
  void applyVolume();

 signals:
  void operate(const QStringList& arguments);

 public slots:
  void notifyPlayPosChanged(qint64 position);
  void notifyMediaStatusChanged(QMediaPlayer::MediaStatus status);
  void notifyBufferStatusChanged(int percent);
  void notifyYoutubeUrlReady(const QString& output);

 private:
  std::vector<QMyFrameItem*> items() const;
  void placeItems();
  bool rebuildImages(int width, int height, int bytesPerLine, QImage::Format format);

  QMediaPlayer player_;
  QThread* workerThread_ = nullptr;
  youtubedlWorker* worker_ = nullptr;
  std::shared_ptr<std::atomic<bool>> abortLookup_;
  QGraphicsScene* scene_ = nullptr;
  QMyFrameItem* item_ = nullptr;
  // The scene of display 1 may go before the player: its items go with it.
  QPointer<QGraphicsScene> secondScene_;
  QMyFrameItem* secondItem_ = nullptr;
  int32_t wndX_ = 0;
  int32_t wndY_ = 0;
  int32_t l_ = 0, t_ = 0, w_ = 0, h_ = 0;
  int32_t secondX_ = 0;
  int32_t secondY_ = 0;
  QString selectedFormatUrl_;
  QString lookupOutput_;
  int64_t playedWidth_ = 0;
  int64_t playedHeight_ = 0;
  QStringList lastLookupArguments_;
  int lookupTimeLimitMs_ = 30000;
  // The last frame, which the items' images wrap.
  std::unique_ptr<uint8_t[]> frameBuffer_;
  size_t frameBytes_ = 0;
  int frameWidth_ = 0;
  int frameHeight_ = 0;
  int frameBytesPerLine_ = 0;
  QImage::Format frameFormat_ = QImage::Format_Invalid;
};

// The media player's volume (0 to 100) for a product of volume factors:
// the whole percent, clamped; 0 for what is no number.
int VolumePercent(double factor);
