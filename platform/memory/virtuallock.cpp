#include <sys/mman.h>

#include <cerrno>

#include "pelplat/memapi.h"
#include "pelplat/winerror.h"

BOOL VirtualLock(LPVOID address, size_t size) {
  if (!address || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (mlock(address, size) != 0) {
    SetLastError(WinErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualUnlock(LPVOID address, size_t size) {
  if (!address || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (munlock(address, size) != 0) {
    SetLastError(WinErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}
