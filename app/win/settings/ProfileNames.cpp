#include "settings/ProfileNames.h"

#include <QCoreApplication>

WCHAR CurrentProfileName[kFieldChars];

std::u16string DefaultProfileName() {
  QString name = QCoreApplication::translate("QtClientSettings", "Vesk/Default");
  return std::u16string(reinterpret_cast<const char16_t*>(name.utf16()), name.size());
}
