"""Presets of both plug-ins converted as users ask: outputs, prefixes, targets, dry runs."""

import unittest
from pathlib import Path

from presets import (make_presets, BRISKLET_V050, BRISKLET_V051, TAVLORA_V012, TAVLORA_V020,
                     TAVLORA_V023, TAVLORA_V025, bank, dump)
from runner import CliTest, no_room_to_write, posix_build_only


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

    @posix_build_only
    def test_a_disk_out_of_inodes_is_a_full_disk(self):
        full = self.mount_tmpfs("full", "size=1m,nr_inodes=8")
        self.write("full/room.fxp", BRISKLET_V050)
        for number in range(8):
            try:
                (full / f"filler{number}").touch()
            except OSError:
                break
        for options, out in (([], "full/501_room.fxp"), (["-o"], "full/room.fxp")):
            self.assertRun(["-v", *options, "full/room.fxp"], status=3, out=None,
                           err=f"Error 2: Failed to write output file: {out}\n"
                               "  Reason: No space left on device\n")
        self.assertEqual(self.read("full/room.fxp"), BRISKLET_V050)


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

    def test_a_v023_preset_is_told_by_its_marker_whatever_its_counts(self):
        # Its size and count fields are kept, in a file of its own and in a container; a bank,
        # whose presets are found by their counts, is spoilt by such a count.
        def odd(image):
            changed = bytearray(image)
            changed[4:8] = (0x12345678).to_bytes(4, "big")
            changed[24:28] = (0x7FFFFFFF).to_bytes(4, "big")
            return bytes(changed)

        def container(content):
            return make_presets.vstpreset([(b"Comp", make_presets.comp(content))])
        self.write("p.fxp", odd(TAVLORA_V023))
        self.write("c.vstpreset", container(odd(TAVLORA_V023)))
        self.write("b.fxb", bank([odd(TAVLORA_V023)]))
        self.assertRun(["p.fxp", "c.vstpreset", "b.fxb"],
                       err="Error 1: Unrecognized source format: b.fxb\n")
        self.assertEqual((self.read("205_p.fxp"), self.read("205_c.vstpreset")),
                         (odd(TAVLORA_V025), container(odd(TAVLORA_V025))))

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


class BundledExamples(unittest.TestCase):
    def test_examples_are_what_the_generator_makes(self):
        examples = Path(__file__).resolve().parents[2] / "examples"
        for relative, data in make_presets.EXAMPLES.items():
            self.assertEqual((examples / relative).read_bytes(), data, relative)
        on_disk = {p.relative_to(examples).as_posix() for p in examples.rglob("*") if p.is_file()}
        self.assertEqual(on_disk, set(make_presets.EXAMPLES))
