#include "tovix/CTile.h"

#include <QPixmap>

CTile::CTile() : image_(kSize, kSize, QImage::Format_RGBA8888) { image_.fill(Qt::transparent); }

CTile::~CTile() = default;

void CTile::refreshPixmap() {
  if (dirty_) setPixmap(QPixmap::fromImage(image_, Qt::NoFormatConversion));
}
