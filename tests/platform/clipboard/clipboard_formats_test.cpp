// Text and file lists between the Windows formats and X11 targets, with
// blocks other programs may have made badly.
#include <gtest/gtest.h>

#include "clipinternal.h"

namespace clip = pelplat::clipboard;

namespace {

clip::Bytes Block(const std::string& s) { return clip::Bytes(s.begin(), s.end()); }

// DROPFILES with the names at `first`, narrow or wide.
std::string DropFiles(uint32_t first, bool wide) {
  std::string head(20, '\0');
  head[0] = char(first);
  head[16] = wide ? 1 : 0;
  return head;
}

TEST(ClipboardFormatsTest, FileListsBecomeUriListsAndBadBlocksNothing) {
  const struct {
    const char* name;
    std::string hdrop;
    std::string uris;
  } cases[] = {
      {"wide", DropFiles(20, true) + std::string("/\0a\0 \0\0\0/\0%\0\0\0\0\0", 16), "file:///a%20\r\nfile:///%25\r\n"},
      {"narrow", DropFiles(20, false) + std::string("/x\0/y\0\0", 7), "file:///x\r\nfile:///y\r\n"},
      {"relative name skipped", DropFiles(20, false) + std::string("C:\\x\0/y\0\0", 9), "file:///y\r\n"},
      {"no closing name", DropFiles(20, true) + std::string("/\0b\0", 4), "file:///b\r\n"},
      {"too short", std::string(19, '\0'), ""},
      {"names past the end", DropFiles(200, true) + "/\0", ""},
      {"names inside the header", DropFiles(4, true) + "/\0", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clip::HdropToUriList(Block(c.hdrop)), c.uris);
  }
}

TEST(ClipboardFormatsTest, UriListsKeepOnlyLocalFiles) {
  const struct {
    const char* name;
    std::string uris;
    std::u16string names;  // zero-separated, as the block holds them
  } cases[] = {
      {"comments and line ends", "# c\r\nfile:///a%20b\nfile://localhost/c\r\n", std::u16string(u"/a b\0/c\0", 8)},
      {"other hosts and schemes", "file://far/x\r\nhttp://h/y\r\nfile:relative\r\n", u""},
      {"bad escapes kept, zero bytes refused", "file:///p%2\r\nfile:///q%00r\r\nfile:///%zz", std::u16string(u"/p%2\0/%zz\0", 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clip::Bytes hdrop = clip::UriListToHdrop(c.uris);
    if (c.names.empty()) {
      EXPECT_TRUE(hdrop.empty());
      continue;
    }
    clip::Bytes expected = Block(DropFiles(20, true));
    for (char16_t u : c.names + u'\0') {
      expected.push_back(uint8_t(u));
      expected.push_back(uint8_t(u >> 8));
    }
    EXPECT_EQ(hdrop, expected);
  }
}

TEST(ClipboardFormatsTest, TextCrossesAsUtf8OrLatin1) {
  const clip::Bytes wide = Block(std::string("a\0\xe9\0\xac\x20\0\0z\0", 10));
  EXPECT_EQ(clip::WideTextToUtf8(wide), "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(clip::WideTextToLatin1(wide), "a\xE9?");
  EXPECT_EQ(clip::WideTextToUtf8(Block(std::string("a\0b", 3))), "a");  // odd byte dropped
  EXPECT_EQ(clip::Utf8ToWideText("a\xC3\xA9", 3), Block(std::string("a\0\xe9\0\0\0", 6)));
  EXPECT_EQ(clip::Latin1ToWideText("a\xE9", 2), Block(std::string("a\0\xe9\0\0\0", 6)));
}

}  // namespace
