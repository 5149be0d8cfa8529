"""Projects (.dawproject): every fixture of the builder's table, upgraded byte for byte as the
builder says or left byte for byte with its line, and the options a project takes as a preset
does."""

from presets import BRISKLET_V050, BRISKLET_V051, dump, make_presets
from runner import CliTest

# What a project left as it is is reported with: the severity and words of its outcome, and
# whether the device it is about follows on a line of its own.
REFUSALS = {
    "unrecognised": (1, "Unrecognized source format: "),
    "noChain": (1, "Couldn't make converter chain: "),
    "archiveDamaged": (1, "Damaged project archive: "),
    "archiveUnsupported": (1, "Unsupported project archive: "),
    "projectMalformed": (1, "Malformed project document: "),
    "stateMissing": (1, "Device state missing: "),
    "stateMismatch": (1, "Device state of another plug-in: "),
    "parameterNotCarried": (1, "Device parameter cannot be carried over: "),
}


class Projects(CliTest):
    def fixtures(self):
        """The builder's table of projects, each with its file's bytes and, when it is to be
        upgraded, the bytes it must become."""
        table = []
        for fixture in make_presets.project_fixtures():
            table.append(dict(fixture, file=f"{fixture['name']}.dawproject"))
        return table

    def test_each_project_is_upgraded_exactly_or_left_as_it_is(self):
        for fixture in self.fixtures():
            with self.subTest(fixture=fixture["name"]):
                name = fixture["file"]
                self.write(name, fixture["data"])
                before = self.tree()
                target = [f"-t{fixture['target']}"] if fixture["target"] else []
                result = self.run_tool(*target, name)
                outcome = fixture["outcome"]
                if outcome == "upgraded":
                    self.assertEqual((result.status, result.out, result.err), (0, "", ""))
                    self.assertEqual(self.read(fixture["prefix"] + name), fixture["expected"])
                    (self.dir / (fixture["prefix"] + name)).unlink()
                elif outcome == "alreadyCurrent":
                    self.assertEqual((result.status, result.out, result.err), (0, "", ""))
                else:
                    severity, words = REFUSALS[outcome]
                    err = f"Error {severity}: {words}{name}\n"
                    if fixture["device"] is not None:
                        device, state = fixture["device"]
                        err += f"  Device: {device} ({state})\n"
                    self.assertEqual((result.status, result.out, result.err), (0, "", err))
                self.assertEqual(self.tree(), before)
                (self.dir / name).unlink()

    def test_a_project_through_each_option(self):
        song, upgraded = make_presets.example_archive()
        self.write("song.dawproject", song)
        # A dry run writes nothing; -p names the output; -vv names each device and its steps.
        self.assertRun(["-n", "song.dawproject"])
        self.assertEqual(self.tree(), {"song.dawproject": song})
        self.assertRun(["-n", "lost.dawproject"], status=3,
                       err="Error 2: Failed to open input file: lost.dawproject\n")
        self.assertRun(["-pnew_", "-vv", "song.dawproject"], out=(
            "Loading data file: song.dawproject\n"
            "Device: Lead (plugins/Lead.fxp)\n"
            "Tavlora v0.1.2 -> Tavlora v0.2\nTavlora v0.2 -> Tavlora v0.2.3\n"
            "Tavlora v0.2.3 -> Tavlora v0.2.5\n"
            "Device: Pad (plugins/Pad.fxp)\n"
            "Tavlora v0.2 -> Tavlora v0.2.3\nTavlora v0.2.3 -> Tavlora v0.2.5\n"
            "Device: Room (plugins/Room.fxp)\n"
            "Brisklet v0.5 -> Brisklet v0.5.1\n"))
        self.assertEqual(self.read("new_song.dawproject"), upgraded)
        # Found in a scan, and named by the first device's version code; then -o in place, once
        # (the upgraded project is already current).
        self.assertRun(["-r", "-v", "."], out=None)
        self.assertEqual(self.read("205_song.dawproject"), upgraded)
        for _ in range(2):
            self.assertRun(["-o", "song.dawproject"])
            self.assertEqual(self.read("song.dawproject"), upgraded)
        # The first step only: each Tavlora device as far as 0.2, the effect left as it is.
        self.write("song.dawproject", song)
        result = self.run_tool("-t1000200", "song.dawproject")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(sorted(self.tree()), ["200_song.dawproject", "205_song.dawproject",
                                               "new_song.dawproject", "song.dawproject"])

    def test_each_state_is_dumped_as_loaded_and_as_written(self):
        xml = make_presets.project_xml(
            make_presets.vst2_plugin(1114860396, "Room", "plugins/Room.fxp", role="audioFX"))
        self.write("room.dawproject", make_presets.zip_archive(
            make_presets.project_entries(xml, [("plugins/Room.fxp", BRISKLET_V050)])))
        out = ("Loading data file: room.dawproject\nDevice: Room (plugins/Room.fxp)\n" +
               dump(BRISKLET_V050) + "Brisklet v0.5 -> Brisklet v0.5.1\n" + dump(BRISKLET_V051))
        for option in ("-vvv", "-vvvv"):
            with self.subTest(option=option):
                self.assertRun([option, "-n", "room.dawproject"], out=out)
