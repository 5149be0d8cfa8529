"""The Windows build as its users meet it: names on every code page, limits, consoles."""

import atexit
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from presets import BRISKLET_V050, BRISKLET_V051, TAVLORA_V012, TAVLORA_V020, TAVLORA_V025
from runner import (CliTest, EXEC_PREFIX, PROGRAM, PROJECT_VERSION, decode, finish, host_links,
                    long_case, no_room_to_write, windows_build_only, WINDOWS_BUILD)


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
        # Found in a scan, where nobody named it: passed over.
        self.write("presets/hall.fxp", BRISKLET_V050)
        os.symlink("../presets/hall.fxp", self.write("lib/own.fxp", BRISKLET_V050).parent / "l.fxp")
        # (Wine lists a link to a file as the file itself, which is then refused as no file of
        # that folder's.)
        self.assertRun(["-e3", "-o", "lib"], err=(
            "Error 2: Failed to open input file: lib\\l.fxp\n" if WINDOWS_BUILD else
            "Error 1: Link passed over: lib\\l.fxp\n"))
        self.assertEqual(self.tree(), {"presets": "<d>", "presets/room.fxp": BRISKLET_V051,
                                       "presets/hall.fxp": BRISKLET_V050, "link.fxp": "<l>",
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
