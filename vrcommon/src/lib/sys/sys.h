// Thin wrappers over the operating system: files, sleeping, threads, OS
// mutexes and wide strings. Failures are return values; nothing throws.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "pelplat/wintypes.h"

// Files. The path is UTF-16; flags are the open(2) flags. A created file gets
// read and write permission for its owner.
int SysOpenFile(int* fd, const WCHAR* path, int flags);  // 0, or -1 with *fd = -1
long long SysReadFile(int fd, void* buffer, size_t count);  // bytes, 0 at end, -1
long long SysSeekFile(int fd, long long offset, int origin);  // SEEK_SET/CUR/END
long long SysFileLength(int fd);
int SysCloseFile(int fd);

void SysSleep(DWORD milliseconds);

typedef DWORD (*SysThreadEntry)(void* arg);
HANDLE SysCreateThread(SysThreadEntry entry, void* arg);  // null on failure
void SysJoinThread(HANDLE thread);                         // waits, then closes

bool SysCreateMutex(HANDLE* mutex);
DWORD SysWaitHandle(HANDLE* handle);  // 0xFFFFFFFF for a null pointer
bool SysReleaseMutex(HANDLE* mutex);
BOOL SysCloseHandle(HANDLE* handle);

WCHAR* SysWcsDup(const WCHAR* s);  // delete[] the result
int SysMbsToWcs(WCHAR* dst, const char* src, size_t maxChars);  // -1 invalid
int SysWcsNCmp(const WCHAR* a, const WCHAR* b, size_t n);
int SysWcsNICmp(const WCHAR* a, const WCHAR* b, size_t n);
WCHAR* SysWcsNCpy(WCHAR* dst, const WCHAR* src, size_t n);
size_t SysWcsLen(const WCHAR* s);
// Always terminates inside n characters; a longer text keeps n-1 characters.
int SysSwprintf(WCHAR* buffer, size_t n, const WCHAR* format, ...);
