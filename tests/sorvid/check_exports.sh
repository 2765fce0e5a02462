#!/bin/sh
# The video filter library exports exactly its functions, nSorvid and the
# two assignment operators of CSorvid, nothing else.
set -eu
library=$1
expected='SorvidClose
SorvidDetectDsVideoDecoders
SorvidFilterEvent
SorvidInit
SorvidNewSegment
SorvidOnParentPaint
SorvidPlayFileWait
SorvidSelectAndRender
SorvidSelectAndRenderWindowless
SorvidSetAllocator
SorvidSetBuffer
SorvidSetState
SorvidShowWindow
SorvidUpdateWindowRectToScroll
SorvidWindowRect
_ZN7CSorvidaSEOS_
_ZN7CSorvidaSERKS_
nSorvid'
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "export table differs:"
  printf '%s\n' "$expected" > /tmp/sorvid-expected.$$
  printf '%s\n' "$actual" | diff /tmp/sorvid-expected.$$ - || true
  rm -f /tmp/sorvid-expected.$$
  exit 1
fi
