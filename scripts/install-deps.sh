#!/usr/bin/env bash
# Installs the Debian packages Pellum builds and tests with. Idempotent: a
# machine that already has every package spends about a second here.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build pkg-config g++
  libcrypto++-dev nlohmann-json3-dev
  qtbase5-dev libqt5x11extras5-dev libxcb1-dev libx11-dev
  libjpeg62-turbo-dev liblz4-dev
  # sound: wave output and input over ALSA, Vorbis through Tremor with
  # libogg's framing, compressed-audio conversion over libavcodec
  libasound2-dev libvorbisidec-dev libogg-dev
  libavcodec-dev libavutil-dev libswresample-dev
  # video: the H.264 decoder library, the DirectShow decoder filter and the
  # Media Foundation transforms convert their pictures with libswscale; test
  # clips are made with ffmpeg's libx264 (in the ffmpeg package)
  libswscale-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3
  libturbojpeg0-dev libjpeg-turbo-progs lz4
  clang libclang-rt-14-dev
  xvfb xauth libxtst-dev
  desktop-file-utils
  # sound fixtures: oggenc makes Vorbis streams, ffmpeg ADPCM and reference
  # decodes
  vorbis-tools ffmpeg
  # smart card: pcsclite's headers (the library is loaded at run time), the
  # service with a virtual reader and card for the API tests, and impacket's
  # NDR as an independent check of the smart-card marshalling
  libpcsclite-dev pcscd vsmartcard-vpcd vsmartcard-vpicc python3-pycryptodome python3-impacket
  # clipboard: the CLIPBOARD selection over xcb with XFixes; xclip is the
  # other program in the clipboard tests
  libxcb-xfixes0-dev xclip
  # browser video: Qt Multimedia over GStreamer plays the videos locally
  qtmultimedia5-dev libqt5multimedia5-plugins
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  # multimedia redirection: the test host demuxes its MP4 clips into samples
  libavformat-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi

# A fresh machine may still be installing when we start: wait for another
# package manager to let go of its locks rather than failing. dpkg's lock has
# apt's own time-out; the package lists' lock has none, so that step retries.
LOCK_WAIT=900
apt_get() {
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=$LOCK_WAIT "$@"
}
apt_get_retrying() {
  local deadline=$((SECONDS + LOCK_WAIT)) log
  log=$(mktemp)
  until apt_get "$@" 2>"$log"; do
    if ! grep -q "Could not get lock" "$log" || ((SECONDS >= deadline)); then
      cat "$log" >&2; rm -f "$log"; return 1
    fi
    echo "install-deps: waiting for another package manager to finish"
    sleep 5
  done
  cat "$log" >&2; rm -f "$log"
}

echo "install-deps: installing ${missing[*]}"
apt_get_retrying update -qq
apt_get_retrying install -y -qq --no-install-recommends "${missing[@]}"
