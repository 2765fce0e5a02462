#include "ui/options/CValidationError.h"

#include "sys/FixedText.h"
#include "settings/QtText.h"

CValidationError::CValidationError(const WCHAR* text) { SetFieldText(message, kMessageChars, text); }

CValidationError::CValidationError(const QString& text) {
  SetFieldText(message, kMessageChars, ToU16String(text));
}

CValidationError::~CValidationError() = default;

QString CValidationError::Text() const { return ToQString(message); }
