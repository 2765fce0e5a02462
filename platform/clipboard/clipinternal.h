// Shared by the clipboard front and its backends.
#pragma once

#include "pelplat/clipboard.h"

namespace pelplat {
namespace clipboard {

// The reason GetLastClipboardError answers on this thread.
void SetLastClipboardError(DWORD error);

}  // namespace clipboard
}  // namespace pelplat
