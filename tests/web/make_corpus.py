#!/usr/bin/env python3
"""Writes the page tests' library: presets and banks of every layout from the project's
generator, with selector values on and beside the edges of every choice band, both also in
.vstpreset containers, near misses of each layout and container, and garbage, in nested
folders, one of them of more than 100 entries.

    make_corpus.py DIRECTORY
"""

import random
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_presets  # noqa: E402

SOURCES = (1000102, 1000200, 1000203, 2000500)
NEWEST = (1000205, 2000501)
PER_SOURCE = 260
CHOICE_COUNTS = (5, 6, 7)  # the lengths of the selectors' lists of choices
CHOICE_SCALE = struct.unpack(">f", bytes.fromhex("3F7FBE77"))[0]


def float32(value):
    return struct.unpack(">f", struct.pack(">f", value))[0]


def neighbours(value):
    """The single-precision value and the two on either side of it."""
    bits = struct.unpack(">i", struct.pack(">f", value))[0]
    return [struct.unpack(">f", struct.pack(">i", bits + d))[0] for d in (-2, -1, 0, 1, 2)
            if 0 <= bits + d < 0x7F800000]


def band_edges():
    """Stored selector values at and around every edge between two choices."""
    values = set()
    for count in CHOICE_COUNTS:
        for k in range(count + 1):
            values.update(neighbours(float32(k / (count * CHOICE_SCALE))))
            values.update(neighbours(float32(k / count)))
    return sorted(values)


def presets(rng):
    """(name, bytes) of presets of every layout, parameters drawn from the band edges."""
    edges = band_edges()
    odd = [0.0, -0.0, 1.0, 1.5, -0.25, float("inf"), 2.0e9]
    for format_id in SOURCES + NEWEST:
        count = make_presets.LAYOUTS[format_id][1]
        runs = PER_SOURCE if format_id in SOURCES else 20
        for i in range(runs):
            params = [rng.choice(edges) for _ in range(count)]
            if i % 10 == 0:
                params[rng.randrange(count)] = rng.choice(odd)
            if i % 25 == 0:
                params[rng.randrange(count)] = make_presets.bits_word(0x7FC00001)  # a NaN
            name = f"P{format_id % 1000000}-{i}".encode()
            yield f"{format_id}-{i}.fxp", make_presets.preset(format_id, params, name, fx_version=i)


def banks(rng):
    """(name, bytes) of banks of every source layout, and banks that mix layouts or hold a
    near miss (not recognised)."""
    for format_id in SOURCES:
        count = make_presets.LAYOUTS[format_id][1]
        for i in range(25):
            programs = [make_presets.preset(format_id, [rng.random() for _ in range(count)],
                                            f"B{j}".encode()) for j in range(1 + i % 6)]
            if i % 5 == 1:
                programs = [make_presets.unfilled(program) for program in programs]
            yield f"bank-{format_id}-{i}.fxb", make_presets.bank(programs, version=1 + i % 2)
    yield "bank-mixed.fxb", make_presets.bank([make_presets.preset(1000102),
                                               make_presets.preset(1000200)])
    yield "bank-short.fxb", make_presets.bank([make_presets.preset(2000500)])[:-1]
    yield "bank-count.fxb", make_presets.bank([make_presets.preset(2000500)], num_programs=2)


def containers(rng):
    """(name, bytes) of presets and banks of every source layout in .vstpreset containers, as
    hosts save them and with other chunks around them, and containers that are not whole."""
    for format_id in SOURCES:
        count = make_presets.LAYOUTS[format_id][1]
        for i in range(8):
            program = make_presets.preset(format_id, [rng.random() for _ in range(count)],
                                          f"V{i}".encode())
            content = program if i % 2 else make_presets.bank([program] * (1 + i % 3))
            if i % 4 == 1:
                content = make_presets.unfilled(content)
            name = f"vst-{format_id}-{i}.{'VSTPRESET' if i == 7 else 'vstpreset'}"
            if i % 3:
                yield name, make_presets.host_vstpreset(content, "Test", bypass=i % 2)
            else:
                yield name, make_presets.vstpreset(
                    [(b"Info", make_presets.meta_info("Test")),
                     (b"Comp", make_presets.comp(content)), (b"Xtra", bytes(range(i)))])
    comp = make_presets.comp(make_presets.preset(2000500))
    yield "vst-two-comp.vstpreset", make_presets.vstpreset([(b"Comp", comp), (b"Comp", comp)])
    yield "vst-version-2.vstpreset", make_presets.vstpreset([(b"Comp", comp)], version=2)
    yield "vst-gap.vstpreset", make_presets.vstpreset(
        [(b"Comp", comp), (b"Info", b"<x/>")],
        entries=[(b"Comp", 48, len(comp)), (b"Info", 49 + len(comp), 3)])
    yield "vst-wrapper.vstpreset", make_presets.vstpreset(
        [(b"Comp", make_presets.comp(make_presets.preset(2000500), header_size=4))])
    yield "vst-newest.vstpreset", make_presets.host_vstpreset(make_presets.preset(2000501), "Test")


def with_word(data, offset, value):
    """The image with one big-endian header word replaced."""
    return data[:offset] + struct.pack(">i", value) + data[offset + 4:]


def near_misses():
    """(name, bytes) of images one detail away from a known layout."""
    for format_id in SOURCES:
        fx_id, count = make_presets.LAYOUTS[format_id]
        good = make_presets.preset(format_id)
        yield f"miss-{format_id}-short.fxp", good[:-1]
        yield f"miss-{format_id}-long.fxp", good + b"\0"
        yield f"miss-{format_id}-bytesize.fxp", with_word(good, 4, len(good) - 7)
        yield f"zero-{format_id}-bytesize.fxp", make_presets.unfilled(good)
        yield f"miss-{format_id}-numparams.fxp", with_word(good, 24, count + 1)
        yield f"miss-{format_id}-plugin.fxp", good[:16] + b"Xvla" + good[20:]
        yield f"miss-{format_id}-magic.fxp", b"CcnJ" + good[4:]
        yield f"miss-{format_id}-extra-word.fxp", make_presets.image(fx_id, [0.5] * (count + 1))
    # The 0.2.3 and 0.2.5 layouts told by their marker only.
    yield "miss-marker.fxp", make_presets.image(b"Tvla", [make_presets.bits_word(0x3F0000CC)] +
                                                [0.5] * 53)


def garbage(rng):
    yield "empty.fxp", b""
    yield "text.fxp", b"not a preset\n"
    for i in range(20):
        yield f"noise-{i}.fxp", bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600)))
    yield "huge.fxp", b"CcnK" + bytes(1 << 20)


def main(argv):
    if len(argv) != 2:
        sys.exit(f"usage: {argv[0]} DIRECTORY")
    root = Path(argv[1])
    rng = random.Random(13)
    # One folder of several hundred entries, so that folder reading past 100 entries is covered.
    files = [(f"bulk/{name}", data) for name, data in presets(rng)]
    files += [(f"banks/{name}", data) for name, data in banks(rng)]
    files += [(f"hosts/{name}", data) for name, data in containers(rng)]
    files += [(f"odd/misses/{name}", data) for name, data in near_misses()]
    files += [(f"odd/{name}", data) for name, data in garbage(rng)]
    files += [("odd/readme.txt", b"not looked at\n"),
              ("odd/UPPER.FXP", make_presets.preset(2000500))]
    for relative, data in files:
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


if __name__ == "__main__":
    main(sys.argv)
