// The master password that protects the options and the system profiles.
// It is kept scrambled and is never unscrambled: a check scrambles the
// candidate and compares the bytes.
#pragma once

#include <string>

#include "pelplat/wintypes.h"
#include "sys/FixedText.h"
#include "settings/SecXoredBlock.h"

class CSecuritySettings {
 public:
  CSecuritySettings();
  virtual ~CSecuritySettings();

  // True when the text scrambles to the front of the stored block, its
  // terminator included; the result is also kept in `verified`. A text of
  // more than 259 characters cannot have been stored and never matches.
  bool CheckPassword(const WCHAR* text);
  // At most 259 characters are kept.
  void SetPassword(const WCHAR* text);
  void SetPasswordSet(BOOL flag) { passwordSet = flag; }
  // The running program's path (at most 259 characters), kept in
  // `executablePath`.
  const WCHAR* GetExecutablePath();

  WCHAR userName[kFieldChars];
  BYTE passwordBlock[kPasswordBlockBytes];
  BOOL verified;
  BOOL passwordSet;
  WCHAR executablePath[kFieldChars];

  CSecuritySettings(const CSecuritySettings&) = delete;
  CSecuritySettings& operator=(const CSecuritySettings&) = delete;
};
