#include "mmredir/VrVideoWindowHost.h"

#include <atomic>

namespace {
std::atomic<IVrVideoWindowHost*> g_host{nullptr};
}  // namespace

void SetVrVideoWindowHost(IVrVideoWindowHost* host) { g_host.store(host); }

IVrVideoWindowHost* VrVideoWindowHost() { return g_host.load(); }
