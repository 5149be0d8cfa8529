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


# Projects (.dawproject): a ZIP archive holding project.xml, metadata.xml and the devices' states,
# each a program file or bank.

# The plug-ins' VST 2 unique IDs, as a project's deviceID writes them: the four characters of the
# fxID read as one big-endian unsigned number.
TAVLORA_DEVICE = struct.unpack(">I", b"Tvla")[0]  # 1417047137
BRISKLET_DEVICE = struct.unpack(">I", b"Bskl")[0]  # 1114860396

ZIP_TIME = 0x5A2E4C21  # the modification time and date of every entry
SATURATED = 0xFFFFFFFF


class ZipStyle:
    """How a writer stores a project's entries: the reference writer deflates every entry, puts
    a data descriptor (with its signature) after each and flags every name as UTF-8; Studio One
    stores them with their numbers in the headers. zip64 writes every number in ZIP64 extra
    fields and end records, as an archive past 4 GiB holds them."""

    def __init__(self, deflate=True, descriptors=True, utf8=True, zip64=False, comment=b""):
        self.deflate, self.descriptors, self.utf8 = deflate, descriptors, utf8
        self.zip64, self.comment = zip64, comment


REFERENCE_WRITER = ZipStyle()
STUDIO_ONE = ZipStyle(deflate=False, descriptors=False, utf8=False)


def zip_archive(entries, style=REFERENCE_WRITER):
    """A ZIP archive of (name, data) pairs, in that order, written field by field as the style
    says. A deflated entry is zlib's raw deflate at level 6, as tunewright writes one."""
    out, central = bytearray(), bytearray()
    for name, data in entries:
        name = name.encode()
        stored = zlib.compress(data, 6, -15) if style.deflate else data
        crc = zlib.crc32(data)
        flags = (0x8 if style.descriptors else 0) | (0x800 if style.utf8 else 0)
        method = 8 if style.deflate else 0
        version = 45 if style.zip64 else 20
        offset = len(out)
        sizes = (len(stored), len(data))
        # A descriptor stands in for the local header's numbers, which are then zero.
        local_sizes = (0, 0) if style.descriptors else sizes
        local_extra = central_extra = b""
        if style.zip64:
            local_extra = struct.pack("<HHQQ", 1, 16, local_sizes[1], local_sizes[0])
            central_extra = struct.pack("<HHQQQ", 1, 24, len(data), len(stored), offset)
            local_sizes = central_sizes = (SATURATED, SATURATED)
        else:
            central_sizes = sizes
        out += struct.pack("<IHHHIIIIHH", 0x04034B50, version, flags, method, ZIP_TIME,
                           0 if style.descriptors else crc, *local_sizes, len(name),
                           len(local_extra)) + name + local_extra + stored
        if style.descriptors:
            out += struct.pack("<QQ" if style.zip64 else "<II", *sizes).join(
                [struct.pack("<II", 0x08074B50, crc), b""])
        central += struct.pack("<IHHHHIIIIHHHHHII", 0x02014B50, 0x031E, version, flags, method,
                               ZIP_TIME, crc, *central_sizes, len(name), len(central_extra), 0, 0,
                               0, 0x81A40000, SATURATED if style.zip64 else offset)
        central += name + central_extra
    start, count = len(out), len(entries)
    out += central
    if style.zip64:
        record = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                           len(central), start)
        out += struct.pack("<IIQI", 0x07064B50, 0, record, 1)
        count, size, start = 0xFFFF, SATURATED, SATURATED
    else:
        size = len(central)
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, start,
                       len(style.comment))
    return bytes(out + style.comment)


def project_xml(devices, lanes="", bom=False, line_end="\n"):
    """A project.xml as hosts write one: the devices on a track's channel, the lanes (automation)
    in the arrangement."""
    text = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<Project version="1.0">\n'
            '  <Application name="make_presets" version="1.0"/>\n'
            '  <Structure>\n'
            '    <Track contentType="notes audio" loaded="true" id="track" name="Song">\n'
            '      <Channel audioChannels="2" role="regular" id="channel">\n'
            '        <Devices>\n' + devices +
            '        </Devices>\n'
            '      </Channel>\n'
            '    </Track>\n'
            '  </Structure>\n'
            '  <Arrangement id="arrangement">\n'
            '    <Lanes timeUnit="beats" id="lanes">\n'
            '      <Lanes track="track" id="track-lanes">\n' + lanes +
            '      </Lanes>\n'
            '    </Lanes>\n'
            '  </Arrangement>\n'
            '</Project>\n')
    return (b"\xef\xbb\xbf" if bom else b"") + text.replace("\n", line_end).encode()


def vst2_plugin(device_id, name, state, parameters="", role="instrument", plugin=None):
    """A Vst2Plugin device: its Parameters (elements as text), then its State."""
    listed = ("            <Parameters>\n" + parameters + "            </Parameters>\n"
              if parameters else "")
    return (f'          <Vst2Plugin deviceID="{device_id}" deviceName="{plugin or name}" '
            f'deviceRole="{role}" pluginVersion="1.0" id="{name.lower()}" name="{name}">\n'
            f'{listed}            <State path="{state.replace("&", "&amp;")}"/>\n'
            f'          </Vst2Plugin>\n')


def real_parameter(index, value, parameter_id, name, scale=' min="0" max="1"'):
    return (f'              <RealParameter parameterID="{index}" value="{value}" '
            f'unit="normalized"{scale} id="{parameter_id}" name="{name}"/>\n')


def points(target, values, points_id, indent=" " * 8):
    """Automation of one parameter: a Points whose Target names its id, a RealPoint per value."""
    return (f'{indent}<Points unit="normalized" id="{points_id}">\n'
            f'{indent}  <Target parameter="{target}"/>\n' +
            "".join(f'{indent}  <RealPoint time="{4 * i}" value="{value}" '
                    f'interpolation="linear"/>\n' for i, value in enumerate(values)) +
            f'{indent}</Points>\n')


# The worked example of the end-to-end tests: a Tavlora preset through the whole chain, and a
# Brisklet one, with what each becomes, worked out by hand from the layouts.
def worked_tavlora(format_id, non_zero):
    count = LAYOUTS[format_id][1]
    params = [0.0] * count
    for index, value in non_zero.items():
        params[index] = bits_word(value) if isinstance(value, int) else value
    return image(b"Tvla", params, b"Worked example", 102)


WORKED_V012 = worked_tavlora(1000102, {0: 0.25, 11: 0.95, 15: 0.75, 23: 0.5, 49: 0.6})
WORKED_V020 = worked_tavlora(1000200, {0: 0.25, 12: 0.95, 16: 0.75, 24: 0.5, 51: 0.6,
                                       52: 0x40000000})
WORKED_V023 = worked_tavlora(1000203, {0: 0x3F0000CB, 1: 0x3E924925, 2: 0.25, 14: 0x3F6DB6DB,
                                       16: 0x3D924925, 18: 0x3F492492, 26: 0x3ED55555,
                                       40: 0x3D924925, 42: 0x3D924925, 44: 0x3D924925,
                                       52: 0x3DAAAAAB, 53: 0.6})
WORKED_V025 = worked_tavlora(1000205, {0: 0x3F0000CD, 1: 0x3E924925, 2: 0.25, 14: 0x3F700000,
                                       16: 0x3D800000, 18: 0x3F300000, 26: 0x3ED55555,
                                       40: 0x3D800000, 42: 0x3D800000, 44: 0x3D800000,
                                       52: 0x3DAAAAAB, 53: 0.6})
WORKED_V050 = preset(2000500, [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], b"Room", 500)
WORKED_V051 = preset(2000501, [0.1, 0.2, 1.0, 0.3, 0.4, 0.5, 0.6, 1.0], b"Room", 500)

# Where each parameter of the example goes, and what its values become (worked out as above:
# 0.1.2's selector 11 at 0.95 is 0.2.5's 14 at 0.9375, one at 0.05 is at 0.0625; 0.2's global
# parameter 52 at 2 is 0.2.5's 1 at 2/7, at 3.5 it is at 0.5).
EXAMPLE_PARAMETERS = {
    "lead": [(0, 2, "0.25", "0.25", "cutoff", "Cutoff"),
             (11, 14, "0.95", "0.9375", "shape", "Shape"),
             (49, 53, "0.6", "0.6", "level", "Level")],
    "pad": [(52, 1, "2", "0.2857143", "global", "Global")],
    "room": [(4, 5, "0.5", "0.5", "size", "Size")],
}
EXAMPLE_AUTOMATION = [("cutoff", ["0.25", "0.5"], ["0.25", "0.5"]),
                      ("shape", ["0.95", "0.05"], ["0.9375", "0.0625"]),
                      ("global", ["2", "3.5"], ["0.2857143", "0.5"])]


def example_project(upgraded=False, shared=False, alias=False, quoting=False):
    """The example song: a Tavlora 0.1.2 instrument (Lead) with automation on a plain parameter
    and a selector, a Tavlora 0.2 one (Pad, the layout after the first step) with automation on
    its global parameter, and a Brisklet 0.5 effect (Room); as saved, or as tunewright must
    upgrade it (upgraded). Variants: Pad sharing Lead's state (shared: Pad then lists a 0.1.2
    parameter), the automation in a clip and an alias of it (alias), and attributes in single
    quotes with entities, a comment and CDATA around a device, a BOM and CRLF line ends
    (quoting). Returns project.xml and the (path, state) pairs."""
    def parameters(device):
        rows = EXAMPLE_PARAMETERS["lead" if shared and device == "pad" else device]
        if shared and device == "pad":
            rows = [(10, 13, "0.5", "0.5", "pad-tone", "Tone")]
        return "".join(real_parameter(new if upgraded else old, after if upgraded else before,
                                      pid, name, "" if device == "pad" else ' min="0" max="1"')
                       for old, new, before, after, pid, name in rows)
    lead_state = "plugins/Lead & Co.fxp" if quoting else "plugins/Lead.fxp"
    states = {"lead": (lead_state, WORKED_V025 if upgraded else WORKED_V012),
              "pad": ("plugins/Pad.fxp", WORKED_V025 if upgraded else WORKED_V020),
              "room": ("plugins/Room.fxp", WORKED_V051 if upgraded else WORKED_V050)}
    if shared:
        states["pad"] = states["lead"]
    devices = (vst2_plugin(TAVLORA_DEVICE, "Lead", states["lead"][0], parameters("lead"),
                           plugin="Tavlora") +
               vst2_plugin(TAVLORA_DEVICE, "Pad", states["pad"][0], parameters("pad"),
                           plugin="Tavlora") +
               vst2_plugin(BRISKLET_DEVICE, "Room", states["room"][0], parameters("room"),
                           role="audioFX", plugin="Brisklet"))
    automation = [(target, after if upgraded else before)
                  for target, before, after in EXAMPLE_AUTOMATION
                  if not (shared and target == "global")]
    lanes = [points(target, values, f"points-{target}") for target, values in automation]
    if alias:
        # The selector's lane in a clip, and an alias clip that plays the same points again.
        lanes[1] = ('        <Clips id="clips">\n'
                    '          <Clip time="0" duration="8">\n' +
                    points(*automation[1], "points-clip", " " * 12) +
                    '          </Clip>\n'
                    '          <Clip time="8" duration="8" reference="points-clip"/>\n'
                    '        </Clips>\n')
    lanes = "".join(lanes)
    if quoting:
        devices = devices.replace('name="Lead"', "name='Lead &amp; &#34;Co&#34;'", 1)
        devices = devices.replace('parameterID="0"', "parameterID='0'")
        devices = devices.replace('parameterID="2"', "parameterID='2'")
        devices = ("          <!-- <Vst2Plugin deviceID=\"1417047137\"/> -->\n" + devices +
                   "          <![CDATA[<State path=\"plugins/none.fxp\"/>]]>\n")
    xml = project_xml(devices, lanes, bom=quoting, line_end="\r\n" if quoting else "\n")
    return xml, list(dict(states.values()).items())


def project_entries(xml, states, audio=True):
    """A project's entries in the order writers put them: metadata, project.xml, the states, and
    a stretch of audio (which the upgrade must never read)."""
    metadata = b'<?xml version="1.0" encoding="UTF-8"?>\n<MetaData><Title>Song</Title></MetaData>\n'
    audio_data = bytes((i * 7919) % 251 for i in range(20000)) if audio else None
    return ([("metadata.xml", metadata), ("project.xml", xml)] + list(states) +
            ([("audio/take.wav", audio_data)] if audio else []))


def example_archive(style=REFERENCE_WRITER, **variant):
    """The example song's archive, and the archive tunewright must make of it."""
    before = zip_archive(project_entries(*example_project(**variant)), style)
    after = zip_archive(project_entries(*example_project(upgraded=True, **variant)), style)
    return before, after


# The bundled example project: the example song as the reference writer saves it.
EXAMPLES["projects/Song.dawproject"] = example_archive()[0]


def header_of(archive, name, central=False):
    """Where the local header (or the central record) of the named entry starts."""
    found = archive.rfind(name.encode()) if central else archive.find(name.encode())
    return found - (46 if central else 30)


def with_bytes(archive, *changes):
    """The archive with the bytes at each offset replaced."""
    data = bytearray(archive)
    for offset, replacement in changes:
        data[offset:offset + len(replacement)] = replacement
    return bytes(data)


def project_fixtures():
    """The projects the tests take, each with what the program must make of it: the outcome in
    the page's names ("upgraded", "alreadyCurrent", ... as src/web/glue.cpp names them), the
    device the line names (its name and state path), the -t target (0: none), the version code
    prefix of the output, and for an upgraded project the archive it must write."""
    rows = []

    def row(name, data, outcome, expected=None, device=None, target=0, prefix=None):
        rows.append({"name": name, "data": data, "outcome": outcome, "expected": expected,
                     "device": device, "target": target, "prefix": prefix})

    for name, style, variant in (("reference", REFERENCE_WRITER, {}),
                                 ("studio-one", STUDIO_ONE, {}),
                                 ("zip64", ZipStyle(zip64=True), {}),
                                 ("stored-zip64", ZipStyle(False, False, False, True), {}),
                                 ("comment", ZipStyle(comment=b"Saved by a host"), {}),
                                 ("quoting", REFERENCE_WRITER, {"quoting": True}),
                                 ("shared-state", REFERENCE_WRITER, {"shared": True}),
                                 ("clip-alias", STUDIO_ONE, {"alias": True})):
        before, after = example_archive(style, **variant)
        row(name, before, "upgraded", after, prefix="205_")

    # With -t naming Brisklet's newest, the Tavlora devices are left as they are.
    xml, states = example_project()
    upgraded_xml, _ = example_project(upgraded=True)
    room = [(path, WORKED_V051 if path.endswith("Room.fxp") else state) for path, state in states]
    room_xml = xml.replace(b'parameterID="4" value="0.5"', b'parameterID="5" value="0.5"')
    row("brisklet-only", zip_archive(project_entries(xml, states)), "upgraded",
        zip_archive(project_entries(room_xml, room)), target=2000501, prefix="501_")
    row("already-current", zip_archive(project_entries(upgraded_xml, example_project(True)[1])),
        "alreadyCurrent")
    v023_xml = project_xml(vst2_plugin(TAVLORA_DEVICE, "Keys", "plugins/Keys.fxp"))
    row("no-chain", zip_archive(project_entries(v023_xml, [("plugins/Keys.fxp", WORKED_V023)])),
        "noChain", device=["Keys", "plugins/Keys.fxp"], target=1000200)

    # Near misses: each project is left byte for byte, and the line names it (and the device).
    sound = zip_archive(project_entries(xml, states))
    lead = ["Lead", "plugins/Lead.fxp"]
    misses = {
        "state-missing": (xml.replace(b"plugins/Pad.fxp", b"plugins/Gone.fxp"), states,
                          "stateMissing", ["Pad", "plugins/Gone.fxp"]),
        "state-external": (xml.replace(b'<State path="plugins/Lead.fxp"/>',
                                       b'<State path="plugins/Lead.fxp" external="true"/>'),
                           states, "stateMissing", lead),
        "parameter-outside": (xml.replace(b'parameterID="49"', b'parameterID="50"'), states,
                              "parameterNotCarried", lead),
        "state-of-brisklet": (xml, [(p, WORKED_V050 if p.endswith("Lead.fxp") else s)
                                    for p, s in states], "stateMismatch", lead),
        "state-not-a-preset": (xml, [(p, b"not a preset" if p.endswith("Pad.fxp") else s)
                                     for p, s in states], "unrecognised",
                               ["Pad", "plugins/Pad.fxp"]),
        "not-well-formed": (xml.replace(b"</Devices>", b"</Device>"), states, "projectMalformed",
                            None),
        "doctype": (xml.replace(b"<Project ", b"<!DOCTYPE Project>\n<Project ", 1), states,
                    "projectMalformed", None),
    }
    for name, (miss_xml, miss_states, outcome, device) in misses.items():
        row(name, zip_archive(project_entries(miss_xml, miss_states)), outcome, device=device)
    xml_header = header_of(sound, "project.xml")
    row("encrypted", with_bytes(sound, (xml_header + 6, b"\x09"),
                                (header_of(sound, "project.xml", True) + 8, b"\x09")),
        "archiveUnsupported")
    row("crc-wrong", with_bytes(sound, (header_of(sound, "project.xml", True) + 16, b"\0\0\0\0")),
        "archiveDamaged")
    row("headers-disagree", with_bytes(sound, (xml_header + 30, b"P")), "archiveDamaged")
    # Every number says project.xml is one byte shorter than its stream inflates to, the CRC that
    # of the bytes without the last: an inflate that stopped at the room would take it.
    xml_record = header_of(sound, "project.xml", True)
    packed = struct.unpack_from("<I", sound, xml_record + 20)[0]
    descriptor = xml_header + 30 + len("project.xml") + packed
    short = struct.pack("<I", zlib.crc32(xml[:-1]))
    shorter = struct.pack("<I", len(xml) - 1)
    row("project-xml-inflates-longer",
        with_bytes(sound, (xml_record + 16, short), (xml_record + 24, shorter),
                   (descriptor + 4, short), (descriptor + 12, shorter)), "archiveDamaged")
    bomb = b"<Project>" + b" " * (65 << 20) + b"</Project>"
    row("project-xml-too-large", zip_archive(project_entries(bomb, states)), "archiveUnsupported")
    row("not-a-zip", xml, "unrecognised")
    row("no-project-xml", zip_archive([("metadata.xml", b"<MetaData/>")] + states),
        "unrecognised")
    return rows


def write_project_fixtures(root):
    """Writes each fixture as NAME.dawproject, the archive an upgrade must make as
    expected/NAME.dawproject, and fixtures.json listing them."""
    (root / "expected").mkdir(parents=True, exist_ok=True)
    table = []
    for fixture in project_fixtures():
        entry = {key: value for key, value in fixture.items() if key not in ("data", "expected")}
        entry["file"] = f"{fixture['name']}.dawproject"
        entry["expected"] = None
        (root / entry["file"]).write_bytes(fixture["data"])
        if fixture["expected"] is not None:
            entry["expected"] = f"expected/{entry['file']}"
            (root / entry["expected"]).write_bytes(fixture["expected"])
        table.append(entry)
    (root / "fixtures.json").write_text(json.dumps(table, indent=1) + "\n")


def main(argv):
    if len(argv) == 3 and argv[1] == "project-fixtures":
        write_project_fixtures(Path(argv[2]))
        return
    if len(argv) != 2:
        sys.exit(f"usage: {argv[0]} DIRECTORY | project-fixtures DIRECTORY")
    root = Path(argv[1])
    for relative, data in EXAMPLES.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        print(f"{target} ({len(data)} bytes)")


if __name__ == "__main__":
    main(sys.argv)
