// What the hello record asks of the video filter library, the stream
// subsystem and the settings: decoder masks and the lossy-display switch.
// Until a subsystem installs its probe, the answer is what this build can
// really decode: nothing.
#pragma once

#include <cstdint>

struct HelloProbes {
  // Installed DirectShow video decoder subtypes, one bit each.
  uint32_t (*detectDsVideoDecoders)() = nullptr;
  // Bit 0 the H.264 decoder loads, bit 1 browser video is enabled.
  uint32_t (*probeH264Support)() = nullptr;
  uint32_t (*probeDxvaProfiles)() = nullptr;
  uint32_t (*probeMediaFoundationCodecs)() = nullptr;
  // The "LossyEnabled" setting (default on).
  bool (*lossyEnabled)() = nullptr;
};

// Installs the probes (null members answer 0, or on for the lossy switch)
// and answers the previous set. Safe on any thread.
HelloProbes SetHelloProbes(const HelloProbes& probes);

// Installs one mask probe (e.g. &HelloProbes::probeH264Support) and leaves
// the others; answers the probe it replaced. Each subsystem installs its own.
typedef uint32_t (*HelloMaskProbe)();
HelloMaskProbe SetHelloProbe(HelloMaskProbe HelloProbes::*member, HelloMaskProbe probe);

uint32_t ProbeDsVideoDecoders();
uint32_t ProbeH264Support();
uint32_t ProbeDxvaProfiles();
uint32_t ProbeMediaFoundationCodecs();
bool ProbeLossyEnabled();
