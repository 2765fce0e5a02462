// A bitmap handed out by a surface keeper: a copy of its visible picture
// without alpha. The receiver owns it and deletes it.
#pragma once

#include <QImage>

class SurfaceBitmap {
 public:
  explicit SurfaceBitmap(QImage image) : image_(std::move(image)) {}
  const QImage& Image() const { return image_; }

 private:
  QImage image_;
};
