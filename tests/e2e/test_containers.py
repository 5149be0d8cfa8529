"""Containers (.vstpreset) end to end: programs and banks in them, and their near misses."""

from presets import (make_presets, BRISKLET_V050, BRISKLET_V051, TAVLORA_V012, TAVLORA_V020,
                     TAVLORA_V023, TAVLORA_V025, bank, dump, named)
from runner import CliTest


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
            "wrong magic": b"VSTX" + lying()[4:],
            "list not named List": lying()[:listed] + b"Lisx" + lying()[listed + 4:],
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
            "wrapper not VstW": only(b"VstX" + comp[4:]),
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
