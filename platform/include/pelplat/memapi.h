// Page locking. Best effort: an unprivileged process may lock only a little
// memory, so a refusal is an answer, not a fault.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

BOOL VirtualLock(LPVOID address, size_t size);
BOOL VirtualUnlock(LPVOID address, size_t size);

// A block about to be written for the first time: asks for huge pages under
// its whole 2 MB pages, so that filling a large buffer does not fault at
// every 4 KB. Advice only; blocks under 2 MB are left alone.
void AdviseHugePages(void* address, size_t size);
