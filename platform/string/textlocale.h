// The one locale the string code works in: C conventions for numbers, UTF-8
// character classes for case folding. Never freed.
#pragma once

#include <clocale>
#include <locale.h>

namespace pelplat {

// "C.UTF-8", or plain "C" (ASCII-only folding) where that is missing; null
// only when no locale object could be made at all.
locale_t TextLocale();

}  // namespace pelplat
