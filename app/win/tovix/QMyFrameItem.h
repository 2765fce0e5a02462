// The picture of one local video in a tiled display's scene: the player's
// last frame scaled into the video's rectangle, with a small status text
// while the video loads, buffers or has ended.
#pragma once

#include <QGraphicsItem>
#include <QImage>
#include <QSizeF>
#include <cstdint>
#include <memory>

class QMyFrameItem : public QGraphicsItem {
 public:
  QMyFrameItem();
  ~QMyFrameItem() override;

  QRectF boundingRect() const override;
  void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

  void setSize(const QSizeF& size);
  QSizeF size() const { return size_; }
  void setMediaStatus(int32_t status) { mediaStatus_ = status; }
  int32_t mediaStatus() const { return mediaStatus_; }
  // 100 marks the item fully buffered for good.
  void setBufferPercent(int32_t percent);
  int32_t bufferPercent() const { return bufferPercent_; }
  bool fullyBuffered() const { return fullyBuffered_ != 0; }
  // The picture, usually wrapping the player's frame buffer; null for none.
  void setImage(const QImage& image);
  const QImage* image() const { return image_.get(); }
  // The status text for the current state; empty when none is shown.
  QString overlayText() const;

 private:
  int32_t mediaStatus_ = 0;
  int32_t bufferPercent_ = 0;
  uint8_t fullyBuffered_ = 0;
  QSizeF size_;
  std::unique_ptr<QImage> image_;
};
