// The folders the settings place files in, each path ending in "/":
// 1 the desktop, 2 the user's application data, 3 the program files.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "pelplat/wintypes.h"

class CSpecialFolders {
 public:
  enum FolderId { kDesktop = 1, kAppData = 2, kProgramFiles = 3 };

  CSpecialFolders();  // folders the platform cannot give get no entry
  ~CSpecialFolders() = default;

  // The path, or null for 0 and for an identifier without an entry.
  const WCHAR* GetFolderPath(int id) const;

 private:
  std::vector<std::pair<int, std::u16string>> folders_;
};
