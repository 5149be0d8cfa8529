#!/usr/bin/env python3
"""The projects' benchmark: tunewright on a large .dawproject (the example song with a stretch of
stored audio, 2 GiB by default) against cp of the same file, interleaved round by round, on a
RAM-backed file system. Reported: median, min and max wall time of each, their ratio, and
tunewright's peak resident memory against the size of the project's inflated project.xml; then
whether the targets hold (at most 1.2 times cp; under 32 MiB plus project.xml).
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import make_presets  # noqa: E402

from run_bench import report, run  # noqa: E402


def write_project(path, audio_bytes):
    """The example song with an audio entry of audio_bytes, stored as Studio One stores entries,
    written a piece at a time: the benchmark never holds the audio in memory either."""
    xml, states = make_presets.example_project()
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("metadata.xml", "<MetaData><Title>Song</Title></MetaData>\n")
        archive.writestr("project.xml", xml)
        for name, state in states:
            archive.writestr(name, state)
        piece = bytes(range(256)) * 4096
        info = zipfile.ZipInfo("audio/take.wav")
        info.compress_type = zipfile.ZIP_STORED
        info.file_size = audio_bytes
        with archive.open(info, "w", force_zip64=audio_bytes >= 0xFFFFFFFF) as audio:
            for _ in range(audio_bytes // len(piece)):
                audio.write(piece)
            audio.write(piece[:audio_bytes % len(piece)])
    return len(xml)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--launch", required=True)
    parser.add_argument("--gib", type=float, default=2.0, help="the audio in GiB")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--root", help="the folder to work in (default: /dev/shm)")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()

    base = Path(args.root) if args.root else (
        Path("/dev/shm") if os.access("/dev/shm", os.W_OK) else None)
    root = Path(tempfile.mkdtemp(prefix="tunewright-project-bench-", dir=base))
    try:
        project = root / "song.dawproject"
        xml_size = write_project(project, int(args.gib * (1 << 30)))
        size = project.stat().st_size
        print(f"{project}: {size / (1 << 30):.2f} GiB, project.xml {xml_size} bytes, "
              f"{args.rounds} interleaved rounds, {os.cpu_count()} CPUs, {os.uname().release}")
        output, copy = root / "205_song.dawproject", root / "copy.dawproject"
        commands = {
            "tunewright": lambda: run(args.launch, [args.program, str(project)]),
            "cp": lambda: run(args.launch, ["cp", str(project), str(copy)]),
        }
        times = {name: [] for name in commands}
        peaks = []
        for _ in range(args.rounds):
            for name, command in commands.items():
                for path in (output, copy):
                    path.unlink(missing_ok=True)
                os.sync()
                seconds, peak = command()
                times[name].append(seconds)
                if name == "tunewright":
                    peaks.append(peak)
                    if not output.exists():
                        sys.exit("tunewright wrote no upgraded project")
    finally:
        shutil.rmtree(root, ignore_errors=True)

    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, values in times.items():
        print(f"{name:<11}{medians[name]:>9.3f} s  (min {min(values):.3f}, max {max(values):.3f})")
    ratio = medians["tunewright"] / medians["cp"]
    peak_mib = max(peaks) / 1024
    budget = 32 + xml_size / (1 << 20)
    checks = [(f"{ratio:.2f} x cp (at most 1.2)", ratio <= 1.2),
              (f"peak RSS {peak_mib:.2f} MiB (under {budget:.2f}: 32 MiB and project.xml)",
               peak_mib < budget)]
    report(checks, args.strict)


if __name__ == "__main__":
    main()
