#!/usr/bin/env python3
"""Builds preset images (.fxp program files, .fxb banks, and the .vstpreset containers hosts save
them in) of every layout tunewright knows, and projects (.dawproject) holding them.

Used to make the bundled examples, the end-to-end tests' inputs, the fuzz seeds and the
benchmark trees. Run it to (re)write the examples:

    python3 tools/make_presets.py examples

or to write the projects the tests take, one file per case and fixtures.json saying what the
program must make of each:

    python3 tools/make_presets.py project-fixtures DIRECTORY
"""

import json
import struct
import sys
import zlib
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


def comp(content, header_size=8, version=1, bypass=0):
    """A container's "Comp" chunk as hosts write it for these plug-ins: "VstW", then big-endian
    the header size, the version and the bypass flag, then the program file or bank."""
    return b"VstW" + struct.pack(">iii", header_size, version, bypass) + content


def meta_info(plugin):
    """An "Info" chunk: the XML a host writes about the preset."""
    return (f'<?xml version="1.0" encoding="utf-8"?>\n<MetaInfo>\n'
            f'  <Attr id="MediaType" value="VstPreset" type="string"/>\n'
            f'  <Attr id="PlugInName" value="{plugin}" type="string"/>\n'
            f'</MetaInfo>\n').encode()


def vstpreset(chunks, class_id=b"0" * 32, version=1, entries=None, count=None, list_offset=None):
    """A .vstpreset container: "VST3", the version, a class ID of 32 characters and the offset
    of the chunk list, all little-endian, then the chunks' data in the order given, then the
    list, "List", the count and per chunk its ID, offset and size.

    chunks holds (ID, data) pairs. entries, (ID, offset, size) triples, count and list_offset
    replace the true values, for files that lie about their chunks."""
    data = b"".join(chunk for _, chunk in chunks)
    true_entries, offset = [], 48
    for chunk_id, chunk in chunks:
        true_entries.append((chunk_id, offset, len(chunk)))
        offset += len(chunk)
    entries = true_entries if entries is None else entries
    if list_offset is None:
        list_offset = 48 + len(data)
    if count is None:
        count = len(entries)
    header = b"VST3" + struct.pack("<i", version) + class_id + struct.pack("<Q", list_offset)
    listing = b"List" + struct.pack("<i", count) + b"".join(
        chunk_id + struct.pack("<QQ", offset, size) for chunk_id, offset, size in entries)
    return header + data + listing


def host_vstpreset(content, plugin, bypass=0):
    """The container as hosts save a preset from their own menu: "Comp" around the program or
    bank, an empty "Cont" (the plug-in has no editor state) and an "Info" chunk. The class ID
    comes from the plug-in's ID and name, whatever its version; the program never reads it."""
    class_id = (content[16:20] + plugin.lower().encode()).hex().upper()[:32].ljust(32, "0")
    return vstpreset([(b"Comp", comp(content, bypass=bypass)), (b"Cont", b""),
                      (b"Info", meta_info(plugin))], class_id=class_id.encode())


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
    # Saved from a host's own preset menu.
    "tavlora/Velvet Lead.vstpreset": host_vstpreset(preset(
        1000102, [((i * 13) % 17) / 16.0 for i in range(50)], name=b"Velvet Lead",
        fx_version=102), "Tavlora"),
    "brisklet/Chambers.vstpreset": host_vstpreset(bank([
        preset(2000500, values, name=name, fx_version=500) for values, name in [
            ([0.3, 0.4, 0.2, 0.6, 0.5, 0.8], b"Stone Room"),
            ([0.7, 0.5, 0.9, 0.1, 0.2, 0.4], b"Crypt")]],
        version=1, fx_version=500), "Brisklet"),
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
