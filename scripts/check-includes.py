#!/usr/bin/env python3
"""Checks the include structure of the client core.

A unit is one class's header and source (Foo.h + Foo.cpp). The core's units
must not reach each other in a circle, the library must not include the
program, and only the core's qt/ room may include Qt. The platform areas
listed in QT_FREE_PLATFORM include no Qt either. The folders in CORE_FREE
include nothing of the core's rooms, and the shared headers nothing of
the video filter library. Only the session and qt rooms include the
concrete session client or the system API: every other room reaches its
session through a port. Prints every fault and exits 1 when there is one.

usage: check-includes.py [source root]
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.M)
# The display decoder's groups file is the second half of one class.
SAME_UNIT = {"display/Op2DecoderGroups": "display/Op2Decoder"}
QT_ROOM = "qt"
QT_INCLUDE = re.compile(r"Q[A-Za-z]+$|Qt[A-Za-z]+/")
# Platform areas that serve code without Qt.
QT_FREE_PLATFORM = ["clipboard"]
# The core's streams/ room links the video filter library, so the library
# reaching back into the core would make a circle between the two: what
# both need lives in lib/streamshared, which stands on neither.
LIBRARY = "sorvid"
SHARED = os.path.join("lib", "streamshared")
CORE_FREE = [LIBRARY, SHARED]
# The concrete session client and the system API, and the rooms that may
# include them.
CONCRETE = {"session/GenericClient.h", "session/HtClient.h", "session/ClientSystemApi.h"}
CONCRETE_ROOMS = {"session", QT_ROOM}
# Units that still reach the concrete client; each leaves this list when it
# moves behind its port. A listed unit that no longer includes it is a
# fault too, so that the list only shrinks.
NOT_YET_BEHIND_PORT = {"mmredir/VrMFPlayer"}


def units(core):
    """{unit: [included paths]} for every .h/.cpp under core, unit = room/Name."""
    found = {}
    for folder, _, files in os.walk(core):
        for name in files:
            stem, ext = os.path.splitext(name)
            if ext not in (".h", ".cpp"):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(os.path.join(folder, stem), core)
            unit = SAME_UNIT.get(rel, rel)
            with open(path, encoding="utf-8", errors="replace") as f:
                found.setdefault(unit, []).extend(INCLUDE.findall(f.read()))
    return found


def cycles(graph):
    """Strongly connected components with more than one unit (Tarjan)."""
    index, low, stack, on, out = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in graph[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                out.append(sorted(group))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    core = os.path.join(root, "lib", "pelmcore")
    faults = []
    found = units(core)
    graph = {u: set() for u in found}
    for unit, includes in found.items():
        room = unit.split("/")[0]
        for inc in includes:
            if inc.startswith("app/") or inc.startswith("win/"):
                faults.append(f"{unit}: includes the program ({inc})")
            if room != QT_ROOM and QT_INCLUDE.match(inc):
                faults.append(f"{unit}: includes Qt ({inc}) outside the qt room")
            if inc in CONCRETE and room not in CONCRETE_ROOMS and unit not in NOT_YET_BEHIND_PORT:
                faults.append(f"{unit}: includes the concrete session client ({inc}) outside session and qt")
            target = SAME_UNIT.get(os.path.splitext(inc)[0], os.path.splitext(inc)[0])
            if target in graph and target != unit:
                graph[unit].add(target)
    for unit in sorted(NOT_YET_BEHIND_PORT & set(found)):
        if not CONCRETE & set(found[unit]):
            faults.append(f"{unit}: no longer includes the concrete session client; take it off the list")
    for area in QT_FREE_PLATFORM:
        for unit, includes in units(os.path.join(root, "platform", area)).items():
            for inc in includes:
                if QT_INCLUDE.match(inc):
                    faults.append(f"platform/{area}/{unit}: includes Qt ({inc})")
    rooms = {name for name in os.listdir(core) if os.path.isdir(os.path.join(core, name))}
    for folder in CORE_FREE:
        for unit, includes in units(os.path.join(root, folder)).items():
            for inc in includes:
                if inc.split("/")[0] in rooms:
                    faults.append(f"{folder}/{unit}: includes the client core ({inc})")
    library = os.path.join(root, LIBRARY)
    own = set(os.listdir(library)) if os.path.isdir(library) else set()
    for unit, includes in units(os.path.join(root, SHARED)).items():
        for inc in includes:
            if inc.split("/")[0] == LIBRARY or inc in own:
                faults.append(f"{SHARED}/{unit}: includes the video filter library ({inc})")
    for group in cycles(graph):
        faults.append("include circle: " + " <-> ".join(group))
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
