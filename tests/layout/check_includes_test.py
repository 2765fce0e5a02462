#!/usr/bin/env python3
"""The include check on small trees of its own: each tree holds one fault
(or none) and the check must name exactly that fault."""
import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "check-includes.py")

# Files every tree has: a core room with a record header, the library's
# export header and the shared headers both use.
BASE = {
    "lib/pelmcore/display/SurfaceKeeper.h": "#include <cstdint>\n",
    "lib/pelmcore/streams/DSStream.cpp": '#include "Sorvid.h"\n#include "streamshared/StreamRecords.h"\n',
    "lib/streamshared/include/streamshared/StreamRecords.h": "#include <cstdint>\n",
    "sorvid/Sorvid.h": '#include "streamshared/StreamRecords.h"\n',
    "sorvid/VrPlayer.cpp": '#include "Sorvid.h"\n',
}

CASES = [
    ("clean", {}, None),
    ("library includes a core room", {"sorvid/VrPlayer.cpp": '#include "streams/DSStream.h"\n'},
     "sorvid/VrPlayer: includes the client core (streams/DSStream.h)"),
    ("shared header includes a core room",
     {"lib/streamshared/include/streamshared/IDSFrameProcessor.h": '#include "display/SurfaceKeeper.h"\n'},
     "includes the client core (display/SurfaceKeeper.h)"),
    ("shared header includes the library",
     {"lib/streamshared/include/streamshared/IDSFrameProcessor.h": '#include "Sorvid.h"\n'},
     "includes the video filter library (Sorvid.h)"),
    ("a room includes the concrete client",
     {"lib/pelmcore/audio/AudioPort.cpp": '#include "session/GenericClient.h"\n'},
     "audio/AudioPort: includes the concrete session client (session/GenericClient.h)"),
    ("a room includes the system API",
     {"lib/pelmcore/virtchan/Channel.cpp": '#include "session/ClientSystemApi.h"\n'},
     "virtchan/Channel: includes the concrete session client (session/ClientSystemApi.h)"),
    ("the session and qt rooms may",
     {"lib/pelmcore/session/Port.cpp": '#include "session/HtClient.h"\n',
      "lib/pelmcore/qt/Api.cpp": '#include "session/ClientSystemApi.h"\n'}, None),
    ("a listed unit that moved behind its port",
     {"lib/pelmcore/mmredir/VrMFPlayer.cpp": '#include "session/SlotSessionPort.h"\n'},
     "mmredir/VrMFPlayer: no longer includes the concrete session client"),
    ("the display slot is off the list",
     {"lib/pelmcore/display/Op2Processor.cpp": '#include "session/ClientSystemApi.h"\n'},
     "display/Op2Processor: includes the concrete session client (session/ClientSystemApi.h)"),
]


def run(files):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
        done = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return done.returncode, done.stdout


def main():
    failed = 0
    for name, extra, fault in CASES:
        code, printed = run({**BASE, **extra})
        lines = printed.splitlines()
        ok = (code == 0 and not lines) if fault is None else (code == 1 and len(lines) == 1 and fault in lines[0])
        print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": exit {code}, printed {printed!r}"))
        failed += not ok
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
