// Shell services: special folders and shell links.
//
// The special folders are the folders this platform really keeps things in:
// the desktop is the XDG desktop directory, the application-data folder is
// the XDG configuration home (where the settings library writes user-scope
// INI files). A shell link is a freedesktop desktop entry.
#pragma once

#include <string>

#include "pelplat/wintypes.h"

#ifndef MAX_PATH
#define MAX_PATH 260
#endif

#define CSIDL_DESKTOPDIRECTORY 0x0010
#define CSIDL_APPDATA 0x001A
#define CSIDL_PROGRAM_FILESX86 0x002A

// Writes the folder's absolute path, without a trailing '/', into path (room
// for MAX_PATH characters). FALSE for an unknown identifier, for a folder
// that does not exist (unless create is set, which makes it), and for a path
// of MAX_PATH characters or more. owner is not used.
BOOL SHGetSpecialFolderPathW(void* owner, LPWSTR path, int csidl, BOOL create);

// The shell link object. Arguments are one command-line text, split with the
// usual quoting rules (blanks separate, double quotes group, backslashes
// escape a quote). Save writes a desktop entry of type Application whose
// Exec line runs the target with those arguments, named after the file.
class CShellLink {
 public:
  HRESULT SetPath(LPCWSTR path);
  HRESULT SetArguments(LPCWSTR arguments);
  HRESULT SetDescription(LPCWSTR description);
  HRESULT SetWorkingDirectory(LPCWSTR directory);
  // E_POINTER for a null name, E_INVALIDARG without a target, E_FAIL when
  // the file cannot be written. remember is accepted for the caller's sake.
  HRESULT Save(LPCWSTR fileName, BOOL remember);

  // The text Save writes for a link shown under the given name.
  std::string DesktopEntryText(const std::string& name) const;

 private:
  std::u16string path_;
  std::u16string arguments_;
  std::u16string description_;
  std::u16string workingDirectory_;
};
