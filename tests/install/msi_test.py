#!/usr/bin/env python3
"""The Windows installer as users meet it, under wine: made by CPack as a release is, signed,
installed beside a host that owns .fxp, started from Explorer's verbs, Send To and Win+R,
upgraded, refused as a downgrade, and removed without a trace. In a wine prefix of the test's
own (never ~/.wine), with a virtual display (Xvfb) for the console windows.

    msi_test.py --build-dir build/mingw --launcher build/mingw/tests/explorer_launch.exe \\
        --extensions fxp,fxb,vstpreset

The steps build on each other and run in order; the first failure ends the run.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_presets  # noqa: E402

VERSION = re.search(r"project\(tunewright\s+VERSION\s+([0-9.]+)",
                    (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()).group(1)
NEXT_VERSION = re.sub(r"\d+$", lambda patch: str(int(patch.group()) + 1), VERSION)
FOLDER = "C:\\Program Files\\tunewright\\"
PROGRAM = FOLDER + "tunewright.exe"
CLASSES = "HKLM\\Software\\Classes\\"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
ROOM = make_presets.preset(2000500, [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], b"Room", 500)
ROOM_UPGRADED = make_presets.preset(2000501, [0.1, 0.2, 1.0, 0.3, 0.4, 0.5, 0.6, 1.0], b"Room",
                                    500)
BANK, BANK_UPGRADED = make_presets.bank([ROOM, ROOM]), make_presets.bank([ROOM_UPGRADED] * 2)
ARGS = None


def run(*command, **options):
    return subprocess.run([str(part) for part in command], check=True, capture_output=True,
                          text=True, timeout=300, **options).stdout


def summary(upgraded):
    return f"Presets upgraded: {upgraded}, already current: 0, not recognised: 0, failed: 0."


class Installer(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.root = root = Path(tempfile.mkdtemp(prefix="tunewright-msi-"))
        cls.display = None
        try:
            # A throwaway certificate to sign with.
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=tunewright test", "-addext", "extendedKeyUsage=codeSigning",
                "-keyout", root / "key.pem", "-out", root / "certificate.pem")
            (root / "password").write_text("throwaway\n")
            run("openssl", "pkcs12", "-export", "-inkey", root / "key.pem", "-in",
                root / "certificate.pem", "-out", root / "signing.pfx", "-passout",
                f"file:{root / 'password'}")
            cls.msi = cls.cpack("release", f"CPACK_TUNEWRIGHT_SIGN_PKCS12={root / 'signing.pfx'}",
                                f"CPACK_TUNEWRIGHT_SIGN_PASSWORD_FILE={root / 'password'}")
            newer = (f"CPACK_PACKAGE_VERSION={NEXT_VERSION}",)
            cls.next_msi, cls.rebuilt_msi = cls.cpack("next", *newer), cls.cpack("again", *newer)
            # The machine: a display, a prefix whose server stays (else each wine command pays
            # seconds to start it and the prefix's services again), drives T: and U:.
            read, write = os.pipe()
            cls.display = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"],
                                           pass_fds=(write,), stderr=subprocess.DEVNULL)
            os.close(write)
            with os.fdopen(read) as number:
                display = number.readline().strip()
            cls.env = dict(os.environ, WINEPREFIX=str(root / "prefix"), WINEDEBUG="-all",
                           DISPLAY=f":{display}", WINEDLLOVERRIDES="mscoree,mshtml=")
            (root / "prefix").mkdir()
            subprocess.run(["wineserver", "-p"], env=cls.env, check=True, timeout=60)
            cls.wine("wineboot", "-i")
            for drive in "tu":
                (root / drive).mkdir()
                (root / "prefix" / "dosdevices" / f"{drive}:").symlink_to(root / drive)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if (cls.root / "prefix").exists():
            subprocess.run(["wineserver", "-k"], env=cls.env, timeout=60)
        if cls.display is not None:
            cls.display.terminate()
            cls.display.wait(timeout=60)
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def cpack(cls, name, *definitions):
        run("cpack", "-G", "External", "--config", ARGS.build_dir / "CPackConfig.cmake", "-B",
            cls.root / name, *(part for definition in definitions for part in ("-D", definition)))
        (msi,) = (cls.root / name).glob("*.msi")
        return msi

    @classmethod
    def wine(cls, *command, check=True, cwd=None):
        # Output to a file: the prefix's services, which the server keeps, would hold a pipe.
        with tempfile.TemporaryFile() as output:
            status = subprocess.run(["wine", *map(str, command)], env=cls.env, timeout=300, cwd=cwd,
                                    stdin=subprocess.DEVNULL, stdout=output,
                                    stderr=subprocess.STDOUT).returncode
            output.seek(0)
            text = output.read().decode("utf-8", "replace")
        if check and status != 0:
            raise AssertionError(f"wine {command}: status {status}\n{text}")
        return status, text

    def msiexec(self, *args, status=0):
        log = self.root / "msiexec.log"
        self.assertEqual(self.wine("msiexec", *args, "/qn", "/l*", self.z(log), check=False)[0],
                         status, log.read_text(errors="replace")[-3000:])
        return log.read_text(errors="replace")

    def z(self, path):
        return "Z:" + str(path).replace("/", "\\")

    def registry(self, key):
        """The key's values ("" for the default), or None without such a key."""
        status, text = self.wine("reg", "query", key, check=False)
        return None if status else {
            "" if name == "(Default)" else name: value
            for name, value in re.findall(r"^    (.+?)    REG_\w+    ?(.*?)\r?$", text, re.M)}

    def products(self):
        """The version of each tunewright in Apps and Features."""
        keys = re.findall(r"^(HKEY.*Uninstall\\\S+)\r?$", self.wine("reg", "query", UNINSTALL)[1],
                          re.M)
        return [values["DisplayVersion"] for values in map(self.registry, keys)
                if values.get("DisplayName") == "tunewright"
                and values.get("Publisher") == "The tunewright developers"]

    def user_folder(self, *parts):
        (home,) = [home for home in (self.root / "prefix/drive_c/users").iterdir()
                   if home.name != "Public"]
        return home.joinpath(*parts)

    def places(self):
        """Every file and key the installer makes, each as installed; None: absent."""
        verbs = {"Upgrade with tunewright": [f"SystemFileAssociations\\.{extension}"
                                             for extension in ARGS.extensions.split(",")],
                 "Upgrade presets with tunewright": ["Directory", "Directory\\Background"]}
        keys = {CLASSES + verb_class + "\\shell\\tunewright": name
                for name, classes in verbs.items() for verb_class in classes}
        folder = self.root / "prefix/drive_c/Program Files/tunewright"
        page = folder / "tunewright.html"
        files = [folder / name for name in ("tunewright.exe", "README.txt", "LICENSE.txt")]
        files += [page, self.start_menu / "tunewright in your browser.lnk"] * page.exists()
        files += [self.start_menu / "README.lnk",
                  self.user_folder("AppData/Roaming/Microsoft/Windows/SendTo/tunewright.lnk")]
        found = {key: self.registry(key) for key in keys}
        found.update({key + "\\command": self.registry(key + "\\command") for key in keys})
        for key in ("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\"
                    "tunewright.exe", "HKLM\\Software\\tunewright", "HKCU\\Software\\tunewright"):
            found[key] = self.registry(key)
        found.update({path: path.exists() or None for path in files})
        found[FOLDER] = sorted(path.name for path in folder.iterdir()) if folder.exists() else None
        return keys, found

    def test_1_package_and_signatures(self):
        self.assertEqual(self.msi.name, f"tunewright-{VERSION}-x64.msi")
        properties = dict(line.split("\t") for line in
                          run("msiinfo", "export", self.msi, "Property").splitlines()[3:])
        self.assertEqual((properties["ALLUSERS"], properties["ProductLanguage"],
                          properties["UpgradeCode"]),
                         ("1", "1033", "{9A60C5D0-8543-459B-A186-AC27B2B61972}"))
        self.assertIn("Template: x64;1033", run("msiinfo", "suminfo", self.msi))
        run("msiextract", "-C", self.root / "files", self.msi)
        for signed in (self.msi, self.root / "files/tunewright/tunewright.exe"):
            self.assertIn("tunewright test", run("osslsigncode", "verify", "-CAfile",
                                                 self.root / "certificate.pem", "-in", signed))
        with self.assertRaises(subprocess.CalledProcessError):  # no certificate, no signature
            run("osslsigncode", "verify", "-in", self.next_msi)

    def test_2_install_beside_a_host(self):
        for key, value in ((".fxp", "Host.Preset"),
                           ("Host.Preset\\shell\\open\\command", '"C:\\Host\\host.exe" "%1"')):
            self.wine("reg", "add", CLASSES + key, "/ve", "/d", value, "/f")
        log = self.msiexec("/i", self.z(self.msi))
        # The all-users Start menu on Windows; wine 8 takes the user's.
        (folder,) = re.findall(r"^Property\(S\): ProgramMenuFolder = C:\\(.*)$", log, re.M)
        Installer.start_menu = self.root / "prefix/drive_c" / folder.replace("\\", "/")
        Installer.start_menu /= "tunewright"
        keys, found = self.places()
        expected = {key: {"": name, "Icon": PROGRAM} | ({} if "Background" in key else
                                                        {"MultiSelectModel": "Single"})
                    for key, name in keys.items()}
        expected.update({key + "\\command": {"": f'"{PROGRAM}" "%1"'} for key in keys})
        expected[CLASSES + "Directory\\shell\\tunewright\\command"] = {"": f'"{PROGRAM}" -r "%1"'}
        # Left open: a drive's root ends in a backslash, which would escape a closing quote.
        expected[CLASSES + "Directory\\Background\\shell\\tunewright\\command"] = {
            "": f'"{PROGRAM}" -r "%V'}
        expected["HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\"
                 "tunewright.exe"] = {"": PROGRAM, "Path": FOLDER}
        expected["HKLM\\Software\\tunewright"] = {"StartMenu": "0x1"}
        expected["HKCU\\Software\\tunewright"] = {"SendTo": "0x1"}
        expected[FOLDER] = sorted(path.name for path in found if isinstance(path, Path) and
                                  path.parent.name == "tunewright" and path.suffix != ".lnk")
        self.assertEqual(found, expected | {path: True for path in found if isinstance(path, Path)})
        Installer.installed = found
        # The host keeps .fxp as it was.
        self.assertEqual(self.registry(CLASSES + ".fxp"), {"": "Host.Preset"})
        self.assertIsNone(self.registry(CLASSES + ".fxp\\shell"))
        self.assertEqual(self.products(), [VERSION])

    def test_3_started_as_explorer_starts_it(self):
        t, u = self.root / "t", self.root / "u"
        sendto = self.z(self.user_folder("AppData/Roaming/Microsoft/Windows/SendTo/tunewright.lnk"))
        # (inputs, the launch, the command line it starts, lines shown before the prompt, outputs)
        cases = [
            ({t / "one/Room.FXP": ROOM},  # Windows matches the extension whatever its case
             ["verb", "SystemFileAssociations\\.FXP", "tunewright", "T:\\one\\Room.FXP"],
             f'"{PROGRAM}" "T:\\one\\Room.FXP"',
             ["Converting data file: T:\\one\\Room.FXP", summary(1)],
             {t / "one/501_Room.FXP": ROOM_UPGRADED}),
            ({t / "Mes préréglages/Hall.fxp": ROOM, t / "Mes préréglages/sub/Spaces.fxb": BANK},
             ["verb", "Directory", "tunewright", "T:\\Mes préréglages"],
             f'"{PROGRAM}" -r "T:\\Mes préréglages"',
             ["Searching directory: T:\\Mes préréglages",
              "Searching directory: T:\\Mes préréglages\\sub",
              "Converting data file: T:\\Mes préréglages\\Hall.fxp",
              "Converting data file: T:\\Mes préréglages\\sub\\Spaces.fxb", summary(2)],
             {t / "Mes préréglages/501_Hall.fxp": ROOM_UPGRADED,
              t / "Mes préréglages/sub/501_Spaces.fxb": BANK_UPGRADED}),
            ({t / "My presets/Plate.fxp": ROOM},
             ["verb", "Directory\\Background", "tunewright", "T:\\My presets"],
             f'"{PROGRAM}" -r "T:\\My presets',
             ["Searching directory: T:\\My presets",
              "Converting data file: T:\\My presets\\Plate.fxp", summary(1)],
             {t / "My presets/501_Plate.fxp": ROOM_UPGRADED}),
            ({u / "Room.fxp": ROOM},  # a drive's root: "%V" would bring U:" instead
             ["verb", "Directory\\Background", "tunewright", "U:\\"],
             f'"{PROGRAM}" -r "U:\\',
             ["Searching directory: U:\\", "Converting data file: U:\\\\Room.fxp", summary(1)],
             {u / "501_Room.fxp": ROOM_UPGRADED}),
            ({t / "send/Echo.fxp": ROOM, t / "send/folder/Delay.fxp": ROOM},
             ["sendto", sendto, "T:\\send\\Echo.fxp", "T:\\send\\folder"],
             f'"{PROGRAM}" -r "T:\\send\\Echo.fxp" "T:\\send\\folder"',
             ["Converting data file: T:\\send\\Echo.fxp", "Searching directory: T:\\send\\folder",
              "Converting data file: T:\\send\\folder\\Delay.fxp", summary(2)],
             {t / "send/501_Echo.fxp": ROOM_UPGRADED, t / "send/folder/501_Delay.fxp":
              ROOM_UPGRADED}),
            ({t / "run/Room.fxp": ROOM},  # Win+R, by App Paths, in the folder it is given
             ["run", "tunewright.exe"], None,
             ["Searching directory: .", "Converting data file: .\\Room.fxp", summary(1)],
             {t / "run/501_Room.fxp": ROOM_UPGRADED}),
        ]
        for inputs, launch, command, lines, outputs in cases:
            with self.subTest(launch=launch):
                for path, data in inputs.items():
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_bytes(data)
                # Its first output: the program has looked at its console by then.
                ready = next(iter(outputs))
                self.wine(ARGS.launcher, self.z(self.root / "report"), self.z(ready), *launch,
                          cwd=ready.parent)
                report = {}
                for line in (self.root / "report").read_text(encoding="utf-8").splitlines():
                    key, _, value = line.partition(": ")
                    report.setdefault(key, []).append(value)
                screen = [line for line in report.get("screen", []) if line]
                self.assertEqual(report.get("command", [None]), [command])
                # Its own console window: it shows what it did, asks for Enter and waits.
                self.assertEqual((report["prompt"], report["exit"]), (["yes"], ["0"]), screen)
                self.assertEqual(screen[-1], "Press Enter to close.")
                self.assertCountEqual(screen[:-1], lines)
                self.assertEqual({path: path.read_bytes() for path in outputs}, outputs)

    def test_4_upgrade_and_downgrade(self):
        self.msiexec("/i", self.z(self.next_msi))
        self.assertEqual(self.products(), [NEXT_VERSION])
        # The older one refuses to replace it (ERROR_INSTALL_FAILURE, as wine's status byte).
        log = self.msiexec("/i", self.z(self.msi), status=1603 & 0xFF)
        self.assertRegex(log, r"WIX_DOWNGRADE_DETECTED = \{")
        # A rebuild of the same version (another product code) replaces it.
        self.msiexec("/i", self.z(self.rebuilt_msi))
        self.assertEqual(self.products(), [NEXT_VERSION])
        self.assertEqual(self.places()[1], self.installed)

    def test_5_removal_leaves_the_presets_and_nothing_else(self):
        presets = {path: path.read_bytes() for path in self.root.glob("[tu]/**/*")
                   if path.is_file()}
        self.msiexec("/x", self.z(self.rebuilt_msi))
        found = self.places()[1]
        self.assertEqual(found, dict.fromkeys(found))
        self.assertFalse(self.start_menu.exists())
        self.assertEqual(self.products(), [])
        self.assertEqual(self.registry(CLASSES + ".fxp"), {"": "Host.Preset"})
        self.assertEqual({path: path.read_bytes() for path in self.root.glob("[tu]/**/*")
                          if path.is_file()}, presets)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", type=Path, required=True, help="the mingw build")
    parser.add_argument("--launcher", type=Path, required=True, help="explorer_launch.exe")
    parser.add_argument("--extensions", required=True, help="the preset extensions, a,b,c")
    ARGS, rest = parser.parse_known_args()
    ARGS.launcher = "Z:" + str(ARGS.launcher.resolve()).replace("/", "\\")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, failfast=True)


if __name__ == "__main__":
    main()
