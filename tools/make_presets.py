#!/usr/bin/env python3
"""Builds preset images (.fxp program files and .fxb banks) of every layout tunewright knows.

Used to make the bundled examples, the end-to-end tests' inputs, the fuzz seeds and the
benchmark trees. Run it to (re)write the examples:

    python3 tools/make_presets.py examples
"""

import struct
import sys
from pathlib import Path

HEADER_SIZE = 56
BANK_HEADER_SIZE = 156

# Parameter 0 of the 0.2.3 and 0.2.5 Tavlora layouts marks the layout.
MARKER_V203 = 0x3F0000CB
MARKER_V205 = 0x3F0000CD

# (fxID, number of parameters) of each layout, by format ID.
LAYOUTS = {
    1000102: (b"Tvla", 50),
    1000200: (b"Tvla", 53),
    1000203: (b"Tvla", 54),
    1000205: (b"Tvla", 54),
    2000500: (b"Bskl", 6),
    2000501: (b"Bskl", 8),
}


def float_word(value):
    """The big-endian bytes of a single-precision value."""
    return struct.pack(">f", value)


def bits_word(bits):
    """The big-endian bytes of a 32-bit pattern."""
    return struct.pack(">I", bits)


def image(fx_id, params, name=b"", fx_version=1, byte_size=None, num_params=None):
    """A program file: the 56-byte header, then one big-endian word per parameter.

    params holds floats or 4-byte words (bytes). byte_size and num_params default to the
    values that match the parameter list."""
    words = b"".join(p if isinstance(p, bytes) else float_word(p) for p in params)
    count = len(words) // 4
    if byte_size is None:
        byte_size = HEADER_SIZE - 8 + len(words)
    if num_params is None:
        num_params = count
    header = (b"CcnK" + struct.pack(">i", byte_size) + b"FxCk" + struct.pack(">i", 1) +
              fx_id + struct.pack(">i", fx_version) + struct.pack(">i", num_params) +
              name[:28].ljust(28, b"\0"))
    return header + words


def bank(programs, fx_id=None, version=1, fx_version=1, current_program=0, byte_size=None,
         num_programs=None):
    """A bank: the 156-byte header, then the program records (program files) back to back.

    fx_id defaults to the first program's; byte_size and num_programs to the values that
    match. Version 2 keeps current_program at offset 28; the rest of the header is zero."""
    records = b"".join(programs)
    if fx_id is None:
        fx_id = programs[0][16:20]
    if byte_size is None:
        byte_size = BANK_HEADER_SIZE - 8 + len(records)
    if num_programs is None:
        num_programs = len(programs)
    reserved = (struct.pack(">i", current_program) if version == 2 else b"").ljust(128, b"\0")
    header = (b"CcnK" + struct.pack(">i", byte_size) + b"FxBk" + struct.pack(">i", version) +
              fx_id + struct.pack(">i", fx_version) + struct.pack(">i", num_programs) + reserved)
    return header + records


def unfilled(program):
    """The program with byteSize 0, as many hosts save it."""
    return program[:4] + bytes(4) + program[8:]


def preset(format_id, params=None, name=b"", fx_version=1):
    """A preset of a known layout; parameters default to a recognisable ramp. Layouts with a
    marker get it in parameter 0 whatever params holds there."""
    fx_id, count = LAYOUTS[format_id]
    if params is None:
        params = [((i * 37) % 101) / 100.0 for i in range(count)]
    params = list(params)
    if len(params) != count:
        raise ValueError(f"{format_id} has {count} parameters, not {len(params)}")
    if format_id == 1000203:
        params[0] = bits_word(MARKER_V203)
    elif format_id == 1000205:
        params[0] = bits_word(MARKER_V205)
    return image(fx_id, params, name, fx_version)


# The bundled examples: a few presets of every source layout.
EXAMPLES = {
    "tavlora/Warm Pad.fxp": preset(1000102, name=b"Warm Pad", fx_version=102),
    "tavlora/Glass Bell.fxp": preset(
        1000200, [0.0] * 12 + [0.95, 0.0, 0.5, 0.0, 0.75] + [0.25] * 7 + [1.0] + [0.6] * 27 +
        [2.0], name=b"Glass Bell", fx_version=200),
    "tavlora/Deep Bass.fxp": preset(
        1000203, [0.0, 0.2857143] + [0.3] * 12 + [1.0, 0.0, 0.5, 0.0, 0.642857] + [0.1] * 35,
        name=b"Deep Bass", fx_version=203),
    "brisklet/Room.fxp": preset(2000500, [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], name=b"Room",
                                     fx_version=500),
    "brisklet/Hall.fxp": preset(2000500, [0.9, 0.75, 0.5, 0.25, 0.0, 1.0], name=b"Hall",
                                     fx_version=500),
    # Saved by a host that leaves byteSize at 0.
    "tavlora/Soft Keys.fxp": unfilled(preset(
        1000102, [(i % 10) / 10.0 for i in range(50)], name=b"Soft Keys", fx_version=102)),
    "tavlora/Factory.fxb": bank([
        preset(1000102, [((i * k) % 11) / 10.0 for i in range(50)], name=name, fx_version=102)
        for k, name in enumerate([b"Init", b"Strings", b"Brass", b"Pluck", b"Drone"], 1)],
        version=1, fx_version=102),
    "brisklet/Spaces.fxb": bank([
        preset(2000500, values, name=name, fx_version=500) for values, name in [
            ([0.2, 0.3, 0.1, 0.5, 0.4, 0.9], b"Small Room"),
            ([0.8, 0.6, 0.7, 0.2, 0.1, 0.3], b"Cathedral"),
            ([0.5, 0.5, 0.5, 0.5, 0.5, 0.5], b"Plate")]],
        version=2, fx_version=500, current_program=1),
}


def main(argv):
    if len(argv) != 2:
        sys.exit(f"usage: {argv[0]} DIRECTORY")
    root = Path(argv[1])
    for relative, data in EXAMPLES.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        print(f"{target} ({len(data)} bytes)")


if __name__ == "__main__":
    main(sys.argv)
