// For tests of the whole program: discovery aimed at a loopback responder
// instead of the broadcast address, so that a test never sends a broadcast
// on a real interface. PELLUM_TEST_DISCOVERY="LISTPORT:SERVERPORT" selects
// it; the probes go to 127.0.0.1 and the engine's socket is bound there.
#pragma once

#include <memory>

class IServerFinderEngine;

// The engine the variable asks for, or null when it is unset. A malformed
// value disables discovery (an engine that never sends) rather than fall
// back to broadcasting.
std::unique_ptr<IServerFinderEngine> MakeLoopbackDiscoveryEngine(const char* value);
