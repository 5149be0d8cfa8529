#!/usr/bin/env python3
"""Mutation testing: makes small slips in the program's sources by rule, builds each slipped
program and runs the tests on it, and reports the slips no test noticed (the survivors).

    tools/mutate.py [--sample N] [--seed S] [--shard K/N] [--json FILE] [--work DIR] [PATH...]

Each mutant changes one place of one source file. The sources are copied to WORK/src (WORK is
build/mutation unless --work says otherwise) and built once in WORK/build (a debug build,
warnings not fatal); that build is kept as a snapshot, and every mutant starts from a fresh copy
of it, so a mutant's build only compiles its own file. The tests run fastest first (as timed on
the unmutated build) and stop at the first failure. A mutant that does not compile changes
nothing that runs and is left out of the score. A line whose comment holds "no-mutate: why" (or
"no-mutate(rule,...): why"), or a comment just above it, is not mutated; see
docs/MUTATION_TESTING.md.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Sources that are not built natively, or that belong to another build, are not mutated.
DEFAULT_PATHS = ["src"]
EXCLUDED = {"src/platform/platform_win32.cpp"}
EXCLUDED_FOLDERS = ("src/web/",)
# Extra arguments for a test command, so that it stops at its first failing case.
FAIL_FAST = {"e2e": ["--failfast"], "e2e_long": ["--failfast"]}

RULES = ("relational", "arithmetic", "bitwise", "logical", "constant", "negation", "drop-call",
         "drop-return", "swap-branches", "message")
KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "static_assert", "alignof",
            "decltype", "catch", "case"}


class Mutant:
    def __init__(self, path, text, start, end, replacement, rule):
        self.path = path  # relative to the source root, with slashes
        self.start, self.end, self.replacement, self.rule = start, end, replacement, rule
        self.line = text.count("\n", 0, start) + 1
        first = text.rfind("\n", 0, start) + 1
        last = text.find("\n", end)
        last = len(text) if last < 0 else last
        before = text[first:last]
        after = text[first:start] + replacement + text[end:last]
        self.original = " / ".join(part.strip() for part in before.splitlines())
        self.mutated = " / ".join(part.strip() for part in after.splitlines()) or "(removed)"
        self.result, self.killed_by, self.seconds = None, None, 0.0

    def key(self):
        return (self.path, self.line, self.rule, self.original, self.mutated)

    def describe(self):
        return f"{self.path}:{self.line}: [{self.rule}] {self.original}  ->  {self.mutated}"

    def apply(self, text):
        return text[:self.start] + self.replacement + text[self.end:]


# --- finding the places to mutate


def mask(text):
    """The text with comments, character literals, preprocessor lines and string literals
    blanked out (lengths and newlines kept), and the spans of the string literals."""
    out = list(text)
    strings = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and text[i:].lstrip(" \t").startswith("#"):
            end = text.find("\n", i)
            end = n if end < 0 else end
            while text[end - 1:end] == "\\" and end < n:  # continued directive
                end = text.find("\n", end + 1)
                end = n if end < 0 else end
            for j in range(i, end):
                out[j] = " "
            i = end
            continue
        line_start = c == "\n"
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out[i:end] = " " * (end - i)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for j in range(i, end):
                if out[j] != "\n":
                    out[j] = " "
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            if c == '"':
                strings.append((i, j + 1))
            for k in range(i + 1, min(j, n)):
                out[k] = " "
            i = j + 1
        else:
            i += 1
    return "".join(out), strings


def matching(masked, open_at, opening="(", closing=")"):
    depth = 0
    for i in range(open_at, len(masked)):
        if masked[i] == opening:
            depth += 1
        elif masked[i] == closing:
            depth -= 1
            if depth == 0:
                return i
    return -1


SWAPS = {
    "relational": {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="},
    "arithmetic": {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "+=": "-=", "-=": "+="},
    "bitwise": {"&": "|", "|": "&", "^": "&", "<<": ">>", ">>": "<<", "&=": "|=", "|=": "&="},
    "logical": {"&&": "||", "||": "&&"},
}
# A binary operator stands between spaces (the sources are formatted); template brackets,
# pointers, references and unary minus do not.
BINARY = re.compile(r"(?<= )(<<|>>|<=|>=|==|!=|&&|\|\||\+=|-=|&=|\|=|[<>+\-*/%&|^])(?= )")
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
CALL = re.compile(r"(?<![\w.>:])((?:::)?[A-Za-z_]\w*(?:(?:::|\.|->)[A-Za-z_]\w*)*)\(")
COMPARED_WITH_ZERO = re.compile(r" (==|!=|<|<=|>|>=) (0|-1)\b")
MESSAGE = re.compile(r"[A-Za-z]{2,}[ :'] ?[A-Za-z']{2,}")


def markers(line):
    """None when the line is not marked, else the set of rules it keeps out (empty: all)."""
    found = re.search(r"no-mutate(?:\(([\w,\- ]+)\))?", line)
    if not found:
        return None
    return {rule.strip() for rule in found.group(1).split(",")} if found.group(1) else set()


def find_mutants(path, text):
    masked, strings = mask(text)
    lines = text.split("\n")
    offsets = [0]
    for line in lines:
        offsets.append(offsets[-1] + len(line) + 1)
    mutants = []

    def add(start, end, replacement, rule):
        mutants.append(Mutant(path, text, start, end, replacement, rule))

    for number, line in enumerate(lines):
        base = offsets[number]
        code = masked[base:base + len(line)]
        if not code.strip():
            continue
        for found in BINARY.finditer(code):
            op = found.group(1)
            for rule, table in SWAPS.items():
                if op in table:
                    add(base + found.start(), base + found.end(), table[op], rule)
        for found in re.finditer(r"\+\+|--", code):
            add(base + found.start(), base + found.end(), "--" if found.group() == "++" else "++",
                "arithmetic")
        for found in INTEGER.finditer(code):
            digits, suffix = found.groups()
            if digits.lower().startswith("0x"):
                value, shown = int(digits, 16), hex
            elif len(digits) > 1 and digits.startswith("0"):
                value, shown = int(digits, 8), lambda v: "0" + format(v, "o")
            else:
                value, shown = int(digits), str
            add(base + found.start(), base + found.end(), shown(value + 1) + suffix, "constant")
            if value > 0:
                add(base + found.start(), base + found.end(), shown(value - 1) + suffix,
                    "constant")
        for found in re.finditer(r"\b(true|false)\b", code):
            add(base + found.start(), base + found.end(),
                "false" if found.group() == "true" else "true", "negation")
        for found in re.finditer(r"!(?!=)", code):
            add(base + found.start(), base + found.end(), "", "negation")
        for found in re.finditer(r"\b(if|while) \(", code):
            close = matching(code, found.end() - 1)
            if close > 0:
                inner = text[base + found.end():base + close]
                add(base + found.end(), base + close, f"!({inner})", "negation")
        for found in CALL.finditer(code):
            name = found.group(1)
            if name.split("::")[-1] in KEYWORDS or name in KEYWORDS:
                continue
            close = matching(code, found.end() - 1)
            if close < 0:
                continue
            before = code[:found.start()].rstrip()
            after = code[close + 1:]
            if COMPARED_WITH_ZERO.match(after):
                add(base + found.start(), base + close + 1, "0", "drop-call")
            elif before.endswith("!") and not before.endswith("!="):
                add(base + found.start(), base + close + 1, "true", "drop-call")
            elif code[:found.start()].strip() == "" and after.strip() == ";" and \
                    masked[:base].rstrip()[-1:] in ("", ";", "{", "}"):  # a statement of its own
                add(base + found.start(), base + close + 2, "", "drop-call")
        stripped = code.strip()
        if re.match(r"return\b", stripped):
            end = masked.find(";", base)
            add(base + (len(line) - len(line.lstrip())), end + 1, "", "drop-return")
        if re.match(r"(\} else )?if \(.*\{$", stripped) and not stripped.startswith("}"):
            brace = base + code.rindex("{")
            close = matching(masked, brace, "{", "}")
            tail = masked[close:masked.find("\n", close)].strip()
            if close > 0 and tail == "} else {":
                other = masked.index("{", close + 1)
                other_close = matching(masked, other, "{", "}")
                first = text[brace + 1:close]
                second = text[other + 1:other_close]
                # Bodies end with the indentation of their closing brace; keep it where it is.
                first_body, first_tail = first.rstrip(" "), first[len(first.rstrip(" ")):]
                second_body = second.rstrip(" ")
                swapped = second_body + first_tail + "} else {" + first_body + first_tail
                add(brace + 1, other_close, swapped, "swap-branches")
    for start, end in strings:
        if MESSAGE.search(text[start:end]):
            add(start + 1, start + 2, "", "message")  # the message loses its first character
    # Assertions are compiled out of the program users run: a slip in one changes nothing.
    assertions = []
    for found in re.finditer(r"\b(?:static_)?assert\(", masked):
        assertions.append((found.start(), matching(masked, found.end() - 1)))
    kept = []
    for mutant in mutants:
        if any(start <= mutant.start <= end for start, end in assertions):
            continue
        skip = markers(lines[mutant.line - 1])
        # Or in the comment of lines of its own just above the line.
        above = mutant.line - 2
        while skip is None and above >= 0 and lines[above].strip().startswith("//"):
            skip = markers(lines[above])
            above -= 1
        if skip is not None and (not skip or mutant.rule in skip):
            continue
        kept.append(mutant)
    return kept


def source_files(paths):
    files = []
    for given in paths:
        path = (ROOT / given).resolve()
        candidates = [path] if path.is_file() else sorted(path.rglob("*"))
        for candidate in candidates:
            relative = candidate.relative_to(ROOT).as_posix()
            if candidate.suffix in (".cpp", ".h") and relative not in EXCLUDED and \
                    not relative.startswith(EXCLUDED_FOLDERS):
                files.append(relative)
    return sorted(set(files))


def all_mutants(paths):
    mutants = []
    for relative in source_files(paths):
        mutants.extend(find_mutants(relative, (ROOT / relative).read_text()))
    return mutants


# --- building and testing


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)


def copy_sources(destination):
    listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                 cwd=ROOT)
    if destination.exists():
        shutil.rmtree(destination)
    if listed.returncode == 0:
        for name in filter(None, listed.stdout.split("\0")):
            source = ROOT / name
            if source.is_file():
                target = destination / name
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source, target)
    else:  # not a git checkout: everything but build output
        shutil.copytree(ROOT, destination, ignore=shutil.ignore_patterns("build", ".git"))


class Bench:
    """The copied sources, the unmutated build's snapshot and the build folder mutants use."""

    def __init__(self, work, jobs, skipped_labels=(), defines=()):
        self.skipped_labels = skipped_labels
        self.defines = [f"-D{define}" for define in defines]
        self.work = work
        self.sources = work / "src"
        self.build = work / "build"
        self.snapshot = work / "snapshot"
        self.jobs = jobs
        self.tests = []

    def prepare(self):
        self.work.mkdir(parents=True, exist_ok=True)
        copy_sources(self.sources)
        for folder in (self.build, self.snapshot):
            if folder.exists():
                shutil.rmtree(folder)
        configured = run(["cmake", "-S", self.sources, "-B", self.build, "-G", "Ninja",
                          "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                          "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF",
                          # A mutant that drops the last return must not run off the end.
                          "-DCMAKE_CXX_FLAGS=-Werror=return-type", *self.defines])
        if configured.returncode != 0:
            sys.exit("configuring the unmutated sources failed:\n" + configured.stdout)
        if not self.compile():
            sys.exit("building the unmutated sources failed")
        listed = run(["ctest", "--test-dir", self.build, "--show-only=json-v1"])
        for test in json.loads(listed.stdout)["tests"]:
            properties = {p["name"]: p["value"] for p in test.get("properties", [])}
            if set(properties.get("LABELS", [])) & set(self.skipped_labels):
                continue
            self.tests.append({
                "name": test["name"],
                "command": test["command"] + FAIL_FAST.get(test["name"], []),
                "cwd": properties.get("WORKING_DIRECTORY", str(self.build / "tests")),
                "env": dict(item.split("=", 1) for item in properties.get("ENVIRONMENT", [])),
            })
        for test in self.tests:
            began = time.monotonic()
            if self.run_test(test, None) != "passed":
                sys.exit(f"the test {test['name']} fails without any mutant")
            test["seconds"] = time.monotonic() - began
        self.tests.sort(key=lambda test: test["seconds"])
        shutil.copytree(self.build, self.snapshot, symlinks=True)

    def compile(self):
        built = run(["cmake", "--build", self.build, "-j", str(self.jobs)])
        return built.returncode == 0

    def objects_unchanged(self, since):
        """Whether every object the mutant's build made is the snapshot's to the byte: the slip
        sits where this build does not compile (another system's branch) or compiles to the same
        code, so no test could ever see it."""
        rebuilt = [path for path in self.build.rglob("*.o") if path.stat().st_mtime >= since]
        return all((self.snapshot / path.relative_to(self.build)).is_file() and
                   path.read_bytes() == (self.snapshot / path.relative_to(self.build)).read_bytes()
                   for path in rebuilt)

    def run_test(self, test, timeout):
        # In a session of its own, so that whatever it started goes with it: a mutant that hangs
        # under a test's own child would otherwise outlive the test, and take a core for hours.
        ran = subprocess.Popen(test["command"], cwd=test["cwd"], env={**os.environ, **test["env"]},
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            status = ran.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = None
        try:
            os.killpg(ran.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        ran.wait()
        if status is None:
            return "timeout"
        return "passed" if status == 0 else "failed"

    def try_mutant(self, mutant):
        began = time.monotonic()
        source = self.sources / mutant.path
        original = source.read_text()
        times = source.stat()
        shutil.rmtree(self.build)
        shutil.copytree(self.snapshot, self.build, symlinks=True)
        try:
            source.write_text(mutant.apply(original))
            # Newer than anything in the snapshot, whatever the clock's resolution.
            later = max(time.time(), times.st_mtime + 2)
            os.utime(source, (later, later))
            building = time.time()
            if not self.compile():
                mutant.result = "not built"
            elif self.objects_unchanged(building):
                mutant.result = "unchanged"
            else:
                mutant.result = "survived"
                for test in self.tests:
                    outcome = self.run_test(test, 3 * test["seconds"] + 30)
                    if outcome != "passed":
                        mutant.result = "killed" if outcome == "failed" else "timeout"
                        mutant.killed_by = test["name"]
                        break
        finally:
            source.write_text(original)
            os.utime(source, ns=(times.st_atime_ns, times.st_mtime_ns))
        mutant.seconds = time.monotonic() - began


# --- reporting


def folder_of(mutant):
    return mutant.path.rsplit("/", 1)[0]


def score(mutants):
    killed = sum(m.result in ("killed", "timeout") for m in mutants)
    survived = sum(m.result == "survived" for m in mutants)
    return killed, survived, (100.0 * killed / (killed + survived) if killed + survived else None)


def report(mutants, seed, json_path, pool):
    print("\nfolder                 mutants  not built or unchanged  killed  survived  score")
    rows = sorted({folder_of(m) for m in mutants}) + ["all"]
    per_folder = {}
    for folder in rows:
        group = [m for m in mutants if folder == "all" or folder_of(m) == folder]
        killed, survived, percent = score(group)
        not_built = sum(m.result in ("not built", "unchanged") for m in group)
        shown = "-" if percent is None else f"{percent:5.1f}%"
        print(f"{folder:22} {len(group):7}  {not_built:22}  {killed:6}  {survived:8}  {shown}")
        per_folder[folder] = {"mutants": len(group), "not_built": not_built, "killed": killed,
                              "survived": survived, "score": percent}
    survivors = [m for m in mutants if m.result == "survived"]
    if survivors:
        print("\nSurvivors:")
        for mutant in survivors:
            print("  " + mutant.describe())
    if json_path:
        json_path.parent.mkdir(parents=True, exist_ok=True)
        json_path.write_text(json.dumps({
            "seed": seed, "pool": pool, "sample": len(mutants), "scores": per_folder,
            "mutants": [{"file": m.path, "line": m.line, "rule": m.rule, "original": m.original,
                         "mutated": m.mutated, "result": m.result, "killed_by": m.killed_by,
                         "seconds": round(m.seconds, 1)} for m in mutants],
        }, indent=1) + "\n")
        print(f"\nResults: {json_path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", default=DEFAULT_PATHS,
                        help="source files or folders to mutate (default: src)")
    parser.add_argument("--sample", type=int, default=100, help="how many mutants to try")
    parser.add_argument("--seed", type=int, default=1, help="picks the sample reproducibly")
    parser.add_argument("--rule", action="append", choices=RULES, help="only these rules")
    parser.add_argument("--only", action="append", metavar="FILE:LINE",
                        help="every mutant of this line, no sampling (repeatable)")
    parser.add_argument("--rerun", type=Path,
                        help="try again the survivors listed in this results file")
    parser.add_argument("--list", action="store_true", help="print the sample, build nothing")
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "mutation",
                        help="folder for the copied sources and the builds")
    parser.add_argument("--json", type=Path, help="results file (default: WORK/results.json)")
    parser.add_argument("--jobs", type=int, default=1, help="build jobs")
    parser.add_argument("--skip-label", action="append", metavar="LABEL",
                        help="leave out the tests of this label (long: a quick first pass, whose "
                             "survivors --rerun tries again with every test)")
    parser.add_argument("--shard", metavar="K/N",
                        help="only the K-th of N equal parts of the sample (1/2, 2/2), so that "
                             "N runs with their own --work share it")
    parser.add_argument("--define", action="append", metavar="NAME=VALUE",
                        help="a CMake setting for the build the mutants are tried in, such as "
                             "TUNEWRIGHT_PORTABLE_POSIX=ON for the branches only that build runs")
    parser.add_argument("--fail-under", type=float,
                        help="exit with status 1 when the score is below this percentage")
    args = parser.parse_args()

    pool = [m for m in all_mutants(args.paths) if not args.rule or m.rule in args.rule]
    if args.rerun:
        # By text, the nearest line first, so that survivors are found again after edits above
        # them.
        sample = []
        for survivor in json.loads(args.rerun.read_text())["mutants"]:
            if survivor["result"] != "survived":
                continue
            text = (survivor["file"], survivor["rule"], survivor["original"], survivor["mutated"])
            alike = [m for m in pool if (m.path, m.rule, m.original, m.mutated) == text]
            if alike:
                sample.append(min(alike, key=lambda m: abs(m.line - survivor["line"])))
    elif args.only:
        sample = [m for m in pool if f"{m.path}:{m.line}" in args.only]
    else:
        sample = random.Random(args.seed).sample(pool, min(args.sample, len(pool)))
    if args.shard:
        part, parts = (int(number) for number in args.shard.split("/"))
        sample = sample[part - 1::parts]
    print(f"{len(pool)} mutants in {args.paths}; trying {len(sample)}" +
          ("" if args.rerun or args.only else f" (seed {args.seed})"))
    if args.list:
        for mutant in sample:
            print("  " + mutant.describe())
        return 0
    try:
        os.nice(19 - os.nice(0))  # a long job on a shared machine: let everything else go first
    except OSError:
        pass
    bench = Bench(args.work.resolve(), args.jobs, args.skip_label or [], args.define or [])
    print("Building and testing the unmutated sources ...", flush=True)
    bench.prepare()
    print("Tests in order: " + ", ".join(f"{t['name']} ({t['seconds']:.0f} s)"
                                         for t in bench.tests), flush=True)
    for index, mutant in enumerate(sample, 1):
        bench.try_mutant(mutant)
        print(f"[{index}/{len(sample)}] {mutant.result:9} {mutant.seconds:5.0f} s  "
              f"{mutant.describe()}" + (f"  ({mutant.killed_by})" if mutant.killed_by else ""),
              flush=True)
    report(sample, args.seed, args.json or bench.work / "results.json", len(pool))
    _, _, percent = score(sample)
    return 1 if args.fail_under is not None and percent is not None and \
        percent < args.fail_under else 0


if __name__ == "__main__":
    sys.exit(main())
