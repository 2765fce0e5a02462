// Whether browser-video redirection is on: the "TovixEnabled" setting
// (default on) and no "-no-tovix" on the command line.
#pragma once

#include <cstdint>

bool TovixFeatureEnabled();

// The browser-video bit of the H.264 capability mask of the hello: 2 while
// the feature is on, else 0. The H.264 probe ORs it with its decoder bit.
uint32_t TovixH264SupportBits();

// Makes the hello's H.264 probe answer the probe installed so far (the
// decoder library's bit) ORed with TovixH264SupportBits(). Call once, after
// the stream kinds are registered.
void InstallTovixH264Probe();
