#include "ui/options/ValidateTextField.h"

#include <QCoreApplication>

#include "sys/FixedText.h"
#include "ui/options/CValidationError.h"

namespace {

QString Tr(const char* text) { return QCoreApplication::translate("QtOptionPage", text); }

}  // namespace

void ValidateTextField(const QString& fieldName, const QString& text) {
  const int limit = static_cast<int>(kFieldTextMax);
  if (text.size() > limit)
    throw CValidationError(Tr("%1 too long (%2 characters). Maximum size is %3 characters")
                               .arg(fieldName)
                               .arg(text.size())
                               .arg(limit));
  if (text.isEmpty()) throw CValidationError(Tr("%1 cannot be empty.").arg(fieldName));
  if (text.trimmed().isEmpty())
    throw CValidationError(Tr("%1 cannot contain only blank characters.").arg(fieldName));
}
