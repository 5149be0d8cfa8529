#!/usr/bin/env python3
"""The bulk benchmark: tunewright -r over generated preset trees, against cp -r of the same tree
and against a floor program that makes only the system calls the job cannot avoid.

For every tree size the three commands run interleaved, round by round (A B C, A B C, ...), each
on a fresh copy of the tree made beforehand and not timed. Reported: median, min and max wall
time, files per second, the ratios to the floor and to cp, and tunewright's peak resident
memory; then whether the targets hold.

Trees live on a RAM-backed file system (/dev/shm) where there is one: on a disk the kernel's
timings dominate and vary tenfold between runs.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run(launch, command, cwd=None):
    """(seconds, peak KiB) of one command run through the launcher."""
    output = subprocess.run([launch, *command], cwd=cwd, check=True, capture_output=True,
                            text=True).stdout.split()
    seconds, peak_kib, status = float(output[0]), int(output[1]), int(output[2])
    if status != 0:
        sys.exit(f"{command[0]} ended with status {status}")
    return seconds, peak_kib


def fresh_copy(pristine, work, copy, size):
    """A fresh copy of the tree, and no copy left by cp. The kernel frees removed files partly
    after the fact; a pause lets that work end before the next timed run, not during it."""
    for path in (work, copy):
        if path.exists():
            shutil.rmtree(path)
    subprocess.run(["cp", "-r", str(pristine), str(work)], check=True)
    os.sync()
    time.sleep(0.2 + size / 50000)


def measure(args, root, size):
    pristine = root / f"pristine-{size}"
    subprocess.run([sys.executable, str(HERE / "make_tree.py"), str(pristine), str(size)],
                   check=True)
    work, copy = root / "work", root / "copy"
    commands = {
        "tunewright -r": lambda: run(args.launch, [args.program, "-r", str(work)]),
        "cp -r": lambda: run(args.launch, ["cp", "-r", str(work), str(copy)]),
        "floor": lambda: run(args.launch, [args.floor, str(work)]),
    }
    times = {name: [] for name in commands}
    peaks = []
    for _ in range(args.rounds):
        for name, command in commands.items():
            fresh_copy(pristine, work, copy, size)
            seconds, peak = command()
            times[name].append(seconds)
            if name == "tunewright -r":
                peaks.append(peak)
    for path in (pristine, work, copy):
        if path.exists():
            shutil.rmtree(path)
    return times, peaks


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--launch", required=True)
    parser.add_argument("--sizes", default="1000,10000,20000,100000")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--root", help="the folder to make the trees in (default: /dev/shm, "
                        "RAM-backed, where there is one), such as a disk's, for its figures")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    base = Path(args.root) if args.root else (
        Path("/dev/shm") if os.access("/dev/shm", os.W_OK) else None)
    root = Path(tempfile.mkdtemp(prefix="tunewright-bench-", dir=base))
    ram = base is not None and str(base).startswith("/dev/shm")
    print(f"Trees in {root} ({'RAM-backed' if ram else 'not RAM-backed: expect noise'}), "
          f"{args.rounds} interleaved rounds, {os.cpu_count()} CPUs, {os.uname().release}")
    results = {}
    try:
        for size in sizes:
            results[size] = measure(args, root, size)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"\n{'files':>7}  {'command':<14}{'median s':>10}{'min s':>9}{'max s':>9}"
          f"{'files/s':>11}{'/floor':>8}{'/cp':>7}{'peak RSS':>11}")
    medians = {}
    for size, (times, peaks) in results.items():
        peak = max(peaks)
        median = {name: statistics.median(values) for name, values in times.items()}
        medians[size] = median
        for name, values in times.items():
            rss = f"{peak / 1024:.2f} MiB" if name == "tunewright -r" else ""
            print(f"{size:>7}  {name:<14}{median[name]:>10.4f}{min(values):>9.4f}"
                  f"{max(values):>9.4f}{size / median[name]:>11.0f}"
                  f"{median[name] / median['floor']:>8.2f}{median[name] / median['cp -r']:>7.2f}"
                  f"{rss:>11}")

    checks = []
    tw = "tunewright -r"
    if 20000 in medians:
        m = medians[20000]
        # Whole-file outputs (an unnamed file linked in place) cost a link the floor never makes.
        checks.append((f"20,000 files: {m[tw] / m['floor']:.2f} x the floor (at most 1.3)",
                       m[tw] <= 1.3 * m["floor"]))
        checks.append((f"20,000 files: {m[tw] / m['cp -r']:.2f} x cp -r (below 1)",
                       m[tw] < m["cp -r"]))
    if 10000 in medians and 100000 in medians:
        ratio = medians[100000][tw] / (10 * medians[10000][tw])
        floor_ratio = medians[100000]["floor"] / (10 * medians[10000]["floor"])
        checks.append((f"100,000 files take {ratio:.2f} x ten times 10,000 (within 15%; "
                       f"the floor itself: {floor_ratio:.2f})", abs(ratio - 1) <= 0.15))
    # The highest peak is held to the bound. Growth compares the middle peaks: with a second
    # thread the kernel counts resident pages per CPU and settles them late, so single readings
    # of the same run vary by a few hundred KiB either way.
    highest = max(max(peaks) for _, peaks in results.values())
    checks.append((f"peak RSS at most {highest / 1024:.2f} MiB (at most 4 MiB)", highest <= 4096))
    middle = {size: statistics.median(peaks) for size, (_, peaks) in results.items()}
    if 1000 in middle and 100000 in middle:
        growth = middle[100000] / middle[1000] - 1
        checks.append((f"median peak RSS at 100,000 files {growth:+.1%} of 1,000 (within 5%)",
                       abs(growth) <= 0.05))
    report(checks, args.strict)


def report(checks, strict):
    """Prints whether each target holds, and with strict ends with status 1 when one does not."""
    print()
    for text, held in checks:
        print(f"{'met   ' if held else 'MISSED'} {text}")
    if strict and not all(held for _, held in checks):
        sys.exit(1)


if __name__ == "__main__":
    main()
