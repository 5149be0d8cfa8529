"""Untrusted trees: names, links and timing that must not lead a run outside what it was given."""

import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

from presets import make_presets, BRISKLET_V050, BRISKLET_V051, TAVLORA_V012, TAVLORA_V025
import runner
from runner import (CliTest, WINDOWS_BUILD, host_links, long_case, ordinary_user,
                    posix_build_only)


def held_at(call, seconds=2, path=None):
    """A wrapper that holds the program for seconds the first time it enters the system call
    (strace's delay injection), with path only a call on that file, so a test can act at that
    very moment; None without strace."""
    strace = shutil.which("strace")
    # A sanitizer build's leak check cannot run under a tracer: it is left out there.
    return None if strace is None else [
        strace, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1",
        *(["-P", str(path)] if path is not None else []),
        "-e", f"inject={call}:delay_enter={seconds * 1000000}:when=1"]


def failing_at(fault):
    """A wrapper under which a system call fails as fault says (strace's error injection:
    "copy_file_range:error=EIO:when=1"); None without strace."""
    strace = shutil.which("strace")
    return None if strace is None else [
        strace, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1",
        "-e", f"inject={fault}"]


# The numbers of the calls held, where the system says which call a stopped program is in.
CALL_NUMBERS = {
    "x86_64": {"pread64": 17, "fchmod": 91, "fchown": 93, "fsync": 74, "linkat": 265},
    "aarch64": {"pread64": 67, "fchmod": 52, "fchown": 55, "fsync": 82, "linkat": 37},
}


def wait_until_held(running, call, timeout=30):
    """Waits until the program that held_at wraps is held in the call: stopped by its tracer,
    in that very call (as /proc tells it), for a while."""
    number = CALL_NUMBERS.get(os.uname().machine, {}).get(call)
    tracer = running.process.pid
    deadline = time.monotonic() + timeout
    stopped = 0
    while stopped < 5:
        assert time.monotonic() < deadline, "the program was never held"
        try:
            children = Path(f"/proc/{tracer}/task/{tracer}/children").read_text().split()
            state = Path(f"/proc/{children[0]}/stat").read_text().rsplit(")", 1)[1].split()[0]
            held = state == "t" and (number is None or Path(
                f"/proc/{children[0]}/syscall").read_text().split()[0] == str(number))
        except (OSError, IndexError):
            held = False
        stopped = stopped + 1 if held else 0
        time.sleep(0.02)


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
        user = ordinary_user()
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
            # Where the user may not make files, run as an ordinary user: a folder closed to
            # them, even around their own preset, and a file system mounted read-only.
            ("a folder the user may not write", [], lambda out: out.parent.chmod(0o755),
             "Failed to open output file: {out}", root),
            ("-o in a folder the user may not write", ["-o"],
             lambda out: (os.chown(out, 4444, 4444), out.parent.chmod(0o755)),
             "Failed to open output file: {out}", root),
            ("a read-only file system", [], lambda out: subprocess.run(
                ["mount", "-o", "remount,ro", str(out.parent)], check=True),
             "Failed to open output file: {out}", root),
        ]
        if root:
            self.dir.chmod(0o755)
        for number, (what, options, meet, err, possible) in enumerate(cases):
            if not possible:
                continue
            with self.subTest(what=what):
                if what == "a read-only file system":
                    self.mount_tmpfs(f"c{number}", "size=1m")
                preset = f"c{number}/{long_name if what == 'a name too long' else 'room.fxp'}"
                self.write(preset, BRISKLET_V050)
                out = preset if "-o" in options else preset.replace(
                    "/", "/sub/" if "-psub/" in options else "/501_")
                meet(self.dir / out)
                before = self.tree()
                as_user = user if "may not write" in what else None
                for dry in (["-n"], []):
                    self.assertRun([*dry, *options, preset], status=3, preexec_fn=as_user,
                                   err="Error 2: " + err.format(out=out, preset=preset) + "\n")
                    self.assertEqual(self.tree(), before)

    @host_links
    @long_case
    def test_a_save_made_at_any_moment_before_the_rename_is_never_lost(self):
        if held_at("fsync") is None:
            self.skipTest("needs strace")
        newer = make_presets.preset(2000500, [0.9, 0.8, 0.7, 0.6, 0.5, 0.4], b"Room", 500)
        # Held as the preset is read, once the temporary is made, once it is written (as it is
        # given the preset's owner), and as it is flushed.
        moments = (("pread64", "room.fxp"), ("fchmod", None), ("fchown", None), ("fsync", None))
        if WINDOWS_BUILD:  # wine's own calls come first: only the flush is the program's alone
            moments = (("fsync", None),)
        for call, path in moments:
            for save in ("in place", "by rename"):
                with self.subTest(call=call, save=save):
                    preset = self.write("room.fxp", BRISKLET_V050)
                    held = held_at(call, seconds=1, path=path and self.dir / path)
                    running = self.start_tool("-o", "room.fxp", wrapper=held)
                    wait_until_held(running, call)  # the host saves now
                    if save == "in place":
                        preset.write_bytes(newer)  # as long as before: only the time tells
                    else:
                        os.replace(self.write("room.fxp.saving", newer), preset)
                    result = running.finish()
                    self.assertEqual(
                        (result.status, result.err),
                        (3, "Error 2: File changed meanwhile, not replaced: room.fxp\n"))
                    self.assertEqual(self.tree(), {"room.fxp": newer})

    @posix_build_only
    def test_a_link_named_is_followed_whatever_the_length_of_its_target(self):
        # 4,095 bytes, the longest target a link holds, and one byte.
        for target, link in (("./" * 2043 + "rooms.fxp", "long.fxp"), ("r", "short.fxp")):
            self.write(target, BRISKLET_V050)
            os.symlink(target, self.dir / link)
            self.assertRun(["-o", link])
            self.assertEqual(self.read(target), BRISKLET_V051)

    @posix_build_only
    def test_a_preset_swapped_for_a_link_after_it_was_read_makes_nothing_where_it_leads(self):
        if held_at("pread64") is None:
            self.skipTest("needs strace")
        self.write("elsewhere/target.fxp", BRISKLET_V050)
        elsewhere = self.dir / "elsewhere"
        (elsewhere / "target.fxp").chmod(0o4755)
        before = (self.tree(), elsewhere.stat().st_mtime_ns)
        preset = self.write("pack/room.fxp", BRISKLET_V050)
        running = self.start_tool("-o", "pack/room.fxp",
                                  wrapper=held_at("pread64", path=preset))
        wait_until_held(running, "pread64")  # opened, about to be read
        preset.unlink()
        os.symlink("../elsewhere/target.fxp", preset)
        result = running.finish()
        self.assertEqual((result.status, result.err),
                         (3, "Error 2: File changed meanwhile, not replaced: pack/room.fxp\n"))
        # Not even for a moment: a file made and removed there would show in its time.
        self.assertEqual((self.outside("pack"), elsewhere.stat().st_mtime_ns), before)

    @posix_build_only
    def test_an_output_that_appears_with_the_very_bytes_is_done_with_f_too(self):
        if held_at("linkat") is None:
            self.skipTest("needs strace")
        for options in ([], ["-f"]):
            with self.subTest(options=options):
                self.write("room.fxp", BRISKLET_V050)
                (self.dir / "501_room.fxp").unlink(missing_ok=True)
                running = self.start_tool(*options, "room.fxp", wrapper=held_at("linkat"))
                wait_until_held(running, "linkat")  # about to give the new file its name
                self.write("501_room.fxp", BRISKLET_V051)
                self.assertEqual(running.finish().__dict__,
                                 {"status": 0, "out": "", "err": ""})
                self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050,
                                               "501_room.fxp": BRISKLET_V051})

    @posix_build_only
    def test_each_interruption_and_a_size_limit_leave_no_temporary(self):
        import resource
        import signal
        held = held_at("fsync")
        if held is None:
            self.skipTest("needs strace")
        self.write("room.fxp", BRISKLET_V050)
        # Ctrl-C, Ctrl-\, a termination request, a closed terminal.
        for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP):
            running = self.start_tool("-o", "room.fxp", wrapper=held,
                                      preexec_fn=lambda: resource.setrlimit(
                                          resource.RLIMIT_CORE, (0, 0)))
            self.wait_for_temporary()
            os.kill(int(subprocess.check_output(
                ["cat", f"/proc/{running.process.pid}/task/{running.process.pid}/children"])),
                number)
            self.assertEqual(running.finish().status, -number, number.name)
            self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V050}, number.name)
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
    def test_no_output_gains_access_from_its_directory(self):
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
        own = posix_acl((ACL_USER_OBJ, 6, NO_ID), (ACL_USER, 6, 5555), (ACL_GROUP_OBJ, 0, NO_ID),
                        (ACL_MASK, 6, NO_ID), (ACL_OTHER, 0, NO_ID))
        ruled = self.write("shared/ruled.fxp", BRISKLET_V050)
        os.setxattr(ruled, "system.posix_acl_access", own)
        self.assertRun(["shared/plain.fxp", "shared/ruled.fxp"], preexec_fn=lambda: os.umask(0))
        made = self.dir / "shared/501_plain.fxp"
        self.assertEqual((os.listxattr(made), made.stat().st_mode & 0o7777), ([], 0o640))
        # A preset's group bits under an ACL are its mask, not what its group may do (nothing
        # here): a new output gives its group nothing.
        made = self.dir / "shared/501_ruled.fxp"
        self.assertEqual((os.listxattr(made), made.stat().st_mode & 0o7777), ([], 0o600))
        self.assertRun(["-o", "shared/plain.fxp", "shared/ruled.fxp"])
        self.assertEqual((os.listxattr(plain), plain.stat().st_mode & 0o7777), ([], 0o640))
        self.assertEqual(os.getxattr(ruled, "system.posix_acl_access"), own)
        self.assertEqual((plain.read_bytes(), ruled.read_bytes()), (BRISKLET_V051, BRISKLET_V051))

    @posix_build_only
    def test_a_call_that_fails_late_leaves_no_output_that_is_not_whole(self):
        if failing_at("fsync:error=EIO") is None:
            self.skipTest("needs strace")
        self.write("song.dawproject", make_presets.example_archive()[0])
        ruled = self.write("ruled.fxp", BRISKLET_V050)
        try:
            os.setxattr(ruled, "system.posix_acl_access", posix_acl(
                (ACL_USER_OBJ, 6, NO_ID), (ACL_GROUP_OBJ, 4, NO_ID), (ACL_MASK, 4, NO_ID),
                (ACL_OTHER, 0, NO_ID)))
        except OSError:
            ruled = None  # the file system keeps no ACLs
        self.write("d/room.fxp", BRISKLET_V050).chmod(0o666)
        self.write("lib/room.fxp", BRISKLET_V050)
        os.symlink("d/room.fxp", self.dir / "link.fxp")
        if os.geteuid() == 0:
            os.chown(self.dir / "d", 4444, 4444)
        self.dir.chmod(0o711)
        (self.dir / "d").chmod(0o300)  # flushed through its file system: it cannot be read
        failed = "Error 2: Failed to write output file: "
        linux = not runner.PORTABLE_POSIX
        for fault, arguments, status, err, made, ran in [
            ("copy_file_range:error=EIO:when=1", ["-v", "song.dawproject"], 3,
             failed + "205_song.dawproject\n  Reason: Input/output error\n", {}, linux),
            # A replacement whose access rules cannot be carried is not made.
            ("fsetxattr:error=EPERM", ["-o", "ruled.fxp"], 3, failed + "ruled.fxp\n", {},
             ruled is not None),
            # The link named, read through, that cannot be read itself when it is replaced.
            ("readlinkat:error=EIO", ["-o", "link.fxp"], 3,
             "Error 2: Failed to open output file: link.fxp\n", {}, True),
            # A listing that fails part way: what it listed is converted first, and the run goes
            # on as past any folder that cannot be read.
            ("getdents64:error=EIO:when=2", ["-v", "lib"], 0,
             "Error 1: Couldn't read directory: lib\n  Reason: Input/output error\n",
             {"lib/501_room.fxp": BRISKLET_V051}, True),
            # Renamed, but not made durable: the user hears so.
            ("syncfs:error=EIO", ["-o", "d/room.fxp"], 3, failed + "d/room.fxp\n",
             {"d/room.fxp": BRISKLET_V051}, linux),
        ]:
            if not ran:
                continue
            with self.subTest(fault=fault):
                before = self.tree()
                result = self.start_tool(*arguments, wrapper=failing_at(fault),
                                         preexec_fn=ordinary_user() if "d/" in arguments[-1]
                                         else None).finish()
                self.assertEqual((result.status, result.err), (status, err))
                self.assertEqual(self.tree(), {**before, **made})

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
