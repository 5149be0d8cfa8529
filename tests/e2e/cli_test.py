#!/usr/bin/env python3
"""End-to-end tests: run the real tunewright program, natively or under an emulator (wine for
the Windows build), each case in a scratch directory of its own, and check the exit status,
the exact output and every file left on disk.

    cli_test.py --program build/release/tunewright [--exec-prefix wine] [--cases quick|long]
                [--keep] [unittest options]

--cases long runs only the slow cases (many files, repeated rounds), quick all the others;
--keep leaves the scratch directory of a case that fails, and names it.
"""

import argparse
import atexit
import functools
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_presets  # noqa: E402

PROGRAM = None
EXEC_PREFIX = []
# A Windows build: text-mode output ends lines with CRLF, and POSIX-only cases are skipped.
WINDOWS_BUILD = False
# Whether a failed case's scratch directory stays for a look.
KEEP = False

USAGE = """Usage: tunewright [OPTION]... [FILE]...

-?            Print this help message and exit.

--help        Print this help message and exit.

--version     Print the program's version and exit.

-eERRORLEVEL  Abort on errors with severity >= the specified level.

-f            Replace output files that already exist.

-l            Print a list of available converters and exit.

-n            Don't write updated presets back to file. Useful for testing.

-o            Overwrite old preset files with successfully updated presets.

-pPREFIX      Use this prefix for updated presets instead of the default.

-r            Scan subdirectories recursively and update presets within them.

-tFORMAT      Convert presets to the specified format.

-v            Be verbose. Be even more verbose if this option is repeated.

FILE          A preset to convert or a directory to scan for presets.
"""

CONVERTER_LIST = """Tavlora v0.1.2 (1000102) -> Tavlora v0.2 (1000200)
Tavlora v0.2 (1000200) -> Tavlora v0.2.3 (1000203)
Tavlora v0.2.3 (1000203) -> Tavlora v0.2.5 (1000205)
Brisklet v0.5 (2000500) -> Brisklet v0.5.1 (2000501)
"""

# The version the build describes itself with, from the project's own definition.
PROJECT_VERSION = re.search(
    r"project\(tunewright\s+VERSION\s+([0-9.]+)",
    (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()).group(1)

BRISKLET_V050 = make_presets.preset(2000500, [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], b"Room", 500)
BRISKLET_V051 = make_presets.preset(2000501, [0.1, 0.2, 1.0, 0.3, 0.4, 0.5, 0.6, 1.0], b"Room",
                                    500)

def long_case(test):
    """For the slow cases: many files, or rounds of runs. --cases picks them or the others."""
    test.long_case = True
    return test


def posix_build_only(test):
    """For cases that need POSIX file system features (FIFOs, symbolic links, limits)."""
    @functools.wraps(test)
    def run_if_posix_build(self, *args, **kwargs):
        if WINDOWS_BUILD or os.name != "posix":
            self.skipTest("POSIX build only")
        return test(self, *args, **kwargs)
    return run_if_posix_build


def host_links(test):
    """For cases that set things up from a POSIX host, which the Windows build under wine meets
    too: symbolic links, which wine shows it as Windows links, or strace holding the program."""
    @functools.wraps(test)
    def run_if_host_links(self, *args, **kwargs):
        if os.name != "posix":
            self.skipTest("symbolic links made on a POSIX host")
        return test(self, *args, **kwargs)
    return run_if_host_links


def windows_build_only(test):
    @functools.wraps(test)
    def run_if_windows_build(self, *args, **kwargs):
        if not WINDOWS_BUILD:
            self.skipTest("Windows build only")
        return test(self, *args, **kwargs)
    return run_if_windows_build


class Result:
    def __init__(self, status, out, err):
        self.status = status
        self.out = out
        self.err = err

    def __repr__(self):
        return f"status {self.status}\n--- stdout\n{self.out}--- stderr\n{self.err}"


def decode(stream):
    text = stream.decode("utf-8", errors="surrogateescape")
    if WINDOWS_BUILD:
        text = text.replace("\r\n", "\n")
    return text


def finish(process, timeout):
    """Waits for the process and returns what it wrote to pipes; ends it, as subprocess.run
    does, when it takes longer than timeout."""
    try:
        return process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        raise


def remove_scratch(directory):
    directory.chmod(0o755)
    for root, dirs, _ in os.walk(directory):
        for d in dirs:  # let rmtree into directories a test made unreadable
            path = Path(root, d)
            if not path.is_symlink():
                path.chmod(0o755)
    shutil.rmtree(directory)


class CliTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="tunewright-e2e-"))
        if not KEEP:  # else KeepingResult decides, once it knows whether the case failed
            self.addCleanup(remove_scratch, self.dir)

    # --- running the program

    def start(self, *args, wrapper=(), stdin=subprocess.DEVNULL, env=None, **popen):
        """Starts the program, through wrapper (strace, say) and the exec prefix, in the scratch
        directory: the one way every case runs it. env is added to the environment."""
        if env is not None:
            env = dict(os.environ, **env)
        return subprocess.Popen([*wrapper, *EXEC_PREFIX, PROGRAM, *args], cwd=self.dir,
                                stdin=stdin, env=env, **popen)

    def run_tool(self, *args, timeout=60, **popen):
        if not EXEC_PREFIX:
            with self.start(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            **popen) as process:
                out, err = finish(process, timeout)
            return Result(process.returncode, decode(out), decode(err))
        # Under an emulator output goes through files, not pipes: a wine server started by the
        # run inherits the program's streams and would hold a pipe open long after it ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            with self.start(*args, stdout=out, stderr=err, **popen) as process:
                finish(process, timeout)
            out.seek(0)
            err.seek(0)
            return Result(process.returncode, decode(out.read()), decode(err.read()))

    def start_tool(self, *args, **popen):
        """Starts the program for a case that acts while it runs; finish() waits for it and
        returns its Result."""
        test = self

        class Running:
            def __init__(self):
                self.out, self.err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
                self.process = test.start(*args, stdout=self.out, stderr=self.err, **popen)

            def finish(self, timeout=120):
                finish(self.process, timeout)
                streams = []
                for stream in (self.out, self.err):
                    stream.seek(0)
                    streams.append(decode(stream.read()))
                    stream.close()
                return Result(self.process.returncode, *streams)

        return Running()

    def wait_for_temporary(self, folder=".", timeout=30):
        """Waits until a temporary file of the program's shows in the folder."""
        deadline = time.monotonic() + timeout
        while not any(name.startswith(".tunewright-") for name in os.listdir(self.dir / folder)):
            self.assertLess(time.monotonic(), deadline, "no temporary file appeared")
            time.sleep(0.005)

    def assertRun(self, args, status=0, out="", err="", **kwargs):
        """Runs the program and checks its status and output; out=None leaves stdout to the
        caller."""
        result = self.run_tool(*args, **kwargs)
        self.assertEqual((result.status, result.out if out is not None else None, result.err),
                         (status, out, err), result)
        return result

    # --- files

    def write(self, name, data):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def read(self, name):
        return (self.dir / name).read_bytes()

    def long_directory(self, length):
        """A directory below the scratch directory whose relative path has length characters."""
        parts, remaining = [], length
        filler = "de"[len(list(self.dir.iterdir())) % 2]
        while remaining > 0:
            part = min(remaining, 100)
            if remaining - part == 1:  # leave room for a separator and at least one character
                part -= 2
            parts.append(filler * part)
            remaining -= part + 1
        path = "/".join(parts)
        assert len(path) == length, (len(path), length)
        (self.dir / path).mkdir(parents=True)
        return path

    def tree(self):
        """Every entry below the scratch directory: file bytes, or a marker for the rest."""
        snapshot = {}
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                path = Path(root, name)
                relative = path.relative_to(self.dir).as_posix()
                mode = path.lstat().st_mode
                if stat.S_ISREG(mode):
                    snapshot[relative] = path.read_bytes()
                else:
                    snapshot[relative] = f"<{stat.filemode(mode)[0]}>"
        return snapshot


class Options(CliTest):
    def test_usage_and_list(self):
        for args in (["-h"], ["-?"], ["--help"], ["-h", "missing.fxp"],
                     ["-e9", "-?", "-r", "-pX", "-o"]):
            with self.subTest(args=args):
                self.assertRun(args, out=USAGE)
        self.assertRun(["-l"], out=CONVERTER_LIST)
        self.assertRun(["-h", "-l"], out=USAGE + CONVERTER_LIST)
        self.assertRun(["-lh", "missing.fxp"], out=USAGE + CONVERTER_LIST)
        self.assertRun(["--version", "missing.fxp"], out=f"tunewright {PROJECT_VERSION}\n")

    def test_option_errors(self):
        cases = [
            (["--"], 1, "Error 3: Unrecognized option '--'.\n"),
            (["-h", "-x"], 1, "Error 3: Unrecognized option '-x'.\n"),
            (["-e", "3"], 1, "Error 3: Invalid error level ''.\n"),
            (["-p"], 1, "Error 3: '-p' option requires nonempty parameter.\n"),
            (["-tv"], 1, "Error 3: Invalid target format 'v'.\n"),
            (["-t1000102"], 1, "Error 3: Invalid target format '1000102'.\n"),
            (["-t-1"], 1, "Error 3: Invalid target format '-1'.\n"),
            (["-t99999999999"], 1, "Error 3: Invalid target format '99999999999'.\n"),
            (["-e9", "-eZ", "-x"], 1,
             "Error 3: Invalid error level 'Z'.\nError 3: Unrecognized option '-x'.\n"),
            (["-pX", "-o"], 2, "Error 3: Prefix and overwrite options combined.\n"),
            (["-e3", "-pX", "-o"], 2, "Error 3: Prefix and overwrite options combined.\n"),
            (["-e4", "-pX", "-o"], 0, "Error 3: Prefix and overwrite options combined.\n"),
            (["-e5", "-x", "-p", "-tv"], 0,
             "Error 3: Unrecognized option '-x'.\n"
             "Error 3: '-p' option requires nonempty parameter.\n"
             "Error 3: Invalid target format 'v'.\n"),
        ]
        for args, status, err in cases:
            with self.subTest(args=args):
                self.assertRun(args, status=status, err=err)


class PathWalk(CliTest):
    GARBAGE = b"not a preset\n"

    def test_no_argument_scans_the_current_directory(self):
        self.write("x.fxp", self.GARBAGE)
        self.write("sub/y.fxp", self.GARBAGE)
        self.assertRun(["-v"], out="Searching directory: .\n",
                       err="Error 1: Unrecognized source format: .\\x.fxp\n")
        self.assertRun(["-v", "-"], out="Searching directory: .\n",
                       err="Error 1: Unrecognized source format: .\\x.fxp\n")
        self.assertRun(["-e1"], status=3, err="Error 1: Unrecognized source format: .\\x.fxp\n")

    def test_recursion_only_with_r(self):
        self.write("d/a.fxp", self.GARBAGE)
        self.write("d/sub/deeper/b.FXP", self.GARBAGE)
        self.write("d/sub/c.Fxp", self.GARBAGE)
        self.assertRun(["-v", "d"], out="Searching directory: d\n",
                       err="Error 1: Unrecognized source format: d\\a.fxp\n")
        result = self.run_tool("-rv", "d")
        self.assertEqual(result.status, 0)
        self.assertEqual(sorted(result.out.splitlines()),
                         ["Searching directory: d", "Searching directory: d\\sub",
                          "Searching directory: d\\sub\\deeper"])
        self.assertEqual(sorted(result.err.splitlines()),
                         ["Error 1: Unrecognized source format: d\\a.fxp",
                          "Error 1: Unrecognized source format: d\\sub\\deeper\\b.FXP"])

    def test_what_is_neither_preset_nor_directory_is_passed_over(self):
        self.write("A.Fxp", self.GARBAGE)
        self.write("notes.txt", self.GARBAGE)
        self.assertRun(["-vv", "A.Fxp", "notes.txt", "missing.txt"])

    def test_a_preset_name_goes_to_the_file_job_whatever_it_is(self):
        (self.dir / "old.fxp").mkdir()
        self.assertRun(["old.fxp"], status=3, err="Error 2: Failed to open input file: old.fxp\n")
        self.assertRun(["missing.fxp"], status=3,
                       err="Error 2: Failed to open input file: missing.fxp\n")
        self.assertRun(["-e3", "old.fxp", "missing.fxp"],
                       err="Error 2: Failed to open input file: old.fxp\n"
                           "Error 2: Failed to open input file: missing.fxp\n")

    def test_a_stop_leaves_the_remaining_arguments_alone(self):
        self.write("a.fxp", self.GARBAGE)
        self.write("c.fxp", self.GARBAGE)
        self.assertRun(["-vv", "a.fxp", "b.fxp", "c.fxp"], status=3,
                       out="Loading data file: a.fxp\nLoading data file: b.fxp\n",
                       err="Error 1: Unrecognized source format: a.fxp\n"
                           "Error 2: Failed to open input file: b.fxp\n")
        self.assertRun(["-e1", "a.fxp", "c.fxp"], status=3,
                       err="Error 1: Unrecognized source format: a.fxp\n")

    def test_dumps_at_verbosity_three(self):
        self.write("g.fxp", bytes(range(20)))
        self.assertRun(["-vvv", "g.fxp"],
                       out="Loading data file: g.fxp\n"
                           "00010203 04050607 08090a0b 0c0d0e0f  10\n10111213 \n",
                       err="Error 1: Unrecognized source format: g.fxp\n")
        self.write("empty.fxp", b"")
        self.assertRun(["-vvvv", "empty.fxp"], out="Loading data file: empty.fxp\n\n",
                       err="Error 1: Unrecognized source format: empty.fxp\n")

    def test_directory_path_limits(self):
        # A search pattern (directory, backslash, "*") may have 259 characters.
        fits = self.long_directory(257)
        too_long = self.long_directory(258)
        # Listed, but its entry ".." makes a path of 260 characters.
        self.assertRun(["-v", "-e3", fits], out=f"Searching directory: {fits}\n",
                       err="Error 2: Couldn't make file path: ..\n")
        shorter = self.long_directory(256)
        self.assertRun(["-v", shorter], out=f"Searching directory: {shorter}\n")
        self.assertRun(["-v", too_long], status=3, out=f"Searching directory: {too_long}\n",
                       err=f"Error 2: Couldn't make directory path: {too_long}\n")
        self.assertRun(["-e3", too_long], err=f"Error 2: Couldn't make directory path: {too_long}\n")

    def test_entry_path_limits(self):
        # An entry path (directory, backslash, name) may have 259 characters.
        directory = self.long_directory(200)
        self.write(f"{directory}/{'a' * 54}.fxp", self.GARBAGE)  # 259 characters
        self.write(f"{directory}/{'b' * 55}.fxp", self.GARBAGE)  # 260 characters
        result = self.run_tool("-e3", directory)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(sorted(result.err.splitlines()), [
            f"Error 1: Unrecognized source format: {directory}\\{'a' * 54}.fxp",
            f"Error 2: Couldn't make file path: {'b' * 55}.fxp"])
        result = self.run_tool(directory)
        self.assertEqual(result.status, 3, result)
        self.assertIn(f"Error 2: Couldn't make file path: {'b' * 55}.fxp\n", result.err)

    @posix_build_only
    def test_fifos_and_devices_are_refused_at_once(self):
        os.mkfifo(self.dir / "pipe.fxp")
        os.symlink("/dev/zero", self.dir / "zero.fxp")
        # A writer waiting for the FIFO's reader is not released: the FIFO is never opened.
        writer = subprocess.Popen(["sh", "-c", "echo x > pipe.fxp"], cwd=self.dir)
        self.addCleanup(writer.wait)
        self.addCleanup(writer.kill)
        time.sleep(0.2)  # for the writer to reach its open
        result = self.run_tool("-e3", "pipe.fxp", "zero.fxp", timeout=10)
        self.assertEqual((result.status, result.err),
                         (0, "Error 2: Failed to open input file: pipe.fxp\n"
                             "Error 2: Failed to open input file: zero.fxp\n"))
        self.assertIsNone(writer.poll())

    @posix_build_only
    def test_an_unreadable_directory_does_not_stop_a_recursive_scan(self):
        self.dir.chmod(0o777)
        self.write("d/b/room.fxp", BRISKLET_V050)
        (self.dir / "d/a").mkdir()
        for folder, mode in (("d", 0o777), ("d/b", 0o777), ("d/a", 0)):
            (self.dir / folder).chmod(mode)
        result = self.run_tool("-rv", "d", preexec_fn=ordinary_user())
        self.assertEqual((result.status, result.err, sorted(result.out.splitlines())),
                         (0, "Error 1: Couldn't read directory: d\\a\n",
                          ["Converting data file: d\\b\\room.fxp", "Searching directory: d",
                           "Searching directory: d\\a", "Searching directory: d\\b"]))
        self.assertRun(["-e1", "d\\a"], status=3, preexec_fn=ordinary_user(),
                       err="Error 1: Couldn't read directory: d\\a\n")
        self.assertEqual(self.read("d/b/501_room.fxp"), BRISKLET_V051)

    @posix_build_only
    def test_a_long_scan_keeps_few_files_open(self):
        import resource
        for i in range(40):
            self.write(f"lib/{i}/room.fxp", BRISKLET_V050)
        self.assertRun(["-r", "lib"],
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24)))
        for i in range(40):
            self.assertEqual(self.read(f"lib/{i}/501_room.fxp"), BRISKLET_V051, i)

    def test_both_streams_in_one_file_keep_the_order_of_the_lines(self):
        self.write("a.fxp", self.GARBAGE)
        self.write("b.fxp", self.GARBAGE)
        with tempfile.TemporaryFile() as both:
            with self.start("-vv", "-e3", "a.fxp", "b.fxp", stdout=both, stderr=both) as process:
                finish(process, 60)
            both.seek(0)
            self.assertEqual(decode(both.read()).splitlines(), [
                "Loading data file: a.fxp", "Error 1: Unrecognized source format: a.fxp",
                "Loading data file: b.fxp", "Error 1: Unrecognized source format: b.fxp"])

    @host_links
    def test_links_to_directories_are_not_entered_by_a_recursive_scan(self):
        self.write("d/a.fxp", self.GARBAGE)
        os.symlink("..", self.dir / "d" / "loop")
        os.symlink("d", self.dir / "named")
        result = self.run_tool("-rv", "named", timeout=10)
        self.assertEqual((result.status, result.out, result.err),
                         (0, "Searching directory: named\n",
                          "Error 1: Unrecognized source format: named\\a.fxp\n"))

    @windows_build_only
    def test_the_run_time_expands_wildcards(self):
        self.write("a.fxp", self.GARBAGE)
        self.write("b.fxp", self.GARBAGE)
        self.write("c.txt", self.GARBAGE)
        result = self.run_tool("-vv", "*.fxp")
        self.assertEqual(sorted(result.out.splitlines()),
                         ["Loading data file: a.fxp", "Loading data file: b.fxp"])


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


def no_room_to_write():
    """Makes every write of the child fail as on a full disk: a file-size limit of zero, with
    the signal it would raise ignored."""
    import resource
    import signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))


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


class BriskletConversion(CliTest):
    def test_writes_the_upgrade_beside_the_preset(self):
        self.write("room.fxp", BRISKLET_V050)
        self.assertRun(["room.fxp"])
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050, "501_room.fxp": BRISKLET_V051})
        # Again: the output holds the very bytes, so nothing is written, and the output itself,
        # already 0.5.1, is not recognised.
        self.assertRun([], err="Error 1: Unrecognized source format: .\\501_room.fxp\n")
        # An output with other content is someone's file: left alone, also in a dry run, unless
        # -f says to replace it.
        self.write("501_room.fxp", b"edited")
        for options in (["room.fxp"], ["-n", "room.fxp"]):
            self.assertRun(options, status=3, err="Error 2: Output file exists: 501_room.fxp\n")
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050, "501_room.fxp": b"edited"})
        self.assertRun(["-f", "room.fxp"])
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050, "501_room.fxp": BRISKLET_V051})
        self.assertRun(["-v", "-t2000501", "501_room.fxp"], status=0,
                       err="Error 1: Unrecognized source format: 501_room.fxp\n")

    def test_scan_with_and_without_r(self):
        self.write("d/a.fxp", BRISKLET_V050)
        self.write("d/sub/b.FXP", BRISKLET_V050)
        self.assertRun(["-t2000501", "d"])
        self.assertEqual(set(self.tree()), {"d", "d/a.fxp", "d/501_a.fxp", "d/sub", "d/sub/b.FXP"})
        result = self.run_tool("-rv", "d")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(sorted(result.out.splitlines()), [
            "Converting data file: d\\a.fxp", "Converting data file: d\\sub\\b.FXP",
            "Searching directory: d", "Searching directory: d\\sub"])
        # The output of the first run is not recognised; one written during this scan may be
        # listed later in the same scan, depending on the file system.
        errors = set(result.err.splitlines())
        self.assertIn("Error 1: Unrecognized source format: d\\501_a.fxp", errors)
        self.assertLessEqual(errors, {"Error 1: Unrecognized source format: d\\501_a.fxp",
                                      "Error 1: Unrecognized source format: d\\sub\\501_b.FXP"})
        self.assertEqual(self.read("d/sub/501_b.FXP"), BRISKLET_V051)

    def test_overwrite_prefix_and_dry_run(self):
        self.write("room.fxp", BRISKLET_V050)
        self.assertRun(["-n", "-v", "room.fxp"], out="Converting data file: room.fxp\n")
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050})
        self.assertRun(["-pnew_", "room.fxp"])
        self.assertEqual(self.read("new_room.fxp"), BRISKLET_V051)
        self.assertRun(["-o", "room.fxp"])
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V051, "new_room.fxp": BRISKLET_V051})

    def test_overwrite_wins_over_a_tolerated_prefix(self):
        self.write("room.fxp", BRISKLET_V050)
        self.assertRun(["-e4", "-pX", "-o", "room.fxp"],
                       err="Error 3: Prefix and overwrite options combined.\n")
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V051})

    def test_a_prefix_may_name_a_directory_that_must_exist(self):
        self.write("d/room.fxp", BRISKLET_V050)
        self.assertRun(["-pnew/", "d/room.fxp"], status=3,
                       err="Error 2: Failed to open output file: d/new/room.fxp\n")
        (self.dir / "d" / "new").mkdir()
        self.assertRun(["-pnew/", "d/room.fxp"])
        self.assertEqual(self.read("d/new/room.fxp"), BRISKLET_V051)

    def test_progress_lines_and_dumps(self):
        self.write("room.fxp", BRISKLET_V050)
        step = "Brisklet v0.5 -> Brisklet v0.5.1\n"
        cases = [
            ("-v", "Converting data file: room.fxp\n"),
            ("-vv", "Loading data file: room.fxp\n" + step),
            ("-vvv", "Loading data file: room.fxp\n" + dump(BRISKLET_V050) + step +
             dump(BRISKLET_V051)),
            ("-vvvv", "Loading data file: room.fxp\n" + dump(BRISKLET_V050) + step +
             dump(BRISKLET_V051)),
        ]
        for option, out in cases:
            with self.subTest(option=option):
                self.assertRun([option, "-n", "room.fxp"], out=out)

    def test_near_misses_are_not_recognised_and_nothing_is_written(self):
        little_endian = bytearray(BRISKLET_V050)
        little_endian[4:8] = little_endian[4:8][::-1]
        little_endian[24:28] = little_endian[24:28][::-1]
        near_misses = {
            "short.fxp": BRISKLET_V050[:-1],
            "long.fxp": BRISKLET_V050 + b"\0",
            "other.fxp": BRISKLET_V050[:16] + b"Bskm" + BRISKLET_V050[20:],
            "little.fxp": bytes(little_endian),
            "newer.fxp": BRISKLET_V051,
        }
        for name, data in near_misses.items():
            self.write(name, data)
        before = self.tree()
        for name in near_misses:
            with self.subTest(name=name):
                self.assertRun([name], err=f"Error 1: Unrecognized source format: {name}\n")
        self.assertEqual(self.tree(), before)

    def test_an_output_path_that_is_a_directory_is_left_alone(self):
        self.write("room.fxp", BRISKLET_V050)
        (self.dir / "501_room.fxp").mkdir()
        self.assertRun(["room.fxp"], status=3,
                       err="Error 2: Failed to open output file: 501_room.fxp\n")
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050, "501_room.fxp": "<d>"})

    def test_output_path_limit_applies_even_to_a_dry_run(self):
        directory = self.long_directory(240)
        name = f"{directory}/{'r' * 11}.fxp"  # 256 characters: no room for "501_"
        self.write(name, BRISKLET_V050)
        windows_name = name.replace("/", "\\")
        result = self.run_tool("-rn", directory)
        self.assertEqual((result.status, result.err),
                         (3, f"Error 2: Couldn't make output path: {directory}\\{'r' * 11}.fxp\n"))
        self.assertEqual(windows_name.count("\\"), directory.count("/") + 1)

    @posix_build_only
    def test_a_failed_write_never_damages_a_file(self):
        self.write("room.fxp", BRISKLET_V050)
        self.write("hall.fxp", BRISKLET_V050)
        before = self.tree()
        self.assertRun(["room.fxp", "hall.fxp"], status=3, preexec_fn=no_room_to_write,
                       err="Error 2: Failed to write output file: 501_room.fxp\n")
        self.assertEqual(self.tree(), before)
        self.assertRun(["-o", "room.fxp"], status=3, preexec_fn=no_room_to_write,
                       err="Error 2: Failed to write output file: room.fxp\n")
        self.assertEqual(self.tree(), before)
        self.assertRun(["-e3", "-o", "room.fxp", "hall.fxp"], preexec_fn=no_room_to_write,
                       err="Error 2: Failed to write output file: room.fxp\n"
                           "Error 2: Failed to write output file: hall.fxp\n")
        self.assertEqual(self.tree(), before)


class TavloraConversion(CliTest):
    def test_every_old_version_reaches_the_newest(self):
        self.write("v012.fxp", TAVLORA_V012)
        self.write("v020.fxp", TAVLORA_V020)
        self.write("v023.fxp", TAVLORA_V023)
        self.assertRun(["v012.fxp", "v020.fxp", "v023.fxp"])
        for name in ("205_v012.fxp", "205_v020.fxp", "205_v023.fxp"):
            self.assertEqual(self.read(name), TAVLORA_V025, name)

    def test_an_exact_target_stops_on_the_way(self):
        self.write("v012.fxp", TAVLORA_V012)
        self.assertRun(["-t1000200", "v012.fxp"])
        self.assertRun(["-t1000203", "v012.fxp"])
        self.assertEqual(self.tree(), {"v012.fxp": TAVLORA_V012, "200_v012.fxp": TAVLORA_V020,
                                       "203_v012.fxp": TAVLORA_V023})
        # Finishing the upgrade in a second run gives the bytes of one run all the way.
        self.assertRun(["203_v012.fxp"])
        self.assertEqual(self.read("205_203_v012.fxp"), TAVLORA_V025)

    def test_a_preset_already_at_the_target_is_skipped_quietly(self):
        self.write("v020.fxp", TAVLORA_V020)
        self.assertRun(["-vv", "-t1000200", "v020.fxp"], out="Loading data file: v020.fxp\n")
        self.assertRun(["-vvv", "-t1000200", "v020.fxp"],
                       out="Loading data file: v020.fxp\n" + dump(TAVLORA_V020))
        self.assertEqual(self.tree(), {"v020.fxp": TAVLORA_V020})

    def test_an_unreachable_target_is_reported(self):
        self.write("v023.fxp", TAVLORA_V023)
        self.write("room.fxp", BRISKLET_V050)
        self.assertRun(["-t1000200", "v023.fxp", "room.fxp"],
                       err="Error 1: Couldn't make converter chain: v023.fxp\n"
                           "Error 1: Couldn't make converter chain: room.fxp\n")
        self.assertRun(["-e1", "-t2000501", "v023.fxp", "room.fxp"], status=3,
                       err="Error 1: Couldn't make converter chain: v023.fxp\n")
        self.assertEqual(set(self.tree()), {"v023.fxp", "room.fxp"})

    def test_the_newest_version_is_not_recognised(self):
        self.write("v025.fxp", TAVLORA_V025)
        self.assertRun(["v025.fxp"], err="Error 1: Unrecognized source format: v025.fxp\n")

    def test_progress_lines_for_each_step(self):
        self.write("v012.fxp", TAVLORA_V012)
        steps = ["Tavlora v0.1.2 -> Tavlora v0.2\n", "Tavlora v0.2 -> Tavlora v0.2.3\n",
                 "Tavlora v0.2.3 -> Tavlora v0.2.5\n"]
        images = [TAVLORA_V020, TAVLORA_V023, TAVLORA_V025]
        load = "Loading data file: v012.fxp\n"
        self.assertRun(["-v", "-n", "v012.fxp"], out="Converting data file: v012.fxp\n")
        self.assertRun(["-vv", "-n", "v012.fxp"], out=load + "".join(steps))
        self.assertRun(["-vvv", "-n", "v012.fxp"],
                       out=load + dump(TAVLORA_V012) + "".join(steps) + dump(TAVLORA_V025))
        self.assertRun(["-vvvv", "-n", "v012.fxp"],
                       out=load + dump(TAVLORA_V012) +
                       "".join(step + dump(image) for step, image in zip(steps, images)))
        self.assertEqual(self.tree(), {"v012.fxp": TAVLORA_V012})


class HostileInput(CliTest):
    """Damaged files, non-files and awkward names: never a crash, a hang or a changed file."""

    @long_case
    def test_garbage_of_every_length_is_refused_and_left_alone(self):
        import random
        generator = random.Random(5)
        for size in range(0, 2048):
            self.write(f"junk/{size:04}.fxp", bytes(generator.randrange(256) for _ in range(size)))
        before = self.tree()
        result = self.run_tool("-e3", "junk")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(sorted(result.err.splitlines()),
                         [f"Error 1: Unrecognized source format: junk\\{size:04}.fxp"
                          for size in range(0, 2048)])
        self.assertEqual(self.tree(), before)

    def test_a_huge_sparse_file_is_read_only_as_far_as_a_preset_can_reach(self):
        with open(self.dir / "x.fxp", "wb") as huge:
            huge.write(BRISKLET_V050)
            huge.truncate(1 << 30)
        self.assertRun(["x.fxp"], timeout=30, err="Error 1: Unrecognized source format: x.fxp\n")
        self.assertEqual(os.path.getsize(self.dir / "x.fxp"), 1 << 30)
        self.assertEqual(os.listdir(self.dir), ["x.fxp"])

    def test_a_path_longer_than_the_system_allows(self):
        name = "d" * 5000 + ".fxp"
        self.assertRun(["-e3", name, "x" * 5000],
                       err=f"Error 2: Failed to open input file: {name}\n")

    def test_names_with_spaces(self):
        self.write("my presets/warm room.fxp", BRISKLET_V050)
        self.assertRun(["-v", "my presets"], out="Searching directory: my presets\n"
                                                "Converting data file: my presets\\warm room.fxp\n")
        self.assertEqual(self.read("my presets/501_warm room.fxp"), BRISKLET_V051)

    @posix_build_only
    def test_names_with_newlines_and_bytes_that_are_not_utf8(self):
        # Controls, C1 controls (U+009B is a terminal's CSI) and bytes that are not UTF-8 are
        # shown escaped, byte by byte; valid UTF-8 is shown as it is.
        valid = "caf\u00e9 \u65e5\U0001f3b9.fxp".encode()
        cases = [(b"new\nline.fxp", b"new\\x0aline.fxp"), (valid, valid),
                 (b"caf\xe9.fxp", b"caf\\xe9.fxp"), (b"\xff\xfe.fxp", b"\\xff\\xfe.fxp"),
                 (b"csi\xc2\x9b31m.fxp", b"csi\\xc2\\x9b31m.fxp"),
                 (b"bare\x9b31m.fxp", b"bare\\x9b31m.fxp"),
                 (b"surrogate\xed\xa0\x80.fxp", b"surrogate\\xed\\xa0\\x80.fxp"),
                 (b"overlong\xc0\xaf.fxp", b"overlong\\xc0\\xaf.fxp")]
        for name, shown in cases:
            with self.subTest(name=name):
                (self.dir / os.fsdecode(name)).write_bytes(BRISKLET_V050)
                result = self.run_tool("-v", name, timeout=10)
                self.assertEqual((result.status, result.out.encode("utf-8", "surrogateescape"),
                                  result.err),
                                 (0, b"Converting data file: " + shown + b"\n", ""))
                self.assertEqual((self.dir / os.fsdecode(b"501_" + name)).read_bytes(),
                                 BRISKLET_V051)

    @posix_build_only
    def test_an_entry_that_vanishes_before_it_is_opened(self):
        # A dangling link is listed like the file it named and then cannot be opened, as a file
        # removed between the listing and the open.
        self.write("d/a.fxp", BRISKLET_V050)
        os.symlink("gone.fxp", self.dir / "d" / "vanished.fxp")
        result = self.run_tool("-e3", "d")
        self.assertEqual((result.status, result.err),
                         (0, "Error 2: Failed to open input file: d\\vanished.fxp\n"))
        self.assertEqual(self.read("d/501_a.fxp"), BRISKLET_V051)
        result = self.run_tool("-t2000501", "d")
        self.assertEqual(result.status, 3)

    @posix_build_only
    def test_fifos_and_devices_met_in_a_scan_never_block(self):
        self.write("d/sub/a.fxp", BRISKLET_V050)
        os.mkfifo(self.dir / "d" / "pipe.fxp")
        os.mkfifo(self.dir / "d" / "sub" / "pipe.FXP")
        os.symlink("/dev/zero", self.dir / "d" / "zero.fxp")
        os.symlink("/dev/null", self.dir / "d" / "sub" / "null.fxp")
        result = self.run_tool("-r", "-e3", "d", timeout=20)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(sorted(result.err.splitlines()), [
            "Error 2: Failed to open input file: d\\pipe.fxp",
            "Error 2: Failed to open input file: d\\sub\\null.fxp",
            "Error 2: Failed to open input file: d\\sub\\pipe.FXP",
            "Error 2: Failed to open input file: d\\zero.fxp"])
        self.assertEqual(self.read("d/sub/501_a.fxp"), BRISKLET_V051)

    def test_output_path_limit_at_each_error_level(self):
        directory = self.long_directory(240)
        too_long = f"{directory}/{'r' * 11}.fxp"  # 256 characters: no room for "501_"
        fits = f"{directory}/{'q' * 10}.fxp"      # 255 characters
        self.write(too_long, BRISKLET_V050)
        self.write(fits, BRISKLET_V050)
        message = f"Error 2: Couldn't make output path: {directory}\\{'r' * 11}.fxp\n"
        self.assertEqual(self.run_tool("-e3", directory).err, message)
        self.assertEqual(self.read(f"{directory}/501_{'q' * 10}.fxp"), BRISKLET_V051)
        self.assertNotIn(f"501_{'r' * 11}.fxp", os.listdir(self.dir / directory))

    def test_a_dry_run_changes_nothing_at_all(self):
        self.write("lib/a.fxp", TAVLORA_V012)
        self.write("lib/205_a.fxp", b"an older output")
        self.write("lib/deep/b.fxp", BRISKLET_V050)
        self.write("lib/deep/er/c.fxp", TAVLORA_V023)
        self.write("lib/deep/er/junk.fxp", b"junk")
        self.write("lib/notes.txt", b"notes")
        (self.dir / "lib" / "empty").mkdir()
        before = self.tree()
        for options in (["-rn"], ["-rnvvvv"], ["-rno"], ["-rn", "-e4", "-pX", "-o"],
                        ["-rn", "-t1000203"]):
            with self.subTest(options=options):
                result = self.run_tool(*options, "lib")
                # The older output is reported as a real run would meet it.
                conflict = options in (["-rn"], ["-rnvvvv"])
                self.assertEqual(result.status, 3 if conflict else 0, result)
                self.assertEqual("Error 2: Output file exists: lib\\205_a.fxp" in result.err,
                                 conflict, result)
                self.assertEqual(self.tree(), before)

    @long_case
    def test_ten_thousand_presets_in_one_run_and_again(self):
        count = 10000
        images = [BRISKLET_V050, TAVLORA_V012, TAVLORA_V020, TAVLORA_V023]
        expected = {BRISKLET_V050: BRISKLET_V051, TAVLORA_V012: TAVLORA_V025,
                    TAVLORA_V020: TAVLORA_V025, TAVLORA_V023: TAVLORA_V025}
        for i in range(count):
            self.write(f"lib/{i // 1000}/p{i}.fxp", images[i % len(images)])
        self.assertRun(["-r", "lib"], timeout=300)
        first = self.tree()
        for i in range(count):
            folder = f"lib/{i // 1000}"
            prefix = "501_" if i % len(images) == 0 else "205_"
            self.assertEqual(first[f"{folder}/{prefix}p{i}.fxp"], expected[images[i % 4]], i)
        self.assertEqual(len(first), 2 * count + count // 1000 + 1 + (count % 1000 != 0))
        # Again, with every output present: the outputs are replaced by the same bytes and,
        # already at the newest version, are themselves not recognised.
        result = self.run_tool("-r", "lib", timeout=300)
        self.assertEqual(result.status, 0)
        self.assertEqual(len(result.err.splitlines()), count)
        self.assertEqual(self.tree(), first)


def wine_locale(name):
    """Environment for a wine run whose ANSI code page is the one of the locale name (wine takes
    it from the locale): the system's locale, or one made with localedef in a folder of this
    run's own. None when the locale cannot be had."""
    if name not in _LOCALES:
        installed = subprocess.run(["locale", "-a"], capture_output=True, text=True,
                                   check=False).stdout.lower().split()
        env = None
        if f"{name.lower()}.utf8" in installed:
            env = {"LC_ALL": f"{name}.UTF-8"}
        elif shutil.which("localedef"):
            if "folder" not in _LOCALES:
                _LOCALES["folder"] = tempfile.mkdtemp(prefix="tunewright-e2e-locales-")
                atexit.register(shutil.rmtree, _LOCALES["folder"], True)
            made = Path(_LOCALES["folder"], f"{name}.UTF-8")
            subprocess.run(["localedef", "-i", name, "-f", "UTF-8", made],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            if made.exists():
                env = {"LC_ALL": f"{name}.UTF-8", "LOCPATH": made.parent}
        _LOCALES[name] = env
    return _LOCALES[name]


_LOCALES = {}


class WindowsNamesAndPaths(CliTest):
    """The Windows build as its users meet it: any name whatever the ANSI code page, paths at
    the length limit, links, a console of its own or not, interruptions."""

    # Locales with ANSI code pages 1252, 1251 and 932, each with the OEM code page that comes
    # with it and a word of cmd's chcp message in its language, which shows the locale took.
    LOCALES = {"en_US": ("cp437", "code page"), "ru_RU": ("cp866", "кодовая"),
               "ja_JP": ("cp932", "コード")}

    def locale_env(self, name):
        env = wine_locale(name)
        if env is None:
            self.skipTest(f"no locale {name} and no localedef to make it")
        chcp = subprocess.run(EXEC_PREFIX + ["cmd", "/c", "chcp"], capture_output=True,
                              env=dict(os.environ, **env), stdin=subprocess.DEVNULL, timeout=60)
        encoding, word = self.LOCALES[name]
        self.assertIn(word, chcp.stdout.decode(encoding, "replace"), "locale not in effect")
        return env

    @windows_build_only
    def test_names_in_every_script_on_every_code_page(self):
        # "Cafe.fxp" and "Café.fxp" are different presets that best-fit mapping would merge; the
        # second byte of "ソ" in code page 932 is a backslash's.
        presets = {"lib/Пресеты/Café.fxp": BRISKLET_V050, "lib/Пресеты/Cafe.fxp": TAVLORA_V012,
                   "lib/音色/ソロ.fxp": BRISKLET_V050, "lib/中文预设/钢琴.fxp": TAVLORA_V020,
                   "lib/🎹 Piano.fxp": BRISKLET_V050}
        converted = {BRISKLET_V050: BRISKLET_V051, TAVLORA_V012: TAVLORA_V025,
                     TAVLORA_V020: TAVLORA_V025}
        for name in self.LOCALES:
            with self.subTest(locale=name):
                env = self.locale_env(name)
                shutil.rmtree(self.dir / "lib", ignore_errors=True)
                for path, data in presets.items():
                    self.write(path, data)
                # Found by a scan, new outputs beside them.
                result = self.run_tool("-rv", "lib", env=env)
                self.assertEqual((result.status, result.err), (0, ""), result)
                self.assertEqual(sorted(result.out.splitlines()), sorted(
                    ["Searching directory: lib", "Searching directory: lib\\Пресеты",
                     "Searching directory: lib\\音色", "Searching directory: lib\\中文预设"] +
                    ["Converting data file: " + path.replace("/", "\\") for path in presets]))
                expected = dict(presets)
                for path, data in presets.items():
                    folder, _, file = path.rpartition("/")
                    prefix = "501_" if data == BRISKLET_V050 else "205_"
                    expected[f"{folder}/{prefix}{file}"] = converted[data]
                # Named on the command line and by a wildcard, replaced in place.
                self.assertRun(["-v", "-o", "lib/🎹 Piano.fxp", "lib/音色/ソ*.fxp"], env=env,
                               out="Converting data file: lib/🎹 Piano.fxp\n"
                                   "Converting data file: lib/音色/ソロ.fxp\n")
                self.assertRun(["-o", "lib\\Пресеты\\Caf?.fxp"], env=env)
                for path in ("lib/🎹 Piano.fxp", "lib/音色/ソロ.fxp", "lib/Пресеты/Café.fxp",
                             "lib/Пресеты/Cafe.fxp"):
                    expected[path] = converted[presets[path]]
                self.assertEqual({k: v for k, v in self.tree().items() if k.endswith(".fxp")},
                                 expected)

    @windows_build_only
    def test_output_paths_at_the_length_limit(self):
        # A directory longer than Windows allows for a temporary file made the usual way.
        directory = self.long_directory(249)
        at_limit = f"{directory}/{'o' * 5}.fxp"  # 259 characters
        beside = f"{directory}/n.fxp"            # 255: its output has 259
        self.write(at_limit, BRISKLET_V050)
        self.write(beside, BRISKLET_V050)
        self.assertRun(["-o", at_limit])
        self.assertRun([beside])
        self.assertEqual(self.read(at_limit), BRISKLET_V051)
        self.assertEqual(self.read(f"{directory}/501_n.fxp"), BRISKLET_V051)
        self.write(f"{directory}/501_n.fxp", b"an edited output")
        self.assertRun(["-f", beside])  # an existing output replaced at the limit
        self.assertEqual(self.read(f"{directory}/501_n.fxp"), BRISKLET_V051)
        self.assertEqual(len(list((self.dir / directory).iterdir())), 3)

    @windows_build_only
    def test_a_replacement_reaches_the_disk_before_its_rename(self):
        # wine's relay trace lists the program's calls on its temporary file: made
        # (NtCreateFile, disposition FILE_CREATE), flushed, and given a name or removed
        # (NtSetInformationFile with class 10, a rename; 11, a hard link; 13, a removal).
        self.write("room.fxp", BRISKLET_V050)
        steps = {("NtCreateFile", 2): "made", ("NtSetInformationFile", 10): "renamed",
                 ("NtSetInformationFile", 11): "linked", ("NtSetInformationFile", 13): "removed"}

        def file_calls(*args):
            with tempfile.TemporaryFile() as trace:
                with self.start(*args, stdout=subprocess.DEVNULL, stderr=trace,
                                env={"WINEDEBUG": "+relay"}) as process:
                    finish(process, 120)
                trace.seek(0)
                calls = re.findall(r"^\w+:Call (?:ntdll|KERNEL32)\.(NtCreateFile|"
                                   r"NtSetInformationFile|FlushFileBuffers)\((.*)\) ret=",
                                   trace.read().decode("utf-8", "replace"), re.MULTILINE)
            made = []
            for name, arguments in calls:
                if name == "FlushFileBuffers":
                    made.append("flushed")
                    continue
                # The disposition, or the class; only the low 32 bits of an argument count.
                value = int(arguments.split(",")[7 if name == "NtCreateFile" else 4][-8:], 16)
                if (name, value) in steps:
                    made.append(steps[name, value])
            return made

        # A new output: never flushed, linked to a name that must be free, its temporary name
        # removed.
        self.assertEqual(file_calls("room.fxp"), ["made", "linked", "removed"])
        # A replacement: flushed, renamed over the file, and flushed again, so that the rename
        # is on the disk too before the program goes on.
        self.assertEqual(file_calls("-o", "room.fxp"), ["made", "flushed", "renamed", "flushed"])
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V051, "501_room.fxp": BRISKLET_V051})

    @windows_build_only
    def test_a_failed_write_never_damages_a_file(self):
        # A full disk, as on POSIX: a file-size limit of zero on the wine process. Its streams
        # are pipes here, which the limit leaves alone (wine's server, already running, holds
        # none of them open).
        self.write("room.fxp", BRISKLET_V050)
        before = self.tree()
        for args, output in ((["room.fxp"], "501_room.fxp"), (["-o", "room.fxp"], "room.fxp")):
            # Through pipes: with no room to write, an error line written to a file is lost too.
            with self.start(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=no_room_to_write) as process:
                _, err = finish(process, 60)
            self.assertEqual((process.returncode, decode(err)),
                             (3, f"Error 2: Failed to write output file: {output}\n"))
            self.assertEqual(self.tree(), before)

    @windows_build_only
    def test_a_read_only_preset_is_never_replaced(self):
        self.write("locked.fxp", BRISKLET_V050).chmod(0o444)  # wine: the read-only attribute
        self.assertRun(["-o", "locked.fxp"], status=3,
                       err="Error 2: Failed to open output file: locked.fxp\n")
        self.assertEqual(self.tree(), {"locked.fxp": BRISKLET_V050})

    @host_links
    def test_overwriting_through_a_link_replaces_its_target(self):
        self.write("presets/room.fxp", BRISKLET_V050)
        os.symlink("presets/room.fxp", self.dir / "link.fxp")
        self.assertRun(["-o", "link.fxp"])
        self.assertEqual(os.readlink(self.dir / "link.fxp"), "presets/room.fxp")
        # Found in a scan, as named on the command line.
        self.write("presets/hall.fxp", BRISKLET_V050)
        os.symlink("../presets/hall.fxp", self.write("lib/own.fxp", BRISKLET_V050).parent / "l.fxp")
        self.assertRun(["-o", "lib"])
        self.assertEqual(self.tree(), {"presets": "<d>", "presets/room.fxp": BRISKLET_V051,
                                       "presets/hall.fxp": BRISKLET_V051, "link.fxp": "<l>",
                                       "lib": "<d>", "lib/own.fxp": BRISKLET_V051,
                                       "lib/l.fxp": "<l>"})

    @host_links
    def test_a_prefix_folder_is_found_from_the_preset_and_never_through_a_link(self):
        self.write("d/room.fxp", BRISKLET_V050)
        (self.dir / "up").mkdir()
        (self.dir / "outside").mkdir()
        os.symlink("../outside", self.dir / "d" / "linked")
        cases = [("-p../up/", "", "up/room.fxp"),
                 ("-plinked/", "Error 2: Failed to open output file: d/linked/room.fxp\n", None)]
        for prefix, err, output in cases:
            with self.subTest(prefix=prefix):
                self.assertRun([prefix, "d/room.fxp"], status=3 if err else 0, err=err)
                self.assertEqual(self.read(output) if output else os.listdir(self.dir / "outside"),
                                 BRISKLET_V051 if output else [])

    @host_links
    @windows_build_only
    def test_a_folder_swapped_for_a_link_in_mid_run_sends_nothing_through_it(self):
        # The shared case swaps before wine has started the program; here the swap comes while
        # the program works in the folder. Wine renames and removes files by the paths it keeps
        # for them, so what the run still does there fails and is reported, and a temporary
        # file may stay in the folder it was made in; nothing goes through the link.
        for i in range(0, 400, 2):
            self.write(f"elsewhere/p{i}.fxp", BRISKLET_V050)
        for options in (["-r"], ["-r", "-o"]):
            with self.subTest(options=options):
                shutil.rmtree(self.dir / "pack", ignore_errors=True)
                for i in range(400):
                    self.write(f"pack/d{i % 2}/p{i}.fxp", BRISKLET_V050)
                elsewhere = {path: data for path, data in self.tree().items()
                             if path.startswith("elsewhere")}
                running = self.start_tool("-e3", *options, "pack")
                self.wait_for_temporary("pack/d0")
                os.rename(self.dir / "pack/d0", self.dir / "pack/d0.old")
                os.symlink(self.dir / "elsewhere", self.dir / "pack/d0")
                self.assertEqual(running.finish().status, 0)
                tree = self.tree()
                self.assertEqual({path: data for path, data in tree.items()
                                  if path.startswith("elsewhere")}, elsewhere)
                for path, data in tree.items():
                    name = path.rsplit("/", 1)[-1]
                    if path.startswith("pack/") and name.endswith(".fxp"):
                        self.assertIn(data, (BRISKLET_V051,) if name.startswith("501_") else
                                      (BRISKLET_V050, BRISKLET_V051), path)
                (self.dir / "pack/d0").unlink()

    @windows_build_only
    def test_names_of_devices_are_files(self):
        # Files and folders written through "\\?\" names or by other systems, in a scan and
        # named on the command line: each is reached as a file, never as the device it spells.
        names = ["con.fxp", "NUL.fxp", "aux.FXP", "prn.fxp", "com1.fxp", "Com9.fxp", "lpt1.fxp",
                 "LPT9.fxp", "con/nul.fxp", "aux/com1.fxp"]
        for name in names:
            self.write(f"lib/{name}", BRISKLET_V050)
        self.write("nul.fxp", BRISKLET_V050)
        self.assertRun(["-r", "lib", "nul.fxp"])
        self.assertRun(["-o", "lib/con.fxp", "lib\\aux\\com1.fxp", "lib/con", "nul.fxp"],
                       err="Error 1: Unrecognized source format: lib/con\\501_nul.fxp\n")
        expected = {"lib": "<d>", "lib/con": "<d>", "lib/aux": "<d>", "nul.fxp": BRISKLET_V051,
                    "501_nul.fxp": BRISKLET_V051}
        for name in names:
            folder, _, file = f"lib/{name}".rpartition("/")
            expected[f"{folder}/501_{file}"] = BRISKLET_V051
            expected[f"{folder}/{file}"] = BRISKLET_V051 if name in (
                "con.fxp", "aux/com1.fxp", "con/nul.fxp") else BRISKLET_V050
        self.assertEqual(self.tree(), expected)

    @windows_build_only
    def test_a_replaced_preset_keeps_its_attributes(self):
        def attributes(name):
            shown = subprocess.run(EXEC_PREFIX + ["attrib", name], cwd=self.dir, timeout=60,
                                   capture_output=True, stdin=subprocess.DEVNULL)
            return decode(shown.stdout).split(" Z:")[0].split()
        # (Wine shows every file as to be archived, whatever it is told.)
        for number, flags in enumerate((["+h"], ["+s"], ["+h", "+s"])):
            with self.subTest(flags=flags):
                name = f"p{number}.fxp"
                self.write(name, BRISKLET_V050)
                for flag in flags:  # one at a time, as wine's attrib takes them
                    subprocess.run(EXEC_PREFIX + ["attrib", flag, name], cwd=self.dir, timeout=60,
                                   capture_output=True, stdin=subprocess.DEVNULL)
                before = attributes(name)
                self.assertRun(["-o", name])
                self.assertEqual((self.read(name), attributes(name)), (BRISKLET_V051, before))

    @windows_build_only
    def test_never_waits_when_started_by_a_script(self):
        # Standard input a pipe nobody writes to: a run that waited for Enter would time out.
        self.write("room.fxp", BRISKLET_V050)
        self.assertRun(["room.fxp"], stdin=subprocess.PIPE, timeout=30)
        self.assertEqual(self.read("501_room.fxp"), BRISKLET_V051)
        # A terminal for all three streams: wine makes it a console for the program alone, but
        # it is someone's terminal, not a window of the program's own. The console is written
        # in UTF-16, so the name shows whole although code page 1252 has none of it. (Wine's
        # terminal console shows a character beyond 16 bits, such as an emoji, as two U+FFFD.)
        import pty
        self.write("Пресет ソロ.fxp", BRISKLET_V050)
        controller, terminal = pty.openpty()
        try:
            with self.start("-v", "Пресет ソロ.fxp", stdin=terminal, stdout=terminal,
                            stderr=terminal, env=self.locale_env("en_US")) as process:
                finish(process, 30)
            os.close(terminal)
            terminal = None
            shown = b""
            while True:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            if terminal is not None:
                os.close(terminal)
            os.close(controller)
        self.assertEqual(process.returncode, 0)
        self.assertIn("Converting data file: Пресет ソロ.fxp".encode(), shown)
        self.assertNotIn(b"Press Enter", shown)
        self.assertEqual(self.read("501_Пресет ソロ.fxp"), BRISKLET_V051)

    @long_case
    @windows_build_only
    def test_an_interrupted_run_leaves_whole_files_and_no_temporary_file(self):
        import random
        import signal
        import time
        generator = random.Random(12)
        for round_number in range(4):
            shutil.rmtree(self.dir / "lib", ignore_errors=True)
            for i in range(1500):
                self.write(f"lib/p{i}.fxp", BRISKLET_V050)
            process = self.start("-o", "lib", stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            time.sleep(generator.uniform(1.0, 3.0))
            process.send_signal(signal.SIGINT)
            status = process.wait(timeout=60)
            # Ended by Ctrl-C as Windows ends a program (STATUS_CONTROL_C_EXIT, as wine reports
            # it), or finished first.
            self.assertIn(status, (0xC000013A & 0xFF, 0), round_number)
            contents = self.tree()
            leftovers = [path for path in contents if not path.endswith(".fxp") and path != "lib"]
            self.assertEqual(leftovers, [], round_number)
            self.assertLessEqual({contents[f"lib/p{i}.fxp"] for i in range(1500)},
                                 {BRISKLET_V050, BRISKLET_V051})

    @windows_build_only
    def test_the_version_resource(self):
        import struct
        image = Path(PROGRAM).read_bytes()
        start = image.find("VS_VERSION_INFO".encode("utf-16-le"))
        self.assertGreater(start, 0)
        fixed = image.find(struct.pack("<I", 0xFEEF04BD), start)
        file_ms, file_ls = struct.unpack_from("<II", image, fixed + 8)
        major, minor, patch = (int(part) for part in PROJECT_VERSION.split("."))
        self.assertEqual((file_ms, file_ls), ((major << 16) | minor, patch << 16))
        text = image[start:start + 4096].decode("utf-16-le", "replace")
        # Each string: its lengths, the type word 1 (text), the key, padding, the value.
        values = dict(re.findall(r"\x01([A-Za-z]+)\0+([^\0]+)", text))
        self.assertEqual(values["ProductName"], "tunewright")
        self.assertEqual(values["FileVersion"], PROJECT_VERSION)
        self.assertEqual(values["ProductVersion"], PROJECT_VERSION)
        self.assertTrue(values["FileDescription"].startswith("Upgrades"))
        self.assertIn("Copyright", values["LegalCopyright"])


def bank(programs, **header):
    return make_presets.bank(programs, **header)


def named(program, name):
    """The program under another name, so that records of a bank differ."""
    return program[:28] + name.ljust(28, b"\0") + program[56:]


class Banks(CliTest):
    def test_banks_of_both_plug_ins_as_hosts_save_them(self):
        unfilled = make_presets.unfilled
        cases = [  # (name, bank, upgraded bank)
            ("one.fxb", bank([TAVLORA_V012], version=1), bank([TAVLORA_V025], version=1)),
            ("many.FXB",
             bank([named(TAVLORA_V012, b"P%d" % i) for i in range(128)], version=2, fx_version=7,
                  current_program=127, byte_size=0),
             bank([named(TAVLORA_V025, b"P%d" % i) for i in range(128)], version=2, fx_version=7,
                  current_program=127)),
            ("unfilled.fxb", bank([unfilled(BRISKLET_V050), BRISKLET_V050], version=2,
                                  current_program=1),
             bank([BRISKLET_V051, BRISKLET_V051], version=2, current_program=1)),
            # The contents decide, whatever the name says.
            ("bank named as a program.fxp", bank([TAVLORA_V020] * 3), bank([TAVLORA_V025] * 3)),
            ("program named as a bank.fxb", unfilled(BRISKLET_V050), BRISKLET_V051),
        ]
        for name, data, _ in cases:
            self.write(f"lib/{name}", data)
        self.write("lib/sub/Lead.fxp", TAVLORA_V023)
        self.assertRun(["-r", "lib"])
        expected = {f"lib/{name}": data for name, data, _ in cases}
        expected.update({f"lib/{'205' if b'Tvla' in data else '501'}_{name}": upgraded
                         for name, data, upgraded in cases})
        expected.update({"lib/sub": "<d>", "lib/sub/Lead.fxp": TAVLORA_V023,
                         "lib/sub/205_Lead.fxp": TAVLORA_V025, "lib": "<d>"})
        self.assertEqual(self.tree(), expected)

    def test_a_bank_through_each_option(self):
        source = bank([TAVLORA_V012, named(TAVLORA_V012, b"Second")])
        self.write("b.fxb", source)
        result = self.assertRun(["-vvv", "-t1000203", "b.fxb"], out=None)
        to_203 = bank([TAVLORA_V023, named(TAVLORA_V023, b"Second")])
        self.assertEqual(self.read("203_b.fxb"), to_203)
        self.assertEqual(result.out, "Loading data file: b.fxb\n" + dump(source) +
                         "Tavlora v0.1.2 -> Tavlora v0.2\nTavlora v0.2 -> Tavlora v0.2.3\n" +
                         dump(to_203))
        self.assertRun(["-n", "-pnew_", "b.fxb"])
        self.assertFalse((self.dir / "new_b.fxb").exists())
        self.assertRun(["-t1000203", "-pagain_", "203_b.fxb"])  # already there: quietly passed over
        self.assertFalse((self.dir / "again_203_b.fxb").exists())
        self.assertRun(["-pnew_", "203_b.fxb"])
        upgraded = bank([TAVLORA_V025, named(TAVLORA_V025, b"Second")])
        self.assertEqual(self.read("new_203_b.fxb"), upgraded)
        self.assertRun(["-o", "b.fxb"])
        self.assertEqual(self.read("b.fxb"), upgraded)
        # Already at the newest version: as a program there is.
        self.assertRun(["b.fxb"], err="Error 1: Unrecognized source format: b.fxb\n")
        self.assertRun(["-t1000203", "-e1", "b.fxb"], status=3,
                       err="Error 1: Unrecognized source format: b.fxb\n")

    def test_a_bank_that_would_outgrow_a_mebibyte_is_not_written(self):
        # 13,000 Brisklet programs fit in 1 MiB; upgraded, they would not.
        self.write("big.fxb", bank([BRISKLET_V050] * 13000))
        self.assertRun(["big.fxb"], status=3, err="Error 2: Conversion failed: big.fxb\n")
        self.assertEqual(set(self.tree()), {"big.fxb"})

    def test_near_misses_are_left_alone(self):
        good = [TAVLORA_V012, TAVLORA_V012]
        record = bytearray(TAVLORA_V012)
        record[24:28] = (0x7FFFFFFF).to_bytes(4, "big")
        negative = bytearray(TAVLORA_V012)
        negative[24:28] = (-1).to_bytes(4, "big", signed=True)
        chunk = bytearray(TAVLORA_V012)
        chunk[8:12] = b"FPCh"
        cases = {
            "other format": bank([TAVLORA_V012, TAVLORA_V020]),
            "other plug-in": bank([TAVLORA_V012], fx_id=b"Bskl"),
            "record overruns": bank(good)[:-1],
            "record stops short": bank(good) + b"\0",
            "no programs": bank(good, num_programs=0),
            "too many programs": bank(good, num_programs=3),
            "huge count": bank(good, num_programs=0x7FFFFFFF),
            "huge numParams": bank([TAVLORA_V012, bytes(record)]),
            "negative numParams": bank([bytes(negative), TAVLORA_V012]),
            "opaque bank": bank(good)[:8] + b"FBCh" + bank(good)[12:],
            "chunk program inside": bank([TAVLORA_V012, bytes(chunk)]),
            "version 3": bank(good, version=3),
            "wrong byteSize": bank(good, byte_size=12),
            "wrong magic": b"CcnX" + bank(good)[4:],
            "chunk program": bytes(chunk),
            "over a mebibyte": bank([named(TAVLORA_V012, b"%d" % i) for i in range(4097)]),
        }
        for name, data in cases.items():
            self.write(f"{name}.fxb", data)
        before = self.tree()
        result = self.run_tool("-e4", *(f"{name}.fxb" for name in cases))
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err, "".join(f"Error 1: Unrecognized source format: {name}.fxb\n"
                                             for name in cases))
        self.assertEqual(self.tree(), before)


def as_user(uid, gid, groups=()):
    """Runs the child as an ordinary user (the caller must be root)."""
    def drop():
        os.setgroups(list(groups))
        os.setgid(gid)
        os.setuid(uid)
    return drop


def ordinary_user():
    """Runs the child as an ordinary user: one made up when the tests run as root, else the
    tests' own."""
    return as_user(4444, 4444) if os.geteuid() == 0 else None


class Permissions(CliTest):
    def setUp(self):
        super().setUp()
        if WINDOWS_BUILD or os.name != "posix":
            self.skipTest("POSIX build only")
        self.dir.chmod(0o777)

    def test_new_outputs_are_open_to_others_no_more_than_their_preset(self):
        preset = self.write("room.fxp", BRISKLET_V050)
        for preset_mode, umask, mode in ((0o666, 0o002, 0o664), (0o666, 0o077, 0o600),
                                         (0o600, 0o002, 0o600), (0o440, 0o002, 0o640)):
            preset.chmod(preset_mode)
            (self.dir / "501_room.fxp").unlink(missing_ok=True)
            self.assertRun(["room.fxp"], preexec_fn=lambda: os.umask(umask))
            self.assertEqual((self.dir / "501_room.fxp").stat().st_mode & 0o7777, mode)

    def test_outputs_are_made_beside_the_preset_under_a_read_only_parent(self):
        self.write("locked/open/room.fxp", BRISKLET_V050).chmod(0o666)
        (self.dir / "locked/open").chmod(0o777)
        (self.dir / "locked").chmod(0o555)
        self.dir.chmod(0o555)  # the current directory takes nothing either
        self.assertRun(["locked/open/room.fxp"], preexec_fn=ordinary_user())
        self.assertRun(["-o", "locked/open/room.fxp"], preexec_fn=ordinary_user())
        self.assertEqual(self.read("locked/open/room.fxp"), BRISKLET_V051)
        self.assertEqual(self.read("locked/open/501_room.fxp"), BRISKLET_V051)
        self.assertEqual(sorted(os.listdir(self.dir / "locked/open")), ["501_room.fxp", "room.fxp"])

    def test_a_replacement_in_a_folder_that_cannot_be_listed_is_made_durable_all_the_same(self):
        self.write("d/room.fxp", BRISKLET_V050).chmod(0o666)
        if os.geteuid() == 0:
            os.chown(self.dir / "d", 4444, 4444)
        (self.dir / "d").chmod(0o300)  # its owner may make and search files, not list them
        self.assertRun(["-o", "d/room.fxp"], preexec_fn=ordinary_user())
        self.assertEqual(self.read("d/room.fxp"), BRISKLET_V051)

    def test_write_permission_decides_who_may_replace_a_preset(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, to give the preset to another user")
        theirs = self.write("theirs.fxp", BRISKLET_V050)
        theirs.chmod(0o644)  # root's, in a directory where anyone may make files
        self.assertRun(["-o", "theirs.fxp"], status=3, preexec_fn=ordinary_user(),
                       err="Error 2: Failed to open output file: theirs.fxp\n")
        self.assertEqual((theirs.read_bytes(), theirs.stat().st_uid), (BRISKLET_V050, 0))
        # Any write permission is permission enough for root, the group's alone too.
        shared = self.write("shared.fxp", BRISKLET_V050)
        shared.chmod(0o460)
        self.assertRun(["-o", "shared.fxp"])
        self.assertEqual((shared.read_bytes(), shared.stat().st_mode & 0o7777),
                         (BRISKLET_V051, 0o460))


class Safety(CliTest):
    def test_options_after_files_are_errors_unless_they_name_a_file(self):
        self.write("room.fxp", BRISKLET_V050)
        self.assertRun(["room.fxp", "-n"], status=1,
                       err="Error 3: Options must come before files: -n\n")
        self.assertEqual(set(self.tree()), {"room.fxp"})
        # Tolerated, it is passed over; an existing file of that name is a path like any other.
        self.write("-n", b"a file")
        self.assertRun(["-e4", "room.fxp", "-x.fxp", "-n"],
                       err="Error 3: Options must come before files: -x.fxp\n")
        self.assertEqual(set(self.tree()), {"room.fxp", "-n", "501_room.fxp"})

    @posix_build_only
    def test_control_characters_in_names_are_shown_escaped(self):
        self.write("a\nError 2: forged\x1b[31m\x7f\u00c0.fxp", b"junk")  # U+00C0: C3 80
        self.assertRun(["-v", "."], out="Searching directory: .\n",
                       err="Error 1: Unrecognized source format: "
                           ".\\a\\x0aError 2: forged\\x1b[31m\\x7f\u00c0.fxp\n")

    @long_case
    @posix_build_only
    def test_an_interrupted_or_killed_run_leaves_whole_presets_only(self):
        import random
        import signal
        count = 2000
        converted = {BRISKLET_V050: BRISKLET_V051, TAVLORA_V012: TAVLORA_V025}
        rng = random.Random(20261208)
        for round_ in range(10):
            overwrite = round_ % 2 == 0
            kill = signal.SIGKILL if round_ % 3 else signal.SIGINT
            with self.subTest(round=round_, overwrite=overwrite, signal=kill.name):
                shutil.rmtree(self.dir / "lib", ignore_errors=True)
                sources = {}
                for i in range(count):
                    data = BRISKLET_V050 if i % 2 else TAVLORA_V012
                    sources[f"lib/{i % 3}/p{i}.fxp"] = data
                    self.write(f"lib/{i % 3}/p{i}.fxp", data)
                process = self.start("-r", *(["-o"] if overwrite else []), "lib",
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                time.sleep(rng.uniform(0.01, 0.3))
                process.send_signal(kill)
                _, err = process.communicate(timeout=60)
                self.assertIn(process.returncode, (-kill, 0), err)
                temporaries = []
                for path, data in self.tree().items():
                    name = path.rsplit("/", 1)[-1]
                    if data == "<d>":
                        continue
                    if name.startswith(".tunewright-") and name.endswith(".tmp"):
                        temporaries.append(path)
                    elif path in sources:
                        allowed = (sources[path], converted[sources[path]]) if overwrite \
                            else (sources[path],)
                        self.assertIn(data, allowed, path)
                    else:
                        source = path.replace("/205_", "/").replace("/501_", "/")
                        self.assertEqual(data, converted[sources[source]], path)
                # An interruption removes its temporary file; a kill may leave the one in hand.
                self.assertLessEqual(len(temporaries), 0 if kill == signal.SIGINT else 1)

    @posix_build_only
    def test_a_replaced_preset_keeps_owner_group_mode_and_attributes(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, to give files to other users")
        self.dir.chmod(0o777)
        path = self.write("room.fxp", BRISKLET_V050)
        try:
            os.setxattr(path, "user.rating", b"5")
            os.setxattr(path, "user.reviewed", b"")  # an empty value is a value too
            attributes = True
        except OSError:
            attributes = False  # the file system has none: nothing to keep
        os.chown(path, 4242, 4343)
        path.chmod(0o664)
        # A member of the preset's group may replace it, but cannot give it to its owner: it
        # keeps its group.
        self.assertRun(["-o", "room.fxp"], preexec_fn=as_user(4444, 4444, [4343]))
        status = path.stat()
        self.assertEqual((status.st_uid, status.st_gid, status.st_mode & 0o7777),
                         (4444, 4343, 0o664))
        if attributes:
            self.assertEqual((os.getxattr(path, "user.rating"), os.getxattr(path, "user.reviewed")),
                             (b"5", b""))
        # As root, the owner stays too.
        self.write("hall.fxp", BRISKLET_V050).chmod(0o640)
        os.chown(self.dir / "hall.fxp", 4242, 4343)
        self.assertRun(["-o", "hall.fxp"])
        status = (self.dir / "hall.fxp").stat()
        self.assertEqual((status.st_uid, status.st_gid, status.st_mode & 0o7777),
                         (4242, 4343, 0o640))
        # Read-only means read-only, root or not.
        locked = self.write("locked.fxp", BRISKLET_V050)
        locked.chmod(0o444)
        self.assertRun(["-o", "locked.fxp"], status=3,
                       err="Error 2: Failed to open output file: locked.fxp\n")
        self.assertEqual(locked.read_bytes(), BRISKLET_V050)


def held_at(call, seconds=2):
    """A wrapper that holds the program for seconds the first time it enters the system call
    (strace's delay injection), so a test can act at that very moment; None without strace."""
    strace = shutil.which("strace")
    # A sanitizer build's leak check cannot run under a tracer: it is left out there.
    return None if strace is None else [strace, "-qq", "-o", "/dev/null",
                                        "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1", "-e",
                                        f"inject={call}:delay_enter={seconds * 1000000}:when=1"]


def posix_acl(*entries):
    """A POSIX ACL in the system's own attribute form: (tag, permissions, id) entries."""
    import struct
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_MASK, ACL_OTHER = 0x01, 0x02, 0x04, 0x10, 0x20
NO_ID = 0xFFFFFFFF


class UntrustedTree(CliTest):
    """A tree's names, links and timing are input: a run stays inside what it was given, writes
    through no link, widens no access and loses no save."""

    def outside(self, pack):
        """Everything below the scratch directory but the pack."""
        return {path: data for path, data in self.tree().items()
                if path != pack and not path.startswith(pack + "/")}

    @host_links
    def test_names_with_backslashes_never_lead_out_of_the_pack(self):
        # From a/b/pack, these names would spell the way to other/ and a/, and to other/ by
        # its absolute path.
        absolute = "..\\" * 40 + str(self.dir / "other").lstrip("/").replace("/", "\\")
        for folder in ("other", "a"):
            self.write(f"{folder}/victim.fxp", BRISKLET_V050)
        self.write("a/b/pack/room.fxp", BRISKLET_V050)
        hostile = ["..\\..\\..\\other", "..\\..", absolute]
        for name in hostile:
            self.write(f"a/b/pack/{name}/victim.fxp", BRISKLET_V050)
        hostile += ["..\\..\\..\\other\\victim.fxp", "a\\b.fxp"]
        self.write(f"a/b/pack/{hostile[3]}", BRISKLET_V050)
        self.write(f"a/b/pack/{hostile[4]}", BRISKLET_V050)
        before = self.outside("a/b/pack")
        for options in (["-r"], ["-r", "-o"]):
            with self.subTest(options=options):
                result = self.run_tool(*options, "a/b/pack")
                self.assertEqual(result.status, 0, result)
                self.assertEqual(
                    sorted(result.err.splitlines()),
                    sorted([f"Error 1: Name with a backslash passed over: a/b/pack\\{name}"
                            for name in hostile] +
                           ["Error 1: Unrecognized source format: a/b/pack\\501_room.fxp"] *
                           (options == ["-r", "-o"])))
                self.assertEqual(self.outside("a/b/pack"), before)
        self.assertEqual((self.read("a/b/pack/room.fxp"), self.read("a/b/pack/501_room.fxp")),
                         (BRISKLET_V051, BRISKLET_V051))

    @long_case
    @host_links
    def test_directories_swapped_for_links_or_renamed_during_runs_send_nothing_elsewhere(self):
        import random
        rng = random.Random(20261209)
        for i in range(200):
            self.write(f"elsewhere/p{i}.fxp", BRISKLET_V050 if i % 2 else TAVLORA_V012)
        elsewhere = self.tree()
        converted = {BRISKLET_V050: BRISKLET_V051, TAVLORA_V012: TAVLORA_V025}
        for round_ in range(6):
            overwrite = round_ % 2 == 0
            with self.subTest(round=round_, overwrite=overwrite):
                shutil.rmtree(self.dir / "pack", ignore_errors=True)
                sources = {}
                for i in range(2000):
                    path = f"pack/d{i % 4}/p{i}.fxp"
                    sources[path] = BRISKLET_V050 if i % 3 else TAVLORA_V012
                    self.write(path, sources[path])
                running = self.start_tool("-r", *(["-o"] if overwrite else []), "pack")
                time.sleep(rng.uniform(0.0, 0.08 if not overwrite else 0.5))
                os.rename(self.dir / "pack/d1", self.dir / "pack/d1.old")
                os.symlink(self.dir / "elsewhere", self.dir / "pack/d1")
                os.rename(self.dir / "pack/d2", self.dir / "pack/d2.renamed")
                result = running.finish()
                self.assertEqual(result.status, 0, result)
                self.assertNotIn("Error 2", result.err)
                tree = self.tree()
                self.assertEqual({path: data for path, data in tree.items()
                                  if path.startswith("elsewhere")}, elsewhere)
                for path, data in tree.items():
                    name = path.rsplit("/", 1)[-1]
                    self.assertFalse(name.startswith(".tunewright-"), path)
                    if not path.startswith("pack/") or not isinstance(data, bytes):
                        continue
                    source = re.sub(r"/d(\d)\.\w+/", r"/d\1/", path)
                    if name.startswith(("205_", "501_")):
                        source = source.replace("/205_", "/").replace("/501_", "/")
                        self.assertEqual(data, converted[sources[source]], path)
                    else:
                        self.assertIn(data, (sources[source], converted[sources[source]]), path)

    @host_links
    def test_an_output_link_is_never_written_through(self):
        self.write("outside/notes.txt", b"notes")
        self.write("pack/Hall.fxp", BRISKLET_V050)
        os.symlink("../outside/notes.txt", self.dir / "pack/501_Hall.fxp")
        for options in ([], ["-n"]):
            self.assertRun([*options, "pack/Hall.fxp"], status=3,
                           err="Error 2: Output file exists: pack/501_Hall.fxp\n")
        self.assertRun(["-f", "pack/Hall.fxp"])
        self.assertFalse((self.dir / "pack/501_Hall.fxp").is_symlink())
        self.assertEqual(self.tree(), {"outside": "<d>", "outside/notes.txt": b"notes",
                                       "pack": "<d>", "pack/Hall.fxp": BRISKLET_V050,
                                       "pack/501_Hall.fxp": BRISKLET_V051})

    def test_a_dry_run_meets_what_the_real_run_meets(self):
        # A name of 252 bytes makes an output name of 256, which no file system takes.
        long_name = "n" * 248 + ".fxp"
        root = not WINDOWS_BUILD and os.name == "posix" and os.geteuid() == 0
        cases = [
            ("a directory", [], lambda out: out.mkdir(),
             "Failed to open output file: {out}", True),
            ("a FIFO", [], os.mkfifo, "Failed to open output file: {out}", not WINDOWS_BUILD),
            ("a device", [], lambda out: os.mknod(out, stat.S_IFCHR | 0o600, os.makedev(1, 3)),
             "Failed to open output file: {out}", root),
            # Wine shows the Windows program no dangling link made on its host.
            ("a dangling link", [], lambda out: os.symlink("nowhere", out),
             "Output file exists: {out}", os.name == "posix" and not WINDOWS_BUILD),
            ("another file", [], lambda out: out.write_bytes(b"edited"),
             "Output file exists: {out}", True),
            ("a read-only preset", ["-o"], lambda out: out.chmod(0o444),
             "Failed to open output file: {out}", True),
            ("a missing prefix directory", ["-psub/"], lambda out: None,
             "Failed to open output file: {out}", True),
            ("a name too long", [], lambda out: None, "Couldn't make output path: {preset}",
             True),
        ]
        for number, (what, options, meet, err, possible) in enumerate(cases):
            if not possible:
                continue
            with self.subTest(what=what):
                preset = f"c{number}/{long_name if what == 'a name too long' else 'room.fxp'}"
                self.write(preset, BRISKLET_V050)
                out = preset if "-o" in options else preset.replace(
                    "/", "/sub/" if "-psub/" in options else "/501_")
                meet(self.dir / out)
                before = self.tree()
                for dry in (["-n"], []):
                    self.assertRun([*dry, *options, preset], status=3,
                                   err="Error 2: " + err.format(out=out, preset=preset) + "\n")
                    self.assertEqual(self.tree(), before)

    @host_links
    def test_a_save_made_during_the_upgrade_is_never_lost(self):
        held = held_at("fsync")
        if held is None:
            self.skipTest("needs strace")
        newer = make_presets.preset(2000500, [0.9, 0.8, 0.7, 0.6, 0.5, 0.4], b"Room", 500)
        for save in ("in place", "by rename"):
            with self.subTest(save=save):
                preset = self.write("room.fxp", BRISKLET_V050)
                running = self.start_tool("-o", "room.fxp", wrapper=held)
                self.wait_for_temporary()  # the upgrade is being flushed: the host saves now
                if save == "in place":
                    preset.write_bytes(newer)  # as long as before: only the time tells
                else:
                    os.replace(self.write("room.fxp.saving", newer), preset)
                result = running.finish()
                self.assertEqual((result.status, result.err),
                                 (3, "Error 2: File changed meanwhile, not replaced: room.fxp\n"))
                self.assertEqual(self.tree(), {"room.fxp": newer})

    @posix_build_only
    def test_ctrl_backslash_and_a_size_limit_leave_no_temporary(self):
        import resource
        import signal
        held = held_at("fsync")
        if held is None:
            self.skipTest("needs strace")
        self.write("room.fxp", BRISKLET_V050)
        running = self.start_tool("-o", "room.fxp", wrapper=held,
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE,
                                                                        (0, 0)))
        self.wait_for_temporary()
        os.kill(int(subprocess.check_output(
            ["cat", f"/proc/{running.process.pid}/task/{running.process.pid}/children"])),
            signal.SIGQUIT)
        self.assertEqual(running.finish().status, -signal.SIGQUIT)
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050})
        # A file-size limit is a failed write, for a new output and a replacement alike.
        self.write("pad.fxp", TAVLORA_V012)
        small = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))  # noqa: E731
        for options, output in (([], "205_pad.fxp"), (["-o"], "pad.fxp")):
            self.assertRun([*options, "pad.fxp"], status=3, preexec_fn=small,
                           err=f"Error 2: Failed to write output file: {output}\n")
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050, "pad.fxp": TAVLORA_V012})

    def test_overwriting_a_preset_with_several_names_upgrades_the_name_given(self):
        self.write("a.fxp", BRISKLET_V050)
        os.link(self.dir / "a.fxp", self.dir / "b.fxp")
        self.assertRun(["-o", "a.fxp"])
        self.assertEqual(self.tree(), {"a.fxp": BRISKLET_V051, "b.fxp": BRISKLET_V050})

    @posix_build_only
    def test_a_replacement_never_gains_access_from_its_directory(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, to set ACLs naming other users")
        shared = self.dir / "shared"
        shared.mkdir()
        try:
            os.setxattr(shared, "system.posix_acl_default", posix_acl(
                (ACL_USER_OBJ, 7, NO_ID), (ACL_USER, 4, 4444), (ACL_GROUP_OBJ, 5, NO_ID),
                (ACL_MASK, 7, NO_ID), (ACL_OTHER, 0, NO_ID)))
        except OSError:
            self.skipTest("the file system keeps no ACLs")
        plain = self.write("shared/plain.fxp", BRISKLET_V050)
        os.removexattr(plain, "system.posix_acl_access")  # inherited at creation
        plain.chmod(0o640)
        own = posix_acl((ACL_USER_OBJ, 6, NO_ID), (ACL_USER, 6, 5555), (ACL_GROUP_OBJ, 4, NO_ID),
                        (ACL_MASK, 6, NO_ID), (ACL_OTHER, 0, NO_ID))
        ruled = self.write("shared/ruled.fxp", BRISKLET_V050)
        os.setxattr(ruled, "system.posix_acl_access", own)
        self.assertRun(["-o", "shared/plain.fxp", "shared/ruled.fxp"])
        self.assertEqual((os.listxattr(plain), plain.stat().st_mode & 0o7777), ([], 0o640))
        self.assertEqual(os.getxattr(ruled, "system.posix_acl_access"), own)
        self.assertEqual((plain.read_bytes(), ruled.read_bytes()), (BRISKLET_V051, BRISKLET_V051))

    @posix_build_only
    def test_a_replacement_keeps_every_extended_attribute_whatever_its_size(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("needs tmpfs at /dev/shm")
        folder = Path(tempfile.mkdtemp(prefix="tunewright-e2e-", dir="/dev/shm"))
        self.addCleanup(shutil.rmtree, folder)
        preset = folder / "room.fxp"
        preset.write_bytes(BRISKLET_V050)
        attributes = {"user.big": os.urandom(65536)}
        attributes.update({f"user.attribute-number-{i:03}": bytes([i % 256]) for i in range(300)})
        try:
            for name, value in attributes.items():
                os.setxattr(preset, name, value)
        except OSError:
            self.skipTest("tmpfs here keeps no user attributes of this size")
        self.assertRun(["-o", str(preset)])
        self.assertEqual(preset.read_bytes(), BRISKLET_V051)
        self.assertEqual({name: os.getxattr(preset, name) for name in os.listxattr(preset)},
                         attributes)


class VstPresets(CliTest):
    """Programs and banks in the containers hosts save presets in: the content upgraded as a
    file of its own would be, every other byte of the container kept."""

    @staticmethod
    def container(content, chunks=(b"Comp", b"Cont", b"Info"), bypass=0):
        """content in a .vstpreset with these chunks in this order: "Comp" around it, "Cont"
        empty, "Info" XML, any other ID some bytes of its own."""
        data = {b"Comp": make_presets.comp(content, bypass=bypass), b"Cont": b"",
                b"Info": make_presets.meta_info("Test")}
        return make_presets.vstpreset([(c, data.get(c, c * 3)) for c in chunks])

    def test_programs_and_banks_of_both_plug_ins_whatever_their_chunks(self):
        unfilled = make_presets.unfilled
        programs = [named(TAVLORA_V012, b"P%d" % i) for i in range(3)]
        cases = {  # name: (content, upgraded content, chunks, bypass flag)
            "host.vstpreset": (TAVLORA_V012, TAVLORA_V025, (b"Comp", b"Cont", b"Info"), 0),
            "bank.VSTPRESET": (
                bank([BRISKLET_V050, named(BRISKLET_V050, b"Two")], version=2, current_program=1),
                bank([BRISKLET_V051, named(BRISKLET_V051, b"Two")], version=2, current_program=1),
                (b"Comp", b"Cont", b"Info"), 1),
            "alone.vstpreset": (TAVLORA_V020, TAVLORA_V025, (b"Comp",), 0),
            "info first.vstpreset": (unfilled(BRISKLET_V050), BRISKLET_V051,
                                     (b"Info", b"Comp", b"Cont"), 0),
            "unfilled bank.vstpreset": (
                bank([unfilled(program) for program in programs], byte_size=0),
                bank([named(TAVLORA_V025, b"P%d" % i) for i in range(3)]),
                (b"Prog", b"Comp", b"Xtra", b"Info", b"Cont"), 7),
        }
        for name, (content, _, chunks, bypass) in cases.items():
            self.write(f"lib/{name}", self.container(content, chunks, bypass))
        self.write("lib/other case.Vstpreset", self.container(TAVLORA_V012))
        (self.dir / "lib/folder.vstpreset").mkdir()
        expected = self.tree()
        outputs = {}
        for name, (content, upgraded, chunks, bypass) in cases.items():
            prefix = "205_" if content[16:20] == b"Tvla" else "501_"
            outputs[f"{prefix}{name}"] = self.container(upgraded, chunks, bypass)
            expected[f"lib/{prefix}{name}"] = outputs[f"{prefix}{name}"]
        result = self.run_tool("-r", "-e3", "lib")
        self.assertEqual(result.status, 0, result)
        # An output written during the scan may be met later in it, already at the newest version.
        folder = "Error 2: Failed to open input file: lib\\folder.vstpreset"
        self.assertIn(folder, result.err.splitlines())
        met = {f"Error 1: Unrecognized source format: lib\\{name}" for name in outputs}
        self.assertLessEqual(set(result.err.splitlines()) - {folder}, met)
        self.assertEqual(self.tree(), expected)

    def test_each_option_and_verbosity(self):
        c = self.container
        self.write("p.vstpreset", c(TAVLORA_V012))
        load = "Loading data file: p.vstpreset\n" + dump(c(TAVLORA_V012))
        steps = ["Tavlora v0.1.2 -> Tavlora v0.2\n", "Tavlora v0.2 -> Tavlora v0.2.3\n",
                 "Tavlora v0.2.3 -> Tavlora v0.2.5\n"]
        self.assertRun(["-vvv", "-t1000203", "p.vstpreset"],
                       out=load + steps[0] + steps[1] + dump(c(TAVLORA_V023)))
        self.assertRun(["-vvvv", "-n", "p.vstpreset"],
                       out=load + "".join(step + dump(c(image)) for step, image in
                                          zip(steps, [TAVLORA_V020, TAVLORA_V023, TAVLORA_V025])))
        self.assertRun(["-t1000203", "-pagain_", "203_p.vstpreset"])  # already there: quietly
        self.assertRun(["-pnew_", "203_p.vstpreset"])
        self.assertRun(["-o", "p.vstpreset"])
        self.assertEqual(self.tree(), {"p.vstpreset": c(TAVLORA_V025),
                                       "203_p.vstpreset": c(TAVLORA_V023),
                                       "new_203_p.vstpreset": c(TAVLORA_V025)})

    def test_the_upgrade_must_fit_in_a_mebibyte(self):
        # A bank of two Brisklet programs grows by 16 bytes: 16 bytes short of 1 MiB, it fits.
        def padded(content, filler):
            return make_presets.vstpreset([(b"Comp", make_presets.comp(content)),
                                           (b"Cont", bytes(filler))])
        old, new = bank([BRISKLET_V050] * 2), bank([BRISKLET_V051] * 2)
        filler = (1 << 20) - 16 - len(padded(old, 0))
        self.write("fits.vstpreset", padded(old, filler))
        self.write("too big.vstpreset", padded(old, filler + 1))
        self.assertRun(["-e3", "fits.vstpreset", "too big.vstpreset"],
                       err="Error 2: Conversion failed: too big.vstpreset\n")
        self.assertEqual(len(padded(new, filler)), 1 << 20)
        self.assertEqual(self.read("501_fits.vstpreset"), padded(new, filler))
        self.assertFalse((self.dir / "501_too big.vstpreset").exists())

    def test_near_misses_are_left_alone(self):
        comp = make_presets.comp(TAVLORA_V012)
        info = make_presets.meta_info("Test")
        end = 48 + len(comp)  # where "Info" begins, and the list after it
        listed = end + len(info)

        def lying(*entries, **layout):
            """Comp and Info, listed as given."""
            return make_presets.vstpreset([(b"Comp", comp), (b"Info", info)],
                                          entries=entries or [(b"Comp", 48, len(comp)),
                                                              (b"Info", end, len(info))],
                                          **layout)

        def only(chunk):
            return make_presets.vstpreset([(b"Comp", chunk)])
        true_comp = (b"Comp", 48, len(comp))
        huge = (1 << 20) + 1 - 48 - len(comp) - 48  # a chunk that takes the file past 1 MiB
        cases = {
            "version 2": make_presets.vstpreset([(b"Comp", comp)], version=2),
            "list not at the end": lying() + b"\0",
            "list offset wraps": lying(list_offset=(1 << 64) - 8),
            "list offset 2^31": lying(list_offset=1 << 31),  # negative in 32 bits
            "entry past the end": lying(true_comp, (b"Info", end, 1 << 20)),
            "overlapping entries": lying(true_comp, (b"Info", end - 1, len(info) + 1)),
            "a gap": lying(true_comp, (b"Info", end + 1, len(info) - 1)),
            "data area not filled": lying(true_comp, (b"Info", end, len(info) - 1)),
            "out of order": lying((b"Info", end, len(info)), true_comp),
            "offset near 2^63": lying(true_comp, (b"Info", (1 << 63) - 1, len(info))),
            "end wraps around 2^64": lying(true_comp, (b"Info", (1 << 64) - 16, listed + 16)),
            "size wraps around 2^64": lying(true_comp, (b"Info", end, (1 << 64) - end + 48),
                                            (b"Info", 48, listed - 48)),
            "count wraps in 32 bits": lying(count=2 + (1 << 30)),
            "negative count": lying(count=-1),
            "two Comp": self.container(TAVLORA_V012, (b"Comp", b"Comp")),
            "no Comp": self.container(TAVLORA_V012, (b"Info", b"Cont")),
            "empty Comp": only(b""),
            "wrapper header size 4": only(make_presets.comp(TAVLORA_V012, header_size=4)),
            "wrapper version 2": only(make_presets.comp(TAVLORA_V012, version=2)),
            "no wrapper": only(TAVLORA_V012),
            "byte after the program": only(make_presets.comp(TAVLORA_V012 + b"\0")),
            "newest version inside": only(make_presets.comp(TAVLORA_V025)),
            "opaque program inside": only(make_presets.comp(TAVLORA_V012[:8] + b"FPCh" +
                                                            TAVLORA_V012[12:])),
            "mixed bank inside": only(make_presets.comp(bank([TAVLORA_V012, TAVLORA_V020]))),
            "over a mebibyte": make_presets.vstpreset([(b"Comp", comp), (b"Xtra", bytes(huge))]),
        }
        for name, data in cases.items():
            self.write(f"{name}.vstpreset", data)
        before = self.tree()
        result = self.run_tool("-e4", *(f"{name}.vstpreset" for name in cases))
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.err, "".join(
            f"Error 1: Unrecognized source format: {name}.vstpreset\n" for name in cases))
        self.assertEqual(self.tree(), before)


class BundledExamples(unittest.TestCase):
    def test_examples_are_what_the_generator_makes(self):
        examples = Path(__file__).resolve().parents[2] / "examples"
        for relative, data in make_presets.EXAMPLES.items():
            self.assertEqual((examples / relative).read_bytes(), data, relative)
        on_disk = {p.relative_to(examples).as_posix() for p in examples.rglob("*") if p.is_file()}
        self.assertEqual(on_disk, set(make_presets.EXAMPLES))


class CaseLoader(unittest.TestLoader):
    """Loads the long cases only, or all the others, or (cases None) every case."""

    def __init__(self, cases):
        super().__init__()
        self.cases = cases

    def getTestCaseNames(self, testCaseClass):
        names = super().getTestCaseNames(testCaseClass)
        if self.cases is None:
            return names
        return [name for name in names if
                getattr(getattr(testCaseClass, name), "long_case", False) == (self.cases == "long")]


class KeepingResult(unittest.TextTestResult):
    """With --keep: removes a case's scratch directory once the case is over, unless it
    failed; then it names the directory left for a look."""

    def startTest(self, test):
        self.case_failed = False
        super().startTest(test)

    def addError(self, test, err):
        self.case_failed = True
        super().addError(test, err)

    def addFailure(self, test, err):
        self.case_failed = True
        super().addFailure(test, err)

    def addSubTest(self, test, subtest, err):
        self.case_failed |= err is not None
        super().addSubTest(test, subtest, err)

    def stopTest(self, test):
        scratch = getattr(test, "dir", None)
        if scratch is not None and scratch.exists():
            if self.case_failed:
                self.stream.writeln(f"Kept the scratch directory of {test.id()}: {scratch}")
            else:
                remove_scratch(scratch)
        super().stopTest(test)


class KeepingRunner(unittest.TextTestRunner):
    resultclass = KeepingResult


def main():
    global PROGRAM, EXEC_PREFIX, WINDOWS_BUILD, KEEP
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the tunewright binary to test")
    parser.add_argument("--exec-prefix", default="",
                        help="command that runs the binary, such as wine (split like a shell)")
    parser.add_argument("--cases", choices=("quick", "long"),
                        help="only the slow cases, or only the others (default: every case)")
    parser.add_argument("--keep", action="store_true",
                        help="leave the scratch directory of a case that fails")
    args, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(args.program)
    EXEC_PREFIX = shlex.split(args.exec_prefix)
    KEEP = args.keep
    WINDOWS_BUILD = PROGRAM.lower().endswith(".exe")
    if WINDOWS_BUILD:
        os.environ.setdefault("WINEDEBUG", "-all")
    if EXEC_PREFIX and Path(EXEC_PREFIX[0]).name.startswith("wine") and shutil.which("wineserver"):
        # Without a lingering server every wine start pays seconds of server start-up.
        subprocess.run(["wineserver", "-p60"], check=False, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, testLoader=CaseLoader(args.cases),
                  testRunner=KeepingRunner if KEEP else None)


if __name__ == "__main__":
    main()
