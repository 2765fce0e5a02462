#include "ui/options/ElideMiddle.h"

QString ElideMiddle(const QString& text, int limit) {
  if (text.size() <= limit) return text;
  return text.left(limit / 2) + "..." + text.right(limit / 2);
}
