// Whether browser-video redirection is on: the "TovixEnabled" setting
// (default on) and no "-no-tovix" on the command line.
#pragma once

#include <cstdint>

bool TovixFeatureEnabled();

// The browser-video bit of the H.264 capability mask of the hello: 2 while
// the feature is on and the local players can decode H.264, else 0. The
// H.264 probe ORs it with its decoder bit.
uint32_t TovixH264SupportBits();

// Whether Qt Multimedia has a back end here that decodes H.264 video in
// MP4. Asked once per process, when first needed; the answer is kept.
bool BrowserVideoDecodesH264();

// Replaces the question BrowserVideoDecodesH264 asks (null: Qt
// Multimedia's own) and forgets the kept answer; answers the one replaced.
typedef bool (*H264DecoderProbe)();
H264DecoderProbe SetBrowserVideoDecoderProbe(H264DecoderProbe probe);

// Makes the hello's H.264 probe answer the probe installed so far (the
// decoder library's bit) ORed with TovixH264SupportBits(). Call once, after
// the stream kinds are registered.
void InstallTovixH264Probe();
