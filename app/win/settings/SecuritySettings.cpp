#include "settings/SecuritySettings.h"

#include <cstring>

#include "pelplat/library.h"
#include "pelplat/utf16.h"

CSecuritySettings::CSecuritySettings() : verified(0), passwordSet(0) {
  std::memset(userName, 0, sizeof userName);
  std::memset(passwordBlock, 0, sizeof passwordBlock);
  std::memset(executablePath, 0, sizeof executablePath);
}

CSecuritySettings::~CSecuritySettings() { std::memset(passwordBlock, 0, sizeof passwordBlock); }

bool CSecuritySettings::CheckPassword(const WCHAR* text) {
  verified = 0;
  if (text == nullptr) return false;
  size_t length = BoundedTextLength(text, kPasswordMaxChars);
  if (length > kPasswordMaxChars) return false;
  CSecXoredBlock candidate(nullptr, 0);
  candidate.AssignText(text, length);
  candidate.Transform();
  verified = std::memcmp(candidate.BytePtr(), passwordBlock, candidate.size()) == 0 ? 1 : 0;
  return verified != 0;
}

void CSecuritySettings::SetPassword(const WCHAR* text) {
  static const WCHAR kEmpty[1] = {0};
  if (text == nullptr) text = kEmpty;
  StoreScrambledText(passwordBlock, text, BoundedTextLength(text, kPasswordMaxChars));
}

const WCHAR* CSecuritySettings::GetExecutablePath() {
  std::string path = ProgramPath();
  if (!path.empty()) SetFieldText(executablePath, kFieldChars, Utf8ToUtf16(path));
  return executablePath;
}
