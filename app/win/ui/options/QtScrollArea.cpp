#include "ui/options/QtScrollArea.h"

#include <cmath>

QSize QtScrollArea::sizeHint() const {
  if (widget() == nullptr) return QScrollArea::sizeHint();
  const QSize inner = widget()->sizeHint();
  return QSize(static_cast<int>(std::lround(inner.width() * 1.1)), static_cast<int>(std::lround(inner.height() * 1.1)));
}
