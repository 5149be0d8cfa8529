"""What the program promises of a user's files: hostile input refused, permissions kept."""

import os
import shutil
import subprocess
import time

from presets import (BRISKLET_V050, BRISKLET_V051, TAVLORA_V012, TAVLORA_V020, TAVLORA_V023,
                     TAVLORA_V025)
import runner
from runner import CliTest, WINDOWS_BUILD, as_user, long_case, ordinary_user, posix_build_only


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
                 (b"overlong\xc0\xaf.fxp", b"overlong\\xc0\\xaf.fxp"),
                 # A name that turns the rest of the line around (U+202E), or hides a
                 # direction (U+2066, U+200F), could pass for another name.
                 ("gpj.\u202eevil.fxp".encode(), b"gpj.\\xe2\\x80\\xaeevil.fxp"),
                 ("\u2066a\u200f.fxp".encode(), b"\\xe2\\x81\\xa6a\\xe2\\x80\\x8f.fxp")]
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
    def test_links_in_a_tree_are_passed_over_and_never_followed(self):
        # A link found in a scan leads wherever its maker chose (nowhere, or to a preset of
        # someone else's): nobody named it, so it is not followed, with -o neither.
        self.write("d/a.fxp", BRISKLET_V050)
        self.write("elsewhere/room.fxp", BRISKLET_V050)
        os.symlink("gone.fxp", self.dir / "d" / "vanished.fxp")
        os.symlink("../elsewhere/room.fxp", self.dir / "d" / "room.fxp")
        links = ["Error 1: Link passed over: d\\room.fxp",
                 "Error 1: Link passed over: d\\vanished.fxp"]
        for options, also in (([], []), (["-o"], ["Error 1: Unrecognized source format: "
                                                  "d\\501_a.fxp"])):
            result = self.run_tool(*options, "d")
            self.assertEqual((result.status, sorted(result.err.splitlines())),
                             (0, sorted(links + also)))
        self.assertEqual(self.read("elsewhere/room.fxp"), BRISKLET_V050)
        self.assertFalse((self.dir / "d" / "501_room.fxp").exists())
        self.assertEqual(self.read("d/a.fxp"), BRISKLET_V051)

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
            "Error 1: Link passed over: d\\sub\\null.fxp",
            "Error 1: Link passed over: d\\zero.fxp",
            "Error 2: Failed to open input file: d\\pipe.fxp",
            "Error 2: Failed to open input file: d\\sub\\pipe.FXP"])
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

    @posix_build_only
    def test_replacing_a_preset_removes_no_name(self):
        # The temporary's name is predictable: once it has become the preset's, a removal by that
        # name could take a file someone else put there.
        strace = shutil.which("strace")
        if strace is None:
            self.skipTest("needs strace")
        self.write("room.fxp", BRISKLET_V050)
        calls = self.dir.parent / f"{self.dir.name}.calls"
        running = self.start_tool("-o", "room.fxp", wrapper=[
            strace, "-qq", "-f", "-o", str(calls), "-e", "trace=unlink,unlinkat,rmdir",
            "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"])
        self.assertEqual(running.finish().status, 0)
        self.assertEqual(calls.read_text(), "")
        calls.unlink()
        self.assertEqual(self.tree(), {"room.fxp": BRISKLET_V051})

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


class Permissions(CliTest):
    def setUp(self):
        super().setUp()
        if WINDOWS_BUILD or os.name != "posix":
            self.skipTest("POSIX build only")
        self.dir.chmod(0o777)

    def test_new_outputs_are_open_to_others_no_more_than_their_preset(self):
        preset = self.write("room.fxp", BRISKLET_V050)
        output = self.dir / "501_room.fxp"
        for preset_mode, umask, mode in ((0o666, 0o002, 0o664), (0o666, 0o077, 0o600),
                                         (0o600, 0o002, 0o600), (0o440, 0o002, 0o640)):
            # Made anew, or in place of a link at the output path with -f.
            for options in ([], ["-f"]):
                preset.chmod(preset_mode)
                output.unlink(missing_ok=True)
                if options:
                    os.symlink("elsewhere", output)
                self.assertRun([*options, "room.fxp"], preexec_fn=lambda: os.umask(umask))
                self.assertEqual((output.is_symlink(), output.stat().st_mode & 0o7777),
                                 (False, mode), (preset_mode, umask, options))
        # The mask holds for every output of a run, not only the first.
        preset.chmod(0o666)
        output.unlink()
        self.write("pad.fxp", TAVLORA_V012).chmod(0o666)
        self.assertRun(["room.fxp", "pad.fxp"], preexec_fn=lambda: os.umask(0o077))
        self.assertEqual([(self.dir / name).stat().st_mode & 0o7777
                          for name in ("501_room.fxp", "205_pad.fxp")], [0o600, 0o600])
        # A preset of another group: its output is given that group, and with it the group's
        # access, and stays its maker's.
        if os.geteuid() == 0:
            os.chown(preset, -1, 4444)
            preset.chmod(0o660)
            output.unlink()
            self.assertRun(["room.fxp"], preexec_fn=lambda: os.umask(0))
            self.assertEqual((output.stat().st_uid, output.stat().st_gid,
                              output.stat().st_mode & 0o7777), (0, 4444, 0o660))

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
        if runner.PORTABLE_POSIX:
            # Without O_PATH such a folder cannot be held open, and nothing in it is reached.
            self.assertRun(["-o", "d/room.fxp"], preexec_fn=ordinary_user(), status=3,
                           err="Error 2: Failed to open input file: d/room.fxp\n")
            self.assertEqual(self.read("d/room.fxp"), BRISKLET_V050)
            return
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
        # As root, the owner stays too, and every mode bit: set-user-ID, set-group-ID and
        # sticky, which a change of owner clears, among them.
        for mode in (0o640, 0o4755, 0o2750, 0o1644, 0o6711):
            hall = self.write("hall.fxp", BRISKLET_V050)
            os.chown(hall, 4242, 4343)
            hall.chmod(mode)
            self.assertRun(["-o", "hall.fxp"])
            status = hall.stat()
            self.assertEqual((status.st_uid, status.st_gid, status.st_mode & 0o7777),
                             (4242, 4343, mode), oct(mode))
        # Read-only means read-only, root or not.
        locked = self.write("locked.fxp", BRISKLET_V050)
        locked.chmod(0o444)
        self.assertRun(["-o", "locked.fxp"], status=3,
                       err="Error 2: Failed to open output file: locked.fxp\n")
        self.assertEqual(locked.read_bytes(), BRISKLET_V050)
