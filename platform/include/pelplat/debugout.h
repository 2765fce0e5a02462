// The debugger output. Lines go to a replaceable sink, captured by tests.
// Without a sink they are seen only when someone listens, as with a
// debugger: on stderr while the environment variable PELLUM_DEBUG is set
// (and not "0"), nowhere otherwise. Wide lines reach the sink as UTF-8.
#pragma once

#include <functional>
#include <string>

#include "pelplat/wintypes.h"

void OutputDebugStringA(LPCSTR text);
void OutputDebugStringW(LPCWSTR text);

using DebugOutputSink = std::function<void(const std::string& utf8)>;
// Installs a sink (an empty function restores the default) and returns the
// one it replaces. The sink is called under a lock, one call per line.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);

// An error the user must see whatever PELLUM_DEBUG says (a device that
// cannot open, a server that cannot be reached): one line on stderr,
// prefixed "pellum: ", and the same line to the debugger output.
void ReportErrorToUser(const std::string& utf8);
