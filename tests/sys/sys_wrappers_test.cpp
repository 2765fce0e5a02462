// The free functions over the operating system: files, threads, OS mutexes
// and wide strings.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pelplat/synch.h"
#include "pelplat/thread.h"
#include "sys/sys.h"

namespace {

namespace fs = std::filesystem;

std::u16string Wide(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size(); ++i) out += static_cast<char16_t>(utf8[i]);
  return out;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vrsys-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path Path() const { return path_; }

 private:
  fs::path path_;
};

// ---- Handles ---------------------------------------------------------------

TEST(SysHandles, NullPointers) {
  EXPECT_FALSE(SysCreateMutex(nullptr));
  EXPECT_EQ(SysWaitHandle(nullptr), 0xFFFFFFFFu);
  EXPECT_FALSE(SysReleaseMutex(nullptr));
  EXPECT_FALSE(SysCloseHandle(nullptr));
}

TEST(SysHandles, MutexIsOwnedByTheWaiter) {
  HANDLE mutex = nullptr;
  ASSERT_TRUE(SysCreateMutex(&mutex));
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(SysWaitHandle(&mutex), WAIT_OBJECT_0);

  DWORD otherWait = 0;
  HANDLE other = SysCreateThread(
      [](void* arg) -> DWORD {
        auto* m = static_cast<HANDLE*>(arg);
        DWORD r = WaitForSingleObject(*m, 0);
        if (r == WAIT_OBJECT_0) ReleaseMutex(*m);
        return r;
      },
      &mutex);
  ASSERT_NE(other, nullptr);
  WaitForSingleObject(other, INFINITE);
  GetExitCodeThread(other, &otherWait);
  CloseHandle(other);
  EXPECT_EQ(otherWait, WAIT_TIMEOUT);

  EXPECT_TRUE(SysReleaseMutex(&mutex));
  EXPECT_FALSE(SysReleaseMutex(&mutex));  // no longer owned
  EXPECT_TRUE(SysCloseHandle(&mutex));
}

TEST(SysThreads, CreateRunsTheEntryAndJoinWaitsForIt) {
  int value = 0;
  HANDLE thread = SysCreateThread(
      [](void* arg) -> DWORD {
        SysSleep(10);
        *static_cast<int*>(arg) = 7;
        return 0;
      },
      &value);
  ASSERT_NE(thread, nullptr);
  SysJoinThread(thread);
  EXPECT_EQ(value, 7);
}

// ---- Files -----------------------------------------------------------------

TEST(SysFiles, CreateWriteSeekReadLength) {
  TempDir dir;
  std::string name = (dir.Path() / "data.bin").string();
  int fd = 0;
  ASSERT_EQ(SysOpenFile(&fd, Wide(name).c_str(), O_RDWR | O_CREAT), 0);
  ASSERT_GE(fd, 0);

  mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u & ~mask);

  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  EXPECT_EQ(SysFileLength(fd), 10);

  struct Seek {
    long long offset;
    int origin;
    long long position;
    const char* next3;
  };
  const Seek seeks[] = {
      {2, SEEK_SET, 2, "234"},
      {1, SEEK_CUR, 6, "678"},  // from 5, after the previous read
      {-4, SEEK_END, 6, "678"},
      {0, SEEK_SET, 0, "012"},
  };
  for (const Seek& s : seeks) {
    SCOPED_TRACE(s.next3);
    EXPECT_EQ(SysSeekFile(fd, s.offset, s.origin), s.position);
    char buf[4] = {};
    EXPECT_EQ(SysReadFile(fd, buf, 3), 3);
    EXPECT_STREQ(buf, s.next3);
  }
  EXPECT_EQ(SysSeekFile(fd, -1, SEEK_SET), -1);
  EXPECT_EQ(SysSeekFile(fd, 0, SEEK_END), 10);
  char buf[4];
  EXPECT_EQ(SysReadFile(fd, buf, sizeof(buf)), 0);  // end of file

  EXPECT_EQ(SysCloseFile(fd), 0);
  EXPECT_EQ(SysCloseFile(fd), -1);
  EXPECT_EQ(SysReadFile(fd, buf, 1), -1);
  EXPECT_EQ(SysFileLength(fd), -1);
}

TEST(SysFiles, WidePathIsUtf8OnDisk) {
  TempDir dir;
  std::u16string wide = Wide(dir.Path().string()) + u"/gr\u00fc\u00dfe-\U0001F600.txt";
  int fd = -5;
  ASSERT_EQ(SysOpenFile(&fd, wide.c_str(), O_WRONLY | O_CREAT), 0);
  SysCloseFile(fd);
  EXPECT_TRUE(fs::exists(dir.Path() / "gr\xc3\xbc\xc3\x9f" "e-\xf0\x9f\x98\x80.txt"));
}

TEST(SysFiles, FailuresGiveMinusOneTwice) {
  TempDir dir;
  const std::u16string missing = Wide((dir.Path() / "none" / "file").string());
  const char16_t lone[] = {u'/', 0xD800, u'x', 0};  // not convertible
  const char16_t* paths[] = {missing.c_str(), lone, nullptr};
  for (const char16_t* path : paths) {
    int fd = 99;
    EXPECT_EQ(SysOpenFile(&fd, path, O_RDONLY), -1);
    EXPECT_EQ(fd, -1);
  }
  EXPECT_EQ(SysOpenFile(nullptr, missing.c_str(), O_RDONLY), -1);
}

// ---- Wide strings ----------------------------------------------------------

TEST(SysWcsDup, CopiesWithTerminator) {
  EXPECT_EQ(SysWcsDup(nullptr), nullptr);

  WCHAR* empty = SysWcsDup(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], 0);
  delete[] empty;

  const WCHAR source[] = u"abc\u00e9";
  WCHAR* copy = SysWcsDup(source);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, source);
  EXPECT_EQ(std::u16string(copy), std::u16string(source));
  delete[] copy;
}

TEST(SysWcs, CompareCopyLength) {
  EXPECT_EQ(SysWcsLen(u""), 0u);
  EXPECT_EQ(SysWcsLen(u"abc"), 3u);

  struct Cmp {
    const WCHAR* a;
    const WCHAR* b;
    size_t n;
    int sign;       // of SysWcsNCmp
    int signNoCase; // of SysWcsNICmp
  };
  const Cmp cmps[] = {
      {u"abc", u"abd", 2, 0, 0},   {u"abc", u"abd", 3, -1, -1}, {u"ABC", u"abc", 3, -1, 0},
      {u"abc", u"ab", 5, 1, 1},    {u"", u"", 4, 0, 0},         {u"x", u"y", 0, 0, 0},
      {u"\u00c9t\u00e9", u"\u00e9T\u00c9", 3, -1, 0},
  };
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const Cmp& c : cmps) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n);
    EXPECT_EQ(sign(SysWcsNCmp(c.a, c.b, c.n)), c.sign);
    EXPECT_EQ(sign(SysWcsNICmp(c.a, c.b, c.n)), c.signNoCase);
  }

  WCHAR buf[6];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(SysWcsNCpy(buf, u"ab", 5), buf);
  EXPECT_EQ(std::u16string(buf, 6), std::u16string(u"ab\0\0\0#", 6));  // padded
  std::fill(std::begin(buf), std::end(buf), u'#');
  SysWcsNCpy(buf, u"abcdef", 3);
  EXPECT_EQ(std::u16string(buf, 6), u"abc###");  // no terminator
}

TEST(SysMbsToWcs, ConvertsUtf8AndCountsLikeMbstowcs) {
  struct Case {
    const char* src;
    size_t max;
    int result;
    std::u16string stored;  // followed by a terminator when result < max
  };
  const Case cases[] = {
      {"abc", 10, 3, u"abc"},
      {"abc", 3, 3, u"abc"},  // full: no terminator
      {"abc", 2, 2, u"ab"},
      {"\xc3\xa9t\xc3\xa9", 10, 3, u"\u00e9t\u00e9"},
      {"a\xf0\x9f\x98\x80", 10, 3, u"a\U0001F600"},
      {"a\xf0\x9f\x98\x80", 2, 1, u"a"},  // a pair is not split
      {"", 4, 0, u""},
      {"ab\xff", 10, -1, u""},
      {"\xc3", 10, -1, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    WCHAR buf[12];
    std::fill(std::begin(buf), std::end(buf), u'#');
    int got = SysMbsToWcs(buf, c.src, c.max);
    EXPECT_EQ(got, c.result);
    if (got < 0) continue;
    EXPECT_EQ(std::u16string(buf, c.stored.size()), c.stored);
    EXPECT_EQ(buf[c.stored.size()], static_cast<size_t>(got) < c.max ? u'\0' : u'#');
  }
  EXPECT_EQ(SysMbsToWcs(nullptr, "\xc3\xa9z", 0), 2);  // length query
  EXPECT_EQ(SysMbsToWcs(nullptr, nullptr, 0), -1);
}

TEST(SysSwprintf, TerminatesInsideTheCapacity) {
  struct Case {
    size_t capacity;
    std::u16string expected;
    int result;
  };
  // The formatted text is 20 characters long; %S takes a narrow string in a
  // wide format.
  const Case cases[] = {
      {8, u"0123456", -1},
      {20, u"0123456789abcdefgh4", -1},
      {21, u"0123456789abcdefgh42", 20},
      {64, u"0123456789abcdefgh42", 20},
      {1, u"", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
    WCHAR buf[80];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(SysSwprintf(buf, c.capacity, u"%s%S%d", u"0123456789", "abcdefgh", 42), c.result);
    EXPECT_EQ(std::u16string(buf), c.expected);
    EXPECT_EQ(buf[c.capacity], u'#');  // nothing written past the capacity
  }

  WCHAR buf[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(SysSwprintf(buf, 0, u"abc"), -1);
  EXPECT_EQ(buf[0], u'#');
  SysSwprintf(buf, 4, u"ab%s", u"\U0001F600");
  EXPECT_EQ(std::u16string(buf), u"ab");  // a surrogate pair is never split
}

}  // namespace
