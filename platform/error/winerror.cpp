#include "pelplat/winerror.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct ErrnoMapping {
  int err;
  DWORD code;
};

const ErrnoMapping kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},       {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},        {EPERM, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EEXIST, ERROR_FILE_EXISTS},          {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},            {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},  {EBUSY, ERROR_BUSY},
    {EPIPE, ERROR_BROKEN_PIPE},           {ETIMEDOUT, ERROR_TIMEOUT},
    // Windows refuses to open a folder as a file with "access denied".
    {EISDIR, ERROR_ACCESS_DENIED},        {EROFS, ERROR_WRITE_PROTECT},
};

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

DWORD WinErrorFromErrno(int err) {
  for (const ErrnoMapping& m : kErrnoTable)
    if (m.err == err) return m.code;
  return ERROR_INVALID_FUNCTION;
}

DWORD WinErrorForOpen(int err, const char* path) {
  if (err == ENOENT && path) {
    std::string p(path);
    size_t slash = p.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    if (!IsDirectory(parent)) return ERROR_PATH_NOT_FOUND;
  }
  return WinErrorFromErrno(err);
}
