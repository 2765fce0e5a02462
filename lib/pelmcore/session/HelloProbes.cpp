#include "session/HelloProbes.h"

#include <mutex>

namespace {

std::mutex g_mutex;
HelloProbes g_probes;

HelloProbes Current() {
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_probes;
}

uint32_t Ask(uint32_t (*probe)()) { return probe ? probe() : 0; }

}  // namespace

HelloProbes SetHelloProbes(const HelloProbes& probes) {
  std::lock_guard<std::mutex> hold(g_mutex);
  HelloProbes previous = g_probes;
  g_probes = probes;
  return previous;
}

HelloMaskProbe SetHelloProbe(HelloMaskProbe HelloProbes::*member, HelloMaskProbe probe) {
  std::lock_guard<std::mutex> hold(g_mutex);
  HelloMaskProbe previous = g_probes.*member;
  g_probes.*member = probe;
  return previous;
}

uint32_t ProbeDsVideoDecoders() { return Ask(Current().detectDsVideoDecoders); }
uint32_t ProbeH264Support() { return Ask(Current().probeH264Support); }
uint32_t ProbeDxvaProfiles() { return Ask(Current().probeDxvaProfiles); }
uint32_t ProbeMediaFoundationCodecs() { return Ask(Current().probeMediaFoundationCodecs); }

bool ProbeLossyEnabled() {
  bool (*probe)() = Current().lossyEnabled;
  return probe ? probe() : true;
}
