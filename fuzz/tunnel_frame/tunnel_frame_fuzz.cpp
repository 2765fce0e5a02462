// Received tunnel frames: the frame check and the dispatch to a sink whose
// handler reads the whole payload it is given.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/Tunnel.h"

namespace {

volatile uint8_t g_sink;

void ReadEverything(ybx::tunnel::TunnelResult* result, uint32_t, const uint8_t* payload, uint32_t length,
                    ITunnelClient*) {
  uint8_t x = 0;
  for (uint32_t i = 0; i < length; ++i) x ^= payload[i];
  g_sink = x;
  result->status = 0;
}

ybx::tunnel::TunnelRegistry* Registry() {
  static ybx::tunnel::TunnelRegistry* registry = [] {
    auto* r = new ybx::tunnel::TunnelRegistry;
    auto sink = r->AddSink(".fz");
    sink->AddMethod("m", ReadEverything);
    sink->AddMethod("post", ReadEverything);
    return r;
  }();
  return registry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> frame(data, data + size);
  ybx::tunnel::TunnelFrameView view;
  ybx::tunnel::ReadTunnelFrame(frame.data(), frame.size(), &view);
  ybx::tunnel::TunnelRegistry::Dispatch(Registry(), frame.data(), frame.size(), nullptr);
  return 0;
}
