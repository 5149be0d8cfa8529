#!/usr/bin/env python3
"""Writes a synthetic preset library for the benchmark: presets of every source format from the
project's generator, a few presets already at the newest versions (not recognised), a few banks
and .vstpreset files, a few files that are not presets, in nested folders of at most 100 entries.

    make_tree.py DIRECTORY FILE_COUNT
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import make_presets  # noqa: E402

FILES_PER_FOLDER = 100


def contents():
    """The cycle of files a library is made of: mostly convertible presets."""
    convertible = [make_presets.preset(f, name=b"Bench") for f in (1000102, 1000200, 1000203,
                                                                     2000500)]
    newest = [make_presets.preset(f) for f in (1000205, 2000501)]
    cycle = [(".fxp", data) for data in convertible * 12] + [(".fxp", data) for data in newest]
    cycle += [(".txt", b"notes about the presets\n"), (".fxp", b"not a preset")]
    # Banks, as users keep their sounds: a small Tavlora and a small Brisklet one.
    cycle += [(".fxb", make_presets.bank([convertible[0]] * 8)),
              (".fxb", make_presets.bank([convertible[3]] * 4, version=2))]
    # Presets saved from a host's own menu: a program of each plug-in and a bank.
    cycle += [(".vstpreset", make_presets.host_vstpreset(convertible[0], "Tavlora")),
              (".vstpreset", make_presets.host_vstpreset(convertible[3], "Brisklet")),
              (".vstpreset", make_presets.host_vstpreset(make_presets.bank([convertible[1]] * 4),
                                                         "Tavlora"))]
    return cycle


def main(argv):
    if len(argv) != 3:
        sys.exit(f"usage: {argv[0]} DIRECTORY FILE_COUNT")
    root, count = Path(argv[1]), int(argv[2])
    cycle = contents()
    for i in range(count):
        folder = root / f"bank{i // (FILES_PER_FOLDER * 10)}" / f"set{(i // FILES_PER_FOLDER) % 10}"
        if i % FILES_PER_FOLDER == 0:
            folder.mkdir(parents=True, exist_ok=True)
        extension, data = cycle[i % len(cycle)]
        (folder / f"preset{i}{extension}").write_bytes(data)


if __name__ == "__main__":
    main(sys.argv)
