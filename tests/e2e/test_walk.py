"""The walk over the paths given: what is scanned or passed over, path limits, odd entries."""

import os
import subprocess
import tempfile
import time

from presets import BRISKLET_V050, BRISKLET_V051
from runner import (CliTest, decode, finish, host_links, ordinary_user, posix_build_only,
                    reason, windows_build_only)


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
                           "Error 2: Failed to open input file: b.fxp\n" + reason("missing"))
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
        # Listed; its entry ".." would make a path of 260 characters, but a scan passes over it
        # and never builds its path.
        self.assertRun(["-rv", fits], out=f"Searching directory: {fits}\n")
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
        # What a scan passes over (not a preset, not a folder it enters) has no path built, so
        # no length of its name stops a run; a subfolder that is entered has.
        (self.dir / directory / f"{'b' * 55}.fxp").unlink()
        self.write(f"{directory}/sub/{'c' * 100}.txt", b"notes")
        self.assertRun(["-r", directory], err=f"Error 1: Unrecognized source format: "
                                              f"{directory}\\{'a' * 54}.fxp\n")
        (self.dir / directory / "sub").rename(self.dir / directory / ("s" * 60))
        result = self.run_tool("-r", directory)
        self.assertEqual((result.status, result.err.splitlines()[-1]),
                         (3, f"Error 2: Couldn't make file path: {'s' * 60}"), result)

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
        with self.assertRaises(subprocess.TimeoutExpired):  # a writer released soon ends
            writer.wait(timeout=0.5)

    @posix_build_only
    def test_an_unreadable_directory_does_not_stop_a_recursive_scan(self):
        self.dir.chmod(0o777)
        self.write("d/b/room.fxp", BRISKLET_V050)
        (self.dir / "d/a").mkdir()
        for folder, mode in (("d", 0o777), ("d/b", 0o777), ("d/a", 0)):
            (self.dir / folder).chmod(mode)
        result = self.run_tool("-rv", "d", preexec_fn=ordinary_user())
        self.assertEqual((result.status, result.err, sorted(result.out.splitlines())),
                         (0, "Error 1: Couldn't read directory: d\\a\n" + reason("denied"),
                          ["Converting data file: d\\b\\room.fxp", "Searching directory: d",
                           "Searching directory: d\\a", "Searching directory: d\\b"]))
        self.assertRun(["-e1", "d\\a"], status=3, preexec_fn=ordinary_user(),
                       err="Error 1: Couldn't read directory: d\\a\n")
        # A preset in a folder that may not be searched: the folder is the reason.
        self.assertRun(["-v", "d/a/pad.fxp"], status=3, preexec_fn=ordinary_user(),
                       err="Error 2: Failed to open input file: d/a/pad.fxp\n" + reason("denied"))
        self.assertEqual(self.read("d/b/501_room.fxp"), BRISKLET_V051)
        # A preset that may not be read: the file is the reason.
        self.write("d/b/locked.fxp", BRISKLET_V050).chmod(0)
        self.assertRun(["-v", "d/b/locked.fxp"], status=3, preexec_fn=ordinary_user(),
                       err="Error 2: Failed to open input file: d/b/locked.fxp\n" + reason("denied"))

    @posix_build_only
    def test_a_long_scan_keeps_few_files_open(self):
        import resource
        for i in range(40):
            self.write(f"lib/{i}/room.fxp", BRISKLET_V050)
        # A folder of more than the read-ahead keeps at once.
        for i in range(64):
            self.write(f"lib/big/{i}.fxp", self.GARBAGE * 700)
        result = self.run_tool("-r", "lib", preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (24, 24)))
        self.assertEqual((result.status, sorted(result.err.splitlines())), (0, sorted(
            f"Error 1: Unrecognized source format: lib\\big\\{i}.fxp" for i in range(64))))
        for i in range(40):
            self.assertEqual(self.read(f"lib/{i}/501_room.fxp"), BRISKLET_V051, i)

    @posix_build_only
    def test_a_scan_where_no_thread_can_start_reads_each_preset_itself(self):
        import resource
        if os.geteuid() != 0:
            self.skipTest("needs root, to be a user with no other process")
        self.dir.chmod(0o777)
        self.write("lib/room.fxp", BRISKLET_V050)
        (self.dir / "lib").chmod(0o777)
        become = ordinary_user()

        def one_process_only():
            become()
            resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
        # A sanitizer build's leak check needs a thread of its own: it is left out here.
        self.assertRun(["lib"], preexec_fn=one_process_only,
                       env={"ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1"})
        self.assertEqual(self.read("lib/501_room.fxp"), BRISKLET_V051)

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

    def test_presets_listed_together_are_taken_in_turn_whatever_their_size(self):
        # More than are read ahead at once, one too big to be read ahead and an empty one (both
        # read the plain way), a folder among them, and many folders of one preset, each of
        # whose reads the scan waits for.
        refused = {"big.fxp": self.GARBAGE * 24000, "empty.fxp": b""}
        refused.update({f"g{i}.fxp": self.GARBAGE for i in range(60)})
        for name, image in refused.items():
            self.write(f"d/{name}", image)
        for i in range(60):
            self.write(f"d/v{i}.fxp", BRISKLET_V050)
        self.write("d/sub/g.fxp", self.GARBAGE)
        refused["g.fxp"] = self.GARBAGE
        for i in range(150):
            self.write(f"d/one/{i}/v.fxp", BRISKLET_V050)
        with tempfile.TemporaryFile() as both:
            with self.start("-vvr", "d", stdout=both, stderr=both) as process:
                finish(process, 120)
            both.seek(0)
            lines = decode(both.read()).splitlines()
        # Each refusal follows the loading of its own file.
        errors = [(previous, line) for previous, line in zip(lines, lines[1:])
                  if line.startswith("Error")]
        self.assertEqual(sorted(line.rsplit("\\", 1)[1] for _, line in errors), sorted(refused))
        for previous, line in errors:
            self.assertEqual(previous, "Loading data file: " + line.rsplit(": ", 1)[1])
        for i in range(60):
            self.assertEqual(self.read(f"d/501_v{i}.fxp"), BRISKLET_V051, i)
        for i in range(150):
            self.assertEqual(self.read(f"d/one/{i}/501_v.fxp"), BRISKLET_V051, i)

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
