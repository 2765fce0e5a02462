// The in-memory settings: password scramble, server history, server groups,
// the typed store, the special folders and the process-wide instance.
#include <gtest/gtest.h>

#include <QDir>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SettingsTestEnv.h"
#include "pelplat/utf16.h"
#include "settings/AbstractClientSettings.h"
#include "settings/SecXoredBlock.h"

namespace {

std::u16string U(const char* text) { return Utf8ToUtf16(text); }

std::vector<std::string> History(const CAbstractClientSettings& s) {
  std::vector<std::string> out;
  for (const auto& entry : s.serverHistory) out.push_back(Utf16ToUtf8(entry));
  while (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

std::vector<std::string> Addresses(CServersGroups& groups, const char* name) {
  int index = groups.FindGroupIndex(U(name).c_str());
  std::vector<std::string> out;
  if (index < 0) return out;
  for (int n = 0; n < kGroupAddresses; ++n) out.push_back(Utf16ToUtf8(groups.GetGroupServer(index, n)));
  while (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

void Fill(CServersGroups& groups, const char* name, std::vector<std::string> addresses) {
  groups.AddGroup(U(name).c_str(), false);
  for (auto it = addresses.rbegin(); it != addresses.rend(); ++it)
    groups.AddServerAddressToGroup(U(name).c_str(), U(it->c_str()).c_str());
}

std::string Password(const CAbstractClientSettings& s, size_t n) {
  std::vector<WCHAR> buffer(n + 8, u'#');
  s.GetPassword(buffer.data(), n);
  EXPECT_EQ(buffer[n], u'#') << "wrote past the buffer";
  EXPECT_EQ(buffer[n - 1], 0) << "no terminator";
  return Utf16ToUtf8(buffer.data());
}

}  // namespace

TEST(SecXoredBlock, ScramblesTheKnownVector) {
  const BYTE clear[] = {0x61, 0x00, 0x62, 0x00, 0x00, 0x00};  // "ab" and its terminator
  const BYTE expected[] = {0x3a, 0xe9, 0x76, 0x7c, 0x5a, 0xeb};
  CSecXoredBlock block(clear, sizeof clear);
  block.Transform();
  EXPECT_EQ(0, std::memcmp(block.BytePtr(), expected, sizeof expected));
  // The same transform from a fresh key gives the clear bytes back.
  block.Transform();
  EXPECT_EQ(0, std::memcmp(block.BytePtr(), clear, sizeof clear));
}

TEST(SecXoredBlock, PrefixScramblesToPrefixOfWhole) {
  std::vector<BYTE> data(520);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + 3);
  CSecXoredBlock whole(data.data(), data.size());
  CSecXoredBlock prefix(data.data(), 37);
  whole.Transform();
  prefix.Transform();
  EXPECT_EQ(0, std::memcmp(whole.BytePtr(), prefix.BytePtr(), 37));
  EXPECT_NE(0, std::memcmp(whole.BytePtr(), data.data(), data.size()));
}

TEST(ClientSettingsPassword, StoresScrambledAndReadsBack) {
  CAbstractClientSettings s(true);
  EXPECT_EQ("", Password(s, 260));  // a new object has an empty password

  s.SetPassword(u"ab");
  const BYTE expected[] = {0x3a, 0xe9, 0x76, 0x7c, 0x5a, 0xeb};
  EXPECT_EQ(0, std::memcmp(s.passwordBlock, expected, sizeof expected));
  EXPECT_EQ("ab", Password(s, 260));

  s.SetPassword(u"");
  EXPECT_EQ("", Password(s, 260));
  s.SetPassword(U("pässwörd").c_str());
  EXPECT_EQ("pässwörd", Password(s, 64));
}

TEST(ClientSettingsPassword, LongPasswordsAreCutAndAlwaysTerminated) {
  struct Case {
    size_t length;   // characters set
    size_t n;        // buffer size asked for
    size_t expected; // characters read back
  } cases[] = {
      {70, 64, 63},    // a connection record's field: 63 and a terminator
      {63, 64, 63},
      {259, 260, 259},
      {300, 260, 259}, // the block holds 259 characters at most
      {5000, 64, 63},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    CAbstractClientSettings s(true);
    std::u16string text(c.length, u'x');
    for (size_t i = 0; i < c.length; ++i) text[i] = static_cast<WCHAR>(u'a' + i % 26);
    s.SetPassword(text.c_str());
    std::string read = Password(s, c.n);
    EXPECT_EQ(c.expected, read.size());
    EXPECT_EQ(Utf16ToUtf8(text.substr(0, c.expected)), read);
  }
}

TEST(ClientSettingsPassword, CutNeverSplitsASurrogatePair) {
  CAbstractClientSettings s(true);
  std::u16string text(62, u'a');
  text += u"\U0001F600";  // characters 62 and 63
  s.SetPassword(text.c_str());
  EXPECT_EQ(std::string(62, 'a'), Password(s, 64));
}

TEST(ServerHistory, MovesToFrontWithoutDuplicates) {
  struct Case {
    const char* name;
    std::vector<std::string> before;
    const char* added;
    std::vector<std::string> after;
  } cases[] = {
      {"into empty", {}, "a", {"a"}},
      {"new goes first", {"a", "b"}, "c", {"c", "a", "b"}},
      {"present moves first", {"a", "b", "c"}, "c", {"c", "a", "b"}},
      {"first stays", {"a", "b"}, "a", {"a", "b"}},
      {"eleventh drops the oldest",
       {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
       "x",
       {"x", "0", "1", "2", "3", "4", "5", "6", "7", "8"}},
      {"present in a full history",
       {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
       "9",
       {"9", "0", "1", "2", "3", "4", "5", "6", "7", "8"}},
      {"case counts", {"Host"}, "host", {"host", "Host"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CAbstractClientSettings s(true);
    for (auto it = c.before.rbegin(); it != c.before.rend(); ++it) s.AddServerToHistory(U(it->c_str()).c_str());
    ASSERT_EQ(c.before, History(s));
    s.AddServerToHistory(U(c.added).c_str());
    EXPECT_EQ(c.after, History(s));
  }
}

TEST(ServerHistory, AcceptsOneOfItsOwnEntriesAndCutsLongAddresses) {
  CAbstractClientSettings s(true);
  s.AddServerToHistory(u"a");
  s.AddServerToHistory(u"b");
  s.AddServerToHistory(s.serverHistory[1]);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), History(s));

  std::u16string longAddress(400, u'h');
  s.AddServerToHistory(longAddress.c_str());
  EXPECT_EQ(259u, WcsLen(s.serverHistory[0]));
  s.AddServerToHistory(longAddress.c_str());  // equal in its first 259 characters: no duplicate
  EXPECT_EQ(3u, History(s).size());
}

TEST(ServerGroups, AddressOperations) {
  const std::vector<std::string> ten = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
  struct Case {
    const char* name;
    std::vector<std::string> before;
    void (*op)(CServersGroups&);
    std::vector<std::string> after;
  } cases[] = {
      {"add twice leaves one, first", {"a", "b"},
       [](CServersGroups& g) { g.AddServerAddressToGroup(u"G", u"b"); g.AddServerAddressToGroup(u"G", u"b"); },
       {"b", "a"}},
      {"add to a full group drops the last", ten,
       [](CServersGroups& g) { g.AddServerAddressToGroup(u"G", u"x"); },
       {"x", "0", "1", "2", "3", "4", "5", "6", "7", "8"}},
      {"delete from a full group", ten,
       [](CServersGroups& g) { g.DeleteServerAddressFromGroup(u"G", u"4", nullptr); },
       {"0", "1", "2", "3", "5", "6", "7", "8", "9"}},
      {"delete absent changes nothing", {"a", "b"},
       [](CServersGroups& g) { g.DeleteServerAddressFromGroup(u"G", u"zz", nullptr); },
       {"a", "b"}},
      {"move after anchor", {"a", "b", "c", "d"},
       [](CServersGroups& g) { g.MoveServerAddress(u"G", u"c", u"a", false); },
       {"b", "c", "a", "d"}},
      {"move onto anchor", {"a", "b", "c", "d"},
       [](CServersGroups& g) { g.MoveServerAddress(u"G", u"b", u"d", true); },
       {"a", "d", "b", "c"}},
      {"move with null anchor, not at anchor", {"a", "b", "c"},
       [](CServersGroups& g) { g.MoveServerAddress(u"G", nullptr, u"c", false); },
       {"a", "c", "b"}},
      {"foreign address is inserted", {"a", "b"},
       [](CServersGroups& g) { g.MoveServerAddress(u"G", u"a", u"new", false); },
       {"a", "new", "b"}},
      {"anchor not in group changes nothing", {"a", "b", "c"},
       [](CServersGroups& g) { g.MoveServerAddress(u"G", u"zz", u"a", false); },
       {"a", "b", "c"}},
      {"insert past the tenth place stops", ten,
       [](CServersGroups& g) { g.MoveServerAddress(u"G", u"9", u"x", false); },
       ten},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CServersGroups groups;
    Fill(groups, "G", c.before);
    ASSERT_EQ(c.before, Addresses(groups, "G"));
    c.op(groups);
    EXPECT_EQ(c.after, Addresses(groups, "G"));
    EXPECT_EQ(static_cast<int>(c.after.size()), groups.GetServerCount(groups.FindGroupIndex(u"G")));
  }
}

TEST(ServerGroups, DeleteFromCallersRecord) {
  CServersGroups groups;
  ServerGroupRecord record;
  SetFieldText(record.addresses[0], kFieldChars, u"a");
  SetFieldText(record.addresses[1], kFieldChars, u"b");
  groups.DeleteServerAddressFromGroup(nullptr, u"a", &record);
  EXPECT_EQ(u"b", std::u16string(record.addresses[0]));
  EXPECT_EQ(0, record.addresses[1][0]);
  EXPECT_EQ(0, groups.GetGroupCount());
  groups.DeleteServerAddressFromGroup(nullptr, u"b", nullptr);  // nothing to do, no crash
}

TEST(ServerGroups, LookupsAndGroupOperations) {
  CServersGroups groups;
  Fill(groups, "beta", {"b1"});
  Fill(groups, "alpha", {"a1", "a2"});
  groups.AddGroup(u"gamma", true);

  // Map order follows the character codes of the names.
  EXPECT_EQ(0, groups.FindGroupIndex(u"alpha"));
  EXPECT_EQ(1, groups.FindGroupIndex(u"beta"));
  EXPECT_EQ(-1, groups.FindGroupIndex(u"delta"));
  EXPECT_EQ(u"beta", std::u16string(groups.GetGroupName(1)));
  EXPECT_EQ(nullptr, groups.GetGroupName(3));  // index equal to the count
  EXPECT_EQ(nullptr, groups.GetGroupName(-1));
  EXPECT_EQ(-1, groups.GetServerCount(3));
  EXPECT_EQ(0, groups.GetServerCount(2));
  EXPECT_EQ(u"", std::u16string(groups.GetGroupServer(0, 10)));
  EXPECT_EQ(u"", std::u16string(groups.GetGroupServer(7, 0)));
  EXPECT_EQ(u"a2", std::u16string(groups.FindGroupServer(u"alpha", 1)));
  EXPECT_EQ(u"", std::u16string(groups.FindGroupServer(u"nope", 1)));
  EXPECT_EQ(nullptr, groups.FindGroupServer(u"alpha", 10));

  // AddGroup replaces: the addresses are lost.
  groups.AddGroup(u"alpha", false);
  EXPECT_EQ(0, groups.GetServerCount(0));

  groups.RenameGroup(u"beta", u"zeta");
  EXPECT_EQ(-1, groups.FindGroupIndex(u"beta"));
  EXPECT_EQ(u"b1", std::u16string(groups.FindGroupServer(u"zeta", 0)));
  groups.RenameGroup(u"missing", u"other");
  EXPECT_EQ(3, groups.GetGroupCount());

  CServersGroups copy;
  groups.CopyTo(copy);
  groups.DeleteGroupServer(u"zeta");
  groups.DeleteGroupServer(u"missing");
  EXPECT_EQ(2, groups.GetGroupCount());
  EXPECT_EQ(3, copy.GetGroupCount());
  EXPECT_EQ(u"b1", std::u16string(copy.FindGroupServer(u"zeta", 0)));

  auto transient = [](CServersGroups& g, const char16_t* name) {
    for (const ServerGroupRecord& r : g.CopyRecords())
      if (std::u16string(r.name) == name) return r.transient != 0;
    ADD_FAILURE() << "no such group";
    return false;
  };
  EXPECT_TRUE(transient(groups, u"gamma"));
  groups.MarkPersistent(u"gamma");
  EXPECT_FALSE(transient(groups, u"gamma"));
  groups.MarkPersistent(u"new");  // made when missing
  EXPECT_EQ(0, groups.GetServerCount(groups.FindGroupIndex(u"new")));
}

TEST(SettingsStore, TypedMapsAreIndependent) {
  CAbstractClientSettings s(true);
  s.SetInt(u"Zero", 0);
  s.SetText(u"OnlyText", u"5");
  s.SetInt(u"Both", 7);
  s.SetText(u"Both", u"seven");

  EXPECT_FALSE(s.GetBool(u"Zero", true));
  EXPECT_TRUE(s.GetBool(u"Absent", true));
  EXPECT_FALSE(s.GetBool(u"Absent", false));
  EXPECT_EQ(42, s.GetInt(u"OnlyText", 42));  // only in the text map
  EXPECT_EQ(7, s.GetInt(u"Both", 0));

  std::u16string text = u"unchanged";
  EXPECT_FALSE(s.FindText(u"Zero", &text));
  EXPECT_EQ(u"unchanged", text);
  EXPECT_TRUE(s.FindText(u"Both", &text));
  EXPECT_EQ(u"seven", text);

  // Back to the initial values: no generic key in any map.
  s.SetBinary(u"Both", {1, 2});
  s.Store().Clear();
  EXPECT_TRUE(s.Store().CopyInts().empty());
  EXPECT_TRUE(s.Store().CopyTexts().empty());
  EXPECT_TRUE(s.Store().CopyBinaries().empty());
  EXPECT_TRUE(s.GetBool(u"Zero", true));
  s.SetInt(u"Zero", 0);
  EXPECT_FALSE(s.GetBool(u"Zero", true));
}

TEST(SettingsStore, ReadersOnOtherThreadsWhileTheGuiWrites) {
  CAbstractClientSettings s(false);
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      while (!stop) {
        int v = GetGlobalIntSetting(u"LossyEnabled", 1);
        EXPECT_TRUE(v == 1 || v == 0);
        ++reads;
      }
    });
  for (int i = 0; i < 2000; ++i) {
    s.SetInt(u"LossyEnabled", i % 2);
    s.SetText(u"Key" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)), u"v");
    (void)s.Store().CopyTexts();
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_GT(reads.load(), 0);
}

TEST(ClientSettingsInstance, NoSaveObjectsNeverBecomeTheInstance) {
  EXPECT_EQ(nullptr, CAbstractClientSettings::GetInstance());
  EXPECT_EQ(7, GetGlobalIntSetting(u"NewGui", 7));
  {
    CAbstractClientSettings main(false);
    EXPECT_EQ(&main, CAbstractClientSettings::GetInstance());
    main.SetInt(u"MultiMonitor", 1);
    EXPECT_EQ(1, GetMultiMonitorSetting());
    {
      CAbstractClientSettings viewer(true);
      EXPECT_EQ(&main, CAbstractClientSettings::GetInstance());
    }
    EXPECT_EQ(&main, CAbstractClientSettings::GetInstance());
  }
  EXPECT_EQ(nullptr, CAbstractClientSettings::GetInstance());
  EXPECT_EQ(0, GetMultiMonitorSetting());
}

TEST(ClientSettingsDefaults, NewObjectHasProfileDefaults) {
  FakeSystemApi api;
  api.modes = {PackSize(1920, 1080), PackSize(1280, 1024)};
  CAbstractClientSettings s(true);
  EXPECT_EQ(1, s.encryptionLevel);
  EXPECT_EQ(PackSize(1920, 1080), s.screenSizes[0]);
  EXPECT_EQ(PackSize(1280, 1024), s.screenSizes[1]);
  EXPECT_EQ(24, s.colorDepth);
  EXPECT_TRUE(s.fullScreen && s.useColorCursor && s.autoDetectAudioVideo && s.useSound);
  EXPECT_TRUE(s.clipboardShare && s.vorbisSupport && s.useAudioVideoSynch && s.SaveEngineLog);
  EXPECT_FALSE(s.autoLogon || s.autoConnect || s.exitOnDisconnect || s.useWanNetwork);
  EXPECT_FALSE(s.dsFormatsSupport || s.dxva2Support);
  EXPECT_EQ(u"Vesk/Default", std::u16string(s.profileName));
}

TEST(SpecialFolders, ListsTheFoldersThatExist) {
  TestFolders folders;
  {
    CSpecialFolders list;
    EXPECT_EQ(nullptr, list.GetFolderPath(0));
    EXPECT_EQ(nullptr, list.GetFolderPath(1));  // no desktop folder yet
    ASSERT_NE(nullptr, list.GetFolderPath(2));
    EXPECT_EQ(folders.UserConfig().toStdString() + "/", Utf16ToUtf8(list.GetFolderPath(2)));
  }
  QDir().mkpath(QString::fromStdString(folders.Root() + "/home/Desktop"));
  CSpecialFolders list;
  ASSERT_NE(nullptr, list.GetFolderPath(1));
  EXPECT_EQ(folders.Root() + "/home/Desktop/", Utf16ToUtf8(list.GetFolderPath(1)));
  EXPECT_EQ(nullptr, list.GetFolderPath(4));
}
