#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora, made from the project's own preset generator.

    make_seeds.py OUTPUT_DIRECTORY
"""

import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import make_presets  # noqa: E402


def preset_image_seeds():
    seeds = {}
    for format_id in make_presets.LAYOUTS:
        seeds[f"layout-{format_id}"] = make_presets.preset(format_id)
    brisklet = make_presets.preset(2000500)
    seeds["short"] = brisklet[:-1]
    seeds["long"] = brisklet + b"\0"
    seeds["little-endian"] = brisklet[:4] + brisklet[4:8][::-1] + brisklet[8:]
    seeds["nan-values"] = make_presets.preset(
        1000200, [make_presets.bits_word(0x7FC00001)] * 53)
    seeds["empty"] = b""
    tavlora = make_presets.preset(1000102)
    seeds["bank-v1"] = make_presets.bank([tavlora, make_presets.unfilled(tavlora)], byte_size=0)
    seeds["bank-v2"] = make_presets.bank([brisklet] * 5, version=2, current_program=4)
    seeds["bank-mixed"] = make_presets.bank([tavlora, make_presets.preset(1000200)])
    seeds["vstpreset-program"] = make_presets.host_vstpreset(tavlora, "Tavlora")
    seeds["vstpreset-bank"] = make_presets.host_vstpreset(seeds["bank-v2"], "Brisklet", bypass=1)
    comp = make_presets.comp(make_presets.unfilled(brisklet))
    seeds["vstpreset-info-first"] = make_presets.vstpreset(
        [(b"Info", make_presets.meta_info("Brisklet")), (b"Comp", comp), (b"Cont", b"")])
    # Lies about the chunks that 64-bit and 32-bit arithmetic would overflow on.
    end = 48 + len(comp)
    seeds["vstpreset-offset-wraps"] = make_presets.vstpreset(
        [(b"Comp", comp), (b"Info", b"<x/>")],
        entries=[(b"Comp", 48, len(comp)), (b"Info", (1 << 64) - 16, end + 4 + 16)])
    seeds["vstpreset-size-wraps"] = make_presets.vstpreset(
        [(b"Comp", comp), (b"Info", b"<x/>")],
        entries=[(b"Comp", 48, len(comp)), (b"Info", end, (1 << 64) - end + 48),
                 (b"Info", 48, end + 4 - 48)])
    seeds["vstpreset-count-wraps"] = make_presets.vstpreset([(b"Comp", comp)], count=1 + (1 << 30))
    seeds["vstpreset-offset-2^63"] = make_presets.vstpreset(
        [(b"Comp", comp)], entries=[(b"Comp", 1 << 63, len(comp))], list_offset=(1 << 63) + 48)
    return seeds


def command_line_seeds():
    def arguments(*args):
        # One flag byte choosing the option check, then each argument behind a length byte.
        return b"\x01" + bytes([len(args)]) + b"".join(
            bytes([len(a)]) + a.encode() for a in args)
    return {
        "options": arguments("-rvv", "-e3", "-t1000205", "-pnew_", "x.fxp"),
        "errors": arguments("-e", "-x", "--", "-tv", "-p", "-o"),
        "paths": b"\x00" + struct.pack("<i", 259) + b"presets\\sub" + b"\x00205_x.fxp",
    }


def project_seeds():
    """Archives (first byte 0) and project.xml documents (first byte 1, in an archive of the
    target's own whose states are plugins/a.fxp to e.fxb); bits 1-2 of the first byte choose the
    target: none, 1000200, 1000203, 2000501."""
    targets = {0: 0, 1000200: 2, 1000203: 4, 2000501: 6}
    seeds = {}
    for fixture in make_presets.project_fixtures():
        if len(fixture["data"]) < 8192:
            target = bytes([targets[fixture["target"]]])
            seeds[f"archive-{fixture['name']}"] = target + fixture["data"]
    for name, style in (("stored", make_presets.STUDIO_ONE),
                        ("stored-zip64", make_presets.ZipStyle(False, False, False, True))):
        xml, states = make_presets.example_project()
        seeds[f"archive-{name}"] = b"\0" + make_presets.zip_archive(
            make_presets.project_entries(xml, states, audio=False), style)
    for name, variant in (("example", {}), ("quoting", {"quoting": True}),
                          ("shared", {"shared": True}), ("alias", {"alias": True})):
        xml = make_presets.example_project(**variant)[0]
        for old, new in ((b"Lead.fxp", b"a.fxp"), (b"Pad.fxp", b"b.fxp"), (b"Room.fxp", b"d.fxp")):
            xml = xml.replace(old, new)
        seeds[f"xml-{name}"] = b"\1" + xml
    return seeds


def editing_seeds():
    return {f"seed-{i}": bytes((i * 37 + j * 11) % 256 for j in range(64)) for i in range(8)}


def main(argv):
    if len(argv) != 2:
        sys.exit(f"usage: {argv[0]} OUTPUT_DIRECTORY")
    root = Path(argv[1])
    for target, seeds in (("preset_image", preset_image_seeds()),
                          ("command_line", command_line_seeds()),
                          ("editing", editing_seeds()),
                          ("project", project_seeds())):
        directory = root / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv)
