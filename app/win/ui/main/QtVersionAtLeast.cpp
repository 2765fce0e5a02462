#include "ui/main/QtVersionAtLeast.h"

#include <QVersionNumber>

bool QtVersionAtLeast(const QString& version, const QString& running) {
  const QString current = running.isNull() ? QString::fromLatin1(qVersion()) : running;
  return QVersionNumber::fromString(current) >= QVersionNumber::fromString(version);
}
