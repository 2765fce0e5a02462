// Linked into every fuzz target: the debugger output goes nowhere. Bad input
// is logged line by line by design, and a run writing millions of lines
// would be many times slower and bury its findings.
#include <string>

#include "pelplat/debugout.h"

namespace {

const bool quiet = (SetDebugOutputSink([](const std::string&) {}), true);

}  // namespace
