#!/usr/bin/env python3
"""Runs the README's walkthrough, so that it cannot drift from what the program does.

Every ```console block is a transcript: a line beginning with "$ " is a command, run with bash in
a scratch directory holding a copy of examples/, with the program on PATH; the lines up to the
next command are its output (standard output and error together). Directories are read in the
order the file system keeps them, so output lines are compared in sorted order.

    readme_test.py --program build/release/tunewright
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PROGRAM = None


def transcripts(text):
    """(command, expected output lines) for every command of every console block."""
    steps = []
    for block in re.findall(r"```console\n(.*?)```", text, re.DOTALL):
        for line in block.splitlines():
            if line.startswith("$ "):
                steps.append((line[2:], []))
            else:
                steps[-1][1].append(line)
    return steps


class ReadmeWalkthrough(unittest.TestCase):
    maxDiff = None

    def test_every_console_block_runs_as_shown(self):
        steps = transcripts((ROOT / "README.md").read_text())
        self.assertGreater(len(steps), 5)
        scratch = Path(tempfile.mkdtemp(prefix="tunewright-readme-"))
        try:
            shutil.copytree(ROOT / "examples", scratch / "examples")
            environment = dict(os.environ, PATH=f"{Path(PROGRAM).parent}{os.pathsep}"
                                                f"{os.environ['PATH']}", LC_ALL="C")
            for command, expected in steps:
                with self.subTest(command=command):
                    completed = subprocess.run(["bash", "-c", command], cwd=scratch,
                                               env=environment, stdout=subprocess.PIPE,
                                               stderr=subprocess.STDOUT, text=True, timeout=30)
                    self.assertEqual(completed.returncode, 0, completed.stdout)
                    self.assertEqual(sorted(completed.stdout.splitlines()), sorted(expected))
        finally:
            shutil.rmtree(scratch)


def main():
    global PROGRAM
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    args, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(args.program)
    if Path(PROGRAM).name != "tunewright":
        sys.exit("the walkthrough names the program tunewright")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
