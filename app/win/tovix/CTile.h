// One 128 x 128 square of the tiled display: the pixels copied from the
// frame buffer (transparent where the server painted the colour key) and
// the pixmap the scene shows of them.
#pragma once

#include <QGraphicsPixmapItem>
#include <QImage>
#include <cstdint>

class CTile : public QGraphicsPixmapItem {
 public:
  static constexpr int kSize = 128;

  CTile();
  ~CTile() override;

  bool dirty() const { return dirty_ != 0; }
  void setDirty(bool dirty) { dirty_ = dirty ? 1 : 0; }
  QImage& image() { return image_; }
  const QImage& image() const { return image_; }
  // A new pixmap of the image when the last copy changed it.
  void refreshPixmap();

 private:
  uint8_t dirty_ = 0;
  QImage image_;
};
