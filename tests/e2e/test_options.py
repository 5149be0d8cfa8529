"""Options end to end: the usage text, the converter list, the version, the option errors."""

from runner import CliTest, PROJECT_VERSION


USAGE = """Usage: tunewright [OPTION]... [FILE]...

-?            Print this help message and exit.

--help        Print this help message and exit.

--version     Print the program's version and exit.

-eERRORLEVEL  Abort on errors with severity >= the specified level.

-f            Replace output files that already exist.

-l            Print a list of available converters and exit.

-n            Don't write updated presets back to file. Useful for testing.

-o            Overwrite old preset files with successfully updated presets.

-pPREFIX      Use this prefix for updated presets instead of the default.

-r            Scan subdirectories recursively and update presets within them.

-tFORMAT      Convert presets to the specified format.

-v            Be verbose. Be even more verbose if this option is repeated.

FILE          A preset to convert or a directory to scan for presets.
"""

CONVERTER_LIST = """Tavlora v0.1.2 (1000102) -> Tavlora v0.2 (1000200)
Tavlora v0.2 (1000200) -> Tavlora v0.2.3 (1000203)
Tavlora v0.2.3 (1000203) -> Tavlora v0.2.5 (1000205)
Brisklet v0.5 (2000500) -> Brisklet v0.5.1 (2000501)
"""


class Options(CliTest):
    def test_usage_and_list(self):
        for args in (["-h"], ["-?"], ["--help"], ["-h", "missing.fxp"],
                     ["-e9", "-?", "-r", "-pX", "-o"]):
            with self.subTest(args=args):
                self.assertRun(args, out=USAGE)
        self.assertRun(["-l"], out=CONVERTER_LIST)
        self.assertRun(["-h", "-l"], out=USAGE + CONVERTER_LIST)
        self.assertRun(["-lh", "missing.fxp"], out=USAGE + CONVERTER_LIST)
        # With -v, each converter's map indented under it, then each chain of several steps to
        # the -t format, composed (the README shows the whole listing).
        listed = self.assertRun(["-lv", "-t1000203"], out=None).out.splitlines()
        self.assertEqual([line for line in listed if not line.startswith("  ")],
                         CONVERTER_LIST.splitlines()
                         + ["Tavlora v0.1.2 (1000102) -> Tavlora v0.2.3 (1000203), in 2 steps"])
        self.assertIn("  new 0 = 0x3F0000CB (version marker), 1 = 0.2857143, 12 = 0.0, 38 = 0.0",
                      listed)
        self.assertRun(["--version", "missing.fxp"], out=f"tunewright {PROJECT_VERSION}\n")

    def test_option_errors(self):
        cases = [
            (["--"], 1, "Error 3: Unrecognized option '--'.\n"),
            (["-h", "-x"], 1, "Error 3: Unrecognized option '-x'.\n"),
            (["-e", "3"], 1, "Error 3: Invalid error level ''.\n"),
            (["-p"], 1, "Error 3: '-p' option requires nonempty parameter.\n"),
            (["-tv"], 1, "Error 3: Invalid target format 'v'.\n"),
            (["-t1000102"], 1, "Error 3: Invalid target format '1000102'.\n"),
            (["-t-1"], 1, "Error 3: Invalid target format '-1'.\n"),
            (["-t99999999999"], 1, "Error 3: Invalid target format '99999999999'.\n"),
            (["-e9", "-eZ", "-x"], 1,
             "Error 3: Invalid error level 'Z'.\nError 3: Unrecognized option '-x'.\n"),
            (["-pX", "-o"], 2, "Error 3: Prefix and overwrite options combined.\n"),
            (["-e3", "-pX", "-o"], 2, "Error 3: Prefix and overwrite options combined.\n"),
            (["-e4", "-pX", "-o"], 0, "Error 3: Prefix and overwrite options combined.\n"),
            (["-e5", "-x", "-p", "-tv"], 0,
             "Error 3: Unrecognized option '-x'.\n"
             "Error 3: '-p' option requires nonempty parameter.\n"
             "Error 3: Invalid target format 'v'.\n"),
        ]
        for args, status, err in cases:
            with self.subTest(args=args):
                self.assertRun(args, status=status, err=err)
