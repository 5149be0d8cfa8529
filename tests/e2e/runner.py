"""The end-to-end tests' runner: the settings of a run, the one way every case starts the
program (through the exec prefix, in a scratch directory of the case's own), the skip decorators,
@long_case and the loader that picks the quick or the long cases, --keep, and main(), which runs
every test_*.py file of this folder (run.py calls it).
"""

import argparse
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

HERE = Path(__file__).resolve().parent

# The settings of the run, fixed by main() before the case files are imported, so that a case
# file may import them by name.
PROGRAM = None
EXEC_PREFIX = []
# A Windows build: text-mode output ends lines with CRLF, and POSIX-only cases are skipped.
WINDOWS_BUILD = False
# A build with only the POSIX.1-2008 ways of the platform layer: what needs a call of Linux's
# own (O_PATH: a folder held open that may be searched but not read) is not there.
PORTABLE_POSIX = False
# Whether a failed case's scratch directory stays for a look.
KEEP = False

# The version the build describes itself with, from the project's own definition.
PROJECT_VERSION = re.search(
    r"project\(tunewright\s+VERSION\s+([0-9.]+)",
    (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()).group(1)


# The system's own words for a failure, which the program prints on a line of their own at -v
# and above: strerror's on POSIX, FormatMessageW's under wine.
REASONS = {
    "missing": ("No such file or directory", "File not found"),
    "denied": ("Permission denied", "Access denied"),
    "read-only": ("Read-only file system", "Access denied"),
}


def reason(kind):
    """The line the program adds at -v to an error a system call caused."""
    return "  Reason: " + REASONS[kind][1 if WINDOWS_BUILD else 0] + "\n"


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

    def mount_tmpfs(self, folder, options):
        """Mounts a tmpfs with these options at a scratch folder for the case (a read-only or
        a full file system, say), or skips the case where the tests may not mount."""
        path = self.dir / folder
        path.mkdir(parents=True, exist_ok=True)
        if os.name != "posix" or os.geteuid() != 0 or subprocess.run(
                ["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                capture_output=True).returncode != 0:
            self.skipTest("needs to mount a file system (root)")
        self.addCleanup(subprocess.run, ["umount", "-l", str(path)], capture_output=True)
        return path

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


def no_room_to_write():
    """Makes every write of the child fail as on a full disk: a file-size limit of zero, with
    the signal it would raise ignored."""
    import resource
    import signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))


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
    global PROGRAM, EXEC_PREFIX, WINDOWS_BUILD, PORTABLE_POSIX, KEEP
    parser = argparse.ArgumentParser(description=sys.modules["__main__"].__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the tunewright binary to test")
    parser.add_argument("--exec-prefix", default="",
                        help="command that runs the binary, such as wine (split like a shell)")
    parser.add_argument("--cases", choices=("quick", "long"),
                        help="only the slow cases, or only the others (default: every case)")
    parser.add_argument("--portable-posix", action="store_true",
                        help="the program was built with only the POSIX.1-2008 ways")
    parser.add_argument("--keep", action="store_true",
                        help="leave the scratch directory of a case that fails")
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="only the cases whose names match (a substring or a wildcard)")
    parser.add_argument("-f", "--failfast", action="store_true", help="stop at the first failure")
    parser.add_argument("tests", nargs="*",
                        help="cases to run, such as test_banks or test_banks.Banks.test_..."
                             " (default: every test_*.py file here)")
    args = parser.parse_args()
    PROGRAM = os.path.abspath(args.program)
    EXEC_PREFIX = shlex.split(args.exec_prefix)
    KEEP = args.keep
    PORTABLE_POSIX = args.portable_posix
    WINDOWS_BUILD = PROGRAM.lower().endswith(".exe")
    if WINDOWS_BUILD:
        os.environ.setdefault("WINEDEBUG", "-all")
    if EXEC_PREFIX and Path(EXEC_PREFIX[0]).name.startswith("wine") and shutil.which("wineserver"):
        # Without a lingering server every wine start pays seconds of server start-up.
        subprocess.run(["wineserver", "-p60"], check=False, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    loader = CaseLoader(args.cases)
    # As unittest's own -k: a pattern without a wildcard matches anywhere in a case's name.
    loader.testNamePatterns = [p if "*" in p else f"*{p}*" for p in args.patterns] or None
    suite = (loader.loadTestsFromNames(args.tests) if args.tests else
             loader.discover(str(HERE), pattern="test_*.py", top_level_dir=str(HERE)))
    runner = (KeepingRunner if KEEP else unittest.TextTestRunner)(verbosity=2,
                                                                  failfast=args.failfast)
    return 0 if runner.run(suite).wasSuccessful() else 1
