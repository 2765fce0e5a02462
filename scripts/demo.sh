#!/usr/bin/env bash
# Shows Pellum connected to a remote desktop at once: the test host paints
# a desktop on 127.0.0.1 and Pellum, started with a launch file, connects
# to it in an encrypted session (the default profile's). In the same
# session the host then plays a short clip with its sound through
# multimedia redirection, an H.264 stream in the desktop's magenta window
# (the desktop holds the key colour there), and offers a text on the
# clipboard; the host's lines, printed here, show what a local copy or
# paste sends. Sound is heard when the machine has a sound device and is
# left out without one. Closing the session window ends the demo.
#
#   scripts/demo.sh BUILD_FOLDER            the whole demo (needs ffmpeg)
#   scripts/demo.sh BUILD_FOLDER --still    a still desktop and a short tone
#
# The demo keeps its own settings (user and system scope) in a temporary
# folder, so the user's profile and the machine's settings are left as they
# are.
set -euo pipefail

BUILD=${1:?usage: scripts/demo.sh BUILD_FOLDER [--still]}
STILL=
case "${2:-}" in
  "") ;;
  --still) STILL=1 ;;
  *) echo "usage: scripts/demo.sh BUILD_FOLDER [--still]" >&2; exit 2 ;;
esac
BIN=$(cd "$BUILD" && pwd)/bin
for program in pellum pellum-testhost; do
  if [[ ! -x "$BIN/$program" ]]; then
    echo "demo: $BIN/$program is missing; build first." >&2
    exit 1
  fi
done
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "demo: no display; run it on a desktop or under xvfb-run." >&2
  exit 1
fi
if [[ -z "$STILL" ]] && ! command -v ffmpeg >/dev/null; then
  echo "demo: ffmpeg makes the demo's clips and is missing; install it or use --still." >&2
  exit 1
fi

DEMO=$(mktemp -d "${TMPDIR:-/tmp}/pellum-demo.XXXXXX")
HOST_PID=
TAIL_PID=
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [[ -n "$TAIL_PID" ]]; then
    kill "$TAIL_PID" 2>/dev/null || true
    wait "$TAIL_PID" 2>/dev/null || true
  fi
  if [[ -n "$HOST_PID" ]]; then
    kill "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
  fi
  rm -rf "$DEMO"
}
trap cleanup EXIT

WIDTH=800
HEIGHT=600

# A desktop of the demo's own: a sky, two windows and a task bar.
# The whole demo keys the second window's inside (magenta) for the stream.
awk -v w="$WIDTH" -v h="$HEIGHT" -v keyed="$((STILL ? 0 : 1))" 'BEGIN {
  print "P3"; print w, h; print 255
  for (y = 0; y < h; y++) {
    line = ""
    for (x = 0; x < w; x++) {
      r = 40 + int(60 * y / h); g = 90 + int(80 * y / h); b = 160 + int(60 * x / w)
      if (y >= h - 36) { r = 30; g = 34; b = 42
        if (x >= 8 && x < 96 && y >= h - 30 && y < h - 6) { r = 109; g = 192; b = 85 } }
      else if (x >= 80 && x < 440 && y >= 70 && y < 330) {
        if (y < 96) { r = 60; g = 110; b = 180 } else { r = 246; g = 246; b = 246
          if (y >= 110 && (y - 110) % 22 < 8 && x >= 100 && x < 180 + (int((y - 110) / 22) * 73) % 220) {
            r = 150; g = 150; b = 150 } } }
      else if (x >= 360 && x < 740 && y >= 220 && y < 500) {
        if (y < 246) { r = 70; g = 150; b = 90 } else if (keyed) { r = 255; g = 0; b = 255 } else {
          r = 250 - int((x - 360) / 3); g = 200; b = 120 + int((y - 246) / 3) } }
      line = line r " " g " " b " "
    }
    print line
  }
}' > "$DEMO/desktop.ppm"

mkdir -p "$DEMO/config/Vantorel/Vesk"
cat > "$DEMO/config/Vantorel/Vesk/Default.ini" <<INI
[ScreenOptions]
autoDetectAudioVideo=0
fullScreen=0
INI

cat > "$DEMO/demo.json" <<JSON
{"Pellum": {"desktop": {"width": $WIDTH, "height": $HEIGHT, "bitspp": 24},
            "server": {"address": "127.0.0.1"}, "misc": {}}}
JSON

CLIPBOARD_TEXT="Hello from the Pellum demo session"
HOST_ARGS=(--paint "$DEMO/desktop.ppm")
if [[ -n "$STILL" ]]; then
  HOST_ARGS+=(--tone 300)
else
  # A stream for the keyed window (shown scaled to the whole desktop, seen
  # through the key) and a clip with sound for multimedia redirection,
  # placed inside the first window.
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=400x300:rate=25 -t 12 \
    -c:v libx264 -bf 0 -pix_fmt yuv420p -f h264 "$DEMO/stream.h264"
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=320x180:rate=25 \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 10 \
    -c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 64k "$DEMO/clip.mp4"
  HOST_ARGS+=(--play-player "$DEMO/stream.h264" --clipboard "$CLIPBOARD_TEXT"
              --play-tsmf "$DEMO/clip.mp4" --tsmf-geometry 100,110,320,180)
fi

# The host holds the session while its input is open.
mkfifo "$DEMO/hold"
"$BIN/pellum-testhost" --address 127.0.0.1 --port 0 "${HOST_ARGS[@]}" \
  < "$DEMO/hold" > "$DEMO/host.log" 2>&1 &
HOST_PID=$!
exec 3> "$DEMO/hold"

PORT=
for _ in $(seq 100); do
  PORT=$(sed -n 's/^listening [0-9.]* \([0-9]*\)$/\1/p' "$DEMO/host.log")
  [[ -n "$PORT" ]] && break
  sleep 0.1
done
if [[ -z "$PORT" ]]; then
  echo "demo: the test host did not start:" >&2
  cat "$DEMO/host.log" >&2
  exit 1
fi

echo "demo: the test host paints on 127.0.0.1 port $PORT; close the session window to end."
if [[ -z "$STILL" ]]; then
  echo "demo: the session offers a text on the clipboard; paste it here with"
  echo "demo:   xclip -selection clipboard -o"
  echo "demo: a local copy (echo hello | xclip -selection clipboard) reaches the host: see its lines."
  tail -n +1 -f --pid="$HOST_PID" "$DEMO/host.log" > >(sed -u 's/^/host: /') &
  TAIL_PID=$!
fi
cd "$DEMO"
# Pellum must not hold the host's input open: the demo ends the host by
# closing it.
XDG_CONFIG_HOME="$DEMO/config" XDG_CONFIG_DIRS="$DEMO/system" "$BIN/pellum" -x "$DEMO/demo.json" -a 127.0.0.1 -p "$PORT" 3>&- || true
