#!/usr/bin/env bash
# Runs a test program against a real smart-card service: pcscd in the
# foreground with the virtual reader driver (vsmartcard-vpcd, which listens
# for a virtual card on 127.0.0.1:35963). The program starts the virtual card
# itself ("$PELLUM_VICC" -t iso7816) when it wants one to appear.
#
# One pcscd runs per machine: rigs take turns through a lock file and wait
# for any other pcscd to end. Exit 77 (skipped) where pcscd is not installed.
#
# PELLUM_PCSCD_LOG_DIR=<folder> runs pcscd with its debug log (-d) and keeps
# the log there, one file per run, for looking into a failure afterwards.
set -euo pipefail

PCSCD=/usr/sbin/pcscd
VICC=/usr/bin/vicc
VICC_PACKAGE=/usr/lib/python3/site-packages/virtualsmartcard
CRYPTODOME=/usr/lib/python3/dist-packages/Cryptodome
SOCKET=/run/pcscd/pcscd.comm

if [[ ! -x $PCSCD ]]; then
  echo "SKIP: pcscd is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi
for need in "$VICC" "$VICC_PACKAGE" "$CRYPTODOME" /etc/reader.conf.d/vpcd; do
  if [[ ! -e $need ]]; then
    echo "rig: $need is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
pcscd_pid=""
cleanup() {
  if [[ -n $pcscd_pid ]]; then
    kill "$pcscd_pid" 2>/dev/null || true
    wait "$pcscd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

exec 9>/tmp/pellum-pcscd.lock
if ! flock -w 900 9; then
  echo "rig: another smart-card rig held the lock for 15 minutes" >&2
  exit 1
fi
for ((i = 0; i < 600; ++i)); do
  pgrep -x pcscd >/dev/null || break
  sleep 0.1
done
if pgrep -x pcscd >/dev/null; then
  echo "rig: a pcscd that is not ours keeps running" >&2
  exit 1
fi

log=$work/pcscd.log
pcscd_args=(-f)
if [[ -n ${PELLUM_PCSCD_LOG_DIR:-} ]]; then
  mkdir -p "$PELLUM_PCSCD_LOG_DIR"
  log=$PELLUM_PCSCD_LOG_DIR/pcscd-$(date +%H%M%S)-$$.log
  pcscd_args+=(-d)
fi
"$PCSCD" "${pcscd_args[@]}" >"$log" 2>&1 &
pcscd_pid=$!
for ((i = 0; i < 300; ++i)); do
  [[ -S $SOCKET ]] && break
  if ! kill -0 "$pcscd_pid" 2>/dev/null; then
    echo "rig: pcscd ended at start:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
[[ -S $SOCKET ]] || { echo "rig: pcscd made no socket" >&2; exit 1; }

# vicc lies outside Python's search path and imports Crypto, which Debian
# ships as Cryptodome: an alias folder of our own, nothing system-wide.
mkdir -p "$work/alias"
ln -s "$CRYPTODOME" "$work/alias/Crypto"
export PYTHONPATH="$work/alias:$VICC_PACKAGE${PYTHONPATH:+:$PYTHONPATH}"
export PELLUM_VICC=$VICC

status=0
"$@" || status=$?
if ((status != 0)); then
  echo "rig: pcscd log:" >&2
  tail -n 40 "$log" >&2
fi
exit $status
