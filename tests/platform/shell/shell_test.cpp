// Special folders from the XDG environment and shell links written as
// desktop entries, checked with desktop-file-validate.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include "pelplat/shell.h"
#include "pelplat/utf16.h"

namespace fs = std::filesystem;

namespace {

// A private HOME with the environment restored afterwards.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pellum-shell-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    root = pattern;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
      const char* value = getenv(name);
      saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("HOME", (root + "/home").c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    fs::create_directories(root + "/home");
  }
  void TearDown() override {
    for (auto& [name, value] : saved) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    fs::remove_all(root);
  }

  // The folder's path, or "<none>".
  std::string Folder(int csidl, bool create = false) {
    WCHAR path[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, path, csidl, create ? TRUE : FALSE)) return "<none>";
    return Utf16ToUtf8(path);
  }

  void WriteUserDirs(const std::string& text) {
    fs::create_directories(root + "/home/.config");
    std::ofstream(root + "/home/.config/user-dirs.dirs") << text;
  }

  std::string root;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int Validate(const std::string& path) {
  std::string command = "desktop-file-validate '" + path + "' >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveValidator() { return std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0; }

}  // namespace

TEST_F(ShellTest, ApplicationDataFollowsTheConfigurationHome) {
  EXPECT_EQ("<none>", Folder(CSIDL_APPDATA));  // ~/.config does not exist yet
  EXPECT_EQ(root + "/home/.config", Folder(CSIDL_APPDATA, true));
  fs::create_directories(root + "/cfg");
  setenv("XDG_CONFIG_HOME", (root + "/cfg/").c_str(), 1);
  EXPECT_EQ(root + "/cfg", Folder(CSIDL_APPDATA));
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(root + "/home/.config", Folder(CSIDL_APPDATA));
}

TEST_F(ShellTest, DesktopFolderFromUserDirs) {
  struct Case {
    const char* userDirs;  // null: no file
    std::string expected;  // below HOME
  } cases[] = {
      {nullptr, "/Desktop"},
      {"XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n", "/Bureau"},
      {"# comment\nXDG_DOWNLOAD_DIR=\"$HOME/dl\"\nXDG_DESKTOP_DIR=\"$HOME\"\n", ""},
      {"XDG_DESKTOP_DIR=\"relative/path\"\n", "/Desktop"},
      {"XDG_DESKTOP_DIR=\"$HOMEX/odd\"\n", "/Desktop"},
      {"XDG_DESKTOP_DIR=\"$HOME/unterminated\n", "/Desktop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.userDirs ? c.userDirs : "no file");
    fs::remove(root + "/home/.config/user-dirs.dirs");
    if (c.userDirs) WriteUserDirs(c.userDirs);
    std::string expected = root + "/home" + c.expected;
    fs::create_directories(expected);
    EXPECT_EQ(expected, Folder(CSIDL_DESKTOPDIRECTORY));
  }
  WriteUserDirs("XDG_DESKTOP_DIR=\"" + root + "/abs\"\n");
  EXPECT_EQ("<none>", Folder(CSIDL_DESKTOPDIRECTORY));  // not made unless asked
  EXPECT_EQ(root + "/abs", Folder(CSIDL_DESKTOPDIRECTORY, true));
  EXPECT_TRUE(fs::is_directory(root + "/abs"));
}

TEST_F(ShellTest, RefusedRequests) {
  EXPECT_EQ("<none>", Folder(0x7FFF));
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, nullptr, CSIDL_APPDATA, TRUE));
  std::string deep = root + "/" + std::string(300, 'd');
  setenv("XDG_CONFIG_HOME", deep.c_str(), 1);
  EXPECT_EQ("<none>", Folder(CSIDL_APPDATA, true));  // longer than MAX_PATH
}

TEST_F(ShellTest, ExecLineQuotesEachArgument) {
  struct Case {
    const char16_t* target;
    const char16_t* arguments;
    std::string exec;
  } cases[] = {
      {u"/usr/bin/pellum", u" -s \"Default\"", "/usr/bin/pellum -s Default"},
      {u"/usr/bin/pellum", u" -s \"My Profile\"", "/usr/bin/pellum -s \"My Profile\""},
      {u"/opt/my app/pellum", u"", "\"/opt/my app/pellum\""},
      {u"/p", u"\"100%\"", "/p 100%%"},
      {u"/p", u"\"$HOME\" `x`", "/p \"\\\\$HOME\" \"\\\\`x\\\\`\""},
      {u"/p", u"a\\\"b", "/p \"a\\\\\"b\""},
      {u"/p", u"back\\slash", "/p \"back\\\\\\\\slash\""},
      {u"/p", u"\"\"", "/p \"\""},
      {u"/p", u"  spaced   out  ", "/p spaced out"},
      {u"/p", u"ünï", "/p ünï"},
  };
  for (const Case& c : cases) {
    CShellLink link;
    link.SetPath(c.target);
    link.SetArguments(c.arguments);
    std::string text = link.DesktopEntryText("name");
    EXPECT_NE(std::string::npos, text.find("\nExec=" + c.exec + "\n")) << text;
  }
}

TEST_F(ShellTest, SavedLinkIsAValidDesktopEntry) {
  CShellLink link;
  link.SetPath(u"/opt/Kelvane Vesk/pellum");
  link.SetArguments(u" -s \"Büro $1 (50%)\"");
  link.SetDescription(u" Link to profile : Büro\nsecond line\ttab");
  link.SetWorkingDirectory(u"/opt/Kelvane Vesk");
  fs::create_directories(root + "/home/Desktop");
  std::string file = root + "/home/Desktop/Büro $1 (50%).desktop";
  ASSERT_EQ(S_OK, link.Save(Utf8ToUtf16(file).c_str(), TRUE));

  std::string text = ReadAll(file);
  EXPECT_NE(std::string::npos, text.find("\nName=Büro $1 (50%)\n"));
  EXPECT_NE(std::string::npos, text.find("\nComment=\\sLink to profile : Büro\\nsecond line\\ttab\n"));
  EXPECT_NE(std::string::npos, text.find("\nPath=/opt/Kelvane Vesk\n"));
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 0777);

  if (!HaveValidator()) GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
  EXPECT_EQ(0, Validate(file)) << text;
}

TEST_F(ShellTest, SaveFailures) {
  CShellLink link;
  EXPECT_EQ(E_POINTER, link.Save(nullptr, TRUE));
  EXPECT_EQ(E_INVALIDARG, link.Save(u"/tmp/never.desktop", TRUE));  // no target
  EXPECT_EQ(E_POINTER, link.SetPath(nullptr));
  link.SetPath(u"/p");
  EXPECT_EQ(E_FAIL, link.Save(Utf8ToUtf16(root + "/missing/x.desktop").c_str(), TRUE));
}
