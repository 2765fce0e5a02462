// Run-time loading. "Name.dll" (or a bare "Name") maps to "libname.so" in the
// program's own folder, except a Windows system library that a Linux library
// stands in for ("winscard.dll" -> "libpcsclite.so.1"), which is found through
// the system's library search; a name with a '/' is opened as given, and any
// other name (such as "libpcsclite.so.1") through the system's library search.
#pragma once

#include <string>

#include "pelplat/wintypes.h"

typedef void (*FARPROC)();

HMODULE LoadLibraryA(LPCSTR name);
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// The file name a library name maps to ("vrgask.dll" -> "libvrgask.so").
std::string MapLibraryFileName(const std::string& name);
// The folder of the running program (from /proc/self/exe), no trailing '/'.
std::string ProgramDirectory();
// The full path of the running program.
std::string ProgramPath();
