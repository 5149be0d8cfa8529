#!/usr/bin/env python3
"""The Windows installer as its users meet it, under wine: built by CPack as a release is, its
signatures, then installed, used from Explorer's verbs and Send To, upgraded, refused as a
downgrade and removed, in a wine prefix of the test's own (never ~/.wine) with a virtual
display (Xvfb) for the console windows.

    msi_test.py --build-dir build/mingw --launcher build/mingw/tests/explorer_launch.exe \\
        --extensions fxp,fxb,vstpreset [unittest options]

The steps build on each other and run in order; a failed one fails those after it.
"""

import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_presets  # noqa: E402

BUILD_DIR = None
LAUNCHER = None
EXTENSIONS = []
VERSION = re.search(
    r"project\(tunewright\s+VERSION\s+([0-9.]+)",
    (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()).group(1)
# The version an upgrade brings: the patch level after this one.
NEXT_VERSION = re.sub(r"\d+$", lambda patch: str(int(patch.group()) + 1), VERSION)

PROGRAM_FOLDER = "C:\\Program Files\\tunewright\\"
PROGRAM = PROGRAM_FOLDER + "tunewright.exe"
CLASSES = "HKLM\\Software\\Classes"
VERB = "tunewright"
FILE_VERB_COMMAND = f'"{PROGRAM}" "%1"'
FOLDER_VERB_COMMAND = f'"{PROGRAM}" -r "%1"'
BACKGROUND_VERB_COMMAND = f'"{PROGRAM}" -r "%V'
ENVIRONMENT = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
PROMPT = "Press Enter to close."

BRISKLET_V050 = make_presets.preset(2000500, [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], b"Room", 500)
BRISKLET_V051 = make_presets.preset(2000501, [0.1, 0.2, 1.0, 0.3, 0.4, 0.5, 0.6, 1.0], b"Room",
                                    500)
BANK_V050 = make_presets.bank([BRISKLET_V050, BRISKLET_V050])
BANK_V051 = make_presets.bank([BRISKLET_V051, BRISKLET_V051])


def summary(upgraded, current=0, unrecognised=0, failed=0):
    return (f"Presets upgraded: {upgraded}, already current: {current}, "
            f"not recognised: {unrecognised}, failed: {failed}.")


class Machine:
    """A wine prefix with a display, drives T: (the presets) and U: (a drive whose root holds
    presets), and the virtual display its console windows open on."""

    def __init__(self, root):
        self.root = root
        self.prefix = root / "prefix"
        self.presets = root / "presets"
        self.drive = root / "drive"
        self.presets.mkdir()
        self.drive.mkdir()
        self.display = None
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko to offer

    def start(self):
        read, write = os.pipe()
        self.display = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
            pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = f":{number}"
        self.wine("wineboot", "-i", timeout=300)
        # A server that stays for the whole test (the prefix must exist for it): otherwise every
        # wine command pays seconds to start one, and the prefix's services, again.
        self.wineserver("-p")
        dosdevices = self.prefix / "dosdevices"
        (dosdevices / "t:").symlink_to(self.presets)
        (dosdevices / "u:").symlink_to(self.drive)

    def stop(self):
        if self.prefix.exists():
            self.wineserver("-k")
        if self.display is not None:
            self.display.send_signal(signal.SIGTERM)
            self.display.wait(timeout=30)

    def wineserver(self, *args):
        subprocess.run(["wineserver", *args], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def wine(self, *args, timeout=120, check=True):
        # Output to files, not pipes: the prefix's services, which the server keeps, would hold
        # a pipe open after the command has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            completed = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            completed.stdout, completed.stderr = out.read(), err.read()
        if check and completed.returncode != 0:
            raise AssertionError(f"wine {' '.join(args)}: status {completed.returncode}\n"
                                 f"{completed.stdout.decode(errors='replace')}"
                                 f"{completed.stderr.decode(errors='replace')}")
        return completed

    def msiexec(self, *args):
        """msiexec's status, with its log on failure."""
        log = self.root / "msiexec.log"
        completed = self.wine("msiexec", *args, "/qn", "/l*", self.windows_path(log),
                              timeout=300, check=False)
        text = log.read_bytes().decode("utf-8", errors="replace") if log.exists() else ""
        return completed.returncode, text

    def windows_path(self, path):
        return "Z:" + str(path).replace("/", "\\")

    def registry(self, key):
        """The values of key (default value as ""), or None when there is no such key."""
        completed = self.wine("reg", "query", key, check=False)
        if completed.returncode != 0:
            return None
        values = {}
        for line in completed.stdout.decode("utf-8", errors="replace").splitlines():
            match = re.match(r"^    (.+?)    (REG_\w+)    ?(.*)$", line.rstrip("\r"))
            if match:
                name = "" if match.group(1) == "(Default)" else match.group(1)
                values[name] = match.group(3)
        return values

    def user_folder(self, *parts):
        found = glob.glob(str(self.prefix / "drive_c" / "users" / "*" / "AppData" / "Roaming"))
        found = [folder for folder in found if "Public" not in folder]
        if len(found) != 1:
            raise AssertionError(f"not one user's AppData: {found}")
        return Path(found[0], *parts)

    def program_files(self):
        return self.prefix / "drive_c" / "Program Files" / "tunewright"

    def launch(self, ready, mode, *args):
        """Starts what Explorer would start (explorer_launch.cpp) and returns its report as
        (command, whether it waited at the prompt, the console's lines, exit status)."""
        report = self.root / "launch.txt"
        report.unlink(missing_ok=True)
        self.wine(LAUNCHER, self.windows_path(report), ready, mode, *args, timeout=300)
        command, waited, screen, status = None, None, [], None
        for line in report.read_text(encoding="utf-8").splitlines():
            key, _, value = line.partition(": ")
            if key == "command":
                command = value
            elif key == "ended before prompt":
                waited = value == "no"
            elif key == "screen":
                screen.append(value)
            elif key == "exit":
                status = int(value)
            else:
                raise AssertionError(f"explorer_launch: {line}")
        return command, waited, [line for line in screen if line], status


def cpack(output, *definitions):
    """The installer as a release makes it (CPack's External generator), in output."""
    completed = subprocess.run(
        ["cpack", "-G", "External", "--config", str(BUILD_DIR / "CPackConfig.cmake"),
         "-B", str(output), *(part for definition in definitions for part in ("-D", definition))],
        capture_output=True, text=True, timeout=300)
    if completed.returncode != 0:
        raise AssertionError(f"cpack failed:\n{completed.stdout}{completed.stderr}")
    found = list(output.glob("*.msi"))
    if len(found) != 1:
        raise AssertionError(f"cpack made {found}")
    return found[0]


def make_certificate(folder):
    """A throwaway code-signing certificate: its .pfx, password file and certificate."""
    key, certificate = folder / "key.pem", folder / "certificate.pem"
    password, pfx = folder / "password", folder / "signing.pfx"
    password.write_text("not a secret\n")
    for command in (
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=tunewright test signing", "-addext", "keyUsage=digitalSignature",
             "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", certificate],
            ["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx,
             "-passout", f"file:{password}"]):
        subprocess.run(command, check=True, capture_output=True, timeout=60)
    return pfx, password, certificate


class Installer(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="tunewright-msi-"))
        cls.machine = Machine(cls.root)
        try:
            cls.pfx, password, cls.certificate = make_certificate(cls.root)
            cls.msi = cpack(cls.root / "release", f"CPACK_TUNEWRIGHT_SIGN_PKCS12={cls.pfx}",
                            f"CPACK_TUNEWRIGHT_SIGN_PASSWORD_FILE={password}")
            next_version = (f"CPACK_PACKAGE_VERSION={NEXT_VERSION}",
                            f"CPACK_PACKAGE_FILE_NAME=tunewright-{NEXT_VERSION}-Windows")
            cls.next_msi = cpack(cls.root / "next", *next_version)
            cls.rebuilt_msi = cpack(cls.root / "rebuilt", *next_version)
            cls.machine.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.machine.stop()
        finally:
            shutil.rmtree(cls.root, ignore_errors=True)

    def msi_table(self, msi, table):
        completed = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True,
                                   text=True, check=True, timeout=60)
        return [line.split("\t") for line in completed.stdout.splitlines()[3:]]

    def test_1_package(self):
        self.assertEqual(self.msi.name, f"tunewright-{VERSION}-Windows.msi")
        properties = dict(self.msi_table(self.msi, "Property"))
        # Per machine, English, for 64-bit Windows.
        self.assertEqual(properties["ALLUSERS"], "1")
        self.assertEqual(properties["ProductLanguage"], "1033")
        self.assertEqual(properties["ProductVersion"], VERSION)
        self.assertEqual(properties["UpgradeCode"], "{9A60C5D0-8543-459B-A186-AC27B2B61972}")
        info = subprocess.run(["msiinfo", "suminfo", str(self.msi)], capture_output=True,
                              text=True, check=True, timeout=60).stdout
        self.assertIn("Template: x64;1033", info)
        # Both the installer and the program in it carry a signature by the given certificate.
        files = self.root / "files"
        subprocess.run(["msiextract", "-C", str(files), str(self.msi)], check=True,
                       capture_output=True, timeout=60)
        program = next(files.rglob("tunewright.exe"))
        for signed in (self.msi, program):
            completed = subprocess.run(
                ["osslsigncode", "verify", "-CAfile", str(self.certificate), "-in", str(signed)],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)
            self.assertIn("tunewright test signing", completed.stdout)
        # Without a certificate, nothing is signed.
        completed = subprocess.run(["osslsigncode", "verify", "-in", str(self.next_msi)],
                                   capture_output=True, text=True, timeout=60)
        self.assertNotEqual(completed.returncode, 0)

    def test_2_install_beside_a_host_that_owns_the_extension(self):
        machine = self.machine
        # A host's association of .fxp, which the installer must leave as it is.
        machine.wine("reg", "add", f"{CLASSES}\\.fxp", "/ve", "/d", "Host.Preset", "/f")
        machine.wine("reg", "add", f"{CLASSES}\\Host.Preset\\shell\\open\\command", "/ve", "/d",
                     '"C:\\Host\\host.exe" "%1"', "/f")
        status, log = machine.msiexec("/i", machine.windows_path(self.msi))
        self.assertEqual(status, 0, log[-3000:])

        # Exactly the files of the package: the program, its documents, and the browser page
        # when the web preset had made it.
        packaged = sorted(row[2] for row in self.msi_table(self.msi, "File"))
        self.assertIn(packaged, [sorted(["LICENSE.txt", "README.md", "tunewright.exe"] + page)
                                 for page in ([], ["tunewright.html"])])
        self.assertEqual(sorted(path.name for path in machine.program_files().iterdir()),
                         packaged)
        version = machine.wine(PROGRAM, "--version").stdout.decode().strip()
        self.assertEqual(version, f"tunewright {VERSION}")

        # The verbs, with the program's own icon, one selected item at a time.
        for extension in EXTENSIONS:
            # Windows looks an extension up whatever its case, as the registry does here.
            for spelling in (extension, extension.upper()):
                key = f"{CLASSES}\\SystemFileAssociations\\.{spelling}\\shell\\{VERB}"
                self.assertEqual(machine.registry(key), {
                    "": "Upgrade with tunewright", "Icon": PROGRAM, "MultiSelectModel": "Single"},
                    key)
                self.assertEqual(machine.registry(key + "\\command"), {"": FILE_VERB_COMMAND})
        key = f"{CLASSES}\\Directory\\shell\\{VERB}"
        self.assertEqual(machine.registry(key), {
            "": "Upgrade presets with tunewright", "Icon": PROGRAM, "MultiSelectModel": "Single"})
        self.assertEqual(machine.registry(key + "\\command"), {"": FOLDER_VERB_COMMAND})
        key = f"{CLASSES}\\Directory\\Background\\shell\\{VERB}"
        self.assertEqual(machine.registry(key), {
            "": "Upgrade presets with tunewright", "Icon": PROGRAM})
        self.assertEqual(machine.registry(key + "\\command"), {"": BACKGROUND_VERB_COMMAND})
        # The host keeps .fxp: nothing of it was taken over or added to.
        self.assertEqual(machine.registry(f"{CLASSES}\\.fxp"), {"": "Host.Preset"})
        self.assertEqual(machine.registry(f"{CLASSES}\\Host.Preset\\shell\\open\\command"),
                         {"": '"C:\\Host\\host.exe" "%1"'})
        self.assertIsNone(machine.registry(f"{CLASSES}\\.fxp\\shell"))

        # On the system's PATH, so a console finds it by name.
        path = machine.registry(ENVIRONMENT)["PATH"].split(";")
        self.assertEqual(path.count(PROGRAM_FOLDER), 1, path)
        self.assertEqual(machine.wine("cmd", "/c", "tunewright --version").stdout.decode().strip(),
                         f"tunewright {VERSION}")

        self.assertTrue(machine.user_folder("Microsoft", "Windows", "SendTo",
                                            "tunewright.lnk").exists())
        self.assertEqual(self.products(), [VERSION])

    def products(self):
        """The DisplayVersion of each installed tunewright, as Apps and Features lists them."""
        listing = self.machine.wine("reg", "query", UNINSTALL).stdout.decode(errors="replace")
        versions = []
        for key in re.findall(r"^(HKEY_.*\\Uninstall\\\S+)\s*$", listing, re.MULTILINE):
            values = self.machine.registry(key)
            if values.get("DisplayName") == "tunewright":
                self.assertEqual(values.get("Publisher"), "The tunewright developers")
                versions.append(values.get("DisplayVersion"))
        return versions

    def assert_own_window(self, launched, command, lines, files):
        """The run started as Explorer starts it had a console window of its own: it showed
        every preset it converted (in any order), the summary and the prompt, waited for Enter,
        and wrote the upgraded presets."""
        ran, waited, screen, status = launched
        self.assertEqual(ran, command)
        self.assertTrue(waited, f"ended without waiting for Enter: {screen}")
        self.assertEqual(status, 0, screen)
        self.assertEqual(screen[-1], PROMPT, screen)
        self.assertEqual(sorted(screen[:-1]), sorted(lines), screen)
        for path, data in files.items():
            self.assertEqual(path.read_bytes(), data, path)

    def write(self, path, data):
        """Writes a preset below T:\\ and returns its path on this machine."""
        target = self.machine.presets / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        return target

    def test_3_started_as_explorer_starts_it(self):
        machine = self.machine
        # A preset's verb; its extension in capitals.
        self.write("one/Room.FXP", BRISKLET_V050)
        self.assert_own_window(
            machine.launch("T:\\one\\501_Room.FXP", "verb", "SystemFileAssociations\\.FXP", VERB,
                           "T:\\one\\Room.FXP"),
            f'"{PROGRAM}" "T:\\one\\Room.FXP"',
            ["Converting data file: T:\\one\\Room.FXP", summary(1)],
            {machine.presets / "one/501_Room.FXP": BRISKLET_V051})

        # A folder's verb: its subfolders too. A name with a space and beyond ASCII.
        self.write("Mes préréglages/Hall.fxp", BRISKLET_V050)
        self.write("Mes préréglages/sub/Spaces.fxb", BANK_V050)
        self.assert_own_window(
            machine.launch("T:\\Mes préréglages\\sub\\501_Spaces.fxb", "verb", "Directory", VERB,
                           "T:\\Mes préréglages"),
            f'"{PROGRAM}" -r "T:\\Mes préréglages"',
            ["Searching directory: T:\\Mes préréglages",
             "Searching directory: T:\\Mes préréglages\\sub",
             "Converting data file: T:\\Mes préréglages\\Hall.fxp",
             "Converting data file: T:\\Mes préréglages\\sub\\Spaces.fxb", summary(2)],
            {machine.presets / "Mes préréglages/501_Hall.fxp": BRISKLET_V051,
             machine.presets / "Mes préréglages/sub/501_Spaces.fxb": BANK_V051})

        # A folder's background, a name with a space: the open quote runs to the end.
        self.write("My presets/Plate.fxp", BRISKLET_V050)
        self.assert_own_window(
            machine.launch("T:\\My presets\\501_Plate.fxp", "verb", "Directory\\Background", VERB,
                           "T:\\My presets"),
            f'"{PROGRAM}" -r "T:\\My presets',
            ["Searching directory: T:\\My presets",
             "Converting data file: T:\\My presets\\Plate.fxp", summary(1)],
            {machine.presets / "My presets/501_Plate.fxp": BRISKLET_V051})

        # A drive's background: %V ends in a backslash, which still arrives as one.
        (machine.drive / "Room.fxp").write_bytes(BRISKLET_V050)
        self.assert_own_window(
            machine.launch("U:\\501_Room.fxp", "verb", "Directory\\Background", VERB, "U:\\"),
            f'"{PROGRAM}" -r "U:\\',
            ["Searching directory: U:\\", "Converting data file: U:\\\\Room.fxp", summary(1)],
            {machine.drive / "501_Room.fxp": BRISKLET_V051})

        # Send To with a preset and a folder selected: one run for both, in one window.
        self.write("send/Echo.fxp", BRISKLET_V050)
        self.write("send/folder/Delay.fxp", BRISKLET_V050)
        shortcut = machine.windows_path(
            machine.user_folder("Microsoft", "Windows", "SendTo", "tunewright.lnk"))
        self.assert_own_window(
            machine.launch("T:\\send\\folder\\501_Delay.fxp", "sendto", shortcut,
                           "T:\\send\\Echo.fxp", "T:\\send\\folder"),
            f'"{PROGRAM}" -r "T:\\send\\Echo.fxp" "T:\\send\\folder"',
            ["Converting data file: T:\\send\\Echo.fxp", "Searching directory: T:\\send\\folder",
             "Converting data file: T:\\send\\folder\\Delay.fxp", summary(2)],
            {machine.presets / "send/501_Echo.fxp": BRISKLET_V051,
             machine.presets / "send/folder/501_Delay.fxp": BRISKLET_V051})

        # The contrast: started from a console window (cmd's), the program shares it and
        # neither shows more nor waits.
        self.write("console/Room.fxp", BRISKLET_V050)
        ran, waited, screen, status = machine.launch(
            "T:\\console\\501_Room.fxp", "command",
            f'cmd /c ""{PROGRAM}" "T:\\console\\Room.fxp""')
        self.assertFalse(waited, screen)
        self.assertEqual(status, 0)
        self.assertNotIn(PROMPT, screen)
        self.assertEqual((machine.presets / "console/501_Room.fxp").read_bytes(), BRISKLET_V051)

    def test_4_upgrade_no_downgrade_and_a_rebuild(self):
        machine = self.machine
        status, log = machine.msiexec("/i", machine.windows_path(self.next_msi))
        self.assertEqual(status, 0, log[-3000:])
        self.assertEqual(self.products(), [NEXT_VERSION])
        self.assertTrue((machine.program_files() / "tunewright.exe").exists())
        path = machine.registry(ENVIRONMENT)["PATH"].split(";")
        self.assertEqual(path.count(PROGRAM_FOLDER), 1, path)
        # The older installer refuses to replace the newer version, and leaves it as it was.
        status, log = machine.msiexec("/i", machine.windows_path(self.msi))
        self.assertEqual(status, 1603 & 0xFF, log[-3000:])  # ERROR_INSTALL_FAILURE, as wine ends
        self.assertRegex(log, r"WIX_DOWNGRADE_DETECTED = \{[0-9A-F-]+\}")
        self.assertEqual(self.products(), [NEXT_VERSION])
        # A rebuild of the installed version (another ProductCode) replaces it too.
        status, log = machine.msiexec("/i", machine.windows_path(self.rebuilt_msi))
        self.assertEqual(status, 0, log[-3000:])
        self.assertEqual(self.products(), [NEXT_VERSION])

    def test_5_uninstall_leaves_only_the_presets(self):
        machine = self.machine
        before = {path: path.read_bytes() for path in machine.presets.rglob("*") if path.is_file()}
        status, log = machine.msiexec("/x", machine.windows_path(self.rebuilt_msi))
        self.assertEqual(status, 0, log[-3000:])
        self.assertFalse(machine.program_files().exists())
        for key in [f"SystemFileAssociations\\.{extension}\\shell\\{VERB}"
                    for extension in EXTENSIONS] + [f"Directory\\shell\\{VERB}",
                                                    f"Directory\\Background\\shell\\{VERB}"]:
            self.assertIsNone(machine.registry(f"{CLASSES}\\{key}"), key)
        self.assertNotIn(PROGRAM_FOLDER, machine.registry(ENVIRONMENT)["PATH"].split(";"))
        self.assertFalse(machine.user_folder("Microsoft", "Windows", "SendTo",
                                             "tunewright.lnk").exists())
        self.assertIsNone(machine.registry("HKCU\\Software\\tunewright"))
        self.assertEqual(self.products(), [])
        self.assertEqual(machine.registry(f"{CLASSES}\\.fxp"), {"": "Host.Preset"})
        self.assertEqual({path: path.read_bytes() for path in machine.presets.rglob("*")
                          if path.is_file()}, before)


def main():
    global BUILD_DIR, LAUNCHER, EXTENSIONS
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="the mingw build, with CPackConfig")
    parser.add_argument("--launcher", required=True, help="explorer_launch.exe")
    parser.add_argument("--extensions", required=True,
                        help="the preset extensions the installer registers, ','-separated")
    args, rest = parser.parse_known_args()
    BUILD_DIR = Path(args.build_dir).resolve()
    LAUNCHER = "Z:" + str(Path(args.launcher).resolve()).replace("/", "\\")
    EXTENSIONS = args.extensions.split(",")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, failfast=True)


if __name__ == "__main__":
    main()
