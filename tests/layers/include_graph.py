#!/usr/bin/env python3
"""Fails when a lower layer includes a higher one, when two layers of one
floor include each other, or when a layer's internal/ header is included from
outside the link core (tests, benchmarks and fuzz targets excepted)."""
import pathlib
import re
import sys

# Folder -> floor, lowest first; the longest matching prefix wins.
FLOORS = {
    "common/log": 0, "common/base": 0, "common/os": 1,
    "common/link": 2, "common/discovery": 2,
    "common/server": 3,
    "object": 4, "app/console": 4,
    "loaders": 5, "app/store": 5, "app/server": 5,
    "app/updater": 6,
    "app/cli": 7, "app/fleet": 7, "app/main.cpp": 8,
    # The simulator programs sit side by side over the boot ROMs' cores they
    # share: one program never includes another's code.
    "sim/romcore": 8,
    "tools": 9, "sim": 9, "sim/bootrom": 9, "sim/tarnix-sim": 9, "sim/update-server": 9,
}
UNCHECKED = ("tests", "bench", "fuzz")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    best = None
    for folder in FLOORS:
        if (path == folder or path.startswith(folder + "/")) and (best is None or len(folder) > len(best)):
            best = folder
    return best


def main(root):
    root = pathlib.Path(root)
    files = [p for p in root.rglob("*") if p.suffix in (".h", ".hpp", ".cpp", ".c")
             and not any(part.startswith("build") for part in p.relative_to(root).parts)]
    by_name = {}
    for p in files:
        by_name.setdefault(p.name, []).append(p)
    faults = []
    for p in files:
        rel = p.relative_to(root).as_posix()
        if rel.startswith(UNCHECKED):
            continue
        here = layer_of(rel)
        for name in INCLUDE.findall(p.read_text(errors="replace")):
            local = p.parent / name
            targets = [local] if local.exists() else by_name.get(pathlib.Path(name).name, [])
            targets = [t for t in targets if not t.relative_to(root).as_posix().startswith(UNCHECKED)]
            if len(targets) > 1:
                # One name in two folders (Log.h, Module.h): the includer's own
                # layer's, else the lowest one's, is what its include path finds.
                targets.sort(key=lambda t: (layer_of(t.relative_to(root).as_posix()) != here,
                                            FLOORS.get(layer_of(t.relative_to(root).as_posix()), 99)))
                targets = targets[:1]
            for t in targets:
                trel = t.relative_to(root).as_posix()
                there = layer_of(trel)
                if here is None or there is None or here == there:
                    continue
                if FLOORS[there] > FLOORS[here]:
                    faults.append(f"{rel}: includes {trel} from a higher layer ({there})")
                elif FLOORS[there] == FLOORS[here]:
                    faults.append(f"{rel}: includes {trel} from a layer of the same floor ({there})")
                elif "/internal/" in trel and not rel.startswith("common/"):
                    faults.append(f"{rel}: includes {trel}, internal to the link core")
    for fault in sorted(set(faults)):
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
