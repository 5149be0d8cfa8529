"""Banks (.fxb) end to end: as hosts save them, through each option, and their near misses."""

from presets import (make_presets, BRISKLET_V050, BRISKLET_V051, TAVLORA_V012, TAVLORA_V020,
                     TAVLORA_V023, TAVLORA_V025, bank, dump, named)
from runner import CliTest


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
            "record stops short, size unfilled": bank(good, byte_size=0) + b"\0",
            "no programs": bank(good, num_programs=0),
            "too many programs": bank(good, num_programs=3),
            "huge count": bank(good, num_programs=0x7FFFFFFF),
            "huge numParams": bank([TAVLORA_V012, bytes(record)]),
            "negative numParams": bank([bytes(negative), TAVLORA_V012]),
            "opaque bank": bank(good)[:8] + b"FBCh" + bank(good)[12:],
            "chunk program inside": bank([TAVLORA_V012, bytes(chunk)]),
            "chunk program first": bank([bytes(chunk), TAVLORA_V012]),
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
