// Which vector instructions the processor offers, asked once. Pixel code
// compiled for a newer instruction set runs only where this says so.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define PELLUM_HAVE_SSSE3_PATH 1

inline bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif
