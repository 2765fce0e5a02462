// The debugger output. Lines go to a replaceable sink: stderr by default,
// captured by tests. Wide lines reach the sink as UTF-8.
#pragma once

#include <functional>
#include <string>

#include "pelplat/wintypes.h"

void OutputDebugStringA(LPCSTR text);
void OutputDebugStringW(LPCWSTR text);

using DebugOutputSink = std::function<void(const std::string& utf8)>;
// Installs a sink (an empty function restores stderr) and returns the one it
// replaces. The sink is called under a lock, one call per line.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);
