// Page locking. Best effort: an unprivileged process may lock only a little
// memory, so a refusal is an answer, not a fault.
#pragma once

#include <cstddef>

#include "pelplat/wintypes.h"

BOOL VirtualLock(LPVOID address, size_t size);
BOOL VirtualUnlock(LPVOID address, size_t size);
