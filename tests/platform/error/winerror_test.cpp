#include "pelplat/winerror.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(WinErrorFromErrno, MapsTheErrnoValuesCallersQuote) {
  const struct {
    int err;
    DWORD code;
  } cases[] = {
      {ENOENT, 2},   {ENOTDIR, 3},  {EACCES, 5},    {EPERM, 5},       {EBADF, 6},
      {ENOMEM, 8},   {EEXIST, 80},  {EINVAL, 87},   {ENOSPC, 112},    {ENAMETOOLONG, 206},
      {EMFILE, 4},   {EBUSY, 170},  {EPIPE, 109},   {ETIMEDOUT, 1460}, {EXDEV, 1},
      {EISDIR, 5},   {EROFS, 19},   {0, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(WinErrorFromErrno(c.err), c.code) << "errno " << c.err;
}

// The codes come from real failed opens, as the file logger meets them.
TEST(WinErrorForOpen, TellsAMissingFolderFromAMissingFile) {
  char dirTemplate[] = "/tmp/pelplat-errXXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const struct {
    std::string path;
    DWORD code;
  } cases[] = {
      {dir + "/missing.log", ERROR_FILE_NOT_FOUND},
      {dir + "/no-such-folder/x.log", ERROR_PATH_NOT_FOUND},
      {"no-such-relative-folder-4711/x.log", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(fopen(c.path.c_str(), "r"), nullptr);
    const int err = errno;
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(WinErrorForOpen(err, c.path.c_str()), c.code) << c.path;
  }
  // A folder opened for appending, as a log file name that names a folder.
  errno = 0;
  EXPECT_EQ(fopen(dir.c_str(), "a"), nullptr);
  EXPECT_EQ(WinErrorForOpen(errno, dir.c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(WinErrorForOpen(EACCES, "/x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(WinErrorForOpen(ENOENT, nullptr), ERROR_FILE_NOT_FOUND);
  rmdir(dir.c_str());
}

TEST(LastError, IsKeptPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 0xDEAD;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_BUSY);
  });
  other.join();
  EXPECT_EQ(seenByOther, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}
