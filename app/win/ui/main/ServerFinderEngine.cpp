#include "ui/main/ServerFinderEngine.h"

#include <atomic>

namespace {
std::atomic<IServerFinderEngine*> g_engine{nullptr};
}

IServerFinderEngine& DiscoveryEngine() {
  IServerFinderEngine* engine = g_engine.load();
  if (engine != nullptr) return *engine;
  static CoreServerFinderEngine global(CServerFinderCore::Global());
  return global;
}

IServerFinderEngine* SetDiscoveryEngine(IServerFinderEngine* engine) { return g_engine.exchange(engine); }
