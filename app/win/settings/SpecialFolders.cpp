#include "settings/SpecialFolders.h"

#include "pelplat/shell.h"

CSpecialFolders::CSpecialFolders() {
  static const struct {
    int id;
    int csidl;
  } kFolders[] = {
      {kDesktop, CSIDL_DESKTOPDIRECTORY},
      {kAppData, CSIDL_APPDATA},
      {kProgramFiles, CSIDL_PROGRAM_FILESX86},
  };
  for (const auto& folder : kFolders) {
    WCHAR path[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, path, folder.csidl, FALSE)) continue;
    folders_.emplace_back(folder.id, std::u16string(path) + u"/");
  }
}

const WCHAR* CSpecialFolders::GetFolderPath(int id) const {
  if (id == 0) return nullptr;
  for (const auto& folder : folders_)
    if (folder.first == id) return folder.second.c_str();
  return nullptr;
}
