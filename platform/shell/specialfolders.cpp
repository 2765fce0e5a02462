#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "pelplat/shell.h"
#include "pelplat/utf16.h"
#include "pelplat/winerror.h"

namespace {

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr)
    return found->pw_dir;
  return std::string();
}

// The configuration home as the settings library computes it for user-scope
// files, so that "application data" names the folder those files are in.
std::string ConfigHome() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.config";
}

// XDG_DESKTOP_DIR of user-dirs.dirs: "$HOME/..." or an absolute path; any
// other form is ignored, as the XDG user-dirs rules say.
std::string DesktopFolder() {
  std::string home = HomeFolder();
  std::string config = ConfigHome();
  if (!config.empty()) {
    std::ifstream dirs(config + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=\"";
    while (std::getline(dirs, line)) {
      if (line.compare(0, key.size(), key) != 0) continue;
      size_t end = line.find('"', key.size());
      if (end == std::string::npos) continue;
      std::string value = line.substr(key.size(), end - key.size());
      if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
        if (home.empty()) continue;
        value = home + value.substr(5);
      }
      if (!value.empty() && value[0] == '/') return value;
    }
  }
  return home.empty() ? std::string() : home + "/Desktop";
}

std::string FolderOf(int csidl) {
  switch (csidl) {
    case CSIDL_DESKTOPDIRECTORY:
      return DesktopFolder();
    case CSIDL_APPDATA:
      return ConfigHome();
    case CSIDL_PROGRAM_FILESX86:
      // Where add-on programs are installed on this platform.
      return "/opt";
    default:
      return std::string();
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return IsDirectory(path);
}

}  // namespace

BOOL SHGetSpecialFolderPathW(void* /*owner*/, LPWSTR path, int csidl, BOOL create) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  path[0] = 0;
  std::string folder = FolderOf(csidl);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!IsDirectory(folder) && !(create && MakeDirectories(folder))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::u16string wide = Utf8ToUtf16(folder);
  if (wide.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  wide.copy(path, wide.size());
  path[wide.size()] = 0;
  return TRUE;
}
