// The Windows error numbers that log texts and callers quote, the per-thread
// last-error value, and the mapping from errno.
#pragma once

#include "pelplat/wintypes.h"

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NOT_OWNER 288u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_TIMEOUT 1460u

DWORD GetLastError();
void SetLastError(DWORD code);

// Windows error number for an errno value (ERROR_INVALID_FUNCTION when no
// closer one exists).
DWORD WinErrorFromErrno(int err);

// The error an open of path reports for errno err: a missing parent folder
// gives ERROR_PATH_NOT_FOUND where errno only says ENOENT.
DWORD WinErrorForOpen(int err, const char* path);
