#!/usr/bin/env bash
# Shows Pellum connected to a remote desktop at once: the test host paints
# a picture on 127.0.0.1 and Pellum, started with a launch file, connects
# to it; a short tone follows on the session's sound (heard when the
# machine has a sound device, harmless without). Closing the session window
# ends the demo.
#
#   scripts/demo.sh BUILD_FOLDER
#
# The demo keeps its own settings (user and system scope) in a temporary
# folder, so the user's profile and the machine's settings are left as they
# are.
set -euo pipefail

BUILD=${1:?usage: scripts/demo.sh BUILD_FOLDER}
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

DEMO=$(mktemp -d "${TMPDIR:-/tmp}/pellum-demo.XXXXXX")
HOST_PID=
cleanup() {
  exec 3>&- 2>/dev/null || true
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
awk -v w="$WIDTH" -v h="$HEIGHT" 'BEGIN {
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
        if (y < 246) { r = 70; g = 150; b = 90 } else {
          r = 250 - int((x - 360) / 3); g = 200; b = 120 + int((y - 246) / 3) } }
      line = line r " " g " " b " "
    }
    print line
  }
}' > "$DEMO/desktop.ppm"

# Plain sessions: the test host's painter does not seal its slots.
mkdir -p "$DEMO/config/Vantorel/Vesk"
cat > "$DEMO/config/Vantorel/Vesk/Default.ini" <<INI
[AutoLoginOptions]
encryptionLevel=0

[ScreenOptions]
autoDetectAudioVideo=0
fullScreen=0
INI

cat > "$DEMO/demo.json" <<JSON
{"Pellum": {"desktop": {"width": $WIDTH, "height": $HEIGHT, "bitspp": 24},
            "server": {"address": "127.0.0.1"}, "misc": {}}}
JSON

# The host holds the session while its input is open.
mkfifo "$DEMO/hold"
"$BIN/pellum-testhost" --address 127.0.0.1 --port 0 --paint "$DEMO/desktop.ppm" --tone 300 \
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
cd "$DEMO"
XDG_CONFIG_HOME="$DEMO/config" XDG_CONFIG_DIRS="$DEMO/system" "$BIN/pellum" -x "$DEMO/demo.json" -a 127.0.0.1 -p "$PORT" || true
