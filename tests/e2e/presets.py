"""The presets the end-to-end cases convert, each with the bytes it must become, and the
program's dump of an image."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_presets  # noqa: E402

BRISKLET_V050 = make_presets.preset(2000500, [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], b"Room", 500)
BRISKLET_V051 = make_presets.preset(2000501, [0.1, 0.2, 1.0, 0.3, 0.4, 0.5, 0.6, 1.0], b"Room",
                                    500)


def tavlora(format_id, non_zero):
    """A Tavlora preset of the worked example: every parameter 0.0 but those given, as floats
    or as 32-bit patterns."""
    count = make_presets.LAYOUTS[format_id][1]
    params = [0.0] * count
    for index, value in non_zero.items():
        params[index] = make_presets.bits_word(value) if isinstance(value, int) else value
    fx_id = make_presets.LAYOUTS[format_id][0]
    return make_presets.image(fx_id, params, b"Worked example", 102)


# One preset through the whole chain, worked out by hand from the layouts.
TAVLORA_V012 = tavlora(1000102, {0: 0.25, 11: 0.95, 15: 0.75, 23: 0.5, 49: 0.6})
TAVLORA_V020 = tavlora(1000200, {0: 0.25, 12: 0.95, 16: 0.75, 24: 0.5, 51: 0.6,
                                 52: 0x40000000})
TAVLORA_V023 = tavlora(1000203, {0: 0x3F0000CB, 1: 0x3E924925, 2: 0.25, 14: 0x3F6DB6DB,
                                 16: 0x3D924925, 18: 0x3F492492, 26: 0x3ED55555,
                                 40: 0x3D924925, 42: 0x3D924925, 44: 0x3D924925,
                                 52: 0x3DAAAAAB, 53: 0.6})
TAVLORA_V025 = tavlora(1000205, {0: 0x3F0000CD, 1: 0x3E924925, 2: 0.25, 14: 0x3F700000,
                                 16: 0x3D800000, 18: 0x3F300000, 26: 0x3ED55555,
                                 40: 0x3D800000, 42: 0x3D800000, 44: 0x3D800000,
                                 52: 0x3DAAAAAB, 53: 0.6})


def dump(data):
    """The program's hexadecimal dump of an image."""
    lines, line = [], ""
    for i, byte in enumerate(data):
        line += f"{byte:02x}"
        count = i + 1
        if count % 16 == 0:
            lines.append(f"{line}  {count:x}")
            line = ""
        elif count % 4 == 0:
            line += " "
    lines.append(line)
    return "".join(f"{text}\n" for text in lines)


def bank(programs, **header):
    return make_presets.bank(programs, **header)


def named(program, name):
    """The program under another name, so that records of a bank differ."""
    return program[:28] + name.ljust(28, b"\0") + program[56:]
