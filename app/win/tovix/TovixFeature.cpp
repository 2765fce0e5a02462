#include "tovix/TovixFeature.h"

#include <QMediaPlayer>
#include <QStringList>
#include <mutex>

#include "cli/LaunchOptions.h"
#include "session/HelloProbes.h"
#include "settings/AbstractClientSettings.h"

namespace {

// The GStreamer back end answers "probably" only when one of its decoders
// takes H.264 (gstreamer1.0-libav's); a demuxer for MP4 alone gives "maybe".
bool QtMultimediaDecodesH264() {
  return QMediaPlayer::hasSupport(QStringLiteral("video/mp4"), {QStringLiteral("avc1.42E01E")}) >=
         QMultimedia::ProbablySupported;
}

std::mutex g_decoderMutex;
H264DecoderProbe g_decoderProbe = &QtMultimediaDecodesH264;
bool g_decoderAsked = false;
bool g_decoderAnswer = false;

}  // namespace

bool TovixFeatureEnabled() { return GetGlobalIntSetting(u"TovixEnabled", 1) != 0 && !IsTovixDisabled(); }

uint32_t TovixH264SupportBits() { return TovixFeatureEnabled() && BrowserVideoDecodesH264() ? 2u : 0u; }

bool BrowserVideoDecodesH264() {
  // Held while the back end answers: a second asker waits for that answer.
  std::lock_guard<std::mutex> hold(g_decoderMutex);
  if (!g_decoderAsked) {
    g_decoderAnswer = g_decoderProbe();
    g_decoderAsked = true;
  }
  return g_decoderAnswer;
}

H264DecoderProbe SetBrowserVideoDecoderProbe(H264DecoderProbe probe) {
  std::lock_guard<std::mutex> hold(g_decoderMutex);
  const H264DecoderProbe previous = g_decoderProbe;
  g_decoderProbe = probe ? probe : &QtMultimediaDecodesH264;
  g_decoderAsked = false;
  return previous;
}

namespace {

HelloMaskProbe g_decoderLibraryProbe = nullptr;

uint32_t H264SupportWithBrowserVideo() {
  return (g_decoderLibraryProbe ? g_decoderLibraryProbe() : 0u) | TovixH264SupportBits();
}

}  // namespace

void InstallTovixH264Probe() {
  const HelloMaskProbe previous = SetHelloProbe(&HelloProbes::probeH264Support, &H264SupportWithBrowserVideo);
  if (previous != &H264SupportWithBrowserVideo) g_decoderLibraryProbe = previous;
}
