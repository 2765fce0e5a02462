// The exception through which an item refuses the values it shows. Only
// the user interface throws and catches it; the text is shown to the user
// as it stands.
#pragma once

#include <QString>

#include "pelplat/wintypes.h"

class CValidationError {
 public:
  static constexpr size_t kMessageChars = 1024;

  // Keeps at most 1023 characters and a terminator; null gives an empty
  // message.
  explicit CValidationError(const WCHAR* text);
  explicit CValidationError(const QString& text);
  virtual ~CValidationError();

  const WCHAR* Message() const { return message; }
  QString Text() const;
  bool IsEmpty() const { return message[0] == 0; }

 private:
  WCHAR message[kMessageChars];
};
