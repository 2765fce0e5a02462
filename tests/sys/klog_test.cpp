// The debug logger (lines captured from the debugger output) and the file
// logger (lines appended in a temporary folder under a fixed time zone).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pelplat/debugout.h"
#include "pelplat/utf16.h"
#include "sys/klog.h"

namespace {

namespace fs = std::filesystem;

class CapturedDebugOutput {
 public:
  CapturedDebugOutput() {
    previous_ = SetDebugOutputSink([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back(line);
    });
  }
  ~CapturedDebugOutput() { SetDebugOutputSink(previous_); }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  std::string Only() {
    auto lines = Lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines.back();
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
  }

 private:
  DebugOutputSink previous_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::string Held(const LogText& text) { return text.Text() ? text.Text() : "<null>"; }
std::u16string Held(const LogTextW& text) { return text.Text() ? text.Text() : u"<null>"; }

// ---- Parameters ------------------------------------------------------------

TEST(LogParam, DefaultsAndProcessPrefix) {
  EXPECT_EQ(std::u16string(klog::ProcessPrefix()), u"pelm: ");
  klog::LogParam param;
  EXPECT_EQ(param.level, 2);
  EXPECT_EQ(param.levelLimit, 3);
  EXPECT_EQ(param.outputs, 1u);
  EXPECT_EQ(param.format, 4u);
  EXPECT_EQ(param.text[0], 0);
  EXPECT_EQ(std::u16string(param.prefix), u"pelm: ");
}

TEST(LogParam, ConfigurationCallableRunsOnceAfterTheDefaults) {
  int calls = 0;
  klog::LogParam param([&](klog::LogParam& p) {
    ++calls;
    EXPECT_EQ(p.format, 4u);
    EXPECT_EQ(std::u16string(p.prefix), u"pelm: ");
    p.format = klog::kTrimNewlines;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(param.format, 2u);
  EXPECT_EQ(param.outputs, 1u);
}

// ---- Line rules ------------------------------------------------------------

TEST(LogRender, LineRules) {
  struct Case {
    uint32_t format;
    const char* body;
    const char* debugLine;
    const char* held;  // "<null>" for an empty holder
  };
  const Case cases[] = {
      {4, "abc", "pelm: abc\n", "abc\n"},
      {4, "abc\n\n\n", "pelm: abc\n", "abc\n"},
      {4, "", "pelm: \n", "\n"},
      {4, "\n", "pelm: \n", "\n"},
      {2, "abc\n\n", "pelm: abc", "abc"},
      {2, "", "pelm: ", "<null>"},
      {6, "abc\n", "pelm: abc", "abc"},  // trimming wins over the newline rule
      {0, "abc\n\n", "pelm: abc\n\n", "abc\n\n"},
      {0, "abc", "pelm: abc", "abc"},
      {1 | 4, "abc\n\n", "abc\n", "abc\n"},
      {1 | 2, "\n\n", "\n", "\n"},  // the line's first character stays
      {1 | 2, "a\n", "a", "a"},
  };
  CapturedDebugOutput out;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " body \"" << c.body << "\"");
    out.Clear();
    klog::LogParam param([&](klog::LogParam& p) { p.format = c.format; });
    LogText held = LogRenderA(param, c.body);
    EXPECT_EQ(out.Only(), c.debugLine);
    EXPECT_EQ(Held(held), c.held);

    out.Clear();
    std::u16string wideBody = Utf8ToUtf16(c.body);
    LogTextW heldW = LogRenderW(param, wideBody.c_str());
    EXPECT_EQ(out.Only(), c.debugLine);
    EXPECT_EQ(Utf16ToUtf8(Held(heldW)), c.held);
  }
}

TEST(LogRender, NoOutputBitsSendNothingButStillReturnTheText) {
  CapturedDebugOutput out;
  klog::LogParam param([](klog::LogParam& p) { p.outputs = 0; });
  EXPECT_EQ(Held(LogRenderA(param, "quiet %d", 1)), "quiet 1\n");
  EXPECT_TRUE(out.Lines().empty());
}

TEST(LogRender, StandardOutputSink) {
  struct Case {
    uint32_t outputs;
    bool debugger;
    bool standardOutput;
  };
  for (Case c : {Case{2, false, true}, Case{3, true, true}}) {
    CapturedDebugOutput out;
    klog::LogParam param([&](klog::LogParam& p) { p.outputs = c.outputs; });
    testing::internal::CaptureStdout();
    LogRenderA(param, "to %s", "console");
    LogRenderW(param, u"wide %ls", u"console");
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "pelm: to console\npelm: wide console\n");
    EXPECT_EQ(out.Lines().size(), c.debugger ? 2u : 0u);
  }
}

// ---- Front ends and their argument lists -----------------------------------

TEST(LogMessage, NarrowArgumentLists) {
  struct Case {
    LogText held;
    const char* expected;
  };
  CapturedDebugOutput out;
  std::string media = AppendLogFormat("CAudioStream::Open", "%d %c %d");
  const Case cases[] = {
      {LogMessageA("Server Finder doesn't work"), "Server Finder doesn't work\n"},
      {LogMessageA("GetAdaptersInfo returns %d", 232), "GetAdaptersInfo returns 232\n"},
      {LogMessageA("You have error %d opening file %s", 5, "a.log"),
       "You have error 5 opening file a.log\n"},
      {LogMessageA("Error %d in thread %s\n", -1, "recv"), "Error -1 in thread recv\n"},
      {LogMessageA("System Msg box %s - %s\n", "Title", "Text \xc3\xa9"),
       "System Msg box Title - Text \xc3\xa9\n"},
      {LogMessageA(media.c_str(), 3, 'k', -7), "CAudioStream::Open: 3 k -7\n"},
      {LogMessageA("%I64d of %I64u", int64_t{-5}, uint64_t{18446744073709551615u}),
       "-5 of 18446744073709551615\n"},
      {LogMessageA("%ls and %S", u"wide", u"\u00e9t\u00e9"), "wide and \xc3\xa9t\xc3\xa9\n"},
  };
  auto lines = out.Lines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(Held(cases[i].held), cases[i].expected);
    EXPECT_EQ(lines[i], std::string("pelm: ") + cases[i].expected);
  }
}

TEST(LogMessage, WideArgumentLists) {
  struct Case {
    LogTextW held;
    const char16_t* expected;
  };
  CapturedDebugOutput out;
  const Case cases[] = {
      {LogMessageW(u"fixed wide message"), u"fixed wide message\n"},
      {LogMessageW(u"channel note %d", 12), u"channel note 12\n"},
      {LogMessageW(u"Msg box %ls - %ls\n", u"T\u00eftle", u"\U0001F600"),
       u"Msg box T\u00eftle - \U0001F600\n"},
      {LogMessageW(u"%s / %S", u"wide", "narrow"), u"wide / narrow\n"},
  };
  auto lines = out.Lines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(Held(cases[i].held), cases[i].expected);
    EXPECT_EQ(lines[i], "pelm: " + Utf16ToUtf8(cases[i].expected));
  }
}

// A line longer than the buffer is cut; it still ends with one newline when
// the rule asks for it and never splits a character.
TEST(LogMessage, OverlongLinesAreCutInsideTheBuffer) {
  CapturedDebugOutput out;
  const std::string xs(10000, 'x');
  LogText held = LogMessageA("%s", xs.c_str());
  std::string line = out.Only();
  EXPECT_EQ(line.size(), 8191u);  // the buffer and its terminator
  EXPECT_EQ(line.substr(0, 7), "pelm: x");
  EXPECT_EQ(line.substr(line.size() - 2), "x\n");
  EXPECT_EQ(std::string(held.c_str()), line.substr(6));

  out.Clear();
  klog::LogParam raw([](klog::LogParam& p) { p.format = 0; });
  LogRenderA(raw, "%s", xs.c_str());
  EXPECT_EQ(out.Only().size(), 8191u);

  out.Clear();
  std::string accents;
  for (int i = 0; i < 5000; ++i) accents += "\xc3\xa9";
  LogMessageA("%s", accents.c_str());
  line = out.Only();
  EXPECT_LE(line.size(), 8191u);
  EXPECT_GT(line.size(), 8100u);
  std::u16string back;
  EXPECT_TRUE(Utf8ToUtf16Strict(line.data(), line.size(), back));
  EXPECT_EQ(line.substr(line.size() - 3), "\xc3\xa9\n");

  out.Clear();
  std::u16string faces;
  for (int i = 0; i < 5000; ++i) faces += u"\U0001F600";
  LogTextW heldW = LogMessageW(u"%ls", faces.c_str());
  std::u16string wide = heldW.Text();
  EXPECT_LE(wide.size() + 6, 8191u);
  EXPECT_GT(wide.size() + 6, 8100u);
  ASSERT_GE(wide.size(), 3u);
  EXPECT_EQ(wide.back(), u'\n');
  EXPECT_EQ(wide[wide.size() - 3], 0xD83D);  // the last pair is whole
  std::string utf8;
  EXPECT_TRUE(Utf16ToUtf8Strict(wide.data(), wide.size(), utf8));
  EXPECT_EQ(out.Only(), "pelm: " + utf8);
}

TEST(LogMessage, ConcurrentLinesArriveWhole) {
  CapturedDebugOutput out;
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LogMessageA("thread %d line %d\n", t, i);
    });
  for (auto& t : threads) t.join();
  std::set<std::string> unique;
  for (const std::string& line : out.Lines()) unique.insert(line);
  EXPECT_EQ(unique.size(), size_t{kThreads * kLines});
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i) {
      std::ostringstream line;
      line << "pelm: thread " << t << " line " << i << "\n";
      EXPECT_EQ(unique.count(line.str()), 1u) << line.str();
    }
}

// ---- Helpers ---------------------------------------------------------------

TEST(TrimNewlines, KeepsTheFirstCharacter) {
  struct Case {
    const char* in;
    const char* out;
    size_t lastKept;
  };
  const Case cases[] = {
      {"abc", "abc", 2}, {"ab\n\n", "ab", 1}, {"\n\n\n", "\n", 0},
      {"a", "a", 0},     {"", "", 0},         {"a\nb\n", "a\nb", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string narrow = c.in;
    EXPECT_EQ(TrimNewlinesA(narrow.data()), c.lastKept);
    EXPECT_STREQ(narrow.c_str(), c.out);
    std::u16string wide = Utf8ToUtf16(c.in);
    EXPECT_EQ(TrimNewlinesW(wide.data()), c.lastKept);
    EXPECT_EQ(Utf16ToUtf8(wide.c_str()), c.out);
  }
  EXPECT_EQ(TrimNewlinesA(nullptr), 0u);
  EXPECT_EQ(TrimNewlinesW(nullptr), 0u);
}

TEST(FormatLogLine, PrefixThenBodyWithinCapacity) {
  auto narrow = [](const WCHAR* prefix, size_t capacity, size_t* prefixLength, const char* format,
                   ...) {
    std::string buf(capacity + 4, '#');
    va_list args;
    va_start(args, format);
    size_t n = FormatLogLineA(prefix, buf.data(), capacity, format, args, prefixLength);
    va_end(args);
    EXPECT_EQ(buf[capacity], '#');
    EXPECT_EQ(n, std::strlen(buf.c_str()));
    return std::string(buf.c_str());
  };
  size_t prefixLength = 99;
  EXPECT_EQ(narrow(u"p\u00e9: ", 64, &prefixLength, "n=%d", 4), "p\xc3\xa9: n=4");
  EXPECT_EQ(prefixLength, 5u);
  EXPECT_EQ(narrow(nullptr, 64, &prefixLength, "n=%d", 4), "n=4");
  EXPECT_EQ(prefixLength, 0u);
  EXPECT_EQ(narrow(u"pelm: ", 9, nullptr, "%s", "abcdef"), "pelm: ab");
  EXPECT_EQ(narrow(u"pelm: ", 4, &prefixLength, "%s", "abcdef"), "pel");
  EXPECT_EQ(prefixLength, 3u);

  auto wide = [](const WCHAR* prefix, size_t capacity, const WCHAR* format, ...) {
    std::u16string buf(capacity + 4, u'#');
    va_list args;
    va_start(args, format);
    FormatLogLineW(prefix, buf.data(), capacity, format, args);
    va_end(args);
    EXPECT_EQ(buf[capacity], u'#');
    return std::u16string(buf.c_str());
  };
  EXPECT_EQ(wide(u"pelm: ", 64, u"%ls=%d", u"k", 1), u"pelm: k=1");
  EXPECT_EQ(wide(u"pelm: ", 8, u"%ls", u"abcdef"), u"pelm: a");
}

TEST(LogText, HolderOwnsACopy) {
  EXPECT_EQ(LogText().Text(), nullptr);
  EXPECT_EQ(LogText(nullptr).Text(), nullptr);
  EXPECT_EQ(LogText("").Text(), nullptr);
  EXPECT_STREQ(LogText().c_str(), "");

  char source[] = "line\n";
  LogText a(source);
  ASSERT_NE(a.Text(), nullptr);
  EXPECT_NE(a.Text(), source);
  source[0] = 'X';
  EXPECT_STREQ(a.Text(), "line\n");

  LogText b = a;
  EXPECT_NE(b.Text(), a.Text());
  EXPECT_STREQ(b.Text(), "line\n");
  b = b.Text() + 2;  // a text inside the old copy
  EXPECT_STREQ(b.Text(), "ne\n");
  b = b;
  EXPECT_STREQ(b.Text(), "ne\n");
  b = "";
  EXPECT_TRUE(b.Empty());
  LogText c = std::move(a);
  EXPECT_STREQ(c.Text(), "line\n");

  LogTextW w(u"wide");
  LogTextW w2 = w;
  EXPECT_EQ(std::u16string(w2.Text()), u"wide");
}

TEST(AppendLogFormat, JoinsNameAndFormat) {
  struct Case {
    const char* name;
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"CVideoSlot::OnData", "bad size %d", "CVideoSlot::OnData: bad size %d"},
      {"CFoo::Bar", "", "CFoo::Bar: "},
      {"CFoo::Bar", nullptr, "CFoo::Bar: "},
  };
  for (const Case& c : cases) EXPECT_EQ(AppendLogFormat(c.name, c.format), c.expected);

  CapturedDebugOutput out;
  LogMessageA(AppendLogFormat("CVideoSlot::OnData", "bad size %d").c_str(), 17);
  EXPECT_EQ(out.Only(), "pelm: CVideoSlot::OnData: bad size 17\n");
}

// ---- File logger -----------------------------------------------------------

class AppendToLogFileTest : public testing::Test {
 protected:
  // Local time here is UTC + 3 hours, whatever the machine says.
  static constexpr int kZoneOffset = 3 * 3600;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "klog-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    oldCwd_ = fs::current_path();
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (tz) oldTz_ = tz;
    setenv("TZ", "PLT-3", 1);
    tzset();
  }
  void TearDown() override {
    fs::current_path(oldCwd_);
    fs::remove_all(dir_);
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

  // "%T" of the zone's time for every second the call may have taken.
  static std::set<std::string> Stamps(time_t from, time_t to) {
    std::set<std::string> stamps;
    for (time_t t = from; t <= to; ++t) {
      time_t shifted = t + kZoneOffset;
      struct tm utc;
      gmtime_r(&shifted, &utc);
      char text[16];
      std::strftime(text, sizeof(text), "%H:%M:%S", &utc);
      stamps.insert(text);
    }
    return stamps;
  }

  // Appends and checks that the new line is a valid stamp, a blank and text.
  void AppendAndCheck(const LogText& text, const char* name, const fs::path& file) {
    std::string before = fs::exists(file) ? Read(file) : std::string();
    time_t from = std::time(nullptr);
    AppendToLogFile(text, name);
    time_t to = std::time(nullptr);
    std::string after = Read(file);
    ASSERT_EQ(after.substr(0, before.size()), before);
    std::string line = after.substr(before.size());
    ASSERT_EQ(line.size(), 9 + std::strlen(text.c_str())) << line;
    EXPECT_EQ(Stamps(from, to).count(line.substr(0, 8)), 1u) << line;
    EXPECT_EQ(line[8], ' ');
    EXPECT_EQ(line.substr(9), text.c_str());
  }

  fs::path dir_;
  fs::path oldCwd_;
  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(AppendToLogFileTest, AppendsTimeBlankAndText) {
  CapturedDebugOutput out;
  fs::path file = dir_ / "pellum_system.log";
  klog::LogParam quiet([](klog::LogParam& p) { p.outputs = 0; });
  AppendAndCheck(LogRenderA(quiet, "Started"), file.c_str(), file);
  AppendAndCheck(LogRenderA(quiet, "second %d", 2), file.c_str(), file);
  AppendAndCheck(LogText(), file.c_str(), file);  // the time and the blank alone
  EXPECT_TRUE(out.Lines().empty());
}

TEST_F(AppendToLogFileTest, RelativeAndEmptyNamesResolveInTheCurrentFolder) {
  fs::current_path(dir_);
  struct Case {
    const char* name;
    const char* file;
  };
  for (Case c : {Case{"relative.log", "relative.log"}, Case{"", "pelm: .log"}}) {
    SCOPED_TRACE(c.file);
    AppendAndCheck(LogText("entry\n"), c.name, dir_ / c.file);
  }
}

TEST_F(AppendToLogFileTest, NullNameWritesAndLogsNothing) {
  fs::current_path(dir_);
  CapturedDebugOutput out;
  AppendToLogFile(LogText("entry\n"), nullptr);
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_TRUE(out.Lines().empty());
}

TEST_F(AppendToLogFileTest, MissingFolderReportsPathNotFound) {
  CapturedDebugOutput out;
  fs::path file = dir_ / "missing" / "pellum_system.log";
  AppendToLogFile(LogText("entry\n"), file.c_str());
  EXPECT_EQ(out.Only(), "pelm: You have error 3 opening file " + file.string() + "\n");
  EXPECT_FALSE(fs::exists(file.parent_path()));
}

}  // namespace
