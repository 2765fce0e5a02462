#include "sys/sys.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "pelplat/synch.h"
#include "pelplat/thread.h"
#include "pelplat/utf16.h"

// ---- Files -----------------------------------------------------------------

int SysOpenFile(int* fd, const WCHAR* path, int flags) {
  if (!fd) return -1;
  *fd = -1;
  if (!path) return -1;
  std::string name;
  if (!Utf16ToUtf8Strict(path, WcsLen(path), name)) {
    errno = EINVAL;
    return -1;
  }
  // Descriptors stay out of the programs we start (youtube-dl and the like).
  int opened;
  do {
    opened = ::open(name.c_str(), flags | O_CLOEXEC, S_IRUSR | S_IWUSR);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return -1;
  *fd = opened;
  return 0;
}

long long SysReadFile(int fd, void* buffer, size_t count) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, count);
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<long long>(got);
}

long long SysSeekFile(int fd, long long offset, int origin) {
  off_t pos = ::lseek(fd, static_cast<off_t>(offset), origin);
  return pos < 0 ? -1 : static_cast<long long>(pos);
}

long long SysFileLength(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

int SysCloseFile(int fd) { return ::close(fd) == 0 ? 0 : -1; }

// ---- Threads and handles ---------------------------------------------------

void SysSleep(DWORD milliseconds) { Sleep(milliseconds); }

HANDLE SysCreateThread(SysThreadEntry entry, void* arg) {
  if (!entry) return nullptr;
  return CreateThread(nullptr, 0, entry, arg, 0, nullptr);
}

void SysJoinThread(HANDLE thread) {
  if (!thread) return;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

bool SysCreateMutex(HANDLE* mutex) {
  if (!mutex) return false;
  *mutex = CreateMutexW(nullptr, FALSE, nullptr);
  return *mutex != nullptr;
}

DWORD SysWaitHandle(HANDLE* handle) {
  if (!handle) return WAIT_FAILED;
  return WaitForSingleObject(*handle, INFINITE);
}

bool SysReleaseMutex(HANDLE* mutex) {
  if (!mutex) return false;
  return ReleaseMutex(*mutex) != FALSE;
}

BOOL SysCloseHandle(HANDLE* handle) {
  if (!handle) return FALSE;
  return CloseHandle(*handle);
}

// ---- Wide strings ----------------------------------------------------------

WCHAR* SysWcsDup(const WCHAR* s) {
  if (!s) return nullptr;
  size_t n = WcsLen(s) + 1;
  WCHAR* copy = new (std::nothrow) WCHAR[n];
  if (copy) std::copy(s, s + n, copy);
  return copy;
}

// Narrow text in this program is UTF-8 whatever the C locale says, so the
// conversion is UTF-8 to UTF-16 with the counting rules of mbstowcs: a null
// destination asks for the length, a full destination gets no terminator.
int SysMbsToWcs(WCHAR* dst, const char* src, size_t maxChars) {
  if (!src) return -1;
  std::u16string wide;
  if (!Utf8ToUtf16Strict(src, std::strlen(src), wide)) return -1;
  if (!dst) return static_cast<int>(wide.size());
  size_t n = std::min(wide.size(), maxChars);
  // A surrogate pair is one character: store both halves or neither.
  if (n < wide.size() && n > 0 && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) --n;
  std::copy(wide.begin(), wide.begin() + n, dst);
  if (n < maxChars) dst[n] = 0;
  return static_cast<int>(n);
}

int SysWcsNCmp(const WCHAR* a, const WCHAR* b, size_t n) { return WcsNCmp(a, b, n); }

int SysWcsNICmp(const WCHAR* a, const WCHAR* b, size_t n) { return WcsNICmp(a, b, n); }

WCHAR* SysWcsNCpy(WCHAR* dst, const WCHAR* src, size_t n) { return WcsNCpy(dst, src, n); }

size_t SysWcsLen(const WCHAR* s) { return WcsLen(s); }

// The platform formatter terminates inside the capacity; the C library's
// swprintf leaves a cut text without a terminator.
int SysSwprintf(WCHAR* buffer, size_t n, const WCHAR* format, ...) {
  if (!buffer || n == 0) return -1;
  if (!format) {
    buffer[0] = 0;
    return -1;
  }
  va_list args;
  va_start(args, format);
  int stored = VSnwPrintf(buffer, n, format, args);
  va_end(args);
  return stored;
}
