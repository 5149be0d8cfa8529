"""The presets the end-to-end cases convert, each with the bytes it must become, and the
program's dump of an image."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_presets  # noqa: E402

# One preset of each plug-in through the whole chain, worked out by hand from the layouts: the
# builder's worked example, which its projects hold too.
BRISKLET_V050 = make_presets.WORKED_V050
BRISKLET_V051 = make_presets.WORKED_V051
TAVLORA_V012 = make_presets.WORKED_V012
TAVLORA_V020 = make_presets.WORKED_V020
TAVLORA_V023 = make_presets.WORKED_V023
TAVLORA_V025 = make_presets.WORKED_V025


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
