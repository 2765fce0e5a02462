#include "pelplat/library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pelplat/winerror.h"

TEST(MapLibraryFileName, DllNamesBecomeLowerCaseSharedObjects) {
  const struct {
    const char* name;
    const char* file;
  } cases[] = {
      {"vrgask.dll", "libvrgask.so"},   {"VrGask.DLL", "libvrgask.so"}, {"sorvid", "libsorvid.so"},
      {"libpcsclite.so.1", "libpcsclite.so.1"}, {"/opt/x/libA.so", "/opt/x/libA.so"},
      {"dir/Name.dll", "dir/Name.dll"}, {"winscard.dll", "libpcsclite.so.1"}, {"WinSCard", "libpcsclite.so.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(MapLibraryFileName(c.name), c.file) << c.name;
}

TEST(ProgramPath, NamesThisTestProgram) {
  const std::string path = ProgramPath();
  EXPECT_EQ(path.substr(path.find_last_of('/') + 1), "platform_library_test");
  EXPECT_EQ(ProgramDirectory() + "/platform_library_test", path);
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
}

TEST(LoadLibrary, FindsAModuleBesideTheProgramByItsDllName) {
  for (const char* name : {"plattestmod.dll", "PlatTestMod.DLL"}) {
    HMODULE module = LoadLibraryA(name);
    ASSERT_NE(module, nullptr) << name;
    auto add = reinterpret_cast<int (*)(int, int)>(GetProcAddress(module, "PlatTestAdd"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_TRUE(FreeLibrary(module));
  }
  HMODULE wide = LoadLibraryW(u"plattestmod.dll");
  EXPECT_NE(wide, nullptr);
  const std::string full = ProgramDirectory() + "/libplattestmod.so";
  HMODULE byPath = LoadLibraryA(full.c_str());
  EXPECT_EQ(byPath, wide) << "one module, however it was named";
  FreeLibrary(byPath);
  FreeLibrary(wide);
}

TEST(LoadLibrary, FailuresGiveWindowsErrors) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("no-such-module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("/no/such/libx.so"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  HMODULE module = LoadLibraryA("plattestmod.dll");
  ASSERT_NE(module, nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "NoSuchFunction"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(7)), nullptr) << "ordinals do not exist here";
  EXPECT_EQ(GetProcAddress(nullptr, "PlatTestAdd"), nullptr);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(nullptr));
}
