#include "pelplat/library.h"

#include <cctype>
#include <dlfcn.h>
#include <unistd.h>
#include <vector>

#include "pelplat/utf16.h"
#include "pelplat/winerror.h"

namespace {

bool EndsWithDll(const std::string& name) {
  if (name.size() < 4) return false;
  const std::string ext = name.substr(name.size() - 4);
  return ext[0] == '.' && tolower(static_cast<unsigned char>(ext[1])) == 'd' &&
         tolower(static_cast<unsigned char>(ext[2])) == 'l' && tolower(static_cast<unsigned char>(ext[3])) == 'l';
}

// Names that the Windows code would resolve as a DLL of its own: "x.dll", or
// a bare "x" to which Windows adds ".dll".
bool IsDllName(const std::string& name) {
  return name.find('/') == std::string::npos && (EndsWithDll(name) || name.find('.') == std::string::npos);
}

// Windows system libraries that a library of this system stands in for,
// found through the system's library search rather than beside the program.
struct SystemLibrary {
  const char* dll;  // lower-case, without ".dll"
  const char* file;
};
const SystemLibrary kSystemLibraries[] = {
    {"winscard", "libpcsclite.so.1"},
};

const char* SystemLibraryFile(const std::string& base) {
  for (const SystemLibrary& l : kSystemLibraries) {
    if (base == l.dll) return l.file;
  }
  return nullptr;
}

bool IsSystemLibraryFile(const std::string& file) {
  for (const SystemLibrary& l : kSystemLibraries) {
    if (file == l.file) return true;
  }
  return false;
}

}  // namespace

std::string MapLibraryFileName(const std::string& name) {
  if (!IsDllName(name)) return name;
  // Windows file names are case-blind; our libraries are lower-case files.
  std::string base = EndsWithDll(name) ? name.substr(0, name.size() - 4) : name;
  for (char& c : base) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (const char* system = SystemLibraryFile(base)) return system;
  return "lib" + base + ".so";
}

std::string ProgramPath() {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::string ProgramDirectory() {
  const std::string path = ProgramPath();
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

HMODULE LoadLibraryA(LPCSTR name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string given(name);
  std::string file = given;
  if (IsDllName(given)) {
    file = MapLibraryFileName(given);
    if (!IsSystemLibraryFile(file)) file = ProgramDirectory() + "/" + file;
  }
  HMODULE module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) SetLastError(ERROR_MOD_NOT_FOUND);
  return module;
}

HMODULE LoadLibraryW(LPCWSTR name) {
  if (!name) return LoadLibraryA(nullptr);
  return LoadLibraryA(Utf16ToUtf8(name).c_str());
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (!module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Values below 64K are ordinals, which shared objects do not have.
  if (reinterpret_cast<uintptr_t>(name) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(module, name);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (!module || dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
